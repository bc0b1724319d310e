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

// A key's bytes as the table reads them: its first and its last eight bytes
// (overlapping, or fewer for shorter keys), which make up the whole key up
// to 16 bytes, and a hash of all of it.
struct KeyProbe {
    uint64_t first;
    uint64_t last;
    uint64_t hash;
};

class KeyCache {
public:
    // What the table keeps of a key.
    struct Slot {
        uint64_t hash;
        uint64_t first;
        uint64_t last;
        size_t offset;
        uint32_t length;
        int32_t verdict;  // -1: empty
        // Under a rule plan with paths: the path positions that name the
        // key (omit/rule_plan.h: plan_names), and the last step it took as
        // a member: from the state numbered `from` to the one numbered `to`
        // (selection.h: StateTable); `from` is kNoStep before the first.
        // `selected`: the `selected` word of the state numbered `to`, so
        // that a string or a scalar under the key need not read the state.
        uint64_t names[2];
        mutable uint32_t from;
        mutable uint32_t to;
        mutable uint32_t selected;
        mutable bool keeps;  // a string under the key, by that step, is kept
        mutable bool still;  // a container under the key, by that step, is still (selection.h)
        uint32_t after;      // under a plan: the slot of the key met next, last time (next())
    };
    static constexpr uint32_t kNoStep = 0xFFFFFFFEu;

    KeyCache() {
        for (Slot& s : inline_) {
            s.verdict = -1;
            s.after = 0;
        }
    }
    ~KeyCache() {
        if (slots_ != inline_) std::free(slots_);
    }
    KeyCache(const KeyCache&) = delete;
    KeyCache& operator=(const KeyCache&) = delete;

    static KeyProbe probe(const uint8_t* p, size_t n) {
        uint64_t first;
        uint64_t last;
        words(p, n, &first, &last);
        uint64_t h = mix(first ^ 0x9E3779B97F4A7C15ull, last ^ (n * 0xFF51AFD7ED558CCDull));
        for (size_t i = 8; i + 8 < n; i += 8) {  // the middle of a longer key
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            h = mix(h, w);
        }
        return KeyProbe{first, last, h};
    }

    // The keys of a log come in the same order line after line: the key
    // met after the last one looked up, when it was met before, is likely
    // this one, and told without hashing. Its slot, or null (then find it
    // by probe(), and tell met()).
    const Slot* next(const uint8_t* p, size_t n) {
        Slot& s = slots_[slots_[last_].after];
        if (s.verdict < 0 || s.length != n) return nullptr;
        if (n <= 16) {
            uint64_t first;
            uint64_t last;
            words(p, n, &first, &last);
            if (s.first != first || s.last != last) return nullptr;
        } else if (std::memcmp(text_.data() + s.offset, p, n) != 0) {
            return nullptr;
        }
        last_ = uint32_t(&s - slots_);
        return &s;
    }
    // `slot` was met after the last one looked up.
    void met(const Slot* slot) {
        const uint32_t i = uint32_t(slot - slots_);
        slots_[last_].after = i;
        last_ = i;
    }

    // Up to 16 bytes, the two words are the key.
    static void words(const uint8_t* p, size_t n, uint64_t* first_word, uint64_t* last_word) {
        uint64_t first = 0;
        uint64_t last = 0;
        if (n >= 8) {
            std::memcpy(&first, p, 8);
            std::memcpy(&last, p + n - 8, 8);
        } else if (n >= 4) {
            uint32_t a, b;
            std::memcpy(&a, p, 4);
            std::memcpy(&b, p + n - 4, 4);
            first = a;
            last = b;
        } else if (n > 0) {
            first = p[0] | uint64_t(p[n / 2]) << 8 | uint64_t(p[n - 1]) << 16;
        }
        *first_word = first;
        *last_word = last;
    }

    // The remembered verdict (0 or 1, or a plan's bits) for the key bytes, or -1.
    int find(const uint8_t* p, size_t n, const KeyProbe& k) const {
        const Slot* s = find_slot(p, n, k);
        return s != nullptr ? s->verdict : -1;
    }
    const Slot* find_slot(const uint8_t* p, size_t n, const KeyProbe& k) const {
        for (size_t i = k.hash & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.verdict < 0) return nullptr;
            // Up to 16 bytes, the two words are the key.
            if (s.hash == k.hash && s.length == n && s.first == k.first && s.last == k.last &&
                (n <= 16 || std::memcmp(text_.data() + s.offset, p, n) == 0)) {
                return &s;
            }
        }
    }

    // Remember a verdict, and the path positions naming the key (null:
    // none). The slot it went into (valid until the next insert), or null
    // when memory ran out.
    const Slot* insert(const uint8_t* p, size_t n, const KeyProbe& k, int verdict, const uint64_t* names = nullptr);

private:
    static uint64_t mix(uint64_t a, uint64_t b) {
        const __uint128_t m = __uint128_t(a ^ 0xA0761D6478BD642Full) * (b ^ 0xE7037ED1A0B428DBull);
        return uint64_t(m) ^ uint64_t(m >> 64);
    }
    bool rehash(size_t capacity);

    // A scan starts on a small table of its own, so that a small document
    // asks for no memory; a scan that meets many keys moves to the heap.
    static constexpr size_t kInline = 32;
    Slot inline_[kInline];
    Slot* slots_ = inline_;
    size_t mask_ = kInline - 1;
    size_t count_ = 0;
    uint32_t last_ = 0;  // the slot last looked up by next() or met()
    ByteBuffer text_;  // the bytes of keys longer than 16
};

// The text of a key, as code points, from its checked raw bytes (between
// the quotes): escapes decoded as Python's json decodes them. False when
// memory ran out.
bool decode_key(const uint8_t* p, const uint8_t* end, uint32_t** out, size_t* length);

}  // namespace velmora::scan
