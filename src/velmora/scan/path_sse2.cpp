// The grammar with SSE2, which every x86-64 processor has: sixteen bytes
// at a time. This unit compiles the scan without a plan; planned_sse2.cpp
// the one with.
#include "find.h"
#include "grammar.h"
#include "paths.h"
#include "find_sse2.h"

#if defined(__x86_64__)

namespace velmora::scan {

VELMORA_SCAN_UNIT_STARTS_AT(48);

namespace {

Fault text(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool* blank, const uint8_t** where) {
    return Grammar<Sse2Find, false>(scanner).text(begin, end, blank, where);
}

Fault lines(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool skip_bad, ByteBuffer& faults,
            size_t* count) {
    return Grammar<Sse2Find, false>(scanner).lines(begin, end, skip_bad, faults, count);
}

}  // namespace

const PathEntry sse2_path = {.text = text, .lines = lines};

}  // namespace velmora::scan
#endif
