// Module definition and initialisation of velmora.omit.
//
// Multi-phase init: `PyInit_omit` only hands out the definition; the create
// step makes (or returns) the one module object of the process and the exec
// step builds the state, readies the types and publishes the functions. All
// state is process-wide and never torn down, so a second interpreter is
// refused and a re-import gives back the same module.
#include "binding.h"
#include "cpython.h"
#include "function.h"
#include "omitter.h"
#include "pickling.h"
#include "registry.h"
#include "state.h"
#include "traceback.h"
#include "walk.h"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace velmora {

ModuleState g;

namespace {

int64_t main_interpreter_id = -1;

// ---- Create ----------------------------------------------------------------

int copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, bool none_allowed) {
    Ref value;
    PyObject* name = PyUnicode_FromString(from);
    if (name == nullptr) return -1;
    int found = lookup_attr(spec, name, &value);
    Py_DECREF(name);
    if (found < 0) return -1;
    if (found == 0 || (!none_allowed && value.get() == Py_None)) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (main_interpreter_id == -1) {
        main_interpreter_id = current;
        if (current == -1) return nullptr;
    } else if (main_interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g.module != nullptr) return new_ref(g.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (dict == nullptr || copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// ---- Exec ------------------------------------------------------------------

// The compile-time and run-time "major.minor" versions must agree; a
// mismatch only warns (unless warnings are errors).
int check_version() {
    char compile_version[4 + 1 + 4 + 1];
    std::snprintf(compile_version, sizeof compile_version, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char* runtime = Py_GetVersion();
    if (std::strncmp(runtime, compile_version, 4) == 0) return 0;
    char runtime_version[5] = {};
    bool seen_dot = false;
    for (int i = 0; i < 4; i++) {
        char c = runtime[i];
        if (c == '.') {
            if (seen_dot) break;
            seen_dot = true;
        } else if (c < '0' || c > '9') {
            break;
        }
        runtime_version[i] = c;
    }
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time version %s of module '%.100s' does not match runtime version %s",
                  compile_version, "velmora.omit", runtime_version);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

struct Interned {
    PyObject** slot;
    const char* text;
};

int make_strings() {
    const Interned names[] = {
        {&g.s_target, "target"},
        {&g.s_targets, "targets"},
        {&g.s_do, "do"},
        {&g.s_omissions, "omissions"},
        {&g.s_trusted, "trusted"},
        {&g.s_self, "self"},
        {&g.s_state, "state"},
        {&g.s__dict, "_dict"},
        {&g.s_use_setstate, "use_setstate"},
        {&g.s_pyx_type, "__pyx_type"},
        {&g.s_pyx_checksum, "__pyx_checksum"},
        {&g.s_pyx_state, "__pyx_state"},
        {&g.s_pyx_PickleError, "__pyx_PickleError"},
        {&g.s_pyx_result, "__pyx_result"},
        {&g.s_omit, "omit"},
        {&g.s_omit_recurse, "omit_recurse"},
        {&g.s_update, "update"},
        {&g.s___dict__, "__dict__"},
        {&g.s___getstate__, "__getstate__"},
        {&g.s___reduce__, "__reduce__"},
        {&g.s___reduce_ex__, "__reduce_ex__"},
        {&g.s___reduce_cython__, "__reduce_cython__"},
        {&g.s___setstate__, "__setstate__"},
        {&g.s___setstate_cython__, "__setstate_cython__"},
        {&g.s___new__, "__new__"},
        {&g.s___name__, "__name__"},
        {&g.s___import__, "__import__"},
        {&g.s___pyx_vtable__, "__pyx_vtable__"},
        {&g.s___test__, "__test__"},
        {&g.s_module_name, "velmora.omit"},
        {&g.s_pickle, "pickle"},
        {&g.s_PickleError, "PickleError"},
        {&g.s_unpickle_Omitter, "__pyx_unpickle_Omitter"},
        {&g.s_unpickle_NoTrustOmitter, "__pyx_unpickle_NoTrustOmitter"},
    };
    for (const Interned& entry : names) {
        if (*entry.slot != nullptr) continue;  // made by an earlier, failed exec
        PyObject* s = PyUnicode_InternFromString(entry.text);
        if (s == nullptr || PyObject_Hash(s) == -1) return -1;
        *entry.slot = s;
    }
    if (g.mask_constant == nullptr) {
        g.mask_constant = PyUnicode_FromString("*");
        if (g.mask_constant == nullptr || PyObject_Hash(g.mask_constant) == -1) return -1;
    }
    return 0;
}

int make_constants() {
    const long values[] = {1, 0x1022349, 0x63752f2, 0x676fd74, 0x6e28aab, 0x7c505b1, 0xf72771a};
    for (size_t i = 0; i < std::size(values); i++) {
        if (g.checksum_ints[i] != nullptr) continue;
        g.checksum_ints[i] = PyLong_FromLong(values[i]);
        if (g.checksum_ints[i] == nullptr) return -1;
    }
    g.int_1 = g.checksum_ints[0];
    g.checksum_omitter = g.checksum_ints[6];
    g.checksum_no_trust = g.checksum_ints[2];
    return 0;
}

int make_tuples() {
    if (g.accepted_omitter == nullptr) {
        g.accepted_omitter = PyTuple_Pack(3, g.checksum_ints[6], g.checksum_ints[3], g.checksum_ints[1]);
        if (g.accepted_omitter == nullptr) return -1;
    }
    if (g.accepted_no_trust == nullptr) {
        g.accepted_no_trust = PyTuple_Pack(3, g.checksum_ints[2], g.checksum_ints[5], g.checksum_ints[4]);
        if (g.accepted_no_trust == nullptr) return -1;
    }
    if (g.omit_recurse_defaults == nullptr) {
        g.omit_recurse_defaults = PyTuple_Pack(1, g.int_1);
        if (g.omit_recurse_defaults == nullptr) return -1;
    }
    return 0;
}

// ---- Published function objects ------------------------------------------------

const char* const v_target[] = {"target"};
const char* const v_targets[] = {"targets"};
const char* const v_none[] = {nullptr};
const char* const v_omit[] = {"self", "target"};
const char* const v_omit_recurse[] = {"self", "target", "do"};
const char* const v_reduce[] = {"self", "state", "_dict", "use_setstate"};
const char* const v_setstate[] = {"self", "__pyx_state"};
const char* const v_unpickle[] = {"__pyx_type", "__pyx_checksum", "__pyx_state", "__pyx_PickleError",
                                  "__pyx_result"};

enum class Home { Module, Omitter, NoTrust };

struct Published {
    FunctionSpec spec;
    Home home;
    Site init_site;  // the init entry if publishing fails
};

int publish(const Published& p) {
    PyObject* defaults = (p.spec.def == &omit_recurse_def) ? g.omit_recurse_defaults : nullptr;
    Ref func = Ref::steal(make_function(p.spec, defaults));
    if (!func) return -1;
    PyObject* name = PyUnicode_InternFromString(p.spec.def->ml_name);
    if (name == nullptr) return -1;
    Ref owned_name = Ref::steal(name);
    if (p.home == Home::Module) return PyDict_SetItem(g.module_dict, name, func.get());
    PyTypeObject* type = p.home == Home::Omitter ? &OmitterType : &NoTrustOmitterType;
    if (PyDict_SetItem(type->tp_dict, name, func.get()) < 0) return -1;
    PyType_Modified(type);
    return 0;
}

// A function of the module's own file: its code object starts at the line
// of its call site.
constexpr FunctionSpec own(PyMethodDef* def, const char* qualname, bool is_method, const char* const* varnames,
                           int argcount, Site call) {
    return {def, qualname, is_method, varnames, argcount, argcount, kCodeFile, info(call).line};
}

// A pickling function: "<stringsource>", with its own count of locals.
constexpr FunctionSpec pickling(PyMethodDef* def, const char* qualname, bool is_method,
                                const char* const* varnames, int argcount, int nlocals, Site call) {
    return {def, qualname, is_method, varnames, argcount, nlocals, kStringSource, info(call).line};
}

int publish_functions() {
    const Published table[] = {
        {own(&hide_def, "hide", false, v_target, 1, Site::HideCall), Home::Module, Site::InitHide},
        {own(&globally_hidden_def, "globally_hidden", false, v_none, 0, Site::GloballyHiddenCall), Home::Module,
         Site::InitGloballyHidden},
        {own(&always_omit_def, "always_omit", false, v_targets, 1, Site::AlwaysOmitCall), Home::Module,
         Site::InitAlwaysOmit},
        {own(&globally_trusted_def, "globally_trusted", false, v_none, 0, Site::GloballyTrustedCall), Home::Module,
         Site::InitGloballyTrusted},
        {own(&always_trust_def, "always_trust", false, v_targets, 1, Site::AlwaysTrustCall), Home::Module,
         Site::InitAlwaysTrust},
        {own(&reset_omissions_def, "reset_omissions", false, v_none, 0, Site::ResetOmissionsCall), Home::Module,
         Site::InitResetOmissions},
        {own(&reset_trusted_def, "reset_trusted", false, v_none, 0, Site::ResetTrustedCall), Home::Module,
         Site::InitResetTrusted},
        {own(&omit_def, "Omitter.omit", true, v_omit, 2, Site::OmitCall), Home::Omitter, Site::InitOmit},
        {own(&omit_recurse_def, "Omitter.omit_recurse", true, v_omit_recurse, 3, Site::RecurseCall), Home::Omitter,
         Site::InitOmitRecurse},
        {pickling(&omitter_reduce_def, "Omitter.__reduce_cython__", true, v_reduce, 1, 4, Site::InitPickling),
         Home::Omitter, Site::InitPickling},
        {pickling(&omitter_setstate_def, "Omitter.__setstate_cython__", true, v_setstate, 2, 2,
                  Site::OmitterSetstateBinding),
         Home::Omitter, Site::InitSetstate},
        {pickling(&no_trust_reduce_def, "NoTrustOmitter.__reduce_cython__", true, v_reduce, 1, 4,
                  Site::InitPickling),
         Home::NoTrust, Site::InitPickling},
        {pickling(&no_trust_setstate_def, "NoTrustOmitter.__setstate_cython__", true, v_setstate, 2, 2,
                  Site::NoTrustSetstateBinding),
         Home::NoTrust, Site::InitSetstate},
        {pickling(&unpickle_omitter_def, "__pyx_unpickle_Omitter", false, v_unpickle, 3, 5,
                  Site::OmitterUnpickleArgs),
         Home::Module, Site::InitPickling},
        {pickling(&unpickle_no_trust_def, "__pyx_unpickle_NoTrustOmitter", false, v_unpickle, 3, 5,
                  Site::NoTrustUnpickleArgs),
         Home::Module, Site::InitPickling},
    };
    for (const Published& p : table) {
        if (publish(p) < 0) return fail_status(p.init_site);
    }
    return 0;
}

int exec_failed(bool with_traceback) {
    if (with_traceback) add_traceback(Site::Init);
    Py_CLEAR(g.module);
    return -1;
}

int module_exec(PyObject* module) {
    if (g.module != nullptr) {
        if (g.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'omit' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g.module = new_ref(module);
    g.module_dict = PyModule_GetDict(module);
    if (g.module_dict == nullptr) return exec_failed(false);
    g.builtins = PyImport_AddModule("builtins");  // borrowed; builtins outlive us
    if (g.builtins == nullptr) return exec_failed(false);
    if (PyObject_SetAttrString(module, "__builtins__", g.builtins) < 0) return exec_failed(false);
    if (check_version() < 0) return exec_failed(false);

    if (g.empty_tuple == nullptr) g.empty_tuple = PyTuple_New(0);
    if (g.empty_bytes == nullptr) g.empty_bytes = PyBytes_FromStringAndSize("", 0);
    if (g.empty_unicode == nullptr) g.empty_unicode = PyUnicode_FromStringAndSize("", 0);
    if (!g.empty_tuple || !g.empty_bytes || !g.empty_unicode) return exec_failed(false);
    if (ready_function_type() < 0) return exec_failed(false);
    if (make_strings() < 0 || make_constants() < 0) return exec_failed(false);

    // From here on, failures carry the "init velmora.omit" entry.
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, g.s_module_name);
    if (present < 0) return exec_failed(true);
    if (!present && PyDict_SetItem(modules, g.s_module_name, module) < 0) return exec_failed(true);
    if (make_tuples() < 0) return exec_failed(true);

    set_field(g.global_omissions, new_ref(Py_None));
    set_field(g.global_trusted, new_ref(Py_None));
    set_field(g.mask_character, new_ref(Py_None));

    if (ready_omitter_types() < 0 || cpython::check_at_import() < 0) return exec_failed(true);

    if (init_registries() < 0 || forget_hand_offs_in_children() < 0) return exec_failed(false);
    set_field(g.mask_character, new_ref(g.mask_constant));

    if (publish_functions() < 0) return exec_failed(false);

    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(g.module_dict, g.s___test__, test.get()) < 0) return exec_failed(true);
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "omit",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
};

}  // namespace

}  // namespace velmora

PyMODINIT_FUNC PyInit_omit() { return PyModuleDef_Init(&velmora::module_def); }
