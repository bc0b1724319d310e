// `redacted(omitter, target, do=True, *, strict=False)`: binding and checking its arguments,
// and choosing between the native walk and the copying fallback.
//
// A dict target is redacted as `omitter.omit(target)` would redact it, a
// list target as `omitter.omit_recurse(target, do)`, but nothing of the
// caller's changes. An omitter whose class defines `omit` or `omit_recurse`
// in Python runs Python code for every nested container, which this walk
// cannot reproduce: for it the result is `omitter.omit(copy.deepcopy(target))`
// (or `omit_recurse`), by definition the same thing. So it is for a target
// with keys whose hash or equality changed, which copies cannot follow.
#include "entry.h"

#include "../omit/ref.h"
#include "state.h"
#include "walk.h"

#include <optional>

namespace velmora::redact {

namespace {

constexpr Py_ssize_t kParams = 4;     // omitter, target, do, strict
constexpr Py_ssize_t kPositional = 3;  // strict is keyword-only

// Walks of one call over data that code run mid-walk keeps changing.
constexpr int kAttempts = 3;

// (omitter, target, do), by position or keyword, and strict by keyword; do
// and strict are optional. 0, or -1 with TypeError set.
int bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* slots[kParams]) {
    PyObject* const names[kParams] = {g.s_omitter, g.s_target, g.s_do, g.s_strict};
    if (nargs > kPositional) {
        PyErr_Format(PyExc_TypeError, "redacted() takes at most %zd positional arguments (%zd given)", kPositional,
                     nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; i++) slots[i] = args[i];
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; j++) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, j);  // always an exact str
        Py_ssize_t found = -1;
        for (Py_ssize_t p = 0; p < kParams && found < 0; p++) {
            if (name == names[p] || PyUnicode_Compare(name, names[p]) == 0) found = p;
        }
        if (found < 0) {
            PyErr_Format(PyExc_TypeError, "redacted() got an unexpected keyword argument '%U'", name);
            return -1;
        }
        if (slots[found] != nullptr) {
            PyErr_Format(PyExc_TypeError, "redacted() got multiple values for argument '%U'", names[found]);
            return -1;
        }
        slots[found] = args[nargs + j];
    }
    for (Py_ssize_t p = 0; p < 2; p++) {
        if (slots[p] == nullptr) {
            PyErr_Format(PyExc_TypeError, "redacted() missing required argument '%U' (pos %zd)", names[p], p + 1);
            return -1;
        }
    }
    return 0;
}

int refuse(const char* parameter, const char* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %.200s)", parameter, expected,
                 Py_TYPE(value)->tp_name);
    return -1;
}

// Whether the object's `omit` or `omit_recurse` is not velmora.omit's own.
// Only a class defined in Python (or an object with an instance dict) can
// say so; the module's own types and other native subtypes cannot.
// 1 overridden, 0 not, -1 on failure.
int overrides_walk(PyObject* omitter) {
    PyTypeObject* tp = Py_TYPE(omitter);
    if (tp->tp_dictoffset == 0 && !PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE)) return 0;
    const struct {
        PyObject* name;
        PyObject* own;
    } methods[] = {{g.s_omit, g.own_omit}, {g.s_omit_recurse, g.own_omit_recurse}};
    for (const auto& method : methods) {
        Ref found = Ref::steal(PyObject_GetAttr(omitter, method.name));
        if (!found) return -1;
        if (!PyMethod_Check(found.get()) || PyMethod_GET_FUNCTION(found.get()) != method.own ||
            PyMethod_GET_SELF(found.get()) != omitter) {
            return 1;
        }
    }
    return 0;
}

// The omitter's str value hook, open for one call and closed with it.
class OpenedHook {
public:
    OpenedHook() = default;
    OpenedHook(const OpenedHook&) = delete;
    OpenedHook& operator=(const OpenedHook&) = delete;
    ~OpenedHook() {
        if (open_) hook_.close(&hook_);
    }
    // 0 (with or without a hook), or -1 with an exception set.
    int open(OmitterObject* self) {
        auto open = self->vtab->open_str_hook;
        const int opened = open != nullptr ? open(self, &hook_) : 0;
        open_ = opened > 0;
        return opened < 0 ? -1 : 0;
    }
    const StrHook* get() const { return open_ ? &hook_ : nullptr; }

private:
    StrHook hook_;
    bool open_ = false;
};

