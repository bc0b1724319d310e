// Where the interpreter keeps the counter that dict version tags are taken
// from, as the headers of the line the module is built for place it. Part
// of the boundary (see cpython.h): only check_at_import() and
// fresh_dict_version() read it, and only behind the tag_counter gate.
#pragma once

#include <cstddef>

namespace velmora::cpython::counter {

// Byte offset of the dict version counter in PyInterpreterState, or -1 on
// a line that keeps it elsewhere (3.11: a static of dictobject.c) or whose
// internal headers this build did not have.
extern const std::ptrdiff_t dict_version_offset;

// sizeof(PyInterpreterState) as those headers give it (0 where the offset
// is -1): the check at import reads nothing outside it.
extern const std::size_t interpreter_size;

}  // namespace velmora::cpython::counter
