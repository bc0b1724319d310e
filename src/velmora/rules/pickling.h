// Pickling and copying of both rule omitter types.
#pragma once

#include "state.h"

namespace velmora::rules {

// `__reduce__` and `__setstate__`, shared by both types.
extern PyMethodDef rule_pickle_methods[];
// The reconstructor `velmora.rules._rebuild(cls)`.
extern PyMethodDef rebuild_def;

}  // namespace velmora::rules
