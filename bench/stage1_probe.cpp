// A probe, not the product: what a structural index of JSON text costs on
// this machine, measured by bench/bench_stage1.py (which builds this file
// with g++ at run time and calls it through ctypes).
//
// Stage 1 reads the text 64 bytes at a time and makes four bitmasks per
// block (quotes, backslashes, control bytes, structural characters), finds
// the quotes a backslash run escapes, turns the real quotes into an
// in-string mask by a prefix xor (carry-less multiply by all ones on the
// AVX2 path, shifts on the SSE2 one), and appends the positions of the
// structural characters outside strings, of every string's opening and
// closing quote and of the backslashes inside strings to a reused uint32
// index.
//
// Stage 2 walks the index only: a string whose next entry is ':' is a key,
// looked up in a small open-addressing table of hidden keys; a string value
// under a hidden key (or inside an array under one, at any depth) is masked
// with one '*' per character, as velmora.scan masks it, into an output
// buffer, or only counted.
//
// What it does not do, and velmora.scan does: check the grammar (numbers,
// literals, commas, colons, nesting), check UTF-8, report where the text is
// wrong, follow JSON paths or rules. It notices only a control byte inside
// a string, an unterminated string and nesting deeper than its stack.

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
    u64 quote, backslash, control, structural;
};

// Lean: the structural mask holds brackets and braces only (stage 2 then
// reads the byte after a string to tell a key by its ':').
template <bool Lean>
__attribute__((target("avx2"))) inline Block masks_avx2(const u8* p) {
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    auto bits = [](__m256i a, __m256i b) {
        return u64(u32(_mm256_movemask_epi8(a))) | (u64(u32(_mm256_movemask_epi8(b))) << 32);
    };
    const __m256i quote = _mm256_set1_epi8('"');
    const __m256i backslash = _mm256_set1_epi8('\\');
    const __m256i space_bit = _mm256_set1_epi8(0x20);
    const __m256i below_space = _mm256_set1_epi8(0x1f);
    // With 0x20 set, '[' and ']' read as '{' and '}', and the low nibble of
    // each of the six structural characters picks a byte only it matches
    // (no byte with 0x20 set is 0, the table's other entries).
    constexpr char colon = Lean ? 0 : ':', comma = Lean ? 0 : ',';
    const __m256i table = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, colon, '{', comma, '}', 0, 0,
                                           0, 0, 0, 0, 0, 0, 0, 0, 0, 0, colon, '{', comma, '}', 0, 0);
    auto structural = [&](__m256i v) {
        return _mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, v), _mm256_or_si256(v, space_bit));
    };
    auto control = [&](__m256i v) { return _mm256_cmpeq_epi8(_mm256_min_epu8(v, below_space), v); };
    return {bits(_mm256_cmpeq_epi8(lo, quote), _mm256_cmpeq_epi8(hi, quote)),
            bits(_mm256_cmpeq_epi8(lo, backslash), _mm256_cmpeq_epi8(hi, backslash)),
            bits(control(lo), control(hi)), bits(structural(lo), structural(hi))};
}

// One 64-byte vector: each mask is one compare into a mask register.
template <bool Lean>
__attribute__((target("avx512f,avx512bw"))) inline Block masks_avx512(const u8* p) {
    const __m512i v = _mm512_loadu_si512(p);
    constexpr char colon = Lean ? 0 : ':', comma = Lean ? 0 : ',';
    alignas(64) static constexpr char lanes[64] = {
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, colon, '{', comma, '}', 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, colon, '{', comma, '}', 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, colon, '{', comma, '}', 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, colon, '{', comma, '}', 0, 0};
    const __m512i table = _mm512_load_si512(lanes);
    return {_mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('"')), _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\\')),
            _mm512_cmple_epu8_mask(v, _mm512_set1_epi8(0x1f)),
            _mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(table, v), _mm512_or_si512(v, _mm512_set1_epi8(0x20)))};
}

