// Reformatting by white space alone.
#include "layout.h"

#include "text.h"

namespace velmora::scan {

namespace {

bool structural(uint8_t c) {
    return c == '{' || c == '}' || c == '[' || c == ']' || c == ',' || c == ':' || c == '"';
}

}  // namespace

LayoutResult lay_out(const uint8_t* p, const uint8_t* end, long indent, size_t limit, ByteBuffer& out) {
    size_t depth = 0;
    bool ok = true;
    auto new_line = [&](size_t level) {
        if (indent < 0) return;
        ok = ok && out.push('\n') && out.fill(' ', level * size_t(indent));
    };
    if (starts_with_bom(p, end)) {
        ok = out.append(p, 3);
        p += 3;
    }
    while (ok && p < end) {
        if (out.size() > limit) return LayoutResult::kTooLarge;
        const uint8_t c = *p;
        if (is_space(c)) {
            p++;
        } else if (c == '"') {
            const uint8_t* q = p + 1;
            while (q < end && *q != '"') q += *q == '\\' ? 2 : 1;
            if (q >= end) q = end - 1;  // checked text always closes its strings
            ok = out.append(p, size_t(q + 1 - p));
            p = q + 1;
        } else if (c == '{' || c == '[') {
            ok = out.push(c);
            const uint8_t* q = skip_space(p + 1, end);
            if (q < end && (*q == '}' || *q == ']')) {
                ok = ok && out.push(*q);
                p = q + 1;
            } else {
                new_line(++depth);
                p++;
            }
        } else if (c == '}' || c == ']') {
            if (depth > 0) depth--;
            new_line(depth);
            ok = ok && out.push(c);
            p++;
        } else if (c == ',') {
            ok = out.push(',');
            new_line(depth);
            p++;
        } else if (c == ':') {
            ok = out.push(':') && (indent < 0 || out.push(' '));
            p++;
        } else {
            const uint8_t* q = p;
            while (q < end && !is_space(*q) && !structural(*q)) q++;
            ok = out.append(p, size_t(q - p));
            p = q;
        }
    }
    if (!ok) return LayoutResult::kNoMemory;
    return out.size() > limit ? LayoutResult::kTooLarge : LayoutResult::kDone;
}

}  // namespace velmora::scan
