// Choosing the vector path.
#include "paths.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace velmora::scan {

namespace {

std::atomic<Path> chosen{Path::kScalar};

}  // namespace

const char* path_name(Path path) {
    switch (path) {
        case Path::kScalar: return "scalar";
        case Path::kSse2: return "sse2";
        case Path::kAvx2: return "avx2";
    }
    return "unknown";
}

bool path_available(Path path) {
    switch (path) {
        case Path::kScalar: return true;
#if defined(__x86_64__)
        case Path::kSse2: return true;
        case Path::kAvx2: return __builtin_cpu_supports("avx2");
#else
        default: break;
#endif
    }
    return false;
}

Path current_path() { return chosen.load(std::memory_order_relaxed); }

void set_path(Path path) { chosen.store(path, std::memory_order_relaxed); }

bool choose_path_at_start(const char** refused) {
    Path best = Path::kScalar;
    for (int i = 0; i < kPathCount; i++) {
        if (path_available(Path(i))) best = Path(i);
    }
    set_path(best);
    const char* wanted = std::getenv("VELMORA_SCAN_PATH");
    if (wanted == nullptr || *wanted == '\0') return true;
    for (int i = 0; i < kPathCount; i++) {
        if (std::strcmp(wanted, path_name(Path(i))) == 0 && path_available(Path(i))) {
            set_path(Path(i));
            return true;
        }
    }
    *refused = wanted;
    return false;
}

const PathEntry& entry_of(Path path, bool planned) {
    switch (path) {
#if defined(__x86_64__)
        case Path::kSse2: return planned ? planned_sse2_path : sse2_path;
        case Path::kAvx2: return planned ? planned_avx2_path : avx2_path;
#endif
        default: return planned ? planned_scalar_path : scalar_path;
    }
}

}  // namespace velmora::scan
