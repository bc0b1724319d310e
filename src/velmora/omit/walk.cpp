// The omission walk: `omit` over dicts, `omit_recurse` over lists, and their
// Python-level entry points.
//
// The walk changes the caller's containers in place and keeps what it has
// done when it fails. Python code can run in the middle of it (overrides,
// `__eq__` of keys in `should_hide`, `__class__` in the bool test, hashing
// during stores), so everything the walk works on is held by a Ref, and the
// containers are re-checked after each point where they may have changed.
#include "omitter.h"

#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace velmora {

namespace {

constexpr const char* kOmit = "velmora.omit.Omitter.omit";
constexpr const char* kOmitRecurse = "velmora.omit.Omitter.omit_recurse";

// ---- Depth bound -------------------------------------------------------------
//
// Each level of nesting costs native stack. The interpreter's recursion limit
// bounds the depth in the common case, but a program may raise that limit far
// beyond what the native stack holds, so the walk also refuses to go on when
// little of the thread's stack is left.

// Initial-exec TLS: read on every level, so it must not cost a call.
__attribute__((tls_model("initial-exec"))) thread_local uintptr_t stack_floor = 0;

uintptr_t compute_stack_floor() {
    pthread_attr_t attr;
    void* low = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 1;
    int rc = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || low == nullptr) return 1;
    size_t margin = size / 4;
    if (margin > (512u << 10)) margin = 512u << 10;
    return reinterpret_cast<uintptr_t>(low) + margin;
}

bool native_stack_low() {
    if (stack_floor == 0) stack_floor = compute_stack_floor();
    char here;
    return reinterpret_cast<uintptr_t>(&here) < stack_floor;
}

// The thread state of the walk running on this thread, set by each walk
// entered from Python (WalkEntry), so that each level can count itself
// against the recursion limit without a call.
__attribute__((tls_model("initial-exec"))) thread_local PyThreadState* walk_thread = nullptr;

// The thread state to count one more level on without a call: the walk's,
// while the limit is not reached. Null when Py_EnterRecursiveCall must decide.
PyThreadState* counting_thread() {
    PyThreadState* thread = walk_thread;
    return thread != nullptr && thread->recursion_remaining > 0 ? thread : nullptr;
}

class DepthGuard {
public:
    // False with RecursionError set when the walk may not go deeper.
    bool enter() {
        if (native_stack_low()) {
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded while walking nested data");
            return false;
        }
        // What Py_EnterRecursiveCall does while the limit is not reached;
        // at the limit the call itself decides and raises.
        if (PyThreadState* thread = counting_thread()) {
            thread->recursion_remaining--;
            thread_ = thread;
            return true;
        }
        if (Py_EnterRecursiveCall(" while walking nested data")) return false;
        entered_ = true;
        return true;
    }
    ~DepthGuard() {
        if (thread_ != nullptr) thread_->recursion_remaining++;
        if (entered_) Py_LeaveRecursiveCall();
    }

private:
    PyThreadState* thread_ = nullptr;
    bool entered_ = false;
};

// ---- Classification -----------------------------------------------------------

// The number test: isinstance(value, bool), or an int, float or complex (or a
// subtype). For the common built-in types the answer is known without the
// `__class__` lookup that isinstance would make; that lookup may run Python
// code, so it advances the foreign-code epoch. -1 on error.
int is_number(PyObject* value) {
    PyTypeObject* tp = Py_TYPE(value);
    if (tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type || tp == &PyComplex_Type) {
        return 1;
    }
    if (tp == &PyUnicode_Type || tp == &PyDict_Type || tp == &PyList_Type || value == Py_None ||
        tp == &PyTuple_Type || tp == &PyBytes_Type) {
        return 0;
    }
    int is_bool = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyBool_Type));
    note_foreign_code();
    if (is_bool != 0) return is_bool;
    // The `__class__` lookup may have given the value another type and freed
    // the one read above: the rest of the test reads its type as it is now.
    tp = Py_TYPE(value);
    if (PyType_HasFeature(tp, Py_TPFLAGS_LONG_SUBCLASS)) return 1;
    return PyType_IsSubtype(tp, &PyFloat_Type) || PyType_IsSubtype(tp, &PyComplex_Type);
}

// Whether dropping one reference to `o` runs no code: someone else holds it
// too, or it is of a built-in type whose deallocation runs nothing.
inline bool releases_quietly(PyObject* o) {
    if (Py_REFCNT(o) > 1) return true;
    PyTypeObject* tp = Py_TYPE(o);
    return tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyComplex_Type ||
           tp == &PyBytes_Type || o == Py_None || tp == &PyBool_Type;
}

