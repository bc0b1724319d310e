// The one file built against the interpreter's internal headers, for two
// numbers: where PyInterpreterState keeps the dict version counter, and how
// large that struct is. Nothing here is called; cpython.cpp reads the
// numbers and trusts them only once check_at_import() has seen stores take
// their tags from that very counter.
#include <patchlevel.h>

#include "cpython_counter.h"

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && __has_include(<internal/pycore_interp.h>)
#define Py_BUILD_CORE 1
#include <Python.h>
// 3.12's pycore_atomic.h takes <stdatomic.h> when the interpreter was built
// with it, which C++ before 23 does not offer; its builtin branch serves.
#undef HAVE_STD_ATOMIC
#include <internal/pycore_interp.h>

namespace velmora::cpython::counter {
const std::ptrdiff_t dict_version_offset = offsetof(PyInterpreterState, dict_state.global_version);
const std::size_t interpreter_size = sizeof(PyInterpreterState);
}  // namespace velmora::cpython::counter

#else

namespace velmora::cpython::counter {
const std::ptrdiff_t dict_version_offset = -1;
const std::size_t interpreter_size = 0;
}  // namespace velmora::cpython::counter

#endif