template <bool Lean>
inline Block masks_sse2(const u8* p) {
    Block b{0, 0, 0, 0};
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space_bit = _mm_set1_epi8(0x20);
    const __m128i below_space = _mm_set1_epi8(0x1f);
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        const __m128i folded = _mm_or_si128(v, space_bit);
        __m128i s = _mm_or_si128(_mm_cmpeq_epi8(folded, _mm_set1_epi8('{')),
                                 _mm_cmpeq_epi8(folded, _mm_set1_epi8('}')));
        if (!Lean) {
            s = _mm_or_si128(s, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(',')),
                                             _mm_cmpeq_epi8(v, _mm_set1_epi8(':'))));
        }
        const int shift = 16 * k;
        b.quote |= u64(u32(_mm_movemask_epi8(_mm_cmpeq_epi8(v, quote)))) << shift;
        b.backslash |= u64(u32(_mm_movemask_epi8(_mm_cmpeq_epi8(v, backslash)))) << shift;
        b.control |= u64(u32(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(v, below_space), v)))) << shift;
        b.structural |= u64(u32(_mm_movemask_epi8(s))) << shift;
    }
    return b;
}

// The carries from one block to the next.
struct Carry {
    u64 escaped = 0;    // 1: the next block's first byte is escaped
    u64 in_string = 0;  // all ones: the next block starts inside a string
};

struct Found {
    u64 index;      // structural characters outside strings, real quotes, backslashes in strings
    u64 in_string;  // from an opening quote up to (not including) its closing one
    u64 bad;        // control bytes inside strings
};

template <bool Clmul>
inline Found classify(const Block& b, Carry& carry) {
    const u64 quotes = b.quote & ~escaped_bytes(b.backslash, carry.escaped);
    const u64 in_string = (Clmul ? prefix_xor_clmul(quotes) : prefix_xor_shifts(quotes)) ^ carry.in_string;
    carry.in_string = static_cast<u64>(static_cast<std::int64_t>(in_string) >> 63);
    // Backslashes in strings go in the index too, so that stage 2 knows a
    // string with escapes without reading it.
    return {(b.structural & ~in_string) | quotes | (b.backslash & in_string), in_string, b.control & in_string};
}

// Appends base + the position of every set bit; writes up to 16 entries past
// the last one (the index keeps room for them). Sixteen entries are written
// whatever the count, and sixteen more past 16: a branch on the count within
// its common range (about 11 entries a block on API logs with the lean index,
// 17 with the full one) is mispredicted often. Against eight entries and a
// branch for eight more, stage 1 ran 1.2x (lean) and 1.35x (full) as fast.
__attribute__((target("bmi,bmi2,popcnt"))) inline u32* flatten(u32* out, u32 base, u64 bits) {
    const int count = __builtin_popcountll(bits);
#pragma GCC unroll 16
    for (int k = 0; k < 16; ++k) {
        out[k] = base + static_cast<u32>(_tzcnt_u64(bits));
        bits = _blsr_u64(bits);
    }
    if (count > 16) {
#pragma GCC unroll 16
        for (int k = 16; k < 32; ++k) {
            out[k] = base + static_cast<u32>(_tzcnt_u64(bits));
            bits = _blsr_u64(bits);
        }
        for (int k = 32; bits; ++k) {
            out[k] = base + static_cast<u32>(_tzcnt_u64(bits));
            bits = _blsr_u64(bits);
        }
    }
    return out + count;
}

enum Path { kAvx2 = 0, kSse2 = 1, kAvx512 = 2 };

