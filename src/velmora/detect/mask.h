// Masks of spans, by a mask policy (MaskPolicy of ../omit/abi.h, the
// policies of velmora.rules; `whole` means nothing for a span):
//   '*' per code point (null policy, or kStars);
//   the fixed text (kFixed);
//   '*' per code point but the last `keep` (kKeepLast); a span of `keep`
//   code points or fewer, or one of a private key block, is all '*'.
// Text outside the spans is copied as it is.
#pragma once

#include "abi.h"

namespace velmora::detect {

// A SpanMask from a policy (null: '*' per code point). 0, or -1 with an
// exception set (a policy this module cannot follow).
int span_mask_of(const MaskPolicy* policy, SpanMask* out);

// Write UTF-8 text with its spans masked. False when the sink ran out of memory.
bool mask_utf8(const uint8_t* text, size_t size, const SpanList& spans, const SpanMask& mask, ByteSink& sink);

// A new str: the exact str `text` with its spans (code point indices)
// masked by `policy` (already checked by span_mask_of). Null with an
// exception set on failure.
PyObject* mask_str_spans(PyObject* text, const SpanList& spans, const MaskPolicy* policy);

}  // namespace velmora::detect
