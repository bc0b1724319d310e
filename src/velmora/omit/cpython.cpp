// The shared half of the boundary in cpython.h: dict stamps, the in-place
// entry writer, and the checks at import that open each gate, written once
// against the facts of the line the module is built for.
#include "cpython.h"

#include "cpython_counter.h"
#include "ref.h"

#include <cstdlib>
#include <string_view>

namespace velmora::cpython {

Gates gates;
uint64_t watched_dict_events = 0;

namespace {

uint64_t fallback_counter = 0;

#if VELMORA_DICT_WATCHERS
int watcher_id = -1;

// Any event of a watched dict (a change, a clear, a copy into it, its
// deallocation) moves the count every stamp is checked against. Runs at
// any time, even during the dict's deallocation: it touches nothing else.
int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++watched_dict_events;
    return 0;
}
#endif

}  // namespace

uint64_t fallback_stamp_version() { return ++fallback_counter | (uint64_t{1} << 63); }

DictStamp dict_stamp(PyObject* dict) {
    if (dict == nullptr) return {nullptr, 0};
#if VELMORA_DICT_WATCHERS
    if (gates.dict_watcher && PyDict_Watch(watcher_id, dict) == 0) return {dict, watched_dict_events};
    PyErr_Clear();  // not a dict after all (cannot happen here): no stamp
#else
    if (gates.dict_versions) return {dict, version_tag(dict)};
#endif
    return {dict, fallback_stamp_version()};
}

namespace {

// The version a new dict is born with, from a dict made and dropped: the
// public way to a fresh tag, and what the flips are checked against.
uint64_t made_dict_version() {
    // The collector is held off: a collection run by the allocation could
    // run finalisers, and this must not run other code.
    const int collector_was_on = PyGC_Disable();
    PyObject* scratch = PyDict_New();
    if (collector_was_on) PyGC_Enable();
    if (scratch == nullptr) return 0;
    const uint64_t version = tag_count(scratch);
    Py_DECREF(scratch);  // an empty dict: its release runs no other code
    return version;
}

// A dict of the module's own, made at import and kept for good, whose one
// value flips between True and False. It is handed to no one and holds no
// container, so the collector does not track it: nobody else can reach it,
// watch it or change it. Replacing its value is a store like any other,
// which takes the interpreter's next tag, yet it allocates nothing, and
// letting go of the value replaced runs nothing (neither is ever released).
PyObject* flip_dict = nullptr;
PyObject* flip_key = nullptr;
Py_hash_t flip_key_hash = -1;
bool flipped = false;

uint64_t flip_dict_version() {
    flipped = !flipped;
    if (line::dict_set_known_hash(flip_dict, flip_key, flipped ? Py_True : Py_False, flip_key_hash) < 0) return 0;
    return tag_count(flip_dict);
}

// The interpreter's dict version counter (3.12 on: a field of the
// interpreter's state, which every store moves by kTagIncrement before it
// takes the tag). Read only where counter::dict_version_offset is known.
uint64_t& version_counter() {
    char* const interpreter = reinterpret_cast<char*>(PyInterpreterState_Get());
    return *reinterpret_cast<uint64_t*>(interpreter + counter::dict_version_offset);
}

// The tag a store would take, taken as the store takes it: no dict, no
// lookup, no call.
uint64_t counted_dict_version() { return version_counter() += line::kTagIncrement; }

}  // namespace

uint64_t fresh_dict_version() {
    if (gates.tag_counter) return counted_dict_version();
    return gates.tag_flips ? flip_dict_version() : made_dict_version();
}

int DictCursor::next(PyObject** key, PyObject** value) {
    EntryTable table;
    if (!entry_table(dict_, &table)) return PyDict_Next(dict_, &pos_, key, value);
    pos_ = table.next_live(pos_);
    if (pos_ >= table.n) return 0;
    PyObject** slot = table.slot(pos_++);
    *key = slot[0];
    *value = slot[1];
    return 1;
}

int DictCursor::replace_last(PyObject* key, PyObject* value, PyObject* mask, uint64_t generation) {
    return writes_in_place() ? write_entry(pos_ - 1, key, value, mask, generation) : 0;
}