// Stage 1 over [from, to) of `text` (from a multiple of 64), positions
// relative to `text`. The last partial block is read from a copy padded
// with spaces. (The whole file is built for AVX2, PCLMUL and BMI2; the
// AVX-512 loop is the same loop in a function of its own target.)
#define VELMORA_PROBE_STAGE1_LOOP(MASKS, CLMUL)                                                          \
    for (size_t at = from; at < to; at += 64) {                                                          \
        Block b;                                                                                         \
        if (at + 64 <= end) {                                                                            \
            b = MASKS(text + at);                                                                        \
        } else {                                                                                         \
            alignas(64) u8 tail[64];                                                                     \
            std::memset(tail, ' ', 64);                                                                  \
            std::memcpy(tail, text + at, end - at);                                                      \
            b = MASKS(tail);                                                                             \
        }                                                                                                \
        const Found f = classify<CLMUL>(b, carry);                                                       \
        bad |= f.bad;                                                                                    \
        if (in_string_out) {                                                                             \
            for (size_t k = 0; k < 64 && at + k < end; ++k) in_string_out[at + k] = (f.in_string >> k) & 1; \
        }                                                                                                \
        if (count_only) {                                                                                \
            out += __builtin_popcountll(f.index);                                                        \
        } else {                                                                                         \
            out = flatten(out, static_cast<u32>(at), f.index);                                           \
        }                                                                                                \
    }                                                                                                    \
    return out;

template <Path P, bool Lean>
u32* stage1(const u8* text, size_t from, size_t to, size_t end, Carry& carry, u32* out, u64& bad,
            u8* in_string_out, bool count_only) {
    if constexpr (P == kAvx2) {
        VELMORA_PROBE_STAGE1_LOOP(masks_avx2<Lean>, true)
    } else {
        VELMORA_PROBE_STAGE1_LOOP(masks_sse2<Lean>, false)
    }
}

template <bool Lean>
__attribute__((target("avx512f,avx512bw"))) u32* stage1_avx512(const u8* text, size_t from, size_t to, size_t end,
                                                                Carry& carry, u32* out, u64& bad,
                                                                u8* in_string_out, bool count_only) {
    VELMORA_PROBE_STAGE1_LOOP(masks_avx512<Lean>, true)
}

struct Keys {
    static constexpr int kSlots = 64;
    struct Slot {
        u32 length = 0;
        bool used = false;
        char bytes[48] = {};
    };
    Slot slots[kSlots];
    // Most keys are not hidden: a bit per (length, first and last byte)
    // turns almost all of them away before the table is read.
    u64 filter[16] = {};

    static u32 hash(const u8* p, size_t n) {
        return static_cast<u32>((n * 0x9e3779b1u) ^ (p[0] * 31u) ^ (p[n - 1] * 131u) ^ (p[n / 2] * 7u));
    }
    static u32 sieve(const u8* p, size_t n) {
        return ((u32(p[0]) | (u32(p[n - 1]) << 8) | (u32(n) << 16)) * 0x9e3779b1u) >> 22;
    }
    bool add(const u8* p, size_t n) {
        if (n == 0 || n > sizeof(Slot::bytes)) return false;
        filter[sieve(p, n) >> 6] |= u64(1) << (sieve(p, n) & 63);
        for (u32 h = hash(p, n), k = 0; k < kSlots; ++k) {
            Slot& s = slots[(h + k) % kSlots];
            if (!s.used) {
                s.used = true;
                s.length = static_cast<u32>(n);
                std::memcpy(s.bytes, p, n);
                return true;
            }
        }
        return false;
    }
    bool hidden(const u8* p, size_t n) const {
        if (n == 0 || n > sizeof(Slot::bytes)) return false;
        if (!((filter[sieve(p, n) >> 6] >> (sieve(p, n) & 63)) & 1)) return false;
        for (u32 h = hash(p, n), k = 0; k < kSlots; ++k) {
            const Slot& s = slots[(h + k) % kSlots];
            if (!s.used) return false;
            if (s.length == n && std::memcmp(s.bytes, p, n) == 0) return true;
        }
        return false;
    }
};

inline long hex4(const u8* p, const u8* end) {
    if (end - p < 4) return -1;
    long v = 0;
    for (int k = 0; k < 4; ++k) {
        const int h = hex(p[k]);
        if (h < 0) return -1;
        v = v * 16 + h;
    }
    return v;
}

