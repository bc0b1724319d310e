// The rule omitter types: verdicts, allocation, initialisation, collection,
// the read-only view of the configuration, and readiness.
#include "omitters.h"

#include "detection.h"
#include "pickling.h"

namespace velmora::rules {

namespace {

OmitterVTable rule_omitter_table;
OmitterVTable rule_no_trust_table;

template <bool kTrusting>
PyTypeObject* base_type() {
    return kTrusting ? rs.api.no_trust_type : rs.api.omitter_type;
}

template <bool kTrusting>
const OmitterVTable& base_table() {
    return kTrusting ? *rs.api.no_trust_vtable : *rs.api.omitter_vtable;
}

template <bool kTrusting>
RuleFields& own_fields(OmitterObject* self) {
    return fields_of<kTrusting>(reinterpret_cast<PyObject*>(self));
}

// ---- Verdicts ---------------------------------------------------------------
//
// A hiding omitter hides a key that a rule matches or that is one of its
// exact keys. A trusting one hides a key that a default word denies, or
// that neither a rule matches nor its exact keys hold. Rules are only asked
// about exact str keys; every other key gets the base's verdict alone.

// The rules' verdict for an exact str key: 1 hide, 0 keep, -1 no verdict
// (the exact keys decide), -2 on failure with an exception set, -3 when
// only a regex search could decide and `may_search` is false.
template <bool kTrusting>
int rules_verdict(OmitterObject* self, PyObject* key, bool may_search) {
    RuleFields& fields = own_fields<kTrusting>(self);
    if (fields.set == nullptr) return -1;
    // A long regex search lets signal handlers run: hold the rules the
    // verdict reads.
    Ref hold = Ref::borrow(fields.rules);
    const int verdict = rules_match(fields.set, key, may_search);
    if (verdict < 0) return -2;
    if (verdict & kDenied) return 1;
    if (verdict & kMatched) return kTrusting ? 0 : 1;
    if (verdict & kUndecided) return -3;
    return -1;
}

// Slot 1. The rules go first: they run no Python code (a long regex search
// may let signal handlers run; see quiet_should_hide), while the exact
// keys' comparisons may (an item's __eq__), and then only when the rules
// had no verdict.
template <bool kTrusting>
int should_hide(OmitterObject* self, PyObject* key) {
    if (PyUnicode_CheckExact(key)) {
        const int verdict = rules_verdict<kTrusting>(self, key, true);
        if (verdict == -2) return 0;
        if (verdict >= 0) return verdict;
    }
    return base_table<kTrusting>().should_hide(self, key);
}

// The quiet verdict: the base's quiet answer where the rules cannot change
// it, the rules computed here otherwise; -1 (no exception) when only
// should_hide can tell.
template <bool kTrusting>
int quiet_should_hide(OmitterObject* self, PyObject* key) {
    const OmitterVTable& base = base_table<kTrusting>();
    const int exact = base.quiet_should_hide != nullptr ? base.quiet_should_hide(self, key) : -1;
    if (exact == (kTrusting ? 0 : 1)) {
        // Hidden by an exact key, or trusted by one with no default word
        // to deny it: the rules cannot change that.
        const RuleSet* set = own_fields<kTrusting>(self).set;
        if (!kTrusting || set == nullptr || PyTuple_GET_SIZE(set->deny.get()) == 0) return exact;
    }
    // No regex search here: a long one lets signal handlers run, which a
    // quiet verdict must not; the keys it would decide go to should_hide.
    const int verdict = rules_verdict<kTrusting>(self, key, false);
    if (verdict == -3) return -1;
    if (verdict == -2) {
        PyErr_Clear();  // should_hide will meet it again and raise it
        return -1;
    }
    return verdict >= 0 ? verdict : exact;
}

template <bool kTrusting>
const MaskPolicy* mask_policy(OmitterObject* self) {
    return own_fields<kTrusting>(self).policies.current;
}

template <bool kTrusting>
const RulePlan* rule_plan(OmitterObject* self) {
    return own_fields<kTrusting>(self).plans.current;
}

// The detector's look at the str values the verdicts let through.
template <bool kTrusting>
int open_str_hook(OmitterObject* self, StrHook* hook) {
    return open_detection(own_fields<kTrusting>(self).detect, hook);
}

// ---- Allocation, initialisation, collection ---------------------------------

template <bool kTrusting>
PyObject* rule_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    // The base allocates (the fields come zeroed: no rules, the default
    // policy) and points the object at its own table; ours replaces it.
    PyObject* self = base_type<kTrusting>()->tp_new(type, args, kwds);
    if (self == nullptr) return nullptr;
    reinterpret_cast<OmitterObject*>(self)->vtab = kTrusting ? &rule_no_trust_table : &rule_omitter_table;
    return self;
}

// Everything is checked and made before anything changes. The exact keys
// are made by the base's own __init__, run on a fresh object of the base
// type so that a failure later on has nothing to undo.
template <bool kTrusting>
int rule_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* names[] = {kTrusting ? "trusted" : "omissions",
                                  "ignore_case", "contains", "patterns", "mask", "keep_last", "whole", "defaults",
                                  "detect", "paths", "numbers", "booleans", "policies", nullptr};
    PyObject* keys = Py_None;
    PyObject* detect = nullptr;
    int ignore_case = 0, whole = 0, defaults = 0;
    RuleOptions rule_options;
    MaskOptions mask_options;
    PlanOptions plan_options;
    const char* format = kTrusting ? "|O$pOOOOppOOOOO:RuleNoTrustOmitter" : "|O$pOOOOppOOOOO:RuleOmitter";
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, const_cast<char**>(names), &keys, &ignore_case,
                                     &rule_options.contains, &rule_options.patterns, &mask_options.mask,
                                     &mask_options.keep_last, &whole, &defaults, &detect, &plan_options.paths,
                                     &plan_options.numbers, &plan_options.booleans, &plan_options.policies)) {
        return -1;
    }
    rule_options.ignore_case = ignore_case;
    rule_options.defaults = defaults;
    mask_options.whole = whole;

    Prepared prepared;
    if (prepare(rule_options, mask_options, detect, kTrusting, &prepared) < 0) return -1;
    PyTypeObject* base = base_type<kTrusting>();
    Ref base_args = Ref::steal(PyTuple_Pack(1, keys));
    if (!base_args) return -1;
    Ref scratch = Ref::steal(base->tp_new(base, rs.empty_tuple, nullptr));
    if (!scratch || base->tp_init(scratch.get(), base_args.get(), nullptr) < 0) return -1;
    PyObject* exact = exact_keys_of(scratch.get(), kTrusting);
    if (prepare_plan(plan_options, exact, kTrusting, &prepared) < 0) return -1;
    return install(self, exact, &prepared);
}

