// How deep a walk may go. Each level of nesting costs native stack: the
// interpreter's recursion limit bounds the depth in the common case, but a
// program may raise that limit far beyond what the native stack holds, so
// the walk also refuses to go on when little of the thread's stack is left.
// Either way the walk ends in RecursionError, never in a crash.
#pragma once

#include "cpython.h"
#include "epoch.h"
#include "stack.h"

#include <cstdint>

namespace velmora {

// Initial-exec TLS: read on every level, so it must not cost a call.
extern __attribute__((tls_model("initial-exec"))) thread_local uintptr_t stack_floor;
// The thread state of the walk running on this thread, set by each walk
// entered from Python (WalkEntry) where levels can be counted without a
// call, so that each level counts itself against the recursion limit.
extern __attribute__((tls_model("initial-exec"))) thread_local PyThreadState* walk_thread;
// Walks entered from Python on this thread. A walk entered any other way
// (through the method table, from native code) cannot know what ran before.
extern __attribute__((tls_model("initial-exec"))) thread_local int walk_depth;

// Whether less than min(512 KiB, a quarter of the thread's stack) is left.
inline bool native_stack_low() {
    if (stack_floor == 0) stack_floor = compute_stack_floor();
    char here;
    return reinterpret_cast<uintptr_t>(&here) < stack_floor;
}

// The thread state to count one more level on without a call: the walk's,
// while the limit is not reached. Null when Py_EnterRecursiveCall must decide.
inline PyThreadState* counting_thread() {
    PyThreadState* thread = walk_thread;
    return thread != nullptr && cpython::RecursionBudget::left(thread) ? thread : nullptr;
}

// One level of a walk.
class DepthGuard {
public:
    // False with RecursionError set when the walk may not go deeper.
    bool enter() {
        if (native_stack_low()) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while walking nested data");
            return false;
        }
        // What Py_EnterRecursiveCall does while the limit is not reached;
        // at the limit the call itself decides and raises.
        if (PyThreadState* thread = counting_thread()) {
            cpython::RecursionBudget::take(thread);
            thread_ = thread;
            return true;
        }
        if (Py_EnterRecursiveCall(" while walking nested data")) return false;
        entered_ = true;
        return true;
    }
    ~DepthGuard() {
        if (thread_ != nullptr) cpython::RecursionBudget::give_back(thread_);
        if (entered_) Py_LeaveRecursiveCall();
    }

private:
    PyThreadState* thread_ = nullptr;
    bool entered_ = false;
};

// A walk entered from Python: whatever ran before it was foreign.
struct WalkEntry {
    WalkEntry() : outer_thread(walk_thread) {
        note_foreign_code();
        walk_depth++;
        walk_thread = cpython::RecursionBudget::usable() ? PyThreadState_Get() : nullptr;
    }
    ~WalkEntry() {
        walk_depth--;
        walk_thread = outer_thread;
    }
    PyThreadState* const outer_thread;
};

}  // namespace velmora