// The pair a dict walk stands on, as the loop variables of
// `for key, value in target.items()` hold it: from the moment it is read
// until the next pair replaces it, or until the walk returns. A finaliser
// run by its release therefore runs after the next pair was read, or after
// the last size check, never earlier. A release that may run code counts
// as foreign code.
class CurrentPair {
public:
    PyObject* key() const { return key_; }
    PyObject* value() const { return value_; }
    bool empty() const { return key_ == nullptr; }

    // Whether letting go of the held pair would run no code.
    bool lets_go_quietly() const {
        return key_ == nullptr || (releases_quietly(key_) && releases_quietly(value_));
    }
    // Hold the pair just read, then release the one before, key first.
    void hold(PyObject* key, PyObject* value) {
        PyObject* old_key = std::exchange(key_, new_ref(key));
        PyObject* old_value = std::exchange(value_, new_ref(value));
        release(old_key, old_value);
    }
    void let_go() { release(std::exchange(key_, nullptr), std::exchange(value_, nullptr)); }
    ~CurrentPair() { let_go(); }

private:
    static void release(PyObject* key, PyObject* value) {
        if (key == nullptr) return;
        bool loud = !releases_quietly(key);
        Py_DECREF(key);
        loud = !releases_quietly(value) || loud;  // after the key's release, which may have changed it
        Py_DECREF(value);
        if (loud) note_foreign_code();
    }

    PyObject* key_ = nullptr;
    PyObject* value_ = nullptr;
};

// The same for the item a list walk stands on: hold `item`, read at index i,
// and release the one before.
inline void hold_item(Ref& held, PyObject* item) {
    const bool quiet = !held || releases_quietly(held.get());
    held = Ref::borrow(item);
    if (!quiet) note_foreign_code();
}

// Walks entered from Python on this thread. A walk entered any other way
// (through the method table, from native code) cannot know what ran before.
__attribute__((tls_model("initial-exec"))) thread_local int walk_depth = 0;

struct WalkEntry {
    WalkEntry() : outer_thread(walk_thread) {
        note_foreign_code();
        walk_depth++;
        walk_thread = PyThreadState_Get();
    }
    ~WalkEntry() {
        walk_depth--;
        walk_thread = outer_thread;
    }
    PyThreadState* const outer_thread;
};

// ---- Dict layout -----------------------------------------------------------------
//
// The walk reads dict entries in place, as PyDict_Next does, but without its
// per-call overhead. This mirrors CPython 3.11's dict keys object; the
// module checks at import that it iterates exactly like PyDict_Next and uses
// PyDict_Next otherwise (dict_layout_verified).

struct DictKeys311 {
    Py_ssize_t dk_refcnt;
    uint8_t dk_log2_size;
    uint8_t dk_log2_index_bytes;
    uint8_t dk_kind;  // 0: general keys; otherwise exact str keys only
    uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[8];  // the index table; the entries follow it
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
static_assert(PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000, "mirrors CPython 3.11 dicts");
static_assert(offsetof(DictKeys311, dk_indices) == 32);
static_assert(offsetof(UnicodeEntry, me_value) == offsetof(UnicodeEntry, me_key) + sizeof(PyObject*));
static_assert(offsetof(GeneralEntry, me_value) == offsetof(GeneralEntry, me_key) + sizeof(PyObject*));

bool dict_layout_verified = false;

DictKeys311* keys_of(PyObject* dict) {
    return reinterpret_cast<DictKeys311*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}

bool only_str_keys(PyObject* dict) { return keys_of(dict)->dk_kind != 0; }

char* entries_of(DictKeys311* keys) { return keys->dk_indices + (size_t{1} << keys->dk_log2_index_bytes); }

// Whether the walk may write masks into dict entries itself (checked at
// import with the rest of the layout).
bool direct_writes_verified = false;

// A version tag no dict has had before. The interpreter takes a new one from
// its global counter for every dict it creates, so a dict made and dropped
// here yields one. The collector is held off meanwhile: a collection run by
// the allocation could run finalisers, and this must not run other code.
uint64_t fresh_version() {
    const int collector_was_on = PyGC_Disable();
    PyObject* scratch = PyDict_New();
    if (collector_was_on) PyGC_Enable();
    if (scratch == nullptr) return 0;
    const uint64_t version = dict_version(scratch);
    Py_DECREF(scratch);  // an empty dict: its release runs no other code
    return version;
}

// Iterates a dict like PyDict_Next, reading the entries of combined tables in
// place; split tables (instance dicts) go through PyDict_Next itself. Every
// step reads the table afresh, so it follows the dict through a resize.
class DictCursor {
public:
    explicit DictCursor(PyObject* dict) : dict_(dict) {}

    // The entries of a combined table, laid out as key then value at
    // `key_offset` in every `stride` bytes. It stays right only while the
    // dict does not change but for values replaced in place.
    struct View {
        char* entries;
        Py_ssize_t n;
        Py_ssize_t stride;
        Py_ssize_t key_offset;

