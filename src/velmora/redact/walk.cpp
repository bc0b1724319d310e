// The copy-on-write walk over dicts and lists.
//
// Reading. Values are classified exactly as velmora.omit's walk classifies
// them, in the same order, with the same TypeErrors for refused types, the
// same size test before each step of a dict and the same length test
// before each read of a list; pairs and items are held as that walk holds
// them (held.h). Python code can run in the middle (the number test's
// `__class__` lookup, should_hide, finalisers, key hashing and comparison
// in copies of dicts with keys of other types), and it can change the
// input: the walk then goes on reading the input from where it stands, as
// the in-place walk goes on in its own.
//
// Writing. Nothing of the input is ever written. A container's copy is made
// once its whole walk is over, from the container as it stands then, with
// the replacements written where they were read (copies.h). What a
// container becomes, for a walk that ends without an exception:
//   1. Nothing replaced beneath it: the container itself.
//   2. No foreign code ran from the start of its walk to the end of its copy
//      (foreign.h): the container is exactly what the walk read, each entry
//      once, and the copy holds those entries with the replacements; with
//      plain keys (copies.h) each store lands in the entry it was read
//      from. This is what the in-place walk makes of the container.
//   3. Foreign code ran during its walk: the container as it stands must
//      consist of entries the walk read, with the values it read, in the
//      order it read them (entries read may be gone), or of exactly the
//      items read, at their indexes. Its copy then holds those entries with
//      the replacements of what was read, and is checked, pointer by
//      pointer, to hold exactly that. Rule 1 applies to the container only
//      if it passes the same test.
//   4. Foreign code ran only while its copy was made (keys of other types
//      hashed and compared): the copy is checked against the container and
//      the change records in the same way.
//   5. A container that fails its test ends the walk (`walk.mismatch`, no
//      exception). One that changed under its walk (an entry given a new
//      value or added behind the walk, an item moved) makes the call walk
//      the target again, as it now stands; a store that landed in another
//      entry (keys whose hash or equality changed since they were stored)
//      makes it answer with the in-place walk on a deep copy, which hashes
//      every key afresh (entry.cpp).
// So every value of a copy that the walk did not put there is the
// container's own, and was read and judged as it stands. What rule 3 cannot
// see: a container whose walk has ended, changed afterwards by code run
// from a later part of the walk; its copy is not made again (and one that
// had nothing to mask is returned as it now stands), as the in-place walk
// leaves such a change unwalked.
#include "walk.h"

#include "../omit/ref.h"
#include "copies.h"
#include "depth.h"
#include "held.h"

namespace velmora::redact {

namespace {

constexpr unsigned long kWalkedFlags =
    Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS;

PyObject* unexpected(const char* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(value)->tp_name);
    return nullptr;
}

// Values the walk passes over without a question, a call or a reference.
bool plain_scalar(PyObject* v) {
    PyTypeObject* tp = Py_TYPE(v);
    return tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type || v == Py_None;
}

bool key_is_str_or_none(PyObject* key) { return key == Py_None || PyUnicode_CheckExact(key); }

// Whether isinstance(value, bool) can run Python code: it looks up
// `__class__` on the value, which for a static type with the generic
// attribute lookup finds object's own descriptor (its bases are static
// too, and nothing can be added to them).
bool class_lookup_may_run_code(PyTypeObject* tp) {
    return PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE) || tp->tp_getattro != PyObject_GenericGetAttr;
}

// The number test of the in-place walk: isinstance(value, bool), or an int,
// float or complex (or a subtype of one). For other types isinstance looks
// up `__class__`, which may be Python code that re-types `value` (and frees
// its old type): the type is read again after it. 1, 0, or -1 on failure.
int is_number(Walk& walk, PyObject* value) {
    PyTypeObject* tp = Py_TYPE(value);
    if (tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type || tp == &PyComplex_Type) return 1;
    if (tp == &PyUnicode_Type || tp == &PyDict_Type || tp == &PyList_Type || value == Py_None ||
        tp == &PyTuple_Type || tp == &PyBytes_Type) {
        return 0;
    }
    const bool foreign = class_lookup_may_run_code(tp);
    if (foreign) walk.foreign.before();
    const int is_bool = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyBool_Type));
    if (foreign) walk.foreign.after();
    // A str, dict or list subclass whose `__class__` claims bool is still
    // what its type says: taken for a number, it would pass unmasked.
    if (is_bool > 0) return (Py_TYPE(value)->tp_flags & kWalkedFlags) == 0;
    if (is_bool < 0) return -1;
    tp = Py_TYPE(value);
    if (PyType_HasFeature(tp, Py_TPFLAGS_LONG_SUBCLASS)) return 1;
    return PyType_IsSubtype(tp, &PyFloat_Type) || PyType_IsSubtype(tp, &PyComplex_Type);
}

