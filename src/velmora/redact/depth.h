// How deep the walk may go.
//
// Each level of nesting costs native stack. The interpreter's recursion
// limit bounds the depth in the common case, but a program may raise that
// limit far beyond what the thread's stack holds, so a level is also refused
// when little of the stack is left. Data that contains itself ends the same
// way: the walk keeps no record of what it has visited.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velmora::redact {

class Level {
public:
    // False with RecursionError set when the walk may not go one level deeper.
    bool enter();
    ~Level() {
        if (entered_) Py_LeaveRecursiveCall();
    }

private:
    bool entered_ = false;
};

}  // namespace velmora::redact