template <bool kTrusting>
int rule_traverse(PyObject* self, visitproc visit, void* arg) {
    if (int rc = base_type<kTrusting>()->tp_traverse(self, visit, arg)) return rc;
    Py_VISIT(fields_of<kTrusting>(self).rules);
    Py_VISIT(fields_of<kTrusting>(self).detect);
    return 0;
}

// The rules hold only str, frozensets of str and compiled patterns, and a
// detector only str and its compiled engine, which cannot lead back to the
// object: nothing of ours to clear for a cycle.
template <bool kTrusting>
int rule_clear(PyObject* self) {
    return base_type<kTrusting>()->tp_clear(self);
}

template <bool kTrusting>
void rule_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    RuleFields& fields = fields_of<kTrusting>(self);
    fields.set = nullptr;
    Py_CLEAR(fields.rules);
    Py_CLEAR(fields.detect);
    release_policies(&fields.policies);
    release_plans(&fields.plans);
    base_type<kTrusting>()->tp_dealloc(self);
}

// ---- The configuration, read-only ---------------------------------------------

const RuleSet* set_of(PyObject* self) { return fields_of(self).set; }
const MaskPolicy* policy_of(PyObject* self) { return fields_of(self).policies.current; }

PyObject* get_keys(PyObject* self, void*) {
    PyObject* keys = exact_keys_of(self);
    return keys == Py_None ? new_ref(Py_None) : PySequence_Tuple(keys);
}

