// ScanError: where a fault of the text is and what it is.
#pragma once

#include "scanner.h"
#include "state.h"

#include <cstddef>
#include <cstdint>

namespace velmora::scan {

// Line (1-based) and column (1-based, in characters) of byte `offset` of
// the text at `base`.
struct Position {
    size_t line;
    size_t column;
};
Position locate(const uint8_t* base, size_t offset);

// Column of byte `offset` counted from byte `line_start` (1-based, in
// characters).
size_t column_of(const uint8_t* base, size_t line_start, size_t offset);

// A new ScanError instance: `msg`, `pos` (byte offset), `lineno`, `colno`.
PyObject* make_scan_error(ScanState* state, Fault fault, size_t offset, Position position);

// Create the ScanError type into the state; 0 or -1.
int init_scan_error(PyObject* module, ScanState* state);

}  // namespace velmora::scan
