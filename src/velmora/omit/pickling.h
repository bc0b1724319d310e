// Pickling of both omitter types: reduction to a reconstructor call with a
// checksum and a state tuple, the state restore, the reconstructors, and
// the installation of the pickling methods at import.
#pragma once

#include "ref.h"

namespace velmora {

// The method entries of each type's method table (installed as
// `__reduce__`/`__setstate__` by setup_pickling) and the function objects
// published under the same operations.
extern PyMethodDef omitter_pickle_methods[];
extern PyMethodDef no_trust_pickle_methods[];
extern PyMethodDef omitter_reduce_def, omitter_setstate_def, no_trust_reduce_def, no_trust_setstate_def,
    unpickle_omitter_def, unpickle_no_trust_def;

// Move the type's own `__reduce_cython__`/`__setstate_cython__` entries to
// `__reduce__`/`__setstate__`, unless the type already pickles some other
// way. 0, or -1 with an exception set.
int setup_pickling(PyTypeObject* type);

}  // namespace velmora
