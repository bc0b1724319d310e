// Compiling rule plans: the plan arguments checked, the paths read into one
// automaton, a policy per rule, and the lookup of a key's policy.
#include "plan.h"

#include "jsonpath.h"

#include <cstring>
#include <new>
#include <utility>

namespace velmora::rules {

namespace {

constexpr const char* kNumberNames[] = {"keep", "zero", "digits", "string"};
constexpr const char* kBooleanNames[] = {"keep", "false", "string"};
constexpr const char* kPolicyKeys = "mask, keep_last, numbers, booleans";

// What a plan owns besides its arrays; the arrays point into `keep`.
struct PlanOwn {
    Ref keep;           // list: every object the arrays borrow
    Ref paths;          // tuple of str, as given
    Ref policies;       // dict {rule: policy dict}, checked copies
    Ref exact_slots;    // dict {exact key: slot}, or null
    Ref folded_slots;   // dict {casefolded exact key: slot} (ignore_case), or null
    Ref pattern_slots;  // tuple of (bound search, slot), in the order of the patterns
    Ref word_slots;     // tuple of (casefolded word, slot), in the order of the words
    Ref deny;           // tuple: casefolded words never trusted (the rules')
    int32_t numbers = kNumbersKeep;
    int32_t booleans = kBooleansKeep;
};

}  // namespace

struct PlanNode {
    RulePlan plan;
    PlanPolicy* policies;
    RulePlan joined;  // plan.joined
    PlanPolicy* joined_policies;
    PathStep* steps;
    PlanName* names;
    PlanOwn* own;
    PlanNode* older;
};

namespace {

// The index of `name` (a str or None) in `names`, or -1 with ValueError or
// TypeError set.
template <size_t N>
int choice(PyObject* value, const char* const (&names)[N], const char* what) {
    if (value == nullptr || value == Py_None) return 0;
    if (PyUnicode_Check(value)) {
        for (size_t i = 0; i < N; i++) {
            if (PyUnicode_CompareWithASCIIString(value, names[i]) == 0) return int(i);
        }
    }
    Ref choices = Ref::steal(PyUnicode_FromString(names[0]));
    for (size_t i = 1; i < N && choices; i++) {
        choices = Ref::steal(PyUnicode_FromFormat("%U, %s", choices.get(), names[i]));
    }
    if (!choices) return -1;
    PyErr_Format(PyUnicode_Check(value) ? PyExc_ValueError : PyExc_TypeError, "%s must be one of %U, not %R", what,
                 choices.get(), value);
    return -1;
}

// The paths as a list of exact str, refusing a single str (each character
// would be a path).
PyObject* path_list(PyObject* arg) {
    if (arg == nullptr || arg == Py_None) return PyList_New(0);
    if (PyUnicode_Check(arg) || PyBytes_Check(arg) || PyByteArray_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "paths must be an iterable of str, not a single %.200s", Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(arg));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "paths must be an iterable of str, not %.200s", Py_TYPE(arg)->tp_name);
        }
        return nullptr;
    }
    Ref items = Ref::steal(PySequence_List(iterator.get()));
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); i++) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "paths items must be str, not %.200s", Py_TYPE(item)->tp_name);
            return nullptr;
        }
        PyObject* exact = PyUnicode_FromObject(item);
        if (exact == nullptr) return nullptr;
        PyList_SET_ITEM(items.get(), i, exact);  // the list owned the item; it goes with the swap
        Py_DECREF(item);
    }
    return items.release();
}

// Whether the list `items` (exact str, or anything for keys) holds a str
// equal to `rule`. Compares str with str only: no Python code runs.
int holds(PyObject* items, PyObject* rule) {
    const Py_ssize_t n = PyList_Check(items) ? PyList_GET_SIZE(items) : PyTuple_GET_SIZE(items);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* item = PyList_Check(items) ? PyList_GET_ITEM(items, i) : PyTuple_GET_ITEM(items, i);
        if (PyUnicode_Check(item) && PyUnicode_Compare(item, rule) == 0) return int(i) + 1;
    }
    return 0;
}

