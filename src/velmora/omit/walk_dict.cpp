// Slot 2, `omit`: the walk of a dict.
//
// The walk changes the caller's dict in place and keeps what it has done
// when it fails. Python code can run in the middle of it (overrides,
// `__eq__` of key-list items in should_hide, `__class__` in the number
// test, key comparisons in stores, finalisers of what it lets go), so the
// pair it stands on is held, and the dict is looked at afresh after any
// point where foreign code may have run.
//
// In order, as `for key, value in target.items()` would do it:
//   1. the override dispatch, for an object of a Python subclass;
//   2. `target` None: AttributeError;
//   3. before each step, the size test ("dictionary changed size during
//      iteration"), then the next pair, held until the next one is read;
//   4. per pair: numbers are passed over; a str value is masked when its
//      key is hidden; a dict value is walked and stored back; a list value
//      is walked with its key's verdict and stored back;
//   5. the dict itself is returned.
#include "walk.h"

#include "classify.h"
#include "cpython.h"
#include "depth.h"
#include "held.h"
#include "registry.h"
#include "str_hook.h"
#include "traceback.h"
#include "walk_steps.h"

#include <pthread.h>

#include <cerrno>

namespace velmora {

__attribute__((tls_model("initial-exec"))) thread_local OpenHook open_hook = {};

namespace {

// ---- Stores ----------------------------------------------------------------------

// What the walk says when a store under a key reached another entry and the
// value read cannot be replaced where it stands.
constexpr const char* kStoreMissed =
    "a store under a key of the dict reached another entry: the value read was left as it was";

// Whether `value` already reads as `mask`: nothing of it is left to hide.
inline bool reads_as(PyObject* value, PyObject* mask) {
    return value == mask || (PyUnicode_CheckExact(value) && PyUnicode_Compare(value, mask) == 0);
}

// Store a mask under `key`. An exact str key carries its hash once it has
// been in a dict, so the store need not ask for it again.
int store_mask(PyObject* dict, PyObject* key, PyObject* mask) {
    if (PyUnicode_CheckExact(key)) {
        const Py_hash_t hash = cpython::cached_str_hash(key);
        if (hash != -1) return cpython::dict_set_known_hash(dict, key, mask, hash);
    }
    return PyDict_SetItem(dict, key, mask);
}

// A list under a str key of a dict of str keys, walked where it stands in
// the dict walk when that can be done without running or holding anything:
// its items are scalars, other objects the list walk passes over, or exact
// str of up to kSharedMasks characters, whose masks are already made. The
// list walk would enter one more level and leave it again; this checks that
// it could. False, with nothing changed or only masks written that the list
// walk would write again the same, when the list walk must do it.
inline bool walk_plain_list(OmitterObject* self, PyObject* list, int do_hide) {
    if (native_stack_low() || counting_thread() == nullptr) return false;
    PyObject** const items = cpython::list_items(list);
    const Py_ssize_t length = PyList_GET_SIZE(list);
    prefetch_first_items(items, length);
    bool written = false;
    for (Py_ssize_t i = 0; i < length; i++) {
        PyObject* item = items[i];
        PyTypeObject* tp = Py_TYPE(item);
        if (!(tp->tp_flags & kWalkedFlags)) continue;
        if (tp != &PyUnicode_Type) return false;
        if (!do_hide) continue;
        if (cpython::fill_mask(item)) {  // the list alone holds it: it becomes its own mask
            written = true;
            continue;
        }
        PyObject* mask = made_mask(item);
        if (mask == nullptr) return false;
        if (mask == item) continue;
        items[i] = new_ref(mask);
        Py_DECREF(item);  // an exact str: its release runs no code
        written = true;
    }
    if (written) key_list_written(self, list);
    return true;
}

// The plan's answers by key object (the interpreter lock guards it, as it
// does the verdict memo).
PlanKeyMemo plan_key_memo;
PlanMemberMemo plan_member_memo;
PlanDecisionMemo plan_decision_memo;

// What the members of a dict have in common for the plan (plan_members),
// found the first time a member needs it: most dicts of a document have
// every member decided by PlanDecisionMemo, which asks only for the spread
// of the dict's state (PlanMembers::spread, found with the walk).
struct LazyMembers {
    PlanMembers members;
    bool found;
};

template <bool kPlan>
inline PlanField<kPlan, LazyMembers> plan_members_at(const PlanAt* at) {
    if constexpr (kPlan) {
        LazyMembers lazy{};
        lazy.members.spread = plan_spread(at->state);
        return lazy;
    } else {
        return NoPlan(nullptr);
    }
}

// How a step ended: go on in the same table, read the table afresh (foreign
// code may have run), the end of the dict, or a failure.
enum class Step { kOn, kForeign, kEnd, kFailed };

// Made twice: without a plan, the walk neither keeps nor tests a plan or a
// place, and its loops are those it had before plans.
template <bool kPlan>
class DictWalk {
public:
    DictWalk(OmitterObject* self, PyObject* target, const StrHook* hook, const MaskPolicy* mask, const RulePlan* plan,
             const PlanAt* at)
        : self_(self),
          target_(target),
          dict_(Ref::borrow(target)),
          hook_(hook),
          policy_(plan_own_mask<kPlan>(mask, plan)),
          general_only_(policy_ != nullptr && policy_->whole),
          size_(PyDict_GET_SIZE(target)),
          cursor_(target),
          plan_(plan),
          at_(at),
          members_(plan_members_at<kPlan>(at)) {}

    PyObject* run();

private:
    [[gnu::always_inline]] PyObject* loop();
    [[gnu::always_inline]] Step table_steps(const cpython::EntryTable& table);
    Step general_step();
    template <bool kHook>
    Step fast_steps(const cpython::EntryTable& table);
    [[gnu::always_inline]] Step held_step(PyObject* key, PyObject* value, bool nested_dict);
    void prefetch(const cpython::EntryTable& table);
    void look_ahead(const cpython::EntryTable& table, Py_ssize_t pos);
    [[gnu::always_inline]] int mask_in_place(PyObject** slot, PyObject* value);
    [[gnu::always_inline]] int write_in_place(PyObject** slot, PyObject* value, PyObject* mask);

