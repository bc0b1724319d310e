// The Python-level `Omitter.omit(target)` and
// `Omitter.omit_recurse(target, do=True)`: bind the arguments, then enter
// the walk through the object's own table with the override dispatch
// skipped (the method called is already the one found).
#include "binding.h"
#include "depth.h"
#include "omitter.h"
#include "state.h"
#include "traceback.h"
#include "walk.h"

namespace velmora {

namespace {

PyObject** const omit_names[] = {&g.s_target};
const Signature omit_sig{omit_names, 1, 1, "omit"};
PyObject** const omit_recurse_names[] = {&g.s_target, &g.s_do};
const Signature omit_recurse_sig{omit_recurse_names, 2, 1, "omit_recurse"};

// `do` by truth value: True, False and None without a call.
int do_flag(PyObject* flag) {
    if (flag == nullptr || flag == Py_True) return 1;
    if (flag == Py_False || flag == Py_None) return 0;
    return PyObject_IsTrue(flag);
}

PyObject* py_omit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!check_receiver(self, &OmitterType, "omit")) return nullptr;
    PyObject* target = nullptr;
    if (bind_fast(omit_sig, args, nargs, kwnames, &target) < 0) return fail(Site::OmitCall);
    if (!check_exact_type(target, &PyDict_Type, true, "target")) return nullptr;
    // Hold the omitter for the whole walk: Python code run from it must not
    // be able to release the object whose table we call through.
    Ref keep = Ref::borrow(self);
    WalkEntry entry;
    OmitterObject* omitter = as_omitter(self);
    PyObject* result = omitter->vtab->omit(omitter, target, 1);
    if (result == nullptr) add_traceback(Site::OmitCall);
    return result;
}

PyObject* py_omit_recurse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!check_receiver(self, &OmitterType, "omit_recurse")) return nullptr;
    PyObject* slots[2] = {nullptr, nullptr};
    if (bind_fast(omit_recurse_sig, args, nargs, kwnames, slots) < 0) return fail(Site::RecurseCall);
    const int do_hide = do_flag(slots[1]);
    if (do_hide < 0) return fail(Site::RecurseCall);
    if (!check_exact_type(slots[0], &PyList_Type, true, "target")) return nullptr;
    Ref keep = Ref::borrow(self);
    WalkEntry entry;
    OmitterObject* omitter = as_omitter(self);
    OmitRecurseOptions options{1, do_hide};
    PyObject* result = omitter->vtab->omit_recurse(omitter, slots[0], 1, &options);
    if (result == nullptr) add_traceback(Site::RecurseCall);
    return result;
}

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef omit_def = {"omit", as_cfunction(py_omit), kFastKeywords, nullptr};
PyMethodDef omit_recurse_def = {"omit_recurse", as_cfunction(py_omit_recurse), kFastKeywords, nullptr};

}  // namespace velmora