        PyObject** key_slot(Py_ssize_t i) const {
            return reinterpret_cast<PyObject**>(entries + i * stride + key_offset);
        }
    };

    // False when the entries cannot be read in place (next() still can).
    bool view(View* out) const {
        auto* mp = reinterpret_cast<PyDictObject*>(dict_);
        if (!dict_layout_verified || mp->ma_values != nullptr) return false;
        DictKeys311* keys = keys_of(dict_);
        out->entries = entries_of(keys);
        out->n = keys->dk_nentries;
        if (keys->dk_kind != 0) {
            out->stride = sizeof(UnicodeEntry);
            out->key_offset = offsetof(UnicodeEntry, me_key);
        } else {
            out->stride = sizeof(GeneralEntry);
            out->key_offset = offsetof(GeneralEntry, me_key);
        }
        return true;
    }

    // Where next() and a View-driven loop go on from.
    Py_ssize_t& pos() { return pos_; }

    // Whether values may be replaced in place at all (see replace_last).
    // A store into a table of exact str keys compares keys as str only, so
    // writing the entry is the same as storing; in a table with other keys,
    // the store's lookup may compare keys with `__eq__`, and only the real
    // store does that.
    bool writes_in_place() const {
        return direct_writes_verified && reinterpret_cast<PyDictObject*>(dict_)->ma_values == nullptr &&
               keys_of(dict_)->dk_refcnt == 1 && only_str_keys(dict_);
    }

    // The next live pair, as PyDict_Next gives it: read through view(), or
    // by PyDict_Next itself where entries cannot be read in place.
    int next(PyObject** key, PyObject** value) {
        View entries;
        if (!view(&entries)) return PyDict_Next(dict_, &pos_, key, value);
        while (pos_ < entries.n) {
            PyObject** slot = entries.key_slot(pos_++);
            if (slot[1] != nullptr) {
                *key = slot[0];
                *value = slot[1];
                return 1;
            }
        }
        return 0;
    }

    // Put `mask` in place of the value of the entry last returned, exactly
    // as storing it under `key` would, provided that entry still maps `key`
    // to `value` in a combined table of this dict alone. The caller holds
    // `value`, so dropping the dict's reference to it runs nothing.
    // 1 written (the dict took its own reference to `mask`), 0 when this
    // cannot be done (nothing changed), -1 on failure.
    int replace_last(PyObject* key, PyObject* value, PyObject* mask) {
        View entries;
        const Py_ssize_t i = pos_ - 1;
        if (!writes_in_place() || !view(&entries) || i < 0 || i >= entries.n) return 0;
        PyObject** slot = entries.key_slot(i);
        if (slot[0] != key || slot[1] != value) return 0;
        if (mask == value) return 1;  // already this very mask: a store would change nothing
        if (!retag()) return -1;
        slot[1] = new_ref(mask);
        Py_DECREF(value);
        return 1;
    }