int DictCursor::write_entry(Py_ssize_t i, PyObject* key, PyObject* value, PyObject* replacement, uint64_t generation) {
    EntryTable table;
    if (!entry_table(dict_, &table) || i < 0 || i >= table.n) return 0;
    PyObject** slot = table.slot(i);
    if (slot[0] != key || slot[1] != value) return 0;
    if (replacement == value) return 1;  // already this very object: a store would change nothing
    if (!retag(generation)) return -1;
    Py_INCREF(replacement);
    slot[1] = replacement;
    Py_DECREF(value);
    return 1;
}

int DictCursor::replace_read(PyObject* key, PyObject* value, PyObject* replacement, uint64_t generation) {
    // Found through PyDict_Next, whose positions the cursor keeps (a
    // combined table's entry i is position i + 1): it runs nothing.
    PyObject *k, *v;
    Py_ssize_t at = pos_ - 1;
    Py_ssize_t found = -1;
    if (at >= 0 && PyDict_Next(dict_, &at, &k, &v) && at == pos_ && k == key) {
        if (v != value) return 0;
        found = pos_ - 1;
    } else {
        for (at = 0; found < 0 && PyDict_Next(dict_, &at, &k, &v);) {
            if (k == key && v == value) found = at - 1;
        }
        if (found < 0) return 0;
    }
    if (!entries_writable()) return 2;
    const int written = write_entry(found, key, value, replacement, generation);
    return written == 0 ? 2 : written;  // 0: a split table, whose positions are not entries
}

bool DictCursor::new_tag(uint64_t generation) {
    const uint64_t count = fresh_dict_version();
    if (count == 0) return false;
    // The low bits stay as a store leaves them (3.13 keeps a count there).
    tag_ = count | (version_tag(dict_) & line::kTagFlagBits);
    tagged_at_ = generation;
    version_tag(dict_) = tag_;
    return true;
}

// ---- Checks at import ----------------------------------------------------------------

