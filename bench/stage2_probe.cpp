// A probe, not the product: a structural index of JSON text (stage 1) and a
// walk over it that validates the text as it masks it (stage 2), measured
// by bench/bench_stage2.py (which builds this file with g++ at run time and
// calls it through ctypes, and checks it against velmora.scan).
//
// Stage 1 reads the text 64 bytes at a time and makes bitmasks of quotes,
// backslashes, control bytes, structural characters, white space and
// non-ASCII bytes; removes the escaped quotes; turns the real quotes into an
// in-string mask by a prefix xor. Its index (a reused uint32 array) holds:
//   - structural characters outside strings, and both quotes of a string;
//   - backslashes inside strings (so that a string without escapes is never
//     read byte by byte);
//   - the first byte of every run of other bytes outside strings (a number,
//     a literal, or garbage): stage 2 parses it and checks that the token
//     ends where the run does, so every gap between entries is white space;
//   - faults: control bytes inside strings, bytes that start no well-formed
//     UTF-8 sequence (ASCII blocks skip the check; others are checked by a
//     scalar loop from their first non-ASCII byte);
//   - in lines mode, every newline.
//
// Stage 2 walks the index with a state (what may come next) and a stack of
// containers: it checks the grammar, escapes and scalars, decides which
// strings are keys and which values are hidden, and writes the masked text
// (one '*' per character) into an output buffer. On a fault it only says
// "bad": the real scanner would rescan with its byte grammar to say where.
// In lines mode a bad line is left out of the output and stage 2 skips to its
// end; when that end is a newline stage 1 took for part of a string, stage 1
// restarts on the next line with a fresh carry.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "probe_bits.h"

namespace {

using namespace probe_bits;

using u8 = std::uint8_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

struct Block {
    u64 quote, backslash, control, structural, space, newline, high;
};

__attribute__((target("avx2"))) inline u64 bits_avx2(__m256i a, __m256i b) {
    return u64(u32(_mm256_movemask_epi8(a))) | (u64(u32(_mm256_movemask_epi8(b))) << 32);
}

__attribute__((target("avx2"))) inline Block masks_avx2(const u8* p) {
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    // With 0x20 set, '[' and ']' read as '{' and '}', and the low nibble of
    // each structural character picks a table byte only it matches.
    const __m256i table = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, ':', '{', ',', '}', 0, 0,
                                           0, 0, 0, 0, 0, 0, 0, 0, 0, 0, ':', '{', ',', '}', 0, 0);
    const __m256i space_bit = _mm256_set1_epi8(0x20);
    auto eq = [](__m256i v, char c) { return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(c)); };
    auto structural = [&](__m256i v) {
        return _mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, v), _mm256_or_si256(v, space_bit));
    };
    auto control = [](__m256i v) {
        return _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x1f)), v);
    };
    // Tab, newline and carriage return are the control bytes 9, 10 and 13.
    auto space = [&](__m256i v) {
        return _mm256_or_si256(_mm256_or_si256(eq(v, ' '), eq(v, '\t')), _mm256_or_si256(eq(v, '\n'), eq(v, '\r')));
    };
    return {bits_avx2(eq(lo, '"'), eq(hi, '"')),
            bits_avx2(eq(lo, '\\'), eq(hi, '\\')),
            bits_avx2(control(lo), control(hi)),
            bits_avx2(structural(lo), structural(hi)),
            bits_avx2(space(lo), space(hi)),
            bits_avx2(eq(lo, '\n'), eq(hi, '\n')),
            bits_avx2(lo, hi)};
}

inline Block masks_sse2(const u8* p) {
    Block b{};
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        auto eq = [&](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
        auto bits = [&](__m128i m) { return u64(u32(_mm_movemask_epi8(m))) << (16 * k); };
        const __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
        const __m128i s = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(folded, _mm_set1_epi8('{')), _mm_cmpeq_epi8(folded, _mm_set1_epi8('}'))),
            _mm_or_si128(eq(','), eq(':')));
        b.quote |= bits(eq('"'));
        b.backslash |= bits(eq('\\'));
        b.control |= bits(_mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1f)), v));
        b.structural |= bits(s);
        b.space |= bits(_mm_or_si128(_mm_or_si128(eq(' '), eq('\t')), _mm_or_si128(eq('\n'), eq('\r'))));
        b.newline |= bits(eq('\n'));
        b.high |= bits(v);
    }
    return b;
}

// What one block hands the next.
struct Carry {
    u64 escaped = 0;    // 1: the next block's first byte is escaped
    u64 in_string = 0;  // all ones: the next block starts inside a string
    u64 scalar = 0;     // 1: the last byte belonged to a run outside strings
    size_t checked = 0; // UTF-8 is checked up to here
};

