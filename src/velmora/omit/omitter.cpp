// The omitter types: Omitter and NoTrustOmitter objects, their method
// tables, `should_hide`, and the override dispatch that lets Python
// subclasses take over `omit` and `omit_recurse` for nested containers.
#include "omitter.h"

namespace velmora {

namespace {

constexpr const char* kOmitterInit = "velmora.omit.Omitter.__init__";
constexpr const char* kNoTrustInit = "velmora.omit.NoTrustOmitter.__init__";

// ---- should_hide ------------------------------------------------------------

int omitter_should_hide(OmitterObject* self, PyObject* key) {
    // key_in_list holds the list itself wherever Python code may run.
    int found = key_in_list(self, self->omissions, key);
    if (found < 0) {
        add_traceback("velmora.omit.Omitter.should_hide", 44);
        return 0;
    }
    return found;
}

int no_trust_should_hide(OmitterObject* self, PyObject* key) {
    int found = key_in_list(self, as_no_trust(reinterpret_cast<PyObject*>(self))->trusted, key);
    if (found < 0) {
        add_traceback("velmora.omit.NoTrustOmitter.should_hide", 85);
        return 0;
    }
    return !found;
}

// The same verdicts from the object's own index, without running anything
// (-1 when the index cannot answer).
int omitter_quiet_should_hide(OmitterObject* self, PyObject* key) {
    return quiet_key_in_list(self, self->omissions, key);
}

int no_trust_quiet_should_hide(OmitterObject* self, PyObject* key) {
    const int found = quiet_key_in_list(self, as_no_trust(reinterpret_cast<PyObject*>(self))->trusted, key);
    return found < 0 ? -1 : !found;
}

// Slot foreign_code_ran: callers outside this module cannot move the epoch
// themselves, and the key indexes trust it.
void omitter_foreign_code_ran(OmitterObject*) { note_foreign_code(); }

// ---- Allocation, initialisation, collection --------------------------------

PyObject* omitter_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o;
    if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) {
        // Let the interpreter refuse an abstract class with its own error.
        o = PyBaseObject_Type.tp_new(type, g.empty_tuple, nullptr);
    } else {
        o = type->tp_alloc(type, 0);
    }
    if (o == nullptr) return nullptr;
    as_omitter(o)->vtab = &omitter_vtable;
    as_omitter(o)->omissions = new_ref(Py_None);
    as_omitter(o)->index = nullptr;
    return o;
}

PyObject* no_trust_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    PyObject* o = omitter_new(type, args, kwds);
    if (o == nullptr) return nullptr;
    as_omitter(o)->vtab = &no_trust_vtable;
    as_no_trust(o)->trusted = new_ref(Py_None);
    return o;
}

PyObject** const omissions_names[] = {&g.s_omissions};
const Signature omitter_init_sig{omissions_names, 1, 0, "__init__"};
PyObject** const trusted_names[] = {&g.s_trusted};
const Signature no_trust_init_sig{trusted_names, 1, 0, "__init__"};

// The object's list: the given keys (or the module-wide ones) followed by
// the module-wide keys, in a list of its own.
int omitter_init(PyObject* self, PyObject* args, PyObject* kwds) {
    PyObject* omissions = Py_None;
    if (bind_init(omitter_init_sig, args, kwds, &omissions) < 0) {
        add_traceback(kOmitterInit, 38);
        return -1;
    }
    if (!check_exact_type(omissions, &PyList_Type, true, "omissions")) return -1;
    Ref source = Ref::borrow(omissions == Py_None ? g.global_omissions : omissions);
    Ref fresh = Ref::steal(PySequence_List(source.get()));
    if (!fresh) {
        add_traceback(kOmitterInit, 41);
        return -1;
    }
    Ref global = Ref::borrow(g.global_omissions);
    Ref extended = Ref::steal(_PyList_Extend(reinterpret_cast<PyListObject*>(fresh.get()), global.get()));
    if (!extended) {
        add_traceback(kOmitterInit, 41);
        return -1;
    }
    set_key_list(as_omitter(self), as_omitter(self)->omissions, fresh.release());
    return 0;
}

PyObject* resolve_set_update() {
    if (g.set_update == nullptr) {
        g.set_update = PyObject_GetAttr(reinterpret_cast<PyObject*>(&PySet_Type), g.s_update);
    }
    return g.set_update;
}

