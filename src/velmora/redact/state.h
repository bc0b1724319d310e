// Process-wide state of velmora.redact.
//
// Like velmora.omit, the module lives once per process: the exec step fills
// this record and nothing in it is ever released.
#pragma once

#include "../omit/abi.h"
#include "../omit/ref.h"

namespace velmora::redact {

struct State {
    // velmora.omit's types and method tables.
    OmitterApi api{};
    // The functions `Omitter.omit` and `Omitter.omit_recurse` as the class
    // holds them: an instance whose methods are these overrides nothing.
    PyObject* own_omit = nullptr;
    PyObject* own_omit_recurse = nullptr;
    // Interned names.
    PyObject* s_omit = nullptr;
    PyObject* s_omit_recurse = nullptr;
    PyObject* s_omitter = nullptr;
    PyObject* s_target = nullptr;
    PyObject* s_do = nullptr;
    PyObject* s_strict = nullptr;
    // copy.deepcopy, for omitters whose walk is Python code.
    PyObject* deepcopy = nullptr;
};

extern State g;

}  // namespace velmora::redact
