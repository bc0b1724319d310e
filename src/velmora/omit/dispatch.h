// The override dispatch: how the walk lets a Python subclass take over
// `omit` or `omit_recurse` for each nested container it meets.
#pragma once

#include "abi.h"

namespace velmora {

// Only classes defined in Python (or with an instance dict) can override the
// walk's methods; objects of the module's own types never need a lookup.
inline bool may_override(PyTypeObject* tp) {
    return tp->tp_dictoffset != 0 || (tp->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT));
}

enum class WalkMethod { kOmit, kOmitRecurse };

// Looks the method up on the object and calls it unless it is the module's
// own. 1 with *result set when a Python method answered (an exact dict or
// list, or None), 0 when the built-in walk should run, -1 on failure (with
// the operation's traceback entry). May run any Python code.
int dispatch_override(OmitterObject* self, WalkMethod method, PyObject* target, int do_flag, PyObject** result);

}  // namespace velmora
