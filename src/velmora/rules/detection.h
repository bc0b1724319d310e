// A rule omitter's detector (velmora.detect): the `detect` argument, and
// the str value hook through which velmora.omit's walk and velmora.redact
// mask what it finds in the str values the verdicts let through.
#pragma once

#include "state.h"

namespace velmora::rules {

// Check a `detect` argument (borrowed; null or None: none): 0 with `*out`
// a new reference to the Detector, or empty for none; -1 with TypeError
// (or the import's error) set. Imports velmora.detect at the first
// detector.
int detector_argument(PyObject* detect, Ref* out);

// Open the hook of `detector` (null: none) for one call: the detector's
// current engine, its mask policy, and a reference that keeps both alive
// until the hook is closed. 1 opened, 0 none, -1 with an exception set.
// Runs no Python code.
int open_detection(PyObject* detector, StrHook* hook);

}  // namespace velmora::rules