int raise_not_iterable_none() {
    PyErr_SetString(PyExc_TypeError, "argument after * must be an iterable, not NoneType");
    add_traceback(kNoTrustInit, 82);
    return -1;
}

// The distinct items of the given keys and the module-wide trusted keys, in
// the set's order.
int no_trust_init(PyObject* self, PyObject* args, PyObject* kwds) {
    PyObject* trusted = Py_None;
    if (bind_init(no_trust_init_sig, args, kwds, &trusted) < 0) {
        add_traceback(kNoTrustInit, 79);
        return -1;
    }
    if (!check_exact_type(trusted, &PyList_Type, true, "trusted")) return -1;
    Ref source = Ref::borrow(trusted == Py_None ? g.global_trusted : trusted);
    if (source.get() == Py_None) return raise_not_iterable_none();
    Ref distinct = Ref::steal(PySet_New(source.get()));
    if (!distinct) {
        add_traceback(kNoTrustInit, 82);
        return -1;
    }
    Ref global = Ref::borrow(g.global_trusted);
    if (global.get() == Py_None) return raise_not_iterable_none();
    PyObject* update = resolve_set_update();
    if (update == nullptr) {
        add_traceback(kNoTrustInit, 82);
        return -1;
    }
    PyObject* update_args[] = {distinct.get(), global.get()};
    Ref updated = Ref::steal(call_object(update, update_args, 2));
    if (!updated) {
        add_traceback(kNoTrustInit, 82);
        return -1;
    }
    Ref fresh = Ref::steal(PySequence_List(distinct.get()));
    if (!fresh) {
        add_traceback(kNoTrustInit, 82);
        return -1;
    }
    set_key_list(as_omitter(self), as_no_trust(self)->trusted, fresh.release());
    return 0;
}

void omitter_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    drop_key_index(as_omitter(self));
    Py_CLEAR(as_omitter(self)->omissions);
    Py_TYPE(self)->tp_free(self);
}

int omitter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_omitter(self)->omissions);
    return 0;
}

int omitter_clear(PyObject* self) {
    drop_key_index(as_omitter(self));
    set_field(as_omitter(self)->omissions, new_ref(Py_None));
    return 0;
}

void no_trust_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_no_trust(self)->trusted);
    PyObject_GC_Track(self);
    omitter_dealloc(self);
}

int no_trust_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_omitter(self)->omissions);
    Py_VISIT(as_no_trust(self)->trusted);
    return 0;
}

int no_trust_clear(PyObject* self) {
    drop_key_index(as_omitter(self));
    set_field(as_omitter(self)->omissions, new_ref(Py_None));
    set_field(as_no_trust(self)->trusted, new_ref(Py_None));
    return 0;
}

// ---- Override dispatch -------------------------------------------------------

// Dictionary version tags of the last lookup that found the module's own
// function, one record per method, shared by all objects and types.
struct OverrideCache {
    uint64_t type_dict_version = UINT64_MAX;
    uint64_t instance_dict_version = UINT64_MAX;
};
OverrideCache omit_cache, omit_recurse_cache;

uint64_t type_dict_version(PyTypeObject* tp) {
    return tp->tp_dict != nullptr ? dict_version(tp->tp_dict) : 0;
}

uint64_t instance_dict_version(PyObject* obj) {
    Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
    if (offset == 0) return 0;
    PyObject** ptr = offset > 0 ? reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset)
                                : _PyObject_GetDictPtr(obj);
    return (ptr != nullptr && *ptr != nullptr) ? dict_version(*ptr) : 0;
}

bool is_own_function(PyObject* attr, PyMethodDef* own) {
    PyTypeObject* tp = Py_TYPE(attr);
    if (!PyType_IsSubtype(tp, g.function_type) && !PyType_IsSubtype(tp, &PyCFunction_Type)) return false;
    return reinterpret_cast<PyCFunctionObject*>(attr)->m_ml->ml_meth == own->ml_meth;
}

}  // namespace

