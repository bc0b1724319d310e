// The scan. One pass over the candidates in order: at each, the formats
// whose first unit it is are checked, and the automaton of registered
// values starts there unless a run of it already covers the place. A run
// goes on while a value may still be in progress (its state is at least
// four bytes deep) and hands back the first place where one may start
// again, so every unit is read by the automaton a bounded number of times.
#include "find.h"

#include <atomic>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VELMORA_DETECT_AVX2 1
#endif

namespace velmora::detect {

namespace {

// A pending span of values, merged as matches arrive in order of their
// end. A longer match may start before the pending one; spans flushed
// earlier that a later match reaches are merged at the end.
struct Pending {
    size_t begin = 0, end = 0;
    bool open = false;
    bool flush(SpanList& out) {
        if (!open) return true;
        open = false;
        return out.push(Span{begin, end, kValue});
    }
};

// A run of the automaton over UTF-8 from `pos`, whose first four bytes
// lead to `state`: the place where a value may start again, or SIZE_MAX
// when memory ran out.
size_t run_utf8(const Automaton& ac, const uint8_t* t, size_t n, size_t pos, uint32_t state, SpanList& out) {
    Pending pending;
    size_t i = pos + 4;
    auto report = [&](uint32_t s) {
        const uint32_t longest = ac.longest(s);
        if (longest == 0) return true;
        const size_t begin = i - longest;
        if (pending.open && begin <= pending.end) {
            if (begin < pending.begin) pending.begin = begin;
            pending.end = i;
            return true;
        }
        if (!pending.flush(out)) return false;
        pending = Pending{begin, i, true};
        return true;
    };
    if (!report(state)) return SIZE_MAX;
    while (i < n) {
        state = ac.step(state, t[i]);
        i++;
        if (!report(state)) return SIZE_MAX;
        const uint32_t depth = ac.depth(state);
        if (depth <= 3) return pending.flush(out) ? i - depth : SIZE_MAX;
    }
    return pending.flush(out) ? n : SIZE_MAX;
}

// The same over the code points of a str from `pos` (a candidate): each
// code point is fed as its UTF-8 bytes. A match is known by its length in
// bytes; its first code point is found by walking back from the pending
// span's start, or from its own end when it starts after the pending span.
template <class Unit>
size_t run_code(const Automaton& ac, const Unit* t, size_t n, size_t pos, SpanList& out) {
    Pending pending;
    size_t pending_begin_byte = 0, pending_end_byte = 0;  // bytes fed before the pending span's ends
    size_t fed = 0;
    uint32_t state = Automaton::kRoot;
    auto walk_back = [&](size_t last, size_t bytes) {  // first code point of the `bytes` ending with `last`
        size_t k = last;
        size_t covered = size_t(utf8_length(t[k]));
        while (covered < bytes && k > pos) covered += size_t(utf8_length(t[--k]));
        return k;
    };
    for (size_t i = pos; i < n; i++) {
        uint8_t bytes[4];
        const int length = utf8_encode(t[i], bytes);
        for (int k = 0; k < length; k++) state = ac.step(state, bytes[k]);
        fed += size_t(length);
        const uint32_t longest = ac.longest(state);
        if (longest != 0) {
            const size_t begin_byte = fed - longest;
            if (pending.open && begin_byte <= pending_end_byte) {
                if (begin_byte < pending_begin_byte) {
                    pending.begin = walk_back(pending.begin - 1, pending_begin_byte - begin_byte);
                    pending_begin_byte = begin_byte;
                }
                pending.end = i + 1;
            } else {
                if (!pending.flush(out)) return SIZE_MAX;
                pending = Pending{walk_back(i, longest), i + 1, true};
                pending_begin_byte = begin_byte;
            }
            pending_end_byte = fed;
        }
        const uint32_t depth = ac.depth(state);
        if (depth == 0) return pending.flush(out) ? i + 1 : SIZE_MAX;
        if (i + 1 - pos >= 4 && depth <= 3) return pending.flush(out) ? walk_back(i, depth) : SIZE_MAX;
    }
    return pending.flush(out) ? n : SIZE_MAX;
}

// Candidates come in blocks of 32 places: bit k of a block's mask says
// that the gram at begin + k is in the filter. The scalar block is the
// reference; the vector one only computes the same mask faster.
constexpr size_t kBlock = 32;

template <class Unit>
uint32_t block_scalar(const GramFilter& filter, const Unit* t, size_t begin, size_t count) {
    uint32_t mask = 0;
    for (size_t k = 0; k < count; k++) mask |= uint32_t(filter.test(gram_at(t + begin + k))) << k;
    return mask;
}

// Set under the interpreter lock, read by scans that may run without it.
std::atomic<bool> vector_path{false};

#ifdef VELMORA_DETECT_AVX2
// The answers for the grams at p .. p + 7: one 16-byte load, spread into
// the eight grams by a shuffle, hashed together, their words gathered from
// the bitmap and both bits of each tested.
__attribute__((target("avx2"))) inline uint32_t eight_bits(const GramFilter& filter, const uint8_t* at) {
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, 3, 1, 2, 3, 4, 2, 3, 4, 5, 3, 4, 5, 6,  //
                                            4, 5, 6, 7, 5, 6, 7, 8, 6, 7, 8, 9, 7, 8, 9, 10);
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m256i grams = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(bytes), spread);
    const __m256i index = _mm256_srl_epi32(_mm256_mullo_epi32(grams, _mm256_set1_epi32(int(GramFilter::kWordHash))),
                                           _mm_cvtsi32_si128(int(filter.shift())));
    const __m256i h = _mm256_mullo_epi32(grams, _mm256_set1_epi32(int(GramFilter::kBitHash)));
    const __m256i w = _mm256_i32gather_epi32(reinterpret_cast<const int*>(filter.words()), index, 4);
    const __m256i low5 = _mm256_set1_epi32(31);
    // Each wanted bit moved to bit 31: 31 - b is the shift left.
    const __m256i first = _mm256_sllv_epi32(w, _mm256_sub_epi32(low5, _mm256_srli_epi32(h, 27)));
    const __m256i second =
        _mm256_sllv_epi32(w, _mm256_sub_epi32(low5, _mm256_and_si256(_mm256_srli_epi32(h, 22), low5)));
    return uint32_t(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_and_si256(first, second))));
}

