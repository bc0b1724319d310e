// What the walk holds of the caller's data while it works on it, and when
// letting go may run code.
//
// The holding follows velmora.omit's in-place walk, so that a finaliser run
// by a release runs at the same moment in both: the dict walk holds the
// pair it stands on from the moment it is read until the next pair
// replaces it (or until the walk of the dict ends), and lets it go at once
// when nothing foreign ran while it was worked on; the list walk holds its
// item the same way. (The in-place walk's list walk holds every item; an
// item whose turn runs no code cannot be seen to be held, so this walk
// holds only those it works on, and the next item read after one it still
// holds.)
#pragma once

#include "../omit/ref.h"
#include "foreign.h"

#include <utility>

namespace velmora::redact {

// Whether dropping one reference to `o` runs no code: someone else holds it
// too, or it is of a built-in type whose deallocation runs nothing.
inline bool releases_quietly(PyObject* o) {
    if (Py_REFCNT(o) > 1) return true;
    PyTypeObject* tp = Py_TYPE(o);
    return tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyComplex_Type ||
           tp == &PyBytes_Type || o == Py_None || tp == &PyBool_Type;
}

// Drop one reference to `o` (may be null), as foreign code when it may run
// some.
inline void release(PyObject* o, ForeignCode& foreign) {
    if (o == nullptr) return;
    if (releases_quietly(o)) {
        Py_DECREF(o);
        return;
    }
    foreign.before();
    Py_DECREF(o);
    foreign.after();
}

class HeldPair {
public:
    explicit HeldPair(ForeignCode& foreign) : foreign_(foreign) {}
    HeldPair(const HeldPair&) = delete;
    HeldPair& operator=(const HeldPair&) = delete;
    ~HeldPair() { let_go(); }

    bool empty() const { return key_ == nullptr; }
    bool lets_go_quietly() const {
        return key_ == nullptr || (releases_quietly(key_) && releases_quietly(value_));
    }
    // Hold the pair just read, then release the one before, key first (the
    // key's release may change what holds the value).
    void hold(PyObject* key, PyObject* value) {
        PyObject* old_key = std::exchange(key_, new_ref(key));
        PyObject* old_value = std::exchange(value_, new_ref(value));
        release(old_key, foreign_);
        release(old_value, foreign_);
    }
    void let_go() {
        release(std::exchange(key_, nullptr), foreign_);
        release(std::exchange(value_, nullptr), foreign_);
    }

private:
    ForeignCode& foreign_;
    PyObject* key_ = nullptr;
    PyObject* value_ = nullptr;
};

class HeldItem {
public:
    explicit HeldItem(ForeignCode& foreign) : foreign_(foreign) {}
    HeldItem(const HeldItem&) = delete;
    HeldItem& operator=(const HeldItem&) = delete;
    ~HeldItem() { hold(nullptr); }

    bool empty() const { return item_ == nullptr; }
    bool lets_go_quietly() const { return item_ == nullptr || releases_quietly(item_); }
    // Hold the item just read (or nothing), then release the one before.
    void hold(PyObject* item) {
        Py_XINCREF(item);
        release(std::exchange(item_, item), foreign_);
    }

private:
    ForeignCode& foreign_;
    PyObject* item_ = nullptr;
};

}  // namespace velmora::redact