PyObject* get_ignore_case(PyObject* self, void*) {
    return PyBool_FromLong(set_of(self) != nullptr && set_of(self)->ignore_case);
}

PyObject* get_contains(PyObject* self, void*) {
    return new_ref(set_of(self) != nullptr ? set_of(self)->contains.get() : rs.empty_tuple);
}

PyObject* get_patterns(PyObject* self, void*) {
    return new_ref(set_of(self) != nullptr ? set_of(self)->patterns.get() : rs.empty_tuple);
}

PyObject* get_mask(PyObject* self, void*) { return mask_argument(policy_of(self)); }
PyObject* get_keep_last(PyObject* self, void*) { return keep_last_argument(policy_of(self)); }
PyObject* get_whole(PyObject* self, void*) { return PyBool_FromLong(whole_argument(policy_of(self))); }

PyObject* get_defaults(PyObject* self, void*) {
    return PyBool_FromLong(set_of(self) != nullptr && set_of(self)->defaults);
}

const RulePlan* plan_of(PyObject* self) { return fields_of(self).plans.current; }
PyObject* get_paths(PyObject* self, void*) { return paths_argument(plan_of(self)); }
PyObject* get_numbers(PyObject* self, void*) { return numbers_argument(plan_of(self)); }
PyObject* get_booleans(PyObject* self, void*) { return booleans_argument(plan_of(self)); }
PyObject* get_policies(PyObject* self, void*) { return policies_argument(plan_of(self)); }

PyObject* get_detect(PyObject* self, void*) {
    PyObject* detect = fields_of(self).detect;
    return new_ref(detect != nullptr ? detect : Py_None);
}

PyGetSetDef rule_getset[] = {
    {"keys", get_keys, nullptr, "The exact keys, as a tuple (None before __init__).", nullptr},
    {"ignore_case", get_ignore_case, nullptr, "Whether the exact keys also match ignoring case.", nullptr},
    {"contains", get_contains, nullptr, "Words whose presence in a key matches (ignoring case).", nullptr},
    {"patterns", get_patterns, nullptr, "Compiled patterns; a key matches when one finds a match.", nullptr},
    {"mask", get_mask, nullptr, "The fixed mask, or None.", nullptr},
    {"keep_last", get_keep_last, nullptr, "Code points shown at the end of a masked str, or None.", nullptr},
    {"whole", get_whole, nullptr, "Whether a hidden key hides its whole value, of any type.", nullptr},
    {"defaults", get_defaults, nullptr, "Whether DEFAULT_DENYLIST applies.", nullptr},
    {"detect", get_detect, nullptr, "The Detector that masks secrets inside the str values, or None.", nullptr},
    {"paths", get_paths, nullptr, "The JSON paths that select values, as given.", nullptr},
    {"numbers", get_numbers, nullptr, "What a hidden number becomes: 'keep', 'zero', 'digits' or 'string'.", nullptr},
    {"booleans", get_booleans, nullptr, "What a hidden boolean becomes: 'keep', 'false' or 'string'.", nullptr},
    {"policies", get_policies, nullptr, "A policy per rule: a new dict {rule: policy}.", nullptr},
    {nullptr},
};

