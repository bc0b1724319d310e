// How the object walks (in place, and velmora.redact's copies) follow a
// rule plan (rule_plan.h): the decision for one member or item, and what a
// hidden number or boolean becomes. The scanner decides the same document
// the same way (scan/grammar.h: decide); what differs is only how a value
// is read and written.
//
// Everything here is inline: velmora.redact includes it too. Nothing here
// runs Python code unless a comment says so.
#pragma once

#include "keys.h"
#include "ref.h"
#include "rule_plan.h"

#include <cmath>
#include <cstring>
#include <utility>

namespace velmora {

// Where a container stands for the plan: its state, the policy slot its
// items take when its key hides them, and whether it is the walk's target
// (which cannot be replaced: under `whole`, what a path selecting the
// target covers is replaced member by member, item by item).
struct PlanAt {
    PathState state;
    uint32_t slot;
    bool root;
};

inline PlanAt plan_root(const RulePlan* plan) { return PlanAt{plan->root, 0, true}; }

// What the plan decides for one member or item.
struct PlanDecision {
    PathState state;  // the value's own state, for what it holds
    uint32_t slot;    // the policy it is masked by
    bool hide;
    bool replace;     // `whole`: replaced by the policy's text, whatever it is
};

// A member's key as the walks meet it: a ready str (a subclass by its
// text). Two str in canonical form are equal only with the same length and
// kind, so most names are told apart without a call.
struct KeyLabel {
    PyObject* name;
    bool matches(const PathStep& step) const { return matches_str(step.name_str); }
    bool matches_str(PyObject* other) const {
        if (other == name) return true;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
        if (PyUnicode_GET_LENGTH(other) != n || PyUnicode_KIND(other) != PyUnicode_KIND(name)) return false;
        return std::memcmp(PyUnicode_DATA(other), PyUnicode_DATA(name), size_t(n) * PyUnicode_KIND(name)) == 0;
    }
};

// The named positions among `live` that name the exact str `key`, whose
// hash is `hash`, found in the plan's table of names: one probe and one
// compare of text for most keys, whatever the number of live positions.
inline void plan_names_by_hash(const RulePlan* plan, PyObject* key, Py_hash_t hash, const uint64_t* live,
                               uint64_t* names) {
    const KeyLabel label{key};
    for (size_t i = size_t(hash) & plan->name_mask;; i = (i + 1) & plan->name_mask) {
        const PlanName& slot = plan->names[i];
        if (slot.name == nullptr) break;
        if (slot.hash == hash && label.matches_str(slot.name)) {
            for (int w = 0; w < kPathWords; w++) names[w] = slot.positions[w] & live[w];
            return;
        }
    }
    for (int w = 0; w < kPathWords; w++) names[w] = 0;
}

// The named positions among `among` that name the member `key` (any key:
// only a str names one). `hash`: the key's hash when the caller has it at
// hand (an exact str), -1 when not.
inline void plan_key_names(const RulePlan* plan, PyObject* key, Py_hash_t hash, const uint64_t* among,
                           uint64_t* names) {
    if (!PyUnicode_Check(key)) {
        for (int w = 0; w < kPathWords; w++) names[w] = 0;
    } else if (!PyUnicode_IS_READY(key)) {
        plan_names(plan, StrLabel{key}, among, names);  // a legacy str (3.11): compared by the call
    } else if (!PyUnicode_CheckExact(key)) {
        plan_names(plan, KeyLabel{key}, among, names);  // its own hash may be anything
    } else {
        if (hash == -1) hash = PyObject_Hash(key);  // an exact str: runs no code, cannot fail
        plan_names_by_hash(plan, key, hash, among, names);
    }
}

// The state of the member `key` of a container in state `parent`: a str
// key (a subclass by its text) meets the named steps, any key meets '*'.
inline PathState plan_member_of(const RulePlan* plan, const PathState& parent, PyObject* key,
                                Py_hash_t hash = -1) {
    if (plan->step_count == 0) return PathState{};
    uint64_t names[kPathWords] = {};
    uint64_t named = 0;
    for (int w = 0; w < kPathWords; w++) named |= parent.live[w] & plan->named[w];
    if (named != 0) plan_key_names(plan, key, hash, parent.live, names);
    return plan_member_by(plan, parent, names);
}

// What the members of a container in one state have in common, found once
// per container: the state of a member that no live step names (every
// member, but for the few whose names the live steps take), and whether any
// live step names a member at all.
struct PlanMembers {
    PathState unnamed;
    bool named;
    size_t spread;  // PlanMemberMemo::spread of the container's state
};

// PlanMembers::spread of a container in state `parent`: what spreads the
// slots of the memos kept by state (a few bits of the state, mixed).
inline size_t plan_spread(const PathState& parent) {
    return size_t((parent.live[0] ^ parent.live[kPathWords - 1] ^ parent.selected) * 0x9E3779B97F4A7C15ull >> 55);
}

inline PlanMembers plan_members(const RulePlan* plan, const PathState& parent) {
    PlanMembers members{};
    if (plan->step_count == 0) return members;
    const uint64_t none[kPathWords] = {};
    members.unnamed = plan_member_by(plan, parent, none);
    uint64_t named = 0;
    for (int w = 0; w < kPathWords; w++) named |= parent.live[w] & plan->named[w];
    members.named = named != 0;
    members.spread = plan_spread(parent);
    return members;
}

// plan_member_of(plan, parent, key, hash), from what the members of
// `parent` have in common (plan_members): only a member some live step
// names is stepped on its own.
inline PathState plan_member_in(const RulePlan* plan, const PathState& parent, const PlanMembers& members,
                                PyObject* key, Py_hash_t hash = -1) {
    if (!members.named) return members.unnamed;
    uint64_t names[kPathWords];
    plan_key_names(plan, key, hash, parent.live, names);
    uint64_t any = 0;
    for (int w = 0; w < kPathWords; w++) any |= names[w];
    return any == 0 ? members.unnamed : plan_member_by(plan, parent, names);
}

// The policy slot of the exact-key rule a str subclass `key` is hidden by,
// found by its text: the scanner and redacted() meet the same text as an
// exact key, and a rule's policy must not fall back to the omitter's own
// because the key's type differs. (Patterns and words decide exact str
// keys only.) -1 failed. Allocates the text; runs no code.
inline int plan_subclass_key_policy(const RulePlan* plan, PyObject* key) {
    Ref text = Ref::steal(PyUnicode_FromObject(key));
    return text ? plan->exact_policy(plan, text.get()) : -1;
}

// The decision for the member `key` whose state is `d->state` (set by the
// caller). `ask(key)`: the key's verdict, 1 or 0, -1 failed (may run code);
// `policy_of(key)`: the slot of the most specific key rule with a policy
// (an exact str key; a str subclass is met by plan_subclass_key_policy),
// -1 failed; `denied(key)`: 1 when a word never
// trusted is in it (an exact str key), -1 failed. 0, or -1 failed.
template <class Ask, class PolicyOf, class Denied>
[[gnu::always_inline]] inline int plan_decide_member(const RulePlan* plan, bool whole, PyObject* key, PlanDecision* d, Ask&& ask,
                              PolicyOf&& policy_of, Denied&& denied) {
    const bool selected = d->state.in_subtree();
    d->slot = 0;
    if (plan->trusting) {
        int hide;
        if (selected) {
            hide = PyUnicode_CheckExact(key) && plan->step_count != 0 ? denied(key) : 0;
        } else {
            hide = ask(key);
        }
        if (hide < 0) return -1;
        d->hide = hide != 0;
    } else if (selected && (d->state.policy() != 0 || !plan->keyed)) {
        d->hide = true;
        d->slot = d->state.policy();
    } else {
        const int verdict = ask(key);
        if (verdict < 0) return -1;
        d->hide = selected || verdict != 0;
        d->slot = d->state.policy();
        if (d->slot == 0 && verdict && plan->keyed && PyUnicode_Check(key)) {
            const int slot = PyUnicode_CheckExact(key) ? policy_of(key) : plan_subclass_key_policy(plan, key);
            if (slot < 0) return -1;
            d->slot = uint32_t(slot);
        }
    }
    // As without a plan, `whole` replaces what an exact str key hides; a
    // path replaces what it selects under any key.
    d->replace = whole && d->hide && (PyUnicode_CheckExact(key) || selected);
    return 0;
}

// The decision for the item `index` of a list at `at`, which its key hides
// (`do_hide`) or not. Asks nothing.
inline PlanDecision plan_decide_item(const RulePlan* plan, bool whole, const PlanAt& at, bool do_hide,
                                     Py_ssize_t index) {
    PlanDecision d{};
    if (plan->step_count != 0) d.state = plan_item(plan, at.state, index);
    const bool selected = d.state.in_subtree();
    if (plan->trusting) {
        d.hide = !selected && do_hide;
    } else {
        d.hide = selected || do_hide;
        d.slot = d.state.policy() != 0 ? d.state.policy() : do_hide ? at.slot : 0;
    }
    // Only the outermost selection is replaced (what is inside it goes with
    // it), but the target itself cannot be.
    d.replace = whole && d.hide && selected && (!at.state.in_subtree() || at.root);
    return d;
}

// Whether the items of a list with decision `d` are decided by its key
// alone and masked by the omitter's own policy: no path selects it or can
// select an item of it (no live step takes an item), and no number or
// boolean of it is to be masked.
inline bool plan_items_plain(const RulePlan* plan, const PlanDecision& d) {
    if (d.state.in_subtree() || d.slot != 0 || (plan->typed && d.hide)) return false;
    for (int w = 0; w < kPathWords; w++) {
        if (d.state.live[w] & (plan->any[w] | plan->indexed[w])) return false;
    }
    return true;
}

// What a str that slot 0 hides is masked by: the call's own mask (`call`,
// read once per call: str_hook.h), but under a joined plan
// (RulePlan::own_mask) the one policy all its slots take.
template <bool kPlan>
inline const MaskPolicy* plan_own_mask(const MaskPolicy* call, const RulePlan* plan) {
    if constexpr (kPlan) {
        if (plan->own_mask != nullptr) return plan->own_mask;
    }
    return call;
}

// What a plan's policy slot is, checked: slots come from the plan itself.
inline const PlanPolicy& plan_policy(const RulePlan* plan, uint32_t slot) {
    return plan->policies[slot < plan->policy_count ? slot : 0];
}

// ---- Numbers and booleans ----------------------------------------------------------

namespace plan_scalars {

enum class Kind { kOther, kBool, kInt, kFloat, kComplex };

// By the value's own type: bool before int. (What `__class__` claims does
// not count: an object that only claims to be a bool is none of these.)
inline Kind kind_of(PyObject* value) {
    PyTypeObject* tp = Py_TYPE(value);
    if (tp == &PyBool_Type) return Kind::kBool;
    if (PyType_HasFeature(tp, Py_TPFLAGS_LONG_SUBCLASS)) return Kind::kInt;
    if (tp == &PyFloat_Type || PyType_IsSubtype(tp, &PyFloat_Type)) return Kind::kFloat;
    if (tp == &PyComplex_Type || PyType_IsSubtype(tp, &PyComplex_Type)) return Kind::kComplex;
    return Kind::kOther;
}

// int('8' * n) for an int of n decimal digits, sign kept. An int or a
// subclass, read through int's own slots: no Python code runs.
inline PyObject* int_digits(PyObject* value) {
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (small == -1 && PyErr_Occurred()) return nullptr;
    if (overflow == 0) {
        unsigned long long magnitude = small < 0 ? 0ull - static_cast<unsigned long long>(small) : small;
        long long eights = 8;
        while (magnitude >= 10) {  // at most 19 digits: 19 eights fit
            magnitude /= 10;
            eights = eights * 10 + 8;
        }
        return PyLong_FromLongLong(small < 0 ? -eights : eights);
    }
    // Past 19 digits: the count from the bit length, checked against powers
    // of ten, and 8 * (10**n - 1) // 9, without text (str() of a big int
    // has a limit).
    Ref magnitude = Ref::steal(PyLong_Type.tp_as_number->nb_absolute(value));  // an exact int
    if (!magnitude) return nullptr;
    Ref bits = Ref::steal(PyObject_CallMethod(magnitude.get(), "bit_length", nullptr));
    if (!bits) return nullptr;
    const double estimate = std::floor(PyLong_AsDouble(bits.get()) * 0.30102999566398120);
    if (estimate == -1.0 && PyErr_Occurred()) return nullptr;
    Ref ten = Ref::steal(PyLong_FromLong(10));
    Ref n = Ref::steal(PyLong_FromDouble(estimate + 1));  // digits, or one more
    if (!ten || !n) return nullptr;
    for (int adjust = 0; adjust < 2; adjust++) {
        Ref one = Ref::steal(PyLong_FromLong(1));
        Ref below = one ? Ref::steal(PyNumber_Subtract(n.get(), one.get())) : Ref();
        Ref floor = below ? Ref::steal(PyNumber_Power(ten.get(), below.get(), Py_None)) : Ref();
        if (!floor) return nullptr;
        const int too_many = PyObject_RichCompareBool(magnitude.get(), floor.get(), Py_LT);
        if (too_many < 0) return nullptr;
        if (!too_many) break;
        n = std::move(below);
    }
    Ref power = Ref::steal(PyNumber_Power(ten.get(), n.get(), Py_None));
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref nines = power && one ? Ref::steal(PyNumber_Subtract(power.get(), one.get())) : Ref();
    Ref eight = Ref::steal(PyLong_FromLong(8));
    Ref nine = Ref::steal(PyLong_FromLong(9));
    Ref times = nines && eight ? Ref::steal(PyNumber_Multiply(nines.get(), eight.get())) : Ref();
    Ref eights = times && nine ? Ref::steal(PyNumber_FloorDivide(times.get(), nine.get())) : Ref();
    if (!eights) return nullptr;
    // int's own compare: a subclass's __lt__ is not asked.
    Ref negative = Ref::steal(PyLong_Type.tp_richcompare(value, one.get(), Py_LT));
    if (!negative) return nullptr;
    return negative.get() == Py_True ? PyNumber_Negative(eights.get()) : eights.release();
}

// A float's repr with every digit an 8, read back (as the scanner writes
// the number json.dumps wrote): 1250.0 becomes 8888.8, 1e-07 8e-88; one
// that reads back too big is inf, as json.loads would make it. NaN and
// infinities have no digits: 0.0.
inline PyObject* float_digits(double value) {
    if (!std::isfinite(value)) return PyFloat_FromDouble(0.0);
    char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) return nullptr;
    for (char* c = text; *c != '\0'; c++) {
        if (*c >= '0' && *c <= '9') *c = '8';
    }
    const double eights = PyOS_string_to_double(text, nullptr, nullptr);
    PyMem_Free(text);
    if (eights == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(eights);
}

// Whether `mask` is `value` already: the same exact type and value.
inline bool same(PyObject* value, PyObject* mask) {
    if (value == mask) return true;
    if (Py_TYPE(value) != Py_TYPE(mask)) return false;
    if (PyFloat_CheckExact(value)) {
        const double a = PyFloat_AS_DOUBLE(value), b = PyFloat_AS_DOUBLE(mask);
        return a == b && std::signbit(a) == std::signbit(b);
    }
    if (PyLong_CheckExact(value)) return PyObject_RichCompareBool(value, mask, Py_EQ) == 1;  // ints: no code
    return false;
}

}  // namespace plan_scalars

// What the hidden number or boolean `value` becomes under `policy`: a new
// reference, to `value` itself when it stays (kept, or already its mask; an
// object of another type always stays); null with an exception set. A
// subclass of int or float becomes an exact int or float. Runs no Python
// code.
inline PyObject* plan_scalar_mask(const PlanPolicy& policy, PyObject* value) {
    using plan_scalars::Kind;
    const Kind kind = plan_scalars::kind_of(value);
    PyObject* mask = nullptr;
    if (kind == Kind::kBool) {
        if (policy.booleans == kBooleansKeep) return new_ref(value);
        mask = new_ref(policy.booleans == kBooleansFalse ? Py_False : policy.text);
    } else if (kind == Kind::kOther || policy.numbers == kNumbersKeep) {
        return new_ref(value);
    } else if (policy.numbers == kNumbersString) {
        mask = new_ref(policy.text);
    } else if (kind == Kind::kInt) {
        mask = policy.numbers == kNumbersZero ? PyLong_FromLong(0) : plan_scalars::int_digits(value);
    } else if (kind == Kind::kFloat) {
        mask = policy.numbers == kNumbersZero ? PyFloat_FromDouble(0.0)
                                              : plan_scalars::float_digits(PyFloat_AS_DOUBLE(value));
    } else {
        mask = PyComplex_FromDoubles(0.0, 0.0);  // not JSON: zero and digits alike
    }
    if (mask == nullptr || !plan_scalars::same(value, mask)) return mask;
    Py_DECREF(mask);
    return new_ref(value);
}

// Whether the mask of the number or boolean `value` is made without making
// an object the collector tracks: a big int's digits are counted through
// calls that make such objects, and a collection may run finalisers, which
// may change any container. Only such masks are made where a walk reads a
// table or an item array in place. Runs no code.
inline bool plan_scalar_quiet(PyObject* value) {
    if (!PyLong_Check(value) || PyBool_Check(value)) return true;
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(value, &overflow);  // int's own digits, read without a call: cannot fail
    return overflow == 0;
}

// Whether a hidden value of this type may become something else under the
// plan: numbers and booleans only when some policy masks them.
inline bool plan_masks_scalars(const RulePlan* plan) { return plan->typed; }

// ---- Verdicts by key object ----------------------------------------------------------

// The entry of the plan's table of names whose text is the exact str
// `key` (hash `hash`, -1 when not at hand), null when no step names it.
// Runs no code.
inline const PlanName* plan_name_of(const RulePlan* plan, PyObject* key, Py_hash_t hash) {
    if (plan->names == nullptr) return nullptr;
    if (!PyUnicode_IS_READY(key)) {  // a legacy str (3.11): compared by the call
        for (size_t i = 0; i <= plan->name_mask; i++) {
            const PlanName& entry = plan->names[i];
            if (entry.name != nullptr && PyUnicode_Compare(entry.name, key) == 0) return &entry;
        }
        return nullptr;
    }
    if (hash == -1) hash = PyObject_Hash(key);  // an exact str: runs no code, cannot fail
    const KeyLabel label{key};
    for (size_t i = size_t(hash) & plan->name_mask;; i = (i + 1) & plan->name_mask) {
        const PlanName& entry = plan->names[i];
        if (entry.name == nullptr) return nullptr;
        if (entry.hash == hash && label.matches_str(entry.name)) return &entry;
    }
}

// What the plan says about exact str keys already met, by key object: the
// entry of its table of names the key's text is (found when the key is
// first met), and the plan's answer about the key (a key rule's policy
// slot, or a word never trusted; -1 until asked). Like the verdict memo,
// it holds no references: an entry stands only while the epoch it was made
// in does, and no key is freed without the epoch moving. The text of an
// exact str never changes.
struct PlanKeyMemo {
    static constexpr size_t kSize = 512;
    struct Slot {
        const RulePlan* plan = nullptr;
        PyObject* key = nullptr;
        uint64_t epoch = 0;
        const PlanName* name = nullptr;
        int answer = -1;
    };
    Slot slots[kSize];

