// Pickling of RuleOmitter and RuleNoTrustOmitter.
//
// Strategy: `__reduce__` returns `(_rebuild, (type(self),), state)` with
//   state = (keys, ignore_case, contains, patterns, mask, keep_last, whole,
//            defaults, instance_state)
// followed by the detector, only when the object has one (a state of 9
// items is one without: what pickles made before detectors hold), and by
// (paths, numbers, booleans, policies), only when the object has a plan:
// the detector item is then there too, None for none (14 items in all).
// `keys` is the object's own exact key list (or None), as velmora.omit
// pickles it: an unpickled omitter holds exactly the pickled keys, whatever
// the module-wide lists hold by then, and `copy.copy` shares the list while
// `copy.deepcopy` copies it. The rule and mask items are the constructor's
// arguments. `instance_state` is what `__getstate__` gives (None, a dict, or
// a (dict, slots) pair, for a Python subclass's attributes). A detector
// pickles with its registered values.
//
// `_rebuild` makes a bare object of the class without running `__init__`;
// `__setstate__` checks every item as `__init__` checks its arguments, makes
// the rules and the policy, and only then changes the object.
#include "pickling.h"

#include "omitters.h"

namespace velmora::rules {

namespace {

constexpr Py_ssize_t kStateSize = 9;  // without a detector; one more with it
constexpr Py_ssize_t kInstanceState = 8;
constexpr Py_ssize_t kDetector = 9;
constexpr Py_ssize_t kPlannedSize = 14;  // with the detector item and the four plan items

PyObject* reduce(PyObject* self, PyObject*) {
    // First, as it may run Python code (an override) that changes the object.
    Ref instance_state = Ref::steal(PyObject_CallMethodNoArgs(self, rs.s___getstate__));
    if (!instance_state) return nullptr;
    const RuleFields& fields = fields_of(self);
    const RuleSet* set = fields.set;
    const MaskPolicy* policy = fields.policies.current;
    Ref mask = Ref::steal(mask_argument(policy));
    Ref keep_last = Ref::steal(keep_last_argument(policy));
    if (!mask || !keep_last) return nullptr;
    PyObject* const empty = rs.empty_tuple;
    Ref state = Ref::steal(PyTuple_Pack(
        kStateSize, exact_keys_of(self), set != nullptr && set->ignore_case ? Py_True : Py_False,
        set != nullptr ? set->contains.get() : empty, set != nullptr ? set->patterns.get() : empty, mask.get(),
        keep_last.get(), whole_argument(policy) ? Py_True : Py_False,
        set != nullptr && set->defaults ? Py_True : Py_False, instance_state.get()));
    const RulePlan* plan = fields.plans.current;
    if (state && (fields.detect != nullptr || plan != nullptr)) {
        Ref detector = Ref::steal(PyTuple_Pack(1, fields.detect != nullptr ? fields.detect : Py_None));
        state = detector ? Ref::steal(PySequence_Concat(state.get(), detector.get())) : Ref();
    }
    if (state && plan != nullptr) {
        Ref paths = Ref::steal(paths_argument(plan));
        Ref numbers = Ref::steal(numbers_argument(plan));
        Ref booleans = Ref::steal(booleans_argument(plan));
        Ref policies = Ref::steal(policies_argument(plan));
        Ref items = paths && numbers && booleans && policies
                        ? Ref::steal(PyTuple_Pack(4, paths.get(), numbers.get(), booleans.get(), policies.get()))
                        : Ref();
        state = items ? Ref::steal(PySequence_Concat(state.get(), items.get())) : Ref();
    }
    Ref args = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(Py_TYPE(self))));
    if (!state || !args) return nullptr;
    return PyTuple_Pack(3, rs.rebuild, args.get(), state.get());
}

// Restore a subclass's attributes as pickle does for objects without a
// `__setstate__` of their own: a dict updates `__dict__`, a (dict, slots)
// pair also sets the slots.
int restore_instance_state(PyObject* self, PyObject* instance_state) {
    if (instance_state == Py_None) return 0;
    PyObject* dict_state = instance_state;
    PyObject* slot_state = Py_None;
    if (PyTuple_CheckExact(instance_state) && PyTuple_GET_SIZE(instance_state) == 2) {
        dict_state = PyTuple_GET_ITEM(instance_state, 0);
        slot_state = PyTuple_GET_ITEM(instance_state, 1);
    }
    if ((dict_state != Py_None && !PyDict_Check(dict_state)) || (slot_state != Py_None && !PyDict_Check(slot_state))) {
        PyErr_Format(PyExc_TypeError, "instance state must be None, a dict or a (dict, dict) pair, not %.200s",
                     Py_TYPE(instance_state)->tp_name);
        return -1;
    }
    if (dict_state != Py_None && PyDict_GET_SIZE(dict_state) > 0) {
        Ref dict = Ref::steal(PyObject_GetAttr(self, rs.s___dict__));
        if (!dict) return -1;
        Ref done = Ref::steal(PyObject_CallMethodOneArg(dict.get(), rs.s_update, dict_state));
        if (!done) return -1;
    }
    if (slot_state != Py_None) {
        // A copy of the pairs: setting an attribute may run code that changes the dict.
        Ref items = Ref::steal(PyDict_Items(slot_state));
        if (!items) return -1;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); i++) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            if (PyObject_SetAttr(self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) return -1;
        }
    }
    return 0;
}

