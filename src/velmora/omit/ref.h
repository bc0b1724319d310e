// Owned object references.
//
// Rules of this module:
//  * A `Ref` owns exactly one reference (or none) and releases it when it
//    goes out of scope, so an early return cannot leak.
//  * `Ref::steal` adopts a reference the caller already owns (the result of
//    a "new reference" API); `Ref::borrow` takes a new one of its own.
//  * `release()` hands the reference on to the caller (for return values and
//    for APIs that steal, such as PyList_SET_ITEM).
//  * Raw PyObject* parameters are borrowed. Whenever Python code may run
//    (a call, a comparison, a hash, an attribute read, a release that runs a
//    finaliser) anything borrowed may go away: hold a Ref across such points.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace velmora {

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    ~Ref() { Py_XDECREF(p_); }

    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        // Swap then let `other` release the old value: the field never points
        // at a dead object, even if the release runs a finaliser.
        std::swap(p_, other.p_);
        return *this;
    }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Replace the held reference; the old one is released after the new one
    // is in place.
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = std::exchange(p_, owned);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A new reference to `p`, for returning a borrowed object.
inline PyObject* new_ref(PyObject* p) noexcept {
    Py_INCREF(p);
    return p;
}

// Store an owned reference in an object field, releasing the previous value
// only once the field already holds the new one.
inline void set_field(PyObject*& field, PyObject* owned) noexcept {
    PyObject* old = field;
    field = owned;
    Py_XDECREF(old);
}

}  // namespace velmora
