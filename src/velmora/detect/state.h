// Process-wide state of velmora.detect.
//
// Like the package's other modules, velmora.detect has one state record
// per process, built by its init function and never released: its types
// are static and the engines it compiles hold no Python object.
#pragma once

#include "../omit/ref.h"
#include "abi.h"

namespace velmora::detect {

struct DetectState {
    PyObject* format_names[kFormatCount] = {};  // interned, in the order of the Kind bits
    PyObject* formats = nullptr;                // tuple: FORMATS
    PyObject* default_formats = nullptr;        // tuple: DEFAULT_FORMATS
    PyObject* default_never_mask = nullptr;     // frozenset: DEFAULT_NEVER_MASK
    PyObject* value_kind = nullptr;             // "value": the kind name of registered values
    PyObject* rebuild = nullptr;                // velmora.detect._rebuild, for __reduce__
    PyObject* empty_tuple = nullptr;
    PyObject* s_casefold = nullptr;
    PyObject* s_all = nullptr;  // "all": every default format
};

extern DetectState ds;

}  // namespace velmora::detect