    Slot& slot_for(PyObject* key) {
        const auto address = reinterpret_cast<uintptr_t>(key);
        return slots[((address >> 4) ^ (address >> 13)) & (kSize - 1)];
    }
    // The entry of the exact str `key` at `epoch`, made when none stands.
    // Runs no code.
    [[gnu::always_inline]] Slot& of(const RulePlan* plan, PyObject* key, uint64_t epoch) {
        Slot& slot = slot_for(key);
        if (slot.key == key && slot.plan == plan && slot.epoch == epoch) return slot;
        slot = Slot{plan, key, epoch, plan_name_of(plan, key, -1), -1};
        return slot;
    }
};

// The state of a member of a container in state `parent`, whose name is
// the entry `name` of the plan's table (null: none), from what the members
// of `parent` have in common (plan_members).
[[gnu::always_inline]] inline PathState plan_member_named(const RulePlan* plan, const PathState& parent,
                                                          const PlanMembers& members, const PlanName* name) {
    if (name == nullptr || !members.named) return members.unnamed;
    uint64_t names[kPathWords];
    uint64_t any = 0;
    for (int w = 0; w < kPathWords; w++) {
        names[w] = name->positions[w] & parent.live[w];
        any |= names[w];
    }
    return any == 0 ? members.unnamed : plan_member_by(plan, parent, names);
}

// The states of members some live step names, already met, by key object
// and the state of the container: a document's members of one place share
// their key objects (json.loads makes one str per key text), and their
// containers share a state. Like PlanKeyMemo, it holds no references and an
// entry stands only while the epoch it was made in does.
struct PlanMemberMemo {
    static constexpr size_t kSize = 256;
    struct Slot {
        const RulePlan* plan = nullptr;
        PyObject* key = nullptr;
        uint64_t epoch = 0;
        PathState parent{};
        PathState child{};
    };
    Slot slots[kSize];

