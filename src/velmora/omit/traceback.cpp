// Traceback entries and the unexpected-type error, shared by every
// operation of the module.
#include "traceback.h"

#include "state.h"

#include <frameobject.h>

namespace velmora {

namespace {

// Code objects by site, made at the first failure there and never freed. An
// error path allocates nothing but the Python objects it reports with, so
// running out of memory there is a MemoryError, never an abort.
PyObject* site_codes[static_cast<size_t>(Site::Count)];

}  // namespace

void add_traceback(Site site) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);

    PyObject*& code = site_codes[static_cast<size_t>(site)];
    if (code == nullptr) {
        const SiteInfo& where = info(site);
        code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(where.file, where.qualname, where.line));
        if (code == nullptr) {
            // The failure to build the entry replaces the exception.
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
            return;
        }
    }

    PyErr_Restore(type, value, tb);
    // The frame's line comes from the code object: an empty code object of
    // this site reports its first line, which is the line of the entry.
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                                       g.module_dict, nullptr);
    if (frame == nullptr) return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

void raise_unexpected_type(const char* expected_name, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected_name, Py_TYPE(value)->tp_name);
}

}  // namespace velmora
