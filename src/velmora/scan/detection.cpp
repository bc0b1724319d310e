// Finding and masking secrets inside one string body.
#include "detection.h"

#include "text.h"
#include "../detect/units.h"

#include <cstring>

namespace velmora::scan {

namespace {

// Append UTF-8 text (surrogates in their 3-byte form allowed) as the body
// of a JSON string: the two-character escapes, \u00XX for other control
// characters, \uXXXX for surrogates; everything else as it is.
bool append_json_body(ByteBuffer& out, const uint8_t* p, const uint8_t* end) {
    static const char hex[] = "0123456789abcdef";
    while (p < end) {
        const uint8_t* plain = p;
        while (p < end && *p >= 0x20 && *p != '"' && *p != '\\' && *p != 0xED) p++;
        if (!out.append(plain, size_t(p - plain))) return false;
        if (p == end) break;
        const uint8_t c = *p;
        uint32_t escaped;
        if (c == 0xED && end - p >= 3) {
            escaped = (uint32_t(c & 0x0F) << 12) | (uint32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
            if (escaped < 0xD800) {  // an ordinary character that starts with 0xED
                if (!out.append(p, 3)) return false;
                p += 3;
                continue;
            }
            p += 3;
        } else if (c == 0xED) {  // cannot happen on text this module made; copied as it is
            if (!out.push(c)) return false;
            p++;
            continue;
        } else {
            p++;
            const char* named = json_short_escape(c);
            if (named != nullptr) {
                if (!out.append(named, 2)) return false;
                continue;
            }
            escaped = c;
        }
        uint8_t u[6] = {'\\', 'u'};
        for (int k = 0; k < 4; k++) u[2 + k] = uint8_t(hex[(escaped >> (12 - 4 * k)) & 0xF]);
        if (!out.append(u, 6)) return false;
    }
    return true;
}

bool sink_append(void* context, const uint8_t* data, size_t size) {
    return static_cast<ByteBuffer*>(context)->append(data, size);
}

bool sink_fill(void* context, uint8_t byte, size_t count) {
    return static_cast<ByteBuffer*>(context)->fill(byte, count);
}

}  // namespace

int Detection::find(const uint8_t* body, const uint8_t* body_end, bool escaped) {
    decoded_ = escaped;
    if (!escaped) {
        if (api_->find_utf8(engine_, body, size_t(body_end - body), &spans_, nullptr) < 0) return -1;
        return spans_.empty() ? 0 : 1;
    }
    text_.clear();
    origins_.clear();
    for (const uint8_t* p = body; p < body_end;) {
        const size_t from = size_t(p - body);
        uint32_t c;
        p = next_code_point(p, body_end, &c);
        uint8_t bytes[4];
        const size_t n = size_t(detect::utf8_encode(c, bytes));
        if (!text_.append(bytes, n)) return -1;
        for (size_t i = 0; i < n; i++) {
            if (!origins_.append(&from, sizeof from)) return -1;
        }
    }
    if (api_->find_utf8(engine_, text_.data(), text_.size(), &spans_, nullptr) < 0) return -1;
    return spans_.empty() ? 0 : 1;
}

size_t Detection::origin(size_t at, size_t body_size) const {
    if (!decoded_) return at;
    if (at >= text_.size()) return body_size;
    size_t from;
    std::memcpy(&from, origins_.data() + at * sizeof from, sizeof from);
    return from;
}

bool Detection::write(ByteBuffer& out, const uint8_t* body, const uint8_t* body_end) {
    const size_t body_size = size_t(body_end - body);
    const uint8_t* text = decoded_ ? text_.data() : body;
    detect::ByteSink sink{&piece_, sink_append, sink_fill};
    size_t copied = 0;  // of the body
    for (const detect::Span& span : spans_) {
        const size_t begin = origin(span.begin, body_size);
        if (!out.append(body + copied, begin - copied)) return false;
        // The span alone, masked as velmora.detect masks it in place.
        detect::SpanList one;
        piece_.clear();
        if (!one.push(detect::Span{0, span.end - span.begin, span.kinds}) ||
            api_->mask_utf8(text + span.begin, span.end - span.begin, &one, &mask_, &sink) < 0 ||
            !append_json_body(out, piece_.data(), piece_.data() + piece_.size())) {
            return false;
        }
        copied = origin(span.end, body_size);
    }
    return out.append(body + copied, body_size - copied);
}

}  // namespace velmora::scan