// What a str becomes: masked whole (an exact str), or, when it is let
// through, with the hook's spans masked; the str itself when that changes
// nothing.
PyObject* masked(Walk& walk, PyObject* value, bool whole = true, const MaskPolicy* policy = nullptr) {
    Ref mask = Ref::steal(whole ? mask_str(policy != nullptr ? policy : walk.policy, value)
                                : apply_str_hook(walk.hook, value));
    if (!mask || mask.get() == value) return mask.release();
    if (PyUnicode_CheckExact(value) && unchanged_by_mask(value, mask.get())) return new_ref(value);
    return mask.release();
}

// A value replaced whole by `text`: the value itself where it is a str that
// reads as the text already.
PyObject* replaced_whole(PyObject* value, PyObject* text) {
    if (PyUnicode_CheckExact(value) && unchanged_by_mask(value, text)) return new_ref(value);
    return new_ref(text);
}

PyObject* plan_value(Walk& walk, PyObject* k, PyObject* v, const PlanAt& at);
PyObject* plan_item(Walk& walk, PyObject* item, bool do_hide, const PlanAt& at, Py_ssize_t index);

// What the value `v` under the key `k` of a dict becomes: a new reference,
// to `v` itself when nothing changes. The caller holds both.
PyObject* redact_value(Walk& walk, PyObject* k, PyObject* v, const PlanAt& at) {
    if (walk.plan != nullptr) return plan_value(walk, k, v, at);
    int verdict = -1;  // not asked yet
    if (walk.whole() && PyUnicode_CheckExact(k)) {
        // A hidden str key hides whatever stands under it.
        verdict = walk.verdicts.ask(k);
        if (verdict < 0) return nullptr;
        if (verdict) {
            return replaced_whole(v, whole_mask(walk.policy));
        }
    }
    PyTypeObject* tp = Py_TYPE(v);
    unsigned long flags;
    if (tp == &PyUnicode_Type || tp == &PyDict_Type || tp == &PyList_Type) {
        flags = tp->tp_flags;
    } else if (plain_scalar(v)) {
        return new_ref(v);
    } else {
        if (walk.strict && holds_values(v)) return refuse_in_strict_walk(v);
        const int number = is_number(walk, v);
        if (number < 0) return nullptr;
        if (number) return new_ref(v);
        flags = Py_TYPE(v)->tp_flags;
        if (!(flags & kWalkedFlags)) return new_ref(v);
    }

    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
        if (walk.strict && !PyUnicode_CheckExact(v)) return refuse_in_strict_walk(v);
        if (!key_is_str_or_none(k)) return unexpected("unicode", k);
        if (verdict < 0 && (verdict = walk.verdicts.ask(k)) < 0) return nullptr;
        if (!verdict) return walk.hook != nullptr ? masked(walk, v, false) : new_ref(v);
        if (!PyUnicode_CheckExact(v)) return unexpected("unicode", v);
        return masked(walk, v);
    }
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
        // A dict is decided by its own keys; its key is not looked at.
        if (!PyDict_CheckExact(v)) return unexpected("dict", v);
        return redact_dict(walk, v, at);
    }
    // A list inherits its key's verdict.
    if (!key_is_str_or_none(k)) return unexpected("unicode", k);
    if (verdict < 0 && (verdict = walk.verdicts.ask(k)) < 0) return nullptr;
    if (!PyList_CheckExact(v)) return unexpected("list", v);
    return redact_list(walk, v, verdict != 0, at);
}

// What the item `item` of a list becomes when it is a dict, a list, a str
// to hide (a subclass refused) or a str the hook looks at, as
// redact_value: a new reference, to `item` itself when nothing changes.
// The caller holds it.
PyObject* redact_item(Walk& walk, PyObject* item, bool do_hide, const PlanAt& at, Py_ssize_t index) {
    if (walk.plan != nullptr) return plan_item(walk, item, do_hide, at, index);
    const unsigned long flags = Py_TYPE(item)->tp_flags;
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
        if (!PyDict_CheckExact(item)) return unexpected("dict", item);
        return redact_dict(walk, item, at);
    }
    if (flags & Py_TPFLAGS_LIST_SUBCLASS) {
        if (!PyList_CheckExact(item)) return unexpected("list", item);
        return redact_list(walk, item, do_hide, at);
    }
    if (!do_hide) return masked(walk, item, false);
    if (!PyUnicode_CheckExact(item)) return unexpected("unicode", item);
    return masked(walk, item);
}

