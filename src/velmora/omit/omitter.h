// The omitter types, Omitter and NoTrustOmitter: their objects and method
// tables (laid out in abi.h), should_hide, and the readying of the types.
//
// The walk never looks methods up by name for objects of the module's own
// types: it calls through `vtab`. NoTrustOmitter's table is a copy of
// Omitter's with slot 1 (`should_hide`) and its quiet twin replaced, so the
// walk is shared.
#pragma once

#include "abi.h"

namespace velmora {

extern PyTypeObject OmitterType;
extern PyTypeObject NoTrustOmitterType;
extern OmitterVTable omitter_vtable;
extern OmitterVTable no_trust_vtable;

inline OmitterObject* as_omitter(PyObject* op) { return reinterpret_cast<OmitterObject*>(op); }
inline NoTrustOmitterObject* as_no_trust(PyObject* op) { return reinterpret_cast<NoTrustOmitterObject*>(op); }
inline NoTrustOmitterObject* as_no_trust(OmitterObject* op) { return reinterpret_cast<NoTrustOmitterObject*>(op); }

// Whether slot 1 of the object's table is this module's own, which accounts
// for the foreign code it runs itself.
inline bool own_should_hide(OmitterObject* self) {
    auto slot = self->vtab->should_hide;
    return slot == omitter_vtable.should_hide || slot == no_trust_vtable.should_hide;
}

// Fill the method tables, ready both types and publish them with their
// capsules and pickling methods.
int ready_omitter_types();

}  // namespace velmora