    int omit_entry(uint64_t read_at);
    int hide_whole_value(int* verdict, uint64_t read_at);
    int entry_str(int verdict, uint64_t read_at);
    int look_at_str(uint64_t read_at);
    int entry_list(int verdict, uint64_t read_at);
    [[gnu::always_inline]] int omit_nested_dict(uint64_t read_at);
    int store_pair_mask(PyObject* mask, uint64_t read_at);
    int store_walked(PyObject* walked, uint64_t read_at);
    int mend_store(PyObject* replacement);

    // Under a rule plan (walk_plan.h).
    [[gnu::always_inline]] PyObject* run_planned();
    Step plan_steps(const cpython::EntryTable& table);
    Step plan_dict_step(PyObject* key, PyObject* value, const PathState& state);
    [[gnu::always_inline]] int quiet_decision(PyObject* key, PlanDecision* d);
    template <bool kLive>
    [[gnu::always_inline]] int quiet_member(PyObject* key, PlanDecision* d);
    [[gnu::noinline]] int quiet_member_met(PyObject* key, PlanDecision* d, PlanDecisionMemo::Slot* known,
                                           uint64_t epoch);
    [[gnu::noinline]] int plan_entry(uint64_t read_at);  // kept out of omit_entry, which the walk inlines
    int plan_decide(PyObject* key, PlanDecision* d);
    PathState plan_member(PyObject* key);
    [[gnu::always_inline]] PlanKeyMemo::Slot& plan_key(PyObject* key);
    [[gnu::always_inline]] PathState plan_str_member(PyObject* key);
    int plan_key_policy(PyObject* key);
    int plan_key_denied(PyObject* key);
    int plan_str(const PlanDecision& d, uint64_t read_at);
    int plan_mask_in_place(PyObject** slot, PyObject* value, uint32_t policy_slot);
    // Whether the policy `policy_slot` (not 0) masks a str into one of its
    // length, and, where it does, the exact str `value` made its own mask
    // (cpython::fill_mask_keeping).
    bool plan_keeps_length(uint32_t policy_slot) const {
        const MaskPolicy& str = plan_policy(plan_, policy_slot).str;
        return str.kind == MaskPolicy::kKeepLast && !str.whole;
    }
    bool plan_fills(uint32_t policy_slot, PyObject* value) const {
        return plan_keeps_length(policy_slot) &&
               cpython::fill_mask_keeping(value, plan_policy(plan_, policy_slot).str.keep);
    }
    int plan_scalar(const PlanDecision& d, uint64_t read_at);
    int plan_list(const PlanDecision& d, uint64_t read_at);
    int plan_plain_list(PyObject* list, const PlanDecision& d);
    PyObject* plan_str_mask(uint32_t slot, PyObject* value) {
        return slot == 0 ? mask_value(policy_, value) : mask_value(&plan_policy(plan_, slot).str, value);
    }

    // Short lists of plain items can be walked in the dict walk when nothing
    // could tell: the omitter's type cannot override the list walk, its
    // table's list walk is this module's, masks are the default's, and no
    // hook looks at the items a verdict lets through.
    bool plain_lists() const {
        return !may_override(Py_TYPE(self_)) && self_->vtab->omit_recurse == walk_omit_recurse &&
               policy_ == nullptr && hook_ == nullptr;
    }

