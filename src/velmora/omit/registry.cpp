// Module-wide key lists and the module functions that read and change them,
// plus `hide`, the masking routine the walk calls directly.
//
// Python code never holds the lists themselves: it extends them, resets them
// and gets copies. A reset installs the new list before the old one is
// released, so finalisers run by the release already see the new list.
#include "abi.h"
#include "state.h"

namespace velmora {

namespace {

constexpr const char* kHide = "velmora.omit.hide";

PyObject* repeat_mask(Py_ssize_t n) {
    return PyUnicode_Type.tp_as_sequence->sq_repeat(g.mask_character, n);
}

}  // namespace

PyObject* shared_masks[kSharedMasks + 1] = {};

PyObject* make_mask(PyObject* s) {
    if (PyUnicode_READY(s) < 0) {
        add_traceback(kHide, 11);
        return nullptr;
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n <= kSharedMasks) {
        PyObject*& cached = shared_masks[n];
        if (cached == nullptr) {
            cached = repeat_mask(n);
            if (cached == nullptr) {
                add_traceback(kHide, 11);
                return nullptr;
            }
        }
        return new_ref(cached);
    }
    PyObject* mask = repeat_mask(n);
    if (mask == nullptr) add_traceback(kHide, 11);
    return mask;
}

PyObject* policy_mask(const MaskPolicy* policy, PyObject* s) {
    if (policy == nullptr || policy->kind == MaskPolicy::kStars) return mask_str(s);
    if (policy->kind == MaskPolicy::kFixed || policy->whole) return new_ref(policy->text);
    // Keep the last `keep` code points: only of a value longer than that.
    if (PyUnicode_READY(s) < 0) {
        add_traceback(kHide, 11);
        return nullptr;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n <= policy->keep) return mask_str(s);
    Ref stars = Ref::steal(repeat_mask(n - policy->keep));
    Ref tail = stars ? Ref::steal(PyUnicode_Substring(s, n - policy->keep, n)) : Ref();
    PyObject* mask = tail ? PyUnicode_Concat(stars.get(), tail.get()) : nullptr;
    if (mask == nullptr) add_traceback(kHide, 11);
    return mask;
}

namespace {

PyObject** const hide_names[] = {&g.s_target};
const Signature hide_sig{hide_names, 1, 1, "hide"};

PyObject* py_hide(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* target = nullptr;
    if (bind_fast(hide_sig, args, nargs, kwnames, &target) < 0) {
        add_traceback(kHide, 8);
        return nullptr;
    }
    if (!check_exact_type(target, &PyUnicode_Type, true, "target")) return nullptr;
    if (target == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        add_traceback(kHide, 10);
        add_traceback(kHide, 8);
        return nullptr;
    }
    if (PyUnicode_READY(target) < 0) {
        add_traceback(kHide, 10);
        add_traceback(kHide, 8);
        return nullptr;
    }
    PyObject* mask = mask_str(target);
    if (mask == nullptr) add_traceback(kHide, 8);
    return mask;
}

// globally_hidden() / globally_trusted(): a shallow copy of the list.
PyObject* copy_list(PyObject* list, const char* qualname, int body_line, int def_line) {
    PyObject* copy = PyList_GetSlice(list, 0, PyList_GET_SIZE(list));
    if (copy == nullptr) {
        add_traceback(qualname, body_line);
        add_traceback(qualname, def_line);
    }
    return copy;
}

// always_omit(targets) / always_trust(targets): extend the list in place.
// The module-wide list is read only after binding: binding may run Python
// code (a keyword's `__eq__`) that resets the list.
PyObject* extend_list(PyObject*& field, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      const Signature& sig, const char* qualname, int body_line, int def_line) {
    PyObject* targets = nullptr;
    if (bind_fast(sig, args, nargs, kwnames, &targets) < 0) {
        add_traceback(qualname, def_line);
        return nullptr;
    }
    if (!check_exact_type(targets, &PyList_Type, true, "targets")) return nullptr;
    Ref list = Ref::borrow(field);
    Ref result = Ref::steal(_PyList_Extend(reinterpret_cast<PyListObject*>(list.get()), targets));
    if (!result) {
        add_traceback(qualname, body_line);
        add_traceback(qualname, def_line);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// reset_omissions() / reset_trusted(): install a new empty list, then
// release the old one.
PyObject* reset_list(PyObject*& field, const char* qualname, int body_line, int def_line) {
    PyObject* fresh = PyList_New(0);
    if (fresh == nullptr) {
        add_traceback(qualname, body_line);
        add_traceback(qualname, def_line);
        return nullptr;
    }
    set_field(field, fresh);
    Py_RETURN_NONE;
}

PyObject* py_globally_hidden(PyObject*, PyObject*) {
    return copy_list(g.global_omissions, "velmora.omit.globally_hidden", 14, 13);
}

PyObject* py_globally_trusted(PyObject*, PyObject*) {
    return copy_list(g.global_trusted, "velmora.omit.globally_trusted", 21, 20);
}

PyObject** const targets_names[] = {&g.s_targets};
const Signature always_omit_sig{targets_names, 1, 1, "always_omit"};
const Signature always_trust_sig{targets_names, 1, 1, "always_trust"};

PyObject* py_always_omit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return extend_list(g.global_omissions, args, nargs, kwnames, always_omit_sig,
                       "velmora.omit.always_omit", 18, 16);
}

PyObject* py_always_trust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return extend_list(g.global_trusted, args, nargs, kwnames, always_trust_sig,
                       "velmora.omit.always_trust", 25, 23);
}

PyObject* py_reset_omissions(PyObject*, PyObject*) {
    return reset_list(g.global_omissions, "velmora.omit.reset_omissions", 29, 27);
}

PyObject* py_reset_trusted(PyObject*, PyObject*) {
    return reset_list(g.global_trusted, "velmora.omit.reset_trusted", 33, 31);
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
        add_traceback("init velmora.omit", 3);
        return -1;
    }
    set_field(g.global_omissions, omissions);
    PyObject* trusted = PyList_New(0);
    if (trusted == nullptr) {
        add_traceback("init velmora.omit", 4);
        return -1;
    }
    set_field(g.global_trusted, trusted);
    return 0;
}

}  // namespace velmora
