// The change records: a stack that starts in the walk's own frame and moves
// to the heap only for calls with many changes pending at once.
#include "changes.h"

#include "held.h"

#include <cstring>

namespace velmora::redact {

ChangeLog::~ChangeLog() {
    // The walk's frames have dropped their records on every way out.
    if (data_ != inline_) PyMem_Free(data_);
}

bool ChangeLog::push(PyObject* key, Py_ssize_t index, PyObject* read, PyObject* out) {
    if (size_ == capacity_) {
        const size_t grown = capacity_ * 2;
        auto* bigger = static_cast<Change*>(PyMem_Malloc(grown * sizeof(Change)));
        if (bigger == nullptr) {
            Py_DECREF(out);  // a fresh copy or mask: nobody else holds it
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(bigger, data_, size_ * sizeof(Change));
        if (data_ != inline_) PyMem_Free(data_);
        data_ = bigger;
        capacity_ = grown;
    }
    if (holding_) {
        Py_XINCREF(key);
        Py_INCREF(read);
    }
    data_[size_++] = Change{key, index, read, out};
    return true;
}

void ChangeLog::hold_what_was_read() {
    if (holding_) return;
    holding_ = true;
    for (size_t i = 0; i < size_; i++) {
        Py_XINCREF(data_[i].key);
        Py_INCREF(data_[i].read);
    }
}

void ChangeLog::drop_above(size_t mark, ForeignCode& foreign) {
    while (size_ > mark) {
        // Off the stack before its references go, so that the log is whole
        // whatever a finaliser does.
        const Change c = data_[--size_];
        const bool held = holding_;  // (releasing `out` may change it for the records left)
        release(c.out, foreign);
        if (held) {
            release(c.read, foreign);
            release(c.key, foreign);
        }
    }
}

}  // namespace velmora::redact