    OmitterObject* const self_;
    PyObject* const target_;
    Ref dict_;
    CurrentPair pair_;  // released before `dict_`, on every way out
    const StrHook* const hook_;  // null: none
    const MaskPolicy* const policy_;
    // A whole-value policy asks about every key: every entry takes the
    // general step.
    const bool general_only_;
    const Py_ssize_t size_;
    cpython::DictCursor cursor_;
    Py_ssize_t fetched_ = 0;  // entries below this were prefetched
    bool ahead_ = false;  // the containers after the first one entered were asked for
    // Under a plan only: the plan, and where the dict stands for it.
    [[no_unique_address]] const PlanField<kPlan, const RulePlan*> plan_;
    [[no_unique_address]] const PlanField<kPlan, const PlanAt*> at_;
    // What the dict's members have in common (plan_members): see members().
    [[no_unique_address]] PlanField<kPlan, LazyMembers> members_;
    // The dict's members' common part, found on first use. (The plan and the
    // dict's place are the walk's for its whole length.)
    const PlanMembers& members() {
        if (!members_.found) [[unlikely]] {
            members_.members = plan_members(plan_, at_->state);
            members_.found = true;
        }
        return members_.members;
    }
};

template <bool kPlan>
PyObject* DictWalk<kPlan>::run() {
    if constexpr (kPlan) {
        return run_planned();
    } else {
        return loop();
    }
}

// run() under a plan, inlined into omit_dict_planned with the loop and the
// steps read in place: a nested dict then costs one frame (a smaller one
// than the three it took when this was a call of its own) and no set-up
// beyond the walk's own fields.
template <bool kPlan>
inline PyObject* DictWalk<kPlan>::run_planned() {
    return loop();
}

template <bool kPlan>
inline PyObject* DictWalk<kPlan>::loop() {
    for (;;) {
        if (PyDict_GET_SIZE(target_) != size_) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return fail(Site::OmitIteration);
        }
        cpython::EntryTable table;
        const Step step = !pair_.empty() || general_only_ || !cpython::entry_table(target_, &table)
                              ? general_step()
                              : table_steps(table);
        if (step == Step::kFailed) return nullptr;
        if (step == Step::kEnd) break;
    }
    return dict_.release();
}

// Entries read in place: by the plan, else with or without a hook.
template <bool kPlan>
inline Step DictWalk<kPlan>::table_steps(const cpython::EntryTable& table) {
    if constexpr (kPlan) {
        return plan_steps(table);
    } else {
        return hook_ != nullptr ? fast_steps<true>(table) : fast_steps<false>(table);
    }
}

// One step in general: the next pair is held before the one before is let
// go, which may run code.
template <bool kPlan>
Step DictWalk<kPlan>::general_step() {
    PyObject *key, *value;
    if (!cursor_.next(&key, &value)) return Step::kEnd;
    return held_step(key, value, false);
}

// Hold the pair just read and deal with it in general. With nothing run
// since the pair was read, letting go of it now is the same as letting go
// when the next one is read; otherwise it stays held, and the next step is
// a general one with the table read afresh.
template <bool kPlan>
inline Step DictWalk<kPlan>::held_step(PyObject* key, PyObject* value, bool nested_dict) {
    const uint64_t read_at = foreign_code_epoch;
    pair_.hold(key, value);
    if ((nested_dict ? omit_nested_dict(read_at) : omit_entry(read_at)) < 0) return Step::kFailed;
    if (foreign_code_epoch != read_at || !pair_.lets_go_quietly()) return Step::kForeign;
    pair_.let_go();
    return Step::kOn;
}

// Read entries in place for as long as nothing can have changed the dict
// (and no pair is held): values of built-in scalar types are passed over,
// and str values whose verdict is known without a call are decided and
// masked right here, without running or holding anything. Anything else
// takes a held step, after which the table is read afresh if foreign code
// may have run.
// (Made twice: without a hook, a value let through costs no test at all.)
template <bool kPlan>
template <bool kHook>
Step DictWalk<kPlan>::fast_steps(const cpython::EntryTable& table) {
    const bool in_place = cursor_.writes_in_place();
    const bool plain_lists = table.str_keys && this->plain_lists();
    prefetch(table);
    for (Py_ssize_t pos = cursor_.pos();;) {
        pos = table.next_live(pos);
        if (pos >= table.n) return Step::kEnd;
        PyObject** slot = table.slot(pos++);
        PyObject* const key = slot[0];
        PyObject* const value = slot[1];
        const ValueKind kind = builtin_kind(Py_TYPE(value));
        if (kind == ValueKind::kScalar) continue;
        if (kind == ValueKind::kStr && PyUnicode_CheckExact(key)) {
            const int hide = quiet_should_hide(self_, key);
            if (hide == 0) {
                if constexpr (!kHook) continue;
                // A value the verdict lets through is looked at here; one
                // found to hold something is written where it stands, or
                // stored by the held step, which looks at it again.
                PyObject* looked = hook_->apply(hook_, value);
                if (looked == nullptr) {
                    fail_status(Site::OmitStrMask);
                    return Step::kFailed;
                }
                if (looked == value || in_place) {
                    if (write_in_place(slot, value, looked) < 0) return Step::kFailed;
                    continue;
                }
                Py_DECREF(looked);
            } else if (hide > 0 && in_place) {
                if (mask_in_place(slot, value) < 0) return Step::kFailed;
                continue;
            }
        } else if (kind == ValueKind::kList && plain_lists && PyUnicode_CheckExact(key)) {
            const int hide = quiet_should_hide(self_, key);
            if (hide >= 0 && walk_plain_list(self_, value, hide)) continue;
        }
        cursor_.pos() = pos;
        if (kind != ValueKind::kStr && !ahead_) look_ahead(table, pos);
        const Step step = held_step(key, value, kind == ValueKind::kDict);
        if (step != Step::kOn) return step;
    }
}

// Ask for the next values' headers all at once: data just parsed is not in
// the cache, and their types are read one after another. (A prefetch never
// faults, so empty entries need no test.)
template <bool kPlan>
void DictWalk<kPlan>::prefetch(const cpython::EntryTable& table) {
    const Py_ssize_t pos = cursor_.pos();
    if (fetched_ >= table.n) return;
    const Py_ssize_t end = table.n < pos + kPrefetch ? table.n : pos + kPrefetch;
    char* const stop = table.keys + end * table.stride;
    for (char* p = reinterpret_cast<char*>(table.slot(pos > fetched_ ? pos : fetched_)); p < stop; p += table.stride) {
        prefetch_object(reinterpret_cast<PyObject**>(p)[1]);
    }
    fetched_ = end;
}

// Before the walk first leaves this dict for a value of its own, ask for
// the contents of the containers after it, whose headers the prefetch
// above has brought in by now: their walks begin with a read of those.
template <bool kPlan>
void DictWalk<kPlan>::look_ahead(const cpython::EntryTable& table, Py_ssize_t pos) {
    ahead_ = true;
    const Py_ssize_t end = fetched_ < table.n ? fetched_ : table.n;
    for (; pos < end; pos++) {
        PyObject* const value = table.slot(pos)[1];
        if (value != nullptr) cpython::prefetch_contents(value);
    }
}

// Mask the exact str `value` in the entry `slot` of a table whose writes
// are stores. A value the entry alone holds becomes its own mask, which
// frees nothing and leaves nothing of the value in memory; the dict still
// takes a new tag, as for a store. 0, or -1 with the traceback entry.
template <bool kPlan>
inline int DictWalk<kPlan>::mask_in_place(PyObject** slot, PyObject* value) {
    if (policy_ == nullptr && cpython::str_fillable(value)) {
        if (!cursor_.retag(foreign_code_epoch)) return fail_status(Site::OmitStrMask);
        if (cpython::fill_mask(value)) return 0;
    }
    PyObject* mask = mask_value(policy_, value);
    if (mask == nullptr) return fail_status(Site::OmitStrMask);
    return write_in_place(slot, value, mask);
}

// Write `mask` (stolen) over the exact str `value` in `slot`, as
// mask_in_place does. 0, or -1 with the traceback entry.
template <bool kPlan>
inline int DictWalk<kPlan>::write_in_place(PyObject** slot, PyObject* value, PyObject* mask) {
    if (mask == value) {  // this very mask already: a store would change nothing
        Py_DECREF(mask);
        return 0;
    }
    if (!cursor_.retag(foreign_code_epoch)) {
        Py_DECREF(mask);
        return fail_status(Site::OmitStrMask);
    }
    slot[1] = mask;
    Py_DECREF(value);  // an exact str: its release runs no code
    return 0;
}

// ---- One entry, in general ----------------------------------------------------------

// Any key and any value, with Python code possibly run by the number test,
// should_hide, the nested walks and the stores. The pair is held (since
// `read_at`). 0 when done, -1 on failure (with its traceback entry).
template <bool kPlan>
int DictWalk<kPlan>::omit_entry(uint64_t read_at) {
    if constexpr (kPlan) return plan_entry(read_at);
    int verdict = -1;  // asked already, by a whole-value policy
    if (general_only_ && PyUnicode_CheckExact(pair_.key())) {
        const int hidden = hide_whole_value(&verdict, read_at);
        if (hidden != 0) return hidden < 0 ? -1 : 0;
    }
    PyObject* const value = pair_.value();
    unsigned long flags;
    switch (builtin_kind(Py_TYPE(value))) {
        case ValueKind::kScalar:
            return 0;
        case ValueKind::kStr:
            return entry_str(verdict, read_at);
        case ValueKind::kDict:
            return omit_nested_dict(read_at);
        case ValueKind::kList:
            return entry_list(verdict, read_at);
        case ValueKind::kUnknown:
            break;
    }
    const int number = is_number(value);
    if (number != 0) return number < 0 ? fail_status(Site::OmitNumberTest) : 0;
    flags = Py_TYPE(value)->tp_flags;
    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return entry_str(verdict, read_at);
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) return fail_unexpected_status("dict", value, Site::OmitDict);
    if (flags & Py_TPFLAGS_LIST_SUBCLASS) return entry_list(verdict, read_at);
    return 0;
}