// "Name(keys, option=value, ...)": the options that differ from the defaults.
// They are read first, as reading them runs no Python code; the keys' repr
// may, and may re-initialise the object.
PyObject* rule_repr(PyObject* self) {
    Ref parts = Ref::steal(PyList_New(0));
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (!parts || !name) return nullptr;
    struct Option {
        const char* name;
        getter get;
    };
    const Option options[] = {{"ignore_case", get_ignore_case}, {"contains", get_contains},
                              {"patterns", get_patterns},       {"mask", get_mask},
                              {"keep_last", get_keep_last},     {"whole", get_whole},
                              {"defaults", get_defaults},       {"detect", get_detect},
                              {"paths", get_paths},             {"numbers", get_numbers},
                              {"booleans", get_booleans},       {"policies", get_policies}};
    for (const Option& option : options) {
        Ref value = Ref::steal(option.get(self, nullptr));
        if (!value) return nullptr;
        // The defaults: None, False, (), {} and 'keep'; an empty mask is not one.
        PyObject* v = value.get();
        if (v == Py_None || v == Py_False || (PyTuple_CheckExact(v) && PyTuple_GET_SIZE(v) == 0) ||
            (PyDict_CheckExact(v) && PyDict_GET_SIZE(v) == 0) ||
            (option.get != get_mask && PyUnicode_Check(v) && PyUnicode_CompareWithASCIIString(v, "keep") == 0)) {
            continue;
        }
        Ref part = Ref::steal(PyUnicode_FromFormat("%s=%R", option.name, v));
        if (!part || PyList_Append(parts.get(), part.get()) < 0) return nullptr;
    }
    // Held: an item's __repr__ may re-initialise the object, which lets go of its list.
    Ref list = Ref::borrow(exact_keys_of(self));
    Ref keys = Ref::steal(PyObject_Repr(list.get()));
    if (!keys || PyList_Insert(parts.get(), 0, keys.get()) < 0) return nullptr;
    Ref separator = Ref::steal(PyUnicode_FromString(", "));
    if (!separator) return nullptr;
    Ref joined = Ref::steal(PyUnicode_Join(separator.get(), parts.get()));
    if (!joined) return nullptr;
    return PyUnicode_FromFormat("%U(%U)", name.get(), joined.get());
}

}  // namespace

// ---- Making and installing rules ------------------------------------------------

int prepare(const RuleOptions& rules, const MaskOptions& mask, PyObject* detect, bool trusting, Prepared* out) {
    if (detector_argument(detect, &out->detect) < 0) return -1;
    if (build_policy(mask, &out->policy) < 0) return -1;
    out->rules = Ref::steal(build_rules(rules, trusting));
    return out->rules ? 0 : -1;
}

int prepare_plan(const PlanOptions& options, PyObject* keys, bool trusting, Prepared* out) {
    const MaskPolicy* policy = out->policy != nullptr ? &out->policy->policy : nullptr;
    return build_plan(options, keys, rules_in(out->rules.get()), policy, policy != nullptr && policy->whole, trusting,
                      &out->plan);
}

namespace {

// The base's __setstate__ with the state of the base type: (keys,) for an
// Omitter, (None, keys) for a NoTrustOmitter.
int set_exact_keys(PyObject* self, PyObject* keys) {
    const bool trusting = is_trusting(self);
    Ref state = Ref::steal(trusting ? PyTuple_Pack(2, Py_None, keys) : PyTuple_Pack(1, keys));
    if (!state) return -1;
    PyObject* args[] = {self, state.get()};
    Ref done = Ref::steal(PyObject_Vectorcall(trusting ? rs.no_trust_setstate : rs.omitter_setstate, args, 2,
                                              nullptr));
    return done ? 0 : -1;
}

}  // namespace

int install(PyObject* self, PyObject* keys, Prepared* prepared) {
    // Held: releasing the object's previous list may run finalisers.
    Ref held = Ref::borrow(keys);
    if (fold_exact_keys(rules_in(prepared->rules.get()), keys) < 0) return -1;
    if (set_exact_keys(self, keys) < 0) return -1;
    RuleFields& fields = fields_of(self);
    install_policy(&fields.policies, std::exchange(prepared->policy, nullptr));
    install_plan(&fields.plans, std::exchange(prepared->plan, nullptr));
    PyObject* previous = fields.rules;
    PyObject* previous_detect = fields.detect;
    fields.rules = prepared->rules.release();
    fields.set = rules_in(fields.rules);
    fields.detect = prepared->detect.release();
    Py_XDECREF(previous);  // may release compiled patterns, whose weak references may run code
    Py_XDECREF(previous_detect);
    return 0;
}

// ---- Types ----------------------------------------------------------------------

#define RULE_OPTIONS_SIGNATURE                                                                                   \
    "*, ignore_case=False, contains=(), patterns=(), mask=None, keep_last=None, whole=False, defaults=False, " \
    "detect=None, paths=(), numbers='keep', booleans='keep', policies=None)\n--\n\n"

