// The Python-level functions of velmora.scan.
#pragma once

#include "state.h"

namespace velmora::scan {

extern PyMethodDef scan_functions[];

}  // namespace velmora::scan