// Decodes a string body with escapes into UTF-8 (for keys); false when an
// escape is malformed or the key is too long to be hidden anyway.
bool unescape(const u8* p, const u8* end, u8* out, size_t& n, size_t room) {
    n = 0;
    auto put = [&](u32 c) {
        u8 b[4];
        int len;
        if (c < 0x80) {
            b[0] = static_cast<u8>(c);
            len = 1;
        } else if (c < 0x800) {
            b[0] = static_cast<u8>(0xc0 | (c >> 6));
            b[1] = static_cast<u8>(0x80 | (c & 0x3f));
            len = 2;
        } else if (c < 0x10000) {
            b[0] = static_cast<u8>(0xe0 | (c >> 12));
            b[1] = static_cast<u8>(0x80 | ((c >> 6) & 0x3f));
            b[2] = static_cast<u8>(0x80 | (c & 0x3f));
            len = 3;
        } else {
            b[0] = static_cast<u8>(0xf0 | (c >> 18));
            b[1] = static_cast<u8>(0x80 | ((c >> 12) & 0x3f));
            b[2] = static_cast<u8>(0x80 | ((c >> 6) & 0x3f));
            b[3] = static_cast<u8>(0x80 | (c & 0x3f));
            len = 4;
        }
        if (n + len > room) return false;
        std::memcpy(out + n, b, len);
        n += len;
        return true;
    };
    while (p < end) {
        if (*p != '\\') {
            if (n == room) return false;
            out[n++] = *p++;
            continue;
        }
        if (end - p < 2) return false;
        const u8 e = p[1];
        p += 2;
        u32 c;
        switch (e) {
            case '"': c = '"'; break;
            case '\\': c = '\\'; break;
            case '/': c = '/'; break;
            case 'b': c = '\b'; break;
            case 'f': c = '\f'; break;
            case 'n': c = '\n'; break;
            case 'r': c = '\r'; break;
            case 't': c = '\t'; break;
            case 'u': {
                const long v = hex4(p, end);
                if (v < 0) return false;
                p += 4;
                c = static_cast<u32>(v);
                if (c >= 0xd800 && c < 0xdc00 && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
                    const long w = hex4(p + 2, end);
                    if (w >= 0xdc00 && w < 0xe000) {
                        c = 0x10000 + ((c - 0xd800) << 10) + static_cast<u32>(w - 0xdc00);
                        p += 6;
                    }
                }
                break;
            }
            default: return false;
        }
        if (!put(c)) return false;
    }
    return true;
}

// Characters in a string body without escapes: its bytes less the UTF-8
// continuation bytes (10xxxxxx), eight at a time.
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

// Characters in a string body as written: one per UTF-8 lead byte, one per
// escape, one per surrogate pair written as two \u escapes.
size_t characters_escaped(const u8* p, const u8* end) {
    size_t n = 0;
    while (p < end) {
        if (*p != '\\') {
            n += (*p & 0xc0) != 0x80;
            ++p;
            continue;
        }
        ++n;
        if (end - p >= 6 && p[1] == 'u') {
            const long v = hex4(p + 2, end);
            p += 6;
            if (v >= 0xd800 && v < 0xdc00 && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
                const long w = hex4(p + 2, end);
                if (w >= 0xdc00 && w < 0xe000) p += 6;
            }
        } else {
            p += 2;
        }
    }
    return n;
}

enum Mode { kStage1 = 0, kCount = 1, kWrite = 2, kClasses = 3 };
enum Frame : u8 { kObject = 0, kArray = 1, kHiddenArray = 2 };
enum Class : u8 { kValue = 0, kKey = 1, kHiddenValue = 2, kHiddenKey = 3 };

struct Probe {
    Keys keys;
    std::vector<u32> index;
    std::vector<u8> frames;
    u64 masked_escaped = 0;  // masked strings that had escapes (last run)
    u64 entries = 0;         // index entries (last run)

    Probe() : frames(4096) {}
};

struct Walk {
    const Probe& probe;
    const u8* text;
    size_t size;
    Mode mode;
    u8* out;
    size_t written = 0;
    size_t copied = 0;  // text before this is in `out`
    u8* classes;
    size_t strings = 0;
    size_t depth = 0;
    bool key_hidden = false;
    u64 masked = 0;
    u64 masked_escaped = 0;
    bool failed = false;
    const u8* frames_end;
    u8* frames;