PyTypeObject RuleOmitterType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "velmora.rules.RuleOmitter",
    .tp_basicsize = sizeof(RuleOmitterObject),
    .tp_dealloc = rule_dealloc<false>,
    .tp_repr = rule_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VERSION_TAG | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "RuleOmitter(omissions=None, " RULE_OPTIONS_SIGNATURE
              "An Omitter that also hides keys matched by rules: its exact keys ignoring case,\n"
              "keys containing a word (ignoring case), keys a pattern searches successfully,\n"
              "and with defaults=True keys containing a word of DEFAULT_DENYLIST. With\n"
              "detect=Detector, what it finds inside the other str values is masked too.",
    .tp_traverse = rule_traverse<false>,
    .tp_clear = rule_clear<false>,
    .tp_methods = rule_pickle_methods,
    .tp_getset = rule_getset,
    .tp_init = rule_init<false>,
    .tp_new = rule_new<false>,
};

PyTypeObject RuleNoTrustOmitterType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "velmora.rules.RuleNoTrustOmitter",
    .tp_basicsize = sizeof(RuleNoTrustObject),
    .tp_dealloc = rule_dealloc<true>,
    .tp_repr = rule_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VERSION_TAG | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "RuleNoTrustOmitter(trusted=None, " RULE_OPTIONS_SIGNATURE
              "A NoTrustOmitter that also trusts keys matched by rules (as RuleOmitter hides\n"
              "them); with defaults=True a key containing a word of DEFAULT_DENYLIST is never\n"
              "trusted. With detect=Detector, what it finds inside the other str values is\n"
              "masked too.",
    .tp_traverse = rule_traverse<true>,
    .tp_clear = rule_clear<true>,
    .tp_methods = rule_pickle_methods,
    .tp_getset = rule_getset,
    .tp_init = rule_init<true>,
    .tp_new = rule_new<true>,
};

namespace {

// Ready `type` on `base` with `table` (a copy of the base's, three entries
// replaced), publish the table in a capsule as velmora.omit does, and add
// the type to the module.
int ready_type(PyTypeObject* type, PyTypeObject* base, OmitterVTable* table, const char* name, PyObject* module) {
    if (!(type->tp_flags & Py_TPFLAGS_READY)) {
        type->tp_base = base;
        const int collector_was_on = PyGC_Disable();
        const int ready = PyType_Ready(type);
        if (collector_was_on) PyGC_Enable();
        if (ready < 0) return -1;
        Ref capsule = Ref::steal(PyCapsule_New(table, nullptr, nullptr));
        if (!capsule || PyDict_SetItemString(type->tp_dict, "__pyx_vtable__", capsule.get()) < 0) return -1;
        PyType_Modified(type);
    }
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

}  // namespace

int ready_rule_types(PyObject* module) {
    rule_omitter_table = *rs.api.omitter_vtable;
    rule_omitter_table.should_hide = should_hide<false>;
    rule_omitter_table.quiet_should_hide = quiet_should_hide<false>;
    rule_omitter_table.mask_policy = mask_policy<false>;
    rule_omitter_table.open_str_hook = open_str_hook<false>;
    rule_omitter_table.rule_plan = rule_plan<false>;
    rule_no_trust_table = *rs.api.no_trust_vtable;
    rule_no_trust_table.should_hide = should_hide<true>;
    rule_no_trust_table.quiet_should_hide = quiet_should_hide<true>;
    rule_no_trust_table.mask_policy = mask_policy<true>;
    rule_no_trust_table.open_str_hook = open_str_hook<true>;
    rule_no_trust_table.rule_plan = rule_plan<true>;
    if (ready_type(&RuleOmitterType, rs.api.omitter_type, &rule_omitter_table, "RuleOmitter", module) < 0) {
        return -1;
    }
    return ready_type(&RuleNoTrustOmitterType, rs.api.no_trust_type, &rule_no_trust_table, "RuleNoTrustOmitter",
                      module);
}

}  // namespace velmora::rules
