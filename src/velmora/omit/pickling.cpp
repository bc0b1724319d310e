// Pickling of both omitter types.
//
// Strategy: `__reduce__` returns a call of a module-level reconstructor,
// `__pyx_unpickle_Omitter(type, checksum, state)` (or the NoTrustOmitter one),
// where the checksum stands for the layout of the state tuple:
//   Omitter:        (omissions,)            [+ instance dict of a subclass]
//   NoTrustOmitter: (omissions, trusted)    [+ instance dict of a subclass]
// When any field is set (or there is an instance dict) the state travels
// separately and `__setstate__` restores it; otherwise it is passed inline.
// Restoring writes the fields directly and never runs `__init__`, so an
// unpickled object holds exactly the pickled lists. Every state item for a
// field must be a list or None, and a state too short for the type's fields
// is refused before anything is written.
#include "pickling.h"

#include "binding.h"
#include "cpython.h"
#include "keys.h"
#include "omitter.h"
#include "state.h"
#include "traceback.h"

namespace velmora {

namespace {

// The traceback sites of one type's pickling operations.
struct PickleSites {
    Site reduce_state, reduce_dict, reduce_join, reduce_separate, reduce_inline;
    Site setstate_binding, setstate_state;
    Site unpickle_args, unpickle_accept, unpickle_import, unpickle_raise, unpickle_new, unpickle_state;
    Site restore_item, restore_update;
};

struct PickleKind {
    PyTypeObject* type;
    Py_ssize_t field_count;
    PickleSites sites;
    const char* unpickle_bare;   // the reconstructor's bare name, for messages
    PyObject** reconstructor;    // interned name of the reconstructor
    PyObject** checksum;
    PyObject** accepted;
    const char* mismatch;
    // Cached lookup of the reconstructor in the module dict.
    PyObject* cached = nullptr;
    cpython::DictStamp cached_stamp = cpython::kNoStamp;
};

PickleKind omitter_kind{
    &OmitterType,
    1,
    {Site::OmitterReduceState, Site::OmitterReduceDict, Site::OmitterReduceJoin, Site::OmitterReduceSeparate,
     Site::OmitterReduceInline, Site::OmitterSetstateBinding, Site::OmitterSetstateState,
     Site::OmitterUnpickleArgs, Site::OmitterUnpickleAccept, Site::OmitterUnpickleImport,
     Site::OmitterUnpickleRaise, Site::OmitterUnpickleNew, Site::OmitterUnpickleState, Site::OmitterRestoreItem,
     Site::OmitterRestoreUpdate},
    "__pyx_unpickle_Omitter",
    &g.s_unpickle_Omitter,
    &g.checksum_omitter,
    &g.accepted_omitter,
    "Incompatible checksums (0x%x vs (0xf72771a, 0x676fd74, 0x1022349) = (omissions))",
};

PickleKind no_trust_kind{
    &NoTrustOmitterType,
    2,
    {Site::NoTrustReduceState, Site::NoTrustReduceDict, Site::NoTrustReduceJoin, Site::NoTrustReduceSeparate,
     Site::NoTrustReduceInline, Site::NoTrustSetstateBinding, Site::NoTrustSetstateState,
     Site::NoTrustUnpickleArgs, Site::NoTrustUnpickleAccept, Site::NoTrustUnpickleImport,
     Site::NoTrustUnpickleRaise, Site::NoTrustUnpickleNew, Site::NoTrustUnpickleState, Site::NoTrustRestoreItem,
     Site::NoTrustRestoreUpdate},
    "__pyx_unpickle_NoTrustOmitter",
    &g.s_unpickle_NoTrustOmitter,
    &g.checksum_no_trust,
    &g.accepted_no_trust,
    "Incompatible checksums (0x%x vs (0x63752f2, 0x7c505b1, 0x6e28aab) = (omissions, trusted))",
};

PyObject*& field(PyObject* obj, Py_ssize_t index) {
    return index == 0 ? as_omitter(obj)->omissions : as_no_trust(obj)->trusted;
}

// The reconstructor bound in the module namespace, then among the builtins.
// A module-dict hit is cached against the module dict's stamp, so
// rebinding or deleting the name is seen at the next reduction.
PyObject* lookup_reconstructor(PickleKind& kind) {
    PyObject* dict = g.module_dict;
    if (kind.cached != nullptr && cpython::dict_unchanged(kind.cached_stamp, dict)) return new_ref(kind.cached);
    const cpython::DictStamp stamp = cpython::dict_stamp(dict);
    PyObject* name = *kind.reconstructor;
    PyObject* found = PyDict_GetItemWithError(dict, name);
    if (found != nullptr) {
        set_field(kind.cached, new_ref(found));
        kind.cached_stamp = stamp;
        return new_ref(found);
    }
    if (PyErr_Occurred()) return nullptr;
    Ref builtin;
    int r = lookup_attr(g.builtins, name, &builtin);
    if (r < 0) return nullptr;
    if (r == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return nullptr;
    }
    return builtin.release();
}

PyObject* reduce(PickleKind& kind, PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!check_receiver(self, kind.type, "__reduce_cython__")) return nullptr;
    if (nargs > 0) {
        raise_arity_error("__reduce_cython__", true, 0, 0, nargs);
        return nullptr;
    }
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", "__reduce_cython__",
                     PyTuple_GET_ITEM(kwnames, 0));
        return nullptr;
    }

    Ref state = Ref::steal(PyTuple_New(kind.field_count));
    if (!state) return fail(kind.sites.reduce_state);
    bool any_field = false;
    for (Py_ssize_t i = 0; i < kind.field_count; i++) {
        PyObject* value = field(self, i);
        any_field = any_field || value != Py_None;
        PyTuple_SET_ITEM(state.get(), i, new_ref(value));
    }

    Ref dict;
    if (lookup_attr(self, g.s___dict__, &dict) < 0) return fail(kind.sites.reduce_dict);
    bool use_setstate;
    if (dict && dict.get() != Py_None) {
        Ref extra = Ref::steal(PyTuple_Pack(1, dict.get()));
        if (!extra) return fail(kind.sites.reduce_join);
        Ref joined = Ref::steal(PySequence_Concat(state.get(), extra.get()));
        if (!joined) return fail(kind.sites.reduce_join);
        state = std::move(joined);
        use_setstate = true;
    } else {
        use_setstate = any_field;
    }

    const Site site = use_setstate ? kind.sites.reduce_separate : kind.sites.reduce_inline;
    Ref reconstructor = Ref::steal(lookup_reconstructor(kind));
    if (!reconstructor) return fail(site);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    Ref result;
    if (use_setstate) {
        Ref args = Ref::steal(PyTuple_Pack(3, type, *kind.checksum, Py_None));
        if (args) result = Ref::steal(PyTuple_Pack(3, reconstructor.get(), args.get(), state.get()));
    } else {
        Ref args = Ref::steal(PyTuple_Pack(3, type, *kind.checksum, state.get()));
        if (args) result = Ref::steal(PyTuple_Pack(2, reconstructor.get(), args.get()));
    }
    if (!result) return fail(site);
    return result.release();
}

