// The grammar with AVX2: thirty-two bytes at a time, on processors that
// have it (paths.cpp asks the processor before this path is taken).
//
// Everything shared is included first, so that it is compiled for the
// baseline instruction set; only what follows the target pragma (the
// finder, and the grammar's templates, which are instantiated here with it
// alone) uses AVX2. So no AVX2 copy of a shared inline function can stand
// in for the baseline one elsewhere, and the grammar inlines the finder.
#include "buffer.h"
#include "find.h"
#include "keys.h"
#include "masks.h"
#include "paths.h"
#include "scanner.h"
#include "text.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx2")

#include "grammar.h"

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

Fault text(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool* blank, const uint8_t** where) {
    return scanner.planned() ? Grammar<Avx2Find, true>(scanner).text(begin, end, blank, where)
                             : Grammar<Avx2Find, false>(scanner).text(begin, end, blank, where);
}

Fault lines(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool skip_bad, ByteBuffer& faults,
            size_t* count) {
    return scanner.planned() ? Grammar<Avx2Find, true>(scanner).lines(begin, end, skip_bad, faults, count)
                             : Grammar<Avx2Find, false>(scanner).lines(begin, end, skip_bad, faults, count);
}

}  // namespace

}  // namespace velmora::scan

#pragma GCC pop_options

namespace velmora::scan {
const PathEntry avx2_path = {.text = text, .lines = lines};
}  // namespace velmora::scan
#endif
