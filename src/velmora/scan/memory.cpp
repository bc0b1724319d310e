// Input held in place, results written in place.
#include "memory.h"

#include <cstdlib>
#include <cstring>


namespace velmora::scan {

namespace {

// Whether nothing can change the bytes of `data` while we hold its buffer:
// a bytes object, or a memoryview of one (slicing a memoryview is how a
// caller hands over part of a bytes object without a copy).
bool immutable(PyObject* data) {
    if (PyBytes_CheckExact(data)) return true;
    return PyMemoryView_Check(data) && PyMemoryView_GET_BASE(data) != nullptr &&
           PyBytes_CheckExact(PyMemoryView_GET_BASE(data));
}

}  // namespace

Input::~Input() {
    if (view_.obj != nullptr) PyBuffer_Release(&view_);
    std::free(copy_);
}

int Input::open(PyObject* data, const char* function, bool in_place) {
    if (PyUnicode_Check(data)) {
        PyErr_Format(PyExc_TypeError, "%s() argument 2 must be bytes-like (UTF-8 text), not str", function);
        return -1;
    }
    if (PyObject_GetBuffer(data, &view_, PyBUF_SIMPLE) < 0) return -1;
    // (PyBUF_SIMPLE: a buffer that is not contiguous fails the call.)
    begin_ = static_cast<const uint8_t*>(view_.buf);
    size_ = size_t(view_.len);
    if (!in_place && !immutable(data) && size_ > 0) {
        copy_ = static_cast<uint8_t*>(std::malloc(size_));
        if (copy_ == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        std::memcpy(copy_, begin_, size_);
        begin_ = copy_;
    }
    return 0;
}

int Result::lend(ByteBuffer& out, size_t capacity) {
    if (capacity == 0) return 0;
    bytes_ = Ref::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(capacity)));
    if (!bytes_) return -1;
    char* storage = PyBytes_AS_STRING(bytes_.get());
    out.lend(reinterpret_cast<uint8_t*>(storage), capacity, /*fresh=*/true);
    return 0;
}

PyObject* Result::finish(const ByteBuffer& out) {
    if (out.size() == 0) {
        bytes_.reset();
        return PyBytes_FromStringAndSize("", 0);
    }
    if (bytes_ && out.borrowed()) {
        // Nothing else has seen this object yet: it may still change size
        // (what _PyBytes_Resize does, without the reallocation).
        PyObject* bytes = bytes_.release();
        PyBytes_AS_STRING(bytes)[out.size()] = '\0';
        Py_SET_SIZE(bytes, Py_ssize_t(out.size()));
        return bytes;
    }
    bytes_.reset();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()), Py_ssize_t(out.size()));
}

Target::~Target() {
    if (view_.obj != nullptr) PyBuffer_Release(&view_);
}

int Target::open(PyObject* target, const Input& input, ByteBuffer& out) {
    if (!PyByteArray_CheckExact(target)) {
        PyErr_Format(PyExc_TypeError, "_scan_lines_into() argument 3 must be a bytearray, not %.200s",
                     Py_TYPE(target)->tp_name);
        return -1;
    }
    // The view keeps the bytearray from being resized during the scan.
    if (PyObject_GetBuffer(target, &view_, PyBUF_WRITABLE) < 0) return -1;
    target_ = target;
    uint8_t* storage = static_cast<uint8_t*>(view_.buf);
    const size_t capacity = size_t(view_.len);
    if (capacity > 0 && storage < input.end() && input.begin() < storage + capacity) {
        PyErr_SetString(PyExc_ValueError, "_scan_lines_into(): the output shares memory with the input");
        return -1;
    }
    out.lend(storage, capacity);
    return 0;
}

int Target::finish(const ByteBuffer& out) {
    if (out.borrowed()) return 0;
    PyBuffer_Release(&view_);  // only now may it grow
    if (PyByteArray_Resize(target_, Py_ssize_t(out.size())) < 0) return -1;
    std::memcpy(PyByteArray_AS_STRING(target_), out.data(), out.size());
    return 0;
}

}  // namespace velmora::scan
