// Process-wide state of velmora.omit and the helpers every entry point uses.
//
// There is at most one module object per process (a second interpreter is
// refused), so all state lives in one static record, built by the exec step
// and never released.
#pragma once

#include "ref.h"

#include <cstdint>

namespace velmora {

// File names of traceback entries. The module's own operations report a file
// written with doubled backslashes; the code objects behind `__code__` use
// single ones.
inline constexpr const char* kSourceFile = "src\\\\velmora\\\\omit";
inline constexpr const char* kCodeFile = "src\\velmora\\omit";
inline constexpr const char* kStringSource = "<stringsource>";

struct ModuleState {
    // Module objects.
    PyObject* module = nullptr;  // owned while exec runs and after it succeeds
    PyObject* module_dict = nullptr;
    PyObject* builtins = nullptr;
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* empty_unicode = nullptr;
    PyTypeObject* function_type = nullptr;

    // The unbound `set.update`, resolved at first use.
    PyObject* set_update = nullptr;

    // Module-wide values (see registry.cpp).
    PyObject* global_omissions = nullptr;
    PyObject* global_trusted = nullptr;
    PyObject* mask_character = nullptr;
    PyObject* mask_constant = nullptr;  // the str "*", not interned

    // Interned identifiers.
    PyObject* s_target = nullptr;
    PyObject* s_targets = nullptr;
    PyObject* s_do = nullptr;
    PyObject* s_omissions = nullptr;
    PyObject* s_trusted = nullptr;
    PyObject* s_self = nullptr;
    PyObject* s_state = nullptr;
    PyObject* s__dict = nullptr;
    PyObject* s_use_setstate = nullptr;
    PyObject* s_pyx_type = nullptr;
    PyObject* s_pyx_checksum = nullptr;
    PyObject* s_pyx_state = nullptr;
    PyObject* s_pyx_PickleError = nullptr;
    PyObject* s_pyx_result = nullptr;
    PyObject* s_omit = nullptr;
    PyObject* s_omit_recurse = nullptr;
    PyObject* s_update = nullptr;
    PyObject* s___dict__ = nullptr;
    PyObject* s___getstate__ = nullptr;
    PyObject* s___reduce__ = nullptr;
    PyObject* s___reduce_ex__ = nullptr;
    PyObject* s___reduce_cython__ = nullptr;
    PyObject* s___setstate__ = nullptr;
    PyObject* s___setstate_cython__ = nullptr;
    PyObject* s___new__ = nullptr;
    PyObject* s___name__ = nullptr;
    PyObject* s___import__ = nullptr;
    PyObject* s___pyx_vtable__ = nullptr;
    PyObject* s___test__ = nullptr;
    PyObject* s_module_name = nullptr;  // "velmora.omit"
    PyObject* s_pickle = nullptr;
    PyObject* s_PickleError = nullptr;
    PyObject* s_unpickle_Omitter = nullptr;
    PyObject* s_unpickle_NoTrustOmitter = nullptr;
    PyObject* s_code_file = nullptr;  // file name of the function code objects
    PyObject* s_stringsource = nullptr;

    // Integer constants.
    PyObject* int_1 = nullptr;
    PyObject* checksum_omitter = nullptr;          // 0xf72771a, written
    PyObject* checksum_no_trust = nullptr;         // 0x63752f2, written
    PyObject* accepted_omitter = nullptr;          // tuple of 3
    PyObject* accepted_no_trust = nullptr;         // tuple of 3
    PyObject* omit_recurse_defaults = nullptr;     // (1,)
    PyObject* checksum_ints[7] = {};               // 1 and the six checksums
};

extern ModuleState g;

// ---- Traceback entries ---------------------------------------------------

// Adds one entry (qualified name, file, line) to the pending exception. Each
// site keeps its own code object for the life of the process.
void add_traceback(const char* qualname, int line, const char* file = kSourceFile);

// ---- Argument binding (binding.cpp) --------------------------------------

// A parameter list: pointers to interned names in `g`, the number of required
// parameters, and the bare name used in messages.
struct Signature {
    PyObject** const* names;
    Py_ssize_t count;
    Py_ssize_t required;
    const char* function_name;
};

// Bind a fast call. `slots` must hold `count` entries, preset with defaults
// (nullptr for an empty slot). Returns 0, or -1 with TypeError set.
int bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames, PyObject** slots);

// Bind a tp_init call with one optional parameter (default None).
int bind_init(const Signature& sig, PyObject* args, PyObject* kwds, PyObject** slot);

int find_keyword(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name,
                 PyObject** found);
int parse_keywords(PyObject* keywords, PyObject* const* kwvalues, const Signature& sig,
                   Py_ssize_t first_unfilled, PyObject** slots);
void raise_arity_error(const char* function_name, bool exact, Py_ssize_t min_count,
                       Py_ssize_t max_count, Py_ssize_t given);
int check_exact_type(PyObject* value, PyTypeObject* type, bool none_allowed,
                     const char* parameter_name);
void raise_unexpected_type(const char* expected_name, PyObject* value);

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

// The PEP 509 version tag of a dict: it changes whenever the dict does.
inline uint64_t dict_version(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// Equality of two ready, exact str objects (keys.cpp).
bool same_text(PyObject* a, PyObject* b);

// ---- The function type (function.cpp) ------------------------------------

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

// ---- Module-wide registries (registry.cpp) -------------------------------

// Masks of up to this many characters are made once and shared: str is
// immutable, so a shared mask is indistinguishable from a fresh one.
constexpr Py_ssize_t kSharedMasks = 64;
extern PyObject* shared_masks[kSharedMasks + 1];

// The shared mask for `s` (an exact str) if it is already made, borrowed;
// null otherwise. Runs nothing and cannot fail.
inline PyObject* made_mask(PyObject* s) {
    if (!PyUnicode_IS_READY(s)) return nullptr;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    return n <= kSharedMasks ? shared_masks[n] : nullptr;
}

// mask_str when the mask must be made (registry.cpp).
PyObject* make_mask(PyObject* s);

// The masking routine used by the walk: `s` must be an exact str. Adds the
// body entry of `hide` on failure.
inline PyObject* mask_str(PyObject* s) {
    if (PyObject* mask = made_mask(s)) return new_ref(mask);
    return make_mask(s);
}

struct MaskPolicy;

// The mask of the exact str `s` under `policy` (null: mask_str). Runs no
// foreign code; adds the body entry of `hide` on failure (registry.cpp).
PyObject* policy_mask(const MaskPolicy* policy, PyObject* s);

// The mask by which `policy` hides `s`, for the walk: mask_str inline for
// the default.
inline PyObject* mask_value(const MaskPolicy* policy, PyObject* s) {
    return policy == nullptr ? mask_str(s) : policy_mask(policy, s);
}

extern PyMethodDef hide_def, globally_hidden_def, always_omit_def, globally_trusted_def,
    always_trust_def, reset_omissions_def, reset_trusted_def;

int init_registries();  // the module-body step

// A fast-call entry point as the PyCFunction that method tables hold.
template <typename F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

}  // namespace velmora
