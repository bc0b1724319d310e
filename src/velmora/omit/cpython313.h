// CPython 3.13: how this line names and keeps the private facts that
// cpython.h offers. Included by cpython.h alone, on a 3.13 build with the
// interpreter lock (a free-threaded build is refused by cpython.h).
//
// What changed since 3.12 (read against the 3.13 headers):
//  - ma_version_tag: below the counter, 8 watcher bits and then 4 bits
//    counting the changes of a watched dict (DICT_WATCHED_MUTATION_BITS in
//    internal/pycore_dict_state.h); the counter moves by 1 << 12, and a
//    store keeps all 12 low bits.
//  - Py_EnterRecursiveCall raises only once c_recursion_remaining has
//    gone below 0 (one level more than 3.12 before it raises); the limit
//    is Py_C_RECURSION_LIMIT.
//  - Gone from the headers: _PyList_Extend (public PyList_Extend instead),
//    _PyLong_AsInt (public PyLong_AsInt), _PyDict_SetItem_KnownHash (internal
//    now: PyDict_SetItem, which reads the hash a str has cached). Still
//    declared, but with a public equal: _PyDict_GetItem_KnownHash
//    (PyDict_GetItemWithError).
// Unchanged: the keys object and its entries (dk_mutex exists only in
// free-threaded builds), PyASCIIObject::hash, _PyType_Lookup,
// _PyObject_GetDictPtr.
#pragma once

static_assert(PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000, "the facts of CPython 3.13");

#define VELMORA_DICT_WATCHERS 1

namespace velmora::cpython::line {

// ---- Dict version tags ------------------------------------------------------------

inline constexpr uint64_t kTagFlagBits = 0xfff;  // low bits of a tag that are not the counter
inline constexpr uint64_t kWatchedBits = 0xff;   // of those, the ones that mark a watched dict
inline constexpr uint64_t kTagIncrement = uint64_t{1} << 12;  // DICT_VERSION_INCREMENT: past the watcher and mutation bits

// ---- str ----------------------------------------------------------------------------

// A compact ASCII str keeps its text once, UTF-8 included.
inline bool keeps_no_copy(PyObject*) { return true; }

// ---- Recursion ----------------------------------------------------------------------

inline int& recursion_remaining(PyThreadState* thread) { return thread->c_recursion_remaining; }

// ---- Calls that differ by line ---------------------------------------------------------

inline PyObject* list_extend(PyObject* list, PyObject* iterable) {
    return PyList_Extend(list, iterable) < 0 ? nullptr : Py_NewRef(Py_None);
}
inline constexpr auto long_as_int = &PyLong_AsInt;
inline int dict_set_known_hash(PyObject* dict, PyObject* key, PyObject* value, Py_hash_t) {
    return PyDict_SetItem(dict, key, value);
}
inline PyObject* dict_get_known_hash(PyObject* dict, PyObject* key, Py_hash_t) {
    return PyDict_GetItemWithError(dict, key);
}
inline constexpr auto new_code = &PyUnstable_Code_NewWithPosOnlyArgs;

}  // namespace velmora::cpython::line
