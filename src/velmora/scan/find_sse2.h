// The SSE2 finder (find.h), which every x86-64 processor can run: sixteen
// bytes at a time. Both SSE2 translation units (path_sse2.cpp without a
// plan, planned_sse2.cpp with one) include it, each for its own copy.
#pragma once

#include "find.h"

#include <cstdint>

#if defined(__x86_64__)
#include <emmintrin.h>

namespace velmora::scan {

namespace {

struct Sse2Find {
    static const uint8_t* string_stop(const uint8_t* p, const uint8_t* end) {
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        const __m128i space = _mm_set1_epi8(0x20);
        for (; end - p >= 16; p += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            // The signed compare takes control bytes and bytes of 0x80 and up.
            const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                              _mm_cmplt_epi8(v, space));
            const unsigned mask = unsigned(_mm_movemask_epi8(hits));
            if (mask != 0) return p + __builtin_ctz(mask);
        }
        return ScalarFind::string_stop(p, end);
    }

    static const uint8_t* space_stop(const uint8_t* p, const uint8_t* end) {
        for (; end - p >= 16; p += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i spaces = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
                _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))));
            const unsigned others = ~unsigned(_mm_movemask_epi8(spaces)) & 0xFFFFu;
            if (others != 0) return p + __builtin_ctz(others);
        }
        return ScalarFind::space_stop(p, end);
    }
};

}  // namespace

}  // namespace velmora::scan
#endif
