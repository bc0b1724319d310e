// The grammar on the portable path: every build has it, and it is the
// reference the vector paths are tested against. This unit compiles the
// scan without a plan; planned_scalar.cpp the one with.
#include "find.h"
#include "grammar.h"
#include "paths.h"

namespace velmora::scan {

VELMORA_SCAN_UNIT_STARTS_AT(32);

namespace {

Fault text(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool* blank, const uint8_t** where) {
    return Grammar<ScalarFind, false>(scanner).text(begin, end, blank, where);
}

Fault lines(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool skip_bad, ByteBuffer& faults,
            size_t* count) {
    return Grammar<ScalarFind, false>(scanner).lines(begin, end, skip_bad, faults, count);
}

}  // namespace

const PathEntry scalar_path = {.text = text, .lines = lines};

}  // namespace velmora::scan
