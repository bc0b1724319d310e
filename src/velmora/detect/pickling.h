// Pickling of Detector.
#pragma once

#include "detector.h"

namespace velmora::detect {

// velmora.detect._rebuild, the reconstructor __reduce__ names.
extern PyMethodDef rebuild_def;

}  // namespace velmora::detect
