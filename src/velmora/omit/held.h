// What a walk holds while it works on an entry, and when letting go of it
// may run code.
//
// The dict walk holds the pair it stands on as the loop variables of
// `for key, value in target.items()` would: from the moment it is read
// until the next pair replaces it, or until the walk returns. A finaliser
// run by its release therefore runs after the next pair was read, or after
// the last size check, never earlier. The list walk holds its item the same
// way. A release that may run code counts as foreign code.
#pragma once

#include "epoch.h"
#include "ref.h"

#include <utility>

namespace velmora {

// Whether dropping one reference to `o` runs no code: someone else holds it
// too, or it is of a built-in type whose deallocation runs nothing.
inline bool releases_quietly(PyObject* o) {
    if (Py_REFCNT(o) > 1) return true;
    PyTypeObject* tp = Py_TYPE(o);
    return tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyComplex_Type ||
           tp == &PyBytes_Type || o == Py_None || tp == &PyBool_Type;
}

class CurrentPair {
public:
    PyObject* key() const { return key_; }
    PyObject* value() const { return value_; }
    bool empty() const { return key_ == nullptr; }

    // Whether letting go of the held pair would run no code.
    bool lets_go_quietly() const {
        return key_ == nullptr || (releases_quietly(key_) && releases_quietly(value_));
    }
    // Hold the pair just read, then release the one before, key first.
    void hold(PyObject* key, PyObject* value) {
        PyObject* old_key = std::exchange(key_, new_ref(key));
        PyObject* old_value = std::exchange(value_, new_ref(value));
        release(old_key, old_value);
    }
    void let_go() { release(std::exchange(key_, nullptr), std::exchange(value_, nullptr)); }
    ~CurrentPair() { let_go(); }

private:
    static void release(PyObject* key, PyObject* value) {
        if (key == nullptr) return;
        bool loud = !releases_quietly(key);
        Py_DECREF(key);
        loud = !releases_quietly(value) || loud;  // after the key's release, which may have changed it
        Py_DECREF(value);
        if (loud) note_foreign_code();
    }

    PyObject* key_ = nullptr;
    PyObject* value_ = nullptr;
};

// The list walk's item: hold `item`, just read, and release the one before.
inline void hold_item(Ref& held, PyObject* item) {
    const bool quiet = !held || releases_quietly(held.get());
    held = Ref::borrow(item);
    if (!quiet) note_foreign_code();
}

}  // namespace velmora
