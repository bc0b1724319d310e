// Process-wide state of velmora.rules.
//
// Like velmora.omit, the module has one state record per process, built by
// its init function and never released: the types it defines are static and
// derive from velmora.omit's, which live as long as the process.
#pragma once

#include "../detect/abi.h"
#include "../omit/abi.h"
#include "../omit/ref.h"

namespace velmora::rules {

struct RulesState {
    OmitterApi api{};  // velmora.omit's types and method tables
    // velmora.detect's table, found when the first detector is given.
    const detect::DetectApi* detect_api = nullptr;
    // The base types' `__setstate__`: velmora.omit's own way to replace an
    // omitter's key list (it drops its index of the old one).
    PyObject* omitter_setstate = nullptr;
    PyObject* no_trust_setstate = nullptr;

    PyObject* re_compile = nullptr;        // re.compile
    PyTypeObject* pattern_type = nullptr;  // re.Pattern
    PyObject* casefold = nullptr;          // the method descriptor str.casefold
    PyObject* rebuild = nullptr;           // velmora.rules._rebuild, for __reduce__

    PyObject* default_denylist = nullptr;  // tuple of str: DEFAULT_DENYLIST
    PyObject* default_mask = nullptr;      // "[Filtered]"
    PyObject* empty_tuple = nullptr;

    // Interned names.
    PyObject* s_search = nullptr;
    PyObject* s_pattern = nullptr;
    PyObject* s___dict__ = nullptr;
    PyObject* s___getstate__ = nullptr;
    PyObject* s_update = nullptr;
};

extern RulesState rs;

}  // namespace velmora::rules