// A rule's policy dict checked and made into `out`, on top of `base`, the
// omitter's own; `given` receives a checked copy. 0, or -1 with an
// exception set.
int rule_policy(PyObject* rule, PyObject* value, const PlanPolicy& base, bool whole, PlanPolicy* out,
                PyObject* keep, Ref* given) {
    if (!PyDict_Check(value)) {
        PyErr_Format(PyExc_TypeError, "policies[%R] must be a dict with some of %s, not %.200s", rule, kPolicyKeys,
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    if (PyDict_GET_SIZE(value) == 0) {
        PyErr_Format(PyExc_ValueError, "policies[%R] is empty: give some of %s", rule, kPolicyKeys);
        return -1;
    }
    *out = base;
    *given = Ref::steal(PyDict_New());
    if (!*given) return -1;
    PyObject* mask = nullptr;
    PyObject* keep_last = nullptr;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* item;
    Ref items = Ref::steal(PyDict_Copy(value));  // looked at without running code, then nothing changes it
    if (!items) return -1;
    while (PyDict_Next(items.get(), &pos, &key, &item)) {
        const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
        if (name == nullptr) PyErr_Clear();
        Ref checked;
        if (name != nullptr && std::strcmp(name, "mask") == 0) {
            if (!PyUnicode_Check(item)) {
                PyErr_Format(PyExc_TypeError, "policies[%R]['mask'] must be a str, not %.200s", rule,
                             Py_TYPE(item)->tp_name);
                return -1;
            }
            checked = Ref::steal(PyUnicode_FromObject(item));
            mask = checked.get();
        } else if (name != nullptr && std::strcmp(name, "keep_last") == 0) {
            const Py_ssize_t n = PyLong_Check(item) && !PyBool_Check(item) ? PyLong_AsSsize_t(item) : -1;
            if (n == -1 && PyErr_Occurred()) PyErr_Clear();
            if (n <= 0) {
                PyErr_Format(PyExc_ValueError, "policies[%R]['keep_last'] must be an int > 0, not %R", rule, item);
                return -1;
            }
            checked = Ref::steal(PyLong_FromSsize_t(n));
            keep_last = checked.get();
            out->str.kind = MaskPolicy::kKeepLast;
            out->str.keep = n;
        } else if (name != nullptr && std::strcmp(name, "numbers") == 0) {
            Ref what = Ref::steal(PyUnicode_FromFormat("policies[%R]['numbers']", rule));
            const int n = what ? choice(item, kNumberNames, PyUnicode_AsUTF8(what.get())) : -1;
            if (n < 0) return -1;
            out->numbers = n;
            checked = Ref::steal(PyUnicode_FromString(kNumberNames[n]));
        } else if (name != nullptr && std::strcmp(name, "booleans") == 0) {
            Ref what = Ref::steal(PyUnicode_FromFormat("policies[%R]['booleans']", rule));
            const int n = what ? choice(item, kBooleanNames, PyUnicode_AsUTF8(what.get())) : -1;
            if (n < 0) return -1;
            out->booleans = n;
            checked = Ref::steal(PyUnicode_FromString(kBooleanNames[n]));
        } else {
            PyErr_Format(PyExc_ValueError, "policies[%R] has an unknown item %R (expected some of %s)", rule, key,
                         kPolicyKeys);
            return -1;
        }
        if (!checked || PyDict_SetItem(given->get(), key, checked.get()) < 0) return -1;
        if (whole && checked.get() != mask) {
            PyErr_Format(PyExc_ValueError,
                         "policies[%R] can only give a mask with whole=True (a whole value is replaced by it)", rule);
            return -1;
        }
    }
    if (mask != nullptr && keep_last != nullptr) {
        PyErr_Format(PyExc_ValueError, "policies[%R] gives mask and keep_last: choose one", rule);
        return -1;
    }
    if (mask != nullptr) {
        if (PyList_Append(keep, mask) < 0) return -1;
        out->str.kind = MaskPolicy::kFixed;
        out->str.text = mask;
        out->str.keep = 0;
    } else if (keep_last != nullptr) {
        out->str.text = nullptr;
    }
    out->text = out->str.text != nullptr ? out->str.text : rs.default_mask;
    return 0;
}

// A slot `slot` for `rule` in the dict `slots` (the first rule listed wins).
int add_slot(Ref* slots, PyObject* key, Py_ssize_t slot) {
    if (!*slots && !(*slots = Ref::steal(PyDict_New()))) return -1;
    if (PyDict_Contains(slots->get(), key)) return 0;
    Ref number = Ref::steal(PyLong_FromSsize_t(slot));
    return number ? PyDict_SetItem(slots->get(), key, number.get()) : -1;
}

int slot_of(PyObject* dict, PyObject* key) {
    if (dict == nullptr) return 0;
    PyObject* found = PyDict_GetItemWithError(dict, key);  // exact str keys: no Python code
    if (found == nullptr) return PyErr_Occurred() ? -1 : 0;
    return int(PyLong_AsLong(found));
}

// RulePlan::key_policy: an exact key, then a pattern, then a word.
int key_policy(const RulePlan* plan, PyObject* key) {
    const PlanOwn* own = static_cast<const PlanOwn*>(plan->own);
    int slot = slot_of(own->exact_slots.get(), key);
    Ref folded;
    if (slot == 0 && (own->folded_slots || PyTuple_GET_SIZE(own->word_slots.get()) > 0)) {
        folded = Ref::steal(fold_key(key));
        if (!folded) return -1;
        slot = slot_of(own->folded_slots.get(), folded.get());
    }
    if (slot != 0) return slot;
    PyObject* patterns = own->pattern_slots.get();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(patterns); i++) {
        PyObject* pair = PyTuple_GET_ITEM(patterns, i);
        const int collector_was_on = PyGC_Disable();  // as the verdicts' own search does
        PyObject* match = PyObject_CallOneArg(PyTuple_GET_ITEM(pair, 0), key);
        if (collector_was_on) PyGC_Enable();
        if (match == nullptr) return -1;
        const bool found = match != Py_None;
        Py_DECREF(match);
        if (found) return int(PyLong_AsLong(PyTuple_GET_ITEM(pair, 1)));
    }
    PyObject* words = own->word_slots.get();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(words); i++) {
        PyObject* pair = PyTuple_GET_ITEM(words, i);
        PyObject* word = PyTuple_GET_ITEM(pair, 0);
        const Py_ssize_t at = PyUnicode_Find(folded.get(), word, 0, PyUnicode_GET_LENGTH(folded.get()), 1);
        if (at == -2) return -1;
        if (at >= 0) return int(PyLong_AsLong(PyTuple_GET_ITEM(pair, 1)));
    }
    return 0;
}

