// Steps the dict walk and the list walk share: asking should_hide, calling
// through the table, and the override dispatch, each keeping the
// foreign-code epoch honest.
#pragma once

#include "copy_index.h"
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
// handed to, and the thread that handed it off. An override may run
// super() on another thread, so a record is not the thread's alone; but
// two threads may hand the same container off at once at different places,
// so a walk prefers a record its own thread made (TakenWalk, below, says
// how it chooses among other threads' records). A walk that finds no
// record of its target cannot always tell a call of its own (from a
// finaliser, from the override's own code, from another thread) from a
// super() the override runs, from code of its own, on a copy it will store
// at its place. The rule where it cannot tell: hide more, never less. Such
// a walk follows its own root joined with the place of every hand-off to
// its omitter in progress, or fails rather than guess; only a walk while
// no hand-off to its omitter is in progress starts at its own root with
// the omitter's plan as it is then.
struct PendingWalk {
    OmitterObject* owner;
    // Compared; read only for the members a copy handed to super() may have
    // been made of (pending_detail::join_copied_members, which runs no
    // code). Alive as long as the record: the walk that handed it off
    // holds it.
    PyObject* target;
    WalkMethod method;
    const RulePlan* plan;  // null: the call follows none
    PlanAt at;
    unsigned long thread;  // PyThread_get_thread_ident() of the thread that handed it off
    // The Python frame running when the override was called (null: none, or
    // not an override's hand-off, or no plan): a super() called straight
    // from the override's own frame is the override's, whatever container
    // it is given. Compared, never read: the frame is up the stack of the
    // hand-off, alive as long as the record.
    PyObject* frame;
    uint64_t serial;
    int taken;  // walks that follow it now: it is theirs, not another one's
    PendingWalk* prev;
    PendingWalk* next;
    // The members of a large `target` by what they hold, made the first
    // time a copy of one is looked for (copy_index_tried), and where they
    // are next read one by one, and how much more of them may be read (-1:
    // not yet set) for copies the index does not find and for those it
    // finds: pending_detail::join_copied_members.
    MemberIndex copy_index{};
    bool copy_index_tried = false;
    Py_ssize_t copy_cursor = 0;
    Py_ssize_t copy_budget = -1;
    Py_ssize_t found_budget = -1;
};
// Every hand-off in progress, on any thread, newest first (the interpreter
// lock guards it). Each record lives in the frame of the walk that handed
// the container off, for as long as the hand-off lasts.
inline PendingWalk* pending_walks = nullptr;
inline uint64_t pending_serials = 0;

// In a child made by fork() only the forking thread goes on: the records of
// the other threads live on stacks that are no longer anyone's, and a walk
// in the child must neither take their places nor follow their links. Runs
// in the child before anything else does (pthread_atfork), so it only
// unlinks: no allocation, no lock.
inline void forget_other_threads_hand_offs() {
    const unsigned long me = PyThread_get_thread_ident();
    PendingWalk* kept = nullptr;  // the newest kept so far is the head
    PendingWalk* last = nullptr;
    for (PendingWalk* p = pending_walks; p != nullptr; p = p->next) {
        if (p->thread != me) continue;
        p->prev = last;
        if (last != nullptr) {
            last->next = p;
        } else {
            kept = p;
        }
        last = p;
    }
    if (last != nullptr) last->next = nullptr;
    pending_walks = kept;
}

