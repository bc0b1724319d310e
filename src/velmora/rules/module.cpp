// Module definition and initialisation of velmora.rules.
//
// Single-phase init: the state and the types are process-wide (the types
// derive from velmora.omit's, which are too), made by the first import and
// never released. A re-import in the same interpreter gets the cached
// module; another interpreter is refused, as velmora.omit refuses it.
#include "omitters.h"
#include "pickling.h"

#include <iterator>

namespace velmora::rules {

RulesState rs;

namespace {

// Names of the common sensitive keys: the ones the well-known redaction
// tools share, matched as contained words ignoring case.
constexpr const char* kDefaultDenylist[] = {
    "password", "passwd",  "passphrase",  "pwd",         "secret",     "token",
    "api_key",  "api-key", "apikey",      "private_key", "private-key", "privatekey",
    "authorization",       "credential",  "cookie",      "session",    "csrf",
    "xsrf",
};

int64_t interpreter_id = -1;

int intern(PyObject** slot, const char* text) {
    if (*slot == nullptr) *slot = PyUnicode_InternFromString(text);
    return *slot != nullptr ? 0 : -1;
}

int make_state() {
    if (intern(&rs.s_search, "search") < 0 || intern(&rs.s_pattern, "pattern") < 0 ||
        intern(&rs.s___dict__, "__dict__") < 0 || intern(&rs.s___getstate__, "__getstate__") < 0 ||
        intern(&rs.s_update, "update") < 0) {
        return -1;
    }
    if (import_omitter_api(&rs.api) < 0) return -1;
    if (rs.omitter_setstate == nullptr || rs.no_trust_setstate == nullptr) {
        rs.omitter_setstate = PyDict_GetItemString(rs.api.omitter_type->tp_dict, "__setstate__");
        rs.no_trust_setstate = PyDict_GetItemString(rs.api.no_trust_type->tp_dict, "__setstate__");
        if (rs.omitter_setstate == nullptr || rs.no_trust_setstate == nullptr) {
            PyErr_SetString(PyExc_ImportError, "velmora.omit's omitter types have no __setstate__");
            return -1;
        }
        Py_INCREF(rs.omitter_setstate);
        Py_INCREF(rs.no_trust_setstate);
    }
    if (rs.re_compile == nullptr) {
        Ref re = Ref::steal(PyImport_ImportModule("re"));
        if (!re) return -1;
        Ref compile = Ref::steal(PyObject_GetAttrString(re.get(), "compile"));
        Ref pattern = Ref::steal(PyObject_GetAttrString(re.get(), "Pattern"));
        if (!compile || !pattern) return -1;
        if (!PyType_Check(pattern.get())) {
            PyErr_SetString(PyExc_ImportError, "re.Pattern is not a type");
            return -1;
        }
        rs.pattern_type = reinterpret_cast<PyTypeObject*>(pattern.release());
        rs.re_compile = compile.release();
    }
    if (rs.casefold == nullptr) {
        rs.casefold = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "casefold");
        if (rs.casefold == nullptr) return -1;
    }
    if (rs.empty_tuple == nullptr && (rs.empty_tuple = PyTuple_New(0)) == nullptr) return -1;
    if (rs.default_mask == nullptr && (rs.default_mask = PyUnicode_FromString("[Filtered]")) == nullptr) return -1;
    if (rs.default_denylist == nullptr) {
        Ref words = Ref::steal(PyTuple_New(std::size(kDefaultDenylist)));
        if (!words) return -1;
        for (size_t i = 0; i < std::size(kDefaultDenylist); i++) {
            PyObject* word = PyUnicode_FromString(kDefaultDenylist[i]);
            if (word == nullptr) return -1;
            PyTuple_SET_ITEM(words.get(), i, word);
        }
        rs.default_denylist = words.release();
    }
    return 0;
}

PyMethodDef module_methods[] = {rebuild_def, {nullptr}};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "velmora.rules",
    .m_doc = "Rule-based omitters: keys matched ignoring case, by contained words or by patterns,\n"
             "and masks that need not reveal a value's length.",
    .m_size = -1,
    .m_methods = module_methods,
};

PyObject* init() {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (interpreter_id != -1 && interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError, "velmora.rules can only be loaded into one interpreter per process");
        return nullptr;
    }
    if (make_state() < 0) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (rs.rebuild == nullptr) {
        rs.rebuild = PyObject_GetAttrString(module.get(), "_rebuild");
        if (rs.rebuild == nullptr) return nullptr;
    }
    if (ready_rule_types(module.get()) < 0) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "DEFAULT_DENYLIST", rs.default_denylist) < 0) return nullptr;
    interpreter_id = current;
    return module.release();
}

}  // namespace

}  // namespace velmora::rules

PyMODINIT_FUNC PyInit_rules() { return velmora::rules::init(); }
