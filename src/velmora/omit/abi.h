// What the package's other native modules may rely on about omitters.
//
// velmora.omit publishes each type's method table in a capsule under
// `__pyx_vtable__` in the type's dict. The three slots come first, in the
// order every native caller expects; the entries after them belong to this
// package alone (a subtype's table is a copy of its base's with entries
// replaced, so they are always there).
//
// Another extension module of the package finds the types and tables at run
// time with `import_omitter_api()`: it shares this header, not symbols.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace velmora {

struct OmitterObject;
struct RulePlan;  // rule_plan.h

// Optional arguments of slot 3. (`do` is a C++ keyword, hence `do_`.)
struct OmitRecurseOptions {
    int32_t optional_count;
    int32_t do_;
};

// How an omitter masks what it hides. Null (the omitters of velmora.omit)
// means the default: a str value becomes a run of '*', one per code point.
struct MaskPolicy {
    enum Kind : int32_t {
        kStars = 0,     // '*' per code point
        kFixed = 1,     // `text`, whatever the value (length not revealed)
        kKeepLast = 2,  // '*' per code point but the last `keep`; a value of
                        // `keep` code points or fewer is all '*'
    };
    Kind kind;
    PyObject* text;   // kFixed, and the mask of `whole`: an exact str
    Py_ssize_t keep;  // kKeepLast: code points kept at the end (> 0)
    // A hidden key hides its whole value, of any type, with `text`: a str
    // key is asked about for every value, not only str and list values.
    bool whole;
};

// A look at the str values an omitter's verdicts let through (velmora.rules:
// a detector's spans), open for one call so that the whole call sees one
// state of what it looks for. The omitter fills it; the walk calls through
// it and owns nothing of it.
struct StrHook {
    // For an exact str value the walk would otherwise leave as it is: a new
    // reference to `value` itself when nothing in it is to be masked (and
    // then nothing is allocated), else to a new str; null with an exception
    // set. Runs no Python code and allocates nothing but the result.
    PyObject* (*apply)(const StrHook* hook, PyObject* value);
    // Let go of what the opening took; once, after the call's walk. May
    // run code (a release).
    void (*close)(StrHook* hook);
    void* state[3];  // the omitter's own
    // The velmora.detect.Detector whose spans `apply` masks, held by the
    // hook until it is closed; null when the hook is not a detector's. The
    // scanner, which looks at JSON text rather than at str objects, masks
    // by the detector itself.
    PyObject* detector = nullptr;
};

// What `hook` makes of the str `value` (an exact str or a subclass, which is
// looked at through an exact copy of its text): a new reference to `value`
// itself when nothing changes, else to a new exact str; null with an
// exception set. Runs no Python code.
inline PyObject* apply_str_hook(const StrHook* hook, PyObject* value) {
    if (PyUnicode_CheckExact(value)) return hook->apply(hook, value);
    PyObject* text = PyUnicode_FromObject(value);  // a subclass: copies, runs nothing
    if (text == nullptr) return nullptr;
    PyObject* looked = hook->apply(hook, text);
    Py_DECREF(text);
    if (looked != text) return looked;
    Py_DECREF(looked);
    Py_INCREF(value);
    return value;
}

struct OmitterVTable {
    // 1 to hide, 0 not to hide; 0 with an exception set on failure.
    int (*should_hide)(OmitterObject* self, PyObject* key);
    // New reference to the walked dict (or an override's accepted result).
    PyObject* (*omit)(OmitterObject* self, PyObject* target, int skip_override);
    // New reference to the walked list (or an override's accepted result).
    PyObject* (*omit_recurse)(OmitterObject* self, PyObject* target, int skip_override,
                              OmitRecurseOptions* options);

    // ---- Entries of this package only ----