// Well-formed UTF-8 sequence length at p (2 to 4) or 0, as Python's strict
// codec: no overlong forms, no surrogates, nothing past U+10FFFF.
inline int utf8_length(const u8* p, const u8* end) {
    const u8 c = p[0];
    const ptrdiff_t left = end - p;
    auto cont = [](u8 b) { return (b & 0xC0) == 0x80; };
    if (c >= 0xC2 && c <= 0xDF) return left >= 2 && cont(p[1]) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (left < 3 || !cont(p[2])) return 0;
        const u8 b = p[1];
        if (c == 0xE0) return b >= 0xA0 && b <= 0xBF ? 3 : 0;
        if (c == 0xED) return b >= 0x80 && b <= 0x9F ? 3 : 0;
        return cont(b) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (left < 4 || !cont(p[2]) || !cont(p[3])) return 0;
        const u8 b = p[1];
        if (c == 0xF0) return b >= 0x90 && b <= 0xBF ? 4 : 0;
        if (c == 0xF4) return b >= 0x80 && b <= 0x8F ? 4 : 0;
        return cont(b) ? 4 : 0;
    }
    return 0;
}

// The bytes of a block (its non-ASCII ones, `high`) that start no
// well-formed sequence, checked from the first one not yet covered by a
// sequence of an earlier block. Sequences may run into later blocks.
inline u64 utf8_faults(const u8* text, size_t at, size_t end, u64 high, size_t& checked) {
    u64 faults = 0;
    while (high) {
        const size_t p = at + static_cast<size_t>(__builtin_ctzll(high));
        high &= high - 1;
        if (p < checked) continue;  // a continuation byte already taken
        const int n = utf8_length(text + p, text + end);
        if (n == 0) {
            faults |= u64(1) << (p - at);
            checked = p + 1;
        } else {
            checked = p + static_cast<size_t>(n);
        }
    }
    return faults;
}

template <bool Clmul>
inline u64 classify(const Block& b, Carry& carry, bool lines) {
    const u64 quotes = b.quote & ~escaped_bytes(b.backslash, carry.escaped);
    const u64 in_string = (Clmul ? prefix_xor_clmul(quotes) : prefix_xor_shifts(quotes)) ^ carry.in_string;
    carry.in_string = static_cast<u64>(static_cast<std::int64_t>(in_string) >> 63);
    const u64 outside = ~in_string & ~quotes;
    // Runs of bytes that are neither white space nor structural outside
    // strings: only their first byte is indexed.
    const u64 scalar = outside & ~b.structural & ~b.space;
    const u64 scalar_starts = scalar & ~((scalar << 1) | carry.scalar);
    carry.scalar = scalar >> 63;
    u64 index = (b.structural & outside) | quotes | (b.backslash & in_string) | (b.control & in_string) |
                scalar_starts;
    if (lines) index |= b.newline;
    return index;
}

// Appends base + the position of every set bit; writes up to 16 entries
// past the last one whatever the count (the index keeps room for them).
__attribute__((target("bmi,bmi2,popcnt"))) inline u32* flatten(u32* out, u32 base, u64 bits) {
    const int count = __builtin_popcountll(bits);
#pragma GCC unroll 16
    for (int k = 0; k < 16; ++k) {
        out[k] = base + static_cast<u32>(_tzcnt_u64(bits));
        bits = _blsr_u64(bits);
    }
    if (count > 16) {
        for (int k = 16; bits; ++k) {
            out[k] = base + static_cast<u32>(_tzcnt_u64(bits));
            bits = _blsr_u64(bits);
        }
    }
    return out + count;
}

enum Path { kAvx2 = 0, kSse2 = 1 };

// Stage 1 over [from, to) of text[0, end): appends the index entries.
template <Path P>
u32* stage1(const u8* text, size_t from, size_t to, size_t end, Carry& carry, u32* out, bool lines) {
    for (size_t at = from; at < to; at += 64) {
        const u8* block = text + at;
        alignas(64) u8 tail[64];
        if (at + 64 > end) {  // the last partial block, padded with spaces
            std::memset(tail, ' ', 64);
            std::memcpy(tail, text + at, end - at);
            block = tail;
        }
        const Block b = P == kAvx2 ? masks_avx2(block) : masks_sse2(block);
        u64 index = classify<P == kAvx2>(b, carry, lines);
        if (b.high) index |= utf8_faults(text, at, end, b.high, carry.checked);
        out = flatten(out, static_cast<u32>(at), index);
    }
    return out;
}

// ---- Keys -----------------------------------------------------------------------

inline u64 hash_bytes(const u8* p, size_t n) {
    u64 h = 0x9e3779b97f4a7c15ULL ^ n;
    for (; n >= 8; p += 8, n -= 8) {
        u64 w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0xff51afd7ed558ccdULL;
    }
    u64 w = 0;
    std::memcpy(&w, p, n);
    h = (h ^ w) * 0xc4ceb9fe1a85ec53ULL;
    return h ^ (h >> 29);
}

