// TextMasker: masks a stream of UTF-8 text (log files, CI output), fed in
// chunks of bytes, line by line.
//
// Complete lines are masked as they come, in as large blocks as the chunks
// allow; the piece after the last line break waits for the next chunk. A
// private key block left open at the end of one block is carried into the
// next, so the output is exactly what masking the whole text at once gives.
// Bytes outside the spans are copied as they are, invalid UTF-8 included.
#pragma once

#include "scanning.h"

namespace velmora::detect {

struct TextMaskerObject {
    PyObject_HEAD
    PyObject* detector;  // a Detector
    OutBuffer pending;   // the unfinished line
    Carry carry;
    // A feed is running (maybe without the lock): another one at the same
    // time is refused rather than let it tangle the pending line.
    bool busy;
};

extern PyTypeObject TextMaskerType;

int ready_text_masker_type(PyObject* module);

}  // namespace velmora::detect