// A whole-value policy asks about every str key first, and hides what
// stands under a hidden one whatever its type. 1 hidden, 0 not (the
// verdict kept for the value's own branch), -1 failed.
template <bool kPlan>
int DictWalk<kPlan>::hide_whole_value(int* verdict, uint64_t read_at) {
    *verdict = ask_should_hide(self_, pair_.key());
    if (!*verdict) return PyErr_Occurred() ? fail_status(Site::OmitStrKey) : 0;
    return store_pair_mask(policy_->text, read_at) < 0 ? -1 : 1;
}

// A str value (or a str subclass): masked when its key is hidden.
template <bool kPlan>
int DictWalk<kPlan>::entry_str(int verdict, uint64_t read_at) {
    PyObject* const key = pair_.key();
    PyObject* const value = pair_.value();
    if (!key_is_str_or_none(key)) return fail_unexpected_status("unicode", key, Site::OmitStrKey);
    const int hide = verdict >= 0 ? verdict : ask_should_hide(self_, key);
    if (!hide) {
        if (PyErr_Occurred()) return fail_status(Site::OmitStrKey);
        return hook_ != nullptr ? look_at_str(read_at) : 0;
    }
    if (!PyUnicode_CheckExact(value)) return fail_unexpected_status("unicode", value, Site::OmitStrMask);
    Ref mask = Ref::steal(mask_value(policy_, value));
    if (!mask) return fail_status(Site::OmitStrMask);
    return store_pair_mask(mask.get(), read_at);
}

// A str value its key lets through, looked at by the hook: what it finds
// masked is stored as a key's mask is.
template <bool kPlan>
int DictWalk<kPlan>::look_at_str(uint64_t read_at) {
    Ref looked = Ref::steal(apply_str_hook(hook_, pair_.value()));
    if (!looked) return fail_status(Site::OmitStrMask);
    return looked.get() == pair_.value() ? 0 : store_pair_mask(looked.get(), read_at);
}

// A list value (or a list subclass): walked with its key's verdict, and
// stored back.
template <bool kPlan>
int DictWalk<kPlan>::entry_list(int verdict, uint64_t read_at) {
    PyObject* const key = pair_.key();
    PyObject* const value = pair_.value();
    if (!key_is_str_or_none(key)) return fail_unexpected_status("unicode", key, Site::OmitListKey);
    const int hide = verdict >= 0 ? verdict : ask_should_hide(self_, key);
    if (!hide && PyErr_Occurred()) return fail_status(Site::OmitListKey);
    if (!PyList_CheckExact(value)) return fail_unexpected_status("list", value, Site::OmitList);
    Ref walked = Ref::steal(walk_list_nested<false>(self_, value, hide, nullptr, nullptr));
    if (!walked || store_walked(walked.get(), read_at) < 0) return fail_status(Site::OmitList);
    return 0;
}

// An exact dict value: walked by its own keys, and stored back.
template <bool kPlan>
inline int DictWalk<kPlan>::omit_nested_dict(uint64_t read_at) {
    Ref walked = Ref::steal(walk_dict_nested<false>(self_, pair_.value(), nullptr, nullptr));
    if (!walked || store_walked(walked.get(), read_at) < 0) return fail_status(Site::OmitDict);
    return 0;
}

// Store a walked container back under the pair's key. A store of the very
// object the pair holds changes nothing, and it is skipped when it could
// not run anything either: nothing at all has run since the pair was read
// (so the entry still maps the key to the value), and the table compares
// only exact str keys. Any other store happens, and may release a value and
// run its finaliser. Another container (an override's answer) must not
// leave the one read, unwalked, where it stood. 0, or -1 failed.
template <bool kPlan>
int DictWalk<kPlan>::store_walked(PyObject* walked, uint64_t read_at) {
    PyObject* const key = pair_.key();
    PyObject* const value = pair_.value();
    if (walked == value && foreign_code_epoch == read_at && PyUnicode_CheckExact(key) &&
        cpython::str_keyed_table(target_)) {
        return 0;
    }
    const int stored = PyDict_SetItem(target_, key, walked);
    note_foreign_code();
    if (stored < 0 || walked == value) return stored;
    return mend_store(walked);
}

