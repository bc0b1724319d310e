// Everything velmora.omit knows about CPython beyond its public C API: the
// private layout of dicts, str and thread states, and the underscore
// functions it calls. No other file of the module may name a private field
// or an underscore API; a port to another interpreter line starts here.
//
// This file is the one face the rest of the module sees, the same on every
// line. What a line names or keeps differently lives in that line's own
// file (cpython311.h, cpython312.h, cpython313.h), included below for the
// line the module is built for; facts that have not changed across the
// three lines stay here, with the lines they were read against.
//
// Each layout fact is a small named function behind a gate. The gates are
// opened by check_at_import(), which tries each fact against the public API
// on objects of its own; a gate that stays closed makes its function take
// the public-API fallback written next to it. The private calls need no
// gate: they are declared by the headers the module is built against.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#ifdef Py_GIL_DISABLED
#error "a free-threaded CPython needs its own port: see src/velmora/omit/README.md"
#endif

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
#include "cpython311.h"
#elif PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
#include "cpython312.h"
#elif PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
#include "cpython313.h"
#else
#error "velmora.omit knows the private facts of CPython 3.11 to 3.13 only: see src/velmora/omit/README.md"
#endif

namespace velmora::cpython {

// Nine flags in this order (abi.h hands them out as an array).
struct Gates {
    bool dict_versions = false;     // version tags read and kept as the interpreter does
    bool str_hash = false;          // cached_str_hash() reads the cached hash
    bool recursion_budget = false;  // RecursionBudget counts levels itself
    bool dict_entries = false;      // EntryTable reads a dict's entries in place
    bool entry_writes = false;      // DictCursor::replace_last writes entries in place
    bool dict_watcher = false;      // the caches' stamps come from a dict watcher of ours (3.12 on)
    bool tag_flips = false;         // fresh_dict_version() flips a value of a dict of ours
    bool str_fills = false;         // fill_mask() turns a str nobody else holds into its own mask
    bool tag_counter = false;       // fresh_dict_version() moves the interpreter's counter itself (3.12 on)
};
extern Gates gates;
static_assert(sizeof(Gates) == 9 * sizeof(bool));

// Open the gates whose facts hold. 0, or -1 with an exception set when a
// check could not even run (out of memory).
int check_at_import();

// ---- Dict version tags (PEP 509) ----------------------------------------------
//
// Every dict carries a tag: a store gives it the next value of one
// interpreter-wide counter, so equal tags mean the same dict, unchanged.
// From 3.12 the tag is deprecated, yet still kept by every dict operation,
// and its low bits (line::kTagFlagBits) mark the dict's watchers instead of
// counting. The module reads tags for its caches on 3.11 only (see
// DictStamp), and keeps them right wherever it writes a dict in place.

// The tag itself. (Deprecated from 3.12, hence the pragma; the field is the
// same on every line.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
inline uint64_t& version_tag(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
#pragma GCC diagnostic pop

// The counter part of a dict's tag.
inline uint64_t tag_count(PyObject* dict) { return version_tag(dict) & ~line::kTagFlagBits; }

// Whether some watcher (ours or anyone's) watches the dict: its changes
// must go through the dict's own code, which tells the watchers.
inline bool watched(PyObject* dict) { return (version_tag(dict) & line::kWatchedBits) != 0; }

// A counter value no dict has had before, as the interpreter gives a dict it
// creates or stores into. With the tag_counter gate open, the next value of
// the interpreter's own counter, moved as a store moves it. Else, with the
// tag_flips gate open, a store into a dict
// of the module's own that nobody else can reach (its one value flips
// between True and False: nothing allocated, nothing released, no code run)
// yields one; closed, a dict made and dropped. 0 with an exception set on
// failure.
uint64_t fresh_dict_version();

// ---- Dict stamps -------------------------------------------------------------------
//
// What a cache keeps of a dict (or of its absence) to know later that the
// dict has not changed since. On 3.11 the version tag is the stamp; from
// 3.12, where tags are deprecated, the module watches each dict it stamps
// (PyDict_Watch) and counts every event of every dict it watches: a stamp
// is then the dict's address and that count, and any change, clear or
// deallocation of a watched dict moves the count (so a dict born at a dead
// one's address never passes for it). With the gate of the line closed,
// nothing stamped is ever taken for unchanged.

struct DictStamp {
    PyObject* dict;    // by address only: never dereferenced
    uint64_t version;  // the tag, or the count of watched dict events

    bool operator==(const DictStamp&) const = default;
};

// A stamp that no dict, and no absence of a dict, matches: an empty cache.
inline constexpr DictStamp kNoStamp{nullptr, UINT64_MAX};

// Events of the dicts the module watches (3.12 on).
extern uint64_t watched_dict_events;
// A version never returned before (bit 63 set: no tag, no event count gets
// there), so nothing kept against it is ever taken for current.
uint64_t fallback_stamp_version();

// The stamp of `dict` (null: no dict). On 3.12 on, from then on the dict is
// watched. Runs no code of others.
DictStamp dict_stamp(PyObject* dict);

// Whether `dict` (null: no dict) is the very dict stamped, unchanged since.
inline bool dict_unchanged(const DictStamp& stamp, PyObject* dict) {
    if (stamp.dict != dict) return false;
    if (dict == nullptr) return stamp.version == 0;
#if VELMORA_DICT_WATCHERS
    return gates.dict_watcher && stamp.version == watched_dict_events;
#else
    return gates.dict_versions && stamp.version == version_tag(dict);
#endif
}

// ---- str ------------------------------------------------------------------------

// The hash an exact str has cached, or -1 when it has none yet (or the gate
// is closed): the caller then asks PyObject_Hash.
inline Py_hash_t cached_str_hash(PyObject* s) {
    return gates.str_hash ? reinterpret_cast<PyASCIIObject*>(s)->hash : -1;
}

// Whether the exact str `s` may become its own mask in place, which only
// the one holding it can tell from a store of a fresh mask: its one
// reference is the entry or item being masked (so no one else holds it),
// it was never hashed (so no set or dict holds it by its hash, and the
// module's key indexes never read it), it is not interned, and it is ASCII
// in the compact form, which a run of '*' keeps (the same kind, the same
// flags, no separate UTF-8 copy). These are the conditions PyUnicode_Fill
// asks for, and the kind it keeps; the line's file knows what else a str
// may keep a copy of its text in.
inline bool str_fillable(PyObject* s) {
    return gates.str_fills && Py_REFCNT(s) == 1 && PyUnicode_IS_COMPACT_ASCII(s) &&
           cached_str_hash(s) == -1 && !PyUnicode_CHECK_INTERNED(s) && line::keeps_no_copy(s);
}

// Overwrite every character of `s` with '*' where str_fillable(s), as
// PyUnicode_Fill would (without its call and its checks again): the str
// becomes equal in every respect to a mask made afresh, and what it held is
// gone from memory. False, with nothing changed, where it may not.
inline bool fill_mask(PyObject* s) {
    if (!str_fillable(s)) return false;
    std::memset(PyUnicode_1BYTE_DATA(s), '*', static_cast<size_t>(PyUnicode_GET_LENGTH(s)));
    return true;
}

// The same for a mask that keeps the last `keep` characters of a str
// longer than that (MaskPolicy::kKeepLast): the tail of an ASCII str is
// ASCII, so the mask made afresh would be as compact as `s` is.
inline bool fill_mask_keeping(PyObject* s, Py_ssize_t keep) {
    if (!str_fillable(s)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    std::memset(PyUnicode_1BYTE_DATA(s), '*', static_cast<size_t>(n > keep ? n - keep : n));
    return true;
}

// ---- Recursion budget -------------------------------------------------------------

// The budget Py_EnterRecursiveCall counts levels against, counted on a
// thread state without a call while the thread has budget left; at the
// limit (or with the gate closed) Py_EnterRecursiveCall decides, and raises.
// Which budget that is depends on the line: on 3.11 the one Python frames
// share (sys.setrecursionlimit()), from 3.12 the native one alone, whose
// limit is fixed when CPython is built. A walk goes as deep as the
// interpreter's own native recursion (repr, json) on that line.
struct RecursionBudget {
    // Whether levels may be counted here at all (else: the thread state to
    // count on is not recorded, and Py_EnterRecursiveCall decides).
    static bool usable() { return gates.recursion_budget; }
    static bool left(PyThreadState* thread) { return line::recursion_remaining(thread) > 0; }
    static void take(PyThreadState* thread) { line::recursion_remaining(thread)--; }
    static void give_back(PyThreadState* thread) { line::recursion_remaining(thread)++; }
};

// ---- Dict entries -----------------------------------------------------------------

namespace layout {

// The dict keys object (struct _dictkeysobject, Objects/dict-common.h on
// 3.11, internal/pycore_dict.h on 3.12 and 3.13), up to the index table;
// the entries follow the index table. The same on the three lines with the
// interpreter lock (3.13 adds a mutex only to free-threaded builds). The
// empty keys every empty dict shares are immortal from 3.12, so their
// dk_refcnt is never 1.
struct DictKeys {
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
static_assert(offsetof(DictKeys, dk_indices) == 32);
static_assert(offsetof(UnicodeEntry, me_value) == offsetof(UnicodeEntry, me_key) + sizeof(PyObject*));
static_assert(offsetof(GeneralEntry, me_value) == offsetof(GeneralEntry, me_key) + sizeof(PyObject*));

inline DictKeys* keys_of(PyObject* dict) {
    return reinterpret_cast<DictKeys*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
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
    DictKeys* keys = keys_of(dict);
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

    // Whether values may be written in place where that is the same as a
    // store: a combined table of exact str keys that belongs to this dict
    // alone, of a dict nobody watches (a store tells the watchers, a write
    // in place would not).
    bool writes_in_place() const { return str_keyed_table(dict_) && entries_writable(); }

    // Put `mask` in place of the value of the entry last returned, exactly
    // as storing it under `key` would, provided that entry still maps `key`
    // to `value` and writes_in_place(). The caller holds `value`, so
    // dropping the dict's reference to it runs nothing. 1 written (the dict
    // took its own reference to `mask`), 0 when this cannot be done (nothing
    // changed), -1 on failure.
    int replace_last(PyObject* key, PyObject* value, PyObject* mask, uint64_t generation);

    // After a store under `key` that may have reached another entry (a key
    // whose `__eq__` now answers True stood before `key` in the lookup):
    // whether the entry last returned still holds `key` and `value`, or,
    // when that entry no longer holds `key` (the dict changed under the
    // walk), whether any entry holds both; if one does, `replacement` is
    // put there in place. The caller holds `value`. 0 none holds them, 1
    // replaced, 2 one does and cannot be written in place (the gate closed,
    // a watched dict), -1 on failure.
    int replace_read(PyObject* key, PyObject* value, PyObject* replacement, uint64_t generation);

    // A store gives the dict a new version tag (keeping its low bits). The
    // dict gets one of its own before the first write here, and a new one
    // whenever `generation` (the caller's count of what else may have seen
    // the dict) has moved: nothing can observe the tag between the writes
    // made under one generation, so one tag covers them all. False on
    // failure.
    bool retag(uint64_t generation) {
        return (tag_ != 0 && tagged_at_ == generation && version_tag(dict_) == tag_) || new_tag(generation);
    }

private:
    bool new_tag(uint64_t generation);

    // Whether the dict's values may be written in place at all, whatever
    // its keys: a combined table of its own, of a dict nobody watches.
    bool entries_writable() const {
        return gates.entry_writes && layout::combined(dict_) && layout::keys_of(dict_)->dk_refcnt == 1 &&
               !watched(dict_);
    }
    // Put `replacement` in place of the value of entry `i`, provided it
    // holds `key` and `value`: 1 done, 0 not (nothing changed), -1 failed.
    int write_entry(Py_ssize_t i, PyObject* key, PyObject* value, PyObject* replacement, uint64_t generation);

    PyObject* dict_;
    Py_ssize_t pos_ = 0;
    uint64_t tag_ = 0;
    uint64_t tagged_at_ = 0;
};

// ---- Lists --------------------------------------------------------------------------

// The item array of an exact list (valid until the list changes).
inline PyObject** list_items(PyObject* list) { return reinterpret_cast<PyListObject*>(list)->ob_item; }

// Ask the cache for where a walk of `container` (an exact dict or list
// whose header is already at hand) reads first: a dict's table, a list's
// items.
inline void prefetch_contents(PyObject* container) {
    if (Py_IS_TYPE(container, &PyDict_Type)) {
        if (gates.dict_entries) __builtin_prefetch(layout::keys_of(container));
    } else if (Py_IS_TYPE(container, &PyList_Type)) {
        __builtin_prefetch(list_items(container));
    }
}

// The second and third steps of asking ahead for a container a walk will
// soon enter, each reading only lines the step before asked for a while
// ago: a dict's entries (from its table's header), then the headers of its
// first `count` values (from those entries); a list's first items. Nothing
// is read that a step before did not ask for, and nothing is changed.
inline void prefetch_entries(PyObject* container, Py_ssize_t count) {
    EntryTable table;
    if (!Py_IS_TYPE(container, &PyDict_Type) || !entry_table(container, &table)) return;
    const Py_ssize_t n = table.n < count ? table.n : count;
    char* const end = table.keys + n * table.stride;
    for (char* line = table.keys; line < end; line += 64) __builtin_prefetch(line);
}
inline void prefetch_values(PyObject* container, Py_ssize_t count) {
    if (Py_IS_TYPE(container, &PyList_Type)) {
        const Py_ssize_t n = PyList_GET_SIZE(container) < count ? PyList_GET_SIZE(container) : count;
        for (Py_ssize_t i = 0; i < n; i++) __builtin_prefetch(list_items(container)[i]);
        return;
    }
    EntryTable table;
    if (!Py_IS_TYPE(container, &PyDict_Type) || !entry_table(container, &table)) return;
    const Py_ssize_t n = table.n < count ? table.n : count;
    for (Py_ssize_t i = 0; i < n; i++) __builtin_prefetch(table.slot(i)[1]);
}

// ---- Private calls --------------------------------------------------------------------
// Underscore calls on the lines that have them, public ones where a line
// offers them (see the line's file).

// list.extend(iterable); None, or null with the exception set.
inline PyObject* list_extend(PyObject* list, PyObject* iterable) { return line::list_extend(list, iterable); }

// The int as a C int, with the interpreter's OverflowError; -1 with an
// exception set on failure.
inline int long_as_int(PyObject* value) { return line::long_as_int(value); }

// dict[key] = value with the key's hash known.
inline int dict_set_known_hash(PyObject* dict, PyObject* key, PyObject* value, Py_hash_t hash) {
    return line::dict_set_known_hash(dict, key, value, hash);
}

// dict.get(key) with the key's hash known: borrowed, or null (with an
// exception set only on failure).
inline PyObject* dict_get_known_hash(PyObject* dict, PyObject* key, Py_hash_t hash) {
    return line::dict_get_known_hash(dict, key, hash);
}

// A code object for a function's traceback entries and introspection.
inline constexpr auto new_code = line::new_code;

// `name` looked up through the type's method resolution order, without
// invoking descriptors: borrowed, or null. (Declared by 3.11 to 3.13.)
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// Where the object keeps its instance dictionary, or null. For an object
// whose attributes live in the object itself (a managed dict) this makes
// the dict, on 3.11 to 3.13 alike. (Declared by 3.11 to 3.13.)
inline PyObject** object_dict_ptr(PyObject* obj) { return _PyObject_GetDictPtr(obj); }

}  // namespace velmora::cpython