// Write the fields of `result` from `state`; 0 or -1 with the exception set.
int restore_state(PickleKind& kind, PyObject* result, PyObject* state) {
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return fail_status(kind.sites.restore_item);
    }
    Ref held = Ref::borrow(state);
    const Py_ssize_t size = PyTuple_GET_SIZE(state);
    if (size < kind.field_count) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return fail_status(kind.sites.restore_item);
    }
    for (Py_ssize_t i = 0; i < kind.field_count; i++) {
        PyObject* item = PyTuple_GET_ITEM(state, i);
        if (item != Py_None && !PyList_CheckExact(item)) {
            raise_unexpected_type("list", item);
            return fail_status(kind.sites.restore_item);
        }
        set_key_list(as_omitter(result), field(result, i), new_ref(item));
    }
    if (size > kind.field_count) {
        // hasattr(result, "__dict__"): any failure counts as absent.
        Ref probe;
        int has_dict = lookup_attr(result, g.s___dict__, &probe);
        if (has_dict < 0) PyErr_Clear();
        if (has_dict > 0) {
            probe.reset();
            Ref dict = Ref::steal(PyObject_GetAttr(result, g.s___dict__));
            if (!dict) return fail_status(kind.sites.restore_update);
            Ref update = Ref::steal(PyObject_GetAttr(dict.get(), g.s_update));
            if (!update) return fail_status(kind.sites.restore_update);
            PyObject* extra = PyTuple_GET_ITEM(state, kind.field_count);
            Ref done = Ref::steal(call_object(update.get(), &extra, 1));
            if (!done) return fail_status(kind.sites.restore_update);
        }
    }
    return 0;
}