// Store `mask` in place of the pair's value: written into the entry where
// that is the same as the store, else stored. 0, or -1 with the traceback
// entry of a masking store.
template <bool kPlan>
int DictWalk<kPlan>::store_pair_mask(PyObject* mask, uint64_t read_at) {
    int stored = cursor_.replace_last(pair_.key(), pair_.value(), mask, foreign_code_epoch);
    if (stored == 0) {
        // With nothing foreign run since the pair was read, the value
        // replaced is still the pair's own, and the store is quiet.
        const bool quiet = foreign_code_epoch == read_at && cpython::str_keyed_table(target_);
        stored = store_mask(target_, pair_.key(), mask);
        if (!quiet) {
            note_foreign_code();
            if (stored >= 0 && !reads_as(pair_.value(), mask)) stored = mend_store(mask);
        }
    }
    return stored < 0 ? fail_status(Site::OmitStrMask) : 0;
}

// A store under the pair's key that foreign code may have run in can reach
// another entry: a key that compares equal to it now (though it did not
// when the pair went in) stands before it in the lookup. The value read
// must not stay in the entry read: `replacement` goes there in place, or
// the walk fails. 0, or -1 with the exception set.
template <bool kPlan>
int DictWalk<kPlan>::mend_store(PyObject* replacement) {
    const int mended = cursor_.replace_read(pair_.key(), pair_.value(), replacement, foreign_code_epoch);
    if (mended != 2) return mended < 0 ? -1 : 0;
    PyErr_SetString(PyExc_RuntimeError, kStoreMissed);
    return -1;
}

// ---- Under a rule plan ---------------------------------------------------------------
//
// The same steps as without a plan, in the same order (the whole-value
// question first, the number test, then by type: key checks, verdicts,
// stores and mends), with the verdict of a key widened by the plan: a value
// a path selects, or one inside a selected container, is hidden (for a
// trusting plan: trusted), and masked by the policy of the selecting path,
// else of the most specific key rule, else the omitter's own. Nested
// containers are walked at their place, for the plan the call began with
// (walk_steps.h: walk_dict_nested, walk_list_nested).

// What the plan says about the exact str `key` (PlanKeyMemo). Runs no code.
template <bool kPlan>
inline PlanKeyMemo::Slot& DictWalk<kPlan>::plan_key(PyObject* key) {
    return plan_key_memo.of(plan_, key, foreign_code_epoch);
}

// The state of the exact str member `key`: the one most members share,
// unless a live step names it. Most keys are told from the names by their
// hash alone.
template <bool kPlan>
inline PathState DictWalk<kPlan>::plan_str_member(PyObject* key) {
    const PlanMembers& members = this->members();
    if (!members.named) return members.unnamed;
    const Py_hash_t hash = cpython::cached_str_hash(key);
    if (hash != -1 && ((plan_->name_filter >> (uint64_t(hash) & 63)) & 1) == 0) return members.unnamed;
    const PlanName* const name = plan_key(key).name;
    if (name == nullptr) return members.unnamed;
    return plan_member_memo.member(plan_, at_->state, members, key, name, foreign_code_epoch);
}

// The key rule's policy slot of the exact str `key`, whose verdict hides
// it: from the memo, else asked (a regex search, where a pattern has a
// policy, may let signal handlers run). -1 failed.
template <bool kPlan>
int DictWalk<kPlan>::plan_key_policy(PyObject* key) {
    const int known = plan_key(key).answer;
    if (known >= 0) return known;
    const int slot = plan_->key_policy(plan_, key);
    if (plan_->searched) note_foreign_code();
    if (slot < 0) return -1;
    if (uint32_t(slot) >= plan_->policy_count) {
        PyErr_SetString(PyExc_SystemError, "the omitter's rule plan gave a policy it does not have");
        return -1;
    }
    plan_key(key).answer = slot;  // at the epoch as it is now
    return slot;
}

// Whether the exact str `key` holds a word never trusted. -1 failed.
template <bool kPlan>
int DictWalk<kPlan>::plan_key_denied(PyObject* key) {
    PlanKeyMemo::Slot& known = plan_key(key);
    if (known.answer >= 0) return known.answer;
    const int denied = plan_->key_denied(plan_, key);  // runs no code
    if (denied >= 0) known.answer = denied;
    return denied;
}

// The decision for the held pair's key, whose state is in `d`. -1 failed.
template <bool kPlan>
int DictWalk<kPlan>::plan_decide(PyObject* key, PlanDecision* d) {
    return plan_decide_member(
        plan_, general_only_, key, d,
        [this](PyObject* k) {
            const int hide = ask_should_hide(self_, k);
            return !hide && PyErr_Occurred() ? -1 : hide;
        },
        [this](PyObject* k) { return plan_key_policy(k); }, [this](PyObject* k) { return plan_key_denied(k); });
}

// The state of the member `key`: the one most members share, unless a live
// step names it.
template <bool kPlan>
inline PathState DictWalk<kPlan>::plan_member(PyObject* key) {
    const PlanMembers& members = this->members();
    if (!members.named) return members.unnamed;
    if (PyUnicode_CheckExact(key)) return plan_str_member(key);
    return plan_member_in(plan_, at_->state, members, key);
}

// The decision for an exact str key read in place, from what is known
// without running anything: 0 decided, 1 when only a held step can decide.
template <bool kPlan>
inline int DictWalk<kPlan>::quiet_decision(PyObject* key, PlanDecision* d) {
    bool unknown = false;
    const auto memo = [&](PyObject* k) {
        const int known = plan_key(k).answer;
        if (known < 0) unknown = true;
        return known < 0 ? 0 : known;
    };
    plan_decide_member(
        plan_, false, key, d,
        [&](PyObject* k) {
            const int hide = quiet_should_hide(self_, k);
            if (hide < 0) unknown = true;
            return hide < 0 ? 0 : hide;
        },
        memo, memo);
    return unknown ? 1 : 0;
}

