// Slot 3, `omit_recurse`: the walk of a list.
//
// In order:
//   1. the override dispatch, for an object of a Python subclass;
//   2. `target` None: TypeError;
//   3. the length is noted once; items added later are not visited, and the
//      walk never reads or writes past the list's current end;
//   4. per item, held until the next one is read: a dict is walked and put
//      back; a list is walked with the same `do` and put back; a str is
//      masked when `do` is true; anything else is left alone;
//   5. the list itself is returned.
#include "walk.h"

#include "cpython.h"
#include "depth.h"
#include "held.h"
#include "registry.h"
#include "str_hook.h"
#include "traceback.h"
#include "walk_steps.h"

namespace velmora {

namespace {

// Put a walked item back at index i; storing the object that is already
// there is the same as releasing our reference to it.
int put_walked(PyObject* list, Py_ssize_t i, PyObject* walked) {
    if (i < PyList_GET_SIZE(list) && PyList_GET_ITEM(list, i) == walked) {
        Py_DECREF(walked);  // the list holds it too
        return 0;
    }
    const int stored = PyList_SetItem(list, i, walked);
    note_foreign_code();
    return stored;
}

// Masks written into a list reach the omitter's key index (the list may be
// its own key list, handed out and walked as data) before anything can ask
// it again: before each nested walk, and when the list walk ends.
class ListWrites {
public:
    ListWrites(OmitterObject* self, PyObject* list) : self_(self), list_(list) {}
    void mark() { pending_ = true; }
    void flush() {
        if (pending_) key_list_written(self_, list_);
        pending_ = false;
    }
    ~ListWrites() { flush(); }

private:
    OmitterObject* self_;
    PyObject* list_;
    bool pending_ = false;
};

// Made twice, as the walk of a dict is.
template <bool kPlan>
class ListWalk {
public:
    ListWalk(OmitterObject* self, PyObject* target, int do_hide, const StrHook* hook, const MaskPolicy* mask,
             const RulePlan* plan, const PlanAt* at)
        : self_(self),
          target_(target),
          list_(Ref::borrow(target)),
          writes_(self, target),
          policy_(plan_own_mask<kPlan>(mask, plan)),
          hook_(hook),
          do_hide_(do_hide),
          plan_(plan),
          at_(at) {}

    PyObject* run();

private:
    int item_step(Py_ssize_t i, PyObject* item, uint64_t read_at);
    int mask_item(Py_ssize_t i, PyObject* item, uint64_t read_at);
    int look_at_item(Py_ssize_t i, PyObject* item, uint64_t read_at);
    int store_item(Py_ssize_t i, PyObject* mask, uint64_t read_at);
    [[gnu::noinline]] int plan_item_step(Py_ssize_t i, PyObject* item, uint64_t read_at);

