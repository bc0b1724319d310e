// The verdict table and key decoding.
#include "keys.h"

#include "text.h"

#include <cstdlib>

namespace velmora::scan {

bool KeyCache::rehash(size_t capacity) {
    Slot* fresh = static_cast<Slot*>(std::malloc(capacity * sizeof(Slot)));
    if (fresh == nullptr) return false;
    for (size_t i = 0; i < capacity; i++) {
        fresh[i].verdict = -1;
        fresh[i].after = 0;
    }
    const size_t mask = capacity - 1;
    uint32_t last = 0;
    for (size_t i = 0; i <= mask_; i++) {
        if (slots_[i].verdict < 0) continue;
        size_t j = slots_[i].hash & mask;
        while (fresh[j].verdict >= 0) j = (j + 1) & mask;
        fresh[j] = slots_[i];
        fresh[j].after = 0;  // where they pointed is gone: learnt anew
        if (i == last_) last = uint32_t(j);
    }
    last_ = last;
    if (slots_ != inline_) std::free(slots_);
    slots_ = fresh;
    mask_ = mask;
    return true;
}

const KeyCache::Slot* KeyCache::insert(const uint8_t* p, size_t n, const KeyProbe& k, int verdict,
                                       const uint64_t* names) {
    if (n > UINT32_MAX) return nullptr;  // no key of 4 GiB is worth remembering
    // Kept at most half full, so a probe always ends at an empty slot.
    if ((count_ + 1) * 2 > mask_ + 1 && !rehash((mask_ + 1) * 2)) return nullptr;
    const size_t offset = text_.size();
    if (n > 16 && !text_.append(p, n)) return nullptr;
    size_t i = k.hash & mask_;
    while (slots_[i].verdict >= 0) i = (i + 1) & mask_;
    slots_[i] = Slot{k.hash, k.first, k.last, offset, uint32_t(n), verdict,
                     {names != nullptr ? names[0] : 0, names != nullptr ? names[1] : 0}, kNoStep, kNoStep, 0, false, false, 0};
    count_++;
    return &slots_[i];
}

bool decode_key(const uint8_t* p, const uint8_t* end, uint32_t** out, size_t* length) {
    // Never more code points than bytes.
    uint32_t* text = static_cast<uint32_t*>(std::malloc((size_t(end - p) + 1) * sizeof(uint32_t)));
    if (text == nullptr) return false;
    size_t n = 0;
    while (p < end) p = next_code_point(p, end, &text[n++]);
    *out = text;
    *length = n;
    return true;
}

}  // namespace velmora::scan