// The state of the exact str member `key` and the decision for it, from
// what is known without running anything (PlanDecisionMemo, else
// plan_str_member and quiet_decision): 0 decided, 1 when only a held step
// can decide. Without `kLive`, only the `selected` part of the member's
// state is set (all a value that holds nothing needs).
template <bool kPlan>
template <bool kLive>
inline int DictWalk<kPlan>::quiet_member(PyObject* key, PlanDecision* d) {
    const uint64_t epoch = foreign_code_epoch;
    PlanDecisionMemo::Slot& known = plan_decision_memo.slot_for(key, members_.members.spread);
    if (PlanDecisionMemo::holds(known, key, self_, plan_, epoch, at_->state)) {
        if constexpr (kLive) {
            d->state = known.child;
        } else {
            d->state.selected = known.child.selected;
        }
        d->slot = known.slot;
        d->hide = known.hide;
        d->replace = false;
        return 0;
    }
    // Through a copy: `d` stays out of memory on the way that hits.
    PlanDecision met;
    const int decided = quiet_member_met(key, &met, &known, epoch);
    *d = met;
    return decided;
}

// quiet_member() for a key the memo has no decision for, kept out of the
// loop over entries: found as without the memo, and kept in `known` at
// `epoch` (as it was when the parts were read: a slot whose epoch has moved
// since stands no more).
template <bool kPlan>
int DictWalk<kPlan>::quiet_member_met(PyObject* key, PlanDecision* d, PlanDecisionMemo::Slot* known,
                                      uint64_t epoch) {
    d->state = plan_str_member(key);
    if (quiet_decision(key, d) != 0) return 1;
    *known = PlanDecisionMemo::Slot{key, self_, plan_, epoch, at_->state, d->state, d->slot, d->hide};
    return 0;
}

// Entries read in place under a plan: str values and built-in scalars
// under exact str keys whose decision is known without a call are decided
// and written right here; everything else takes a held step.
template <bool kPlan>
Step DictWalk<kPlan>::plan_steps(const cpython::EntryTable& table) {
    const bool in_place = cursor_.writes_in_place();
    const bool typed = plan_masks_scalars(plan_);
    const bool plain_lists = table.str_keys && this->plain_lists();
    prefetch(table);
    for (Py_ssize_t pos = cursor_.pos();;) {
        pos = table.next_live(pos);
        if (pos >= table.n) return Step::kEnd;
        PyObject** slot = table.slot(pos++);
        PyObject* const key = slot[0];
        PyObject* const value = slot[1];
        const ValueKind kind = builtin_kind(Py_TYPE(value));
        if (kind == ValueKind::kScalar && (!typed || value == Py_None)) continue;
        if (kind == ValueKind::kDict && PyUnicode_CheckExact(key)) {
            // A dict under a key whose state is known: walked at that
            // place, as plan_entry would, without finding the state again.
            PlanDecision d;
            if (quiet_member<true>(key, &d) == 0) {
                cursor_.pos() = pos;
                if (!ahead_) look_ahead(table, pos);
                const Step step = plan_dict_step(key, value, d.state);
                if (step != Step::kOn) return step;
                continue;
            }
        }
        if (kind == ValueKind::kList && plain_lists && PyUnicode_CheckExact(key)) {
            // A list no path can select an item of, whose items its key
            // alone decides, with the default mask: as without a plan.
            PlanDecision d;
            if (quiet_member<true>(key, &d) == 0) {
                if (plan_items_plain(plan_, d)) {
                    if (walk_plain_list(self_, value, d.hide)) continue;
                } else if (const int plain = plan_plain_list(value, d); plain != 0) {
                    if (plain > 0) continue;
                    fail_status(Site::OmitList);
                    return Step::kFailed;
                }
            }
        }
        if ((kind == ValueKind::kStr || kind == ValueKind::kScalar) && PyUnicode_CheckExact(key) && in_place) {
            PlanDecision d;
            if (quiet_member<false>(key, &d) == 0) {
                if (!d.hide && (kind == ValueKind::kScalar || hook_ == nullptr)) continue;
                if (d.hide && kind == ValueKind::kStr) {
                    if (plan_mask_in_place(slot, value, d.slot) < 0) return Step::kFailed;
                    continue;
                }
                if (d.hide && plan_scalar_quiet(value)) {  // a built-in number or boolean: its release runs no code
                    PyObject* mask = plan_scalar_mask(plan_policy(plan_, d.slot), value);
                    if (mask == nullptr) {
                        fail_status(Site::OmitStrMask);
                        return Step::kFailed;
                    }
                    if (write_in_place(slot, value, mask) < 0) return Step::kFailed;
                    continue;
                }
            }
        }
        cursor_.pos() = pos;
        if (kind != ValueKind::kStr && !ahead_) look_ahead(table, pos);
        const Step step = held_step(key, value, false);
        if (step != Step::kOn) return step;
    }
}

// The held step of a dict value under an exact str key whose state is
// `state`: plan_entry's walk of a nested dict, the pair held as held_step
// holds it.
template <bool kPlan>
Step DictWalk<kPlan>::plan_dict_step(PyObject* key, PyObject* value, const PathState& state) {
    const uint64_t read_at = foreign_code_epoch;
    pair_.hold(key, value);
    const PlanAt at{state, 0, false};
    Ref walked = Ref::steal(walk_dict_nested<true>(self_, value, plan_, &at));
    if (!walked || store_walked(walked.get(), read_at) < 0) {
        fail_status(Site::OmitDict);
        return Step::kFailed;
    }
    walked.reset();  // let go before the check, as plan_entry does on its return
    if (foreign_code_epoch != read_at || !pair_.lets_go_quietly()) return Step::kForeign;
    pair_.let_go();
    return Step::kOn;
}