PyObject** const setstate_names[] = {&g.s_pyx_state};

PyObject* setstate(PickleKind& kind, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
    if (!check_receiver(self, kind.type, "__setstate_cython__")) return nullptr;
    static const Signature sig{setstate_names, 1, 1, "__setstate_cython__"};
    PyObject* state = nullptr;
    if (bind_fast(sig, args, nargs, kwnames, &state) < 0) {
        return fail(kind.sites.setstate_binding);
    }
    if (state != Py_None && !PyTuple_CheckExact(state)) {
        raise_unexpected_type("tuple", state);
        return fail(kind.sites.setstate_state);
    }
    if (restore_state(kind, self, state) < 0) return fail(kind.sites.setstate_state);
    Py_RETURN_NONE;
}

// ---- Reconstruction ----------------------------------------------------------------

// The checksum as a signed 32-bit integer, by the interpreter's int rules.
int convert_checksum(PyObject* obj, int* out) {
    Ref value;
    if (PyLong_Check(obj)) {
        value = Ref::borrow(obj);
    } else {
        PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
        if (nb == nullptr || nb->nb_int == nullptr) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return -1;
        }
        value = Ref::steal(nb->nb_int(obj));
        if (!value) return -1;
        if (!PyLong_CheckExact(value.get())) {
            if (!PyLong_Check(value.get())) {
                PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                             Py_TYPE(value.get())->tp_name);
                return -1;
            }
            if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                                 "__int__ returned non-int (type %.200s).  The ability to return an "
                                 "instance of a strict subclass of int is deprecated, and may be "
                                 "removed in a future version of Python.",
                                 Py_TYPE(value.get())->tp_name) < 0) {
                return -1;
            }
        }
    }
    int converted = cpython::long_as_int(value.get());
    if (converted == -1 && PyErr_Occurred()) return -1;
    *out = converted;
    return 0;
}

// `from pickle import PickleError`
PyObject* import_pickle_error() {
    Ref empty = Ref::steal(PyDict_New());
    Ref fromlist = Ref::steal(PyList_New(1));
    if (!empty || !fromlist) return nullptr;
    PyList_SET_ITEM(fromlist.get(), 0, new_ref(g.s_PickleError));
    Ref module = Ref::steal(
        PyImport_ImportModuleLevelObject(g.s_pickle, g.module_dict, empty.get(), fromlist.get(), 0));
    if (!module) return nullptr;
    PyObject* value = PyObject_GetAttr(module.get(), g.s_PickleError);
    if (value != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    PyObject* loaded = PyImport_GetModuleDict();
    PyObject* found = PyDict_GetItemString(loaded, "pickle.PickleError");
    if (found != nullptr) return new_ref(found);
    PyErr_Format(PyExc_ImportError, "cannot import name %S", g.s_PickleError);
    return nullptr;
}

PyObject* raise_mismatch(PickleKind& kind, int checksum) {
    Ref error_class = Ref::steal(import_pickle_error());
    if (!error_class) return fail(kind.sites.unpickle_import);
    Ref format = Ref::steal(PyUnicode_FromString(kind.mismatch));
    Ref number = Ref::steal(PyLong_FromLong(checksum));
    if (!format || !number) return fail(kind.sites.unpickle_raise);
    Ref message = Ref::steal(PyUnicode_Format(format.get(), number.get()));
    if (!message) return fail(kind.sites.unpickle_raise);
    PyObject* cls = error_class.get();
    if (!PyExceptionClass_Check(cls)) {
        PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
        return fail(kind.sites.unpickle_raise);
    }
    PyObject* arg = message.get();
    Ref instance = Ref::steal(call_object(cls, &arg, 1));
    if (!instance) return fail(kind.sites.unpickle_raise);
    if (!PyExceptionInstance_Check(instance.get())) {
        PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                     cls, reinterpret_cast<PyObject*>(Py_TYPE(instance.get())));
    } else {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
    }
    return fail(kind.sites.unpickle_raise);
}

