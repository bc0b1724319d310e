// The copy-on-write walk: the verdicts of velmora.omit's in-place walk, but
// the caller's containers are never changed. A container that has nothing
// to mask beneath it comes back as itself; one that has comes back as a
// copy holding the masks and the results of its nested walks. All other
// values are shared with the input.
#pragma once

#include "../omit/walk_plan.h"
#include "changes.h"
#include "foreign.h"
#include "mask.h"
#include "verdict.h"

namespace velmora::redact {

struct Walk {
    Walk(OmitterObject* self, const RulePlan* plan, bool strict, const StrHook* hook)
        : foreign(changes),
          verdicts(self, foreign),
          policy(mask_policy_of(self)),
          plan(plan),
          hook(hook),
          strict(strict) {}

    ChangeLog changes;
    ForeignCode foreign;
    Verdicts verdicts;
    const MaskPolicy* policy;  // null: the default
    // The rule plan (paths, number and boolean policies, a policy per rule)
    // the omitter had when the call began, borrowed for the call (an omitter
    // keeps every plan it has had); null: none.
    const RulePlan* plan;
    // What looks at the str values the verdicts let through (the omitter's
    // detector), open for the whole call; null: nothing does.
    const StrHook* hook;
    // Refuse (TypeError) a value the walk would pass over although it may
    // hold str values (`holds_values`), instead of passing it over.
    const bool strict;
    // Why a walk ended with null and no exception: its answer must come
    // another way (walk.cpp, rule 5).
    enum class Mismatch {
        kNone,
        kChanged,  // a container is no longer what its walk read
        kStores,   // a copy's stores did not land where they were read
    };
    Mismatch mismatch = Mismatch::kNone;
    bool whole() const { return policy != nullptr && policy->whole; }
};

// A new reference to `dict` itself, or to its redacted copy; null on
// failure (an exception set) or on a mismatch (`walk.mismatch` set, no
// exception).
// `dict` must be an exact dict, which the caller holds; `at` is where it
// stands for the plan (ignored without one).
PyObject* redact_dict(Walk& walk, PyObject* dict, const PlanAt& at);

// The same for an exact list; its str items are masked when `do_hide`.
PyObject* redact_list(Walk& walk, PyObject* list, bool do_hide, const PlanAt& at);

// Whether `value` is what a strict walk refuses: a container other than an
// exact dict or list (tuples, sets, mappings and sequences, dict and list
// subclasses) or a str subclass. Runs no code.
bool holds_values(PyObject* value);

// A strict walk's TypeError for `value`; returns null.
PyObject* refuse_in_strict_walk(PyObject* value);

// The strict check alone, for a target that an override walks: 0, or -1
// with the TypeError of the first value a strict walk refuses (or
// RecursionError).
int check_strict(PyObject* container);

}  // namespace velmora::redact
