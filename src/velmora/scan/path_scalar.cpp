// The grammar on the portable path: every build has it, and it is the
// reference the vector paths are tested against.
#include "find.h"
#include "grammar.h"

namespace velmora::scan {

namespace {

Fault text(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool* blank, const uint8_t** where) {
    return scanner.planned() ? Grammar<ScalarFind, true>(scanner).text(begin, end, blank, where)
                             : Grammar<ScalarFind, false>(scanner).text(begin, end, blank, where);
}

Fault lines(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool skip_bad, ByteBuffer& faults,
            size_t* count) {
    return scanner.planned() ? Grammar<ScalarFind, true>(scanner).lines(begin, end, skip_bad, faults, count)
                             : Grammar<ScalarFind, false>(scanner).lines(begin, end, skip_bad, faults, count);
}

}  // namespace

const PathEntry scalar_path = {.text = text, .lines = lines};

}  // namespace velmora::scan
