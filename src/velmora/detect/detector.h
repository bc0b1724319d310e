// The Detector type: registered values, the formats chosen, the mask
// policy, and the engine compiled from them.
//
// Values live in a dict (under the interpreter lock only) and the engine
// is compiled from it lazily: `add` marks it stale, and the next scan
// compiles once however many values came in between. A scan holds its own
// reference to the engine it started with, so a value added meanwhile
// (from another thread, while the scan runs without the lock) reaches only
// the scans that start afterwards.
//
// The type is final and holds nothing that can lead back to it (str,
// tuples of str, a frozenset of str), so it takes no part in collection.
#pragma once

#include "engine.h"
#include "state.h"

namespace velmora::detect {

struct DetectorObject {
    PyObject_HEAD
    // value (exact str) -> what is matched: the value itself, or for a
    // value with line breaks a tuple of its lines that qualify.
    PyObject* values;
    PyObject* never_mask;        // frozenset: casefolded words refused as values
    PyObject* extra_never_mask;  // tuple: the words given to the constructor
    Py_ssize_t min_length;
    uint32_t formats;
    MaskPolicy policy;  // `text` owned
    Engine* engine;     // null until the first scan
    bool stale;         // values changed since `engine` was compiled
};

extern PyTypeObject DetectorType;

inline bool is_detector(PyObject* o) { return Py_IS_TYPE(o, &DetectorType); }

// The detector's current engine, compiled first if stale: a new reference,
// or null with MemoryError set.
Engine* acquire_engine(DetectorObject* self);

// Arguments of a new detector (borrowed; null: not given).
struct DetectorOptions {
    PyObject* values = nullptr;
    PyObject* formats = nullptr;
    PyObject* min_length = nullptr;
    PyObject* never_mask = nullptr;
    PyObject* mask = nullptr;
    PyObject* keep_last = nullptr;
};
// A new detector, or null with an exception set.
PyObject* make_detector(const DetectorOptions& options);

// The names of `kinds`, as a tuple of str (formats in table order, then
// "value").
PyObject* kind_names(uint32_t kinds);

// Ready the type and add it to `module`. 0, or -1 with an exception set.
int ready_detector_type(PyObject* module);

// Methods defined with the concern they serve (scanning.cpp, pickling.cpp,
// textmasker.cpp).
PyObject* detector_find(PyObject* self, PyObject* text);
PyObject* detector_mask(PyObject* self, PyObject* text);
PyObject* detector_masker(PyObject* self, PyObject*);
PyObject* detector_reduce(PyObject* self, PyObject*);

}  // namespace velmora::detect
