// The omitter types: Omitter and NoTrustOmitter objects, their method
// tables, `should_hide`, and the override dispatch that lets Python
// subclasses take over `omit` and `omit_recurse` for nested containers.
#include "omitter.h"

#include "binding.h"
#include "cpython.h"
#include "keys.h"
#include "pickling.h"
#include "state.h"
#include "traceback.h"
#include "walk.h"

namespace velmora {

namespace {

// ---- should_hide ------------------------------------------------------------

int omitter_should_hide(OmitterObject* self, PyObject* key) {
    // key_in_list holds the list itself wherever Python code may run.
    int found = key_in_list(self, self->omissions, key);
    if (found < 0) {
        add_traceback(Site::OmitterShouldHide);
        return 0;
    }
    return found;
}

int no_trust_should_hide(OmitterObject* self, PyObject* key) {
    int found = key_in_list(self, as_no_trust(self)->trusted, key);
    if (found < 0) {
        add_traceback(Site::NoTrustShouldHide);
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
    const int found = quiet_key_in_list(self, as_no_trust(self)->trusted, key);
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
    if (bind_init(omitter_init_sig, args, kwds, &omissions) < 0) return fail_status(Site::OmitterInitBinding);
    if (!check_exact_type(omissions, &PyList_Type, true, "omissions")) return -1;
    Ref source = Ref::borrow(omissions == Py_None ? g.global_omissions : omissions);
    Ref fresh = Ref::steal(PySequence_List(source.get()));
    if (!fresh) return fail_status(Site::OmitterInitList);
    Ref global = Ref::borrow(g.global_omissions);
    Ref extended = Ref::steal(cpython::list_extend(fresh.get(), global.get()));
    if (!extended) return fail_status(Site::OmitterInitList);
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
    return fail_status(Site::NoTrustInitList);
}

// The distinct items of the given keys and the module-wide trusted keys, in
// the set's order.
int no_trust_init(PyObject* self, PyObject* args, PyObject* kwds) {
    PyObject* trusted = Py_None;
    if (bind_init(no_trust_init_sig, args, kwds, &trusted) < 0) return fail_status(Site::NoTrustInitBinding);
    if (!check_exact_type(trusted, &PyList_Type, true, "trusted")) return -1;
    Ref source = Ref::borrow(trusted == Py_None ? g.global_trusted : trusted);
    if (source.get() == Py_None) return raise_not_iterable_none();
    Ref distinct = Ref::steal(PySet_New(source.get()));
    if (!distinct) {
        return fail_status(Site::NoTrustInitList);
    }
    Ref global = Ref::borrow(g.global_trusted);
    if (global.get() == Py_None) return raise_not_iterable_none();
    PyObject* update = resolve_set_update();
    if (update == nullptr) {
        return fail_status(Site::NoTrustInitList);
    }
    PyObject* update_args[] = {distinct.get(), global.get()};
    Ref updated = Ref::steal(call_object(update, update_args, 2));
    if (!updated) {
        return fail_status(Site::NoTrustInitList);
    }
    Ref fresh = Ref::steal(PySequence_List(distinct.get()));
    if (!fresh) {
        return fail_status(Site::NoTrustInitList);
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

}  // namespace

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
    omitter_vtable.layout_gates = &cpython::gates.dict_versions;
    if (ready_type(&OmitterType, &omitter_vtable, "Omitter") < 0) return -1;

    no_trust_vtable = omitter_vtable;
    no_trust_vtable.should_hide = no_trust_should_hide;
    no_trust_vtable.quiet_should_hide = no_trust_quiet_should_hide;
    NoTrustOmitterType.tp_base = &OmitterType;
    return ready_type(&NoTrustOmitterType, &no_trust_vtable, "NoTrustOmitter");
}

}  // namespace velmora
