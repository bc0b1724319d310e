// The depth bound: the interpreter's recursion limit and the thread's stack.
#include "depth.h"

#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace velmora::redact {

namespace {

// The lowest stack address a level may start below, per thread; 0 until
// computed, 1 when the stack could not be found out (then only the
// recursion limit bounds the walk). Initial-exec: read on every level, it
// must not cost a call.
__attribute__((tls_model("initial-exec"))) thread_local uintptr_t stack_floor = 0;

uintptr_t compute_stack_floor() {
    pthread_attr_t attr;
    void* low = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 1;
    const int rc = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || low == nullptr) return 1;
    // Leave room for what runs below the last level: a mask, an error being
    // raised, Python code run from the walk.
    size_t margin = size / 4;
    if (margin > (512u << 10)) margin = 512u << 10;
    return reinterpret_cast<uintptr_t>(low) + margin;
}

bool native_stack_low() {
    if (stack_floor == 0) stack_floor = compute_stack_floor();
    char here;
    return reinterpret_cast<uintptr_t>(&here) < stack_floor;
}

}  // namespace

bool Level::enter() {
    if (native_stack_low()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while redacting nested data");
        return false;
    }
    if (Py_EnterRecursiveCall(" while redacting nested data")) return false;
    entered_ = true;
    return true;
}

}  // namespace velmora::redact
