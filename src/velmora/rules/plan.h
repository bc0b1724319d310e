// Rule plans (omit/rule_plan.h): paths, number and boolean policies and a
// policy per rule, checked and compiled when an omitter is made.
//
// Like mask policies, a plan once installed is never changed or freed
// before its omitter dies: a walk borrows it for a whole call, during which
// Python code may re-initialise the omitter.
#pragma once

#include "../omit/rule_plan.h"
#include "policy.h"
#include "ruleset.h"

namespace velmora::rules {

// The plan arguments of a constructor or of a pickled state (borrowed;
// null means not given).
struct PlanOptions {
    PyObject* paths = nullptr;     // iterable of str, or None
    PyObject* numbers = nullptr;   // "keep", "zero", "digits", "string", or None
    PyObject* booleans = nullptr;  // "keep", "false", "string", or None
    PyObject* policies = nullptr;  // dict {rule: policy dict}, or None
};

struct PlanNode;

// Check `options` against the omitter they are for (its exact keys `keys`,
// a list or None; its rules; its mask policy, null for the default) and
// compile the plan: *made is a new node, or null when the plan would say
// nothing the verdicts and the mask policy do not (no path, no policy per
// rule, numbers and booleans kept). 0, or -1 with TypeError or ValueError
// set.
int build_plan(const PlanOptions& options, PyObject* keys, const RuleSet* rules, const MaskPolicy* policy,
               bool whole, bool trusting, PlanNode** made);
void free_plan(PlanNode* node);

// The plans one omitter has had; zero-initialised memory is an empty
// history with no plan current.
struct PlanHistory {
    const RulePlan* current;  // null: none
    PlanNode* nodes;          // every plan ever installed, newest first
};

// Make `node` (owned; null for none) the current plan.
void install_plan(PlanHistory* history, PlanNode* node);
void release_plans(PlanHistory* history);

// The plan as constructor arguments (null: none). New references, or null
// with an exception set.
PyObject* paths_argument(const RulePlan* plan);     // tuple of str
PyObject* numbers_argument(const RulePlan* plan);   // str
PyObject* booleans_argument(const RulePlan* plan);  // str
PyObject* policies_argument(const RulePlan* plan);  // a new dict {rule: dict}

}  // namespace velmora::rules