    static bool same(const PathState& a, const PathState& b) {
        uint64_t differ = a.selected ^ b.selected;
        for (int w = 0; w < kPathWords; w++) differ |= a.live[w] ^ b.live[w];
        return differ == 0;
    }
    // plan_member_named(plan, parent, members, name) for the exact str
    // `key` whose entry of names is `name`, at `epoch`.
    PathState member(const RulePlan* plan, const PathState& parent, const PlanMembers& members, PyObject* key,
                     const PlanName* name, uint64_t epoch) {
        const auto address = reinterpret_cast<uintptr_t>(key);
        Slot& slot = slots[((address >> 4) ^ (address >> 12) ^ members.spread) & (kSize - 1)];
        if (slot.key == key && slot.plan == plan && slot.epoch == epoch && same(slot.parent, parent)) return slot.child;
        const PathState child = plan_member_named(plan, parent, members, name);
        slot = Slot{plan, key, epoch, parent, child};
        return child;
    }
};

// What the plan decided for members already met, whose decision was known
// without running anything: by key object, omitter, plan and the state of
// the container, the member's own state, whether it is hidden and its
// policy slot (what plan_member_named and plan_decide_member give, with no
// `whole` policy). A document's members of one place share their key
// objects and their containers share a state, so a member is decided by
// one lookup. Like PlanKeyMemo, it holds no references and an entry stands
// only while the epoch it was made in does: a verdict, a key rule's answer
// and a name's entry all stand that long.
struct PlanDecisionMemo {
    static constexpr size_t kSize = 256;
    struct Slot {
        PyObject* key = nullptr;
        const void* owner = nullptr;
        const RulePlan* plan = nullptr;
        uint64_t epoch = 0;
        PathState parent{};
        PathState child{};
        uint32_t slot = 0;
        bool hide = false;
    };
    Slot slots[kSize];

    // The slot of `key` in a container whose state has the spread `spread`
    // (PlanMembers::spread).
    [[gnu::always_inline]] Slot& slot_for(PyObject* key, size_t spread) {
        const auto address = reinterpret_cast<uintptr_t>(key);
        return slots[((address >> 4) ^ (address >> 12) ^ spread) & (kSize - 1)];
    }
    // Whether `slot` holds the decision for `key` of `owner` under `plan`
    // in a container in state `parent`, at `epoch`.
    [[gnu::always_inline]] static bool holds(const Slot& slot, PyObject* key, const void* owner, const RulePlan* plan,
                                             uint64_t epoch, const PathState& parent) {
        uint64_t differ = (uintptr_t(slot.key) ^ uintptr_t(key)) | (uintptr_t(slot.owner) ^ uintptr_t(owner)) |
                          (uintptr_t(slot.plan) ^ uintptr_t(plan)) | (slot.epoch ^ epoch) |
                          (slot.parent.selected ^ parent.selected);
        for (int w = 0; w < kPathWords; w++) differ |= slot.parent.live[w] ^ parent.live[w];
        return differ == 0;
    }
};

}  // namespace velmora
