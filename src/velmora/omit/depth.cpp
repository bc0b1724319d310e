// The thread-local state of the walks running on each thread.
#include "depth.h"

namespace velmora {

__attribute__((tls_model("initial-exec"))) thread_local uintptr_t stack_floor = 0;
__attribute__((tls_model("initial-exec"))) thread_local PyThreadState* walk_thread = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local int walk_depth = 0;

}  // namespace velmora
