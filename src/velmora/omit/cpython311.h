// Everything velmora.omit knows about CPython 3.11 beyond its public C API:
// the private layout of dicts, str and thread states, and the underscore
// functions it calls. No other file of the module may name a private field
// or an underscore API; a port to another interpreter version starts here.
//
// Each layout fact is a small named function behind a gate. The gates are
// opened by check_at_import(), which tries each fact against the public API
// on objects of its own; a gate that stays closed makes its function take
// the public-API fallback written next to it. The private calls need no
// gate: they are declared by the 3.11 headers the module is built against.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

static_assert(PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000, "mirrors CPython 3.11");

namespace velmora::cpython {

// Five flags in this order (abi.h hands them out as an array).
struct Gates {
    bool dict_versions = false;     // dict_version() reads the PEP 509 tag
    bool str_hash = false;          // cached_str_hash() reads the cached hash
    bool recursion_budget = false;  // RecursionBudget counts levels itself
    bool dict_entries = false;      // EntryTable reads a dict's entries in place
    bool entry_writes = false;      // DictCursor::replace_last writes entries in place
};
extern Gates gates;
static_assert(sizeof(Gates) == 5 * sizeof(bool));

// Open the gates whose facts hold. 0, or -1 with an exception set when a
// check could not even run (out of memory).
int check_at_import();

// ---- Dict version tags (PEP 509) ----------------------------------------------

// The version tag of a dict: equal tags mean the same dict, unchanged.
// Fallback: a number never returned before, so nothing kept against it is
// ever taken for current.
uint64_t fallback_dict_version();
inline uint64_t dict_version(PyObject* dict) {
    if (!gates.dict_versions) return fallback_dict_version();
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// Give a dict the tag a store would: only for writes the dict does not make
// itself (DictCursor, behind the entry_writes gate).
inline void set_dict_version(PyObject* dict, uint64_t tag) {
    reinterpret_cast<PyDictObject*>(dict)->ma_version_tag = tag;
}

// A tag no dict has had before: the interpreter takes one from its global
// counter for every dict it creates, so a dict made and dropped yields one.
// 0 with an exception set on failure.
uint64_t fresh_dict_version();

// ---- str ------------------------------------------------------------------------

// The hash an exact str has cached, or -1 when it has none yet (or the gate
// is closed): the caller then asks PyObject_Hash.
inline Py_hash_t cached_str_hash(PyObject* s) {
    return gates.str_hash ? reinterpret_cast<PyASCIIObject*>(s)->hash : -1;
}

// ---- Recursion budget -------------------------------------------------------------

// The interpreter's recursion limit, counted on a thread state without a
// call while the thread has budget left; at the limit (or with the gate
// closed) Py_EnterRecursiveCall decides, and raises.
struct RecursionBudget {
    // Whether levels may be counted here at all (else: the thread state to
    // count on is not recorded, and Py_EnterRecursiveCall decides).
    static bool usable() { return gates.recursion_budget; }
    static bool left(PyThreadState* thread) { return thread->recursion_remaining > 0; }
    static void take(PyThreadState* thread) { thread->recursion_remaining--; }
    static void give_back(PyThreadState* thread) { thread->recursion_remaining++; }
};

// ---- Dict entries -----------------------------------------------------------------

namespace layout {

// CPython 3.11's dict keys object (Objects/dict-common.h), up to the index
// table; the entries follow the index table.
struct DictKeys311 {
    Py_ssize_t dk_refcnt;
    uint8_t dk_log2_size;
    uint8_t dk_log2_index_bytes;
    uint8_t dk_kind;  // 0: general keys; otherwise exact str keys only
    uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[8];
};
struct UnicodeEntry {
    PyObject* me_key;
    PyObject* me_value;
};
struct GeneralEntry {
    Py_hash_t me_hash;
    PyObject* me_key;
    PyObject* me_value;
};
static_assert(offsetof(DictKeys311, dk_indices) == 32);
static_assert(offsetof(UnicodeEntry, me_value) == offsetof(UnicodeEntry, me_key) + sizeof(PyObject*));
static_assert(offsetof(GeneralEntry, me_value) == offsetof(GeneralEntry, me_key) + sizeof(PyObject*));

inline DictKeys311* keys_of(PyObject* dict) {
    return reinterpret_cast<DictKeys311*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}
inline bool combined(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_values == nullptr; }

}  // namespace layout

// The entries of a combined dict table, laid out as key then value in
// every `stride` bytes; empty entries have no value. It
// stays right only while the dict does not change but for values replaced
// in place.
struct EntryTable {
    char* keys;  // the key of entry 0; its value follows it
    Py_ssize_t n;
    Py_ssize_t stride;
    bool str_keys;  // exact str keys only: lookups compare them as str

    PyObject** slot(Py_ssize_t i) const { return reinterpret_cast<PyObject**>(keys + i * stride); }
    // The first live entry at or after `pos`, or `n`.
    Py_ssize_t next_live(Py_ssize_t pos) const {
        while (pos < n && slot(pos)[1] == nullptr) pos++;
        return pos;
    }
};

// False when the dict's entries cannot be read in place (a split table, or
// the gate closed): PyDict_Next then.
inline bool entry_table(PyObject* dict, EntryTable* out) {
    using namespace layout;
    if (!gates.dict_entries || !combined(dict)) return false;
    DictKeys311* keys = keys_of(dict);
    char* const entries = keys->dk_indices + (size_t{1} << keys->dk_log2_index_bytes);
    out->n = keys->dk_nentries;
    out->str_keys = keys->dk_kind != 0;
    out->stride = out->str_keys ? sizeof(UnicodeEntry) : sizeof(GeneralEntry);
    out->keys = entries + (out->str_keys ? offsetof(UnicodeEntry, me_key) : offsetof(GeneralEntry, me_key));
    return true;
}

// Whether storing under an exact str key runs nothing but the store: a
// combined table of exact str keys, whose lookups compare keys as str.
// (Without the dict_entries gate the key kind is not known: not pure.)
inline bool str_keyed_table(PyObject* dict) {
    return gates.dict_entries && layout::combined(dict) && layout::keys_of(dict)->dk_kind != 0;
}

// Iterates a dict like PyDict_Next, reading combined tables in place, and
// writes values into the entry last returned where that is the same as a
// store. Every step reads the table afresh, so it follows the dict through
// a resize.
class DictCursor {
public:
    explicit DictCursor(PyObject* dict) : dict_(dict) {}

    // Where next() and a loop over entry_table() go on from.
    Py_ssize_t& pos() { return pos_; }

    // The next live pair, borrowed; 0 at the end.
    int next(PyObject** key, PyObject** value);

    // Whether values may be written in place at all: a combined table of
    // exact str keys that belongs to this dict alone.
    bool writes_in_place() const {
        return gates.entry_writes && str_keyed_table(dict_) && layout::keys_of(dict_)->dk_refcnt == 1;
    }

    // Put `mask` in place of the value of the entry last returned, exactly
    // as storing it under `key` would, provided that entry still maps `key`
    // to `value` and writes_in_place(). The caller holds `value`, so
    // dropping the dict's reference to it runs nothing. 1 written (the dict
    // took its own reference to `mask`), 0 when this cannot be done (nothing
    // changed), -1 on failure.
    int replace_last(PyObject* key, PyObject* value, PyObject* mask, uint64_t generation);

    // A store gives the dict a new version tag. The dict gets one of its
    // own before the first write here, and a new one whenever `generation`
    // (the caller's count of what else may have seen the dict) has moved:
    // nothing can observe the tag between the writes made under one
    // generation, so one tag covers them all. False on failure.
    bool retag(uint64_t generation) {
        // (Writes in place are gated on the version tags too.)
        return (tag_ != 0 && tagged_at_ == generation &&
                reinterpret_cast<PyDictObject*>(dict_)->ma_version_tag == tag_) ||
               new_tag(generation);
    }

private:
    bool new_tag(uint64_t generation);

    PyObject* dict_;
    Py_ssize_t pos_ = 0;
    uint64_t tag_ = 0;
    uint64_t tagged_at_ = 0;
};

// ---- Lists --------------------------------------------------------------------------

// The item array of an exact list (valid until the list changes).
inline PyObject** list_items(PyObject* list) { return reinterpret_cast<PyListObject*>(list)->ob_item; }

// ---- Private calls --------------------------------------------------------------------

// list.extend(iterable); None, or null with the exception set.
inline PyObject* list_extend(PyObject* list, PyObject* iterable) {
    return _PyList_Extend(reinterpret_cast<PyListObject*>(list), iterable);
}

// The int as a C int, with the interpreter's OverflowError; -1 with an
// exception set on failure.
inline int long_as_int(PyObject* value) { return _PyLong_AsInt(value); }

// dict[key] = value with the key's hash known.
inline int dict_set_known_hash(PyObject* dict, PyObject* key, PyObject* value, Py_hash_t hash) {
    return _PyDict_SetItem_KnownHash(dict, key, value, hash);
}

// dict.get(key) with the key's hash known: borrowed, or null (with an
// exception set only on failure).
inline PyObject* dict_get_known_hash(PyObject* dict, PyObject* key, Py_hash_t hash) {
    return _PyDict_GetItem_KnownHash(dict, key, hash);
}

// `name` looked up through the type's method resolution order, without
// invoking descriptors: borrowed, or null.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// Where the object keeps its instance dictionary, or null.
inline PyObject** object_dict_ptr(PyObject* obj) { return _PyObject_GetDictPtr(obj); }

}  // namespace velmora::cpython