// Mask the exact str `value` in the entry `slot` by the policy `policy_slot`,
// as mask_in_place does by the omitter's own: a value the entry alone holds
// becomes its own mask where the policy keeps its length. 0, or -1 with the
// traceback entry.
template <bool kPlan>
int DictWalk<kPlan>::plan_mask_in_place(PyObject** slot, PyObject* value, uint32_t policy_slot) {
    if (policy_slot == 0) return mask_in_place(slot, value);
    if (plan_keeps_length(policy_slot) && cpython::str_fillable(value)) {
        if (!cursor_.retag(foreign_code_epoch)) return fail_status(Site::OmitStrMask);
        if (plan_fills(policy_slot, value)) return 0;
    }
    PyObject* mask = plan_str_mask(policy_slot, value);
    if (mask == nullptr) return fail_status(Site::OmitStrMask);
    return write_in_place(slot, value, mask);
}

// A list of plain items (exact str and built-in scalars) under a plan,
// walked where it stands in the dict walk when nothing could tell, as
// walk_plain_list does for a list its key alone decides: each item decided
// and masked as the list walk would. 1 done; 0, with nothing changed, when
// an item is of another type or the list walk must enter a level of its
// own; -1 when a mask could not be made (what was written before stays, as
// in the list walk).
template <bool kPlan>
int DictWalk<kPlan>::plan_plain_list(PyObject* list, const PlanDecision& d) {
    if (native_stack_low() || counting_thread() == nullptr) return 0;
    PyObject** const items = cpython::list_items(list);
    const Py_ssize_t length = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < length; i++) {
        const ValueKind kind = builtin_kind(Py_TYPE(items[i]));
        if (kind != ValueKind::kStr && (kind != ValueKind::kScalar || !plan_scalar_quiet(items[i]))) return 0;
    }
    // Nothing from here on runs code, or fails but the making of a mask.
    const PlanAt at{d.state, d.slot, false};
    bool written = false;
    for (Py_ssize_t i = 0; i < length; i++) {
        PyObject* const item = items[i];
        const PlanDecision di = plan_decide_item(plan_, false, at, d.hide, i);
        if (!di.hide) continue;
        PyObject* mask;
        if (PyUnicode_CheckExact(item)) {
            if (di.slot == 0 ? policy_ == nullptr && cpython::fill_mask(item) : plan_fills(di.slot, item)) {
                written = true;
                continue;
            }
            mask = plan_str_mask(di.slot, item);
        } else {
            if (item == Py_None || !plan_masks_scalars(plan_)) continue;
            mask = plan_scalar_mask(plan_policy(plan_, di.slot), item);
        }
        if (mask == nullptr) {
            if (written) key_list_written(self_, list);
            return -1;
        }
        if (mask == item) {
            Py_DECREF(mask);
            continue;
        }
        items[i] = mask;
        Py_DECREF(item);  // an exact str or a built-in scalar: its release runs no code
        written = true;
    }
    if (written) key_list_written(self_, list);
    return 1;
}

// Any key and any value under a plan, the pair held since `read_at`.
template <bool kPlan>
int DictWalk<kPlan>::plan_entry(uint64_t read_at) {
    PyObject* const key = pair_.key();
    PlanDecision d{};
    d.state = plan_member(key);
    bool decided = false;
    if (general_only_ && (PyUnicode_CheckExact(key) || d.state.in_subtree())) {
        if (plan_decide(key, &d) < 0) return fail_status(Site::OmitStrKey);
        if (d.replace) return store_pair_mask(plan_policy(plan_, d.slot).text, read_at);
        decided = true;
    }
    PyObject* const value = pair_.value();
    const auto decide = [&]() { return decided || plan_decide(key, &d) == 0; };
    switch (builtin_kind(Py_TYPE(value))) {
        case ValueKind::kScalar:
            if (value == Py_None || !plan_masks_scalars(plan_)) return 0;
            if (!decide()) return fail_status(Site::OmitStrKey);
            return plan_scalar(d, read_at);
        case ValueKind::kStr:
            break;
        case ValueKind::kDict: {
            const PlanAt at{d.state, 0, false};
            Ref walked = Ref::steal(walk_dict_nested<true>(self_, value, plan_, &at));
            if (!walked || store_walked(walked.get(), read_at) < 0) return fail_status(Site::OmitDict);
            return 0;
        }
        case ValueKind::kList:
            if (!key_is_str_or_none(key)) return fail_unexpected_status("unicode", key, Site::OmitListKey);
            if (!decide()) return fail_status(Site::OmitListKey);
            return plan_list(d, read_at);
        case ValueKind::kUnknown: {
            const int number = is_number(value);
            if (number < 0) return fail_status(Site::OmitNumberTest);
            // The number test may have run code: the type is read as it is now.
            const unsigned long flags = Py_TYPE(value)->tp_flags;
            if (number) {
                if (!plan_masks_scalars(plan_)) return 0;
                if (!decide()) return fail_status(Site::OmitStrKey);
                return plan_scalar(d, read_at);
            }
            if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) break;
            if (flags & Py_TPFLAGS_DICT_SUBCLASS) return fail_unexpected_status("dict", value, Site::OmitDict);
            if (flags & Py_TPFLAGS_LIST_SUBCLASS) {
                if (!key_is_str_or_none(key)) return fail_unexpected_status("unicode", key, Site::OmitListKey);
                if (!decide()) return fail_status(Site::OmitListKey);
                return plan_list(d, read_at);
            }
            return 0;
        }
    }
    if (!key_is_str_or_none(key)) return fail_unexpected_status("unicode", key, Site::OmitStrKey);
    if (!decide()) return fail_status(Site::OmitStrKey);
    return plan_str(d, read_at);
}

