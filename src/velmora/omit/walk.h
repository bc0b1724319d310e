// The omission walk: slots 2 (`omit`, dicts) and 3 (`omit_recurse`, lists)
// of the method table, and the Python-level methods that enter it.
#pragma once

#include "abi.h"

namespace velmora {

// Slot 2: walk the dict `target` in place; a new reference to it (or to an
// override's accepted result), null on failure.
PyObject* walk_omit(OmitterObject* self, PyObject* target, int skip_override);

// Slot 3: the same for the list `target`.
PyObject* walk_omit_recurse(OmitterObject* self, PyObject* target, int skip_override, OmitRecurseOptions* options);

// Have a child made by fork() forget the hand-offs in progress on the
// threads it does not have (walk_steps.h: pending_walks). Once per
// process; 0, or -1 with an exception set.
int forget_hand_offs_in_children();

// The Python-level `Omitter.omit` and `Omitter.omit_recurse` (methods.cpp).
extern PyMethodDef omit_def, omit_recurse_def;

}  // namespace velmora