PyObject* setstate(PyObject* self, PyObject* state) {
    const Py_ssize_t size = PyTuple_CheckExact(state) ? PyTuple_GET_SIZE(state) : 0;
    if (size != kStateSize && size != kStateSize + 1 && size != kPlannedSize) {
        PyErr_Format(PyExc_TypeError, "__setstate__ expects a tuple of %zd, %zd or %zd items, not %.200s", kStateSize,
                     kStateSize + 1, kPlannedSize, Py_TYPE(state)->tp_name);
        return nullptr;
    }
    PyObject* detect = size > kDetector ? PyTuple_GET_ITEM(state, kDetector) : nullptr;
    PlanOptions plan_options;
    if (size == kPlannedSize) {
        plan_options.paths = PyTuple_GET_ITEM(state, kDetector + 1);
        plan_options.numbers = PyTuple_GET_ITEM(state, kDetector + 2);
        plan_options.booleans = PyTuple_GET_ITEM(state, kDetector + 3);
        plan_options.policies = PyTuple_GET_ITEM(state, kDetector + 4);
    }
    PyObject* keys = PyTuple_GET_ITEM(state, 0);
    if (keys != Py_None && !PyList_CheckExact(keys)) {
        PyErr_Format(PyExc_TypeError, "keys in the state must be a list or None, not %.200s", Py_TYPE(keys)->tp_name);
        return nullptr;
    }
    int flags[3];  // ignore_case, whole, defaults
    const Py_ssize_t flag_items[3] = {1, 6, 7};
    for (int i = 0; i < 3; i++) {
        flags[i] = PyObject_IsTrue(PyTuple_GET_ITEM(state, flag_items[i]));
        if (flags[i] < 0) return nullptr;
    }
    RuleOptions rule_options;
    rule_options.contains = PyTuple_GET_ITEM(state, 2);
    rule_options.patterns = PyTuple_GET_ITEM(state, 3);
    rule_options.ignore_case = flags[0];
    rule_options.defaults = flags[2];
    MaskOptions mask_options;
    mask_options.mask = PyTuple_GET_ITEM(state, 4);
    mask_options.keep_last = PyTuple_GET_ITEM(state, 5);
    mask_options.whole = flags[1];

    Prepared prepared;
    if (prepare(rule_options, mask_options, detect, is_trusting(self), &prepared) < 0) return nullptr;
    if (prepare_plan(plan_options, keys, is_trusting(self), &prepared) < 0) return nullptr;
    if (install(self, keys, &prepared) < 0) return nullptr;
    if (restore_instance_state(self, PyTuple_GET_ITEM(state, kInstanceState)) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* rebuild(PyObject*, PyObject* cls) {
    PyTypeObject* own = nullptr;
    if (PyType_Check(cls)) {
        PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
        if (PyType_IsSubtype(type, &RuleNoTrustOmitterType)) {
            own = &RuleNoTrustOmitterType;
        } else if (PyType_IsSubtype(type, &RuleOmitterType)) {
            own = &RuleOmitterType;
        }
    }
    if (own == nullptr) {
        PyErr_Format(PyExc_TypeError, "_rebuild() argument must be a subclass of RuleOmitter or RuleNoTrustOmitter, not %R",
                     cls);
        return nullptr;
    }
    // What `own.__new__(cls)` does: no `__init__`, no override of `__new__`.
    return own->tp_new(reinterpret_cast<PyTypeObject*>(cls), rs.empty_tuple, nullptr);
}

}  // namespace

PyMethodDef rule_pickle_methods[] = {
    {"__reduce__", reduce, METH_NOARGS, "Pickle support: the class, and the keys, rules, mask and plan as state."},
    {"__setstate__", setstate, METH_O, "Pickle support: restore the keys, rules, mask, plan and attributes."},
    {nullptr},
};

PyMethodDef rebuild_def = {"_rebuild", rebuild, METH_O, "A bare rule omitter of class `cls`, for unpickling."};

}  // namespace velmora::rules
