// What a hidden value becomes, by the omitter's mask policy (see
// MaskPolicy in ../omit/abi.h; null is the default, '*' per code point).
#pragma once

#include "../omit/abi.h"

namespace velmora::redact {

// Make the shared masks; at module exec. 0, or -1 with an exception set.
int init_masks();

// Null when `policy` is one this walk can follow, else a message saying
// what is wrong with it.
const char* policy_problem(const MaskPolicy* policy);

// The mask of an exact str under `policy`: a new reference, or null on
// failure. Runs no Python code.
PyObject* mask_str(const MaskPolicy* policy, PyObject* value);

// Whether masking changed nothing: `mask` shows the very text of `value`
// (both exact str), as a value that is already its own mask does.
bool unchanged_by_mask(PyObject* value, PyObject* mask);

// Under a `whole` policy a hidden str key hides its whole value, of any
// type, with the policy's text (borrowed).
inline PyObject* whole_mask(const MaskPolicy* policy) { return policy->text; }

}  // namespace velmora::redact
