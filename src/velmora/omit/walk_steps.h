// Steps the dict walk and the list walk share: asking should_hide, calling
// through the table, and the override dispatch, each keeping the
// foreign-code epoch honest.
#pragma once

#include "depth.h"
#include "dispatch.h"
#include "epoch.h"
#include "keys.h"
#include "omitter.h"
#include "walk.h"
#include "walk_plan.h"

#include <type_traits>

namespace velmora {

// How many values ahead the walks ask the cache for.
constexpr Py_ssize_t kPrefetch = 16;

// Ask the cache for an object's header and the line after its first 32
// bytes: a str's state and the start of its characters lie there for about
// half of the places an allocator puts a str, and masking one reads the
// first and writes the second.
inline void prefetch_object(PyObject* object) {
    __builtin_prefetch(object);
    __builtin_prefetch(reinterpret_cast<char*>(object) + 32);
}

// Ask for the first items of a list whose walk begins (a long list's walk
// asks for the rest as it goes).
inline void prefetch_first_items(PyObject* const* items, Py_ssize_t length) {
    for (Py_ssize_t i = 0; i < length && i < kPrefetch; i++) prefetch_object(items[i]);
}

// should_hide of an exact str key, answered without running anything: from
// the verdicts already given in this stretch of the walk, else from the
// table's quiet verdict. 1 or 0, or -1 when only should_hide can answer.
inline int quiet_should_hide(OmitterObject* self, PyObject* key) {
    VerdictMemo::Slot& slot = verdict_memo.slot_for(key);
    if (slot.key == key && slot.owner == self && slot.epoch == foreign_code_epoch) return slot.answer;
    auto quiet = self->vtab->quiet_should_hide;
    if (quiet == nullptr) return -1;
    const int answer = quiet(self, key);
    if (answer >= 0) slot = {self, key, foreign_code_epoch, answer};
    return answer;
}

// should_hide(key) by whichever answers first: 1 or 0, or 0 with an
// exception set. A slot that is not this module's may run anything.
inline int ask_should_hide(OmitterObject* self, PyObject* key) {
    if (PyUnicode_CheckExact(key)) {
        const int hide = quiet_should_hide(self, key);
        if (hide >= 0) return hide;
    }
    const int hide = self->vtab->should_hide(self, key);
    if (!own_should_hide(self)) note_foreign_code();
    return hide;
}

// The keys of str and list values must be exactly str, or None.
inline bool key_is_str_or_none(PyObject* key) { return key == Py_None || PyUnicode_CheckExact(key); }

// The override dispatch, which may run Python code whenever it passes its
// gate: 1 answered (*answer set, null on failure), 0 walk, -1 failed.
inline int dispatch_step(OmitterObject* self, WalkMethod method, PyObject* target, int do_flag, PyObject** answer) {
    if (!may_override(Py_TYPE(self))) return 0;
    const int handled = dispatch_override(self, method, target, do_flag, answer);
    note_foreign_code();
    return handled;
}

// ---- The plan and the place a walk follows -------------------------------------------
//
// A call follows one plan, the one its omitter had when the call began
// (an __init__ run mid-walk gives the omitter another, which later calls
// follow), and every container it walks is at its own place for that plan.
// This module's own walks of nested containers take both as arguments.
// Where a nested container leaves this module's walk (an override called
// for it, or a method table that is not this module's), the walk it comes
// back to (through super(), or the base table) can take them only from a
// record of the hand-off: the container, the omitter and the method it was
// handed to. That record is not the thread's: an override may run super()
// on another thread; and it is matched by the container, so that any other
// walk (a call of its own, from a finaliser or from the override's own
// code) starts at its own root with the omitter's plan as it is then.
struct PendingWalk {
    OmitterObject* owner;
    PyObject* target;  // compared, never read
    WalkMethod method;
    const RulePlan* plan;  // null: the call follows none
    PlanAt at;
    uint64_t serial;
    int taken;  // walks that follow it now: it is theirs, not another one's
    PendingWalk* prev;
    PendingWalk* next;
};
// Every hand-off in progress, on any thread, newest first (the interpreter
// lock guards it). Each record lives in the frame of the walk that handed
// the container off, for as long as the hand-off lasts.
inline PendingWalk* pending_walks = nullptr;
inline uint64_t pending_serials = 0;

// What a walk that is not nested in this module's own walk follows: the
// record of a hand-off of `target` that no walk follows now, else the
// omitter's plan as it is now, from the target's root. Held for the walk.
class TakenWalk {
public:
    TakenWalk(OmitterObject* self, PyObject* target, WalkMethod method) {
        for (PendingWalk* p = pending_walks; p != nullptr; p = p->next) {
            if (p->owner == self && p->target == target && p->method == method && p->taken == 0) {
                p->taken++;
                serial_ = p->serial;
                plan_ = p->plan;
                at_ = p->at;
                return;
            }
        }
        plan_ = rule_plan_of(self);
        if (plan_ != nullptr) at_ = plan_root(plan_);
    }
    TakenWalk(const TakenWalk&) = delete;
    TakenWalk& operator=(const TakenWalk&) = delete;
    // The record may be gone (an override that ran super() on a thread it
    // did not wait for): it is found again by its serial, not by address.
    ~TakenWalk() {
        if (serial_ == 0) return;
        for (PendingWalk* p = pending_walks; p != nullptr; p = p->next) {
            if (p->serial == serial_) {
                p->taken--;
                return;
            }
        }
    }
    const RulePlan* plan() const { return plan_; }
    const PlanAt& at() const { return at_; }

private:
    uint64_t serial_ = 0;
    const RulePlan* plan_;
    PlanAt at_{};
};

// A hand-off of `target`, recorded for as long as this lives.
class PendingScope {
public:
    PendingScope(OmitterObject* self, PyObject* target, WalkMethod method, const RulePlan* plan, const PlanAt* at)
        : record_{self, target, method, plan, at != nullptr ? *at : PlanAt{}, ++pending_serials, 0, nullptr,
                  pending_walks} {
        if (pending_walks != nullptr) pending_walks->prev = &record_;
        pending_walks = &record_;
    }
    PendingScope(const PendingScope&) = delete;
    PendingScope& operator=(const PendingScope&) = delete;
    ~PendingScope() {
        if (record_.prev != nullptr) {
            record_.prev->next = record_.next;
        } else {
            pending_walks = record_.next;
        }
        if (record_.next != nullptr) record_.next->prev = record_.prev;
    }

private:
    PendingWalk record_;
};

// What a walk made without a plan keeps in place of the plan's fields:
// nothing.
struct NoPlan {
    constexpr NoPlan(const void*) {}
};

// A walk's field that only a walk under a plan has.
template <bool kPlan, class T>
using PlanField = std::conditional_t<kPlan, T, NoPlan>;

// The override dispatch of a walk: the walk an override enters through
// super() follows the call's plan (null: none), at the container's place.
inline int dispatch_step_at(OmitterObject* self, WalkMethod method, PyObject* target, int do_flag,
                            PyObject** answer, const RulePlan* plan, const PlanAt* at) {
    if (!may_override(Py_TYPE(self))) return 0;
    PendingScope pending(self, target, method, plan, at);
    return dispatch_step(self, method, target, do_flag, answer);
}

// The walks of this module, by whether the call follows a plan; the place
// of a target that is not the call's own root comes with it.
PyObject* omit_dict_plain(OmitterObject* self, PyObject* target, int skip_override);
PyObject* omit_dict_planned(OmitterObject* self, PyObject* target, int skip_override, const RulePlan* plan,
                            const PlanAt& at);
PyObject* omit_list_plain(OmitterObject* self, PyObject* target, int skip_override, int do_hide);
PyObject* omit_list_planned(OmitterObject* self, PyObject* target, int skip_override, int do_hide,
                            const RulePlan* plan, const PlanAt& at);

// The walk of a nested dict or list for a call that follows `plan` (a walk
// without one: none), the container at `at`: this module's own walk
// directly, another table's through a recorded hand-off.
template <bool kPlan>
inline PyObject* walk_dict_nested(OmitterObject* self, PyObject* dict, const RulePlan* plan, const PlanAt* at) {
    if (self->vtab->omit == walk_omit) [[likely]] {
        if constexpr (kPlan) return omit_dict_planned(self, dict, 0, plan, *at);
        return omit_dict_plain(self, dict, 0);
    }
    PendingScope pending(self, dict, WalkMethod::kOmit, kPlan ? plan : nullptr, at);
    PyObject* walked = self->vtab->omit(self, dict, 0);
    note_foreign_code();
    return walked;
}

template <bool kPlan>
inline PyObject* walk_list_nested(OmitterObject* self, PyObject* list, int do_hide, const RulePlan* plan,
                                  const PlanAt* at) {
    if (self->vtab->omit_recurse == walk_omit_recurse) [[likely]] {
        if constexpr (kPlan) return omit_list_planned(self, list, 0, do_hide, plan, *at);
        return omit_list_plain(self, list, 0, do_hide);
    }
    PendingScope pending(self, list, WalkMethod::kOmitRecurse, kPlan ? plan : nullptr, at);
    OmitRecurseOptions options{1, do_hide};
    PyObject* walked = self->vtab->omit_recurse(self, list, 0, &options);
    note_foreign_code();
    return walked;
}

}  // namespace velmora
