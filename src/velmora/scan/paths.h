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

// Where the code of a grammar unit (path_*.cpp, planned_*.cpp) starts:
// `offset` bytes into a 64-byte line, whatever code the linker put before
// it. The scan's speed on this machine moved by up to 6% with the place of
// the grammar's text() in its cache line, with the same instructions run,
// and each unit's offset is the one it was timed fastest at (bench/README.md,
// "Placement"). Filler bytes, never run; the directive is emitted before
// the unit's functions.
#if defined(__GNUC__) && defined(__ELF__)
#define VELMORA_SCAN_UNIT_STARTS_AT(offset) \
    asm(".pushsection .text\n.p2align 6\n.if " #offset "\n.skip " #offset ", 0xcc\n.endif\n.popsection")
#else
#define VELMORA_SCAN_UNIT_STARTS_AT(offset) static_assert(true)
#endif

// The grammar as each path compiles it: without a plan (path_*.cpp) and
// with one (planned_*.cpp, linked after all of the former, so that the
// placement of the scan without a plan never depends on the planned code).
struct PathEntry {
    Fault (*text)(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool* blank, const uint8_t** where);
    Fault (*lines)(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool skip_bad, ByteBuffer& faults,
                   size_t* lines);
};
extern const PathEntry scalar_path;
extern const PathEntry sse2_path;  // only on x86-64
extern const PathEntry avx2_path;  // only on x86-64
extern const PathEntry planned_scalar_path;
extern const PathEntry planned_sse2_path;  // only on x86-64
extern const PathEntry planned_avx2_path;  // only on x86-64
// The grammar of `path`, for a scan with a rule plan if `planned`.
const PathEntry& entry_of(Path path, bool planned);

}  // namespace velmora::scan
