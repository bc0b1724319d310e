// The engine: a detector's registered values and formats, compiled into an
// immutable snapshot that scans read without the interpreter lock.
//
// Where a match can start is decided by the four units there (a gram): a
// bitmap of the grams every format and value starts with lets the scan
// skip everything else at a few instructions per unit. Only at a gram in
// the bitmap does a format check run or the automaton start.
#pragma once

#include "automaton.h"
#include "formats.h"

#include <atomic>

namespace velmora::detect {

// A set of grams as a bitmap of their hashes: false positives only.
class GramFilter {
public:
    static uint32_t hash(uint32_t gram) { return gram * 0x9E3779B1u; }
    bool make(uint32_t bits_log2) {
        shift_ = 32 - bits_log2;
        return bits_.zeroed(size_t(1) << (bits_log2 - 6));
    }
    void add(uint32_t gram) {
        const uint32_t h = hash(gram) >> shift_;
        bits_[h >> 6] |= uint64_t(1) << (h & 63);
    }
    bool test(uint32_t gram) const {
        const uint32_t h = hash(gram) >> shift_;
        return (bits_[h >> 6] >> (h & 63)) & 1;
    }
    // For the vector path: the bitmap as 32-bit words (bit h is bit h % 32
    // of word h / 32 on a little-endian machine), and the hash's shift.
    const uint32_t* words() const { return reinterpret_cast<const uint32_t*>(bits_.data()); }
    uint32_t shift() const { return shift_; }

private:
    Array<uint64_t> bits_;
    uint32_t shift_ = 32;
};

// The values' first four UTF-8 bytes, exactly, each with the automaton's
// state after them: a UTF-8 scan starts the automaton there.
class GramTable {
public:
    bool make(size_t count);
    void add(uint32_t gram, uint32_t state);
    // The state after `gram`, or 0 (the root) when no value starts so.
    uint32_t find(uint32_t gram) const {
        for (uint32_t i = GramFilter::hash(gram) & mask_;; i = (i + 1) & mask_) {
            if (states_[i] == 0) return 0;
            if (keys_[i] == gram) return states_[i];
        }
    }

private:
    Array<uint32_t> keys_;
    Array<uint32_t> states_;  // 0: empty slot (the root is never a state here)
    uint32_t mask_ = 0;
};

struct Engine {
    std::atomic<intptr_t> refs{1};
    uint32_t formats = 0;  // Kind bits, without kValue
    bool has_values = false;
    FirstTable first{};       // formats that may start at an ASCII unit
    GramFilter any_utf8;      // grams of formats and of the values' UTF-8
    GramFilter any_code;      // grams of formats and of the values' folded code points
    GramFilter values_code;   // grams of the values' folded code points alone
    GramTable values_utf8;
    Automaton values;
};

// Compile `values` (UTF-8, each at least 4 code points; sorted in place)
// and `formats` into a new engine with one reference, or null when memory
// ran out.
Engine* compile(Pattern* values, size_t count, uint32_t formats);

inline void retain(Engine* engine) { engine->refs.fetch_add(1, std::memory_order_relaxed); }
void release(Engine* engine);

}  // namespace velmora::detect