    // A store gives the dict a new version tag. The dict gets one of its own
    // before the first write here, and a new one if anything else may have
    // seen or changed it since: nothing can observe the tag between the
    // writes made under it, so one tag covers them all. False on failure.
    bool retag() {
        if (tag_ != 0 && tagged_at_ == foreign_code_epoch && dict_version(dict_) == tag_) return true;
        const uint64_t tag = fresh_version();
        if (tag == 0) return false;
        tag_ = tag;
        tagged_at_ = foreign_code_epoch;
        reinterpret_cast<PyDictObject*>(dict_)->ma_version_tag = tag;
        return true;
    }

private:
    PyObject* dict_;
    Py_ssize_t pos_ = 0;
    uint64_t tag_ = 0;
    uint64_t tagged_at_ = 0;
};

// How many values ahead the dict walk asks the cache for.
constexpr Py_ssize_t kPrefetch = 16;

// ---- Stores ----------------------------------------------------------------------

// Store a walked container back under `key`. A store of the very object the
// pair holds changes nothing, and it is skipped when it could not run
// anything either: nothing at all has run since the pair was read (so the
// entry still maps `key` to `value`), and the table compares only exact str
// keys. Any other store happens, and may release a value and run its
// finaliser.
int store_walked(PyObject* dict, PyObject* key, PyObject* value, PyObject* walked, uint64_t read_at) {
    if (walked == value && foreign_code_epoch == read_at && PyUnicode_CheckExact(key) && only_str_keys(dict)) {
        return 0;
    }
    int stored = PyDict_SetItem(dict, key, walked);
    note_foreign_code();
    return stored;
}

// Whether storing under an exact str key runs no foreign code: a combined
// table of exact str keys compares keys as str only.
bool pure_store_target(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_values == nullptr && only_str_keys(dict);
}

// Store a mask under `key`. An exact str key carries its hash once it has
// been in a dict, so the store need not ask for it again.
int store_mask(PyObject* dict, PyObject* key, PyObject* mask) {
    if (PyUnicode_CheckExact(key)) {
        Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
        if (hash != -1) return _PyDict_SetItem_KnownHash(dict, key, mask, hash);
    }
    return PyDict_SetItem(dict, key, mask);
}

// Put a walked item back at index i; storing the object that is already
// there is the same as releasing our reference to it.
int put_walked(PyObject* list, Py_ssize_t i, PyObject* walked) {
    if (i < PyList_GET_SIZE(list) && PyList_GET_ITEM(list, i) == walked) {
        Py_DECREF(walked);  // the list holds it too
        return 0;
    }
    int stored = PyList_SetItem(list, i, walked);
    note_foreign_code();
    return stored;
}

// Masks written into a list reach the omitter's key index (the list may be
// its own key list, handed out and walked as data) before anything can ask
// it again: before each nested walk, and when the list walk ends.
class ListWrites {
public:
    ListWrites(OmitterObject* self, PyObject* list) : self_(self), list_(list) {}
    void mark() { pending_ = true; }
    void flush() {
        if (pending_) key_list_written(self_, list_);
        pending_ = false;
    }
    ~ListWrites() { flush(); }

private:
    OmitterObject* self_;
    PyObject* list_;
    bool pending_ = false;
};

// ---- Calls through the table ---------------------------------------------------

// The override dispatch may run Python code whenever it passes its gate.
int dispatch(OmitterObject* self, PyObject* name, PyMethodDef* own, PyObject* target, int do_flag,
             PyObject** answer) {
    int handled = dispatch_override(self, name, own, target, do_flag, answer);
    note_foreign_code();
    return handled;
}

// should_hide of an exact str key, answered without running anything: from
// the verdicts already given in this stretch of the walk, else from the
// table's quiet verdict. 1 or 0, or -1 when only should_hide can answer.
inline int quiet_should_hide(OmitterObject* self, PyObject* key) {
    VerdictMemo::Slot& slot = verdict_memo.slot_for(self, key);
    if (slot.key == key && slot.owner == self && slot.epoch == foreign_code_epoch) return slot.answer;
    auto quiet = self->vtab->quiet_should_hide;
    if (quiet == nullptr) return -1;
    const int answer = quiet(self, key);
    if (answer >= 0) slot = {self, key, foreign_code_epoch, answer};
    return answer;
}

// Whether the table's slots are this module's own, which account for the
// foreign code they run themselves. Any other slot may run anything.
inline bool own_should_hide(OmitterObject* self) {
    auto slot = self->vtab->should_hide;
    return slot == omitter_vtable.should_hide || slot == no_trust_vtable.should_hide;
}

inline int ask_should_hide(OmitterObject* self, PyObject* key) {
    if (PyUnicode_CheckExact(key)) {
        const int hide = quiet_should_hide(self, key);
        if (hide >= 0) return hide;
    }
    const int hide = self->vtab->should_hide(self, key);
    if (!own_should_hide(self)) note_foreign_code();
    return hide;
}

inline PyObject* walk_dict_slot(OmitterObject* self, PyObject* dict) {
    PyObject* walked = self->vtab->omit(self, dict, 0);
    if (self->vtab->omit != walk_omit) note_foreign_code();
    return walked;
}

inline PyObject* walk_list_slot(OmitterObject* self, PyObject* list, int do_hide) {
    OmitRecurseOptions options{1, do_hide};
    PyObject* walked = self->vtab->omit_recurse(self, list, 0, &options);
    if (self->vtab->omit_recurse != walk_omit_recurse) note_foreign_code();
    return walked;
}

bool key_is_str_or_none(PyObject* key) { return key == Py_None || PyUnicode_CheckExact(key); }

PyObject* fail(const char* qualname, int line) {
    add_traceback(qualname, line);
    return nullptr;
}

PyObject* fail_unexpected(const char* expected, PyObject* value, const char* qualname, int line) {
    raise_unexpected_type(expected, value);
    return fail(qualname, line);
}

int entry_failed(const char* qualname, int line) {
    add_traceback(qualname, line);
    return -1;
}

int entry_unexpected(const char* expected, PyObject* value, const char* qualname, int line) {
    raise_unexpected_type(expected, value);
    return entry_failed(qualname, line);
}

}  // namespace

