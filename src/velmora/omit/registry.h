// The module-wide key lists, the functions that read and change them, and
// the masks: `hide` and the masking routine the walk calls directly.
#pragma once

#include "ref.h"

namespace velmora {

struct MaskPolicy;

// Masks of up to this many characters are made once and shared: str is
// immutable, so a shared mask is indistinguishable from a fresh one.
constexpr Py_ssize_t kSharedMasks = 64;
extern PyObject* shared_masks[kSharedMasks + 1];

// The shared mask for `s` (an exact str) if it is already made, borrowed;
// null otherwise. Runs nothing and cannot fail.
inline PyObject* made_mask(PyObject* s) {
    if (!PyUnicode_IS_READY(s)) return nullptr;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    return n <= kSharedMasks ? shared_masks[n] : nullptr;
}

// mask_str when the mask must be made.
PyObject* make_mask(PyObject* s);

// The masking routine used by the walk: `s` must be an exact str. Adds the
// body entry of `hide` on failure.
inline PyObject* mask_str(PyObject* s) {
    if (PyObject* mask = made_mask(s)) return new_ref(mask);
    return make_mask(s);
}

// The mask of the exact str `s` under `policy` (null: mask_str). Runs no
// foreign code; adds the body entry of `hide` on failure.
PyObject* policy_mask(const MaskPolicy* policy, PyObject* s);

// The mask by which `policy` hides `s`, for the walk: mask_str inline for
// the default.
inline PyObject* mask_value(const MaskPolicy* policy, PyObject* s) {
    return policy == nullptr ? mask_str(s) : policy_mask(policy, s);
}

extern PyMethodDef hide_def, globally_hidden_def, always_omit_def, globally_trusted_def, always_trust_def,
    reset_omissions_def, reset_trusted_def;

int init_registries();  // the module-body step

}  // namespace velmora
