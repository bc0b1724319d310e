// What the walk changes beneath the containers it is in.
//
// A container's copy is made only once its whole walk is over, from the
// container as it stands then; until then each entry (or item) whose value
// the walk replaces is a record here. The records form one stack for the
// whole call: those of a nested container sit above its parent's and are
// dropped when its walk ends, so a container's records are exactly the
// ones pushed since its walk began, in the order of its entries.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace velmora::redact {

class ForeignCode;

struct Change {
    PyObject* key;     // the entry's key; null for a list item
    Py_ssize_t index;  // a list item's index
    PyObject* read;    // the value the walk read there
    PyObject* out;     // what it becomes (owned)
};

class ChangeLog {
public:
    ChangeLog() = default;
    ChangeLog(const ChangeLog&) = delete;
    ChangeLog& operator=(const ChangeLog&) = delete;
    ~ChangeLog();

    size_t size() const { return size_; }
    const Change* from(size_t mark) const { return data_ + mark; }

    // Record that `read` (borrowed) under `key` (borrowed, or null) or at
    // `index` becomes `out` (stolen). False with MemoryError set, `out`
    // released, when the record cannot be kept.
    bool push(PyObject* key, Py_ssize_t index, PyObject* read, PyObject* out);

    // Keys and values read are borrowed from the data for as long as no
    // foreign code can run, which alone could make the data let go of them;
    // from the first time it may (ForeignCode::before), every record holds
    // its own references.
    void hold_what_was_read();

    // Drop the records from `mark` on, newest first.
    void drop_to(size_t mark, ForeignCode& foreign) {
        if (size_ > mark) drop_above(mark, foreign);
    }

private:
    // Enough for most calls: records of the containers on the current path
    // only, and most payloads mask a few values per container.
    static constexpr size_t kInline = 32;

    Change inline_[kInline];
    Change* data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = kInline;
    bool holding_ = false;

    void drop_above(size_t mark, ForeignCode& foreign);
};

}  // namespace velmora::redact
