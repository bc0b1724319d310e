// What both structural-index probes (stage1_probe.cpp, stage2_probe.cpp)
// do alike with the bitmasks of a 64-byte block (bit k: byte k): which
// bytes a backslash escapes, the prefix xor that turns real quotes into an
// in-string mask, and a hex digit's value.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace probe_bits {

using u8 = std::uint8_t;
using u64 = std::uint64_t;

inline constexpr u64 kEven = 0x5555555555555555ULL;  // bits 0, 2, 4, ...
inline constexpr u64 kOdd = ~kEven;

// Bit k set: an odd number of bits set at k and below (carry-less multiply
// by all ones; the shifts do the same where there is no PCLMUL).
__attribute__((target("pclmul,sse2"))) inline u64 prefix_xor_clmul(u64 x) {
    const __m128i product = _mm_clmulepi64_si128(_mm_set_epi64x(0, static_cast<long long>(x)),
                                                 _mm_set1_epi8(static_cast<char>(0xff)), 0);
    return static_cast<u64>(_mm_cvtsi128_si64(product));
}

inline u64 prefix_xor_shifts(u64 x) {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}

// The bytes escaped by a backslash: a byte is escaped when an odd run of
// unescaped backslashes ends just before it. Runs are split into those that
// start at an even bit and those at an odd one; adding a run's start bit to
// the run carries out of it into the byte after it, whose parity then says
// whether the run was odd. `carry`: 1 when the block's first byte is
// escaped by the block before; set for the next block.
inline u64 escaped_bytes(u64 backslash, u64& carry) {
    const u64 from_before = carry;
    backslash &= ~from_before;  // an escaped backslash starts no run
    const u64 starts = backslash & ~(backslash << 1);
    const u64 even_ends = (backslash + (starts & kEven)) & ~backslash;
    u64 odd_sum;
    const bool out = __builtin_add_overflow(backslash, starts & kOdd, &odd_sum);
    const u64 odd_ends = odd_sum & ~backslash;
    carry = out;  // an odd-started run reaching bit 63 is odd
    return (even_ends & kOdd) | (odd_ends & kEven) | from_before;
}

inline int hex(u8 c) {
    if (c >= '0' && c <= '9') return c - '0';
    c |= 0x20;
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace probe_bits
