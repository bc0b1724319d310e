// The one function type behind every module function, method and
// reconstructor of the module.
#pragma once

#include "ref.h"

namespace velmora {

// What a published function object reports, besides its method definition:
// qualified name, whether it is a method of a type, and its code object
// (local names, argument count, file and first line).
struct FunctionSpec {
    PyMethodDef* def;
    const char* qualname;
    bool is_method;
    const char* const* varnames;  // parameters first, then further locals
    int argcount;
    int nlocals;
    const char* file;  // kCodeFile or kStringSource
    int first_line;
};

int ready_function_type();
PyObject* make_function(const FunctionSpec& spec, PyObject* defaults);

}  // namespace velmora
