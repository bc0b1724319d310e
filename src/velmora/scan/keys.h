// Verdicts by key text, remembered for one scan.
//
// JSON logs repeat a handful of keys millions of times. The scanner asks
// the omitter about each distinct key once (by its raw bytes between the
// quotes, escapes and all) and answers every later occurrence from this
// table, without the interpreter lock. The table holds bytes and answers
// only, never a Python object, and dies with the scan that made it.
#pragma once

#include "buffer.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velmora::scan {

class KeyCache {
public:
    KeyCache() = default;
    ~KeyCache() { std::free(slots_); }
    KeyCache(const KeyCache&) = delete;
    KeyCache& operator=(const KeyCache&) = delete;

    static uint64_t hash(const uint8_t* p, size_t n) {
        uint64_t h = 0x9E3779B97F4A7C15ull ^ (n * 0xFF51AFD7ED558CCDull);
        while (n >= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            h = (h ^ w) * 0xC2B2AE3D27D4EB4Full;
            h ^= h >> 31;
            p += 8;
            n -= 8;
        }
        if (n > 0) {
            uint64_t w = 0;
            std::memcpy(&w, p, n);
            h = (h ^ w) * 0xC2B2AE3D27D4EB4Full;
            h ^= h >> 31;
        }
        return h ^ (h >> 29);
    }

    // The remembered verdict (0 or 1) for the key bytes, or -1.
    int find(const uint8_t* p, size_t n, uint64_t h) const {
        if (slots_ == nullptr) return -1;
        for (size_t i = h & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.verdict < 0) return -1;
            // (An empty key has no bytes to compare, maybe not even a buffer.)
            if (s.hash == h && s.length == n && (n == 0 || std::memcmp(text_.data() + s.offset, p, n) == 0)) {
                return s.verdict;
            }
        }
    }

    // Remember a verdict. False when memory ran out.
    bool insert(const uint8_t* p, size_t n, uint64_t h, int verdict);

private:
    struct Slot {
        uint64_t hash;
        size_t offset;
        size_t length;
        int verdict;  // -1: empty
    };
    bool rehash(size_t capacity);

    Slot* slots_ = nullptr;
    size_t mask_ = 0;
    size_t count_ = 0;
    ByteBuffer text_;
};

// The text of a key, as code points, from its checked raw bytes (between
// the quotes): escapes decoded as Python's json decodes them. False when
// memory ran out.
bool decode_key(const uint8_t* p, const uint8_t* end, uint32_t** out, size_t* length);

}  // namespace velmora::scan