PyObject** const unpickle_names[] = {&g.s_pyx_type, &g.s_pyx_checksum, &g.s_pyx_state};

PyObject* unpickle(PickleKind& kind, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature sig{unpickle_names, 3, 3, kind.unpickle_bare};
    PyObject* slots[3] = {nullptr, nullptr, nullptr};
    int checksum = 0;
    if (bind_fast(sig, args, nargs, kwnames, slots) < 0 || convert_checksum(slots[1], &checksum) < 0) {
        return fail(kind.sites.unpickle_args);
    }
    PyObject* const pyx_type = slots[0];
    PyObject* const pyx_state = slots[2];

    Ref number = Ref::steal(PyLong_FromLong(checksum));
    if (!number) return fail(kind.sites.unpickle_accept);
    int accepted = PySequence_Contains(*kind.accepted, number.get());
    if (accepted < 0) return fail(kind.sites.unpickle_accept);
    if (!accepted) return raise_mismatch(kind, checksum);

    Ref make = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(kind.type), g.s___new__));
    if (!make) return fail(kind.sites.unpickle_new);
    Ref result = Ref::steal(call_object(make.get(), &pyx_type, 1));
    if (!result) return fail(kind.sites.unpickle_new);

    if (pyx_state != Py_None) {
        if (!PyTuple_CheckExact(pyx_state)) {
            raise_unexpected_type("tuple", pyx_state);
            return fail(kind.sites.unpickle_state);
        }
        // `__new__` may be answered by something that is not of this type
        // (an overriding `__new__` of a subclass): never write fields into it.
        if (!check_receiver(result.get(), kind.type, "__setstate_cython__") ||
            restore_state(kind, result.get(), pyx_state) < 0) {
            return fail(kind.sites.unpickle_state);
        }
    }
    return result.release();
}

// ---- Entry points --------------------------------------------------------------------

PyObject* omitter_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return reduce(omitter_kind, self, args, nargs, kw);
}
PyObject* omitter_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return setstate(omitter_kind, self, args, nargs, kw);
}
PyObject* no_trust_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return reduce(no_trust_kind, self, args, nargs, kw);
}
PyObject* no_trust_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return setstate(no_trust_kind, self, args, nargs, kw);
}
PyObject* unpickle_omitter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return unpickle(omitter_kind, args, nargs, kw);
}
PyObject* unpickle_no_trust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return unpickle(no_trust_kind, args, nargs, kw);
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// ---- Installing the methods ------------------------------------------------------------

bool has_name(PyObject* obj, const char* expected) {
    Ref name;
    if (lookup_attr(obj, g.s___name__, &name) <= 0) {
        PyErr_Clear();
        return false;
    }
    int eq = PyUnicode_Check(name.get()) ? PyUnicode_CompareWithASCIIString(name.get(), expected) == 0 : 0;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return eq;
}

