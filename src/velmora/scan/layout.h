// Whitespace-only reformatting of JSON text the scanner has checked:
// tokens (strings with their escapes, numbers, literals) are copied byte for
// byte; only the white space between them changes.
#pragma once

#include "buffer.h"

#include <cstddef>
#include <cstdint>

namespace velmora::scan {

enum class LayoutResult { kDone, kNoMemory, kTooLarge };

// Lay out checked JSON text [p, end) as json.dumps does: with `indent` >= 0,
// one member or item per line indented by `indent` spaces per level, ": "
// after keys; with `indent` < 0, compact (no white space at all). Empty
// containers stay "{}" and "[]"; a byte order mark stays at the front.
// Refuses (kTooLarge) to grow the text past `limit` bytes: indenting deep
// nesting grows with the square of the depth.
LayoutResult lay_out(const uint8_t* p, const uint8_t* end, long indent, size_t limit, ByteBuffer& out);

}  // namespace velmora::scan
