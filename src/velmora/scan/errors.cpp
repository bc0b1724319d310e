// Fault positions and the ScanError type.
#include "errors.h"

#include "../omit/ref.h"

#include <cstring>

namespace velmora::scan {

size_t column_of(const uint8_t* base, size_t line_start, size_t offset) {
    // Characters are counted by their lead bytes: a byte that does not
    // continue a UTF-8 sequence starts one.
    size_t column = 1;
    for (size_t i = line_start; i < offset; i++) column += (base[i] & 0xC0) != 0x80;
    return column;
}

Position locate(const uint8_t* base, size_t offset) {
    size_t line = 1;
    size_t line_start = 0;
    while (line_start < offset) {
        const void* found = std::memchr(base + line_start, '\n', offset - line_start);
        if (found == nullptr) break;
        line++;
        line_start = size_t(static_cast<const uint8_t*>(found) - base) + 1;
    }
    return Position{line, column_of(base, line_start, offset)};
}

PyObject* make_scan_error(ScanState* state, Fault fault, size_t offset, Position position) {
    const char* msg = fault_message(fault);
    Ref text = Ref::steal(PyUnicode_FromFormat("%s: line %zu column %zu (char %zu)", msg, position.line,
                                               position.column, offset));
    if (!text) return nullptr;
    Ref error = Ref::steal(PyObject_CallOneArg(state->scan_error, text.get()));
    if (!error) return nullptr;
    Ref msg_obj = Ref::steal(PyUnicode_FromString(msg));
    Ref pos = Ref::steal(PyLong_FromSize_t(offset));
    Ref lineno = Ref::steal(PyLong_FromSize_t(position.line));
    Ref colno = Ref::steal(PyLong_FromSize_t(position.column));
    if (!msg_obj || !pos || !lineno || !colno || PyObject_SetAttrString(error.get(), "msg", msg_obj.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "pos", pos.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "lineno", lineno.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "colno", colno.get()) < 0) {
        return nullptr;
    }
    return error.release();
}

int init_scan_error(PyObject* module, ScanState* state) {
    state->scan_error = PyErr_NewExceptionWithDoc(
        "velmora.scan.ScanError",
        "The JSON text is not valid: `msg` says why, `lineno` and `colno` (1-based, the column in\n"
        "characters) say where, and `pos` is the byte offset.",
        PyExc_ValueError, nullptr);
    if (state->scan_error == nullptr) return -1;
    return PyModule_AddObjectRef(module, "ScanError", state->scan_error);
}

}  // namespace velmora::scan