int check_dict_layout() {
    dict_layout_verified = direct_writes_verified = false;
    Ref str_keys = Ref::steal(PyDict_New());
    Ref mixed_keys = Ref::steal(PyDict_New());
    if (!str_keys || !mixed_keys) return -1;
    for (long i = 0; i < 40; i++) {
        Ref number = Ref::steal(PyLong_FromLong(i));
        Ref text = Ref::steal(PyUnicode_FromFormat("k%ld", i));
        if (!number || !text || PyDict_SetItem(str_keys.get(), text.get(), number.get()) < 0 ||
            PyDict_SetItem(mixed_keys.get(), i % 2 ? number.get() : text.get(), text.get()) < 0) {
            return -1;
        }
        if (i % 3 == 0 && (PyDict_DelItem(str_keys.get(), text.get()) < 0 ||
                           PyDict_DelItem(mixed_keys.get(), i % 2 ? number.get() : text.get()) < 0)) {
            return -1;
        }
    }
    dict_layout_verified = true;
    for (PyObject* dict : {str_keys.get(), mixed_keys.get()}) {
        Py_ssize_t a = 0;
        DictCursor cursor(dict);
        PyObject *ka, *va, *kb, *vb;
        for (;;) {
            int more_a = PyDict_Next(dict, &a, &ka, &va);
            int more_b = cursor.next(&kb, &vb);
            if (more_a != more_b || (more_a && (ka != kb || va != vb))) {
                dict_layout_verified = false;
                return 0;
            }
            if (!more_a) break;
        }
    }

    // Replace the first live value in place (writes go only into tables of
    // exact str keys): the dict must read back the new value and carry a
    // version newer than any before.
    direct_writes_verified = true;
    for (PyObject* dict : {str_keys.get()}) {
        DictCursor cursor(dict);
        PyObject *key, *value;
        if (!cursor.next(&key, &value)) return 0;
        Ref held_key = Ref::borrow(key);
        Ref held_value = Ref::borrow(value);
        const uint64_t before = fresh_version();
        const int written = cursor.replace_last(key, value, Py_None);
        const uint64_t after = dict_version(dict);
        if (PyErr_Occurred()) return -1;
        const uint64_t later = fresh_version();
        if (before == 0 || later == 0) return -1;
        if (written != 1 || PyDict_GetItemWithError(dict, key) != Py_None || !(before < after && after < later)) {
            direct_writes_verified = false;
            return 0;
        }
    }
    return 0;
}

// ---- Slot 2: dicts ------------------------------------------------------------

namespace {

// The walk of the exact dict the pair holds, and the store of what it gives
// back. 0 or -1 (with the traceback entry).
inline int omit_nested_dict(OmitterObject* self, PyObject* target, const CurrentPair& pair, uint64_t read_at) {
    Ref walked = Ref::steal(walk_dict_slot(self, pair.value()));
    if (!walked || store_walked(target, pair.key(), pair.value(), walked.get(), read_at) < 0) {
        return entry_failed(kOmit, 56);
    }
    return 0;
}

// Store `mask` in place of the pair's value: written into the entry where
// that is the same as the store, else stored. 0, or -1 with the traceback
// entry of a masking store.
int store_pair_mask(PyObject* target, DictCursor& cursor, const CurrentPair& pair, PyObject* mask,
                    uint64_t read_at) {
    int stored = cursor.replace_last(pair.key(), pair.value(), mask);
    if (stored == 0) {
        // With nothing foreign run since the pair was read, the value
        // replaced is still the pair's own, and the store is quiet.
        const bool quiet = foreign_code_epoch == read_at && pure_store_target(target);
        stored = store_mask(target, pair.key(), mask);
        if (!quiet) note_foreign_code();
    }
    return stored < 0 ? entry_failed(kOmit, 54) : 0;
}

// One entry of a dict walk, in general: any key and any value, with Python
// code possibly run by the number test, should_hide, the nested walks and
// the stores. The pair is held (since `read_at`). 0 when done, -1 on failure
// (with its traceback entry).
int omit_entry(OmitterObject* self, PyObject* target, DictCursor& cursor, const CurrentPair& pair,
               const MaskPolicy* policy, uint64_t read_at) {
    PyObject* const k = pair.key();
    PyObject* const v = pair.value();
    // A policy that hides whole values asks about every str key first, and
    // hides what stands under it whatever its type.
    int verdict = -1;
    if (policy != nullptr && policy->whole && PyUnicode_CheckExact(k)) {
        verdict = ask_should_hide(self, k);
        if (!verdict && PyErr_Occurred()) return entry_failed(kOmit, 52);
        if (verdict) return store_pair_mask(target, cursor, pair, policy->text, read_at);
    }
    // Exact built-in types are classified without running any code;
    // anything else takes the general number test first, which may.
    PyTypeObject* tp = Py_TYPE(v);
    unsigned long flags;
    if (tp == &PyUnicode_Type) {
        flags = Py_TPFLAGS_UNICODE_SUBCLASS;
    } else if (tp == &PyDict_Type) {
        flags = Py_TPFLAGS_DICT_SUBCLASS;
    } else if (tp == &PyList_Type) {
        flags = Py_TPFLAGS_LIST_SUBCLASS;
    } else if (tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type || v == Py_None) {
        return 0;
    } else {
        int number = is_number(v);
        if (number < 0) return entry_failed(kOmit, 49);
        if (number) return 0;
        flags = Py_TYPE(v)->tp_flags;
        if (!(flags & (Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS))) {
            return 0;
        }
    }

    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
        if (!key_is_str_or_none(k)) return entry_unexpected("unicode", k, kOmit, 52);
        int hide = verdict >= 0 ? verdict : ask_should_hide(self, k);
        if (!hide) return PyErr_Occurred() ? entry_failed(kOmit, 52) : 0;
        if (!PyUnicode_CheckExact(v)) return entry_unexpected("unicode", v, kOmit, 54);
        Ref mask = Ref::steal(mask_value(policy, v));
        if (!mask) return entry_failed(kOmit, 54);
        return store_pair_mask(target, cursor, pair, mask.get(), read_at);
    } else if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
        if (!PyDict_CheckExact(v)) return entry_unexpected("dict", v, kOmit, 56);
        return omit_nested_dict(self, target, pair, read_at);
    } else {
        if (!key_is_str_or_none(k)) return entry_unexpected("unicode", k, kOmit, 58);
        int hide = verdict >= 0 ? verdict : ask_should_hide(self, k);
        if (!hide && PyErr_Occurred()) return entry_failed(kOmit, 58);
        if (!PyList_CheckExact(v)) return entry_unexpected("list", v, kOmit, 59);
        Ref walked = Ref::steal(walk_list_slot(self, v, hide));
        if (!walked || store_walked(target, k, v, walked.get(), read_at) < 0) return entry_failed(kOmit, 59);
    }
    return 0;
}