namespace pending_detail {

// A policy slot of `plan` that covers every slot of `slots`: one of them if
// one does, else any of the plan's; -1 when none does.
inline int64_t covering_slot(const RulePlan* plan, const uint32_t* slots, int count) {
    auto covers_all = [&](uint32_t slot) {
        for (int i = 0; i < count; i++) {
            if (!policy_covers(plan_policy(plan, slot), plan_policy(plan, slots[i]))) return false;
        }
        return true;
    };
    for (int i = 0; i < count; i++) {
        if (covers_all(slots[i])) return slots[i];
    }
    for (uint32_t slot = 0; slot < plan->policy_count; slot++) {
        if (covers_all(slot)) return slot;
    }
    return -1;
}

inline bool same_place(const PendingWalk& a, const PendingWalk& b) {
    if (a.plan != b.plan) return false;
    if (a.plan == nullptr) return true;
    return std::memcmp(a.at.state.live, b.at.state.live, sizeof a.at.state.live) == 0 &&
           a.at.state.selected == b.at.state.selected && a.at.slot == b.at.slot && a.at.root == b.at.root;
}

// A joined place under a hiding plan that is inside a selected subtree:
// every value below it is hidden whatever positions are live, but a path
// live there that ends below with a policy of its own would replace the
// subtree's policy with its own, which may show more than what the place
// the subtree comes from lets it (a path of the root ending at a member of
// a copy whose place selects it whole). Where one slot covers the
// subtree's and every such path's, the place drops its positions and hides
// all below it by that slot. Where none does, it stays as it is: it may
// still show more at such a member than its place would.
inline void settle_subtree(const RulePlan* plan, PlanAt* at) {
    if (plan == nullptr || plan->trusting || !at->state.in_subtree() || plan->step_count == 0) return;
    uint32_t slots[kMaxPathSteps + 1];
    int count = 0;
    slots[count++] = at->state.policy();
    for (int w = 0; w < kPathWords; w++) {
        for (uint64_t bits = at->state.live[w]; bits != 0; bits &= bits - 1) {
            uint32_t q = uint32_t(w * 64 + __builtin_ctzll(bits));
            while (q < plan->step_count && plan->steps[q].kind != PathStep::kEnd) q++;
            if (q < plan->step_count && plan->steps[q].policy != 0) slots[count++] = plan->steps[q].policy;
        }
    }
    const int64_t slot = covering_slot(plan, slots, count);
    if (slot < 0) return;
    for (int w = 0; w < kPathWords; w++) at->state.live[w] = 0;
    at->state.selected = PathState::kInSubtree | uint32_t(slot);
}

// `at` joined with the root of `plan`: under a hiding plan the live
// positions of both (a path from either may select what is below), in
// P's subtree or else the root's; a trusting plan trusts only what both
// trust. The rest is P's: its policy slot and whether it may be replaced.
// Joined inside a selected subtree, it is settled (settle_subtree).
inline PlanAt with_root(const RulePlan* plan, PlanAt at) {
    if (plan == nullptr) return at;
    const PathState& root = plan->root;
    for (int w = 0; w < kPathWords; w++) {
        at.state.live[w] = plan->trusting ? at.state.live[w] & root.live[w] : at.state.live[w] | root.live[w];
    }
    if (plan->trusting) {
        if (!root.in_subtree()) at.state.selected = 0;
    } else if (!at.state.in_subtree()) {
        at.state.selected = root.selected;
    }
    settle_subtree(plan, &at);
    return at;
}

// The place of a member or item in state `state` of the container at
// `parent`: the container's slot, or the policy of a path that selects it.
inline PlanAt place_below(const PlanAt& parent, const PathState& state) {
    PlanAt place{state, parent.slot, false};
    if (state.policy() != 0) place.slot = state.policy();
    return place;
}

// The place of an item of the list at `list`, whatever its index (a path
// that takes any index of it takes this one): where a list override that
// walks a copy of an item stores what comes back.
inline PlanAt any_item_of(const RulePlan* plan, const PlanAt& list) {
    PathState item = list.state;
    if (plan->step_count != 0) {
        uint64_t taken[kPathWords];
        for (int w = 0; w < kPathWords; w++) taken[w] = list.state.live[w] & (plan->any[w] | plan->indexed[w]);
        plan_detail::advance(plan, list.state, taken, &item);
        plan_select(plan, &item, list.state.selected);
    }
    return place_below(list, item);
}

// Places of one plan joined into one that hides all that any of them
// hides: under a hiding plan the union of their live positions (each path
// that may select a value below any of them may select it here), selected
// when any is, by a policy that shows no more than any of theirs; a
// trusting plan trusts only what all of them trust (the positions live in
// all, selected when all are). Its slot covers theirs; it may be replaced
// when any may, or slot 0 where none covers them all: a joined place is
// walked by the plan's joined policy (RulePlan::joined), which shows no
// more than any slot, whichever slot it names.
class PlaceJoin {
public:
    explicit PlaceJoin(const RulePlan* plan) : plan_(plan) {}

