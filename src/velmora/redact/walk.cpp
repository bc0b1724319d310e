// The copy-on-write walk over dicts and lists.
//
// Values are classified exactly as velmora.omit's walk classifies them, in
// the same order, with the same TypeErrors for refused types. Python code
// can run in the middle (the number test's `__class__` lookup, should_hide,
// key hashing and comparison in the copies' stores, finalisers), and it can
// change the input: every key and value is held while it is examined, a
// dict's size is checked before each step and a list's length before each
// read.
//
// A copy is made from the input when the first change under a container is
// known; later entries are read from the input and their changes written
// into the copy. Code run mid-walk that changes the input behind the walk
// is not walked again, as with the in-place walk.
#include "walk.h"

#include "../omit/ref.h"
#include "depth.h"

namespace velmora::redact {

namespace {

constexpr unsigned long kWalkedFlags =
    Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS;

PyObject* unexpected(const char* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(value)->tp_name);
    return nullptr;
}

// Values the walk passes over without a question, a call or a reference.
bool plain_scalar(PyObject* v) {
    PyTypeObject* tp = Py_TYPE(v);
    return tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type || v == Py_None;
}

bool key_is_str_or_none(PyObject* key) { return key == Py_None || PyUnicode_CheckExact(key); }

// The number test of the in-place walk: isinstance(value, bool), or an int,
// float or complex (or a subtype of one). For other types isinstance looks
// up `__class__`, which may be Python code that re-types `value` (and frees
// its old type): the type is read again after it. 1, 0, or -1 on failure.
int is_number(Walk& walk, PyObject* value) {
    PyTypeObject* tp = Py_TYPE(value);
    if (tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type || tp == &PyComplex_Type) return 1;
    if (tp == &PyUnicode_Type || tp == &PyDict_Type || tp == &PyList_Type || value == Py_None ||
        tp == &PyTuple_Type || tp == &PyBytes_Type) {
        return 0;
    }
    const int is_bool = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyBool_Type));
    walk.verdicts.foreign();
    if (is_bool != 0) return is_bool;
    tp = Py_TYPE(value);
    if (PyType_HasFeature(tp, Py_TPFLAGS_LONG_SUBCLASS)) return 1;
    return PyType_IsSubtype(tp, &PyFloat_Type) || PyType_IsSubtype(tp, &PyComplex_Type);
}

// The mask of an exact str, or the str itself when masking changes nothing.
PyObject* masked(Walk& walk, PyObject* value) {
    PyObject* mask = mask_str(walk.policy, value);
    if (mask == nullptr) return nullptr;
    if (unchanged_by_mask(value, mask)) {
        Py_DECREF(mask);
        return new_ref(value);
    }
    return mask;
}

// What the value `v` under the key `k` of a dict becomes: a new reference,
// to `v` itself when nothing changes. The caller holds both.
PyObject* redact_value(Walk& walk, PyObject* k, PyObject* v) {
    int verdict = -1;  // not asked yet
    if (walk.whole() && PyUnicode_CheckExact(k)) {
        // A hidden str key hides whatever stands under it.
        verdict = walk.verdicts.ask(k);
        if (verdict < 0) return nullptr;
        if (verdict) {
            PyObject* text = whole_mask(walk.policy);
            if (PyUnicode_CheckExact(v) && unchanged_by_mask(v, text)) return new_ref(v);
            return new_ref(text);
        }
    }
    PyTypeObject* tp = Py_TYPE(v);
    unsigned long flags;
    if (tp == &PyUnicode_Type || tp == &PyDict_Type || tp == &PyList_Type) {
        flags = tp->tp_flags;
    } else if (plain_scalar(v)) {
        return new_ref(v);
    } else {
        const int number = is_number(walk, v);
        if (number < 0) return nullptr;
        if (number) return new_ref(v);
        flags = Py_TYPE(v)->tp_flags;
        if (!(flags & kWalkedFlags)) return new_ref(v);
    }

    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
        if (!key_is_str_or_none(k)) return unexpected("unicode", k);
        if (verdict < 0 && (verdict = walk.verdicts.ask(k)) < 0) return nullptr;
        if (!verdict) return new_ref(v);
        if (!PyUnicode_CheckExact(v)) return unexpected("unicode", v);
        return masked(walk, v);
    }
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
        // A dict is decided by its own keys; its key is not looked at.
        if (!PyDict_CheckExact(v)) return unexpected("dict", v);
        return redact_dict(walk, v);
    }
    // A list inherits its key's verdict.
    if (!key_is_str_or_none(k)) return unexpected("unicode", k);
    if (verdict < 0 && (verdict = walk.verdicts.ask(k)) < 0) return nullptr;
    if (!PyList_CheckExact(v)) return unexpected("list", v);
    return redact_list(walk, v, verdict != 0);
}

