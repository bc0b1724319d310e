// The grammar on the portable path: every build has it, and it is the
// reference the vector paths are tested against; here for an omitter with
// a rule plan. The unit is linked after every unit of the scan without a
// plan (path_scalar.cpp), so that no change to the planned code moves that
// code.
#include "find.h"
#include "grammar.h"
#include "paths.h"

namespace velmora::scan {

VELMORA_SCAN_UNIT_STARTS_AT(48);

namespace {

Fault text(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool* blank, const uint8_t** where) {
    return Grammar<ScalarFind, true>(scanner).text(begin, end, blank, where);
}

Fault lines(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool skip_bad, ByteBuffer& faults,
            size_t* count) {
    return Grammar<ScalarFind, true>(scanner).lines(begin, end, skip_bad, faults, count);
}

}  // namespace

const PathEntry planned_scalar_path = {.text = text, .lines = lines};

}  // namespace velmora::scan
