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

// A counter that moves whenever code outside the module may have run since
// it last moved: Python code, finalisers, another thread. The key indexes
// trust a list they checked while the counter stands still, and answers
// remembered by key object hold only while it stands still; every place
// that may let foreign code run advances it right after (keys.cpp, walk.cpp).
extern uint64_t foreign_code_epoch;
inline void note_foreign_code() { ++foreign_code_epoch; }

// `key in items` with the interpreter's semantics (keys.cpp); 1, 0 or -1.
// `self` is the omitter whose key list `items` is: its index answers when
// it can.
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

    Slot& slot_for(OmitterObject* owner, PyObject* key) {
        (void)owner;  // a walk asks one omitter: the key alone spreads the slots
        const auto address = reinterpret_cast<uintptr_t>(key);
        return slots[((address >> 4) ^ (address >> 13)) & (kSize - 1)];
    }
};
extern VerdictMemo verdict_memo;

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