// A set of byte strings by open addressing, growing at half full; used both
// for the hidden keys (decoded) and for the verdicts of keys as written.
class Table {
public:
    Table() : slots_(64) {}
    // The verdict stored for the key, or -1 when it is not in the table.
    int find(const u8* p, size_t n, u64 h) const {
        for (size_t k = h & (slots_.size() - 1);; k = (k + 1) & (slots_.size() - 1)) {
            const Slot& s = slots_[k];
            if (s.length == kEmpty) return -1;
            if (s.hash == h && s.length == n && std::memcmp(bytes_.data() + s.offset, p, n) == 0) return s.verdict;
        }
    }
    void add(const u8* p, size_t n, u64 h, u8 verdict) {
        if (2 * (used_ + 1) > slots_.size()) grow();
        place(Slot{h, static_cast<u32>(bytes_.size()), static_cast<u32>(n), verdict});
        bytes_.insert(bytes_.end(), p, p + n);
        ++used_;
    }

private:
    static constexpr u32 kEmpty = 0xffffffffu;
    struct Slot {
        u64 hash = 0;
        u32 offset = 0;
        u32 length = kEmpty;
        u8 verdict = 0;
    };
    void place(const Slot& s) {
        size_t k = s.hash & (slots_.size() - 1);
        while (slots_[k].length != kEmpty) k = (k + 1) & (slots_.size() - 1);
        slots_[k] = s;
    }
    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& s : old) {
            if (s.length != kEmpty) place(s);
        }
    }
    std::vector<Slot> slots_;
    std::vector<u8> bytes_;
    size_t used_ = 0;
};

// The first and the last eight bytes of a key (zero-padded below eight):
// with its length, the whole of a key of up to 16 bytes, so that most keys
// are found by two compares. `limit` is how far the text may be read.
struct KeyWords {
    u64 first, last;
};

__attribute__((target("bmi2"))) inline KeyWords key_words(const u8* p, size_t n, const u8* limit) {
    u64 first = 0, last = 0;
    if (n >= 8) {
        std::memcpy(&first, p, 8);
        std::memcpy(&last, p + n - 8, 8);
    } else if (limit - p >= 8) {  // the bytes after a short key are there to read: read 8, keep n
        std::memcpy(&first, p, 8);
        first = _bzhi_u64(first, static_cast<unsigned>(8 * n));
    } else {
        for (size_t k = 0; k < n; ++k) first |= u64(p[k]) << (8 * k);
    }
    return {first, last};
}

// The verdicts of keys as written, by open addressing, growing at half
// full; keys longer than 16 bytes are kept whole to be compared.
class KeyCache {
public:
    KeyCache() : slots_(256) {}
    int find(const u8* p, size_t n, KeyWords w) const {
        for (size_t k = hash(w, n) & mask();; k = (k + 1) & mask()) {
            const Slot& s = slots_[k];
            if (!s.used) return -1;
            if (s.first == w.first && s.last == w.last && s.length == n &&
                (n <= 16 || std::memcmp(bytes_.data() + s.offset, p, n) == 0)) {
                return s.verdict;
            }
        }
    }
    void add(const u8* p, size_t n, KeyWords w, u8 verdict) {
        if (2 * (used_ + 1) > slots_.size()) grow();
        place(Slot{w.first, w.last, static_cast<u32>(n), static_cast<u32>(bytes_.size()), verdict, true});
        if (n > 16) bytes_.insert(bytes_.end(), p, p + n);
        ++used_;
    }
    size_t size() const { return used_; }

private:
    struct Slot {
        u64 first = 0, last = 0;
        u32 length = 0, offset = 0;
        u8 verdict = 0;
        bool used = false;
    };
    // The high half of a product depends on every bit of its factor (the
    // low bits only on the factor's low bits: keys sharing their first
    // bytes would share a slot).
    static size_t hash(KeyWords w, size_t n) {
        const u64 mixed = w.first ^ ((w.last << 29) | (w.last >> 35)) ^ (u64(n) << 56);
        const unsigned __int128 product = static_cast<unsigned __int128>(mixed) * 0x9e3779b97f4a7c15ULL;
        return static_cast<size_t>(static_cast<u64>(product >> 64) ^ static_cast<u64>(product));
    }
    size_t mask() const { return slots_.size() - 1; }
    void place(const Slot& s) {
        size_t k = hash({s.first, s.last}, s.length) & mask();
        while (slots_[k].used) k = (k + 1) & mask();
        slots_[k] = s;
    }
    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& s : old) {
            if (s.used) place(s);
        }
    }
    std::vector<Slot> slots_;
    std::vector<u8> bytes_;
    size_t used_ = 0;
};

// The code unit of the \uXXXX escape whose backslash is at p, or -1.
inline long unicode_escape(const u8* p, const u8* end) {
    if (end - p < 6 || p[1] != 'u') return -1;
    long v = 0;
    for (int k = 2; k < 6; ++k) {
        const int h = hex(p[k]);
        if (h < 0) return -1;
        v = v * 16 + h;
    }
    return v;
}

