// The vector paths of the scanner, chosen at run time.
//
// Every build has the portable scalar path; x86-64 builds add SSE2 (part of
// the architecture) and AVX2 (used when the processor has it). The paths
// differ only in how they find the next byte worth a look (find.h), never
// in what the grammar does with it, so their output is the same byte for
// byte. The best path the processor offers is taken unless the environment
// variable VELMORA_SCAN_PATH names another one ("scalar", "sse2", "avx2");
// velmora.scan._set_path() switches for the tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::scan {

enum class Path : uint8_t { kScalar, kSse2, kAvx2 };
inline constexpr int kPathCount = 3;

const char* path_name(Path path);
// Whether this build and this processor can run `path`.
bool path_available(Path path);
// The path new scans take.
Path current_path();
void set_path(Path path);
// Take VELMORA_SCAN_PATH, or the best path available. False (with the
// variable left unused) when it names no path this machine can run.
bool choose_path_at_start(const char** refused);

class Scanner;
class ByteBuffer;
enum class Fault : uint8_t;

// The grammar as each path compiles it (path_*.cpp).
struct PathEntry {
    Fault (*text)(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool* blank, const uint8_t** where);
    Fault (*lines)(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool skip_bad, ByteBuffer& faults,
                   size_t* lines);
};
extern const PathEntry scalar_path;
extern const PathEntry sse2_path;  // only on x86-64
extern const PathEntry avx2_path;  // only on x86-64
const PathEntry& entry_of(Path path);

}  // namespace velmora::scan
