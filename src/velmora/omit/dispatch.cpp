// The override dispatch and its cache.
//
// Objects of Python subclasses get the method looked up for every nested
// container: an override is called and its result stands in for the walk's.
// When the lookup finds the module's own function object (one stored in an
// instance dict, say), the type and instance dicts are stamped, and the
// lookup is skipped while both stay unchanged.
#include "dispatch.h"
#include "str_hook.h"

#include "binding.h"
#include "cpython.h"
#include "state.h"
#include "traceback.h"
#include "walk.h"

namespace velmora {

namespace {

// Stamps of the type and instance dicts at the last lookup that found the
// module's own function, one record per method, shared by all objects and
// types.
struct OverrideCache {
    cpython::DictStamp type_dict = cpython::kNoStamp;
    cpython::DictStamp instance_dict = cpython::kNoStamp;
};
OverrideCache omit_cache, omit_recurse_cache;

// The object's instance dict, borrowed, or null when it has none (yet).
PyObject* instance_dict(PyObject* obj) {
    Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
    if (offset == 0) return nullptr;
    PyObject** ptr = offset > 0 ? reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset)
                                : cpython::object_dict_ptr(obj);
    return ptr != nullptr ? *ptr : nullptr;
}

bool is_own_function(PyObject* attr, PyMethodDef* own) {
    PyTypeObject* tp = Py_TYPE(attr);
    if (!PyType_IsSubtype(tp, g.function_type) && !PyType_IsSubtype(tp, &PyCFunction_Type)) return false;
    return reinterpret_cast<PyCFunctionObject*>(attr)->m_ml->ml_meth == own->ml_meth;
}

struct MethodInfo {
    PyObject* const* name;
    PyMethodDef* own;
    OverrideCache* cache;
    Site site;
    PyTypeObject* result_type;
    const char* result_name;
};

MethodInfo method_info(WalkMethod method) {
    if (method == WalkMethod::kOmit) {
        return {&g.s_omit, &omit_def, &omit_cache, Site::OmitCall, &PyDict_Type, "dict"};
    }
    return {&g.s_omit_recurse, &omit_recurse_def, &omit_recurse_cache, Site::RecurseCall, &PyList_Type, "list"};
}

// Call the override found: `omit(target)` or `omit_recurse(target, do)`.
// Its result must be exactly the method's container type, or None.
PyObject* call_override(const MethodInfo& m, PyObject* attr, PyObject* target, int do_flag) {
    PyObject* args[] = {target, do_flag ? Py_True : Py_False};
    Ref answer = Ref::steal(call_object(attr, args, m.own == &omit_def ? 1 : 2));
    if (!answer) return fail(m.site);
    if (answer.get() != Py_None && !Py_IS_TYPE(answer.get(), m.result_type)) {
        return fail_unexpected(m.result_name, answer.get(), m.site);
    }
    return answer.release();
}

}  // namespace

int dispatch_override(OmitterObject* self, WalkMethod method, PyObject* target, int do_flag, PyObject** result) {
    PyTypeObject* tp = Py_TYPE(self);
    if (!may_override(tp)) return 0;
    const MethodInfo m = method_info(method);
    OverrideCache& cache = *m.cache;
    PyObject* obj = reinterpret_cast<PyObject*>(self);
    // The lookup below may run Python code that reassigns `__class__`; keep
    // the type we started with alive until we are done reading it.
    Ref keep_type = Ref::borrow(reinterpret_cast<PyObject*>(tp));

    if (tp->tp_dict != nullptr && cpython::dict_unchanged(cache.type_dict, tp->tp_dict) &&
        cpython::dict_unchanged(cache.instance_dict, instance_dict(obj))) {
        return 0;
    }
    // The lookup may run Python code (descriptors, key comparisons): what it
    // found is remembered only if neither dict changed meanwhile.
    const OverrideCache guard{cpython::dict_stamp(tp->tp_dict), cpython::dict_stamp(instance_dict(obj))};
    Ref attr = Ref::steal(tp->tp_getattro != nullptr ? tp->tp_getattro(obj, *m.name) : PyObject_GetAttr(obj, *m.name));
    if (!attr) return fail_status(m.site);
    if (!is_own_function(attr.get(), m.own)) {
        HookPassedOn same_call(self);
        *result = call_override(m, attr.get(), target, do_flag);
        return *result != nullptr ? 1 : -1;
    }
    cache.type_dict = cpython::dict_stamp(tp->tp_dict);
    cache.instance_dict = cpython::dict_stamp(instance_dict(obj));
    if (guard.type_dict != cache.type_dict || guard.instance_dict != cache.instance_dict) cache = OverrideCache{};
    return 0;
}

}  // namespace velmora
