// Frames and the record of what they read.
#include "foreign.h"

#include "changes.h"
#include "held.h"

namespace velmora::redact {

void ForeignCode::before() {
    changes_.hold_what_was_read();
    // Frames below a recording one record already: they were on the stack
    // when it started. Each frame's change records end where those of the
    // frame above begin.
    size_t records_end = changes_.size();
    for (Frame* f = top_; f != nullptr; f = f->below_) {
        if (!f->done_) {
            if (f->recording_) break;
            f->start_recording(records_end);
        }
        records_end = f->mark_;
    }
}

void Frame::drop_visits() {
    // (The frame has left the stack.) Newest first, each off the record
    // before its references go.
    while (count_ > 0) {
        const Visit v = visits_[--count_];
        release(v.out, foreign_);
        release(v.value, foreign_);
        release(v.key, foreign_);
    }
    PyMem_Free(visits_);
}

bool Frame::reserve() {
    if (count_ < capacity_) return true;
    const size_t grown = capacity_ == 0 ? 16 : capacity_ * 2;
    auto* bigger = static_cast<Visit*>(PyMem_Realloc(visits_, grown * sizeof(Visit)));
    if (bigger == nullptr) {
        broken_ = true;
        return false;
    }
    visits_ = bigger;
    capacity_ = grown;
    return true;
}

void Frame::read(PyObject* key, PyObject* value) {
    if (!reserve()) return;
    Py_XINCREF(key);
    Py_INCREF(value);
    visits_[count_++] = Visit{key, value, nullptr, false};
}

void Frame::record_out(PyObject* out) {
    if (count_ == 0 || broken_) return;
    Visit& last = visits_[count_ - 1];
    if (out != last.value && last.out == nullptr) last.out = new_ref(out);
}

void Frame::start_recording(size_t records_end) {
    recording_ = true;
    // Nothing foreign has run since the walk of the container began: what
    // stands before the walk's position is what it read, and the change
    // records say what became of it (in the same order).
    const Change* change = foreign_.changes_.from(mark_);
    const Change* const end = foreign_.changes_.from(records_end);
    if (PyDict_CheckExact(container_)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (pos < position_ && PyDict_Next(container_, &pos, &k, &v)) {
            read(k, v);
            if (change != end && change->key == k && change->read == v) became((change++)->out);
        }
    } else {
        for (Py_ssize_t i = 0; i < position_ && i < PyList_GET_SIZE(container_); i++) {
            read(nullptr, PyList_GET_ITEM(container_, i));
            if (change != end && change->index == i) became((change++)->out);
        }
    }
}

}  // namespace velmora::redact
