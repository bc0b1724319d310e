// The one function type behind every module function, method and
// reconstructor.
//
// Its objects start with the layout of a built-in function object, so the
// override dispatch can read the method definition of either kind the same
// way. Beyond that they carry what Python code expects of a function:
// `__qualname__`, `__module__`, `__defaults__`, `__globals__` and a
// `__code__` that lets signature introspection describe the parameters.
#include "function.h"

#include "cpython.h"

#include "binding.h"
#include "state.h"

#include <cstddef>

namespace velmora {

namespace {

struct FunctionObject {
    PyCFunctionObject base;  // m_ml, m_self, m_module, m_weakreflist, vectorcall
    PyObject* qualname;
    PyObject* name;
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;  // a tuple or None
    bool is_method;
};

FunctionObject* as_function(PyObject* op) { return reinterpret_cast<FunctionObject*>(op); }

PyObject* function_vectorcall(PyObject* op, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(op);
    PyMethodDef* def = f->base.m_ml;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = f->base.m_self;
    if (f->is_method) {
        // Called through the type: the first argument is the instance.
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, "%.200s() needs an argument", def->ml_name);
            return nullptr;
        }
        self = args[0];
        args++;
        nargs--;
    }
    if (def->ml_flags & METH_NOARGS) {
        if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", def->ml_name);
            return nullptr;
        }
        if (nargs != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", def->ml_name, nargs);
            return nullptr;
        }
        return def->ml_meth(self, nullptr);
    }
    auto meth = reinterpret_cast<FastCallWithKeywords>(reinterpret_cast<void (*)(void)>(def->ml_meth));
    return meth(self, args, nargs, kwnames);
}

// The classic call slot turns the call into a fast call of the same entry.
PyObject* function_call(PyObject* op, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return function_vectorcall(op, &PyTuple_GET_ITEM(args, 0), static_cast<size_t>(nargs), nullptr);
    }
    Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    PyObject** stack = static_cast<PyObject**>(PyMem_Malloc((nargs + nkw) * sizeof(PyObject*)));
    if (stack == nullptr) return PyErr_NoMemory();
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) {
        PyMem_Free(stack);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; i++) stack[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    bool keys_ok = true;
    while (PyDict_Next(kwargs, &pos, &key, &value) && i < nkw) {
        if (!PyUnicode_Check(key)) keys_ok = false;
        PyTuple_SET_ITEM(kwnames.get(), i, new_ref(key));
        // The dict belongs to the caller for the whole call; its values are
        // borrowed like positional arguments.
        stack[nargs + i] = value;
        i++;
    }
    PyObject* result = nullptr;
    if (!keys_ok) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    } else {
        // Keep the values alive even if the call changes the caller's dict.
        for (Py_ssize_t k = 0; k < i; k++) Py_INCREF(stack[nargs + k]);
        result = function_vectorcall(op, stack, static_cast<size_t>(nargs), kwnames.get());
        for (Py_ssize_t k = 0; k < i; k++) Py_DECREF(stack[nargs + k]);
    }
    PyMem_Free(stack);
    return result;
}

// Read through an instance a function gives a bound method, as a Python
// function does; read through the type it gives itself.
PyObject* function_descr_get(PyObject* op, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return new_ref(op);
    return PyMethod_New(op, obj);
}

int function_traverse(PyObject* op, visitproc visit, void* arg) {
    FunctionObject* f = as_function(op);
    Py_VISIT(f->base.m_self);
    Py_VISIT(f->base.m_module);
    Py_VISIT(f->qualname);
    Py_VISIT(f->name);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    return 0;
}

int function_clear(PyObject* op) {
    FunctionObject* f = as_function(op);
    Py_CLEAR(f->base.m_self);
    Py_CLEAR(f->base.m_module);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->name);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    return 0;
}

void function_dealloc(PyObject* op) {
    PyObject_GC_UnTrack(op);
    if (as_function(op)->base.m_weakreflist != nullptr) PyObject_ClearWeakRefs(op);
    function_clear(op);
    Py_TYPE(op)->tp_free(op);
}