// RulePlan::exact_policy.
int exact_policy(const RulePlan* plan, PyObject* text) {
    return slot_of(static_cast<const PlanOwn*>(plan->own)->exact_slots.get(), text);
}

// RulePlan::key_denied.
int key_denied(const RulePlan* plan, PyObject* key) {
    PyObject* deny = static_cast<const PlanOwn*>(plan->own)->deny.get();
    if (PyTuple_GET_SIZE(deny) == 0) return 0;
    Ref folded = Ref::steal(fold_key(key));
    if (!folded) return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(deny); i++) {
        const Py_ssize_t at = PyUnicode_Find(folded.get(), PyTuple_GET_ITEM(deny, i), 0,
                                             PyUnicode_GET_LENGTH(folded.get()), 1);
        if (at != -1) return at == -2 ? -1 : 1;
    }
    return 0;
}

// The UTF-8 form of a path name the scanner compares raw keys with.
int name_bytes(PyObject* name, PyObject* keep, PathStep* step) {
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(name, "utf-8", "surrogatepass"));
    if (!bytes || PyList_Append(keep, bytes.get()) < 0 || PyList_Append(keep, name) < 0) return -1;
    step->name = PyBytes_AS_STRING(bytes.get());
    step->name_size = size_t(PyBytes_GET_SIZE(bytes.get()));
    step->name_str = name;
    return 0;
}

