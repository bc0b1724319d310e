// Slot 3, `omit_recurse`: the walk of a list.
//
// In order:
//   1. the override dispatch, for an object of a Python subclass;
//   2. `target` None: TypeError;
//   3. the length is noted once; items added later are not visited, and the
//      walk never reads or writes past the list's current end;
//   4. per item, held until the next one is read: a dict is walked and put
//      back; a list is walked with the same `do` and put back; a str is
//      masked when `do` is true; anything else is left alone;
//   5. the list itself is returned.
#include "walk.h"

#include "cpython.h"
#include "depth.h"
#include "held.h"
#include "registry.h"
#include "str_hook.h"
#include "traceback.h"
#include "walk_steps.h"

namespace velmora {

namespace {

// Put a walked item back at index i; storing the object that is already
// there is the same as releasing our reference to it.
int put_walked(PyObject* list, Py_ssize_t i, PyObject* walked) {
    if (i < PyList_GET_SIZE(list) && PyList_GET_ITEM(list, i) == walked) {
        Py_DECREF(walked);  // the list holds it too
        return 0;
    }
    const int stored = PyList_SetItem(list, i, walked);
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

class ListWalk {
public:
    ListWalk(OmitterObject* self, PyObject* target, int do_hide, const StrHook* hook)
        : self_(self),
          target_(target),
          list_(Ref::borrow(target)),
          writes_(self, target),
          policy_(mask_policy_of(self)),
          hook_(hook),
          do_hide_(do_hide) {}

    PyObject* run();

private:
    int item_step(Py_ssize_t i, PyObject* item, uint64_t read_at);
    int mask_item(Py_ssize_t i, PyObject* item, uint64_t read_at);
    int look_at_item(Py_ssize_t i, PyObject* item, uint64_t read_at);
    int store_item(Py_ssize_t i, PyObject* mask, uint64_t read_at);

    OmitterObject* const self_;
    PyObject* const target_;
    Ref list_;
    Ref item_;  // the current item, held until the next one replaces it
    ListWrites writes_;
    const MaskPolicy* const policy_;
    const StrHook* const hook_;  // null: none
    const int do_hide_;
};

PyObject* ListWalk::run() {
    const Py_ssize_t length = PyList_GET_SIZE(target_);
    prefetch_first_items(cpython::list_items(target_), length);
    for (Py_ssize_t j = 1; j < 3 && j < length; j++) cpython::prefetch_contents(PyList_GET_ITEM(target_, j));
    for (Py_ssize_t i = 0; i < length; i++) {
        // Python code run from this walk may have shortened the list.
        const Py_ssize_t current = PyList_GET_SIZE(target_);
        if (i >= current) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return fail(Site::RecurseItem);
        }
        // Long lists: keep asking the cache for items some way ahead, and
        // for what the walks of the next items read first, a step per item
        // (a table's header three items ahead, its entries two ahead, the
        // values' headers one ahead), each step reading what the one
        // before brought in.
        if (i + kPrefetch < current) prefetch_object(PyList_GET_ITEM(target_, i + kPrefetch));
        if (i + 3 < current) cpython::prefetch_contents(PyList_GET_ITEM(target_, i + 3));
        if (i + 2 < current) cpython::prefetch_entries(PyList_GET_ITEM(target_, i + 2), kPrefetch);
        if (i + 1 < current) cpython::prefetch_values(PyList_GET_ITEM(target_, i + 1), kPrefetch);
        PyObject* item = PyList_GET_ITEM(target_, i);
        const uint64_t read_at = foreign_code_epoch;
        hold_item(item_, item);
        if (item_step(i, item, read_at) < 0) return nullptr;
    }
    return list_.release();
}

// One item, held since `read_at`. PyList_SetItem checks the index against
// the list's current length. 0, or -1 with the traceback entry.
int ListWalk::item_step(Py_ssize_t i, PyObject* item, uint64_t read_at) {
    const unsigned long flags = Py_TYPE(item)->tp_flags;
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
        if (!PyDict_CheckExact(item)) return fail_unexpected_status("dict", item, Site::RecurseDict);
        writes_.flush();
        PyObject* walked = walk_dict_slot(self_, item);
        if (walked == nullptr || put_walked(target_, i, walked) < 0) return fail_status(Site::RecurseDict);
    } else if (flags & Py_TPFLAGS_LIST_SUBCLASS) {
        if (!PyList_CheckExact(item)) return fail_unexpected_status("list", item, Site::RecurseList);
        writes_.flush();
        PyObject* walked = walk_list_slot(self_, item, do_hide_);
        if (walked == nullptr || put_walked(target_, i, walked) < 0) return fail_status(Site::RecurseList);
    } else if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
        if (do_hide_) return mask_item(i, item, read_at);
        if (hook_ != nullptr) return look_at_item(i, item, read_at);
    }
    return 0;
}

int ListWalk::mask_item(Py_ssize_t i, PyObject* item, uint64_t read_at) {
    if (!PyUnicode_CheckExact(item)) return fail_unexpected_status("unicode", item, Site::RecurseStr);
    PyObject* mask = mask_value(policy_, item);
    if (mask == nullptr) return fail_status(Site::RecurseStr);
    return store_item(i, mask, read_at);
}

// A str item `do` lets through, looked at by the hook: what it finds masked
// is stored as a mask is.
int ListWalk::look_at_item(Py_ssize_t i, PyObject* item, uint64_t read_at) {
    PyObject* looked = apply_str_hook(hook_, item);
    if (looked == nullptr) return fail_status(Site::RecurseStr);
    if (looked == item) {
        Py_DECREF(looked);  // we hold the item too: quiet
        return 0;
    }
    return store_item(i, looked, read_at);
}

// Put `mask` (stolen) at index i, in place of the str item read there.
int ListWalk::store_item(Py_ssize_t i, PyObject* mask, uint64_t read_at) {
    // The item replaced is still `item` unless foreign code ran (and we
    // hold `item` either way): only a foreign replacement is loud.
    const bool quiet = foreign_code_epoch == read_at;
    const int stored = PyList_SetItem(target_, i, mask);
    if (!quiet) note_foreign_code();
    if (stored < 0) return fail_status(Site::RecurseStr);
    writes_.mark();
    return 0;
}

}  // namespace

PyObject* walk_omit_recurse(OmitterObject* self, PyObject* target, int skip_override, OmitRecurseOptions* options) {
    if (walk_depth == 0) note_foreign_code();
    const int do_hide = (options != nullptr && options->optional_count > 0) ? options->do_ : 1;
    DepthGuard depth;
    if (!depth.enter()) return fail(Site::RecurseNone);
    if (!skip_override) {
        PyObject* answer = nullptr;
        const int handled = dispatch_step(self, WalkMethod::kOmitRecurse, target, do_hide, &answer);
        if (handled != 0) return answer;
    }
    if (target == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return fail(Site::RecurseNone);
    }
    HookScope hook;
    if (!hook.enter(self)) return fail(Site::RecurseNone);
    ListWalk walk(self, target, do_hide, hook.hook());
    return walk.run();
}

}  // namespace velmora