// A whole block: four independent groups, so that their gathers overlap.
// The last load reads 16 bytes from begin + 24: the caller leaves room.
__attribute__((target("avx2"))) uint32_t block_avx2(const GramFilter& filter, const uint8_t* t, size_t begin) {
    return eight_bits(filter, t + begin) | eight_bits(filter, t + begin + 8) << 8 |
           eight_bits(filter, t + begin + 16) << 16 | eight_bits(filter, t + begin + 24) << 24;
}
#endif

// The mask of the `count` (at most 32) places from `begin`; `end` is the
// end of the text.
template <class Unit>
uint32_t block(const GramFilter& filter, const Unit* t, size_t begin, size_t count, size_t end, bool vector) {
#ifdef VELMORA_DETECT_AVX2
    if constexpr (sizeof(Unit) == 1) {
        if (vector && count == kBlock && begin + 40 <= end) return block_avx2(filter, t, begin);
    }
#endif
    (void)end;
    (void)vector;
    return block_scalar(filter, t, begin, count);
}

int compare_spans(const void* a, const void* b) {
    const size_t x = static_cast<const Span*>(a)->begin, y = static_cast<const Span*>(b)->begin;
    return x < y ? -1 : x > y ? 1 : 0;
}

}  // namespace

bool use_vector_path(bool wanted) {
#ifdef VELMORA_DETECT_AVX2
    __builtin_cpu_init();
    vector_path.store(wanted && __builtin_cpu_supports("avx2"), std::memory_order_relaxed);
#else
    (void)wanted;
#endif
    return vector_path.load(std::memory_order_relaxed);
}