// The named positions of `node`'s steps by name (RulePlan::names). 0, or -1
// with an exception set.
int index_names(PlanNode* node) {
    RulePlan& plan = node->plan;
    size_t named = 0;
    for (int w = 0; w < kPathWords; w++) named += size_t(__builtin_popcountll(plan.named[w]));
    if (named == 0) return 0;
    size_t slots = 4;
    while (slots < 2 * named) slots *= 2;
    node->names = static_cast<PlanName*>(PyMem_Calloc(slots, sizeof(PlanName)));
    if (node->names == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    for (uint32_t p = 0; p < plan.step_count; p++) {
        const PathStep& step = node->steps[p];
        if (step.kind != PathStep::kMember && step.kind != PathStep::kDescend) continue;
        const Py_hash_t hash = PyObject_Hash(step.name_str);  // an exact str: runs no code
        if (hash == -1) return -1;
        size_t i = size_t(hash) & (slots - 1);
        while (node->names[i].name != nullptr && PyUnicode_Compare(node->names[i].name, step.name_str) != 0) {
            i = (i + 1) & (slots - 1);
        }
        PlanName& slot = node->names[i];
        slot.name = step.name_str;
        slot.hash = hash;
        plan_detail::mark(slot.positions, p);
        plan.name_filter |= uint64_t(1) << (uint64_t(hash) & 63);
    }
    plan.names = node->names;
    plan.name_mask = slots - 1;
    return 0;
}

// The automaton of `parsed` (one list of steps per path) into `node`, the
// path i ending in the policy slot path_slots[i].
int compile_paths(PyObject* parsed, const int* path_slots, PlanNode* node) {
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parsed); i++) count += PyList_GET_SIZE(PyList_GET_ITEM(parsed, i)) + 1;
    if (count == 0) return 0;
    if (count > Py_ssize_t(kMaxPathSteps)) {
        PyErr_Format(PyExc_ValueError, "paths have %zd steps in all (each path's '$' counts as one): at most %u",
                     count, kMaxPathSteps);
        return -1;
    }
    node->steps = static_cast<PathStep*>(PyMem_Calloc(size_t(count), sizeof(PathStep)));
    if (node->steps == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    RulePlan& plan = node->plan;
    PyObject* keep = node->own->keep.get();
    uint32_t p = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parsed); i++) {
        PyObject* steps = PyList_GET_ITEM(parsed, i);
        plan_detail::mark(plan.root.live, p);
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(steps); k++, p++) {
            PyObject* pair = PyList_GET_ITEM(steps, k);
            PathStep& step = node->steps[p];
            step.kind = PathStep::Kind(PyLong_AsLong(PyTuple_GET_ITEM(pair, 0)));
            PyObject* argument = PyTuple_GET_ITEM(pair, 1);
            uint64_t* kinds[] = {plan.named, plan.any, plan.indexed, plan.descend};
            plan_detail::mark(kinds[step.kind], p);
            if (step.kind == PathStep::kDescend) plan_detail::mark(plan.named, p);
            if (step.kind == PathStep::kIndex) {
                step.index = PyLong_AsSsize_t(argument);
            } else if (step.kind != PathStep::kAny && name_bytes(argument, keep, &step) < 0) {
                return -1;
            }
        }
        node->steps[p].kind = PathStep::kEnd;
        node->steps[p].policy = uint32_t(path_slots[i]);
        plan_detail::mark(plan.ends, p);
        p++;
    }
    plan.step_count = p;
    plan.steps = node->steps;
    plan_select(&plan, &plan.root, 0);
    return index_names(node);
}

// The exact key list's str items as a list (None: none), for naming rules.
PyObject* key_names(PyObject* keys) {
    if (keys == nullptr || keys == Py_None) return PyList_New(0);
    return PyList_GetSlice(keys, 0, PyList_GET_SIZE(keys));
}