// ---- Under a rule plan ---------------------------------------------------------------
//
// The in-place walk's decisions under a plan (omit/walk_plan.h), in its
// order: the whole-value question, the number test, then by type.

const MaskPolicy* str_policy(Walk& walk, uint32_t slot) {
    return slot == 0 ? walk.policy : &plan_policy(walk.plan, slot).str;
}

// What a hidden number or boolean becomes: `v` itself, or its mask.
PyObject* plan_scalar(Walk& walk, const PlanDecision& d, PyObject* v) {
    if (!d.hide) return new_ref(v);
    return plan_scalar_mask(plan_policy(walk.plan, d.slot), v);
}

PyObject* plan_value(Walk& walk, PyObject* k, PyObject* v, const PlanAt& at) {
    const RulePlan* plan = walk.plan;
    PlanDecision d{};
    d.state = plan_member_of(plan, at.state, k);
    bool decided = false;
    const auto decide = [&]() {
        if (decided) return true;
        decided = true;
        return plan_decide_member(
                   plan, walk.whole(), k, &d, [&](PyObject* key) { return walk.verdicts.ask(key); },
                   [&](PyObject* key) {
                       if (plan->searched) walk.foreign.before();  // a regex search may let signal handlers run
                       const int slot = plan->key_policy(plan, key);
                       if (plan->searched) walk.foreign.after();
                       if (slot >= 0 && uint32_t(slot) >= plan->policy_count) {
                           PyErr_SetString(PyExc_SystemError, "the omitter's rule plan gave a policy it does not have");
                           return -1;
                       }
                       return slot;
                   },
                   [&](PyObject* key) { return plan->key_denied(plan, key); }) == 0;
    };
    if (walk.whole() && (PyUnicode_CheckExact(k) || d.state.in_subtree())) {
        if (!decide()) return nullptr;
        if (d.replace) {
            return replaced_whole(v, plan_policy(plan, d.slot).text);
        }
    }
    PyTypeObject* tp = Py_TYPE(v);
    unsigned long flags;
    if (tp == &PyUnicode_Type || tp == &PyDict_Type || tp == &PyList_Type) {
        flags = tp->tp_flags;
    } else if (plain_scalar(v)) {
        if (v == Py_None || !plan->typed) return new_ref(v);
        return decide() ? plan_scalar(walk, d, v) : nullptr;
    } else {
        if (walk.strict && holds_values(v)) return refuse_in_strict_walk(v);
        const int number = is_number(walk, v);
        if (number < 0) return nullptr;
        if (number) {
            if (!plan->typed) return new_ref(v);
            return decide() ? plan_scalar(walk, d, v) : nullptr;
        }
        flags = Py_TYPE(v)->tp_flags;
        if (!(flags & kWalkedFlags)) return new_ref(v);
    }
    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
        if (walk.strict && !PyUnicode_CheckExact(v)) return refuse_in_strict_walk(v);
        if (!key_is_str_or_none(k)) return unexpected("unicode", k);
        if (!decide()) return nullptr;
        if (!d.hide) return walk.hook != nullptr ? masked(walk, v, false) : new_ref(v);
        if (!PyUnicode_CheckExact(v)) return unexpected("unicode", v);
        return masked(walk, v, true, str_policy(walk, d.slot));
    }
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
        if (!PyDict_CheckExact(v)) return unexpected("dict", v);
        return redact_dict(walk, v, PlanAt{d.state, 0, false});
    }
    if (!key_is_str_or_none(k)) return unexpected("unicode", k);
    if (!decide()) return nullptr;
    if (!PyList_CheckExact(v)) return unexpected("list", v);
    return redact_list(walk, v, d.hide, PlanAt{d.state, d.slot, false});
}

