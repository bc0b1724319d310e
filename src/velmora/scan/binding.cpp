// scan() and scan_lines(): argument checks, the input buffer, the release
// of the interpreter lock around the scanner, and the results.
#include "binding.h"

#include "../omit/ref.h"
#include "errors.h"
#include "layout.h"
#include "scanner.h"
#include "verdicts.h"

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

// The input bytes, readable without the lock. Immutable bytes are read
// where they are; any other buffer (bytearray, mmap, ...) could be changed
// by Python code while the scan runs, so it is copied first.
class Input {
public:
    ~Input() {
        if (view_.obj != nullptr) PyBuffer_Release(&view_);
        std::free(copy_);
    }
    // 0, or -1 with an exception set.
    int open(PyObject* data, const char* function) {
        if (PyUnicode_Check(data)) {
            PyErr_Format(PyExc_TypeError, "%s() argument 2 must be bytes-like (UTF-8 text), not str", function);
            return -1;
        }
        if (PyObject_GetBuffer(data, &view_, PyBUF_SIMPLE) < 0) return -1;
        // (PyBUF_SIMPLE: a buffer that is not contiguous fails the call.)
        begin_ = static_cast<const uint8_t*>(view_.buf);
        size_ = size_t(view_.len);
        if (!immutable(data) && size_ > 0) {
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
    const uint8_t* begin() const { return begin_; }
    const uint8_t* end() const { return begin_ + size_; }
    size_t size() const { return size_; }

private:
    Py_buffer view_ = {};
    uint8_t* copy_ = nullptr;
    const uint8_t* begin_ = nullptr;
    size_t size_ = 0;
};

PyObject* bytes_of(const ByteBuffer& out) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()), Py_ssize_t(out.size()));
}

// A fault that is not the text's: the exception to raise. The omitter's own
// exception is already set.
PyObject* stopped(Fault fault) {
    if (fault == Fault::kNoMemory) return PyErr_NoMemory();
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "velmora.scan: verdict failed without an exception");
    return nullptr;
}

// What both functions take from their arguments: the omitter, held for the
// call, with the copy of its mask policy the scanner reads, and the input.
struct Call {
    Ref hold;
    OmitterObject* omitter = nullptr;
    Input input;
    MaskSpec spec;

    // 0, or -1 with an exception set.
    int open(ScanState* state, PyObject* omitter_arg, PyObject* data, const char* name) {
        if (check_omitter(state, omitter_arg, name) < 0) return -1;
        hold = Ref::borrow(omitter_arg);
        omitter = reinterpret_cast<OmitterObject*>(omitter_arg);
        if (input.open(data, name) < 0) return -1;
        return read_mask_spec(omitter, &spec);
    }
};

// The `indent` argument of scan(): -1 for None, else 0 to 1000; -2 with an
// exception set.
long indent_of(PyObject* indent_arg, bool compact) {
    if (indent_arg == Py_None) return -1;
    if (!PyLong_CheckExact(indent_arg)) {
        PyErr_Format(PyExc_TypeError, "scan() indent must be an int or None, not %.200s",
                     Py_TYPE(indent_arg)->tp_name);
        return -2;
    }
    const long indent = PyLong_AsLong(indent_arg);
    if (indent == -1 && PyErr_Occurred()) return -2;
    if (indent < 0 || indent > 1000) {
        PyErr_SetString(PyExc_ValueError, "scan() indent must be between 0 and 1000");
        return -2;
    }
    if (compact) {
        PyErr_SetString(PyExc_ValueError, "scan() takes indent or compact, not both");
        return -2;
    }
    return indent;
}

// ---- scan -------------------------------------------------------------------

