// The API published to the package's other native modules (abi.h).
#pragma once

#include "state.h"

namespace velmora::detect {

// Add the capsule `_C_API` to `module`. 0, or -1 with an exception set.
int publish_api(PyObject* module);

}  // namespace velmora::detect
