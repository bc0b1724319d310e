// Detector.find and Detector.mask, and the scans behind them and behind
// the published API.
#include "scanning.h"

#include "find.h"
#include "mask.h"

namespace velmora::detect {

bool OutBuffer::reserve(size_t extra) {
    if (capacity_ - size_ >= extra) return true;
    if (extra > SIZE_MAX / 2 - size_) return false;
    size_t want = capacity_ < 4096 ? 4096 : capacity_;
    while (want - size_ < extra) want *= 2;
    void* p = std::realloc(data_, want);
    if (p == nullptr) return false;
    data_ = static_cast<uint8_t*>(p);
    capacity_ = want;
    return true;
}

bool OutBuffer::append(const uint8_t* p, size_t n) {
    if (n == 0) return true;
    if (!reserve(n)) return false;
    std::memcpy(data_ + size_, p, n);
    size_ += n;
    return true;
}

bool OutBuffer::fill(uint8_t c, size_t n) {
    if (n == 0) return true;
    if (!reserve(n)) return false;
    std::memset(data_ + size_, c, n);
    size_ += n;
    return true;
}

bool find_str_spans(const Engine& engine, PyObject* text, SpanList& spans, Lock lock) {
    bool found;
    if (lock == Lock::kMayRelease && size_t(PyUnicode_GET_LENGTH(text)) * size_t(PyUnicode_KIND(text)) >= kReleaseLockAt) {
        // The str cannot change and the engine is held: nothing here needs the lock.
        Py_BEGIN_ALLOW_THREADS
        found = find_in_str(engine, text, spans);
        Py_END_ALLOW_THREADS
    } else {
        found = find_in_str(engine, text, spans);
    }
    if (!found) PyErr_NoMemory();
    return found;
}

PyObject* mask_str(const Engine& engine, PyObject* text, const MaskPolicy* policy, Lock lock) {
    SpanList spans;
    if (!find_str_spans(engine, text, spans, lock)) return nullptr;
    if (spans.empty()) return new_ref(text);
    return mask_str_spans(text, spans, policy);
}

bool mask_utf8_text(const Engine& engine, const uint8_t* text, size_t size, const SpanMask& mask, Carry* carry,
                    OutBuffer& out) {
    SpanList spans;
    ByteSink sink = out.sink();
    return find_spans<Utf8>(engine, text, size, spans, carry) && mask_utf8(text, size, spans, mask, sink);
}

int HeldBuffer::take(PyObject* o) {
    if (!PyObject_CheckBuffer(o)) {
        PyErr_Format(PyExc_TypeError, "text must be str or a bytes-like object, not %.200s", Py_TYPE(o)->tp_name);
        return 0;
    }
    if (PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) < 0) return -1;
    held_ = true;
    return 1;
}

namespace {

PyObject* spans_as_list(const SpanList& spans) {
    Ref list = Ref::steal(PyList_New(Py_ssize_t(spans.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < spans.size(); i++) {
        const Span& s = spans[i];
        Ref kinds = Ref::steal(kind_names(s.kinds));
        if (!kinds) return nullptr;
        PyObject* item = Py_BuildValue("(nnO)", Py_ssize_t(s.begin), Py_ssize_t(s.end), kinds.get());
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
    }
    return list.release();
}

}  // namespace

PyObject* detector_find(PyObject* self, PyObject* text) {
    HeldEngine engine(self);
    if (!engine) return nullptr;
    SpanList spans;
    if (PyUnicode_Check(text)) {
        if (PyUnicode_READY(text) < 0 || !find_str_spans(*engine, text, spans, Lock::kMayRelease)) return nullptr;
        return spans_as_list(spans);
    }
    HeldBuffer buffer;
    const int taken = buffer.take(text);
    if (taken <= 0) return nullptr;
    bool found;
    if (buffer.size() >= kReleaseLockAt) {
        Py_BEGIN_ALLOW_THREADS
        found = find_spans<Utf8>(*engine, buffer.data(), buffer.size(), spans, nullptr);
        Py_END_ALLOW_THREADS
    } else {
        found = find_spans<Utf8>(*engine, buffer.data(), buffer.size(), spans, nullptr);
    }
    if (!found) return PyErr_NoMemory();
    return spans_as_list(spans);
}

PyObject* detector_mask(PyObject* self, PyObject* text) {
    HeldEngine engine(self);
    if (!engine) return nullptr;
    const MaskPolicy* policy = &reinterpret_cast<DetectorObject*>(self)->policy;
    if (PyUnicode_Check(text)) {
        if (PyUnicode_READY(text) < 0) return nullptr;
        return mask_str(*engine, text, policy, Lock::kMayRelease);
    }
    HeldBuffer buffer;
    const int taken = buffer.take(text);
    if (taken <= 0) return nullptr;
    SpanMask mask;
    if (span_mask_of(policy, &mask) < 0) return nullptr;
    OutBuffer out;
    bool ok;
    if (buffer.size() >= kReleaseLockAt) {
        Py_BEGIN_ALLOW_THREADS
        ok = mask_utf8_text(*engine, buffer.data(), buffer.size(), mask, nullptr, out);
        Py_END_ALLOW_THREADS
    } else {
        ok = mask_utf8_text(*engine, buffer.data(), buffer.size(), mask, nullptr, out);
    }
    if (!ok) return PyErr_NoMemory();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()), Py_ssize_t(out.size()));
}

}  // namespace velmora::detect
