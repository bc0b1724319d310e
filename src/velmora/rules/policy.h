// Mask policies of rule omitters: what a hidden value becomes.
//
// The walk of velmora.omit borrows an omitter's policy (abi.h: mask_policy)
// and may read it for as long as the walk runs, while Python code run from
// the walk may re-initialise the omitter. So a policy, once installed, is
// never changed or freed before its omitter dies: a new one is added in
// front of the old ones.
#pragma once

#include "state.h"

namespace velmora::rules {

struct PolicyNode {
    MaskPolicy policy;  // `text` owned (an exact str) or null
    PolicyNode* older;
};

// The mask arguments of a constructor or of a pickled state (borrowed;
// null means not given).
struct MaskOptions {
    PyObject* mask = nullptr;       // str or None
    PyObject* keep_last = nullptr;  // int > 0 or None
    bool whole = false;
};

// Check `options` and make the policy they ask for: *made is a new node, or
// null for the default ('*' per code point). 0, or -1 with TypeError,
// ValueError or OverflowError set.
int build_policy(const MaskOptions& options, PolicyNode** made);
void free_policy(PolicyNode* node);

// The policies one omitter has had; zero-initialised memory is an empty
// history with the default policy current.
struct PolicyHistory {
    const MaskPolicy* current;  // null: the default
    PolicyNode* nodes;          // every policy ever installed, newest first
};

// Make `node` (owned; null for the default) the current policy. A node equal
// to the current policy is freed instead: the current one stays.
void install_policy(PolicyHistory* history, PolicyNode* node);
void release_policies(PolicyHistory* history);

// The policy as constructor arguments (null: the default policy). New
// references, or null with an exception set.
PyObject* mask_argument(const MaskPolicy* policy);       // str or None
PyObject* keep_last_argument(const MaskPolicy* policy);  // int or None
inline bool whole_argument(const MaskPolicy* policy) { return policy != nullptr && policy->whole; }

}  // namespace velmora::rules
