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

// A set of grams as a bitmap of their hashes, two bits per gram in one
// 32-bit word (a blocked Bloom filter): false positives only, about one in
// 500 places at the sizes chosen, for one memory read per test. `word`
// comes from one product's top bits, the two bits from another's.
template <uint32_t kWordMultiplier, uint32_t kBitMultiplier>
class GramBitmap {
public:
    static constexpr uint32_t kWordHash = kWordMultiplier;
    static constexpr uint32_t kBitHash = kBitMultiplier;
    bool make(uint32_t bits_log2) {
        shift_ = 32 - (bits_log2 - 5);
        return words_.zeroed(size_t(1) << (bits_log2 - 5));
    }
    void add(uint32_t gram) { words_[word(gram)] |= bits(gram); }
    bool test(uint32_t gram) const {
        const uint32_t want = bits(gram);
        return (words_[word(gram)] & want) == want;
    }
    // For the vector path.
    const uint32_t* words() const { return words_.data(); }
    uint32_t shift() const { return shift_; }

private:
    uint32_t word(uint32_t gram) const { return (gram * kWordMultiplier) >> shift_; }
    static uint32_t bits(uint32_t gram) {
        const uint32_t h = gram * kBitMultiplier;
        return (1u << (h >> 27)) | (1u << ((h >> 22) & 31));
    }
    Array<uint32_t> words_;
    uint32_t shift_ = 32;
};
// The candidate filter.
using GramFilter = GramBitmap<0x9E3779B1u, 0x85EBCA77u>;
// A second look at the values' grams with other hashes, before the exact
// table: nearly every false candidate stops here, in a small bitmap.
using GramCheck = GramBitmap<0xC2B2AE3Du, 0x27D4EB2Fu>;

// The values' first four UTF-8 bytes, exactly, each with the automaton's
// state after them: a UTF-8 scan starts the automaton there.
class GramTable {
public:
    bool make(size_t count);
    void add(uint32_t gram, uint32_t state);
    // The state after `gram`, or 0 (the root) when no value starts so.
    uint32_t find(uint32_t gram) const {
        for (uint32_t i = slot(gram);; i = (i + 1) & mask_) {
            if (states_[i] == 0) return 0;
            if (keys_[i] == gram) return states_[i];
        }
    }

private:
    uint32_t slot(uint32_t gram) const {
        const uint32_t h = gram * GramFilter::kWordHash;
        return (h ^ (h >> 15)) & mask_;  // the product's low bits see only the gram's first bytes
    }
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
    GramCheck values_check;   // the values' grams alone, UTF-8 and folded code points
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
