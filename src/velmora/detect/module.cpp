// Module definition and initialisation of velmora.detect.
//
// Single-phase init, as the package's other modules: the state and the
// types are process-wide, made by the first import and never released. A
// re-import in the same interpreter gets the cached module; another
// interpreter is refused.
#include "capsule.h"
#include "detector.h"
#include "find.h"
#include "pickling.h"
#include "textmasker.h"

#include <iterator>

namespace velmora::detect {

DetectState ds;

namespace {

// Common words no one means as a secret: a value equal to one (ignoring
// case) is refused, or it would mask the word all over the text.
constexpr const char* kDefaultNeverMask[] = {
    "admin", "changeme", "default", "false",  "guest", "localhost", "none", "null",     "password",
    "postgres", "public", "root",   "secret", "test",  "true",      "user", "username",
};

int64_t interpreter_id = -1;

int intern(PyObject** slot, const char* text) {
    if (*slot == nullptr) *slot = PyUnicode_InternFromString(text);
    return *slot != nullptr ? 0 : -1;
}

// A tuple of the names of `kinds`' formats.
PyObject* names_tuple(uint32_t kinds) {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return nullptr;
    for (int i = 0; i < kFormatCount; i++) {
        if ((kinds & kFormats[i].kind) && PyList_Append(names.get(), ds.format_names[i]) < 0) return nullptr;
    }
    return PyList_AsTuple(names.get());
}

int make_state() {
    for (int i = 0; i < kFormatCount; i++) {
        if (intern(&ds.format_names[i], kFormats[i].name) < 0) return -1;
    }
    if (intern(&ds.value_kind, "value") < 0 || intern(&ds.s_casefold, "casefold") < 0 || intern(&ds.s_all, "all") < 0) {
        return -1;
    }
    if (ds.formats == nullptr && (ds.formats = names_tuple(kAllFormats)) == nullptr) return -1;
    if (ds.default_formats == nullptr && (ds.default_formats = names_tuple(kDefaultFormats)) == nullptr) return -1;
    if (ds.empty_tuple == nullptr && (ds.empty_tuple = PyTuple_New(0)) == nullptr) return -1;
    if (ds.default_never_mask == nullptr) {
        Ref words = Ref::steal(PySet_New(nullptr));
        if (!words) return -1;
        for (const char* word : kDefaultNeverMask) {
            Ref w = Ref::steal(PyUnicode_FromString(word));
            if (!w || PySet_Add(words.get(), w.get()) < 0) return -1;
        }
        ds.default_never_mask = PyFrozenSet_New(words.get());
        if (ds.default_never_mask == nullptr) return -1;
    }
    return 0;
}

// velmora.detect._vector_path(wanted): use the vector path where the
// processor can; returns whether it now does. For tests of both paths.
PyObject* vector_path(PyObject*, PyObject* wanted) {
    const int want = PyObject_IsTrue(wanted);
    if (want < 0) return nullptr;
    return PyBool_FromLong(use_vector_path(want));
}

PyMethodDef module_methods[] = {
    rebuild_def,
    {"_vector_path", vector_path, METH_O, "Use the vector path where the processor can; returns whether it does."},
    {nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "velmora.detect",
    .m_doc = "Secrets inside text: registered values and well-known credential formats,\n"
             "found and masked wherever they appear.",
    .m_size = -1,
    .m_methods = module_methods,
};

PyObject* init() {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (interpreter_id != -1 && interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError, "velmora.detect can only be loaded into one interpreter per process");
        return nullptr;
    }
    if (make_state() < 0) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (ds.rebuild == nullptr) {
        ds.rebuild = PyObject_GetAttrString(module.get(), "_rebuild");
        if (ds.rebuild == nullptr) return nullptr;
    }
    if (ready_detector_type(module.get()) < 0 || ready_text_masker_type(module.get()) < 0) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "FORMATS", ds.formats) < 0 ||
        PyModule_AddObjectRef(module.get(), "DEFAULT_FORMATS", ds.default_formats) < 0 ||
        PyModule_AddObjectRef(module.get(), "DEFAULT_NEVER_MASK", ds.default_never_mask) < 0) {
        return nullptr;
    }
    if (publish_api(module.get()) < 0) return nullptr;
    if (interpreter_id == -1) use_vector_path(true);
    interpreter_id = current;
    return module.release();
}

}  // namespace

}  // namespace velmora::detect

PyMODINIT_FUNC PyInit_detect() { return velmora::detect::init(); }