    // Walks index[i, n); stops early (returning where) when a string's
    // closing quote or the entry after it is not in the index yet.
    template <bool Lean>
    size_t run(const u32* index, size_t i, size_t n, bool last) {
        while (i < n) {
            const u32 at = index[i];
            const u8 c = text[at];
            if (c == '"') {
                size_t j = i + 1;
                while (j < n && text[index[j]] == '\\') ++j;
                const bool escapes = j != i + 1;
                if (j + (Lean ? 0 : 1) >= n && !last) return i;
                if (j >= n) {
                    failed = true;  // unterminated string
                    return n;
                }
                const u32 close = index[j];
                bool key;
                if (Lean) {
                    size_t after = close + 1;
                    while (after < size && (text[after] == ' ' || text[after] == '\n' || text[after] == '\t' ||
                                            text[after] == '\r')) {
                        ++after;
                    }
                    key = after < size && text[after] == ':';
                } else {
                    key = j + 1 < n && text[index[j + 1]] == ':';
                }
                i = j + 1;
                const u8* body = text + at + 1;
                const size_t length = close - at - 1;
                if (key) {
                    if (escapes) {
                        u8 buf[64];
                        size_t k;
                        key_hidden = unescape(body, body + length, buf, k, sizeof buf) && probe.keys.hidden(buf, k);
                    } else {
                        key_hidden = probe.keys.hidden(body, length);
                    }
                    if (mode == kClasses) classes[strings++] = key_hidden ? kHiddenKey : kKey;
                    continue;
                }
                const u8 frame = depth ? frames[depth - 1] : u8(kArray);
                const bool hidden = frame == kObject ? key_hidden : frame == kHiddenArray;
                if (mode == kClasses) classes[strings++] = hidden ? kHiddenValue : kValue;
                if (!hidden) continue;
                ++masked;
                if (mode != kWrite) continue;
                size_t chars = 0;
                if (escapes) {
                    chars = characters_escaped(body, body + length);
                    ++masked_escaped;
                } else {
                    chars = characters(body, length);
                }
                std::memcpy(out + written, text + copied, at + 1 - copied);
                written += at + 1 - copied;
                std::memset(out + written, '*', chars);
                written += chars;
                copied = close;
                continue;
            }
            ++i;
            if (c == '{' || c == '[') {
                if (frames + depth == frames_end) {
                    failed = true;
                    return n;
                }
                u8 frame = kObject;
                if (c == '[') {
                    const u8 outer = depth ? frames[depth - 1] : u8(kArray);
                    frame = (outer == kObject ? key_hidden : outer == kHiddenArray) ? kHiddenArray : kArray;
                }
                frames[depth++] = frame;
            } else if (c == '}' || c == ']') {
                if (depth == 0) {
                    failed = true;
                    return n;
                }
                --depth;
            }
        }
        return i;
    }
};