    void add(const PlanAt& o) {
        if (count_++ == 0) at_ = o;
        for (int w = 0; w < kPathWords; w++) {
            if (plan_->trusting) {
                at_.state.live[w] &= o.state.live[w];
            } else {
                at_.state.live[w] |= o.state.live[w];
            }
        }
        if (o.state.in_subtree()) {
            note(selected_, selected_count_, o.state.policy());
        } else {
            all_selected_ = false;
        }
        note(slots_, slot_count_, o.slot);
        at_.root = at_.root || o.root;
    }

    // The joined place into *out; false when there is none.
    bool joined(PlanAt* out) const {
        if (count_ == 0) return false;
        PlanAt at = at_;
        at.state.selected = 0;
        const bool in_subtree = plan_->trusting ? all_selected_ : selected_count_ > 0;
        if (in_subtree) {
            const int64_t policy = plan_->trusting || overflow_ ? 0 : covering_slot(plan_, selected_, selected_count_);
            at.state.selected = PathState::kInSubtree | uint32_t(policy < 0 ? 0 : policy);
        }
        const int64_t slot = overflow_ ? 0 : covering_slot(plan_, slots_, slot_count_);
        at.slot = uint32_t(slot < 0 ? 0 : slot);
        *out = at;
        return true;
    }

private:
    static constexpr int kMaxSlots = 16;

    // Each distinct slot once: the count of places joined is not bounded,
    // that of the plan's slots is.
    void note(uint32_t* kept, int& count, uint32_t slot) {
        for (int i = 0; i < count; i++) {
            if (kept[i] == slot) return;
        }
        if (count == kMaxSlots) {
            overflow_ = true;
            return;
        }
        kept[count++] = slot;
    }

