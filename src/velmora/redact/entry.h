// The module's Python-level function, `redacted(omitter, target, do=True)`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velmora::redact {

// The module's method table (null-terminated).
extern PyMethodDef module_functions[];

}  // namespace velmora::redact
