// CPython 3.11: how this line names and keeps the private facts that
// cpython.h offers. Included by cpython.h alone, on a 3.11 build.
//
// Read against the 3.11 headers: cpython/dictobject.h (ma_version_tag),
// internal/pycore_dict.h (DICT_NEXT_VERSION, the keys object),
// cpython/pystate.h (recursion_remaining), internal/pycore_ceval.h
// (_Py_EnterRecursiveCallTstate).
#pragma once

static_assert(PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000, "the facts of CPython 3.11");

// No dict watchers before 3.12: the module's caches read version tags.
#define VELMORA_DICT_WATCHERS 0

namespace velmora::cpython::line {

// ---- Dict version tags ------------------------------------------------------------
// The whole 64 bits are the tag: DICT_NEXT_VERSION() is ++ of one counter.

inline constexpr uint64_t kTagFlagBits = 0;  // low bits of a tag that are not the counter
inline constexpr uint64_t kWatchedBits = 0;  // of those, the ones that mark a watched dict
inline constexpr uint64_t kTagIncrement = 1;  // the counter moves by 1

// ---- str ----------------------------------------------------------------------------

// A str of 3.11 may keep a wchar_t copy of its text (wstr, made on
// request by the deprecated Py_UNICODE calls): a filled str must not.
inline bool keeps_no_copy(PyObject* s) { return reinterpret_cast<PyASCIIObject*>(s)->wstr == nullptr; }

// ---- Recursion ----------------------------------------------------------------------
// One budget for Python frames and native levels alike, set from
// sys.setrecursionlimit(); Py_EnterRecursiveCall takes a level while it is
// above 0 and raises at 0.

inline int& recursion_remaining(PyThreadState* thread) { return thread->recursion_remaining; }

// ---- Calls that differ by line ---------------------------------------------------------

inline PyObject* list_extend(PyObject* list, PyObject* iterable) {
    return _PyList_Extend(reinterpret_cast<PyListObject*>(list), iterable);
}
inline constexpr auto long_as_int = &_PyLong_AsInt;
inline constexpr auto dict_set_known_hash = &_PyDict_SetItem_KnownHash;
inline constexpr auto dict_get_known_hash = &_PyDict_GetItem_KnownHash;
inline constexpr auto new_code = &PyCode_NewWithPosOnlyArgs;

}  // namespace velmora::cpython::line