    const RulePlan* plan_;
    PlanAt at_{};
    int count_ = 0;
    uint32_t selected_[kMaxSlots];
    int selected_count_ = 0;
    bool all_selected_ = true;
    uint32_t slots_[kMaxSlots];
    int slot_count_ = 0;
    bool overflow_ = false;
};

// Whether `copy` holds what `member` holds, object for object and in the
// same order: a copy of it (dict(member), member.copy(), list(member), a
// slice of all of it). Reads both; runs no code (no lookup, no comparison).
// Adds what it read to `spent`.
inline bool copied_from(PyObject* copy, PyObject* member, Py_ssize_t& spent) {
    spent++;
    if (PyDict_Check(copy)) {
        if (!PyDict_Check(member) || PyDict_GET_SIZE(member) != PyDict_GET_SIZE(copy)) return false;
        Py_ssize_t at_copy = 0, at_member = 0;
        PyObject *key, *value, *member_key, *member_value;
        while (PyDict_Next(copy, &at_copy, &key, &value)) {
            spent++;
            if (!PyDict_Next(member, &at_member, &member_key, &member_value)) return false;
            if (key != member_key || value != member_value) return false;
        }
        return true;
    }
    if (!PyList_Check(copy) || !PyList_Check(member) || PyList_GET_SIZE(member) != PyList_GET_SIZE(copy)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(copy); i++) {
        spent++;
        if (PyList_GET_ITEM(copy, i) != PyList_GET_ITEM(member, i)) return false;
    }
    return true;
}

// The place of the member of the container a record holds under `key` (a
// dict's), or at `pos` (a list's: `key` null).
inline PlanAt member_place(const RulePlan* plan, const PendingWalk& record, PyObject* key, Py_ssize_t pos) {
    return place_below(record.at, key != nullptr ? plan_member_of(plan, record.at.state, key)
                                                 : plan_item(plan, record.at.state, pos));
}

// Joins into `join` the places of the members of the large container a
// record holds that the record's index filed with what `copy` holds (the
// same objects in the same order, when the index was made), those still
// held where they were filed; false when there is none. Every such member
// joins, whatever order the copies come in: members that hold the same
// objects are told apart by nothing. The members are not read again: one
// the override changed since may no longer hold what the copy holds, and
// joining its place too only hides more. What it joins is never all there
// may be: the member the copy was made of may have been changed to hold
// what another held, moved, or put in after the index was made, and the
// index still finds the others (the caller reads the members too).
inline bool join_filed_members(PlaceJoin& join, const RulePlan* plan, PendingWalk& record, PyObject* copy) {
    MemberIndex& index = record.copy_index;
    const MemberIndex::Filed filed = index.under(MemberIndex::hash_of(copy));
    if (filed.first == filed.second) return false;
    const auto [first, last] = index.places(record.target, filed, [&](PyObject* key, Py_ssize_t pos) {
        return member_place(plan, record, key, pos);
    });
    for (const PlanAt* place = first; place != last; ++place) join.add(*place);
    return first != last;
}

// Joins into `join` the place of the member of the container a record
// holds that `copy` is a copy of: an override handed that container that
// walks a copy of one of its members through super() and stores what comes
// back in that member's place. (The copy is walked at the container's place
// too: that it is a copy of a member is a guess, which may only hide more.)
// An empty copy holds nothing a place could select.
// A small container is read in full for each copy; a larger one is indexed
// by what its members hold (join_filed_members) the first time. The index
// knows the members as they were when it was made: a member the override
// changed to hold what another held, moved, or put in since is found only
// by reading. So the members are read from where the record's last copy
// was found (an override walks copies of its members in order) up to the
// first that `copy` is a copy of, on two budgets (one for copies the index
// found, one for the others), all such reads of one record together within
// a few times the container's size, so that copies of each of n members
// cost O(n), not O(n²); with the first spent, a few members from there.
// A copy found by neither is walked at the container's place alone, as
// one of no member is.
// A container of at most this many members is read in full for each copy.
inline constexpr Py_ssize_t kReadAllMembers = 16;
inline void join_copied_members(PlaceJoin& join, const RulePlan* plan, PendingWalk& record, PyObject* copy) {
    PyObject* const held = record.target;
    if (plan->step_count == 0 || copy == held) return;
    if (PyDict_Check(copy) ? PyDict_GET_SIZE(copy) == 0 : !PyList_Check(copy) || PyList_GET_SIZE(copy) == 0) {
        return;
    }
    const bool dict = PyDict_Check(held);
    if (!dict && !PyList_Check(held)) return;
    const Py_ssize_t size = dict ? PyDict_GET_SIZE(held) : PyList_GET_SIZE(held);
    if (size <= kReadAllMembers) {
        // Few members: read them all, every time, and join each that the
        // copy matches. Members that hold the same objects are told apart
        // by nothing, and an override walking copies out of order would
        // spend a budget of a few times the size before the last is found.
        Py_ssize_t spent = 0;
        if (dict) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(held, &pos, &key, &value)) {
                if (!copied_from(copy, value, spent)) continue;
                join.add(member_place(plan, record, key, 0));
            }
        } else {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(held); i++) {
                if (!copied_from(copy, PyList_GET_ITEM(held, i), spent)) continue;
                join.add(member_place(plan, record, nullptr, i));
            }
        }
        return;
    }
    if (!record.copy_index_tried) {
        record.copy_index_tried = true;
        record.copy_index.make(held);
    }
    // Reads the members from the cursor (wrapping around once) up to the
    // first that `copy` is a copy of, joins its place and moves the cursor
    // past it; true when found. The members read up to the one found are
    // charged to `budget`; reading that one costs what walking the copy
    // costs, and charging it would spend the budget on copies made in order
    // of members with more than a few keys. (What is charged stays below
    // the budget: -1 marks it unset.)
    auto search = [&](Py_ssize_t& budget) {
        if (budget < 0) budget = 4 * size + 64;
        Py_ssize_t spent = 0;
        const Py_ssize_t from = record.copy_cursor;
        for (int lap = 0; lap < 2 && spent < budget; lap++) {
            // The first lap reads from the cursor to the end, the second
            // from the start to the cursor.
            Py_ssize_t pos = lap == 0 ? from : 0;
            const Py_ssize_t end = lap == 0 ? PY_SSIZE_T_MAX : from;
            if (dict) {
                PyObject *key, *value;
                while (spent < budget && pos < end && PyDict_Next(held, &pos, &key, &value)) {
                    if (pos - 1 >= end) continue;
                    const Py_ssize_t missed = spent;
                    if (!copied_from(copy, value, spent)) continue;
                    join.add(member_place(plan, record, key, 0));
                    record.copy_cursor = pos;
                    budget -= missed + 1;
                    return true;
                }
            } else {
                for (; spent < budget && pos < end && pos < PyList_GET_SIZE(held); pos++) {
                    const Py_ssize_t missed = spent;
                    if (!copied_from(copy, PyList_GET_ITEM(held, pos), spent)) continue;
                    join.add(member_place(plan, record, nullptr, pos));
                    record.copy_cursor = pos + 1;
                    budget -= missed + 1;
                    return true;
                }
            }
        }
        budget = spent < budget ? budget - spent : 0;
        return false;
    };
    if (record.copy_index.made() && join_filed_members(join, plan, record, copy)) {
        // The index found members that held what the copy holds; the one
        // the copy was made of may be another (changed to hold the same,
        // moved, put in since). It is searched for too, on a budget of its
        // own, so that copies the index finds, which an override walking
        // them far out of order makes of members anywhere, do not spend
        // the budget of those it does not find; once that is spent, the
        // next few members from the cursor (an override walking copies in
        // order made it of the member there) are read, charged to nothing:
        // a few members per copy keep the cost O(n).
        if (search(record.found_budget)) return;
        Py_ssize_t spent = 0;
        Py_ssize_t pos = record.copy_cursor;
        for (Py_ssize_t read = 0; read < kReadAllMembers; read++) {
            PyObject *key = nullptr, *value;
            if (dict) {
                if (!PyDict_Next(held, &pos, &key, &value)) return;
            } else {
                if (pos >= PyList_GET_SIZE(held)) return;
                value = PyList_GET_ITEM(held, pos++);
            }
            if (!copied_from(copy, value, spent)) continue;
            join.add(member_place(plan, record, key, pos - 1));
            record.copy_cursor = pos;
            return;
        }
        return;
    }
    search(record.copy_budget);
}

}  // namespace pending_detail