PyObject* py_scan(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"", "", "indent", "compact", nullptr};
    PyObject* omitter_arg = nullptr;
    PyObject* data = nullptr;
    PyObject* indent_arg = Py_None;
    int compact = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$Op:scan", const_cast<char**>(keywords), &omitter_arg, &data,
                                     &indent_arg, &compact)) {
        return nullptr;
    }
    ScanState* state = state_of(module);
    const long indent = indent_of(indent_arg, compact);
    if (indent == -2) return nullptr;
    const bool relayout = indent >= 0 || compact;
    Call call;
    if (call.open(state, omitter_arg, data, "scan") < 0) return nullptr;
    const Input& input = call.input;

    ByteBuffer out;
    ByteBuffer laid_out;
    OmitterVerdicts verdicts(call.omitter);
    Scanner scanner(call.spec, verdicts.verdicts(), out);
    bool blank = false;
    const uint8_t* where = nullptr;
    LayoutResult layout = LayoutResult::kDone;

    verdicts.release();
    Fault fault = out.reserve(input.size() + 2) ? Fault::kNone : Fault::kNoMemory;
    if (fault == Fault::kNone) {
        scanner.start(input.begin());
        fault = scanner.text(input.begin(), input.end(), &blank, &where);
        if (fault == Fault::kNone && blank) {
            fault = Fault::kExpectingValue;  // a document needs a value
            where = input.end();
        }
        if (fault == Fault::kNone && !scanner.flush(input.end())) fault = Fault::kNoMemory;
    }
    if (fault == Fault::kNone && relayout) {
        const size_t limit = out.size() < (size_t(64) << 20) / 16 ? (size_t(64) << 20) : out.size() * 16;
        layout = lay_out(out.data(), out.data() + out.size(), compact ? -1 : indent, limit, laid_out);
    }
    verdicts.reacquire();

    if (fault == Fault::kNoMemory || fault == Fault::kVerdictFailed) return stopped(fault);
    if (fault != Fault::kNone) {
        const size_t offset = size_t(where - input.begin());
        Ref error = Ref::steal(make_scan_error(state, fault, offset, locate(input.begin(), offset)));
        if (error) PyErr_SetObject(state->scan_error, error.get());
        return nullptr;
    }
    if (layout == LayoutResult::kNoMemory) return PyErr_NoMemory();
    if (layout == LayoutResult::kTooLarge) {
        PyErr_SetString(PyExc_ValueError, "scan(): indenting this document would make it too large "
                                          "(nesting too deep); lay it out compact instead");
        return nullptr;
    }
    return bytes_of(relayout ? laid_out : out);
}

// ---- scan_lines ---------------------------------------------------------------

PyObject* py_scan_lines(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"", "", "skip_invalid", nullptr};
    PyObject* omitter_arg = nullptr;
    PyObject* data = nullptr;
    int skip_invalid = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$p:scan_lines", const_cast<char**>(keywords), &omitter_arg,
                                     &data, &skip_invalid)) {
        return nullptr;
    }
    ScanState* state = state_of(module);
    Call call;
    if (call.open(state, omitter_arg, data, "scan_lines") < 0) return nullptr;
    const Input& input = call.input;

    ByteBuffer out;
    ByteBuffer faults;
    OmitterVerdicts verdicts(call.omitter);
    Scanner scanner(call.spec, verdicts.verdicts(), out);
    verdicts.release();
    size_t lines = 0;
    Fault fault = out.reserve(input.size() + 2) ? Fault::kNone : Fault::kNoMemory;
    if (fault == Fault::kNone) {
        fault = scan_lines(scanner, input.begin(), input.end(), skip_invalid, out, faults, &lines);
    }
    verdicts.reacquire();
    if (fault != Fault::kNone) return stopped(fault);

    const size_t count = faults.size() / sizeof(LineFault);
    Ref errors = Ref::steal(PyList_New(Py_ssize_t(count)));
    if (!errors) return nullptr;
    // Lines are counted on from one fault to the next: the faults come in
    // order, so the whole chunk is read once.
    size_t line = 1;
    size_t counted_to = 0;
    for (size_t i = 0; i < count; i++) {
        LineFault record;
        std::memcpy(&record, faults.data() + i * sizeof record, sizeof record);
        for (const uint8_t* p = input.begin() + counted_to;;) {
            const void* found = std::memchr(p, '\n', record.line_begin - size_t(p - input.begin()));
            if (found == nullptr) break;
            line++;
            p = static_cast<const uint8_t*>(found) + 1;
        }
        counted_to = record.line_begin;
        const Position position{line, column_of(input.begin(), record.line_begin, record.where)};
        PyObject* error = make_scan_error(state, record.fault, record.where, position);
        if (error == nullptr) return nullptr;
        PyList_SET_ITEM(errors.get(), Py_ssize_t(i), error);
    }
    Ref output = Ref::steal(bytes_of(out));
    Ref line_count = Ref::steal(PyLong_FromSize_t(lines));
    if (!output || !line_count) return nullptr;
    return PyTuple_Pack(3, output.get(), errors.get(), line_count.get());
}

}  // namespace

PyMethodDef scan_functions[] = {
    {
        .ml_name = "scan",
        .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_scan)),
        .ml_flags = METH_VARARGS | METH_KEYWORDS,
        .ml_doc = "scan(omitter, data, /, *, indent=None, compact=False)\n--\n\n"
                  "Redact one JSON document (UTF-8 bytes) as text: the result is `data` with every\n"
                  "string the omitter hides replaced by its mask. Raises ScanError on invalid JSON.\n"
                  "With indent or compact, white space between tokens is laid out anew.",
    },
    {
        .ml_name = "scan_lines",
        .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_scan_lines)),
        .ml_flags = METH_VARARGS | METH_KEYWORDS,
        .ml_doc = "scan_lines(omitter, data, /, *, skip_invalid=False)\n--\n\n"
                  "Redact JSON Lines: returns (output, errors, lines). Each line passes through with its\n"
                  "masks; a bad line gives a ScanError (lineno counted in `data`) and is left out; without\n"
                  "skip_invalid the output ends before the first bad line. `lines` counts the lines read.",
    },
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace velmora::scan
