// A walk that only visits: every dict value and list item of nested exact
// dicts and lists, read through the public C API (PyDict_Next, the list's
// items), each value's type looked at, nothing decided and nothing written.
// It is the floor a redacting walk is measured against (bench.py
// --per-line builds it with the interpreter's own compiler settings).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

// Values visited under `obj`, or -1 with RecursionError set.
Py_ssize_t visit(PyObject* obj);

Py_ssize_t visit_value(PyObject* value) {
    PyTypeObject* tp = Py_TYPE(value);
    return tp == &PyDict_Type || tp == &PyList_Type ? visit(value) : 0;
}

Py_ssize_t visit(PyObject* obj) {
    if (Py_EnterRecursiveCall(" while visiting")) return -1;
    Py_ssize_t count = 0;
    if (PyDict_CheckExact(obj)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (count >= 0 && PyDict_Next(obj, &pos, &key, &value)) {
            const Py_ssize_t below = visit_value(value);
            count = below < 0 ? -1 : count + 1 + below;
        }
    } else {
        const Py_ssize_t n = PyList_GET_SIZE(obj);
        for (Py_ssize_t i = 0; count >= 0 && i < n; i++) {
            const Py_ssize_t below = visit_value(PyList_GET_ITEM(obj, i));
            count = below < 0 ? -1 : count + 1 + below;
        }
    }
    Py_LeaveRecursiveCall();
    return count;
}

PyObject* visit_entry(PyObject*, PyObject* target) {
    if (!PyDict_CheckExact(target) && !PyList_CheckExact(target)) {
        PyErr_SetString(PyExc_TypeError, "visit() takes a dict or a list");
        return nullptr;
    }
    const Py_ssize_t count = visit(target);
    return count < 0 ? nullptr : PyLong_FromSsize_t(count);
}

PyMethodDef methods[] = {
    {.ml_name = "visit", .ml_meth = visit_entry, .ml_flags = METH_O,
     .ml_doc = "visit(target): the number of values under target, visited and left alone"},
    {},
};

PyModuleDef module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "velmora_bench_visit",
    .m_size = 0,
    .m_methods = methods,
};

}  // namespace

PyMODINIT_FUNC PyInit_velmora_bench_visit() { return PyModuleDef_Init(&module); }
