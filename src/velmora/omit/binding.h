// Argument binding, type checks and calls into Python code: the rules by
// which every Python-callable entry point of the module takes its
// arguments, and by which the module calls back into Python.
#pragma once

#include "ref.h"

namespace velmora {

// A parameter list: pointers to interned names in the module state, the
// number of required parameters, and the bare name used in messages.
struct Signature {
    PyObject** const* names;
    Py_ssize_t count;
    Py_ssize_t required;
    const char* function_name;
};

// Bind a fast call. `slots` must hold `count` entries, preset with defaults
// (nullptr for an empty slot). Returns 0, or -1 with TypeError set.
int bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              PyObject** slots);

// Bind a tp_init call with one optional parameter (default None).
int bind_init(const Signature& sig, PyObject* args, PyObject* kwds, PyObject** slot);

int find_keyword(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name, PyObject** found);
int parse_keywords(PyObject* keywords, PyObject* const* kwvalues, const Signature& sig,
                   Py_ssize_t first_unfilled, PyObject** slots);
void raise_arity_error(const char* function_name, bool exact, Py_ssize_t min_count, Py_ssize_t max_count,
                       Py_ssize_t given);
int check_exact_type(PyObject* value, PyTypeObject* type, bool none_allowed, const char* parameter_name);

// Refuse a receiver that is not an instance of `type` (or a subclass) before a
// method reached through the type reads or writes anything.
int check_receiver(PyObject* self, PyTypeObject* type, const char* method_name);

// Call a Python callable with positional arguments, under the module's rules
// for calls into Python code. A bound method is called as its function with
// the bound object first. Returns a new reference or nullptr.
PyObject* call_object(PyObject* callable, PyObject* const* args, Py_ssize_t nargs);

// getattr(obj, name, None) with AttributeError (and subclasses) meaning absent.
// Returns 1 found, 0 absent, -1 error.
int lookup_attr(PyObject* obj, PyObject* name, Ref* out);

// A fast-call entry point as the PyCFunction that method tables hold.
using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_cfunction(FastCallWithKeywords f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

}  // namespace velmora
