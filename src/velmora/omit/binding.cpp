// Argument binding, type checks and calls into Python code.
//
// Every Python-callable entry point binds its arguments here. The order of the
// checks and the message texts are part of the module's interface, so they
// are kept in this one place.
#include "binding.h"

#include "cpython.h"
#include "keys.h"
#include "state.h"

namespace velmora {

// ---- Messages --------------------------------------------------------------

void raise_arity_error(const char* function_name, bool exact, Py_ssize_t min_count,
                       Py_ssize_t max_count, Py_ssize_t given) {
    const char* quantifier;
    Py_ssize_t stated;
    if (given < min_count) {
        stated = min_count;
        quantifier = "at least";
    } else {
        stated = max_count;
        quantifier = "at most";
    }
    if (exact) quantifier = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function_name, quantifier, stated, stated == 1 ? "" : "s", given);
}

int check_exact_type(PyObject* value, PyTypeObject* type, bool none_allowed,
                     const char* parameter_name) {
    if (type == nullptr) {
        PyErr_SetString(PyExc_SystemError, "Missing type object");
        return 0;
    }
    if ((none_allowed && value == Py_None) || Py_IS_TYPE(value, type)) return 1;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 parameter_name, type->tp_name, Py_TYPE(value)->tp_name);
    return 0;
}

int check_receiver(PyObject* self, PyTypeObject* type, const char* method_name) {
    if (PyObject_TypeCheck(self, type)) return 1;
    PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%.100s' object",
                 method_name, type->tp_name, Py_TYPE(self)->tp_name);
    return 0;
}

// ---- Keyword lookup ----------------------------------------------------------

namespace {

// Equality of two exact str objects, settling the common unequal cases
// (length, cached hash) without touching the characters.
int unicode_equal(PyObject* a, PyObject* b) {
    if (PyUnicode_READY(a) < 0 || PyUnicode_READY(b) < 0) return -1;
    return same_text(a, b);
}

// Name comparison of the keyword scan: lengths first, then the interpreter's
// str comparison. Returns 1 equal, 0 unequal, -1 error.
int scan_equal(PyObject* key, PyObject* name) {
    if (PyUnicode_GET_LENGTH(key) != PyUnicode_GET_LENGTH(name)) return 0;
    int cmp = PyUnicode_Compare(key, name);
    if (cmp == -1 && PyErr_Occurred()) return -1;
    return cmp == 0;
}

}  // namespace

int find_keyword(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name,
                 PyObject** found) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; i++) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) {
            *found = kwvalues[i];
            return 1;
        }
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        int eq;
        if (PyUnicode_CheckExact(key) && PyUnicode_CheckExact(name)) {
            eq = unicode_equal(key, name);
        } else if ((key == Py_None && PyUnicode_CheckExact(name)) ||
                   (name == Py_None && PyUnicode_CheckExact(key))) {
            eq = 0;
        } else {
            Ref keep = Ref::borrow(key);
            Ref result = Ref::steal(PyObject_RichCompare(name, key, Py_EQ));
            if (!result) return -1;
            eq = PyObject_IsTrue(result.get());
        }
        if (eq < 0) return -1;
        if (eq) {
            *found = kwvalues[i];
            return 1;
        }
    }
    return 0;
}

int parse_keywords(PyObject* keywords, PyObject* const* kwvalues, const Signature& sig,
                   Py_ssize_t first_unfilled, PyObject** slots) {
    const bool is_tuple = PyTuple_Check(keywords);
    Py_ssize_t index = 0;
    Py_ssize_t pos = 0;
    for (;;) {
        Ref key, value;
        if (is_tuple) {
            if (index >= PyTuple_GET_SIZE(keywords)) break;
            key = Ref::borrow(PyTuple_GET_ITEM(keywords, index));
            value = Ref::borrow(kwvalues[index]);
            index++;
        } else {
            PyObject *k, *v;
            if (!PyDict_Next(keywords, &pos, &k, &v)) break;
            key = Ref::borrow(k);
            value = Ref::borrow(v);
        }

        bool matched = false;
        for (Py_ssize_t i = first_unfilled; i < sig.count; i++) {
            if (*sig.names[i] == key.get()) {
                slots[i] = value.get();
                matched = true;
                break;
            }
        }
        if (matched) continue;

        if (!PyUnicode_Check(key.get())) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.function_name);
            return -1;
        }
        for (Py_ssize_t i = first_unfilled; i < sig.count; i++) {
            int eq = scan_equal(key.get(), *sig.names[i]);
            if (eq < 0) return -1;
            if (eq) {
                slots[i] = value.get();
                matched = true;
                break;
            }
        }
        if (matched) continue;

        for (Py_ssize_t i = 0; i < first_unfilled; i++) {
            int eq = (*sig.names[i] == key.get()) ? 1 : scan_equal(key.get(), *sig.names[i]);
            if (eq < 0) return -1;
            if (eq) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             sig.function_name, key.get());
                return -1;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     sig.function_name, key.get());
        return -1;
    }
    return 0;
}