// A list under a str key of a dict of str keys, walked where it stands in
// the dict walk when that can be done without running or holding anything:
// its items are scalars, other objects the list walk passes over, or exact
// str of up to kSharedMasks characters, whose masks are already made. The
// list walk would enter one more level and leave it again; this checks that
// it could. False, with nothing changed or only masks written that the list
// walk would write again the same, when the list walk must do it.
bool walk_plain_list(OmitterObject* self, PyObject* list, int do_hide) {
    if (native_stack_low() || counting_thread() == nullptr) return false;
    PyObject** const items = reinterpret_cast<PyListObject*>(list)->ob_item;
    const Py_ssize_t length = PyList_GET_SIZE(list);
    bool written = false;
    for (Py_ssize_t i = 0; i < length; i++) {
        PyObject* item = items[i];
        PyTypeObject* tp = Py_TYPE(item);
        if (!(tp->tp_flags & (Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS))) {
            continue;
        }
        if (tp != &PyUnicode_Type) return false;
        if (!do_hide) continue;
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

}  // namespace

PyObject* walk_omit(OmitterObject* self, PyObject* target, int skip_override) {
    if (walk_depth == 0) note_foreign_code();
    DepthGuard depth;
    if (!depth.enter()) return fail(kOmit, 48);
    if (!skip_override && may_override(Py_TYPE(self))) {
        PyObject* answer = nullptr;
        int handled = dispatch(self, g.s_omit, &omit_def, target, 1, &answer);
        if (handled < 0) return nullptr;
        if (handled > 0) return answer;
    }
    if (target == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "items");
        return fail(kOmit, 48);
    }

    const MaskPolicy* const policy = mask_policy_of(self);
    // Whole values are hidden by key whatever their type: every entry takes
    // the general step.
    const bool general_only = policy != nullptr && policy->whole;
    Ref dict = Ref::borrow(target);
    CurrentPair pair;  // released after `dict` is, on every way out
    const Py_ssize_t size = PyDict_GET_SIZE(target);
    DictCursor cursor(target);
    Py_ssize_t fetched = 0;  // entries below this were prefetched
    for (;;) {
        if (PyDict_GET_SIZE(target) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return fail(kOmit, 48);
        }
        DictCursor::View view;
        if (!pair.empty() || general_only || !cursor.view(&view)) {
            // One step in general: the next pair is held before the one
            // before is let go, which may run code.
            PyObject *k, *v;
            if (!cursor.next(&k, &v)) break;
            const uint64_t read_at = foreign_code_epoch;
            pair.hold(k, v);
            if (omit_entry(self, target, cursor, pair, policy, read_at) < 0) return nullptr;
            // With nothing run since the pair was read, letting go of it now
            // is the same as letting go when the next one is read.
            if (foreign_code_epoch == read_at && pair.lets_go_quietly()) pair.let_go();
            continue;
        }
        // Read entries in place for as long as nothing can have changed the
        // dict (and no pair is held): values of built-in scalar types are
        // passed over, and str
        // values whose verdict is known without a call are decided and
        // masked right here, without running or holding anything. Anything
        // else goes to omit_entry, after which the table is looked at afresh
        // if foreign code may have run.
        const bool in_place = cursor.writes_in_place();
        // Short lists of plain items are walked right here (walk_plain_list)
        // when nothing could tell: the omitter's type cannot override the
        // list walk, its table's list walk is this module's, the dict holds
        // only str keys, so putting the list back would be no store, and
        // masks are the default's.
        const bool plain_lists = !may_override(Py_TYPE(self)) && self->vtab->omit_recurse == walk_omit_recurse &&
                                 view.stride == sizeof(UnicodeEntry) && policy == nullptr;
        char* const keys = view.entries + view.key_offset;
        const Py_ssize_t stride = view.stride;
        const Py_ssize_t n = view.n;
        Py_ssize_t pos = cursor.pos();
        // Ask for the next values' headers all at once: data just parsed is
        // not in the cache, and their types are read one after another.
        // (A prefetch never faults, so empty entries need no test.)
        if (fetched < n) {
            const Py_ssize_t end = n < pos + kPrefetch ? n : pos + kPrefetch;
            char* const stop = keys + end * stride;
            for (char* p = keys + (pos > fetched ? pos : fetched) * stride; p < stop; p += stride) {
                __builtin_prefetch(reinterpret_cast<PyObject**>(p)[1]);
            }
            fetched = end;
        }
        for (;;) {
            PyObject** slot = nullptr;
            while (pos < n && (slot = reinterpret_cast<PyObject**>(keys + pos * stride))[1] == nullptr) pos++;
            if (pos >= n) return dict.release();
            pos++;
            PyObject* k = slot[0];
            PyObject* v = slot[1];
            PyTypeObject* tp = Py_TYPE(v);
            if (tp == &PyUnicode_Type && PyUnicode_CheckExact(k)) {
                const int hide = quiet_should_hide(self, k);
                if (hide == 0) continue;
                if (hide > 0 && in_place) {
                    PyObject* mask = mask_value(policy, v);
                    if (mask == nullptr) return fail(kOmit, 54);
                    if (mask == v) {  // this very mask already: a store would change nothing
                        Py_DECREF(mask);
                        continue;
                    }
                    if (!cursor.retag()) {
                        Py_DECREF(mask);
                        return fail(kOmit, 54);
                    }
                    slot[1] = mask;
                    Py_DECREF(v);  // an exact str: its release runs no code
                    continue;
                }
            } else if (tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type || v == Py_None) {
                continue;
            } else if (tp == &PyDict_Type) {
                cursor.pos() = pos;
                const uint64_t read_at = foreign_code_epoch;
                pair.hold(k, v);
                if (omit_nested_dict(self, target, pair, read_at) < 0) return nullptr;
                if (foreign_code_epoch != read_at || !pair.lets_go_quietly()) break;  // as after omit_entry
                pair.let_go();
                continue;
            } else if (tp == &PyList_Type && plain_lists && PyUnicode_CheckExact(k)) {
                const int hide = quiet_should_hide(self, k);
                if (hide >= 0 && walk_plain_list(self, v, hide)) continue;
            }
            cursor.pos() = pos;
            const uint64_t read_at = foreign_code_epoch;
            pair.hold(k, v);
            if (omit_entry(self, target, cursor, pair, policy, read_at) < 0) return nullptr;
            // With nothing foreign run, the walk itself has at most replaced
            // values, in place or by stores under keys already there, so the
            // table is where it was, and the pair can be let go now as well as
            // when the next one is read. Otherwise the next step is taken in
            // general, with the table read afresh.
            if (foreign_code_epoch != read_at || !pair.lets_go_quietly()) break;
            pair.let_go();
        }
    }
    return dict.release();
}

