// How the scanner finds the next byte it has to look at: the only thing the
// vector paths change. Each path is a struct of two functions with the same
// contract, and the grammar (grammar.h) is compiled once per path:
//
//   string_stop(p, end): the first byte in [p, end) that a string body
//       cannot pass over unread (a quote, a backslash, a control byte, or
//       a byte of 0x80 and up, whose UTF-8 sequence is checked on its own),
//       or end;
//   space_stop(p, end): the first byte in [p, end) that is not JSON white
//       space, or end.
//
// ScalarFind is the reference and builds everywhere; the SSE2 and AVX2
// structs (find_sse2.h, find_avx2.h) are compiled only in their paths'
// translation units (path_sse2.cpp, path_avx2.cpp and their planned_
// twins), for those instruction sets.
#pragma once

#include "text.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velmora::scan {

inline bool string_special(uint8_t c) { return c == '"' || c == '\\' || c < 0x20 || c >= 0x80; }

struct ScalarFind {
    static const uint8_t* string_stop(const uint8_t* p, const uint8_t* end) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // Eight bytes at a time. The lowest flagged byte of each test is
        // exact (a borrow only runs upward from a byte that is flagged).
        constexpr uint64_t ones = 0x0101010101010101ull;
        constexpr uint64_t highs = 0x8080808080808080ull;
        while (end - p >= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            const uint64_t quote = w ^ (ones * '"');
            const uint64_t backslash = w ^ (ones * '\\');
            const uint64_t hits = ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) |
                                  ((w - ones * 0x20) & ~w) | w;
            if (hits & highs) return p + (__builtin_ctzll(hits & highs) >> 3);
            p += 8;
        }
#endif
        while (p < end && !string_special(*p)) p++;
        return p;
    }

    static const uint8_t* space_stop(const uint8_t* p, const uint8_t* end) {
        while (p < end && is_space(*p)) p++;
        return p;
    }
};

}  // namespace velmora::scan
