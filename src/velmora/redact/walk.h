// The copy-on-write walk: the verdicts of velmora.omit's in-place walk, but
// the caller's containers are never changed. A container that has nothing
// to mask beneath it comes back as itself; one that has is copied, once,
// and the copy holds the masks and the results of its nested walks. All
// other values are shared with the input.
#pragma once

#include "mask.h"
#include "verdict.h"

namespace velmora::redact {

struct Walk {
    explicit Walk(OmitterObject* self) : verdicts(self), policy(mask_policy_of(self)) {}

    Verdicts verdicts;
    const MaskPolicy* policy;  // null: the default
    bool whole() const { return policy != nullptr && policy->whole; }
};

// A new reference to `dict` itself, or to its redacted copy; null on
// failure. `dict` must be an exact dict, which the caller holds.
PyObject* redact_dict(Walk& walk, PyObject* dict);

// The same for an exact list; its str items are masked when `do_hide`.
PyObject* redact_list(Walk& walk, PyObject* list, bool do_hide);

}  // namespace velmora::redact