// ---- Slot 3: lists --------------------------------------------------------------

PyObject* walk_omit_recurse(OmitterObject* self, PyObject* target, int skip_override,
                            OmitRecurseOptions* options) {
    if (walk_depth == 0) note_foreign_code();
    const int do_hide = (options != nullptr && options->optional_count > 0) ? options->do_ : 1;
    DepthGuard depth;
    if (!depth.enter()) return fail(kOmitRecurse, 64);
    if (!skip_override && may_override(Py_TYPE(self))) {
        PyObject* answer = nullptr;
        int handled = dispatch(self, g.s_omit_recurse, &omit_recurse_def, target, do_hide, &answer);
        if (handled < 0) return nullptr;
        if (handled > 0) return answer;
    }
    if (target == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return fail(kOmitRecurse, 64);
    }

    const MaskPolicy* const policy = mask_policy_of(self);
    Ref list = Ref::borrow(target);
    Ref item;  // the current item, held until the next one replaces it
    ListWrites writes(self, target);
    const Py_ssize_t length = PyList_GET_SIZE(target);
    for (Py_ssize_t i = 0; i < length; i++) {
        // Python code run from this walk may have shortened the list: never
        // read past its current end.
        const Py_ssize_t current = PyList_GET_SIZE(target);
        if (i >= current) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return fail(kOmitRecurse, 66);
        }
        // Long lists: keep asking the cache for items some way ahead.
        if (i + kPrefetch < current) __builtin_prefetch(PyList_GET_ITEM(target, i + kPrefetch));
        PyObject* raw = PyList_GET_ITEM(target, i);
        const uint64_t read_at = foreign_code_epoch;
        hold_item(item, raw);
        const unsigned long flags = Py_TYPE(raw)->tp_flags;
        if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
            if (!PyDict_CheckExact(raw)) return fail_unexpected("dict", raw, kOmitRecurse, 68);
            writes.flush();
            PyObject* walked = walk_dict_slot(self, raw);
            // PyList_SetItem checks the index against the current length.
            if (walked == nullptr || put_walked(target, i, walked) < 0) return fail(kOmitRecurse, 68);
        } else if (flags & Py_TPFLAGS_LIST_SUBCLASS) {
            if (!PyList_CheckExact(raw)) return fail_unexpected("list", raw, kOmitRecurse, 70);
            writes.flush();
            PyObject* walked = walk_list_slot(self, raw, do_hide);
            if (walked == nullptr || put_walked(target, i, walked) < 0) return fail(kOmitRecurse, 70);
        } else if (do_hide && (flags & Py_TPFLAGS_UNICODE_SUBCLASS)) {
            if (!PyUnicode_CheckExact(raw)) return fail_unexpected("unicode", raw, kOmitRecurse, 72);
            PyObject* mask = mask_value(policy, raw);
            if (mask == nullptr) return fail(kOmitRecurse, 72);
            // The item replaced is still `raw` unless foreign code ran (and
            // we hold `raw` either way): only a foreign replacement is loud.
            const bool quiet = foreign_code_epoch == read_at;
            int stored = PyList_SetItem(target, i, mask);
            if (!quiet) note_foreign_code();
            if (stored < 0) return fail(kOmitRecurse, 72);
            writes.mark();
        }
    }
    return list.release();
}

