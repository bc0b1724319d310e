// A rule omitter's plan: what the walks and the scanner read, beyond the
// verdict of a key, to decide a value (abi.h: the entry `rule_plan`).
//
// A plan is compiled once, when the omitter is made, and never changes or
// goes away before the omitter dies (a re-initialised omitter keeps its
// older plans alive), so a walk may borrow it for the whole call, and the
// scanner may read it without the interpreter lock.
//
// It answers three things:
//  * Paths: which values a JSON path selects. The paths are one automaton
//    over path steps; its state is a small value (PathState) that a walk
//    carries down: a container's members and items get their state from the
//    container's state and their own name or index (plan_step). Nothing is
//    allocated per step.
//  * Policies: what a hidden value becomes, by type: `policies[0]` is the
//    omitter's own, the others belong to rules (a path, an exact key, a
//    pattern or a word).
//  * Which rule's policy a hidden key's value takes (`key_policy`).
#pragma once

#include "abi.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velmora {

// What a hidden number becomes.
enum NumberPolicy : int32_t {
    kNumbersKeep = 0,    // unchanged
    kNumbersZero = 1,    // 0, or 0.0 for a float
    kNumbersDigits = 2,  // each digit an 8, the rest as written
    kNumbersString = 3,  // the policy's `text`, as a str
};

// What a hidden boolean becomes.
enum BooleanPolicy : int32_t {
    kBooleansKeep = 0,
    kBooleansFalse = 1,
    kBooleansString = 2,  // the policy's `text`, as a str
};

struct PlanPolicy {
    MaskPolicy str;    // how a str is masked; `whole` is the omitter's
    int32_t numbers;   // NumberPolicy
    int32_t booleans;  // BooleanPolicy
    // kNumbersString and kBooleansString: an exact str, the policy's fixed
    // mask or "[Filtered]".
    PyObject* text;
};

// How much of a hidden value a policy still shows, per kind of value (0
// nothing; more, more). A fixed text shows nothing of a value; zero and
// false still show a value that was 0 or False as it was.
inline int numbers_shown(int32_t n) {
    return n == kNumbersKeep ? 3 : n == kNumbersDigits ? 2 : n == kNumbersZero ? 1 : 0;
}
inline int booleans_shown(int32_t n) { return n == kBooleansKeep ? 2 : n == kBooleansFalse ? 1 : 0; }
inline Py_ssize_t str_shown(const MaskPolicy& m) {
    return m.kind == MaskPolicy::kFixed ? 0 : m.kind == MaskPolicy::kStars ? 1 : 1 + m.keep;
}

// Whether `a` shows no more than `b` of any kind of value.
inline bool policy_covers(const PlanPolicy& a, const PlanPolicy& b) {
    return numbers_shown(a.numbers) <= numbers_shown(b.numbers) &&
           booleans_shown(a.booleans) <= booleans_shown(b.booleans) && str_shown(a.str) <= str_shown(b.str);
}

// One position of the automaton: the step that leads from it to the next
// position, or the end of a path.
struct PathStep {
    enum Kind : uint8_t {
        kMember,   // the member `name`
        kAny,      // every member or item
        kIndex,    // the item `index`
        kDescend,  // the member `name` at any depth below (stays live)
        kEnd,      // the path is complete: the value here is selected
    };
    Kind kind;
    uint32_t policy;     // kEnd: the path's policy slot, 0 for none of its own
    Py_ssize_t index;    // kIndex
    const char* name;    // kMember, kDescend: UTF-8 ("surrogatepass" for lone surrogates)
    size_t name_size;
    PyObject* name_str;  // the same name, an exact str, for walks over objects
};

// The live positions of the automaton, and the subtree a value is in.
inline constexpr int kPathWords = 2;
inline constexpr uint32_t kMaxPathSteps = 64 * kPathWords;

