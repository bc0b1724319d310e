// The omitter objects and their native-level method table.
//
// The walk never looks methods up by name for objects of the module's own
// types: it calls through `vtab`. NoTrustOmitter's table is a copy of
// Omitter's with slot 1 (`should_hide`) replaced, so the walk is shared.
#pragma once

#include "abi.h"
#include "state.h"

namespace velmora {

extern PyTypeObject OmitterType;
extern PyTypeObject NoTrustOmitterType;
extern OmitterVTable omitter_vtable;
extern OmitterVTable no_trust_vtable;

// `key in items` with the interpreter's semantics (keys.cpp); 1, 0 or -1.
int key_in_list(PyObject* items, PyObject* key);

// A counter that moves whenever code outside the module may have run since
// it last moved: Python code, finalisers, another thread. The key indexes
// trust a list they checked while the counter stands still; every place
// that may let foreign code run advances it right after (keys.cpp, walk.cpp).
extern uint64_t foreign_code_epoch;
inline void note_foreign_code() { ++foreign_code_epoch; }

// Answers already given for one key list, by key object (keys.cpp). They
// hold while the list is the one the memo belongs to and that list was last
// found unchanged at the current foreign-code epoch. The memo holds its keys,
// so an address is never reused while remembered.
struct KeyMemo {
    static constexpr size_t kSize = 256;
    struct Slot {
        PyObject* key = nullptr;
        int answer = 0;
    };
    PyObject* list = nullptr;  // by address only: never dereferenced
    uint64_t checked_at = 0;
    Slot slots[kSize];

    Slot& slot_for(PyObject* key) {
        const auto address = reinterpret_cast<uintptr_t>(key);
        return slots[((address >> 4) ^ (address >> 12)) & (kSize - 1)];
    }
};
// The memo of the key list asked about last; never null.
extern KeyMemo* last_memo;

// `key in items` from the last memo without any call: 1 or 0, or -1 when the
// memo cannot answer and key_in_list must.
inline int remembered_key_in_list(PyObject* items, PyObject* key) {
    KeyMemo* memo = last_memo;
    if (memo->list != items || memo->checked_at != foreign_code_epoch) return -1;
    const KeyMemo::Slot& slot = memo->slot_for(key);
    return slot.key == key ? slot.answer : -1;
}

// `key in items` from an index already built for `items` (keys.cpp): 1 or 0,
// or -1 when none can answer without being built. Runs no foreign code and
// cannot fail.
int indexed_key_in_list(PyObject* items, PyObject* key);

// Tell the key indexes that the walk has written into `list` (keys.cpp).
void key_list_written(PyObject* list);

// Type readiness (omitter.cpp): fills the tables and readies both types.
int ready_omitter_types();

// The walk (walk.cpp): slots 2 and 3, and the Python-level entry points.
PyObject* walk_omit(OmitterObject* self, PyObject* target, int skip_override);
PyObject* walk_omit_recurse(OmitterObject* self, PyObject* target, int skip_override,
                            OmitRecurseOptions* options);
extern PyMethodDef omit_def, omit_recurse_def;
// Decide at import whether the walk may read dict entries in place.
int check_dict_layout();

// Only classes defined in Python (or with an instance dict) can override the
// walk's methods; objects of the module's own types never need a lookup.
inline bool may_override(PyTypeObject* tp) {
    return tp->tp_dictoffset != 0 || (tp->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT));
}

// Override dispatch (omitter.cpp). Returns 1 with *result set when a Python
// method answered (result may be null on failure), 0 when the built-in walk
// should run, -1 on failure.
int dispatch_override(OmitterObject* self, PyObject* name, PyMethodDef* own, PyObject* target,
                      int do_flag, PyObject** result);

// Pickling (pickling.cpp).
extern PyMethodDef omitter_pickle_methods[];
extern PyMethodDef no_trust_pickle_methods[];
extern PyMethodDef omitter_reduce_def, omitter_setstate_def, no_trust_reduce_def,
    no_trust_setstate_def, unpickle_omitter_def, unpickle_no_trust_def;
int setup_pickling(PyTypeObject* type);

inline OmitterObject* as_omitter(PyObject* op) { return reinterpret_cast<OmitterObject*>(op); }
inline NoTrustOmitterObject* as_no_trust(PyObject* op) {
    return reinterpret_cast<NoTrustOmitterObject*>(op);
}

}  // namespace velmora