    OmitterObject* const self_;
    PyObject* const target_;
    Ref list_;
    Ref item_;  // the current item, held until the next one replaces it
    ListWrites writes_;
    const MaskPolicy* const policy_;
    const StrHook* const hook_;  // null: none
    const int do_hide_;
    // Under a plan only: the plan, and where the list stands for it.
    [[no_unique_address]] const PlanField<kPlan, const RulePlan*> plan_;
    [[no_unique_address]] const PlanField<kPlan, const PlanAt*> at_;
};

template <bool kPlan>
PyObject* ListWalk<kPlan>::run() {
    const Py_ssize_t length = PyList_GET_SIZE(target_);
    prefetch_first_items(cpython::list_items(target_), length);
    for (Py_ssize_t j = 1; j < 3 && j < length; j++) cpython::prefetch_contents(PyList_GET_ITEM(target_, j));
    for (Py_ssize_t i = 0; i < length; i++) {
        // Python code run from this walk may have shortened the list.
        const Py_ssize_t current = PyList_GET_SIZE(target_);
        if (i >= current) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return fail(Site::RecurseItem);
        }
        // Long lists: keep asking the cache for items some way ahead, and
        // for what the walks of the next items read first, a step per item
        // (a table's header three items ahead, its entries two ahead, the
        // values' headers one ahead), each step reading what the one
        // before brought in.
        if (i + kPrefetch < current) prefetch_object(PyList_GET_ITEM(target_, i + kPrefetch));
        if (i + 3 < current) cpython::prefetch_contents(PyList_GET_ITEM(target_, i + 3));
        if (i + 2 < current) cpython::prefetch_entries(PyList_GET_ITEM(target_, i + 2), kPrefetch);
        if (i + 1 < current) cpython::prefetch_values(PyList_GET_ITEM(target_, i + 1), kPrefetch);
        PyObject* item = PyList_GET_ITEM(target_, i);
        const uint64_t read_at = foreign_code_epoch;
        hold_item(item_, item);
        if (item_step(i, item, read_at) < 0) return nullptr;
    }
    return list_.release();
}

// One item, held since `read_at`. PyList_SetItem checks the index against
// the list's current length. 0, or -1 with the traceback entry.
template <bool kPlan>
int ListWalk<kPlan>::item_step(Py_ssize_t i, PyObject* item, uint64_t read_at) {
    if constexpr (kPlan) return plan_item_step(i, item, read_at);
    const unsigned long flags = Py_TYPE(item)->tp_flags;
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
        if (!PyDict_CheckExact(item)) return fail_unexpected_status("dict", item, Site::RecurseDict);
        writes_.flush();
        PyObject* walked = walk_dict_nested<false>(self_, item, nullptr, nullptr);
        if (walked == nullptr || put_walked(target_, i, walked) < 0) return fail_status(Site::RecurseDict);
    } else if (flags & Py_TPFLAGS_LIST_SUBCLASS) {
        if (!PyList_CheckExact(item)) return fail_unexpected_status("list", item, Site::RecurseList);
        writes_.flush();
        PyObject* walked = walk_list_nested<false>(self_, item, do_hide_, nullptr, nullptr);
        if (walked == nullptr || put_walked(target_, i, walked) < 0) return fail_status(Site::RecurseList);
    } else if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
        if (do_hide_) return mask_item(i, item, read_at);
        if (hook_ != nullptr) return look_at_item(i, item, read_at);
    }
    return 0;
}

template <bool kPlan>
int ListWalk<kPlan>::mask_item(Py_ssize_t i, PyObject* item, uint64_t read_at) {
    if (!PyUnicode_CheckExact(item)) return fail_unexpected_status("unicode", item, Site::RecurseStr);
    PyObject* mask = mask_value(policy_, item);
    if (mask == nullptr) return fail_status(Site::RecurseStr);
    return store_item(i, mask, read_at);
}

// A str item `do` lets through, looked at by the hook: what it finds masked
// is stored as a mask is.
template <bool kPlan>
int ListWalk<kPlan>::look_at_item(Py_ssize_t i, PyObject* item, uint64_t read_at) {
    PyObject* looked = apply_str_hook(hook_, item);
    if (looked == nullptr) return fail_status(Site::RecurseStr);
    if (looked == item) {
        Py_DECREF(looked);  // we hold the item too: quiet
        return 0;
    }
    return store_item(i, looked, read_at);
}

// Put `mask` (stolen) at index i, in place of the str item read there.
template <bool kPlan>
int ListWalk<kPlan>::store_item(Py_ssize_t i, PyObject* mask, uint64_t read_at) {
    // The item replaced is still `item` unless foreign code ran (and we
    // hold `item` either way): only a foreign replacement is loud.
    const bool quiet = foreign_code_epoch == read_at;
    const int stored = PyList_SetItem(target_, i, mask);
    if (!quiet) note_foreign_code();
    if (stored < 0) return fail_status(Site::RecurseStr);
    writes_.mark();
    return 0;
}

