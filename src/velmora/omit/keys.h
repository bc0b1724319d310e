// Membership of a key in an omitter's key list, the index each omitter
// keeps of its own list, and the verdicts a walk remembers by key object.
#pragma once

#include "abi.h"
#include "epoch.h"
#include "ref.h"

namespace velmora {

// Equality of two ready, exact str objects.
bool same_text(PyObject* a, PyObject* b);

// `key in items` with the interpreter's semantics; 1, 0 or -1. `self` is
// the omitter whose key list `items` is: its index answers when it can.
int key_in_list(OmitterObject* self, PyObject* items, PyObject* key);

// `key in items` from the omitter's own index, built or checked again if
// need be, without running any foreign code: 1 or 0, or -1 when the index
// cannot answer (a key that is not an exact str or None, or a list that is
// not all exact str). Never fails.
int quiet_key_in_list(OmitterObject* self, PyObject* items, PyObject* key);

// Free the omitter's index (deallocation, clear, a new key list).
void drop_key_index(OmitterObject* self);

// Store a new key list in one of the omitter's fields: its index belongs to
// the old one.
inline void set_key_list(OmitterObject* self, PyObject*& field, PyObject* owned) {
    drop_key_index(self);
    set_field(field, owned);
}

// The walk has written into `list`, which may be the key list `self`
// decides by (a key list handed out can be walked as data).
void key_list_written(OmitterObject* self, PyObject* list);

// Answers already given about key objects in this stretch of the walk, by
// owner (what answered: an omitter, a rule plan) and key object. The memo
// holds no references: an entry stands only while foreign_code_epoch has
// not moved since it was made, and no key can be freed (and its address
// reused) without foreign code counting as run. `kShift`: the second shift
// of the key's address that spreads the slots.
template <class Owner, size_t kSlots, int kShift>
struct KeyMemo {
    static constexpr size_t kSize = kSlots;
    struct Slot {
        const Owner* owner = nullptr;
        PyObject* key = nullptr;
        uint64_t epoch = 0;
        int answer = 0;
    };
    Slot slots[kSize];

    // A walk asks one owner: the key alone spreads the slots.
    Slot& slot_for(PyObject* key) {
        const auto address = reinterpret_cast<uintptr_t>(key);
        return slots[((address >> 4) ^ (address >> kShift)) & (kSize - 1)];
    }
    // The answer for `key`, or -1 when none stands.
    int find(const Owner* owner, PyObject* key, uint64_t epoch) {
        const Slot& slot = slot_for(key);
        return slot.key == key && slot.owner == owner && slot.epoch == epoch ? slot.answer : -1;
    }
    void keep(const Owner* owner, PyObject* key, uint64_t epoch, int answer) {
        slot_for(key) = Slot{owner, key, epoch, answer};
    }
};

// Verdicts (should_hide) by omitter.
using VerdictMemo = KeyMemo<OmitterObject, 512, 13>;
extern VerdictMemo verdict_memo;

}  // namespace velmora