template <Path P, bool Lean>
long long run(Probe& probe, const u8* text, size_t n, Mode mode, size_t chunk, u8* out, size_t* out_length,
              u8* aux, bool count_only) {
    chunk = (chunk + 63) & ~size_t(63);
    const size_t room = chunk + 256;
    if (probe.index.size() < room) probe.index.resize(room);
    u32* index = probe.index.data();
    Carry carry;
    u64 bad = 0;
    Walk walk{probe, text, n, mode, out, 0, 0, aux, 0, 0, false, 0, 0, false,
              probe.frames.data() + probe.frames.size(), probe.frames.data()};
    size_t kept = 0;  // entries carried over to the next chunk
    u64 entries = 0;
    for (size_t from = 0; from < n; from += chunk) {
        const size_t to = from + chunk < n ? from + chunk : n;
        if (mode == kStage1) {
            u32* e = P == kAvx512 ? stage1_avx512<Lean>(text, from, to, n, carry, index, bad, aux, count_only)
                                  : stage1<P, Lean>(text, from, to, n, carry, index, bad, aux, count_only);
            entries += static_cast<u64>(e - index);
            continue;
        }
        u32* e = P == kAvx512 ? stage1_avx512<Lean>(text, from, to, n, carry, index + kept, bad, nullptr, false)
                              : stage1<P, Lean>(text, from, to, n, carry, index + kept, bad, nullptr, false);
        const size_t count = static_cast<size_t>(e - index);
        entries += count - kept;
        const bool last = to == n;
        const size_t done = walk.run<Lean>(index, 0, count, last);
        if (walk.failed) return -1;
        kept = count - done;
        std::memmove(index, index + done, kept * sizeof(u32));
        // Entries beyond the chunk: grow the index when the next chunk's
        // entries might not fit behind those kept.
        if (probe.index.size() < kept + chunk + 128) {
            probe.index.resize(kept + chunk + 128);
            index = probe.index.data();
        }
    }
    if (carry.in_string) return -1;
    if (bad) return -2;
    probe.entries = entries;
    probe.masked_escaped = walk.masked_escaped;
    if (mode == kWrite) {
        std::memcpy(out + walk.written, text + walk.copied, n - walk.copied);
        *out_length = walk.written + n - walk.copied;
    }
    if (mode == kClasses && out_length) *out_length = walk.strings;
    return mode == kStage1 ? static_cast<long long>(entries) : static_cast<long long>(walk.masked);
}

}  // namespace

extern "C" {

void* probe_new(const char* const* keys, const size_t* lengths, int count) {
    auto* probe = new Probe();
    for (int k = 0; k < count; ++k) {
        if (!probe->keys.add(reinterpret_cast<const u8*>(keys[k]), lengths[k])) {
            delete probe;
            return nullptr;
        }
    }
    return probe;
}

void probe_free(void* probe) { delete static_cast<Probe*>(probe); }

// mode 0: stage 1 alone, returns the number of index entries; aux, when
// given, receives the in-string flag of every byte.
// mode 1: stages 1 and 2, returns the number of masked strings.
// mode 2: the same, writing the masked text to out (room for n bytes).
// mode 3: the same, writing the class of every string to aux (0 value,
//   1 key, 2 hidden value, 3 hidden key) and their number to *out_length.
// mode | 4: the lean index, without ',' and ':' (a key is told by the byte
//   after its closing quote, white space skipped).
// mode 0 | 8: stage 1 counting the entries without writing them.
// path 0: AVX2 (with PCLMUL and BMI2), 1: SSE2, 2: AVX-512 (BW; -3 when
// the processor lacks it). chunk: bytes of text per
// stage 1 pass before stage 2 reads its entries. Negative on bad text.
long long probe_run(void* handle, const unsigned char* text, size_t n, int path, int mode, size_t chunk,
                    unsigned char* out, size_t* out_length, unsigned char* aux) {
    auto& probe = *static_cast<Probe*>(handle);
    const Mode m = static_cast<Mode>(mode & 3);
    const bool lean = mode & 4;
    const bool count_only = m == kStage1 && (mode & 8);
    switch (path) {
        case kAvx2:
            return lean ? run<kAvx2, true>(probe, text, n, m, chunk, out, out_length, aux, count_only)
                        : run<kAvx2, false>(probe, text, n, m, chunk, out, out_length, aux, count_only);
        case kSse2:
            return lean ? run<kSse2, true>(probe, text, n, m, chunk, out, out_length, aux, count_only)
                        : run<kSse2, false>(probe, text, n, m, chunk, out, out_length, aux, count_only);
        case kAvx512:
            if (!__builtin_cpu_supports("avx512bw")) return -3;
            return lean ? run<kAvx512, true>(probe, text, n, m, chunk, out, out_length, aux, count_only)
                        : run<kAvx512, false>(probe, text, n, m, chunk, out, out_length, aux, count_only);
        default:
            return -3;
    }
}

unsigned long long probe_masked_escaped(void* handle) { return static_cast<Probe*>(handle)->masked_escaped; }
unsigned long long probe_entries(void* handle) { return static_cast<Probe*>(handle)->entries; }

}  // extern "C"