PyObject* function_repr(PyObject* op) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(op)->qualname, op);
}

PyObject* get_or_none(PyObject* value) { return new_ref(value != nullptr ? value : Py_None); }

PyObject* get_name(PyObject* op, void*) { return get_or_none(as_function(op)->name); }
PyObject* get_qualname(PyObject* op, void*) { return get_or_none(as_function(op)->qualname); }
PyObject* get_module(PyObject* op, void*) { return get_or_none(as_function(op)->base.m_module); }
PyObject* get_doc(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_defaults(PyObject* op, void*) { return get_or_none(as_function(op)->defaults); }
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_globals(PyObject* op, void*) { return get_or_none(as_function(op)->globals); }
PyObject* get_code(PyObject* op, void*) { return get_or_none(as_function(op)->code); }
PyObject* get_self(PyObject* op, void*) {
    FunctionObject* f = as_function(op);
    return get_or_none(f->is_method ? nullptr : f->base.m_self);
}

PyGetSetDef function_getset[] = {
    {.name = "__name__", .get = get_name},
    {.name = "__qualname__", .get = get_qualname},
    {.name = "__module__", .get = get_module},
    {.name = "__doc__", .get = get_doc},
    {.name = "__defaults__", .get = get_defaults},
    {.name = "__kwdefaults__", .get = get_kwdefaults},
    {.name = "__globals__", .get = get_globals},
    {.name = "__code__", .get = get_code},
    {.name = "__self__", .get = get_self},
    {},
};

// Pickle stores a function by reference: module and qualified name.
PyObject* function_reduce(PyObject* op, PyObject*) { return get_qualname(op, nullptr); }

PyMethodDef function_methods[] = {
    {.ml_name = "__reduce__", .ml_meth = function_reduce, .ml_flags = METH_NOARGS},
    {},
};

PyTypeObject FunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "velmora_function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(PyCFunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = function_call,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_weaklistoffset = offsetof(PyCFunctionObject, m_weakreflist),
    .tp_methods = function_methods,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
};

PyObject* make_code(const FunctionSpec& spec) {
    Ref varnames = Ref::steal(PyTuple_New(spec.nlocals));
    if (!varnames) return nullptr;
    for (int i = 0; i < spec.nlocals; i++) {
        PyObject* name = PyUnicode_InternFromString(spec.varnames[i]);
        if (name == nullptr) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), i, name);
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.def->ml_name));
    Ref file = Ref::steal(PyUnicode_FromString(spec.file));
    if (!name || !file) return nullptr;
    return reinterpret_cast<PyObject*>(cpython::new_code(
        spec.argcount, 0, 0, spec.nlocals, 0, CO_OPTIMIZED | CO_NEWLOCALS, g.empty_bytes,
        g.empty_tuple, g.empty_tuple, varnames.get(), g.empty_tuple, g.empty_tuple, file.get(),
        name.get(), name.get(), spec.first_line, g.empty_bytes, g.empty_bytes));
}

}  // namespace

int ready_function_type() {
    if (PyType_Ready(&FunctionType) < 0) return -1;
    g.function_type = &FunctionType;
    return 0;
}

PyObject* make_function(const FunctionSpec& spec, PyObject* defaults) {
    Ref code = Ref::steal(make_code(spec));
    Ref qualname = Ref::steal(PyUnicode_InternFromString(spec.qualname));
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.def->ml_name));
    if (!code || !qualname || !name) return nullptr;

    FunctionObject* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (f == nullptr) return nullptr;
    f->base.m_ml = spec.def;
    f->base.m_self = spec.is_method ? nullptr : new_ref(g.module);
    f->base.m_module = new_ref(g.s_module_name);
    f->base.m_weakreflist = nullptr;
    f->base.vectorcall = function_vectorcall;
    f->qualname = qualname.release();
    f->name = name.release();
    f->globals = new_ref(g.module_dict);
    f->code = code.release();
    f->defaults = defaults != nullptr ? new_ref(defaults) : nullptr;
    f->is_method = spec.is_method;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace velmora