struct PathState {
    uint64_t live[kPathWords];
    // kInSubtree: this value or one of its containers is selected (every
    // str, number and boolean inside is hidden); the low bits: the policy
    // slot of the innermost selection that has one (0: none).
    uint32_t selected;
    static constexpr uint32_t kInSubtree = 0x80000000u;

    bool dead() const {
        uint64_t any = 0;
        for (int i = 0; i < kPathWords; i++) any |= live[i];
        return any == 0;
    }
    bool in_subtree() const { return (selected & kInSubtree) != 0; }
    uint32_t policy() const { return selected & ~kInSubtree; }
};

// The kMember and kDescend positions that name one text (RulePlan::names).
struct PlanName {
    PyObject* name;  // an exact str; null: an empty slot
    Py_hash_t hash;
    uint64_t positions[kPathWords];
};

struct RulePlan {
    uint32_t policy_count;
    const PlanPolicy* policies;  // [0]: the omitter's own

    uint32_t step_count;  // 0: no paths
    const PathStep* steps;
    uint64_t ends[kPathWords];  // the kEnd positions
    // The positions by the kind of their step, for stepping by masks.
    uint64_t any[kPathWords];      // kAny
    uint64_t descend[kPathWords];  // kDescend
    uint64_t indexed[kPathWords];  // kIndex
    uint64_t named[kPathWords];    // kMember and kDescend
    PathState root;             // the state of the top-level value
    // The named positions by name, for walks over objects: a table open by
    // str hash, `name_mask + 1` slots (a power of two, at most half full),
    // null when no step names a member. A member's name is looked up once,
    // whatever the number of named positions live.
    const PlanName* names;
    size_t name_mask;
    // Bit `hash & 63` set for the hash of every name in `names`: a key
    // whose hash has its bit clear is named by no step.
    uint64_t name_filter;

    // For a RuleNoTrustOmitter, a path selects what is trusted.
    bool trusting;
    // Some policy masks numbers or booleans.
    bool typed;
    // Some exact key, pattern or word has a policy: ask key_policy.
    bool keyed;
    // Some pattern has a policy: key_policy may search with a regex, which
    // may let signal handlers run.
    bool searched;

    // The policy slot of the most specific rule (exact key, pattern, word)
    // that matches the exact str `key` and has a policy; 0 for none, -1
    // with an exception set. Runs no Python code but a regex search, which
    // may let signal handlers run.
    int (*key_policy)(const RulePlan* plan, PyObject* key);
    // The policy slot of the exact-key rule whose text is the exact str
    // `text` and that has a policy; 0 for none, -1 with an exception set.
    // Runs no code. (A str subclass key meets the exact keys by its text
    // alone, as `key in keys` does unless it compares otherwise.)
    int (*exact_policy)(const RulePlan* plan, PyObject* text);
    // For a trusting plan: 1 when the exact str `key` holds a word that is
    // never trusted (defaults=True), so that a path cannot trust its value;
    // 0 when not; -1 with an exception set. Runs no Python code.
    int (*key_denied)(const RulePlan* plan, PyObject* key);
    void* own;  // the omitter module's

    // What a walk follows where it cannot tell which place it belongs to (a
    // place joined with others, or with the root): the same rules and paths,
    // but every slot masks by one policy that shows, of each kind of value,
    // no more than the least any of this plan's shows, so that no path or
    // rule joined in shows more than the exact place would. Never null; a
    // joined plan's `joined` is itself.
    const RulePlan* joined;
    // The plan a joined plan was made from; an exact plan's own self.
    const RulePlan* exact;
    // For a joined plan: what a str hidden by slot 0 is masked by in place
    // of the omitter's own mask (which an __init__ run mid-walk may have
    // replaced since the plan was made). Null for an exact plan.
    const MaskPolicy* own_mask;
};

// ---- The automaton ------------------------------------------------------------

// A member's name as raw UTF-8 bytes (the scanner: a name without escapes,
// or decoded to the same form).
struct ByteLabel {
    const char* name;
    size_t size;
    bool matches(const PathStep& step) const {
        return step.name_size == size && std::memcmp(step.name, name, size) == 0;
    }
};

