// What the walk makes of a value, by its type.
//
// A value is classified by one read of its type: the exact built-in types
// the walk meets most are known without running anything; any other value
// takes the number test (`isinstance(value, bool)` or an int, float or
// complex subtype), whose `__class__` lookup may run Python code, and is
// then classified by its type's flag bits.
#pragma once

#include "ref.h"

namespace velmora {

enum class ValueKind {
    kScalar,   // left alone, key not looked at: int, float, bool, None
    kStr,      // exact str
    kDict,     // exact dict
    kList,     // exact list
    kUnknown,  // anything else: the number test decides first
};

inline ValueKind builtin_kind(PyTypeObject* tp) {
    if (tp == &PyUnicode_Type) return ValueKind::kStr;
    if (tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type || tp == Py_TYPE(Py_None)) {
        return ValueKind::kScalar;
    }
    if (tp == &PyDict_Type) return ValueKind::kDict;
    if (tp == &PyList_Type) return ValueKind::kList;
    return ValueKind::kUnknown;
}

// The number test of a value of kUnknown kind: 1 a number, 0 not, -1 on
// error. May run Python code, and counts as foreign code when it can.
int is_number(PyObject* value);

// The flag bits that admit a value to the walk's str, dict and list
// branches (where a subclass is then refused).
constexpr unsigned long kWalkedFlags = Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS |
                                       Py_TPFLAGS_LIST_SUBCLASS;

}  // namespace velmora
