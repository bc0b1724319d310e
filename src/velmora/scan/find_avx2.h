// The AVX2 finder (find.h): thirty-two bytes at a time. Both AVX2
// translation units (path_avx2.cpp without a plan, planned_avx2.cpp with
// one) include it after `#pragma GCC target("avx2")`, which its intrinsics
// need; each gets its own copy, compiled for AVX2 there only.
#pragma once

#include "find.h"

#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>

namespace velmora::scan {

namespace {

struct Avx2Find {
    static const uint8_t* string_stop(const uint8_t* p, const uint8_t* end) {
        const __m256i quote = _mm256_set1_epi8('"');
        const __m256i backslash = _mm256_set1_epi8('\\');
        const __m256i space = _mm256_set1_epi8(0x20);
        for (; end - p >= 32; p += 32) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
            // The signed compare takes control bytes and bytes of 0x80 and up.
            const __m256i hits = _mm256_or_si256(
                _mm256_or_si256(_mm256_cmpeq_epi8(v, quote), _mm256_cmpeq_epi8(v, backslash)),
                _mm256_cmpgt_epi8(space, v));
            const unsigned mask = unsigned(_mm256_movemask_epi8(hits));
            if (mask != 0) return p + __builtin_ctz(mask);
        }
        return ScalarFind::string_stop(p, end);
    }

    static const uint8_t* space_stop(const uint8_t* p, const uint8_t* end) {
        for (; end - p >= 32; p += 32) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
            const __m256i spaces = _mm256_or_si256(
                _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(' ')), _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\n'))),
                _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\r')), _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\t'))));
            const unsigned others = ~unsigned(_mm256_movemask_epi8(spaces));
            if (others != 0) return p + __builtin_ctz(others);
        }
        return ScalarFind::space_stop(p, end);
    }
};

}  // namespace

}  // namespace velmora::scan
#endif
