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
//    constant time. The list may be changed from outside (its owner hands it
//    out through the pickling state, `copy.copy` shares it), so the index
//    holds references to the items it was built from and is used only while
//    the list provably still holds exactly those items: either no foreign
//    code has run since the index last compared them with the list's items
//    (foreign_code_epoch has not moved), or it compares them again now.
//    The list itself is known by its address only. Holding it would make
//    the index its last owner at times, and its release, when the slot is
//    reused, could then run finalisers in the middle of a lookup. A list at
//    a reused address is caught like any change: a list can only be freed
//    where foreign code counts as run, and the items compared are held.
//    The walk itself changes lists too, when it masks their items, and a
//    key list handed out can be part of the data walked: every such write
//    tells the indexes (key_list_written).
#include "omitter.h"

#include <cstdlib>
#include <cstring>

namespace velmora {

uint64_t foreign_code_epoch = 0;

namespace {
KeyMemo no_memo;  // belongs to no list, so it never answers
}  // namespace
KeyMemo* last_memo = &no_memo;

bool same_text(PyObject* a, PyObject* b) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b)) return false;
    Py_hash_t ha = reinterpret_cast<PyASCIIObject*>(a)->hash;
    Py_hash_t hb = reinterpret_cast<PyASCIIObject*>(b)->hash;
    if (ha != -1 && hb != -1 && ha != hb) return false;
    int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * kind) == 0;
}

namespace {

bool plain_str(PyObject* op) { return PyUnicode_CheckExact(op) && PyUnicode_IS_READY(op); }

// Any non-empty list of exact str is indexed, however short: the walk then
// answers for a key object it has met before from the index's memo, without
// a call (remembered_key_in_list), which beats scanning even one item.
constexpr Py_ssize_t kIndexFrom = 1;

class ListIndex {
public:
    // 1 found, 0 not found, -1 when this index cannot answer for `list`.
    int lookup(PyObject* list, PyObject* key) {
        if (list != memo_.list) return -1;
        if (memo_.checked_at != foreign_code_epoch) {
            if (!current_for(list)) return -1;
            memo_.checked_at = foreign_code_epoch;
        }
        if (key == Py_None) return 0;  // str == None is False for every item
        // Data decoded from JSON shares one key object per distinct key, so
        // the same key objects come back again and again: remember answers
        // by object.
        KeyMemo::Slot& slot = memo_.slot_for(key);
        if (slot.key == key) return slot.answer;
        int answer = probe(key);
        PyObject* old = slot.key;
        slot.key = new_ref(key);
        slot.answer = answer;
        Py_XDECREF(old);  // a str: its release runs no Python code
        return answer;
    }

    KeyMemo* memo() { return &memo_; }

    // The list was changed by the module itself: compare it again before
    // the next answer.
    void forget_check(PyObject* list) {
        if (list == memo_.list) memo_.checked_at = foreign_code_epoch - 1;
    }

    // Whether the list (the one this index was built for) still holds
    // exactly the items it was built from.
    bool current_for(PyObject* list) const {
        return PyList_GET_SIZE(list) == size_ &&
               std::memcmp(reinterpret_cast<PyListObject*>(list)->ob_item, items_,
                           static_cast<size_t>(size_) * sizeof(PyObject*)) == 0;
    }

    bool holds(PyObject* list) const { return list == memo_.list; }

    int probe(PyObject* key) const {
        Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
        if (hash == -1) hash = PyObject_Hash(key);  // an exact str: cannot fail
        for (size_t i = static_cast<size_t>(hash) & mask_;; i = (i + 1) & mask_) {
            PyObject* item = table_[i];
            if (item == nullptr) return 0;
            if (item == key || same_text(item, key)) return 1;
        }
    }

