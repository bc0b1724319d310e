// Membership of a key in an omitter's key list: `key in keys`, with exactly
// the result and the exceptions of the interpreter's own membership test,
// but faster for the common case of exact str keys.
//
// Two shortcuts, both exact:
//  * An exact str item compared with an exact str key cannot run Python code
//    and cannot fail, so that pair is compared here directly (length, cached
//    hash, then the characters). Any other pair goes through the rich
//    comparison, in list order, as the interpreter does it.
//  * For lists made only of exact str items, a hash index answers in
//    constant time. Each omitter owns the index of its own key list: it is
//    made on first use and freed with the omitter (or when the omitter's
//    list is replaced). The list may be changed from outside (its owner
//    hands it out through the pickling state, `copy.copy` shares it), so the
//    index holds references to the items it was built from and is used only
//    while the list provably still holds exactly those items: either no
//    foreign code has run since the index last compared them with the
//    list's items (foreign_code_epoch has not moved), or it compares them
//    again now. The list itself is known by its address only; a list at a
//    reused address is caught like any change, since the items compared are
//    held. The walk itself changes lists too, when it masks their items, and
//    a key list handed out can be part of the data walked: such writes are
//    reported with key_list_written.
#include "keys.h"

#include "cpython.h"

#include <cstdlib>
#include <cstring>

namespace velmora {

VerdictMemo verdict_memo;

bool same_text(PyObject* a, PyObject* b) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b)) return false;
    const Py_hash_t ha = cpython::cached_str_hash(a);
    const Py_hash_t hb = cpython::cached_str_hash(b);
    if (ha != -1 && hb != -1 && ha != hb) return false;
    int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * kind) == 0;
}

namespace {

bool plain_str(PyObject* op) { return PyUnicode_CheckExact(op) && PyUnicode_IS_READY(op); }

}  // namespace

// An index of one list of exact str: its items (held) and an open-addressing
// table of them by hash.
struct KeyIndex {
    PyObject* list = nullptr;  // by address only: never dereferenced
    uint64_t checked_at = 0;
    Py_ssize_t size = 0;
    PyObject** items = nullptr;
    PyObject** table = nullptr;
    size_t mask = 0;

    // Whether `list` still holds exactly the items the index was built from.
    bool current_for(PyObject* candidate) const {
        return candidate == list && PyList_GET_SIZE(candidate) == size &&
               std::memcmp(cpython::list_items(candidate), items,
                           static_cast<size_t>(size) * sizeof(PyObject*)) == 0;
    }

    int probe(PyObject* key) const {
        Py_hash_t hash = cpython::cached_str_hash(key);
        if (hash == -1) hash = PyObject_Hash(key);  // an exact str: runs nothing, cannot fail
        for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
            PyObject* item = table[i];
            if (item == nullptr) return 0;
            if (item == key || same_text(item, key)) return 1;
        }
    }
};

namespace {

// The index of `list`, or null if not all its items are exact str (or
// memory ran out: the caller then scans, and the error is not kept).
KeyIndex* build_index(PyObject* list) {
    const Py_ssize_t size = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < size; i++) {
        if (!plain_str(PyList_GET_ITEM(list, i))) return nullptr;
    }
    size_t capacity = 16;
    while (capacity < static_cast<size_t>(size) * 2) capacity <<= 1;
    auto* index = static_cast<KeyIndex*>(std::malloc(sizeof(KeyIndex)));
    auto** items = static_cast<PyObject**>(std::malloc(sizeof(PyObject*) * (size + 1)));
    auto** table = static_cast<PyObject**>(std::calloc(capacity, sizeof(PyObject*)));
    if (index == nullptr || items == nullptr || table == nullptr) {
        std::free(index);
        std::free(items);
        std::free(table);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < size; i++) {
        PyObject* item = PyList_GET_ITEM(list, i);
        items[i] = new_ref(item);
        Py_hash_t hash = PyObject_Hash(item);  // an exact str: runs nothing, cannot fail
        size_t slot = static_cast<size_t>(hash) & (capacity - 1);
        while (table[slot] != nullptr) slot = (slot + 1) & (capacity - 1);
        table[slot] = item;
    }
    *index = KeyIndex{list, foreign_code_epoch, size, items, table, capacity - 1};
    return index;
}