// A str value (or a subclass) under a plan's decision. A hidden str is
// masked by its policy whatever object it is: being one of the plan's fixed
// texts says nothing about where it came from ('' and one-character str are
// shared, literals interned), and a mask met again where a container is
// walked twice is only masked once more. Where the mask is the value
// itself, nothing is stored.
template <bool kPlan>
int DictWalk<kPlan>::plan_str(const PlanDecision& d, uint64_t read_at) {
    PyObject* const value = pair_.value();
    if (!d.hide) return hook_ != nullptr ? look_at_str(read_at) : 0;
    if (!PyUnicode_CheckExact(value)) return fail_unexpected_status("unicode", value, Site::OmitStrMask);
    Ref mask = Ref::steal(plan_str_mask(d.slot, value));
    if (!mask) return fail_status(Site::OmitStrMask);
    return store_pair_mask(mask.get(), read_at);
}

// A number or boolean under a plan's decision: its mask is stored as a
// str's is.
template <bool kPlan>
int DictWalk<kPlan>::plan_scalar(const PlanDecision& d, uint64_t read_at) {
    if (!d.hide) return 0;
    const bool quiet = plan_scalar_quiet(pair_.value());
    Ref mask = Ref::steal(plan_scalar_mask(plan_policy(plan_, d.slot), pair_.value()));
    if (!quiet) note_foreign_code();  // a collection may have run finalisers
    if (!mask) return fail_status(Site::OmitStrMask);
    return mask.get() == pair_.value() ? 0 : store_pair_mask(mask.get(), read_at);
}

// A list value (or a subclass) under a plan's decision: walked at its
// place, with its items hidden by the decision's policy.
template <bool kPlan>
int DictWalk<kPlan>::plan_list(const PlanDecision& d, uint64_t read_at) {
    PyObject* const value = pair_.value();
    if (!PyList_CheckExact(value)) return fail_unexpected_status("list", value, Site::OmitList);
    const PlanAt at{d.state, d.slot, false};
    Ref walked = Ref::steal(walk_list_nested<true>(self_, value, d.hide, plan_, &at));
    if (!walked || store_walked(walked.get(), read_at) < 0) return fail_status(Site::OmitList);
    return 0;
}

}  // namespace

int is_number(PyObject* value) {
    PyTypeObject* tp = Py_TYPE(value);
    if (tp == &PyComplex_Type) return 1;
    if (tp == &PyTuple_Type || tp == &PyBytes_Type || builtin_kind(tp) != ValueKind::kUnknown) {
        return builtin_kind(tp) == ValueKind::kScalar && value != Py_None;
    }
    const int is_bool = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyBool_Type));
    note_foreign_code();
    // A str, dict or list subclass whose `__class__` claims bool is still
    // what its type says: taken for a number, it would pass unmasked.
    if (is_bool > 0) return (Py_TYPE(value)->tp_flags & kWalkedFlags) == 0;
    if (is_bool < 0) return -1;
    // The `__class__` lookup may have given the value another type and freed
    // the one read above: the rest of the test reads its type as it is now.
    tp = Py_TYPE(value);
    if (PyType_HasFeature(tp, Py_TPFLAGS_LONG_SUBCLASS)) return 1;
    return PyType_IsSubtype(tp, &PyFloat_Type) || PyType_IsSubtype(tp, &PyComplex_Type);
}

namespace {

// The walk of a dict, made twice: without a plan it neither reads nor
// passes a place.
template <bool kPlan>
[[gnu::always_inline]] inline PyObject* omit_dict(OmitterObject* self, PyObject* target, int skip_override,
                                                  const RulePlan* plan, const PlanAt* at) {
    if (walk_depth == 0) note_foreign_code();
    DepthGuard depth;
    if (!depth.enter()) return fail(Site::OmitIteration);
    if (!skip_override) {
        PyObject* answer = nullptr;
        const int handled = dispatch_step_at(self, WalkMethod::kOmit, target, 1, &answer, plan, at);
        if (handled != 0) return answer;
    }
    if (target == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "items");
        return fail(Site::OmitIteration);
    }
    HookScope hook;
    if (!hook.enter(self)) return fail(Site::OmitIteration);
    DictWalk<kPlan> walk(self, target, hook.hook(), hook.mask(), plan, at);
    return walk.run();
}

// Slot 2 entered from outside this module's walk (a call from Python, a
// native caller, another table, an override's super()): what it follows is
// in a hand-off's record, if any is in progress.
[[gnu::noinline]] PyObject* omit_dict_taken(OmitterObject* self, PyObject* target, int skip_override) {
    TakenWalk taken(self, target, WalkMethod::kOmit);
    if (taken.failed()) return fail(Site::OmitIteration);
    if (taken.plan() != nullptr) return omit_dict_planned(self, target, skip_override, taken.plan(), taken.at());
    return omit_dict_plain(self, target, skip_override);
}

}  // namespace

PyObject* omit_dict_plain(OmitterObject* self, PyObject* target, int skip_override) {
    return omit_dict<false>(self, target, skip_override, nullptr, nullptr);
}

PyObject* omit_dict_planned(OmitterObject* self, PyObject* target, int skip_override, const RulePlan* plan,
                            const PlanAt& at) {
    return omit_dict<true>(self, target, skip_override, plan, &at);
}

int forget_hand_offs_in_children() {
    static bool registered = false;
    if (registered) return 0;
    const int error = pthread_atfork(nullptr, nullptr, forget_other_threads_hand_offs);
    if (error != 0) {
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    registered = true;
    return 0;
}

// The plan is read here, once per call: the levels below follow it whatever
// the omitter becomes meanwhile.
PyObject* walk_omit(OmitterObject* self, PyObject* target, int skip_override) {
    if (pending_walks != nullptr) [[unlikely]] return omit_dict_taken(self, target, skip_override);
    const RulePlan* const plan = rule_plan_of(self);
    if (plan != nullptr) return omit_dict_planned(self, target, skip_override, plan, plan_root(plan));
    return omit_dict_plain(self, target, skip_override);
}

}  // namespace velmora