// ---- Python-level entry points ---------------------------------------------------

namespace {

PyObject** const omit_names[] = {&g.s_target};
const Signature omit_sig{omit_names, 1, 1, "omit"};
PyObject** const omit_recurse_names[] = {&g.s_target, &g.s_do};
const Signature omit_recurse_sig{omit_recurse_names, 2, 1, "omit_recurse"};

PyObject* py_omit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!check_receiver(self, &OmitterType, "omit")) return nullptr;
    PyObject* target = nullptr;
    if (bind_fast(omit_sig, args, nargs, kwnames, &target) < 0) return fail(kOmit, 46);
    if (!check_exact_type(target, &PyDict_Type, true, "target")) return nullptr;
    // Hold the omitter for the whole walk: Python code run from it must not
    // be able to release the object whose table we call through.
    Ref keep = Ref::borrow(self);
    WalkEntry entry;
    OmitterObject* omitter = as_omitter(self);
    PyObject* result = omitter->vtab->omit(omitter, target, 1);
    if (result == nullptr) add_traceback(kOmit, 46);
    return result;
}

PyObject* py_omit_recurse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!check_receiver(self, &OmitterType, "omit_recurse")) return nullptr;
    PyObject* slots[2] = {nullptr, nullptr};
    if (bind_fast(omit_recurse_sig, args, nargs, kwnames, slots) < 0) return fail(kOmitRecurse, 62);
    int do_hide = 1;
    if (PyObject* flag = slots[1]) {
        if (flag == Py_True) {
            do_hide = 1;
        } else if (flag == Py_False || flag == Py_None) {
            do_hide = 0;
        } else {
            do_hide = PyObject_IsTrue(flag);
            if (do_hide < 0) return fail(kOmitRecurse, 62);
        }
    }
    if (!check_exact_type(slots[0], &PyList_Type, true, "target")) return nullptr;
    Ref keep = Ref::borrow(self);
    WalkEntry entry;
    OmitterObject* omitter = as_omitter(self);
    OmitRecurseOptions options{1, do_hide};
    PyObject* result = omitter->vtab->omit_recurse(omitter, slots[0], 1, &options);
    if (result == nullptr) add_traceback(kOmitRecurse, 62);
    return result;
}

}  // namespace

PyMethodDef omit_def = {"omit", as_cfunction(py_omit), METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef omit_recurse_def = {"omit_recurse", as_cfunction(py_omit_recurse),
                                METH_FASTCALL | METH_KEYWORDS, nullptr};

}  // namespace velmora
