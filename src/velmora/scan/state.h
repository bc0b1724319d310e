// Module state of velmora.scan.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../detect/abi.h"
#include "../omit/abi.h"

namespace velmora::scan {

struct ScanState {
    PyObject* scan_error;  // the ScanError exception type
    OmitterApi api;        // velmora.omit's types and tables (never released)
    // Omitter.omit and Omitter.omit_recurse as the type hands them out: a
    // type whose attributes differ overrides the walk.
    PyObject* base_omit;
    PyObject* base_omit_recurse;
    PyObject* s_omit;
    PyObject* s_omit_recurse;
    PyObject* s___dict__;
    // velmora.detect's table, imported by the first scan given a detector.
    const detect::DetectApi* detect_api;
};

inline ScanState* state_of(PyObject* module) { return static_cast<ScanState*>(PyModule_GetState(module)); }

}  // namespace velmora::scan