// A member's name as an exact str (walks over objects). Comparing two str
// runs no code and allocates nothing.
struct StrLabel {
    PyObject* name;
    bool matches(const PathStep& step) const {
        return step.name_str == name || PyUnicode_Compare(step.name_str, name) == 0;
    }
};

namespace plan_detail {

inline void mark(uint64_t* live, uint32_t position) { live[position >> 6] |= uint64_t(1) << (position & 63); }

// The positions `taken` moved one step on, plus the descents, which stay.
inline void advance(const RulePlan* plan, const PathState& parent, const uint64_t* taken, PathState* child) {
    uint64_t carry = 0;
    for (int w = 0; w < kPathWords; w++) {
        child->live[w] = (taken[w] << 1) | carry | (parent.live[w] & plan->descend[w]);
        carry = taken[w] >> 63;
    }
}

}  // namespace plan_detail

// Which kMember and kDescend positions name `label`, among `among` (all of
// them, for a table kept per key, or only the live ones), into `names`.
template <class Label>
inline void plan_names(const RulePlan* plan, const Label& label, const uint64_t* among, uint64_t* names) {
    for (int w = 0; w < kPathWords; w++) {
        names[w] = 0;
        for (uint64_t bits = among[w] & plan->named[w]; bits != 0; bits &= bits - 1) {
            const uint32_t p = uint32_t(w * 64 + __builtin_ctzll(bits));
            if (label.matches(plan->steps[p])) names[w] |= uint64_t(1) << (p & 63);
        }
    }
}

// The `selected` part of a state whose live positions are set: selected when
// a path ends here, inside the parent's subtree otherwise. The policy is the
// one of the first path listed that ends here and has one, else the
// subtree's.
inline void plan_select(const RulePlan* plan, PathState* state, uint32_t inherited) {
    state->selected = inherited;
    for (int w = 0; w < kPathWords; w++) {
        uint64_t ends = state->live[w] & plan->ends[w];
        if (ends == 0) continue;
        state->selected |= PathState::kInSubtree;
        for (; ends != 0; ends &= ends - 1) {
            const uint32_t policy = plan->steps[uint32_t(w * 64 + __builtin_ctzll(ends))].policy;
            if (policy != 0) {
                state->selected = PathState::kInSubtree | policy;
                return;
            }
        }
    }
}

// The state of a member of a container in state `parent`, from the
// positions that name it (plan_names).
inline PathState plan_member_by(const RulePlan* plan, const PathState& parent, const uint64_t* names) {
    PathState child{};
    uint64_t taken[kPathWords];
    for (int w = 0; w < kPathWords; w++) taken[w] = parent.live[w] & (plan->any[w] | names[w]);
    plan_detail::advance(plan, parent, taken, &child);
    plan_select(plan, &child, parent.selected);
    return child;
}

// The state of a member named `label` of a container in state `parent`.
template <class Label>
inline PathState plan_member(const RulePlan* plan, const PathState& parent, const Label& label) {
    uint64_t names[kPathWords];
    plan_names(plan, label, parent.live, names);
    return plan_member_by(plan, parent, names);
}

// The state of the item `index` of an array in state `parent`.
inline PathState plan_item(const RulePlan* plan, const PathState& parent, Py_ssize_t index) {
    PathState child{};
    uint64_t taken[kPathWords];
    for (int w = 0; w < kPathWords; w++) {
        taken[w] = parent.live[w] & plan->any[w];
        for (uint64_t bits = parent.live[w] & plan->indexed[w]; bits != 0; bits &= bits - 1) {
            const uint32_t p = uint32_t(w * 64 + __builtin_ctzll(bits));
            if (plan->steps[p].index == index) taken[w] |= uint64_t(1) << (p & 63);
        }
    }
    plan_detail::advance(plan, parent, taken, &child);
    plan_select(plan, &child, parent.selected);
    return child;
}

}  // namespace velmora
