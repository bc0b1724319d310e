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

// Verdicts already given in this stretch of the walk, by omitter and key
// object. The memo holds no references: an entry stands only while
// foreign_code_epoch has not moved since it was made, and no key can be
// freed (and its address reused) without foreign code counting as run.
struct VerdictMemo {
    static constexpr size_t kSize = 512;
    struct Slot {
        OmitterObject* owner = nullptr;
        PyObject* key = nullptr;
        uint64_t epoch = 0;
        int answer = 0;
    };
    Slot slots[kSize];

    // A walk asks one omitter: the key alone spreads the slots.
    Slot& slot_for(PyObject* key) {
        const auto address = reinterpret_cast<uintptr_t>(key);
        return slots[((address >> 4) ^ (address >> 13)) & (kSize - 1)];
    }
};
extern VerdictMemo verdict_memo;

}  // namespace velmora