int dispatch_override(OmitterObject* self, PyObject* name, PyMethodDef* own, PyObject* target,
                      int do_flag, PyObject** result) {
    PyTypeObject* tp = Py_TYPE(self);
    if (!may_override(tp)) return 0;
    const bool is_omit = own == &omit_def;
    OverrideCache& cache = is_omit ? omit_cache : omit_recurse_cache;
    const char* qualname = is_omit ? "velmora.omit.Omitter.omit" : "velmora.omit.Omitter.omit_recurse";
    const int line = is_omit ? 46 : 62;
    PyObject* obj = reinterpret_cast<PyObject*>(self);
    // The lookup below may run Python code that reassigns `__class__`; keep
    // the type we started with alive until we are done reading it.
    Ref keep_type = Ref::borrow(reinterpret_cast<PyObject*>(tp));

    if (tp->tp_dict != nullptr && dict_version(tp->tp_dict) == cache.type_dict_version &&
        instance_dict_version(obj) == cache.instance_dict_version) {
        return 0;
    }
    const uint64_t guard = type_dict_version(tp);

    Ref attr = Ref::steal(tp->tp_getattro != nullptr ? tp->tp_getattro(obj, name)
                                                     : PyObject_GetAttr(obj, name));
    if (!attr) {
        add_traceback(qualname, line);
        return -1;
    }

    if (!is_own_function(attr.get(), own)) {
        Ref answer;
        if (is_omit) {
            answer = Ref::steal(call_object(attr.get(), &target, 1));
        } else {
            PyObject* args[] = {target, do_flag ? Py_True : Py_False};
            answer = Ref::steal(call_object(attr.get(), args, 2));
        }
        if (!answer) {
            add_traceback(qualname, line);
            return -1;
        }
        PyTypeObject* expected = is_omit ? &PyDict_Type : &PyList_Type;
        if (answer.get() != Py_None && !Py_IS_TYPE(answer.get(), expected)) {
            raise_unexpected_type(is_omit ? "dict" : "list", answer.get());
            add_traceback(qualname, line);
            return -1;
        }
        *result = answer.release();
        return 1;
    }

    cache.type_dict_version = type_dict_version(tp);
    cache.instance_dict_version = instance_dict_version(obj);
    if (guard != cache.type_dict_version) {
        cache.type_dict_version = UINT64_MAX;
        cache.instance_dict_version = UINT64_MAX;
    }
    return 0;
}

// ---- Types -------------------------------------------------------------------

OmitterVTable omitter_vtable;
OmitterVTable no_trust_vtable;

PyTypeObject OmitterType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "velmora.omit.Omitter",
    .tp_basicsize = sizeof(OmitterObject),
    .tp_dealloc = omitter_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VERSION_TAG | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = omitter_traverse,
    .tp_clear = omitter_clear,
    .tp_methods = omitter_pickle_methods,
    .tp_init = omitter_init,
    .tp_new = omitter_new,
};

PyTypeObject NoTrustOmitterType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "velmora.omit.NoTrustOmitter",
    .tp_basicsize = sizeof(NoTrustOmitterObject),
    .tp_dealloc = no_trust_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VERSION_TAG | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = no_trust_traverse,
    .tp_clear = no_trust_clear,
    .tp_methods = no_trust_pickle_methods,
    .tp_init = no_trust_init,
    .tp_new = no_trust_new,
};

namespace {

// Ready a static type with the collector paused, publish it with its capsule
// and install its pickling methods.
int ready_type(PyTypeObject* type, OmitterVTable* vtab, const char* name) {
    int was_enabled = PyGC_Disable();
    int ready = PyType_Ready(type);
    if (was_enabled) PyGC_Enable();
    if (ready < 0) return -1;
    Ref capsule = Ref::steal(PyCapsule_New(vtab, nullptr, nullptr));
    if (!capsule) return -1;
    if (PyDict_SetItem(type->tp_dict, g.s___pyx_vtable__, capsule.get()) < 0) return -1;
    if (PyObject_SetAttrString(g.module, name, reinterpret_cast<PyObject*>(type)) < 0) return -1;
    return setup_pickling(type);
}

}  // namespace

int ready_omitter_types() {
    omitter_vtable.should_hide = omitter_should_hide;
    omitter_vtable.omit = walk_omit;
    omitter_vtable.omit_recurse = walk_omit_recurse;
    omitter_vtable.quiet_should_hide = omitter_quiet_should_hide;
    omitter_vtable.foreign_code_ran = omitter_foreign_code_ran;
    if (ready_type(&OmitterType, &omitter_vtable, "Omitter") < 0) return -1;

    no_trust_vtable = omitter_vtable;
    no_trust_vtable.should_hide = no_trust_should_hide;
    no_trust_vtable.quiet_should_hide = no_trust_quiet_should_hide;
    NoTrustOmitterType.tp_base = &OmitterType;
    return ready_type(&NoTrustOmitterType, &no_trust_vtable, "NoTrustOmitter");
}

}  // namespace velmora