inline bool high_surrogate(long u) { return u >= 0xd800 && u < 0xdc00; }
inline bool low_surrogate(long u) { return u >= 0xdc00 && u < 0xe000; }

// Appends code point c as UTF-8 (lone surrogates as their 3-byte form: no
// hidden key holds one, so they only need to differ from what others hold).
void put_utf8(std::vector<u8>& out, u32 c) {
    if (c < 0x80) {
        out.push_back(static_cast<u8>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<u8>(0xc0 | (c >> 6)));
        out.push_back(static_cast<u8>(0x80 | (c & 0x3f)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<u8>(0xe0 | (c >> 12)));
        out.push_back(static_cast<u8>(0x80 | ((c >> 6) & 0x3f)));
        out.push_back(static_cast<u8>(0x80 | (c & 0x3f)));
    } else {
        out.push_back(static_cast<u8>(0xf0 | (c >> 18)));
        out.push_back(static_cast<u8>(0x80 | ((c >> 12) & 0x3f)));
        out.push_back(static_cast<u8>(0x80 | ((c >> 6) & 0x3f)));
        out.push_back(static_cast<u8>(0x80 | (c & 0x3f)));
    }
}

// Decodes a string body whose escapes are already checked.
void unescape(const u8* p, const u8* end, std::vector<u8>& out) {
    out.clear();
    while (p < end) {
        if (*p != '\\') {
            out.push_back(*p++);
            continue;
        }
        const u8 e = p[1];
        if (e != 'u') {
            static constexpr char from[] = "\"\\/bfnrt", to[] = "\"\\/\b\f\n\r\t";
            out.push_back(static_cast<u8>(to[std::strchr(from, e) - from]));
            p += 2;
            continue;
        }
        u32 c = static_cast<u32>(unicode_escape(p, end));
        p += 6;
        const long low = high_surrogate(c) ? unicode_escape(p, end) : -1;
        if (low_surrogate(low)) {
            c = 0x10000 + ((c - 0xd800) << 10) + static_cast<u32>(low - 0xdc00);
            p += 6;
        }
        put_utf8(out, c);
    }
}

// ---- Scalars ----------------------------------------------------------------------

// Bytes that may follow a number or literal: white space, structural
// characters and quotes. Anything else glued to a token makes it wrong.
struct Delimiters {
    bool is[256] = {};
    constexpr Delimiters() {
        for (u8 c : {' ', '\t', '\n', '\r', '{', '}', '[', ']', ',', ':', '"'}) is[c] = true;
    }
};
constexpr Delimiters kDelimiters;

// The end of a run of ASCII digits, eight bytes at a time while eight can
// be read: a byte is a digit when, xor '0', it is below 10; adding 0x76 to
// its low seven bits sets its high bit from 10 up, without a carry out.
inline const u8* digits(const u8* p, const u8* end) {
    constexpr u64 kOnes = 0x0101010101010101ULL;
    while (end - p >= 8) {
        u64 x;
        std::memcpy(&x, p, 8);
        const u64 a = x ^ (kOnes * '0');
        const u64 other = (((a & (kOnes * 0x7f)) + kOnes * 0x76) | a) & (kOnes * 0x80);
        if (other) return p + (__builtin_ctzll(other) >> 3);
        p += 8;
    }
    while (p < end && static_cast<unsigned>(*p - '0') < 10u) ++p;
    return p;
}

inline bool literal(const u8* p, const u8* end, const char* word, size_t n) {
    return static_cast<size_t>(end - p) >= n && std::memcmp(p, word, n) == 0;
}

// The end of the number or literal at p, or null: JSON's number grammar and
// the three tokens Python's json adds (NaN, Infinity, -Infinity).
const u8* scalar_token(const u8* p, const u8* end) {
    switch (*p) {
        case 't': return literal(p, end, "true", 4) ? p + 4 : nullptr;
        case 'f': return literal(p, end, "false", 5) ? p + 5 : nullptr;
        case 'n': return literal(p, end, "null", 4) ? p + 4 : nullptr;
        case 'N': return literal(p, end, "NaN", 3) ? p + 3 : nullptr;
        case 'I': return literal(p, end, "Infinity", 8) ? p + 8 : nullptr;
        case '-':
            if (end - p >= 2 && p[1] == 'I') return literal(p + 1, end, "Infinity", 8) ? p + 9 : nullptr;
            ++p;
            break;
        default: break;
    }
    if (p == end || static_cast<unsigned>(*p - '0') >= 10u) return nullptr;
    p = *p == '0' ? p + 1 : digits(p + 1, end);
    if (end - p >= 2 && *p == '.' && static_cast<unsigned>(p[1] - '0') < 10u) p = digits(p + 2, end);
    if (p < end && (*p | 0x20) == 'e') {
        const u8* q = p + 1;
        if (q < end && (*q == '+' || *q == '-')) ++q;
        if (q < end && static_cast<unsigned>(*q - '0') < 10u) p = digits(q + 1, end);
    }
    return p;
}

// Characters in a string body: its bytes less the UTF-8 continuation bytes
// (10xxxxxx), eight at a time; escapes are counted by the caller.
inline size_t characters(const u8* p, size_t n) {
    constexpr u64 kHigh = 0x8080808080808080ULL;
    size_t continuation = 0, k = 0;
    for (; k + 8 <= n; k += 8) {
        u64 x;
        std::memcpy(&x, p + k, 8);
        continuation += __builtin_popcountll(x & ~(x << 1) & kHigh);
    }
    u64 x = 0;
    std::memcpy(&x, p + k, n - k);
    continuation += __builtin_popcountll(x & ~(x << 1) & kHigh);
    return n - continuation;
}

// ---- Stage 2 ----------------------------------------------------------------------

// What may come next: kTop a line's or document's value (or nothing, or a
// byte order mark first); kFirst* right after an opening bracket, where the
// closing one may come; kSkip the rest of a bad line.
enum State : u8 { kTop, kValue, kFirstValue, kKey, kFirstKey, kColon, kAfter, kSkip };
enum Frame : u8 { kObject, kArray, kHiddenArray };
constexpr size_t kStop = SIZE_MAX, kMore = SIZE_MAX - 1;

struct Probe {
    Table hidden;    // the hidden keys, decoded
    KeyCache verdicts;  // keys as written: 1 hidden, 0 not; each decided once
    std::vector<u32> index;
    std::vector<u8> frames = std::vector<u8>(64);
    std::vector<u8> decoded;
};

class Walk {
public:
    Walk(Probe& probe, const u8* text, size_t size, bool lines, u8* out)
        : probe_(probe), text_(text), size_(size), lines_(lines), out_(out) {}

    size_t run(const u32* index, size_t i, size_t n, bool last);
    void finish();
    bool bad() const { return bad_; }
    size_t restart() const { return restart_; }
    void restarted() { restart_ = 0; }
    size_t written() const { return written_; }
    std::vector<u32> bad_lines;  // 1-based numbers of the bad lines

private:
    size_t value(const u32* index, size_t i, size_t n, bool last, u32 at, u8 c);
    size_t after(size_t i, u32 at, u8 c);
    size_t scalar(size_t i, u32 at);
    size_t value_other(size_t i, u32 at);
    size_t key_other(size_t i, u32 at);
    size_t string(const u32* index, size_t i, size_t n, bool last, bool key);
    size_t string_escaped(const u32* index, size_t i, size_t n, bool last, bool key);
    bool string_end(u32 open, u32 close, size_t saved, bool key, bool escaped);
    void mask(u32 open, u32 close, size_t saved);
    bool escapes(const u32* index, size_t from, size_t to, u32 close, size_t* saved) const;
    bool decide(const u8* body, size_t length, bool escaped);
    bool decide_first(const u8* body, size_t length, bool escaped, KeyWords w);
    size_t skip(const u32* index, size_t i, size_t n);
    size_t fault(size_t resume, bool in_string);
    void line_end(u32 at);
    __attribute__((always_inline)) void push(u8 frame) {
        if (__builtin_expect(depth_ == room_, 0)) grow();
        frames_[depth_++] = frame;
    }
    __attribute__((noinline)) void grow() {
        probe_.frames.resize(2 * depth_);
        frames_ = probe_.frames.data();
        room_ = probe_.frames.size();
    }
    u8 top() const { return depth_ ? frames_[depth_ - 1] : u8(kArray); }
    // Whether a string or an array standing here is hidden.
    bool hidden_here() const {
        const u8 f = top();
        return f == kObject ? key_hidden_ : f == kHiddenArray;
    }

    Probe& probe_;
    const u8* text_;
    size_t size_;
    bool lines_;
    u8* out_;
    size_t written_ = 0, copied_ = 0;  // text before copied_ is accounted for in out_
    State state_ = kTop;
    bool key_hidden_ = false;
    bool skip_in_string_ = false;
    bool bad_ = false;
    size_t depth_ = 0;
    u8* frames_ = probe_.frames.data();  // the kind of each open container
    size_t room_ = probe_.frames.size();
    size_t restart_ = 0;
    // The current line: where it starts, and the output as it was there.
    size_t line_start_ = 0, mark_written_ = 0, mark_copied_ = 0;
    u32 line_ = 1;
};

// Walks index[i, n); returns where it stopped: n, or an opening quote whose
// closing one is not in the index yet (unless `last`). The common steps are
// labels, so that the state is where the code is (a member of an object,
// key, colon, value and comma, goes without a dispatch); state_ is still
// kept for the end of the entries and for the cold steps, which return the
// next entry, or kMore (that quote) or kStop (a bad document, or stage 1
// must start again), after which the walk dispatches on state_ again.
size_t Walk::run(const u32* index, size_t i, size_t n, bool last) {
    const u8* const text = text_;
    size_t next;
dispatch:
    switch (state_) {
        case kAfter: goto after;
        case kKey:
        case kFirstKey: goto key;
        case kColon: goto colon;
        case kSkip:
            if (i == n) return i;
            next = skip(index, i, n);
            goto cold;
        default: goto value;
    }
value:  // kTop, kValue or kFirstValue
    if (i == n) return i;
    switch (text[index[i]]) {
        case '"': next = string(index, i, n, last, false); goto cold;
        case '{':
            push(kObject);
            state_ = kFirstKey;
            ++i;
            goto key;
        case '[':
            push(hidden_here() ? kHiddenArray : kArray);
            state_ = kFirstValue;
            ++i;
            goto value;
        default: next = value_other(i, index[i]); goto cold;
    }
after:
    if (i == n) return i;
    if (text[index[i]] == ',' && depth_) {
        ++i;
        if (frames_[depth_ - 1] == kObject) {
            state_ = kKey;
            goto key;
        }
        state_ = kValue;
        goto value;
    }
    next = after(i, index[i], text[index[i]]);
    goto cold;
key:  // kKey or kFirstKey
    if (i == n) return i;
    if (text[index[i]] != '"') {
        next = key_other(i, index[i]);
        goto cold;
    }
    next = string(index, i, n, last, true);
    if (next >= kMore || state_ != kColon) goto cold;  // a fault in the key: the line is skipped
    i = next;
colon:
    if (i == n) return i;
    if (text[index[i]] != ':') {
        next = fault(i, false);
        goto cold;
    }
    state_ = kValue;
    ++i;
    goto value;
cold:
    if (next >= kMore) return next == kMore ? i : n;
    i = next;
    goto dispatch;
}

// What may stand where a value is expected, other than a string or an
// opening bracket: the end of an empty array, of a blank line, a scalar.
size_t Walk::value_other(size_t i, u32 at) {
    switch (text_[at]) {
        case ']':
            if (state_ != kFirstValue) return fault(i, false);
            --depth_;
            state_ = kAfter;
            return i + 1;
        case '\n':
            if (!lines_ || state_ != kTop) return fault(i, false);
            line_end(at);
            return i + 1;
        default: return scalar(i, at);
    }
}

// What may stand where a key is expected, other than a string: the end of
// an empty object.
size_t Walk::key_other(size_t i, u32 at) {
    if (text_[at] == '}' && state_ == kFirstKey) {
        --depth_;
        state_ = kAfter;
        return i + 1;
    }
    return fault(i, false);
}

// A number or literal starting at entry i; at the start of a line or
// document it may follow a byte order mark.
inline size_t Walk::scalar(size_t i, u32 at) {
    const u8* p = text_ + at;
    if (__builtin_expect(*p == 0xEF, 0) && state_ == kTop && at == line_start_ && size_ - at >= 3 &&
        p[1] == 0xBB && p[2] == 0xBF) {
        if (at + 3 == size_ || kDelimiters.is[p[3]]) return i + 1;  // what follows has entries of its own
        p += 3;  // a token glued to the mark: its run started at the mark
    }
    const u8* q = scalar_token(p, text_ + size_);
    if (q == nullptr || (q != text_ + size_ && !kDelimiters.is[*q])) return fault(i, false);
    state_ = kAfter;
    return i + 1;
}

// After a value, other than a comma in a container: a closing bracket, or
// the end of a line.
size_t Walk::after(size_t i, u32 at, u8 c) {
    if ((c == '}' || c == ']') && depth_ && (frames_[depth_ - 1] == kObject) == (c == '}')) {
        --depth_;
    } else if (c == '\n' && lines_ && depth_ == 0) {
        line_end(at);
    } else {
        return fault(i, false);
    }
    return i + 1;
}

// A string whose opening quote is entry i: a key (its verdict decided, the
// colon expected next) or a value (masked when hidden). Mostly the next
// entry is its closing quote; otherwise there are escapes or faults first.
__attribute__((always_inline)) inline size_t Walk::string(const u32* index, size_t i, size_t n, bool last, bool key) {
    if (i + 1 < n && text_[index[i + 1]] == '"') return string_end(index[i], index[i + 1], 0, key, false) ? i + 2 : kStop;
    return string_escaped(index, i, n, last, key);
}

__attribute__((noinline)) size_t Walk::string_escaped(const u32* index, size_t i, size_t n, bool last, bool key) {
    size_t j = i + 1;
    // Between the quotes the index holds backslashes, and faults: control
    // bytes and bytes that start no UTF-8 character.
    for (; j < n; ++j) {
        const u8 b = text_[index[j]];
        if (b == '"') break;
        if (b != '\\') {
            if (b == '\n' && lines_) {  // the line ends inside the string
                fault(j, true);
                return skip(index, j, n);
            }
            return fault(j + 1, true);
        }
    }
    if (j == n) return last ? fault(n, true) : kMore;
    size_t saved = 0;  // bytes of escapes beyond one per character
    if (!escapes(index, i + 1, j, index[j], &saved)) return fault(j + 1, false);
    string_end(index[i], index[j], saved, key, true);
    return j + 1;
}

// A whole string from `open` to `close`: a key's verdict, or a value masked
// when hidden. Always true (the walk goes on).
__attribute__((always_inline)) inline bool Walk::string_end(u32 open, u32 close, size_t saved, bool key,
                                                            bool escaped) {
    const u8* body = text_ + open + 1;
    const size_t length = close - open - 1;
    if (key) {
        key_hidden_ = decide(body, length, escaped);
        state_ = kColon;
        return true;
    }
    state_ = kAfter;
    if (hidden_here()) mask(open, close, saved);
    return true;
}

// The run of text before a hidden string, then one '*' per character of it.
__attribute__((noinline)) void Walk::mask(u32 open, u32 close, size_t saved) {
    const size_t chars = characters(text_ + open + 1, close - open - 1) - saved;
    std::memcpy(out_ + written_, text_ + copied_, open + 1 - copied_);
    written_ += open + 1 - copied_;
    std::memset(out_ + written_, '*', chars);
    written_ += chars;
    copied_ = close;
}

// Checks the escapes whose backslashes are entries [from, to) (a backslash
// an earlier escape took is passed over); *saved gets the bytes they take
// beyond one per character: a \uXXXX pair of surrogates is one character.
bool Walk::escapes(const u32* index, size_t from, size_t to, u32 close, size_t* saved) const {
    size_t taken = 0;  // the escapes so far end here
    const u8* end = text_ + close;
    for (size_t k = from; k < to; ++k) {
        const u32 b = index[k];
        if (b < taken) continue;
        const u8 e = text_[b + 1];  // not the closing quote, which no backslash escapes
        if (e != 'u') {
            if (!std::strchr("\"\\/bfnrt", e) || e == 0) return false;
            taken = b + 2;
            *saved += 1;
            continue;
        }
        const long u = unicode_escape(text_ + b, end);
        if (u < 0) return false;
        taken = b + 6;
        *saved += 5;
        if (high_surrogate(u) && low_surrogate(unicode_escape(text_ + b + 6, end)) && text_[b + 6] == '\\') {
            taken = b + 12;
            *saved += 6;
        }
    }
    return true;
}

// Whether the key with this body (escapes checked) is hidden: looked up by
// its bytes as written, and decided (decoded, then in the hidden set) only
// the first time those bytes come.
__attribute__((always_inline)) inline bool Walk::decide(const u8* body, size_t length, bool escaped) {
    const KeyWords w = key_words(body, length, text_ + size_);
    const int known = probe_.verdicts.find(body, length, w);
    return known >= 0 ? known : decide_first(body, length, escaped, w);
}

__attribute__((noinline)) bool Walk::decide_first(const u8* body, size_t length, bool escaped, KeyWords w) {
    const u8* key = body;
    size_t n = length;
    if (escaped) {
        unescape(body, body + length, probe_.decoded);
        key = probe_.decoded.data();
        n = probe_.decoded.size();
    }
    const bool hidden = probe_.hidden.find(key, n, hash_bytes(key, n)) >= 0;
    if (probe_.verdicts.size() < (1u << 16)) probe_.verdicts.add(body, length, w, hidden);  // a bound on the cache
    return hidden;
}

// The text is wrong at entry `resume` (or just before it). A document stops
// here; a line is left out of the output, and the rest of it skipped from
// `resume`, inside a string or not as stage 1 saw that entry.
size_t Walk::fault(size_t resume, bool in_string) {
    if (!lines_) {
        bad_ = true;
        return kStop;
    }
    bad_lines.push_back(line_);
    written_ = mark_written_;
    std::memcpy(out_ + written_, text_ + mark_copied_, line_start_ - mark_copied_);
    written_ += line_start_ - mark_copied_;
    copied_ = line_start_;
    state_ = kSkip;
    skip_in_string_ = in_string;
    return resume;
}

// The rest of a bad line, up to its newline: quotes are followed so as to
// know whether stage 1 took that newline for a byte inside a string, after
// which its view of the text is wrong and it must start again.
size_t Walk::skip(const u32* index, size_t i, size_t n) {
    for (; i < n; ++i) {
        const u32 at = index[i];
        const u8 c = text_[at];
        if (c == '"') {
            skip_in_string_ = !skip_in_string_;
        } else if (c == '\n') {
            copied_ = at + 1;  // the bad line goes with its newline
            line_end(at);
            if (skip_in_string_) restart_ = at + 1;
            return restart_ ? kStop : i + 1;
        }
    }
    return n;
}

void Walk::line_end(u32 at) {
    ++line_;
    line_start_ = at + 1;
    mark_written_ = written_;
    mark_copied_ = copied_;
    state_ = kTop;
    depth_ = 0;
}

// The end of the text: what is left is copied; a document must be one whole
// value; an unfinished last line is bad.
void Walk::finish() {
    const bool complete = state_ == kAfter && depth_ == 0;
    if (!lines_) {
        bad_ = bad_ || !complete;
    } else if (!complete && state_ != kTop && state_ != kSkip) {
        fault(0, false);
        copied_ = size_;
    } else if (state_ == kSkip) {
        copied_ = size_;
    }
    if (bad_) return;
    std::memcpy(out_ + written_, text_ + copied_, size_ - copied_);
    written_ += size_ - copied_;
}

// Stage 1 alone over the whole text, in passes of `chunk` bytes into the
// same index: the number of entries (what stage 2 would walk).
template <Path P>
long long stage1_alone(Probe& probe, const u8* text, size_t n, bool lines, size_t chunk) {
    Carry carry;
    long long entries = 0;
    for (size_t from = 0; from < n; from += chunk) {
        const size_t to = from + chunk < n ? from + chunk : n;
        entries += stage1<P>(text, from, to, n, carry, probe.index.data(), lines) - probe.index.data();
    }
    return entries;
}

template <Path P>
long long run(Probe& probe, const u8* text, size_t n, bool lines, size_t chunk, u8* out, size_t* out_length,
              u32* bad_lines, size_t bad_room, bool alone) {
    chunk = (chunk + 63) & ~size_t(63);
    if (probe.index.size() < chunk + 128) probe.index.resize(chunk + 128);
    if (alone) return stage1_alone<P>(probe, text, n, lines, chunk);
    Carry carry;
    Walk walk(probe, text, n, lines, out);
    size_t kept = 0;  // entries carried over to the next pass
    for (size_t from = 0; from < n;) {
        const size_t to = from + chunk < n ? from + chunk : n;
        u32* e = stage1<P>(text, from, to, n, carry, probe.index.data() + kept, lines);
        const size_t count = static_cast<size_t>(e - probe.index.data());
        const size_t done = walk.run(probe.index.data(), 0, count, to == n);
        if (walk.bad()) return -1;
        if (walk.restart()) {  // a line ended inside a string: stage 1 starts again after it
            from = walk.restart();
            walk.restarted();
            carry = Carry{};
            carry.checked = from;
            kept = 0;
            continue;
        }
        kept = count - done;
        std::memmove(probe.index.data(), probe.index.data() + done, kept * sizeof(u32));
        if (probe.index.size() < kept + chunk + 128) probe.index.resize(kept + chunk + 128);
        from = to;
    }
    walk.finish();
    if (walk.bad()) return -1;
    *out_length = walk.written();
    for (size_t k = 0; k < walk.bad_lines.size() && k < bad_room; ++k) bad_lines[k] = walk.bad_lines[k];
    return static_cast<long long>(walk.bad_lines.size());
}

}  // namespace