int move_entry(PyTypeObject* type, PyObject* value, PyObject* to, PyObject* from) {
    if (PyDict_SetItem(type->tp_dict, to, value) < 0) return -1;
    return PyDict_DelItem(type->tp_dict, from);
}

int setup_failed(PyTypeObject* type) {
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", type->tp_name);
    }
    return -1;
}

}  // namespace

PyMethodDef omitter_reduce_def = {"__reduce_cython__", as_cfunction(omitter_reduce), kFast, nullptr};
PyMethodDef omitter_setstate_def = {"__setstate_cython__", as_cfunction(omitter_setstate), kFast, nullptr};
PyMethodDef no_trust_reduce_def = {"__reduce_cython__", as_cfunction(no_trust_reduce), kFast, nullptr};
PyMethodDef no_trust_setstate_def = {"__setstate_cython__", as_cfunction(no_trust_setstate), kFast, nullptr};
PyMethodDef unpickle_omitter_def = {"__pyx_unpickle_Omitter", as_cfunction(unpickle_omitter), kFast, nullptr};
PyMethodDef unpickle_no_trust_def = {"__pyx_unpickle_NoTrustOmitter", as_cfunction(unpickle_no_trust), kFast,
                                     nullptr};

PyMethodDef omitter_pickle_methods[] = {omitter_reduce_def, omitter_setstate_def, {}};
PyMethodDef no_trust_pickle_methods[] = {no_trust_reduce_def, no_trust_setstate_def, {}};

// Move the type's own `__reduce_cython__` / `__setstate_cython__` entries to
// `__reduce__` / `__setstate__`, unless the type (or a base) already pickles
// some other way.
int setup_pickling(PyTypeObject* type) {
    PyObject* type_obj = reinterpret_cast<PyObject*>(type);
    PyObject* getstate = cpython::type_lookup(type, g.s___getstate__);
    if (getstate != nullptr && getstate != cpython::type_lookup(&PyBaseObject_Type, g.s___getstate__)) return 0;

    PyObject* object_reduce_ex = cpython::type_lookup(&PyBaseObject_Type, g.s___reduce_ex__);
    if (object_reduce_ex == nullptr) return setup_failed(type);
    Ref reduce_ex = Ref::steal(PyObject_GetAttr(type_obj, g.s___reduce_ex__));
    if (!reduce_ex) return setup_failed(type);
    if (reduce_ex.get() != object_reduce_ex) return 0;

    PyObject* object_reduce = cpython::type_lookup(&PyBaseObject_Type, g.s___reduce__);
    if (object_reduce == nullptr) return setup_failed(type);
    Ref reduce = Ref::steal(PyObject_GetAttr(type_obj, g.s___reduce__));
    if (!reduce) return setup_failed(type);
    if (reduce.get() != object_reduce && !has_name(reduce.get(), "__reduce_cython__")) return 0;

    Ref reduce_cython;
    if (lookup_attr(type_obj, g.s___reduce_cython__, &reduce_cython) < 0) return setup_failed(type);
    if (reduce_cython) {
        if (move_entry(type, reduce_cython.get(), g.s___reduce__, g.s___reduce_cython__) < 0) {
            return setup_failed(type);
        }
    } else if (reduce.get() == object_reduce || PyErr_Occurred()) {
        return setup_failed(type);
    }

    Ref setstate;
    if (lookup_attr(type_obj, g.s___setstate__, &setstate) < 0) PyErr_Clear();
    if (!setstate || has_name(setstate.get(), "__setstate_cython__")) {
        Ref setstate_cython;
        if (lookup_attr(type_obj, g.s___setstate_cython__, &setstate_cython) < 0) return setup_failed(type);
        if (setstate_cython) {
            if (move_entry(type, setstate_cython.get(), g.s___setstate__, g.s___setstate_cython__) < 0) {
                return setup_failed(type);
            }
        } else if (!setstate || PyErr_Occurred()) {
            return setup_failed(type);
        }
    }
    PyType_Modified(type);
    return 0;
}

}  // namespace velmora