// Put `item` (stolen) at index i of a list copy. The item replaced is the
// input's and shared; if code run mid-walk took it out of the input, this
// release is its last.
int put(Walk& walk, PyObject* copy, Py_ssize_t i, PyObject* item) {
    if (i < PyList_GET_SIZE(copy) && Py_REFCNT(PyList_GET_ITEM(copy, i)) == 1) walk.verdicts.foreign();
    return PyList_SetItem(copy, i, item);  // checks the index; steals either way
}

}  // namespace

PyObject* redact_dict(Walk& walk, PyObject* dict) {
    Level level;
    if (!level.enter()) return nullptr;
    Ref copy;  // made at the first change
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    for (;;) {
        if (PyDict_GET_SIZE(dict) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return nullptr;
        }
        if (!PyDict_Next(dict, &pos, &k, &v)) break;
        if (plain_scalar(v) && !(walk.whole() && PyUnicode_CheckExact(k))) continue;
        Held key(k, walk.verdicts);
        Held value(v, walk.verdicts);
        Ref out = Ref::steal(redact_value(walk, k, v));
        if (!out) return nullptr;
        if (out.get() == v) continue;
        if (!copy) {
            // Copying a dict with deleted entries re-inserts its keys, which
            // may compare them.
            copy = Ref::steal(PyDict_Copy(dict));
            walk.verdicts.foreign();
            if (!copy) return nullptr;
        }
        // The store hashes and compares keys and releases the value it
        // replaces: any of it may run code.
        const int stored = PyDict_SetItem(copy.get(), k, out.get());
        walk.verdicts.foreign();
        if (stored < 0) return nullptr;
    }
    return copy ? copy.release() : new_ref(dict);
}

PyObject* redact_list(Walk& walk, PyObject* list, bool do_hide) {
    Level level;
    if (!level.enter()) return nullptr;
    Ref copy;  // made at the first change
    const Py_ssize_t length = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < length; i++) {
        // Code run from a nested walk may have shortened the list: never
        // read past its current end.
        if (i >= PyList_GET_SIZE(list)) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return nullptr;
        }
        PyObject* raw = PyList_GET_ITEM(list, i);
        const unsigned long flags = Py_TYPE(raw)->tp_flags;
        Ref out;
        if (flags & (Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS)) {
            Held item(raw, walk.verdicts);
            if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
                if (!PyDict_CheckExact(raw)) return unexpected("dict", raw);
                out = Ref::steal(redact_dict(walk, raw));
            } else {
                if (!PyList_CheckExact(raw)) return unexpected("list", raw);
                out = Ref::steal(redact_list(walk, raw, do_hide));
            }
            if (!out) return nullptr;
            if (out.get() == raw) continue;
        } else if (do_hide && (flags & Py_TPFLAGS_UNICODE_SUBCLASS)) {
            if (!PyUnicode_CheckExact(raw)) return unexpected("unicode", raw);
            out = Ref::steal(masked(walk, raw));  // runs nothing: raw stays in the list
            if (!out) return nullptr;
            if (out.get() == raw) continue;
        } else {
            continue;
        }
        if (!copy) {
            copy = Ref::steal(PyList_GetSlice(list, 0, PyList_GET_SIZE(list)));
            if (!copy) return nullptr;
        }
        if (put(walk, copy.get(), i, out.release()) < 0) return nullptr;
    }
    return copy ? copy.release() : new_ref(list);
}

}  // namespace velmora::redact