// Which of the omitter's rules `rule` names, each given the slot: a path,
// an exact key, a pattern, a word. 0 when it names one at least, -1 with
// an exception set.
int name_rule(PyObject* rule, Py_ssize_t slot, PyObject* paths, int* path_slots, PyObject* keys,
              const RuleSet* rules, PlanOwn* own, Ref* patterns, Ref* words) {
    bool named = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(paths); i++) {
        if (PyUnicode_Compare(PyList_GET_ITEM(paths, i), rule) == 0) {
            path_slots[i] = int(slot);
            named = true;
        }
    }
    if (holds(keys, rule)) {
        named = true;
        if (add_slot(&own->exact_slots, rule, slot) < 0) return -1;
        if (rules->ignore_case) {
            Ref folded = Ref::steal(fold_key(rule));
            if (!folded || add_slot(&own->folded_slots, folded.get(), slot) < 0) return -1;
        }
    }
    PyObject* searches = rules->searches.get();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(rules->patterns.get()); i++) {
        Ref source = Ref::steal(PyObject_GetAttr(PyTuple_GET_ITEM(rules->patterns.get(), i), rs.s_pattern));
        if (!source) return -1;
        if (PyUnicode_Compare(source.get(), rule) != 0) continue;
        named = true;
        Ref pair = Ref::steal(Py_BuildValue("(On)", PyTuple_GET_ITEM(searches, i), slot));
        if (!pair || PyList_Append(patterns->get(), pair.get()) < 0) return -1;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(rules->contains.get()); i++) {
        if (PyUnicode_Compare(PyTuple_GET_ITEM(rules->contains.get(), i), rule) != 0) continue;
        named = true;
        Ref pair = Ref::steal(Py_BuildValue("(On)", PyTuple_GET_ITEM(rules->words.get(), i), slot));
        if (!pair || PyList_Append(words->get(), pair.get()) < 0) return -1;
    }
    if (!named) {
        PyErr_Format(PyExc_ValueError,
                     "policies names %R, which is none of the omitter's exact keys, words, patterns or paths", rule);
        return -1;
    }
    return 0;
}

// Sort (pattern or word, slot) pairs back into the order of the rules, so
// that the first rule listed wins among rules of one kind.
PyObject* in_rule_order(PyObject* pairs, PyObject* order) {
    Ref sorted = Ref::steal(PyList_New(0));
    if (!sorted) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(order); i++) {
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(pairs); k++) {
            PyObject* pair = PyList_GET_ITEM(pairs, k);
            if (PyTuple_GET_ITEM(pair, 0) == PyTuple_GET_ITEM(order, i) && PyList_Append(sorted.get(), pair) < 0) {
                return nullptr;
            }
        }
    }
    return PyList_AsTuple(sorted.get());
}

// The plan a walk follows where it cannot tell its place (RulePlan::joined):
// every slot masks by one policy made of, for each kind of value, the slot
// that shows least of it (the first such), the omitter's own included. 0, or
// -1 with an exception set.
int join_plan(PlanNode* node) {
    // Built for every plan, paths or none: a place's slot comes from key
    // rules too (the items of a list take its key's), and places joined
    // with no one slot covering theirs walk by slot 0, which must then show
    // no more than any of them.
    RulePlan& plan = node->plan;
    PlanPolicy least = plan.policies[0];
    PyObject* numbers_text = least.text;
    PyObject* booleans_text = least.text;
    for (uint32_t i = 1; i < plan.policy_count; i++) {
        const PlanPolicy& p = plan.policies[i];
        if (str_shown(p.str) < str_shown(least.str)) least.str = p.str;
        if (numbers_shown(p.numbers) < numbers_shown(least.numbers)) {
            least.numbers = p.numbers;
            numbers_text = p.text;
        }
        if (booleans_shown(p.booleans) < booleans_shown(least.booleans)) {
            least.booleans = p.booleans;
            booleans_text = p.text;
        }
    }
    // One text serves a number and a boolean shown as a str: either hides all of it.
    least.text = least.numbers == kNumbersString ? numbers_text : booleans_text;
    node->joined_policies = static_cast<PlanPolicy*>(PyMem_Calloc(plan.policy_count, sizeof(PlanPolicy)));
    if (node->joined_policies == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    for (uint32_t i = 0; i < plan.policy_count; i++) node->joined_policies[i] = least;
    RulePlan& joined = node->joined;
    joined = plan;
    joined.policies = node->joined_policies;
    joined.joined = &joined;
    joined.exact = &plan;
    // Slot 0 too masks by the joined policy, never by the omitter's mask as
    // it is now: an __init__ run since the call began may have given the
    // omitter one that shows more than this plan's policies.
    joined.own_mask = &node->joined_policies[0].str;
    plan.joined = &joined;
    return 0;
}

}  // namespace