    // Build for `list` if all its items are exact str; false otherwise.
    bool build(PyObject* list) {
        Py_ssize_t size = PyList_GET_SIZE(list);
        for (Py_ssize_t i = 0; i < size; i++) {
            if (!plain_str(PyList_GET_ITEM(list, i))) return false;
        }
        size_t capacity = 16;
        while (capacity < static_cast<size_t>(size) * 2) capacity <<= 1;
        auto** items = static_cast<PyObject**>(std::malloc(sizeof(PyObject*) * (size + 1)));
        auto** table = static_cast<PyObject**>(std::calloc(capacity, sizeof(PyObject*)));
        if (items == nullptr || table == nullptr) {
            std::free(items);
            std::free(table);
            return false;
        }
        release_items();
        for (Py_ssize_t i = 0; i < size; i++) {
            PyObject* item = PyList_GET_ITEM(list, i);
            items[i] = new_ref(item);
            Py_hash_t hash = PyObject_Hash(item);
            size_t slot = static_cast<size_t>(hash) & (capacity - 1);
            while (table[slot] != nullptr) slot = (slot + 1) & (capacity - 1);
            table[slot] = item;
        }
        memo_.list = list;
        memo_.checked_at = foreign_code_epoch;
        size_ = size;
        items_ = items;
        table_ = table;
        mask_ = capacity - 1;
        return true;
    }

    void release_items() {
        // The items and the memo's keys are str: their releases run no code.
        for (Py_ssize_t i = 0; i < size_; i++) Py_DECREF(items_[i]);
        for (KeyMemo::Slot& slot : memo_.slots) Py_CLEAR(slot.key);
        std::free(items_);
        std::free(table_);
        items_ = table_ = nullptr;
        size_ = 0;
    }

private:
    KeyMemo memo_;
    Py_ssize_t size_ = 0;
    PyObject** items_ = nullptr;
    PyObject** table_ = nullptr;
    size_t mask_ = 0;
};

// A few recently used lists; a walk asks about one omitter's list over and
// over, and programs rarely alternate between many omitters.
constexpr int kIndexSlots = 8;
ListIndex indexes[kIndexSlots];
int next_slot = 0;

ListIndex* last_used = &indexes[0];

void use(ListIndex* index) {
    last_used = index;
    last_memo = index->memo();
}

// The answer of an index already built for `list`, the last one used first;
// -1 when none can give it without being built.
int built_index_contains(PyObject* list, PyObject* key) {
    int found = last_used->lookup(list, key);
    if (found >= 0) return found;
    for (ListIndex& index : indexes) {
        found = index.lookup(list, key);
        if (found >= 0) {
            use(&index);
            return found;
        }
    }
    return -1;
}

int indexed_contains(PyObject* list, PyObject* key) {
    int found = built_index_contains(list, key);
    if (found >= 0) return found;
    // Rebuild a stale index of this very list in place, else take the next
    // slot round robin.
    ListIndex* target = nullptr;
    for (ListIndex& index : indexes) {
        if (index.holds(list)) target = &index;
    }
    if (target == nullptr) {
        target = &indexes[next_slot];
        next_slot = (next_slot + 1) % kIndexSlots;
    }
    if (!target->build(list)) return -1;
    use(target);
    return target->lookup(list, key);
}

}  // namespace

void key_list_written(PyObject* list) {
    for (ListIndex& index : indexes) index.forget_check(list);
}

int indexed_key_in_list(PyObject* items, PyObject* key) {
    return plain_str(key) ? built_index_contains(items, key) : -1;
}

// The interpreter's own test, for anything but exact str keys in exact
// lists; it may run Python code, and so may the release of `items` if the
// test left ours as its last reference.
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

int key_in_list(PyObject* items, PyObject* key) {
    if (!PyList_CheckExact(items)) return foreign_contains(items, key);
    const bool str_key = plain_str(key);
    const Py_ssize_t size = PyList_GET_SIZE(items);
    if ((str_key || key == Py_None) && size >= kIndexFrom) {
        int found = indexed_contains(items, key);
        if (found >= 0) return found;
    }
    // As long as the items are the key itself or exact str, nothing runs.
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
