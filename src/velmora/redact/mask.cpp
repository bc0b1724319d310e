// Masks by policy. Every mask is made from the value alone; nothing here
// runs Python code.
#include "mask.h"

#include "../omit/ref.h"

#include <cstring>

namespace velmora::redact {

namespace {

// Runs of '*' up to this length are made once and shared: str is immutable,
// so a shared mask cannot be told from a fresh one.
constexpr Py_ssize_t kShared = 64;
PyObject* shared_stars[kShared + 1] = {};

PyObject* make_stars(Py_ssize_t n) {
    PyObject* s = PyUnicode_New(n, 127);
    if (s == nullptr) return nullptr;
    std::memset(PyUnicode_1BYTE_DATA(s), '*', static_cast<size_t>(n));
    return s;
}

// n code points of '*', as a new reference.
PyObject* stars(Py_ssize_t n) {
    if (n <= kShared) {
        Py_INCREF(shared_stars[n]);
        return shared_stars[n];
    }
    return make_stars(n);
}

// '*' for all but the last `keep` code points, which stay; all '*' when the
// value has no more than `keep`.
PyObject* keep_last(PyObject* value, Py_ssize_t keep) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(value);
    if (n <= keep) return stars(n);
    Ref head = Ref::steal(stars(n - keep));
    if (!head) return nullptr;
    Ref tail = Ref::steal(PyUnicode_Substring(value, n - keep, n));
    if (!tail) return nullptr;
    return PyUnicode_Concat(head.get(), tail.get());
}

}  // namespace

int init_masks() {
    for (Py_ssize_t n = 0; n <= kShared; n++) {
        if (shared_stars[n] != nullptr) continue;
        shared_stars[n] = make_stars(n);
        if (shared_stars[n] == nullptr) return -1;
    }
    return 0;
}

const char* policy_problem(const MaskPolicy* policy) {
    if (policy == nullptr) return nullptr;
    const bool needs_text = policy->kind == MaskPolicy::kFixed || policy->whole;
    if (needs_text && (policy->text == nullptr || !PyUnicode_CheckExact(policy->text))) {
        return "the omitter's mask policy has no mask text";
    }
    switch (policy->kind) {
        case MaskPolicy::kStars:
        case MaskPolicy::kFixed:
            return nullptr;
        case MaskPolicy::kKeepLast:
            return policy->keep > 0 ? nullptr : "the omitter's mask policy keeps no characters";
    }
    return "the omitter's mask policy is of an unknown kind";
}

PyObject* mask_str(const MaskPolicy* policy, PyObject* value) {
    if (PyUnicode_READY(value) < 0) return nullptr;
    if (policy == nullptr) return stars(PyUnicode_GET_LENGTH(value));
    switch (policy->kind) {
        case MaskPolicy::kFixed:
            Py_INCREF(policy->text);
            return policy->text;
        case MaskPolicy::kKeepLast:
            return keep_last(value, policy->keep);
        case MaskPolicy::kStars:
            break;
    }
    return stars(PyUnicode_GET_LENGTH(value));
}

bool unchanged_by_mask(PyObject* value, PyObject* mask) {
    if (value == mask) return true;
    if (PyUnicode_READY(mask) < 0) {
        PyErr_Clear();  // cannot happen for a str made here; treat as changed
        return false;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(value);
    if (n != PyUnicode_GET_LENGTH(mask) || PyUnicode_KIND(value) != PyUnicode_KIND(mask)) return false;
    return std::memcmp(PyUnicode_DATA(value), PyUnicode_DATA(mask),
                       static_cast<size_t>(n) * PyUnicode_KIND(value)) == 0;
}

}  // namespace velmora::redact