int build_plan(const PlanOptions& options, PyObject* keys, const RuleSet* rules, const MaskPolicy* policy,
               bool whole, bool trusting, PlanNode** made) {
    *made = nullptr;
    const int numbers = choice(options.numbers, kNumberNames, "numbers");
    const int booleans = numbers < 0 ? -1 : choice(options.booleans, kBooleanNames, "booleans");
    if (booleans < 0) return -1;
    if (whole && (numbers != kNumbersKeep || booleans != kBooleansKeep)) {
        PyErr_Format(PyExc_ValueError, "%s cannot be combined with whole (a whole value is replaced by the fixed mask)",
                     numbers != kNumbersKeep ? "numbers" : "booleans");
        return -1;
    }
    PyObject* policies = options.policies != nullptr && options.policies != Py_None ? options.policies : nullptr;
    if (policies != nullptr && !PyDict_Check(policies)) {
        PyErr_Format(PyExc_TypeError, "policies must be a dict {rule: policy}, not %.200s",
                     Py_TYPE(policies)->tp_name);
        return -1;
    }
    if (policies != nullptr && trusting && PyDict_GET_SIZE(policies) > 0) {
        PyErr_SetString(PyExc_ValueError,
                        "RuleNoTrustOmitter takes no policies: its rules and paths say what is trusted, and what "
                        "it hides is masked by its own mask, numbers and booleans");
        return -1;
    }
    Ref paths = Ref::steal(path_list(options.paths));
    if (!paths) return -1;
    Ref parsed = Ref::steal(PyList_New(0));
    if (!parsed) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(paths.get()); i++) {
        Ref steps = Ref::steal(parse_path(PyList_GET_ITEM(paths.get(), i), i));
        if (!steps || PyList_Append(parsed.get(), steps.get()) < 0) return -1;
    }
    // A copy, so that no code the caller's dict runs meanwhile changes what is read.
    Ref rule_policies = Ref::steal(policies != nullptr ? PyDict_Copy(policies) : PyDict_New());
    if (!rule_policies) return -1;
    const Py_ssize_t slots = 1 + PyDict_GET_SIZE(rule_policies.get());
    if (PyList_GET_SIZE(paths.get()) == 0 && slots == 1 && numbers == kNumbersKeep && booleans == kBooleansKeep) {
        return 0;  // nothing the verdicts and the mask policy do not say
    }

    auto* node = static_cast<PlanNode*>(PyMem_Calloc(1, sizeof(PlanNode)));
    if (node == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    node->own = new (std::nothrow) PlanOwn();
    node->policies = static_cast<PlanPolicy*>(PyMem_Calloc(size_t(slots), sizeof(PlanPolicy)));
    int* path_slots = static_cast<int*>(PyMem_Calloc(size_t(PyList_GET_SIZE(paths.get())) + 1, sizeof(int)));
    struct Cleanup {
        PlanNode** node;
        int* path_slots;
        ~Cleanup() {
            PyMem_Free(path_slots);
            free_plan(*node);
        }
    } cleanup{&node, path_slots};
    if (node->own == nullptr || node->policies == nullptr || path_slots == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    PlanOwn& own = *node->own;
    own.keep = Ref::steal(PyList_New(0));
    own.paths = Ref::steal(PyList_AsTuple(paths.get()));
    own.policies = Ref::steal(PyDict_New());
    if (!own.keep || !own.paths || !own.policies) return -1;
    own.numbers = numbers;
    own.booleans = booleans;

    PlanPolicy& base = node->policies[0];
    if (policy != nullptr) base.str = *policy;
    base.numbers = numbers;
    base.booleans = booleans;
    if (base.str.text != nullptr && PyList_Append(own.keep.get(), base.str.text) < 0) return -1;
    base.text = base.str.text != nullptr ? base.str.text : rs.default_mask;

    Ref names = Ref::steal(key_names(keys));
    Ref patterns = Ref::steal(PyList_New(0));
    Ref words = Ref::steal(PyList_New(0));
    if (!names || !patterns || !words) return -1;
    Py_ssize_t pos = 0, slot = 1;
    PyObject* rule;
    PyObject* value;
    while (PyDict_Next(rule_policies.get(), &pos, &rule, &value)) {
        if (!PyUnicode_Check(rule)) {
            PyErr_Format(PyExc_TypeError, "policies keys must be str (a rule as the omitter spells it), not %.200s",
                         Py_TYPE(rule)->tp_name);
            return -1;
        }
        Ref exact_rule = Ref::steal(PyUnicode_FromObject(rule));
        Ref given;
        if (!exact_rule ||
            rule_policy(exact_rule.get(), value, base, whole, &node->policies[slot], own.keep.get(), &given) < 0 ||
            name_rule(exact_rule.get(), slot, paths.get(), path_slots, names.get(), rules, &own, &patterns,
                      &words) < 0 ||
            PyDict_SetItem(own.policies.get(), exact_rule.get(), given.get()) < 0) {
            return -1;
        }
        slot++;
    }
    own.pattern_slots = Ref::steal(in_rule_order(patterns.get(), rules->searches.get()));
    own.word_slots = Ref::steal(in_rule_order(words.get(), rules->words.get()));
    if (!own.pattern_slots || !own.word_slots) return -1;
    if (compile_paths(parsed.get(), path_slots, node) < 0) return -1;

    RulePlan& plan = node->plan;
    plan.policy_count = uint32_t(slots);
    plan.policies = node->policies;
    plan.trusting = trusting;
    for (Py_ssize_t i = 0; i < slots; i++) {
        plan.typed |= node->policies[i].numbers != kNumbersKeep || node->policies[i].booleans != kBooleansKeep;
    }
    plan.keyed = own.exact_slots || PyTuple_GET_SIZE(own.pattern_slots.get()) > 0 ||
                 PyTuple_GET_SIZE(own.word_slots.get()) > 0;
    plan.searched = PyTuple_GET_SIZE(own.pattern_slots.get()) > 0;
    plan.key_policy = key_policy;
    plan.exact_policy = exact_policy;
    plan.key_denied = key_denied;
    own.deny = rules->deny;
    plan.own = node->own;
    plan.exact = &plan;
    if (join_plan(node) < 0) return -1;
    *made = std::exchange(node, nullptr);
    return 0;
}


void free_plan(PlanNode* node) {
    if (node == nullptr) return;
    PyMem_Free(node->policies);
    PyMem_Free(node->joined_policies);
    PyMem_Free(node->steps);
    PyMem_Free(node->names);
    delete node->own;  // str, ints, dicts of them and bound searches: their release runs no code
    PyMem_Free(node);
}

void install_plan(PlanHistory* history, PlanNode* node) {
    if (node != nullptr) {
        node->older = history->nodes;
        history->nodes = node;
        history->current = &node->plan;
    } else {
        history->current = nullptr;
    }
}

void release_plans(PlanHistory* history) {
    history->current = nullptr;
    while (PlanNode* node = history->nodes) {
        history->nodes = node->older;
        free_plan(node);
    }
}

namespace {
const PlanOwn* own_of(const RulePlan* plan) { return plan != nullptr ? static_cast<const PlanOwn*>(plan->own) : nullptr; }
}  // namespace

PyObject* paths_argument(const RulePlan* plan) {
    const PlanOwn* own = own_of(plan);
    return new_ref(own != nullptr ? own->paths.get() : rs.empty_tuple);
}

PyObject* numbers_argument(const RulePlan* plan) {
    const PlanOwn* own = own_of(plan);
    return PyUnicode_FromString(kNumberNames[own != nullptr ? own->numbers : 0]);
}

PyObject* booleans_argument(const RulePlan* plan) {
    const PlanOwn* own = own_of(plan);
    return PyUnicode_FromString(kBooleanNames[own != nullptr ? own->booleans : 0]);
}

PyObject* policies_argument(const RulePlan* plan) {
    const PlanOwn* own = own_of(plan);
    Ref copy = Ref::steal(PyDict_New());
    if (!copy || own == nullptr) return copy.release();
    Py_ssize_t pos = 0;
    PyObject* rule;
    PyObject* policy;
    while (PyDict_Next(own->policies.get(), &pos, &rule, &policy)) {
        Ref inner = Ref::steal(PyDict_Copy(policy));
        if (!inner || PyDict_SetItem(copy.get(), rule, inner.get()) < 0) return nullptr;
    }
    return copy.release();
}

}  // namespace velmora::rules