PyObject* plan_item(Walk& walk, PyObject* item, bool do_hide, const PlanAt& at, Py_ssize_t index) {
    const PlanDecision d = plan_decide_item(walk.plan, walk.whole(), at, do_hide, index);
    const unsigned long flags = Py_TYPE(item)->tp_flags;
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
        if (!PyDict_CheckExact(item)) return unexpected("dict", item);
    } else if (flags & Py_TPFLAGS_LIST_SUBCLASS) {
        if (!PyList_CheckExact(item)) return unexpected("list", item);
    } else if ((flags & Py_TPFLAGS_UNICODE_SUBCLASS) && d.hide && !PyUnicode_CheckExact(item)) {
        return unexpected("unicode", item);
    }
    if (d.replace) {
        return replaced_whole(item, plan_policy(walk.plan, d.slot).text);
    }
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) return redact_dict(walk, item, PlanAt{d.state, d.slot, false});
    if (flags & Py_TPFLAGS_LIST_SUBCLASS) return redact_list(walk, item, d.hide, PlanAt{d.state, d.slot, false});
    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
        if (!d.hide) return walk.hook != nullptr ? masked(walk, item, false) : new_ref(item);
        return masked(walk, item, true, str_policy(walk, d.slot));
    }
    if (item == Py_None || !walk.plan->typed) return new_ref(item);
    return plan_scalar(walk, d, item);
}

// The change records a container's walk pushes, dropped when it returns,
// whichever way it does.
class ChangesSince {
public:
    ChangesSince(Walk& walk, size_t mark) : walk_(walk), mark_(mark) {}
    ~ChangesSince() { walk_.changes.drop_to(mark_, walk_.foreign); }
    ChangesSince(const ChangesSince&) = delete;
    ChangesSince& operator=(const ChangesSince&) = delete;

    bool none() const { return walk_.changes.size() == mark_; }
    const Change* first() const { return walk_.changes.from(mark_); }
    size_t count() const { return walk_.changes.size() - mark_; }

    // Keep `out` (stolen) as what was read at `key` or `index` becomes,
    // unless it is `read` itself. False on failure.
    bool note(PyObject* key, Py_ssize_t index, PyObject* read, PyObject* out) {
        if (out == read) {
            Py_DECREF(out);  // the caller holds `read` too: quiet
            return true;
        }
        return walk_.changes.push(key, index, read, out);
    }

private:
    Walk& walk_;
    const size_t mark_;
};

// The end of a container's walk that cannot be answered by a copy.
PyObject* mismatch(Walk& walk, Walk::Mismatch why) {
    walk.mismatch = why;
    return nullptr;
}

// A record could not be kept: nothing can be checked.
PyObject* record_lost() { return PyErr_NoMemory(); }

// Rules 3 to 5 for a dict whose walk is over.
PyObject* finish_dict(Walk& walk, PyObject* dict, Frame& frame, const ChangesSince& changes, bool plain_keys) {
    const bool recorded = frame.recording();
    if (recorded && frame.broken()) return record_lost();
    if (recorded && !dict_is_what_was_read(dict, frame)) return mismatch(walk, Walk::Mismatch::kChanged);
    if (recorded ? !kept_replacement(frame) : changes.none()) return new_ref(dict);
    // Copying and storing may hash and compare keys of other types.
    if (!plain_keys) walk.foreign.before();
    Ref copy = Ref::steal(recorded ? dict_copy_with(dict, frame, plain_keys)
                                   : dict_copy_with(dict, changes.first(), changes.count(), plain_keys));
    if (!plain_keys) walk.foreign.after();
    if (!copy) return nullptr;
    const bool checked = !recorded && plain_keys;  // rule 2: nothing to look at
    if (!checked && !(recorded ? dict_copy_matches(dict, copy.get(), frame)
                               : dict_copy_matches(dict, copy.get(), changes.first(), changes.count()))) {
        return mismatch(walk, Walk::Mismatch::kStores);
    }
    return copy.release();
}

}  // namespace

PyObject* redact_dict(Walk& walk, PyObject* dict, const PlanAt& at) {
    Level level;
    if (!level.enter()) return nullptr;
    // The frame dies after the change records are dropped.
    const size_t mark = walk.changes.size();
    Frame frame(walk.foreign, dict, mark);
    ChangesSince changes(walk, mark);
    bool plain_keys = true;
    {
        HeldPair pair(walk.foreign);
        const Py_ssize_t size = PyDict_GET_SIZE(dict);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        for (;;) {
            if (PyDict_GET_SIZE(dict) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return nullptr;
            }
            if (!PyDict_Next(dict, &pos, &k, &v)) break;
            frame.at(pos);
            if (frame.recording()) frame.read(k, v);
            plain_keys = plain_keys && plain_key(k);
            // Under a plan, a number or boolean may be masked, and `whole`
            // replaces what a path selects under any key.
            const bool passed_over = plain_scalar(v) && !(walk.whole() && PyUnicode_CheckExact(k)) &&
                                     (walk.plan == nullptr || (!walk.whole() && (v == Py_None || !walk.plan->typed)));
            // A pair still held (foreign code ran) is replaced by this one
            // whatever it is, and a whole-value policy holds every pair, as
            // in the in-place walk.
            if (passed_over && pair.empty() && !walk.whole()) continue;
            const uint64_t read_at = walk.foreign.epoch();
            pair.hold(k, v);
            if (!passed_over) {
                PyObject* out = redact_value(walk, k, v, at);
                if (out == nullptr) return nullptr;
                frame.became(out);
                if (!changes.note(k, 0, v, out)) return nullptr;
            }
            if (walk.foreign.epoch() == read_at && pair.lets_go_quietly()) pair.let_go();
        }
    }
    frame.done();
    return finish_dict(walk, dict, frame, changes, plain_keys);
}