    // should_hide of an exact str key, answered without running any code
    // but this module's (no Python code, no finaliser, no collection):
    // 1 or 0, or -1 (no exception set) when only should_hide can answer.
    // Null: never.
    int (*quiet_should_hide)(OmitterObject* self, PyObject* key);
    // The object's mask policy, borrowed from the object, which keeps it
    // unchanged for its whole life. Null entry, or a null result: the
    // default.
    const MaskPolicy* (*mask_policy)(OmitterObject* self);
    // Tell the object that code it did not run may have run since it last
    // answered (Python code, a finaliser): what its answers rely on is
    // checked again before the next one. A native caller outside the
    // object's module calls this before it asks slot 1 or
    // quiet_should_hide whenever such code may have run since its last
    // question (and before its first). Null: nothing to do.
    void (*foreign_code_ran)(OmitterObject* self);
    // Which facts about the interpreter's private layout velmora.omit found
    // true at import, and so uses: nine flags (dict version tags, cached str
    // hashes, the recursion budget, reading dict entries, writing them, a
    // dict watcher of its own, fresh tags from a dict of its own, masks
    // written over a str nobody else holds, fresh tags from the
    // interpreter's counter), for tests and diagnostics.
    // Copied with the table.
    const bool* layout_gates;
    // The object's str value hook, opened for one call: a walk entered
    // from Python (each `omit` or `omit_recurse`), or one redacted() call.
    // 1 opened (`hook` filled: close it once the call's walk is over), 0
    // none (the object looks at no str value beyond its verdicts), -1
    // failed with an exception set. Runs no Python code. Null (the
    // omitters of velmora.omit): never a hook.
    int (*open_str_hook)(OmitterObject* self, StrHook* hook);
    // The object's plan (rule_plan.h): paths, what hidden numbers and
    // booleans become, and a policy per rule. Borrowed from the object,
    // which keeps it unchanged for its whole life. Null entry, or a null
    // result (an omitter with no paths, no policy per rule, and numbers and
    // booleans kept): the verdicts and mask_policy say everything. Runs no
    // code.
    const RulePlan* (*rule_plan)(OmitterObject* self);
};

struct KeyIndex;  // private to velmora.omit

struct OmitterObject {
    PyObject_HEAD
    OmitterVTable* vtab;
    PyObject* omissions;  // a list or None; never null while alive
    KeyIndex* index;      // the object's own index of its key list, or null
};

struct NoTrustOmitterObject {
    OmitterObject base;
    PyObject* trusted;  // a list or None; null only during deallocation
};

// The policy an omitter masks by, or null for the default.
inline const MaskPolicy* mask_policy_of(OmitterObject* self) {
    return self->vtab->mask_policy != nullptr ? self->vtab->mask_policy(self) : nullptr;
}

// The plan an omitter decides values by, or null for none.
inline const RulePlan* rule_plan_of(OmitterObject* self) {
    return self->vtab->rule_plan != nullptr ? self->vtab->rule_plan(self) : nullptr;
}

// The types and tables of velmora.omit, found at run time.
struct OmitterApi {
    PyTypeObject* omitter_type;
    PyTypeObject* no_trust_type;
    OmitterVTable* omitter_vtable;
    OmitterVTable* no_trust_vtable;
};

namespace abi_detail {
inline int type_and_table(PyObject* module, const char* name, PyTypeObject** type, OmitterVTable** table) {
    PyObject* found = PyObject_GetAttrString(module, name);
    if (found == nullptr) return -1;
    if (!PyType_Check(found)) {
        Py_DECREF(found);
        PyErr_Format(PyExc_ImportError, "velmora.omit.%s is not a type", name);
        return -1;
    }
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(found);
    // The type lives as long as the process (velmora.omit never releases
    // it), so keeping the pointer without a reference is safe; the reference
    // taken here is kept anyway.
    PyObject* capsule = PyDict_GetItemString(tp->tp_dict, "__pyx_vtable__");
    void* found_table = capsule != nullptr ? PyCapsule_GetPointer(capsule, nullptr) : nullptr;
    if (found_table == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "velmora.omit.%s has no method table", name);
        return -1;
    }
    *type = tp;
    *table = static_cast<OmitterVTable*>(found_table);
    return 0;
}
}  // namespace abi_detail

// Fill `api` from velmora.omit (imported if need be). 0, or -1 with an
// exception set.
inline int import_omitter_api(OmitterApi* api) {
    PyObject* module = PyImport_ImportModule("velmora.omit");
    if (module == nullptr) return -1;
    int rc = abi_detail::type_and_table(module, "Omitter", &api->omitter_type, &api->omitter_vtable);
    if (rc == 0) rc = abi_detail::type_and_table(module, "NoTrustOmitter", &api->no_trust_type, &api->no_trust_vtable);
    Py_DECREF(module);
    return rc;
}

}  // namespace velmora
