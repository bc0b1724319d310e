// Module-wide key lists and the module functions that read and change them,
// plus `hide`, the masking routine the walk calls directly.
//
// Python code never holds the lists themselves: it extends them, resets them
// and gets copies. A reset installs the new list before the old one is
// released, so finalisers run by the release already see the new list.
#include "registry.h"

#include "abi.h"
#include "binding.h"
#include "cpython.h"
#include "state.h"
#include "traceback.h"

namespace velmora {

namespace {

PyObject* repeat_mask(Py_ssize_t n) {
    return PyUnicode_Type.tp_as_sequence->sq_repeat(g.mask_character, n);
}

// The ready str `s` of length `n` > `keep` with all but its last `keep`
// code points masked, made in one allocation: the str is made as wide as
// the widest character it will hold (the tail's, or the mask's), as any str
// the interpreter makes is, so that it compares equal to one made by
// concatenation.
PyObject* keep_last_mask(PyObject* s, Py_ssize_t n, Py_ssize_t keep) {
    const Py_ssize_t masked = n - keep;
    const Py_UCS4 star = PyUnicode_READ_CHAR(g.mask_character, 0);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    Py_UCS4 widest = star;
    for (Py_ssize_t i = masked; i < n; i++) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c > widest) widest = c;
    }
    PyObject* mask = PyUnicode_New(n, widest);
    if (mask == nullptr) return nullptr;
    if (PyUnicode_Fill(mask, 0, masked, star) < 0) {
        Py_DECREF(mask);
        return nullptr;
    }
    // Character by character: the tail may be narrower than `s` is.
    const int mask_kind = PyUnicode_KIND(mask);
    void* const out = PyUnicode_DATA(mask);
    for (Py_ssize_t i = masked; i < n; i++) PyUnicode_WRITE(mask_kind, out, i, PyUnicode_READ(kind, data, i));
    return mask;
}

}  // namespace

PyObject* shared_masks[kSharedMasks + 1] = {};

PyObject* make_mask(PyObject* s) {
    if (PyUnicode_READY(s) < 0) {
        add_traceback(Site::HideMask);
        return nullptr;
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n <= kSharedMasks) {
        PyObject*& cached = shared_masks[n];
        if (cached == nullptr) {
            cached = repeat_mask(n);
            if (cached == nullptr) {
                add_traceback(Site::HideMask);
                return nullptr;
            }
        }
        return new_ref(cached);
    }
    PyObject* mask = repeat_mask(n);
    if (mask == nullptr) add_traceback(Site::HideMask);
    return mask;
}

PyObject* policy_mask(const MaskPolicy* policy, PyObject* s) {
    if (policy == nullptr || policy->kind == MaskPolicy::kStars) return mask_str(s);
    if (policy->kind == MaskPolicy::kFixed || policy->whole) return new_ref(policy->text);
    // Keep the last `keep` code points: only of a value longer than that.
    if (PyUnicode_READY(s) < 0) {
        add_traceback(Site::HideMask);
        return nullptr;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n <= policy->keep) return mask_str(s);
    PyObject* mask = keep_last_mask(s, n, policy->keep);
    if (mask == nullptr) add_traceback(Site::HideMask);
    return mask;
}

