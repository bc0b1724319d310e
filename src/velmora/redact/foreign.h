// Code outside this module run in the middle of a walk: counting it, and
// keeping what the containers being walked have read, so that their copies
// can be checked against them afterwards.
//
// Each container being walked has a Frame on a stack (innermost on top).
// As long as no foreign code has run since a container's walk began, the
// container is exactly as the walk has read it, and nothing is kept. The
// first time foreign code may run, every frame not yet recording takes a
// record of what its walk has read so far (the entries or items before its
// position, unchanged since they were read) and records every read after
// that. That happens before the code runs: call before() ahead of anything
// that may run foreign code, after() once it has.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace velmora::redact {

class ChangeLog;

// One entry (or item) a walk read, and what it became.
struct Visit {
    PyObject* key;    // owned; null for a list item
    PyObject* value;  // owned: the value read
    PyObject* out;    // owned: its replacement, or null when it stays
    bool kept;        // the container still has it (set by the checks)
};

class Frame;

class ForeignCode {
public:
    explicit ForeignCode(ChangeLog& changes) : changes_(changes) {}

    // Foreign code may run next: every frame starts recording.
    void before();
    // Foreign code may have run.
    void after() {
        ++epoch_;
        omitter_stale = true;
    }
    // The same after a question to the omitter, which keeps account of what
    // its own answers rely on.
    void after_question() { ++epoch_; }
    // Moves with every after(): two equal readings mean that no foreign code
    // ran in between.
    uint64_t epoch() const { return epoch_; }

    // Set by after(); the omitter is told before its next question.
    bool omitter_stale = true;  // nothing is known about what ran before

private:
    friend class Frame;
    ChangeLog& changes_;
    Frame* top_ = nullptr;
    uint64_t epoch_ = 0;
};

class Frame {
public:
    // Push a frame for the walk of `container` (an exact dict or list,
    // held by the caller), whose change records start at `mark`. It must
    // die after those records are dropped.
    Frame(ForeignCode& foreign, PyObject* container, size_t mark)
        : foreign_(foreign), below_(foreign.top_), container_(container), mark_(mark) {
        foreign.top_ = this;
    }
    ~Frame() {
        foreign_.top_ = below_;
        if (visits_ != nullptr) drop_visits();
    }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    // Where the walk is: the position PyDict_Next handed out after the entry
    // just read, or the index after the item just read.
    void at(Py_ssize_t position) { position_ = position; }
    bool recording() const { return recording_; }
    // Record the entry (or item) just read; only while recording.
    void read(PyObject* key, PyObject* value);
    // What the entry (or item) read last became (`out` borrowed).
    void became(PyObject* out) {
        if (recording_) record_out(out);
    }
    // The walk of the container is over: code run from now on concerns the
    // frames below only. (The frame leaves the stack when it dies, after
    // its change records are dropped: until then they sit above the
    // records of the frames below.)
    void done() { done_ = true; }

    Visit* visits() { return visits_; }
    size_t count() const { return count_; }
    // A record could not be kept (out of memory): the copy cannot be
    // checked.
    bool broken() const { return broken_; }

private:
    friend class ForeignCode;
    // Take the record of what was read so far; the frame's own change
    // records are those from its mark to `records_end`.
    void start_recording(size_t records_end);
    bool reserve();
    void record_out(PyObject* out);
    void drop_visits();

    ForeignCode& foreign_;
    Frame* const below_;
    PyObject* const container_;
    const size_t mark_;
    Py_ssize_t position_ = 0;
    bool done_ = false;
    bool recording_ = false;
    bool broken_ = false;
    Visit* visits_ = nullptr;
    size_t count_ = 0;
    size_t capacity_ = 0;
};

}  // namespace velmora::redact