extern "C" {

void* probe_new(const char* const* keys, const size_t* lengths, int count) {
    auto* probe = new Probe();
    for (int k = 0; k < count; ++k) {
        const auto* p = reinterpret_cast<const u8*>(keys[k]);
        const u64 h = hash_bytes(p, lengths[k]);
        if (probe->hidden.find(p, lengths[k], h) < 0) probe->hidden.add(p, lengths[k], h, 1);
    }
    return probe;
}

void probe_free(void* probe) { delete static_cast<Probe*>(probe); }

// Masks `text` into `out` (room for n bytes), validating it: a document
// (lines 0) returns 0, or -1 when it is not valid JSON; JSON Lines (lines 1)
// returns the number of bad lines, left out of the output, and writes the
// first bad_room of their 1-based numbers to bad_lines. path 0: AVX2 (with
// PCLMUL and BMI2), 1: SSE2. -3: a text too long for 32-bit positions, or
// an unknown path. lines | 2: stage 1 alone, returning its index entries.
long long probe_run(void* handle, const unsigned char* text, size_t n, int path, int lines, size_t chunk,
                    unsigned char* out, size_t* out_length, unsigned* bad_lines, size_t bad_room) {
    auto& probe = *static_cast<Probe*>(handle);
    if (n > 0xffff0000u) return -3;
    switch (path) {
        case kAvx2:
            return run<kAvx2>(probe, text, n, lines & 1, chunk, out, out_length, bad_lines, bad_room, lines & 2);
        case kSse2:
            return run<kSse2>(probe, text, n, lines & 1, chunk, out, out_length, bad_lines, bad_room, lines & 2);
        default: return -3;
    }
}

}  // extern "C"
