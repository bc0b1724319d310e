// Secrets inside string values: what a scan with a detector (velmora.detect)
// keeps, and the step that masks the spans found in one string.
//
// Matching sees the decoded string: a body without escapes is its own
// UTF-8 and is searched where it stands; a body with escapes is decoded
// first (a lone escaped surrogate as its 3-byte form, as velmora.detect
// reads it), with the place in the body each decoded byte came from. Only
// the spans found are rewritten, as JSON: every byte between them is
// copied as it was written, escapes included.
//
// It holds no Python object: the engine and the mask are taken under the
// interpreter lock by the binding, which holds the detector for the call.
#pragma once

#include "../detect/abi.h"
#include "buffer.h"

#include <cstddef>
#include <cstdint>

namespace velmora::scan {

class Detection {
public:
    Detection(const detect::DetectApi* api, const detect::Engine* engine, const detect::SpanMask& mask)
        : api_(api), engine_(engine), mask_(mask) {}
    Detection(const Detection&) = delete;
    Detection& operator=(const Detection&) = delete;

    // Find the spans of the string body [body, body_end) (checked JSON;
    // `escaped` says whether it holds a backslash): 1 some, 0 none, -1 no
    // memory.
    int find(const uint8_t* body, const uint8_t* body_end, bool escaped);

    // After find() gave 1: append the body with its spans masked. False
    // when memory ran out.
    bool write(ByteBuffer& out, const uint8_t* body, const uint8_t* body_end);

private:
    // The place in the body of the decoded byte `at` (at == decoded size:
    // the body's end).
    size_t origin(size_t at, size_t body_size) const;

    const detect::DetectApi* api_;
    const detect::Engine* engine_;
    detect::SpanMask mask_;
    detect::SpanList spans_;
    bool decoded_ = false;  // the spans are of `text_`, not of the body itself
    ByteBuffer text_;       // a body with escapes, decoded
    ByteBuffer origins_;    // a size_t per byte of text_: where its code point starts in the body
    ByteBuffer piece_;      // one masked span, before it is written as JSON
};

}  // namespace velmora::scan
