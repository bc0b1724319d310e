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

// Nested walks through the table (skip_override clear). This module's
// walks account for what they run; any other slot may run anything.
inline PyObject* walk_dict_slot(OmitterObject* self, PyObject* dict) {
    PyObject* walked = self->vtab->omit(self, dict, 0);
    if (self->vtab->omit != walk_omit) note_foreign_code();
    return walked;
}

inline PyObject* walk_list_slot(OmitterObject* self, PyObject* list, int do_hide) {
    OmitRecurseOptions options{1, do_hide};
    PyObject* walked = self->vtab->omit_recurse(self, list, 0, &options);
    if (self->vtab->omit_recurse != walk_omit_recurse) note_foreign_code();
    return walked;
}

// The override dispatch, which may run Python code whenever it passes its
// gate: 1 answered (*answer set, null on failure), 0 walk, -1 failed.
inline int dispatch_step(OmitterObject* self, WalkMethod method, PyObject* target, int do_flag, PyObject** answer) {
    if (!may_override(Py_TYPE(self))) return 0;
    const int handled = dispatch_override(self, method, target, do_flag, answer);
    note_foreign_code();
    return handled;
}

// ---- The plan's place, down the walk ------------------------------------------------
//
// A nested container is walked through the table (a slot call takes no
// more than the container), so its place for the plan travels beside the
// call: the walk that is about to walk it for this call says where it
// stands, and the walk entered for it takes that at its start. An override
// called for it passes it on one Python level further down, as the str
// value hook is (str_hook.h): the walk it enters through super() walks the
// same container. Any other walk (a call of its own, from a finaliser or a
// key's __eq__) starts at its target's root.
struct PlanCarry {
    OmitterObject* owner;
    int depth;  // walk_depth of the walk it is for
    PlanAt at;
};
extern __attribute__((tls_model("initial-exec"))) thread_local PlanCarry plan_carry;

// What a walk made without a plan keeps in place of the plan's fields:
// nothing.
struct NoPlan {
    constexpr NoPlan(const void*) {}
};

// A walk's field that only a walk under a plan has.
template <bool kPlan, class T>
using PlanField = std::conditional_t<kPlan, T, NoPlan>;

// Held across one call that walks a nested container for this call.
class PlanPass {
public:
    PlanPass(OmitterObject* self, int depth, const PlanAt& at) : outer_(plan_carry) {
        plan_carry = PlanCarry{self, depth, at};
    }
    PlanPass(const PlanPass&) = delete;
    PlanPass& operator=(const PlanPass&) = delete;
    ~PlanPass() { plan_carry = outer_; }

private:
    const PlanCarry outer_;
};

// A walk's place, taken when it starts: what its caller passed, else its
// target's root. Nothing for an omitter without a plan.
class PlanTaken {
public:
    PlanTaken(OmitterObject* self, const RulePlan* plan) : plan_(plan) {
        if (plan == nullptr) return;
        outer_ = plan_carry;
        at_ = outer_.owner == self && outer_.depth == walk_depth ? outer_.at : plan_root(plan);
        plan_carry.owner = nullptr;  // taken: nothing else walks with it
    }
    PlanTaken(const PlanTaken&) = delete;
    PlanTaken& operator=(const PlanTaken&) = delete;
    ~PlanTaken() {
        if (plan_ != nullptr) plan_carry = outer_;
    }
    const PlanAt& at() const { return at_; }

private:
    const RulePlan* const plan_;
    // Set only with a plan: a walk without one neither reads nor writes them.
    PlanCarry outer_;
    PlanAt at_;
};

// The walk of a nested dict or list at `at` for this call.
inline PyObject* walk_dict_at(OmitterObject* self, PyObject* dict, const PlanAt& at) {
    PlanPass pass(self, walk_depth, at);
    return walk_dict_slot(self, dict);
}

inline PyObject* walk_list_at(OmitterObject* self, PyObject* list, int do_hide, const PlanAt& at) {
    PlanPass pass(self, walk_depth, at);
    return walk_list_slot(self, list, do_hide);
}

// The override dispatch of a walk with a plan: the walk an override enters
// through super() is at the same place.
inline int dispatch_step_at(OmitterObject* self, WalkMethod method, PyObject* target, int do_flag,
                            PyObject** answer, const RulePlan* plan, const PlanAt& at) {
    if (plan == nullptr || !may_override(Py_TYPE(self))) return dispatch_step(self, method, target, do_flag, answer);
    PlanPass pass(self, walk_depth + 1, at);
    return dispatch_step(self, method, target, do_flag, answer);
}

}  // namespace velmora