namespace {

PyObject** const hide_names[] = {&g.s_target};
const Signature hide_sig{hide_names, 1, 1, "hide"};

PyObject* py_hide(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* target = nullptr;
    if (bind_fast(hide_sig, args, nargs, kwnames, &target) < 0) {
        add_traceback(Site::HideCall);
        return nullptr;
    }
    if (!check_exact_type(target, &PyUnicode_Type, true, "target")) return nullptr;
    if (target == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        add_traceback(Site::HideNone);
        add_traceback(Site::HideCall);
        return nullptr;
    }
    if (PyUnicode_READY(target) < 0) {
        add_traceback(Site::HideNone);
        add_traceback(Site::HideCall);
        return nullptr;
    }
    PyObject* mask = mask_str(target);
    if (mask == nullptr) add_traceback(Site::HideCall);
    return mask;
}

// globally_hidden() / globally_trusted(): a shallow copy of the list.
PyObject* copy_list(PyObject* list, Site body, Site call) {
    PyObject* copy = PyList_GetSlice(list, 0, PyList_GET_SIZE(list));
    if (copy == nullptr) {
        add_traceback(body);
        add_traceback(call);
    }
    return copy;
}

// always_omit(targets) / always_trust(targets): extend the list in place.
// The module-wide list is read only after binding: binding may run Python
// code (a keyword's `__eq__`) that resets the list.
PyObject* extend_list(PyObject*& field, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      const Signature& sig, Site body, Site call) {
    PyObject* targets = nullptr;
    if (bind_fast(sig, args, nargs, kwnames, &targets) < 0) return fail(call);
    if (!check_exact_type(targets, &PyList_Type, true, "targets")) return nullptr;
    Ref list = Ref::borrow(field);
    Ref result = Ref::steal(cpython::list_extend(list.get(), targets));
    if (!result) {
        add_traceback(body);
        return fail(call);
    }
    Py_RETURN_NONE;
}

// reset_omissions() / reset_trusted(): install a new empty list, then
// release the old one.
PyObject* reset_list(PyObject*& field, Site body, Site call) {
    PyObject* fresh = PyList_New(0);
    if (fresh == nullptr) {
        add_traceback(body);
        return fail(call);
    }
    set_field(field, fresh);
    Py_RETURN_NONE;
}

PyObject* py_globally_hidden(PyObject*, PyObject*) {
    return copy_list(g.global_omissions, Site::GloballyHiddenCopy, Site::GloballyHiddenCall);
}

PyObject* py_globally_trusted(PyObject*, PyObject*) {
    return copy_list(g.global_trusted, Site::GloballyTrustedCopy, Site::GloballyTrustedCall);
}

PyObject** const targets_names[] = {&g.s_targets};
const Signature always_omit_sig{targets_names, 1, 1, "always_omit"};
const Signature always_trust_sig{targets_names, 1, 1, "always_trust"};

PyObject* py_always_omit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return extend_list(g.global_omissions, args, nargs, kwnames, always_omit_sig, Site::AlwaysOmitExtend,
                       Site::AlwaysOmitCall);
}

PyObject* py_always_trust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return extend_list(g.global_trusted, args, nargs, kwnames, always_trust_sig, Site::AlwaysTrustExtend,
                       Site::AlwaysTrustCall);
}

PyObject* py_reset_omissions(PyObject*, PyObject*) {
    return reset_list(g.global_omissions, Site::ResetOmissionsNew, Site::ResetOmissionsCall);
}

PyObject* py_reset_trusted(PyObject*, PyObject*) {
    return reset_list(g.global_trusted, Site::ResetTrustedNew, Site::ResetTrustedCall);
}

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef hide_def = {"hide", as_cfunction(py_hide), kFastKeywords, nullptr};
PyMethodDef globally_hidden_def = {"globally_hidden", py_globally_hidden, METH_NOARGS, nullptr};
PyMethodDef always_omit_def = {"always_omit", as_cfunction(py_always_omit), kFastKeywords, nullptr};
PyMethodDef globally_trusted_def = {"globally_trusted", py_globally_trusted, METH_NOARGS, nullptr};
PyMethodDef always_trust_def = {"always_trust", as_cfunction(py_always_trust), kFastKeywords, nullptr};
PyMethodDef reset_omissions_def = {"reset_omissions", py_reset_omissions, METH_NOARGS, nullptr};
PyMethodDef reset_trusted_def = {"reset_trusted", py_reset_trusted, METH_NOARGS, nullptr};

int init_registries() {
    // Module body: lines 3 and 4 make the lists, then the mask character.
    PyObject* omissions = PyList_New(0);
    if (omissions == nullptr) {
        return fail_status(Site::InitOmissions);
    }
    set_field(g.global_omissions, omissions);
    PyObject* trusted = PyList_New(0);
    if (trusted == nullptr) {
        return fail_status(Site::InitTrusted);
    }
    set_field(g.global_trusted, trusted);
    return 0;
}

}  // namespace velmora
