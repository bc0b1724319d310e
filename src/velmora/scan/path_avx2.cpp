// The grammar with AVX2: thirty-two bytes at a time, on processors that
// have it (paths.cpp asks the processor before this path is taken). This
// unit compiles the scan without a plan; planned_avx2.cpp the one with.
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
#include "find_avx2.h"

namespace velmora::scan {

VELMORA_SCAN_UNIT_STARTS_AT(0);

namespace {

Fault text(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool* blank, const uint8_t** where) {
    return Grammar<Avx2Find, false>(scanner).text(begin, end, blank, where);
}

Fault lines(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool skip_bad, ByteBuffer& faults,
            size_t* count) {
    return Grammar<Avx2Find, false>(scanner).lines(begin, end, skip_bad, faults, count);
}

}  // namespace

}  // namespace velmora::scan

#pragma GCC pop_options

namespace velmora::scan {
const PathEntry avx2_path = {.text = text, .lines = lines};
}  // namespace velmora::scan
#endif
