// Mask policies: checking the mask arguments, and the history of policies
// an omitter keeps.
#include "policy.h"

namespace velmora::rules {

namespace {

// The mask text: an exact str (copied from a subclass), or null when not
// given. 0, or -1 with TypeError set.
int mask_text(PyObject* mask, Ref* text) {
    if (mask == nullptr || mask == Py_None) return 0;
    if (!PyUnicode_Check(mask)) {
        PyErr_Format(PyExc_TypeError, "mask must be a str or None, not %.200s", Py_TYPE(mask)->tp_name);
        return -1;
    }
    *text = Ref::steal(PyUnicode_FromObject(mask));
    return *text ? 0 : -1;
}

// Code points kept at the end, or 0 when not given. 0, or -1 with an
// exception set.
int keep_count(PyObject* keep_last, Py_ssize_t* keep) {
    *keep = 0;
    if (keep_last == nullptr || keep_last == Py_None) return 0;
    if (!PyLong_Check(keep_last) || PyBool_Check(keep_last)) {
        PyErr_Format(PyExc_TypeError, "keep_last must be an int or None, not %.200s", Py_TYPE(keep_last)->tp_name);
        return -1;
    }
    const Py_ssize_t n = PyLong_AsSsize_t(keep_last);
    if (n == -1 && PyErr_Occurred()) return -1;
    if (n <= 0) {
        PyErr_Format(PyExc_ValueError, "keep_last must be a positive int, not %zd", n);
        return -1;
    }
    *keep = n;
    return 0;
}

bool same_policy(const MaskPolicy* a, const MaskPolicy* b) {
    if (a == nullptr || b == nullptr) return a == b;
    if (a->kind != b->kind || a->keep != b->keep || a->whole != b->whole) return false;
    if (a->text == nullptr || b->text == nullptr) return a->text == b->text;
    return PyUnicode_Compare(a->text, b->text) == 0;  // exact str: no Python code, no failure
}

}  // namespace

int build_policy(const MaskOptions& options, PolicyNode** made) {
    *made = nullptr;
    Ref text;
    Py_ssize_t keep;
    if (mask_text(options.mask, &text) < 0 || keep_count(options.keep_last, &keep) < 0) return -1;
    if (keep > 0 && text) {
        PyErr_SetString(PyExc_ValueError, "mask and keep_last cannot be combined");
        return -1;
    }
    if (keep > 0 && options.whole) {
        PyErr_SetString(PyExc_ValueError,
                        "keep_last cannot be combined with whole (a whole value is replaced by the fixed mask)");
        return -1;
    }
    if (options.whole && !text) text = Ref::borrow(rs.default_mask);
    if (!text && keep == 0) return 0;  // the default

    auto* node = static_cast<PolicyNode*>(PyMem_Calloc(1, sizeof(PolicyNode)));
    if (node == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    node->policy.kind = keep > 0 ? MaskPolicy::kKeepLast : MaskPolicy::kFixed;
    node->policy.text = text.release();
    node->policy.keep = keep;
    node->policy.whole = options.whole;
    *made = node;
    return 0;
}

void free_policy(PolicyNode* node) {
    if (node == nullptr) return;
    Py_XDECREF(node->policy.text);  // a str: its release runs no code
    PyMem_Free(node);
}

void install_policy(PolicyHistory* history, PolicyNode* node) {
    if (same_policy(history->current, node != nullptr ? &node->policy : nullptr)) {
        free_policy(node);
        return;
    }
    if (node != nullptr) {
        node->older = history->nodes;
        history->nodes = node;
        history->current = &node->policy;
    } else {
        history->current = nullptr;
    }
}

void release_policies(PolicyHistory* history) {
    history->current = nullptr;
    while (PolicyNode* node = history->nodes) {
        history->nodes = node->older;
        free_policy(node);
    }
}

PyObject* mask_argument(const MaskPolicy* policy) {
    return new_ref(policy != nullptr && policy->kind == MaskPolicy::kFixed ? policy->text : Py_None);
}

PyObject* keep_last_argument(const MaskPolicy* policy) {
    if (policy == nullptr || policy->kind != MaskPolicy::kKeepLast) return new_ref(Py_None);
    return PyLong_FromSsize_t(policy->keep);
}

}  // namespace velmora::rules