namespace {

// A new dict takes a tag newer than any before, a store gives the next
// one, reading a tag twice gives the same value, and nothing but the count
// is set in the tags of dicts nobody watches.
int check_dict_versions(bool* holds) {
    Ref dict = Ref::steal(PyDict_New());
    Ref later = Ref::steal(PyDict_New());
    if (!dict || !later) return -1;
    const uint64_t born = version_tag(dict.get());
    if (PyDict_SetItemString(dict.get(), "k", Py_None) < 0) return -1;
    const uint64_t stored = version_tag(dict.get());
    const uint64_t newer = version_tag(later.get());
    const bool counts_only = ((born | stored | newer) & line::kTagFlagBits) == 0;
    *holds = counts_only && born != 0 && newer > born && stored > newer && stored == version_tag(dict.get());
    return 0;
}

// A fresh str has no cached hash; hashing it caches exactly that hash.
int check_str_hash(bool* holds) {
    Ref s = Ref::steal(PyUnicode_FromString("velmora: cached hash"));
    if (!s) return -1;
    const Py_hash_t before = reinterpret_cast<PyASCIIObject*>(s.get())->hash;
    const Py_hash_t hash = PyObject_Hash(s.get());
    if (hash == -1) return -1;
    *holds = before == -1 && reinterpret_cast<PyASCIIObject*>(s.get())->hash == hash;
    return 0;
}

// Entering the recursion guard takes one from the thread's budget and
// leaving gives it back.
int check_recursion_budget(bool* holds) {
    PyThreadState* thread = PyThreadState_Get();
    const int before = line::recursion_remaining(thread);
    if (Py_EnterRecursiveCall(" while checking the recursion budget")) return -1;
    const int inside = line::recursion_remaining(thread);
    Py_LeaveRecursiveCall();
    *holds = inside == before - 1 && line::recursion_remaining(thread) == before;
    return 0;
}

// Two dicts of 40 entries with deletions, one of str keys and one of mixed
// keys: the entry table must give exactly what PyDict_Next gives.
int make_sample_dicts(Ref* str_keys, Ref* mixed_keys) {
    *str_keys = Ref::steal(PyDict_New());
    *mixed_keys = Ref::steal(PyDict_New());
    if (!*str_keys || !*mixed_keys) return -1;
    for (long i = 0; i < 40; i++) {
        Ref number = Ref::steal(PyLong_FromLong(i));
        Ref text = Ref::steal(PyUnicode_FromFormat("k%ld", i));
        PyObject* mixed_key = i % 2 ? number.get() : text.get();
        if (!number || !text || PyDict_SetItem(str_keys->get(), text.get(), number.get()) < 0 ||
            PyDict_SetItem(mixed_keys->get(), mixed_key, text.get()) < 0) {
            return -1;
        }
        if (i % 3 == 0 &&
            (PyDict_DelItem(str_keys->get(), text.get()) < 0 || PyDict_DelItem(mixed_keys->get(), mixed_key) < 0)) {
            return -1;
        }
    }
    return 0;
}

bool iterates_like_dict_next(PyObject* dict) {
    Py_ssize_t a = 0;
    DictCursor cursor(dict);
    PyObject *ka, *va, *kb, *vb;
    for (;;) {
        const int more_a = PyDict_Next(dict, &a, &ka, &va);
        const int more_b = cursor.next(&kb, &vb);
        if (more_a != more_b || (more_a && (ka != kb || va != vb))) return false;
        if (!more_a) return true;
    }
}

// Replace the first live value of a str-keyed dict in place: the dict must
// read the new value back and carry a tag newer than any before.
int check_entry_writes(PyObject* dict, bool* holds) {
    DictCursor cursor(dict);
    PyObject *key, *value;
    *holds = false;
    if (!cursor.next(&key, &value)) return 0;
    Ref held_key = Ref::borrow(key);
    Ref held_value = Ref::borrow(value);
    const uint64_t before = made_dict_version();
    const int written = cursor.replace_last(key, value, Py_None, 1);
    const uint64_t after = version_tag(dict);
    if (PyErr_Occurred()) return -1;
    const uint64_t later = made_dict_version();
    if (before == 0 || later == 0) return -1;
    *holds = written == 1 && PyDict_GetItemWithError(dict, key) == Py_None && before < after && after < later;
    return 0;
}

// Make the dict whose flips give fresh tags (once), and flip it twice
// between dicts made and dropped: each flip must give a tag newer than any
// dict before it and older than any dict after it, kept as the dict's own,
// with nothing but the count set (nobody watches it).
int check_tag_flips(bool* holds) {
    *holds = false;
    if (flip_dict == nullptr) {
        Ref dict = Ref::steal(PyDict_New());
        Ref key = Ref::steal(PyUnicode_FromString("velmora: version tags"));
        if (!dict || !key || PyDict_SetItem(dict.get(), key.get(), Py_False) < 0) return -1;
        flip_key_hash = cached_str_hash(key.get());
        if (flip_key_hash == -1) flip_key_hash = PyObject_Hash(key.get());
        flip_dict = dict.release();
        flip_key = key.release();
        flipped = false;
    }
    uint64_t previous = made_dict_version();
    for (int i = 0; i < 2; i++) {
        const uint64_t flip = flip_dict_version();
        const uint64_t later = made_dict_version();
        if (previous == 0 || flip == 0 || later == 0) return -1;
        const bool own = version_tag(flip_dict) == flip && PyDict_GetItemWithError(flip_dict, flip_key) ==
                                                               (flipped ? Py_True : Py_False);
        if (!own || !(previous < flip && flip < later) || PyDict_GET_SIZE(flip_dict) != 1) return 0;
        previous = later;
    }
    *holds = !PyObject_GC_IsTracked(flip_dict);
    return 0;
}

// Whether the field the internal headers name is the counter that stores
// take their tags from: read-only first, it must hold the very count each
// of three flips took (each a kTagIncrement past the one before); only then
// is it moved, and the flip and the dict made after it must take the next
// counts from where it was moved to (3.13 moves it once more as it lets
// that dict go). Runs on the flipped dict, so after check_tag_flips.
int check_tag_counter(bool* holds) {
    *holds = false;
    const std::ptrdiff_t at = counter::dict_version_offset;
    if (at < 0 || static_cast<std::size_t>(at) + sizeof(uint64_t) > counter::interpreter_size ||
        at % alignof(uint64_t) != 0) {
        return 0;
    }
    uint64_t previous = 0;
    for (int i = 0; i < 3; i++) {
        const uint64_t flip = flip_dict_version();
        if (flip == 0) return -1;
        if (version_counter() != flip || (i > 0 && flip != previous + line::kTagIncrement)) return 0;
        previous = flip;
    }
    const uint64_t taken = counted_dict_version();
    const uint64_t flip = flip_dict_version();
    const uint64_t made = made_dict_version();
    if (flip == 0 || made == 0) return -1;
    *holds = taken == previous + line::kTagIncrement && flip == taken + line::kTagIncrement &&
             made == flip + line::kTagIncrement && version_counter() >= made;
    return 0;
}

// A str made afresh may be filled, as PyUnicode_Fill would fill it, and
// then is what a run of '*' made afresh is: equal, of the same length,
// kind, flags, hash and UTF-8. A str that is hashed or held twice may not
// be filled, as PyUnicode_Fill refuses it, nor one that is not ASCII.
int check_str_fills(bool* holds) {
    *holds = false;
    const char text[] = "velmora: a str to fill";
    const Py_ssize_t n = sizeof text - 1;
    Ref fresh = Ref::steal(PyUnicode_FromStringAndSize(text, n));
    Ref filled_by_python = Ref::steal(PyUnicode_FromStringAndSize(text, n));
    Ref stars = Ref::steal(PyUnicode_FromString("**********************"));
    Ref hashed = Ref::steal(PyUnicode_FromStringAndSize(text, n));
    Ref wide = Ref::steal(PyUnicode_FromString("velmora: caf\u00e9"));
    if (!fresh || !filled_by_python || !stars || !hashed || !wide || PyObject_Hash(hashed.get()) == -1) return -1;
    gates.str_fills = true;  // open while the check fills through it
    const bool refused = !str_fillable(hashed.get()) && !str_fillable(wide.get()) &&
                         PyUnicode_Fill(hashed.get(), 0, n, '*') < 0;
    PyErr_Clear();
    Ref twice = fresh;
    const bool refused_twice = !str_fillable(fresh.get()) && PyUnicode_Fill(fresh.get(), 0, n, '*') < 0;
    PyErr_Clear();
    twice = Ref();
    const bool accepted = str_fillable(filled_by_python.get()) && PyUnicode_Fill(filled_by_python.get(), 0, n, '*') == n;
    const bool filled = fill_mask(fresh.get());
    gates.str_fills = false;
    if (PyErr_Occurred()) return -1;
    const char* utf8 = PyUnicode_AsUTF8(fresh.get());
    const Py_hash_t hash = PyObject_Hash(fresh.get());
    if (utf8 == nullptr || hash == -1 || PyObject_Hash(stars.get()) == -1) return -1;
    *holds = refused && refused_twice && accepted && filled && PyUnicode_GET_LENGTH(stars.get()) == n &&
             PyUnicode_Compare(filled_by_python.get(), stars.get()) == 0 &&
             PyUnicode_Compare(fresh.get(), stars.get()) == 0 && PyUnicode_IS_COMPACT_ASCII(fresh.get()) &&
             PyUnicode_KIND(fresh.get()) == PyUnicode_KIND(stars.get()) && hash == PyObject_Hash(stars.get()) &&
             std::string_view(utf8) == std::string_view(PyUnicode_AsUTF8(stars.get()));
    return 0;
}

#if VELMORA_DICT_WATCHERS
// Take a watcher of our own, and try it on a dict: watching sets one of the
// watched bits, a store keeps them and tells us, a clear and the dict's
// deallocation tell us too. With every watcher of the interpreter taken,
// the gate stays closed and nothing is an error.
int check_dict_watcher(bool* holds) {
    *holds = false;
    if (watcher_id < 0) watcher_id = PyDict_AddWatcher(on_dict_event);
    if (watcher_id < 0) {
        PyErr_Clear();
        return 0;
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || PyDict_Watch(watcher_id, dict.get()) < 0) return -1;
    const bool marked = watched(dict.get());
    uint64_t seen = watched_dict_events;
    if (PyDict_SetItemString(dict.get(), "k", Py_None) < 0) return -1;
    const bool stored = watched_dict_events != seen && watched(dict.get());
    seen = watched_dict_events;
    PyDict_Clear(dict.get());
    const bool cleared = watched_dict_events != seen;
    seen = watched_dict_events;
    dict = Ref();
    *holds = marked && stored && cleared && watched_dict_events != seen;
    return 0;
}
#endif

// Gates closed on request: VELMORA_CLOSE_GATES names them, separated by
// commas ("all" for every one), so that the fallbacks can be tested and
// timed on a line where every fact holds. Unknown names are passed over.
Gates closed_on_request() {
    Gates closed;
    const char* names = std::getenv("VELMORA_CLOSE_GATES");
    for (std::string_view rest = names != nullptr ? names : ""; !rest.empty();) {
        const size_t comma = rest.find(',');
        const std::string_view name = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        const bool all = name == "all";
        closed.dict_versions |= all || name == "dict_versions";
        closed.str_hash |= all || name == "str_hash";
        closed.recursion_budget |= all || name == "recursion_budget";
        closed.dict_entries |= all || name == "dict_entries";
        closed.entry_writes |= all || name == "entry_writes";
        closed.dict_watcher |= all || name == "dict_watcher";
        closed.tag_flips |= all || name == "tag_flips";
        closed.str_fills |= all || name == "str_fills";
        closed.tag_counter |= all || name == "tag_counter";
    }
    return closed;
}

}  // namespace