PyObject* redact_deep_copy(OmitterObject* self, PyObject* target, bool is_dict, bool do_hide,
                           std::optional<const RulePlan*> plan = std::nullopt) {
    Ref copy = Ref::steal(PyObject_CallOneArg(g.deepcopy, target));
    if (!copy) return nullptr;
    PyObject* const name = is_dict ? g.s_omit : g.s_omit_recurse;
    Ref method = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(self), name));
    if (!method) return nullptr;
    // As the last resort of a call that began with `plan`: the walk of the
    // copy takes the omitter's plan when it starts, so that must still be
    // the call's. Code run since (the copy's own hooks among it) may have
    // given the omitter other rules; a copy decided by them could keep what
    // the call's rules hide, so the call fails instead. The method is looked
    // up first: from the comparison to the walk's start no other code runs.
    if (plan && rule_plan_of(self) != *plan) {
        PyErr_SetString(PyExc_RuntimeError, "the omitter's rules changed while it was redacting");
        return nullptr;
    }
    if (is_dict) return PyObject_CallOneArg(method.get(), copy.get());
    PyObject* args[] = {copy.get(), do_hide ? Py_True : Py_False};
    return PyObject_Vectorcall(method.get(), args, 2, nullptr);
}

PyObject* redacted(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[kParams] = {nullptr, nullptr, nullptr, nullptr};
    if (bind(args, nargs, kwnames, slots) < 0) return nullptr;
    PyObject* omitter = slots[0];
    PyObject* target = slots[1];
    if (!PyObject_TypeCheck(omitter, g.api.omitter_type)) {
        refuse("omitter", "velmora.omit.Omitter", omitter);
        return nullptr;
    }
    // `do` is read as omit_recurse reads it, before the target is checked.
    bool do_hide = true;
    if (PyObject* flag = slots[2]; flag != nullptr && flag != Py_True) {
        if (flag == Py_False || flag == Py_None) {
            do_hide = false;
        } else {
            const int truth = PyObject_IsTrue(flag);
            if (truth < 0) return nullptr;
            do_hide = truth != 0;
        }
    }
    const bool is_dict = PyDict_CheckExact(target);
    if (!is_dict && !PyList_CheckExact(target)) {
        refuse("target", "dict or list", target);
        return nullptr;
    }
    // Python code run from the walk must not be able to release the
    // omitter whose table the walk calls through, nor the target.
    Ref keep_omitter = Ref::borrow(omitter);
    Ref keep_target = Ref::borrow(target);

    bool strict = false;
    if (PyObject* flag = slots[3]; flag != nullptr) {
        const int truth = PyObject_IsTrue(flag);
        if (truth < 0) return nullptr;
        strict = truth != 0;
    }

    const int overridden = overrides_walk(omitter);
    if (overridden < 0) return nullptr;
    if (overridden) {
        if (strict && check_strict(target) < 0) return nullptr;
        return redact_deep_copy(reinterpret_cast<OmitterObject*>(omitter), target, is_dict, do_hide);
    }

    OmitterObject* const self = reinterpret_cast<OmitterObject*>(omitter);
    if (const char* problem = policy_problem(mask_policy_of(self))) {
        PyErr_SetString(PyExc_SystemError, problem);
        return nullptr;
    }
    // One look for the whole call, whatever is added to the omitter's
    // detector while it runs, and whichever attempt answers.
    OpenedHook hook;
    if (hook.open(self) < 0) return nullptr;
    // Code run mid-walk that changes the data makes the walk start again on
    // the data as it now stands (walk.cpp, rule 5): code that acts once is
    // over by then. Code that keeps changing it gets an error, never a copy
    // that was not checked.
    // The plan is taken once too: an attempt made after code run mid-walk
    // (an __init__ among it) gave the omitter another plan still follows
    // the one the call began with, as the in-place walk does.
    const RulePlan* const plan = rule_plan_of(self);
    for (int attempt = 1;; attempt++) {
        Walk walk(self, plan, strict, hook.get());
        const PlanAt root = walk.plan != nullptr ? plan_root(walk.plan) : PlanAt{};
        PyObject* result = is_dict ? redact_dict(walk, target, root) : redact_list(walk, target, do_hide, root);
        if (result != nullptr || walk.mismatch == Walk::Mismatch::kNone) return result;
        if (walk.mismatch == Walk::Mismatch::kStores) {
            return redact_deep_copy(self, target, is_dict, do_hide, plan);
        }
        if (attempt == kAttempts) {
            PyErr_SetString(PyExc_RuntimeError, "the data kept changing while it was being redacted");
            return nullptr;
        }
    }
}

}  // namespace

PyMethodDef module_functions[] = {
    {
        .ml_name = "redacted",
        .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(redacted)),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "redacted(omitter, target, do=True, *, strict=False)\n--\n\n"
                  "Return a redacted version of the dict or list `target`, leaving\n"
                  "`target` and everything in it unchanged.\n\n"
                  "A dict is redacted as omitter.omit(target) would redact it, a list as\n"
                  "omitter.omit_recurse(target, do). Only the containers on the way to a\n"
                  "masked value are copied; everything else is shared with `target`,\n"
                  "and `target` itself is returned when nothing in it is masked.\n\n"
                  "With strict true, a value the walk would pass over although it may\n"
                  "hold str values (a tuple, a set, a mapping or sequence that is not\n"
                  "an exact dict or list, a str subclass) raises TypeError instead.",
    },
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace velmora::redact
