// TextMasker: feed and finish, and Detector.masker.
#include "textmasker.h"

#include "mask.h"

#include <new>

namespace velmora::detect {

namespace {

TextMaskerObject* as_masker(PyObject* op) { return reinterpret_cast<TextMaskerObject*>(op); }

void masker_dealloc(PyObject* op) {
    TextMaskerObject* self = as_masker(op);
    self->pending.~OutBuffer();
    Py_XDECREF(self->detector);
    Py_TYPE(op)->tp_free(op);
}

// Marks the masker busy for one call.
class Busy {
public:
    explicit Busy(TextMaskerObject* self) : self_(self) {
        if (self->busy) {
            PyErr_SetString(PyExc_RuntimeError, "this TextMasker is already in use by another thread");
            self_ = nullptr;
            return;
        }
        self->busy = true;
    }
    ~Busy() {
        if (self_ != nullptr) self_->busy = false;
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
    explicit operator bool() const { return self_ != nullptr; }

private:
    TextMaskerObject* self_;
};

// Mask the complete lines of [text, text + size) after the pending piece,
// and keep what follows the last line break as the new pending piece.
bool feed_lines(TextMaskerObject* self, const Engine& engine, const SpanMask& mask, const uint8_t* text, size_t size,
                OutBuffer& out) {
    const void* last = size > 0 ? memrchr(text, '\n', size) : nullptr;
    if (last == nullptr) return self->pending.append(text, size);
    const size_t lines_end = size_t(static_cast<const uint8_t*>(last) - text) + 1;
    size_t from = 0;
    if (self->pending.size() > 0) {
        const size_t first_end = size_t(static_cast<const uint8_t*>(std::memchr(text, '\n', size)) - text) + 1;
        if (!self->pending.append(text, first_end) ||
            !mask_utf8_text(engine, self->pending.data(), self->pending.size(), mask, &self->carry, out)) {
            return false;
        }
        self->pending.clear();
        from = first_end;
    }
    if (!mask_utf8_text(engine, text + from, lines_end - from, mask, &self->carry, out)) return false;
    return self->pending.append(text + lines_end, size - lines_end);
}

PyObject* feed(PyObject* op, PyObject* data) {
    TextMaskerObject* self = as_masker(op);
    Busy busy(self);
    if (!busy) return nullptr;
    HeldEngine engine(self->detector);
    if (!engine) return nullptr;
    HeldBuffer buffer;
    if (buffer.take(data) <= 0) return nullptr;
    SpanMask mask;
    if (span_mask_of(&reinterpret_cast<DetectorObject*>(self->detector)->policy, &mask) < 0) return nullptr;
    OutBuffer out;
    bool ok;
    if (buffer.size() >= kReleaseLockAt) {
        Py_BEGIN_ALLOW_THREADS
        ok = feed_lines(self, *engine, mask, buffer.data(), buffer.size(), out);
        Py_END_ALLOW_THREADS
    } else {
        ok = feed_lines(self, *engine, mask, buffer.data(), buffer.size(), out);
    }
    if (!ok) return PyErr_NoMemory();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()), Py_ssize_t(out.size()));
}

PyObject* finish(PyObject* op, PyObject*) {
    TextMaskerObject* self = as_masker(op);
    Busy busy(self);
    if (!busy) return nullptr;
    HeldEngine engine(self->detector);
    if (!engine) return nullptr;
    SpanMask mask;
    if (span_mask_of(&reinterpret_cast<DetectorObject*>(self->detector)->policy, &mask) < 0) return nullptr;
    OutBuffer out;
    if (!mask_utf8_text(*engine, self->pending.data(), self->pending.size(), mask, &self->carry, out)) {
        return PyErr_NoMemory();
    }
    self->pending.clear();
    self->carry = Carry{false};
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()), Py_ssize_t(out.size()));
}

PyObject* get_detector(PyObject* op, void*) { return new_ref(as_masker(op)->detector); }

PyMethodDef masker_methods[] = {
    {"feed", feed, METH_O,
     "Mask the complete lines a chunk of bytes ends, and return them; the rest\n"
     "of the chunk waits for the next one."},
    {"finish", finish, METH_NOARGS,
     "Mask and return what is left (a last line without a line break); the\n"
     "masker is then ready for a new stream."},
    {nullptr},
};

PyGetSetDef masker_getset[] = {
    {"detector", get_detector, nullptr, "The detector whose values and formats are masked.", nullptr},
    {nullptr},
};

}  // namespace

PyTypeObject TextMaskerType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "velmora.detect.TextMasker",
    .tp_basicsize = sizeof(TextMaskerObject),
    .tp_dealloc = masker_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Masks a stream of UTF-8 text line by line; made by Detector.masker().",
    .tp_methods = masker_methods,
    .tp_getset = masker_getset,
};

PyObject* detector_masker(PyObject* self, PyObject*) {
    PyObject* op = TextMaskerType.tp_alloc(&TextMaskerType, 0);
    if (op == nullptr) return nullptr;
    TextMaskerObject* masker = as_masker(op);
    new (&masker->pending) OutBuffer();
    masker->detector = new_ref(self);
    masker->carry = Carry{false};
    masker->busy = false;
    return op;
}

int ready_text_masker_type(PyObject* module) {
    if (PyType_Ready(&TextMaskerType) < 0) return -1;
    return PyModule_AddObjectRef(module, "TextMasker", reinterpret_cast<PyObject*>(&TextMaskerType));
}

}  // namespace velmora::detect