// Binding stores borrowed references: the caller's arguments outlive the
// call. The one exception, values taken from a keyword dict, is safe because
// the dict is owned by the caller for the duration of the call too.
int bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              PyObject** slots) {
    const bool exact = sig.required == sig.count;
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
        if (nargs < sig.required || nargs > sig.count) {
            raise_arity_error(sig.function_name, exact, sig.required, sig.count, nargs);
            return -1;
        }
        for (Py_ssize_t i = 0; i < nargs; i++) slots[i] = args[i];
        return 0;
    }
    if (nargs > sig.count) {
        raise_arity_error(sig.function_name, exact, sig.required, sig.count, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; i++) slots[i] = args[i];
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t remaining = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = nargs; j < sig.count; j++) {
        if (j >= sig.required && remaining <= 0) continue;
        PyObject* found = nullptr;
        int r = find_keyword(kwnames, kwvalues, *sig.names[j], &found);
        if (r < 0) return -1;
        if (r) {
            slots[j] = found;
            remaining--;
        } else if (j < sig.required) {
            raise_arity_error(sig.function_name, exact, sig.required, sig.count, j);
            return -1;
        }
    }
    if (remaining > 0) return parse_keywords(kwnames, kwvalues, sig, nargs, slots);
    return 0;
}

int bind_init(const Signature& sig, PyObject* args, PyObject* kwds, PyObject** slot) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 1) {
        raise_arity_error(sig.function_name, false, 0, 1, nargs);
        return -1;
    }
    *slot = nargs == 1 ? PyTuple_GET_ITEM(args, 0) : Py_None;
    if (kwds == nullptr) return 0;
    if (nargs == 1) {
        if (PyDict_GET_SIZE(kwds) > 0) return parse_keywords(kwds, nullptr, sig, 1, slot);
        return 0;
    }
    Py_ssize_t remaining = PyDict_GET_SIZE(kwds);
    if (remaining == 0) return 0;
    // The parameter names are interned with their hashes made at import.
    PyObject* found = cpython::dict_get_known_hash(kwds, *sig.names[0], PyObject_Hash(*sig.names[0]));
    if (found != nullptr) {
        *slot = found;
        remaining--;
    } else if (PyErr_Occurred()) {
        return -1;
    }
    if (remaining > 0) return parse_keywords(kwds, nullptr, sig, 0, slot);
    return 0;
}

// ---- Calls into Python code -----------------------------------------------

namespace {

PyObject* null_without_error_check(PyObject* result) {
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return result;
}

bool is_native_function(PyObject* callable) {
    PyTypeObject* tp = Py_TYPE(callable);
    return tp == &PyCFunction_Type || (g.function_type != nullptr && tp == g.function_type);
}

}  // namespace

PyObject* call_object(PyObject* callable, PyObject* const* args, Py_ssize_t nargs) {
    // A bound method: call its function with the bound object placed first.
    if (PyMethod_Check(callable)) {
        PyObject* func = PyMethod_GET_FUNCTION(callable);
        PyObject* self = PyMethod_GET_SELF(callable);
        PyObject* stack[4];
        if (nargs + 1 <= 4) {
            Ref keep_func = Ref::borrow(func), keep_self = Ref::borrow(self);
            stack[0] = self;
            for (Py_ssize_t i = 0; i < nargs; i++) stack[i + 1] = args[i];
            return call_object(func, stack, nargs + 1);
        }
    }

    if (is_native_function(callable)) {
        auto* cf = reinterpret_cast<PyCFunctionObject*>(callable);
        int flags = cf->m_ml->ml_flags & ~(METH_CLASS | METH_STATIC | METH_COEXIST);
        bool noargs = flags == METH_NOARGS && nargs == 0;
        bool one_arg = flags == METH_O && nargs == 1 && Py_IS_TYPE(callable, &PyCFunction_Type);
        if (noargs || one_arg) {
            PyObject* self = (cf->m_ml->ml_flags & METH_STATIC) ? nullptr : cf->m_self;
            if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
            PyObject* result = cf->m_ml->ml_meth(self, noargs ? nullptr : args[0]);
            Py_LeaveRecursiveCall();
            return null_without_error_check(result);
        }
    }

    if (vectorcallfunc vc = PyVectorcall_Function(callable)) {
        return null_without_error_check(vc(callable, args, static_cast<size_t>(nargs), nullptr));
    }

    ternaryfunc call = Py_TYPE(callable)->tp_call;
    if (call == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(callable)->tp_name);
        return nullptr;
    }
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; i++) PyTuple_SET_ITEM(tuple.get(), i, new_ref(args[i]));
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = call(callable, tuple.get(), nullptr);
    Py_LeaveRecursiveCall();
    return null_without_error_check(result);
}

int lookup_attr(PyObject* obj, PyObject* name, Ref* out) {
    PyObject* value = PyObject_GetAttr(obj, name);
    if (value != nullptr) {
        *out = Ref::steal(value);
        return 1;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

}  // namespace velmora