void merge_spans(SpanList& spans) {
    const size_t n = spans.size();
    bool sorted = true;
    for (size_t i = 1; i < n && sorted; i++) sorted = spans[i - 1].begin <= spans[i].begin;
    if (!sorted) std::qsort(spans.begin(), n, sizeof(Span), compare_spans);
    size_t w = 0;
    for (size_t i = 0; i < n; i++) {
        const Span s = spans[i];
        if (w > 0 && s.begin <= spans[w - 1].end) {
            Span& last = spans[w - 1];
            if (s.end > last.end) last.end = s.end;
            last.kinds |= s.kinds;
        } else {
            spans[w++] = s;
        }
    }
    spans.truncate(w);
}

template <class E>
bool find_spans(const Engine& engine, const typename E::Unit* t, size_t n, SpanList& out, Carry* carry) {
    out.clear();
    FormatScan scan;
    if (carry != nullptr && carry->in_block && (engine.formats & kPrivateKey)) {
        if (!continue_block(t, n, scan, out)) return false;
    }
    if (n >= 4 && (engine.formats != 0 || engine.has_values)) {
        // Every format and value is at least four units long.
        const size_t last = n - 4;
        const GramFilter& filter = E::kBytes ? engine.any_utf8 : engine.any_code;
        const bool vector = vector_path.load(std::memory_order_relaxed);
        size_t values_from = 0;  // where a value may start that no run has covered
        for (size_t begin = 0; begin <= last; begin += kBlock) {
            const size_t count = last - begin + 1 < kBlock ? last - begin + 1 : kBlock;
            for (uint32_t mask = block(filter, t, begin, count, n, vector); mask != 0; mask &= mask - 1) {
                const size_t p = begin + size_t(__builtin_ctz(mask));
                const uint32_t c = t[p];
                const uint32_t formats = c < 128 ? engine.first.of[c] : 0;
                if (formats != 0 && !check_formats(formats, t, n, p, scan, out)) return false;
                if (!engine.has_values || p < values_from) continue;
                const uint32_t gram = gram_at(t + p);
                if (!engine.values_check.test(gram)) continue;
                size_t resume;
                if constexpr (E::kBytes) {
                    const uint32_t state = engine.values_utf8.find(gram);
                    if (state == Automaton::kRoot) continue;
                    resume = run_utf8(engine.values, t, n, p, state, out);
                } else {
                    resume = run_code(engine.values, t, n, p, out);
                }
                if (resume == SIZE_MAX) return false;
                values_from = resume;
            }
        }
    }
    if (carry != nullptr) carry->in_block = scan.open_at_end && (engine.formats & kPrivateKey);
    merge_spans(out);
    return true;
}

template bool find_spans<Utf8>(const Engine&, const uint8_t*, size_t, SpanList&, Carry*);
template bool find_spans<Latin1>(const Engine&, const uint8_t*, size_t, SpanList&, Carry*);
template bool find_spans<Ucs2>(const Engine&, const uint16_t*, size_t, SpanList&, Carry*);
template bool find_spans<Ucs4>(const Engine&, const uint32_t*, size_t, SpanList&, Carry*);

bool find_in_str(const Engine& engine, PyObject* text, SpanList& out) {
    const size_t n = size_t(PyUnicode_GET_LENGTH(text));
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            if (PyUnicode_IS_ASCII(text)) return find_spans<Utf8>(engine, static_cast<const uint8_t*>(data), n, out, nullptr);
            return find_spans<Latin1>(engine, static_cast<const uint8_t*>(data), n, out, nullptr);
        case PyUnicode_2BYTE_KIND:
            return find_spans<Ucs2>(engine, static_cast<const uint16_t*>(data), n, out, nullptr);
        default:
            return find_spans<Ucs4>(engine, static_cast<const uint32_t*>(data), n, out, nullptr);
    }
}

}  // namespace velmora::detect