// The omitter's index, current for `list`: checked again if foreign code
// may have run since, rebuilt if the list changed. Null when no index can
// answer for it.
KeyIndex* current_index(OmitterObject* self, PyObject* list) {
    KeyIndex* index = self->index;
    if (index != nullptr) {
        if (index->checked_at == foreign_code_epoch && index->list == list) return index;
        if (index->current_for(list)) {
            index->checked_at = foreign_code_epoch;
            return index;
        }
        drop_key_index(self);  // its items are str: releasing them runs no code
    }
    if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) == 0) return nullptr;
    self->index = build_index(list);
    return self->index;
}

}  // namespace

void drop_key_index(OmitterObject* self) {
    KeyIndex* index = std::exchange(self->index, nullptr);
    if (index == nullptr) return;
    for (Py_ssize_t i = 0; i < index->size; i++) Py_DECREF(index->items[i]);
    std::free(index->items);
    std::free(index->table);
    std::free(index);
}

void key_list_written(OmitterObject* self, PyObject* list) {
    // Answers given from the old contents must not be given again.
    if (self->index != nullptr && self->index->list == list) note_foreign_code();
}

int quiet_key_in_list(OmitterObject* self, PyObject* items, PyObject* key) {
    if (!plain_str(key) && key != Py_None) return -1;
    if (PyList_CheckExact(items) && PyList_GET_SIZE(items) == 0) return 0;  // nothing to compare
    KeyIndex* index = current_index(self, items);
    if (index == nullptr) return -1;
    if (key == Py_None) return 0;  // str == None is False for every item
    return index->probe(key);
}

namespace {

// The interpreter's own test, for anything but exact lists; it may run
// Python code, and so may the release of `items` if the test left ours as
// its last reference.
int foreign_contains(PyObject* items, PyObject* key) {
    Ref held = Ref::borrow(items);
    int found = PySequence_Contains(items, key);
    held.reset();
    note_foreign_code();
    return found;
}

// The scan, in list order, from item `start` on. Equality tests may run
// Python code that drops the list (by re-initialising its omitter), so the
// caller holds the list; the items compared are held here.
int scan_contains(PyObject* items, PyObject* key, bool str_key, Py_ssize_t start) {
    for (Py_ssize_t i = start; i < PyList_GET_SIZE(items); i++) {
        PyObject* item = PyList_GET_ITEM(items, i);
        if (item == key) return 1;
        if (str_key && plain_str(item)) {
            if (same_text(item, key)) return 1;
            continue;
        }
        Ref keep = Ref::borrow(item);
        int r = PyObject_RichCompareBool(item, key, Py_EQ);
        keep.reset();
        note_foreign_code();
        if (r != 0) return r;
    }
    return 0;
}

}  // namespace

int key_in_list(OmitterObject* self, PyObject* items, PyObject* key) {
    if (!PyList_CheckExact(items)) return foreign_contains(items, key);
    const int known = quiet_key_in_list(self, items, key);
    if (known >= 0) return known;
    // As long as the items are the key itself or exact str, nothing runs.
    const bool str_key = plain_str(key);
    const Py_ssize_t size = PyList_GET_SIZE(items);
    Py_ssize_t i = 0;
    for (; i < size; i++) {
        PyObject* item = PyList_GET_ITEM(items, i);
        if (item == key) return 1;
        if (!str_key || !plain_str(item)) break;
        if (same_text(item, key)) return 1;
    }
    if (i == size) return 0;
    Py_INCREF(items);
    int found = scan_contains(items, key, str_key, i);
    // If ours was the last reference, the release may run finalisers.
    const bool last = Py_REFCNT(items) == 1;
    Py_DECREF(items);
    if (last) note_foreign_code();
    return found;
}

}  // namespace velmora
