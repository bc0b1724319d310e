// Making a container's copy once its walk is over, and checking it.
//
// The copy is made from the container as it stands when its walk ends, and
// each replacement is written where it was read: a dict's by storing under
// the entry's key, a list's by index. Whether a store lands where it was
// read, and whether the container still holds what the walk read, can only
// be known by looking again; the checks here look, with pointer
// comparisons alone, and run no code.
#pragma once

#include "changes.h"
#include "foreign.h"

namespace velmora::redact {

// Key types whose hashing and comparison are the interpreter's own and
// never change: in a dict whose keys are all of them, copying and storing
// run no code, and a store under a key of the dict lands in that key's
// entry (no two keys of the dict are equal).
inline bool plain_key(PyObject* key) {
    PyTypeObject* tp = Py_TYPE(key);
    return tp == &PyUnicode_Type || tp == &PyLong_Type || key == Py_None || tp == &PyFloat_Type ||
           tp == &PyBool_Type;
}

// ---- After a walk that ran no foreign code: the change records ----

// A copy of `dict` with `n` changes stored into it: a new reference, or null
// with an exception set. With `plain_keys` (every key of `dict` plain) it
// runs no code; otherwise the copy and the stores may hash and compare keys.
PyObject* dict_copy_with(PyObject* dict, const Change* changes, size_t n, bool plain_keys);

// Whether `copy` holds exactly the entries of `dict`, in order, with the
// same key objects, and the values of `dict` but where a change was made:
// there `dict` still holds the value the walk read and `copy` the change.
// Every change must be found.
bool dict_copy_matches(PyObject* dict, PyObject* copy, const Change* changes, size_t n);

// A copy of `list` with `n` changes put at their indexes; runs no code.
PyObject* list_copy_with(PyObject* list, const Change* changes, size_t n);

// ---- After a walk that did: the frame's record of what it read ----

// Whether every entry of `dict`, in order, is one the walk read, with the
// value it read, in the order it read them (entries it read may be gone).
// Marks each visit `dict` still has as kept.
bool dict_is_what_was_read(PyObject* dict, Frame& frame);

// Whether `list` is exactly the items the walk read, at their indexes;
// marks them all kept.
bool list_is_what_was_read(PyObject* list, Frame& frame);

// Whether any kept visit has a replacement.
bool kept_replacement(Frame& frame);

// A copy of `dict` (or `list`) with the replacements of the kept visits
// stored (or put); as dict_copy_with.
PyObject* dict_copy_with(PyObject* dict, Frame& frame, bool plain_keys);
PyObject* list_copy_with(PyObject* list, Frame& frame);

// Whether `copy` holds exactly the entries of `dict`, which are the kept
// visits, with their replacements where they have one.
bool dict_copy_matches(PyObject* dict, PyObject* copy, Frame& frame);

}  // namespace velmora::redact
