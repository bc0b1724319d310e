// Module definition of velmora.scan: redaction of JSON text as text.
//
// Multi-phase init. The exec step finds velmora.omit's types and method
// tables (abi.h) and the base functions that tell an override apart.
#include "binding.h"
#include "errors.h"
#include "paths.h"

#include "../omit/ref.h"

namespace velmora::scan {

namespace {

int module_exec(PyObject* module) {
    const char* refused = nullptr;
    if (!choose_path_at_start(&refused)) {
        PyErr_Format(PyExc_ValueError, "VELMORA_SCAN_PATH=%s names no scanner path this machine can run", refused);
        return -1;
    }
    ScanState* state = state_of(module);
    if (import_omitter_api(&state->api) < 0) return -1;
    state->s_omit = PyUnicode_InternFromString("omit");
    state->s_omit_recurse = PyUnicode_InternFromString("omit_recurse");
    state->s___dict__ = PyUnicode_InternFromString("__dict__");
    if (state->s_omit == nullptr || state->s_omit_recurse == nullptr || state->s___dict__ == nullptr) return -1;
    PyObject* omitter_type = reinterpret_cast<PyObject*>(state->api.omitter_type);
    state->base_omit = PyObject_GetAttr(omitter_type, state->s_omit);
    if (state->base_omit == nullptr) return -1;
    state->base_omit_recurse = PyObject_GetAttr(omitter_type, state->s_omit_recurse);
    if (state->base_omit_recurse == nullptr) return -1;
    return init_scan_error(module, state);
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ScanState* state = state_of(module);
    if (state == nullptr) return 0;
    Py_VISIT(state->scan_error);
    Py_VISIT(state->base_omit);
    Py_VISIT(state->base_omit_recurse);
    return 0;
}

int module_clear(PyObject* module) {
    ScanState* state = state_of(module);
    if (state == nullptr) return 0;
    Py_CLEAR(state->scan_error);
    Py_CLEAR(state->base_omit);
    Py_CLEAR(state->base_omit_recurse);
    Py_CLEAR(state->s_omit);
    Py_CLEAR(state->s_omit_recurse);
    Py_CLEAR(state->s___dict__);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "velmora.scan",
    .m_doc = "Redact JSON text as text: masks go in, every other byte passes through.",
    .m_size = sizeof(ScanState),
    .m_methods = scan_functions,
    .m_slots = slots,
    .m_traverse = module_traverse,
    .m_clear = module_clear,
    .m_free = module_free,
};

}  // namespace

}  // namespace velmora::scan

PyMODINIT_FUNC PyInit_scan() { return PyModuleDef_Init(&velmora::scan::definition); }