PyObject* redact_list(Walk& walk, PyObject* list, bool do_hide, const PlanAt& at) {
    Level level;
    if (!level.enter()) return nullptr;
    // The frame dies after the change records are dropped.
    const size_t mark = walk.changes.size();
    Frame frame(walk.foreign, list, mark);
    ChangesSince changes(walk, mark);
    {
        HeldItem held(walk.foreign);
        const Py_ssize_t length = PyList_GET_SIZE(list);
        for (Py_ssize_t i = 0; i < length; i++) {
            // Code run from a nested walk may have shortened the list: never
            // read past its current end.
            if (i >= PyList_GET_SIZE(list)) {
                PyErr_SetString(PyExc_IndexError, "list index out of range");
                return nullptr;
            }
            PyObject* item = PyList_GET_ITEM(list, i);
            frame.at(i + 1);
            if (frame.recording()) frame.read(nullptr, item);
            if (walk.strict && holds_values(item)) return refuse_in_strict_walk(item);
            const unsigned long flags = Py_TYPE(item)->tp_flags;
            const bool passed_over = walk.plan == nullptr &&
                                     !(flags & (Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS)) &&
                                     !((do_hide || walk.hook != nullptr) && (flags & Py_TPFLAGS_UNICODE_SUBCLASS));
            // Holding an item is seen only through what it lets run: the item
            // before is let go here, whatever this one is, as in the in-place
            // walk; one that runs nothing is let go at once.
            if (passed_over && held.empty()) continue;
            const uint64_t read_at = walk.foreign.epoch();
            held.hold(item);
            if (!passed_over) {
                PyObject* out = redact_item(walk, item, do_hide, at, i);
                if (out == nullptr) return nullptr;
                frame.became(out);
                if (!changes.note(nullptr, i, item, out)) return nullptr;
            }
            if (walk.foreign.epoch() == read_at && held.lets_go_quietly()) held.hold(nullptr);
        }
    }
    frame.done();
    if (frame.recording()) {
        if (frame.broken()) return record_lost();
        if (!list_is_what_was_read(list, frame)) return mismatch(walk, Walk::Mismatch::kChanged);
        return kept_replacement(frame) ? list_copy_with(list, frame) : new_ref(list);
    }
    // Rule 2: the list is as it was read, and copying it runs no code.
    return changes.none() ? new_ref(list) : list_copy_with(list, changes.first(), changes.count());
}

bool holds_values(PyObject* value) {
    PyTypeObject* tp = Py_TYPE(value);
    if (tp == &PyUnicode_Type || tp == &PyDict_Type || tp == &PyList_Type) return false;
    return PyType_HasFeature(tp, Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS | Py_TPFLAGS_MAPPING |
                                     Py_TPFLAGS_SEQUENCE) ||
           PyAnySet_Check(value);
}

PyObject* refuse_in_strict_walk(PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Expected dict, list or str, got %.200s", Py_TYPE(value)->tp_name);
    return nullptr;
}

int check_strict(PyObject* container) {
    Level level;
    if (!level.enter()) return -1;
    // Nothing here runs code: the containers cannot change under the loops.
    const auto check = [](PyObject* v) {
        if (holds_values(v)) {
            refuse_in_strict_walk(v);
            return -1;
        }
        return PyDict_CheckExact(v) || PyList_CheckExact(v) ? check_strict(v) : 0;
    };
    if (PyDict_CheckExact(container)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(container, &pos, &k, &v)) {
            if (check(v) < 0) return -1;
        }
        return 0;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(container); i++) {
        if (check(PyList_GET_ITEM(container, i)) < 0) return -1;
    }
    return 0;
}

}  // namespace velmora::redact
