// The native stack floor of each thread, and the thread-local state of the
// walks running on it.
#include "depth.h"

#include <pthread.h>

namespace velmora {

__attribute__((tls_model("initial-exec"))) thread_local uintptr_t stack_floor = 0;
__attribute__((tls_model("initial-exec"))) thread_local PyThreadState* walk_thread = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local int walk_depth = 0;

uintptr_t compute_stack_floor() {
    pthread_attr_t attr;
    void* low = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 1;
    int rc = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || low == nullptr) return 1;
    size_t margin = size / 4;
    if (margin > (512u << 10)) margin = 512u << 10;
    return reinterpret_cast<uintptr_t>(low) + margin;
}

}  // namespace velmora