// One item under a plan: hidden by `do` or by a path, masked by the policy
// of the selecting path, else of the list's key, replaced whole where a
// path selects it under `whole`. The refusals of subclasses come first, as
// without a plan.
template <bool kPlan>
int ListWalk<kPlan>::plan_item_step(Py_ssize_t i, PyObject* item, uint64_t read_at) {
    const PlanDecision d = plan_decide_item(plan_, policy_ != nullptr && policy_->whole, *at_, do_hide_, i);
    const unsigned long flags = Py_TYPE(item)->tp_flags;
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
        if (!PyDict_CheckExact(item)) return fail_unexpected_status("dict", item, Site::RecurseDict);
    } else if (flags & Py_TPFLAGS_LIST_SUBCLASS) {
        if (!PyList_CheckExact(item)) return fail_unexpected_status("list", item, Site::RecurseList);
    } else if ((flags & Py_TPFLAGS_UNICODE_SUBCLASS) && d.hide && !PyUnicode_CheckExact(item)) {
        return fail_unexpected_status("unicode", item, Site::RecurseStr);
    }
    const PlanPolicy& policy = plan_policy(plan_, d.slot);
    if (d.replace) return store_item(i, new_ref(policy.text), read_at);
    if (flags & (Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS)) {
        writes_.flush();
        const PlanAt at{d.state, d.slot, false};
        const bool dict = flags & Py_TPFLAGS_DICT_SUBCLASS;
        PyObject* walked = dict ? walk_dict_nested<true>(self_, item, plan_, &at)
                                : walk_list_nested<true>(self_, item, d.hide, plan_, &at);
        if (walked == nullptr || put_walked(target_, i, walked) < 0) {
            return fail_status(dict ? Site::RecurseDict : Site::RecurseList);
        }
        return 0;
    }
    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
        if (!d.hide) return hook_ != nullptr ? look_at_item(i, item, read_at) : 0;
        PyObject* mask = d.slot == 0 ? mask_value(policy_, item) : mask_value(&policy.str, item);
        if (mask == nullptr) return fail_status(Site::RecurseStr);
        return store_item(i, mask, read_at);
    }
    if (!d.hide || item == Py_None || !plan_masks_scalars(plan_)) return 0;
    const bool quiet = plan_scalar_quiet(item);
    PyObject* mask = plan_scalar_mask(policy, item);
    if (!quiet) note_foreign_code();  // a collection may have run finalisers
    if (mask == nullptr) return fail_status(Site::RecurseStr);
    if (mask == item) {
        Py_DECREF(mask);  // we hold the item too: quiet
        return 0;
    }
    return store_item(i, mask, read_at);
}

}  // namespace

namespace {

// The walk of a list, made twice as the walk of a dict is (walk_dict.cpp).
template <bool kPlan>
[[gnu::always_inline]] inline PyObject* omit_list(OmitterObject* self, PyObject* target, int skip_override,
                                                  int do_hide, const RulePlan* plan, const PlanAt* at) {
    DepthGuard depth;
    if (!depth.enter()) return fail(Site::RecurseNone);
    if (!skip_override) {
        PyObject* answer = nullptr;
        const int handled = dispatch_step_at(self, WalkMethod::kOmitRecurse, target, do_hide, &answer, plan, at);
        if (handled != 0) return answer;
    }
    if (target == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return fail(Site::RecurseNone);
    }
    HookScope hook;
    if (!hook.enter(self)) return fail(Site::RecurseNone);
    ListWalk<kPlan> walk(self, target, do_hide, hook.hook(), hook.mask(), plan, at);
    return walk.run();
}

// Slot 3 entered from outside this module's walk, as omit_dict_taken.
[[gnu::noinline]] PyObject* omit_list_taken(OmitterObject* self, PyObject* target, int skip_override, int do_hide) {
    TakenWalk taken(self, target, WalkMethod::kOmitRecurse);
    if (taken.failed()) return fail(Site::RecurseNone);
    if (taken.plan() != nullptr) {
        return omit_list_planned(self, target, skip_override, do_hide, taken.plan(), taken.at());
    }
    return omit_list_plain(self, target, skip_override, do_hide);
}

}  // namespace

PyObject* omit_list_plain(OmitterObject* self, PyObject* target, int skip_override, int do_hide) {
    return omit_list<false>(self, target, skip_override, do_hide, nullptr, nullptr);
}

PyObject* omit_list_planned(OmitterObject* self, PyObject* target, int skip_override, int do_hide,
                            const RulePlan* plan, const PlanAt& at) {
    return omit_list<true>(self, target, skip_override, do_hide, plan, &at);
}

// The plan is read here, once per call, as walk_omit reads it.
PyObject* walk_omit_recurse(OmitterObject* self, PyObject* target, int skip_override, OmitRecurseOptions* options) {
    if (walk_depth == 0) note_foreign_code();
    const int do_hide = (options != nullptr && options->optional_count > 0) ? options->do_ : 1;
    if (pending_walks != nullptr) [[unlikely]] return omit_list_taken(self, target, skip_override, do_hide);
    const RulePlan* const plan = rule_plan_of(self);
    if (plan != nullptr) return omit_list_planned(self, target, skip_override, do_hide, plan, plan_root(plan));
    return omit_list_plain(self, target, skip_override, do_hide);
}

}  // namespace velmora
