// Module definition and initialisation of velmora.redact.
//
// The exec step finds velmora.omit's types and method tables (importing it
// if need be) and the functions that tell an omitter's own methods from
// overrides. Everything it makes lives until the process ends.
#include "../omit/ref.h"
#include "entry.h"
#include "mask.h"
#include "state.h"

namespace velmora::redact {

State g;

namespace {

int intern(PyObject** slot, const char* text) {
    if (*slot == nullptr) *slot = PyUnicode_InternFromString(text);
    return *slot != nullptr ? 0 : -1;
}

int module_exec(PyObject*) {
    if (intern(&g.s_omit, "omit") < 0 || intern(&g.s_omit_recurse, "omit_recurse") < 0 ||
        intern(&g.s_omitter, "omitter") < 0 || intern(&g.s_target, "target") < 0 || intern(&g.s_do, "do") < 0 ||
        intern(&g.s_strict, "strict") < 0) {
        return -1;
    }
    if (init_masks() < 0) return -1;
    if (g.own_omit == nullptr) {
        OmitterApi api;
        if (import_omitter_api(&api) < 0) return -1;
        // Read through the class, a method is the function itself.
        PyObject* type = reinterpret_cast<PyObject*>(api.omitter_type);
        Ref own_omit = Ref::steal(PyObject_GetAttr(type, g.s_omit));
        Ref own_omit_recurse = Ref::steal(PyObject_GetAttr(type, g.s_omit_recurse));
        if (!own_omit || !own_omit_recurse) return -1;
        Ref copy_module = Ref::steal(PyImport_ImportModule("copy"));
        if (!copy_module) return -1;
        Ref deepcopy = Ref::steal(PyObject_GetAttrString(copy_module.get(), "deepcopy"));
        if (!deepcopy) return -1;
        g.api = api;
        g.deepcopy = deepcopy.release();
        g.own_omit_recurse = own_omit_recurse.release();
        g.own_omit = own_omit.release();  // last: it marks the state complete
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "velmora.redact",
    .m_doc = "Copy-on-write redaction: the verdicts of velmora.omit without changing the caller's data.",
    .m_size = 0,
    .m_methods = module_functions,
    .m_slots = module_slots,
};

}  // namespace

}  // namespace velmora::redact

PyMODINIT_FUNC PyInit_redact() { return PyModuleDef_Init(&velmora::redact::module_def); }