int check_at_import() {
    gates = Gates{};
    const Gates closed = closed_on_request();
    bool holds = false;
    if (check_dict_versions(&holds) < 0) return -1;
    gates.dict_versions = holds && !closed.dict_versions;
    if (check_str_hash(&holds) < 0) return -1;
    gates.str_hash = holds && !closed.str_hash;
    if (check_recursion_budget(&holds) < 0) return -1;
    gates.recursion_budget = holds && !closed.recursion_budget;
    // Fresh tags are read off the flipped dict: only where tags are kept.
    if (gates.dict_versions && check_tag_flips(&holds) < 0) return -1;
    gates.tag_flips = gates.dict_versions && holds && !closed.tag_flips;
    // The counter is told by the tags the flips take.
    if (gates.tag_flips && check_tag_counter(&holds) < 0) return -1;
    gates.tag_counter = gates.tag_flips && holds && !closed.tag_counter;
    // Whether a str was hashed is read off its cached hash.
    if (gates.str_hash && check_str_fills(&holds) < 0) return -1;
    gates.str_fills = gates.str_hash && holds && !closed.str_fills;
#if VELMORA_DICT_WATCHERS
    if (check_dict_watcher(&holds) < 0) return -1;
    gates.dict_watcher = holds && !closed.dict_watcher;
    // Writes in place must be refused for watched dicts: only with the
    // watched bits seen doing their part can they be told apart.
    const bool watched_known = holds;
#else
    const bool watched_known = true;  // nothing can watch a dict on this line
#endif
    Ref str_keys, mixed_keys;
    if (make_sample_dicts(&str_keys, &mixed_keys) < 0) return -1;
    gates.dict_entries = true;  // open while the checks read through it
    const bool entries_hold = iterates_like_dict_next(str_keys.get()) && iterates_like_dict_next(mixed_keys.get());
    gates.dict_entries = entries_hold && !closed.dict_entries;
    if (!gates.dict_entries || !gates.dict_versions || !watched_known || closed.entry_writes) return 0;
    gates.entry_writes = true;  // open while the check writes through it
    const int checked = check_entry_writes(str_keys.get(), &holds);
    gates.entry_writes = checked == 0 && holds;
    return checked;
}

}  // namespace velmora::cpython
