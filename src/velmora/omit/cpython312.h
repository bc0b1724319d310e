// CPython 3.12: how this line names and keeps the private facts that
// cpython.h offers. Included by cpython.h alone, on a 3.12 build.
//
// What changed since 3.11 (read against the 3.12 headers):
//  - ma_version_tag is deprecated (PEP 699) but still kept by every dict
//    operation. Its low 8 bits now mark the watchers of the dict
//    (DICT_MAX_WATCHERS in internal/pycore_dict_state.h), and the counter
//    moves by 1 << 8 (DICT_VERSION_INCREMENT in internal/pycore_dict.h);
//    a store keeps the watcher bits and notifies the watchers first
//    (_PyDict_NotifyEvent), which a write made in place would not.
//  - Dict watchers are public (PyDict_AddWatcher): the module's caches
//    watch the dicts they rely on instead of reading tags.
//  - The recursion budget is split (cpython/pystate.h):
//    py_recursion_remaining counts Python frames against
//    sys.setrecursionlimit(), c_recursion_remaining counts
//    Py_EnterRecursiveCall levels against C_RECURSION_LIMIT, whatever the
//    Python limit is. Py_EnterRecursiveCall takes a level while the count
//    is above 0 and raises at 0, as 3.11 did.
//  - PyCode_NewWithPosOnlyArgs is PyUnstable_Code_NewWithPosOnlyArgs.
// Unchanged: the keys object and its entries, PyASCIIObject::hash, the
// underscore calls below.
#pragma once

static_assert(PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000, "the facts of CPython 3.12");

#define VELMORA_DICT_WATCHERS 1

namespace velmora::cpython::line {

// ---- Dict version tags ------------------------------------------------------------

inline constexpr uint64_t kTagFlagBits = 0xff;  // low bits of a tag that are not the counter
inline constexpr uint64_t kWatchedBits = 0xff;  // of those, the ones that mark a watched dict
inline constexpr uint64_t kTagIncrement = uint64_t{1} << 8;  // DICT_VERSION_INCREMENT: past the watcher bits

// ---- str ----------------------------------------------------------------------------

// A compact ASCII str keeps its text once, UTF-8 included (wstr is gone).
inline bool keeps_no_copy(PyObject*) { return true; }

// ---- Recursion ----------------------------------------------------------------------

inline int& recursion_remaining(PyThreadState* thread) { return thread->c_recursion_remaining; }

// ---- Calls that differ by line ---------------------------------------------------------

inline PyObject* list_extend(PyObject* list, PyObject* iterable) {
    return _PyList_Extend(reinterpret_cast<PyListObject*>(list), iterable);
}
inline constexpr auto long_as_int = &_PyLong_AsInt;
inline constexpr auto dict_set_known_hash = &_PyDict_SetItem_KnownHash;
inline constexpr auto dict_get_known_hash = &_PyDict_GetItem_KnownHash;
inline constexpr auto new_code = &PyUnstable_Code_NewWithPosOnlyArgs;

}  // namespace velmora::cpython::line
