// The scan. One pass over the candidates in order: at each, the formats
// whose first unit it is are checked, and the automaton of registered
// values starts there unless a run of it already covers the place. A run
// goes on while a value may still be in progress (its state is at least
// four bytes deep) and hands back the first place where one may start
// again, so every unit is read by the automaton a bounded number of times.
#include "find.h"

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

// The next place at or after `p` (and at most `last`) whose gram is in
// the filter, or last + 1. This is the reference; the vector path below
// only finds the same place faster.
template <class Unit>
size_t next_candidate(const GramFilter& filter, const Unit* t, size_t p, size_t last) {
    // Eight at a time: one branch per eight places while nothing is found.
    while (p + 8 <= last + 1) {
        bool any = false;
        for (int k = 0; k < 8; k++) any |= filter.test(gram_at(t + p + k));
        if (any) break;
        p += 8;
    }
    while (p <= last && !filter.test(gram_at(t + p))) p++;
    return p;
}

bool vector_path = false;

#ifdef VELMORA_DETECT_AVX2
// The bits of the grams at p .. p + 7: one 16-byte load, spread into the
// eight grams by a shuffle, hashed together, their bits gathered from the
// bitmap. Each lane's bit 31 is its answer.
__attribute__((target("avx2"))) inline __m256i eight_bits(const GramFilter& filter, const uint8_t* at) {
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, 3, 1, 2, 3, 4, 2, 3, 4, 5, 3, 4, 5, 6,  //
                                            4, 5, 6, 7, 5, 6, 7, 8, 6, 7, 8, 9, 7, 8, 9, 10);
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m256i grams = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(bytes), spread);
    const __m256i h = _mm256_srl_epi32(_mm256_mullo_epi32(grams, _mm256_set1_epi32(int(0x9E3779B1u))),
                                       _mm_cvtsi32_si128(int(filter.shift())));
    const __m256i w = _mm256_i32gather_epi32(reinterpret_cast<const int*>(filter.words()), _mm256_srli_epi32(h, 5), 4);
    return _mm256_sllv_epi32(w, _mm256_sub_epi32(_mm256_set1_epi32(31), _mm256_and_si256(h, _mm256_set1_epi32(31))));
}

// Thirty-two places per step, in four independent groups so that their
// gathers overlap; the step's answers are looked at only when one is yes.
__attribute__((target("avx2"))) size_t next_candidate_avx2(const GramFilter& filter, const uint8_t* t, size_t p,
                                                            size_t last) {
    while (p + 36 <= last) {  // the last load reads up to p + 40 <= last + 4, the end of the text
        const __m256i a = eight_bits(filter, t + p), b = eight_bits(filter, t + p + 8);
        const __m256i c = eight_bits(filter, t + p + 16), d = eight_bits(filter, t + p + 24);
        const __m256i any = _mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(c, d));
        if (_mm256_movemask_ps(_mm256_castsi256_ps(any)) != 0) {
            const uint32_t found = uint32_t(_mm256_movemask_ps(_mm256_castsi256_ps(a))) |
                                   uint32_t(_mm256_movemask_ps(_mm256_castsi256_ps(b))) << 8 |
                                   uint32_t(_mm256_movemask_ps(_mm256_castsi256_ps(c))) << 16 |
                                   uint32_t(_mm256_movemask_ps(_mm256_castsi256_ps(d))) << 24;
            return p + size_t(__builtin_ctz(found));
        }
        p += 32;
    }
    return next_candidate(filter, t, p, last);
}
#endif

template <class Unit>
size_t next(const GramFilter& filter, const Unit* t, size_t p, size_t last) {
#ifdef VELMORA_DETECT_AVX2
    if constexpr (sizeof(Unit) == 1) {
        if (vector_path) return next_candidate_avx2(filter, t, p, last);
    }
#endif
    return next_candidate(filter, t, p, last);
}

int compare_spans(const void* a, const void* b) {
    const size_t x = static_cast<const Span*>(a)->begin, y = static_cast<const Span*>(b)->begin;
    return x < y ? -1 : x > y ? 1 : 0;
}

}  // namespace

bool use_vector_path(bool wanted) {
#ifdef VELMORA_DETECT_AVX2
    __builtin_cpu_init();
    vector_path = wanted && __builtin_cpu_supports("avx2");
#else
    (void)wanted;
#endif
    return vector_path;
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
        size_t values_from = 0;  // where a value may start that no run has covered
        for (size_t p = next(filter, t, 0, last); p <= last; p = next(filter, t, p + 1, last)) {
            const uint32_t c = t[p];
            const uint32_t formats = c < 128 ? engine.first.of[c] : 0;
            if (formats != 0 && !check_formats(formats, t, n, p, scan, out)) return false;
            if (!engine.has_values || p < values_from) continue;
            size_t resume;
            if constexpr (E::kBytes) {
                const uint32_t state = engine.values_utf8.find(gram_at(t + p));
                if (state == Automaton::kRoot) continue;
                resume = run_utf8(engine.values, t, n, p, state, out);
            } else {
                if (!engine.values_code.test(gram_at(t + p))) continue;
                resume = run_code(engine.values, t, n, p, out);
            }
            if (resume == SIZE_MAX) return false;
            values_from = resume;
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
