// The grammar with SSE2, which every x86-64 processor has: sixteen bytes
// at a time, for an omitter with a rule plan. The unit is linked after
// every unit of the scan without a plan (path_sse2.cpp), so that no change
// to the planned code moves that code.
#include "find.h"
#include "grammar.h"
#include "paths.h"
#include "find_sse2.h"

#if defined(__x86_64__)

namespace velmora::scan {

VELMORA_SCAN_UNIT_STARTS_AT(16);

namespace {

Fault text(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool* blank, const uint8_t** where) {
    return Grammar<Sse2Find, true>(scanner).text(begin, end, blank, where);
}

Fault lines(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool skip_bad, ByteBuffer& faults,
            size_t* count) {
    return Grammar<Sse2Find, true>(scanner).lines(begin, end, skip_bad, faults, count);
}

}  // namespace

const PathEntry planned_sse2_path = {.text = text, .lines = lines};

}  // namespace velmora::scan
#endif