// What a walk that is not nested in this module's own walk follows, held
// for the walk. Where it cannot tell which place the walk belongs to, it
// hides more, never less:
//  1. a record of a hand-off of `target` to `self` for `method` that no walk
//     follows now, made by this thread (the newest): its place, exactly;
//  2. else such records made by other threads: one, or several that agree,
//     give their place, several that disagree the join of their places
//     (PlaceJoin); either way joined with the target's own root
//     (with_root), since a thread that handed the container off nowhere
//     may be making a call of its own on it. Records of different plans
//     fail the walk rather than have it guess;
//  3. else, for a super() called straight from the frame of an override
//     this thread is running for a container of `self` at place P (a copy
//     of that container, say, which has no record of its own): P joined
//     with the target's own root (with_root). What the override returns is
//     stored at P, so it must hide what P hides; what it does with a
//     document of its own must hide what that document's root hides;
//  4. else, while any hand-off of a container to `self` is in progress (any
//     thread, any method, followed by a walk or not): the walk may be a
//     super() the override runs from code of its own (a helper, a lambda, a
//     generator, a closure, a finaliser, another thread) on a copy of its
//     container (or, for a list override, of an item of it) whose result
//     it stores at its place, or a call of its own. It follows the join of
//     every such record's place (and, for a list, the place of an item of
//     any index), joined with its root.
//     The records' plan is their call's; the walk of a call of its own
//     would follow the omitter's plan as it is now. When those are not one
//     plan (an __init__ run mid-walk), the walk fails (RuntimeError) rather
//     than follow one of them;
//  5. else the omitter's plan as it is now, from the target's root.
// Steps 2 to 4 walk by the plan's joined policy (RulePlan::joined): a path
// or rule that the join brings in, ending at a value, shows no more of it
// than the policy of the place it belongs to would.
// Only walks entered from outside this module's walk get here, and only
// while some hand-off is recorded (walk_omit tests pending_walks).
class TakenWalk {
public:
    TakenWalk(OmitterObject* self, PyObject* target, WalkMethod method) {
        const unsigned long me = PyThread_get_thread_ident();
        PendingWalk* first_other = nullptr;
        bool agree = true;
        for (PendingWalk* p = pending_walks; p != nullptr; p = p->next) {
            if (!untaken_record_of(p, self, target, method)) continue;
            if (p->thread == me) {
                take(p);
                return;
            }
            if (first_other == nullptr) {
                first_other = p;
            } else if (!pending_detail::same_place(*first_other, *p)) {
                agree = false;
            }
        }
        if (first_other != nullptr) {
            if (agree) {
                take(first_other);
                at_ = pending_detail::with_root(plan_, at_);
                follow_joined();
            } else {
                merge_places(self, target, method);
            }
            return;
        }
        if (PendingWalk* p = record_of_calling_override(self, method, me)) {
            plan_ = p->plan;
            at_ = p->at;
            if (plan_ != nullptr) {
                pending_detail::PlaceJoin join(plan_);
                join.add(p->at);
                pending_detail::join_copied_members(join, plan_, *p, target);
                join.joined(&at_);
            }
            at_ = pending_detail::with_root(p->plan, at_);
            follow_joined();
            return;
        }
        plan_ = rule_plan_of(self);
        for (PendingWalk* p = pending_walks; p != nullptr; p = p->next) {
            if (p->owner == self) {
                join_every_hand_off(self, target);
                return;
            }
        }
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
    // The places could not be joined: an exception is set, and the walk
    // must not run.
    bool failed() const { return failed_; }
    const RulePlan* plan() const { return plan_; }
    const PlanAt& at() const { return at_; }

private:
    static bool untaken_record_of(const PendingWalk* p, OmitterObject* self, PyObject* target, WalkMethod method) {
        return p->owner == self && p->target == target && p->method == method && p->taken == 0;
    }

    void take(PendingWalk* p) {
        p->taken++;
        serial_ = p->serial;
        plan_ = p->plan;
        at_ = p->at;
    }

    // The record of the override whose frame called this walk: the caller's
    // caller is the frame that was running when this thread handed a
    // container of `self` off for `method`.
    static PendingWalk* record_of_calling_override(OmitterObject* self, WalkMethod method, unsigned long me) {
        bool any = false;
        for (PendingWalk* p = pending_walks; p != nullptr && !any; p = p->next) {
            any = p->frame != nullptr && p->thread == me && p->owner == self && p->method == method;
        }
        if (!any) return nullptr;
        PyFrameObject* current = PyEval_GetFrame();  // borrowed
        if (current == nullptr) return nullptr;
        Ref back = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(current)));
        if (!back) return nullptr;
        for (PendingWalk* p = pending_walks; p != nullptr; p = p->next) {
            if (p->frame == back.get() && p->thread == me && p->owner == self && p->method == method) return p;
        }
        return nullptr;
    }

    // Step 2 when other threads' places differ: their join, with the root.
    // Records of different plans cannot be joined.
    void merge_places(OmitterObject* self, PyObject* target, WalkMethod method) {
        const RulePlan* plan = nullptr;
        bool first = true;
        bool one_plan = true;
        for (PendingWalk* p = pending_walks; p != nullptr; p = p->next) {
            if (!untaken_record_of(p, self, target, method)) continue;
            if (first) plan = exact_of(p->plan);
            one_plan = one_plan && exact_of(p->plan) == plan;
            first = false;
        }
        if (one_plan && plan != nullptr) {
            pending_detail::PlaceJoin join(plan);
            for (PendingWalk* p = pending_walks; p != nullptr; p = p->next) {
                if (untaken_record_of(p, self, target, method)) join.add(p->at);
            }
            if (join.joined(&at_)) {
                plan_ = plan;
                at_ = pending_detail::with_root(plan, at_);
                follow_joined();
                return;
            }
        }
        refuse("a container handed to an override by several threads at once, at places that cannot be joined, "
               "was walked on a thread that handed it off at none of them");
    }

    // Step 4: every hand-off to `self` in progress, joined with the root of
    // the plan the walk would follow (plan_, the omitter's now).
    void join_every_hand_off(OmitterObject* self, PyObject* target) {
        bool one_plan = true;
        for (PendingWalk* p = pending_walks; p != nullptr; p = p->next) {
            if (p->owner == self) one_plan = one_plan && exact_of(p->plan) == plan_;
        }
        if (one_plan && plan_ == nullptr) return;  // no plan: nothing of a place to follow
        if (one_plan) {
            pending_detail::PlaceJoin join(plan_);
            for (PendingWalk* p = pending_walks; p != nullptr; p = p->next) {
                if (p->owner != self) continue;
                join.add(p->at);
                if (p->method == WalkMethod::kOmitRecurse) join.add(pending_detail::any_item_of(plan_, p->at));
                pending_detail::join_copied_members(join, plan_, *p, target);
            }
            if (join.joined(&at_)) {
                at_ = pending_detail::with_root(plan_, at_);
                follow_joined();
                return;
            }
        }
        refuse("a walk made while containers of its omitter are handed to overrides, at places that cannot be "
               "joined with its root (another plan: its rules changed mid-walk), was refused rather than walked "
               "at one of them");
    }

    // A walk that cannot tell its place hides each value by one policy that
    // shows no more of it than any the plan has (RulePlan::joined): a path or
    // rule joined in from another place, ending at a value, must not show
    // more of it than the exact place would.
    // Nothing above such a walk replaces its target either: what it hands
    // back is stored as it is (an override's copy, or a document of its
    // own), so under `whole` what a path selects in it is replaced item by
    // item, as in a root, even where the joined place lies in a selected
    // subtree (joined with the place of an item of a list, say).
    void follow_joined() {
        if (failed_ || plan_ == nullptr) return;
        plan_ = plan_->joined;
        at_.root = true;
    }

    static const RulePlan* exact_of(const RulePlan* plan) { return plan != nullptr ? plan->exact : nullptr; }

    void refuse(const char* message) {
        plan_ = nullptr;
        failed_ = true;
        PyErr_SetString(PyExc_RuntimeError, message);
    }

    uint64_t serial_ = 0;
    const RulePlan* plan_ = nullptr;
    PlanAt at_{};
    bool failed_ = false;
};

// A hand-off of `target`, recorded for as long as this lives.
class PendingScope {
public:
    PendingScope(OmitterObject* self, PyObject* target, WalkMethod method, const RulePlan* plan, const PlanAt* at,
                 PyObject* frame = nullptr)
        : record_{self,
                  target,
                  method,
                  plan,
                  at != nullptr ? *at : PlanAt{},
                  PyThread_get_thread_ident(),
                  frame,
                  ++pending_serials,
                  0,
                  nullptr,
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
    // Under a plan the frame running now is kept, so that a super() the
    // override calls on another container (a copy) finds this place.
    PyObject* frame = plan != nullptr ? reinterpret_cast<PyObject*>(PyEval_GetFrame()) : nullptr;
    PendingScope pending(self, target, method, plan, at, frame);
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
