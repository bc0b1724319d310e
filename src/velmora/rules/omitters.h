// RuleOmitter and RuleNoTrustOmitter: subtypes of velmora.omit's Omitter and
// NoTrustOmitter whose verdicts add key rules (ruleset.h) to the exact keys
// and whose masks follow a policy (policy.h).
//
// Each object is its base's object with RuleFields appended; its method
// table is a copy of the base's with should_hide, quiet_should_hide and
// mask_policy replaced, so the base's walk, override dispatch and pickling
// layout serve both.
#pragma once

#include "plan.h"
#include "policy.h"
#include "ruleset.h"

namespace velmora::rules {

struct RuleFields {
    PyObject* rules;         // capsule owning `set`, or null before __init__
    const RuleSet* set;      // what `rules` owns; null with it
    PolicyHistory policies;  // current: null for the default ('*' per code point)
    PyObject* detect;        // a velmora.detect.Detector, or null for none
    PlanHistory plans;       // current: null for none (no paths, no policy per rule, types kept)
};

struct RuleOmitterObject {
    OmitterObject base;
    RuleFields fields;
};

struct RuleNoTrustObject {
    NoTrustOmitterObject base;
    RuleFields fields;
};

extern PyTypeObject RuleOmitterType;
extern PyTypeObject RuleNoTrustOmitterType;

// Whether `self` (an object of either type) decides what is trusted.
inline bool is_trusting(PyObject* self) { return PyObject_TypeCheck(self, &RuleNoTrustOmitterType); }

template <bool kTrusting>
inline RuleFields& fields_of(PyObject* self) {
    if constexpr (kTrusting) {
        return reinterpret_cast<RuleNoTrustObject*>(self)->fields;
    } else {
        return reinterpret_cast<RuleOmitterObject*>(self)->fields;
    }
}
inline RuleFields& fields_of(PyObject* self) {
    return is_trusting(self) ? fields_of<true>(self) : fields_of<false>(self);
}

// The exact keys of an object of either type, or of either base type: the
// base's field `omissions`, or `trusted`. Borrowed; replaced only through
// the base (install), which keeps its index of the list right.
inline PyObject* exact_keys_of(PyObject* self, bool trusting) {
    if (trusting) return reinterpret_cast<NoTrustOmitterObject*>(self)->trusted;
    return reinterpret_cast<OmitterObject*>(self)->omissions;
}
inline PyObject* exact_keys_of(PyObject* self) { return exact_keys_of(self, is_trusting(self)); }

// Rules, a policy, a plan and a detector made, not yet given to an object.
// The policy and plan nodes are freed with it unless handed over.
struct Prepared {
    Ref rules;
    PolicyNode* policy = nullptr;
    PlanNode* plan = nullptr;
    Ref detect;  // empty: none
    Prepared() = default;
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;
    ~Prepared() {
        free_policy(policy);
        free_plan(plan);
    }
};

// Check the arguments and make the rules and the policy; `detect` is the
// detector argument (borrowed; null or None for none). 0, or -1 with an
// exception set and nothing changed.
int prepare(const RuleOptions& rules, const MaskOptions& mask, PyObject* detect, bool trusting, Prepared* out);

// Then the plan, for the exact keys `keys` (a list or None). 0, or -1 with
// an exception set and nothing changed.
int prepare_plan(const PlanOptions& options, PyObject* keys, bool trusting, Prepared* out);

// Give `self` the exact key list `keys` (a list or None, taken as it is)
// and what `prepared` holds. 0, or -1 with an exception set and nothing
// changed. The previous rules and detector are released after the switch;
// the previous policy stays alive with the object.
int install(PyObject* self, PyObject* keys, Prepared* prepared);

// Ready both types and add them to `module`; 0, or -1 with an exception set.
int ready_rule_types(PyObject* module);

}  // namespace velmora::rules
