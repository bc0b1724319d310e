// How much native stack a walk may use, shared by the package's walks.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace velmora {

// The lowest stack address a level of a walk may start below on the calling
// thread: min(512 KiB, a quarter of the thread's stack) is left for what
// runs below the last level (a mask, an error being raised, Python code run
// from the walk). 1 when the stack cannot be found out: then only the
// recursion limit bounds the walk.
inline uintptr_t compute_stack_floor() {
    pthread_attr_t attr;
    void* low = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 1;
    const int rc = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || low == nullptr) return 1;
    size_t margin = size / 4;
    if (margin > (512u << 10)) margin = 512u << 10;
    return reinterpret_cast<uintptr_t>(low) + margin;
}

}  // namespace velmora
