// Copies of walked containers, and the checks that they are what the walk
// meant.
#include "copies.h"

#include "../omit/ref.h"

namespace velmora::redact {

namespace {

// No collection while a copy is allocated: on 3.11 allocating a tracked
// container may start one, and a collection runs finalisers. Only for
// stretches that run no code of their own, so nothing can see the switch.
class NoCollection {
public:
    explicit NoCollection(bool active) : enabled_(active && PyGC_Disable()) {}
    ~NoCollection() {
        if (enabled_) PyGC_Enable();
    }
    NoCollection(const NoCollection&) = delete;
    NoCollection& operator=(const NoCollection&) = delete;

private:
    bool enabled_;
};

PyObject* dict_clone(PyObject* dict, bool plain_keys) {
    NoCollection quiet(plain_keys);
    return PyDict_Copy(dict);
}

PyObject* list_clone(PyObject* list) {
    NoCollection quiet(true);  // slicing runs no code
    return PyList_GetSlice(list, 0, PyList_GET_SIZE(list));
}

// Put `item` (borrowed) at `index` of a fresh copy. The item replaced is
// the original list's too (each index is replaced once), so its release
// runs nothing.
void put(PyObject* copy, Py_ssize_t index, PyObject* item) {
    if (index >= PyList_GET_SIZE(copy)) return;
    PyObject* old = PyList_GET_ITEM(copy, index);
    PyList_SET_ITEM(copy, index, new_ref(item));
    Py_DECREF(old);
}

}  // namespace

PyObject* dict_copy_with(PyObject* dict, const Change* changes, size_t n, bool plain_keys) {
    Ref copy = Ref::steal(dict_clone(dict, plain_keys));
    if (!copy) return nullptr;
    // Each store replaces a value the copy shares with `dict`, which holds it
    // too: with plain keys nothing has run since the copy was made.
    for (size_t i = 0; i < n; i++) {
        if (PyDict_SetItem(copy.get(), changes[i].key, changes[i].out) < 0) return nullptr;
    }
    return copy.release();
}

bool dict_copy_matches(PyObject* dict, PyObject* copy, const Change* changes, size_t n) {
    if (PyDict_GET_SIZE(copy) != PyDict_GET_SIZE(dict)) return false;
    Py_ssize_t at = 0, copy_at = 0;
    PyObject *key, *value, *copy_key, *copy_value;
    size_t next = 0;
    while (PyDict_Next(dict, &at, &key, &value)) {
        if (!PyDict_Next(copy, &copy_at, &copy_key, &copy_value) || copy_key != key) return false;
        if (next < n && changes[next].key == key) {
            if (value != changes[next].read || copy_value != changes[next].out) return false;
            next++;
        } else if (copy_value != value) {
            return false;
        }
    }
    return next == n;
}

PyObject* list_copy_with(PyObject* list, const Change* changes, size_t n) {
    PyObject* copy = list_clone(list);
    if (copy == nullptr) return nullptr;
    for (size_t i = 0; i < n; i++) put(copy, changes[i].index, changes[i].out);
    return copy;
}

bool dict_is_what_was_read(PyObject* dict, Frame& frame) {
    Visit* const visits = frame.visits();
    const size_t n = frame.count();
    size_t next = 0;
    Py_ssize_t at = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &at, &key, &value)) {
        while (next < n && (visits[next].key != key || visits[next].value != value)) next++;
        if (next == n) return false;
        visits[next++].kept = true;
    }
    return true;
}

bool list_is_what_was_read(PyObject* list, Frame& frame) {
    Visit* const visits = frame.visits();
    if (static_cast<size_t>(PyList_GET_SIZE(list)) != frame.count()) return false;
    for (size_t i = 0; i < frame.count(); i++) {
        if (PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i)) != visits[i].value) return false;
        visits[i].kept = true;
    }
    return true;
}

bool kept_replacement(Frame& frame) {
    const Visit* const visits = frame.visits();
    for (size_t i = 0; i < frame.count(); i++) {
        if (visits[i].kept && visits[i].out != nullptr) return true;
    }
    return false;
}

PyObject* dict_copy_with(PyObject* dict, Frame& frame, bool plain_keys) {
    Ref copy = Ref::steal(dict_clone(dict, plain_keys));
    if (!copy) return nullptr;
    const Visit* const visits = frame.visits();
    for (size_t i = 0; i < frame.count(); i++) {
        if (!visits[i].kept || visits[i].out == nullptr) continue;
        if (PyDict_SetItem(copy.get(), visits[i].key, visits[i].out) < 0) return nullptr;
    }
    return copy.release();
}

PyObject* list_copy_with(PyObject* list, Frame& frame) {
    PyObject* copy = list_clone(list);
    if (copy == nullptr) return nullptr;
    const Visit* const visits = frame.visits();
    for (size_t i = 0; i < frame.count(); i++) {
        if (visits[i].kept && visits[i].out != nullptr) put(copy, static_cast<Py_ssize_t>(i), visits[i].out);
    }
    return copy;
}

bool dict_copy_matches(PyObject* dict, PyObject* copy, Frame& frame) {
    if (PyDict_GET_SIZE(copy) != PyDict_GET_SIZE(dict)) return false;
    const Visit* const visits = frame.visits();
    const size_t n = frame.count();
    size_t next = 0;
    Py_ssize_t at = 0, copy_at = 0;
    PyObject *key, *value, *copy_key, *copy_value;
    while (PyDict_Next(dict, &at, &key, &value)) {
        while (next < n && !visits[next].kept) next++;
        if (next == n || !PyDict_Next(copy, &copy_at, &copy_key, &copy_value)) return false;
        const Visit& v = visits[next++];
        PyObject* expected = v.out != nullptr ? v.out : value;
        if (key != v.key || value != v.value || copy_key != key || copy_value != expected) return false;
    }
    while (next < n && !visits[next].kept) next++;
    return next == n;
}

}  // namespace velmora::redact
