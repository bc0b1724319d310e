// Process-wide state of velmora.omit.
//
// There is at most one module object per process (a second interpreter is
// refused), so all state lives in one static record, built by the exec step
// and never released: the module's objects, its fixed strings and its
// constants.
#pragma once

#include "ref.h"

namespace velmora {

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

}  // namespace velmora
