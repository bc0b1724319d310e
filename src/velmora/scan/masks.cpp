// Masks by policy.
#include "masks.h"

#include "text.h"

#include "../omit/rule_plan.h"

namespace velmora::scan {

bool write_policy_mask(ByteBuffer& out, const MaskSpec& spec, const uint8_t* body, const uint8_t* body_end,
                       size_t count) {
    switch (spec.kind) {
        case MaskSpec::kFixed:
            return out.append(spec.text.data(), spec.text.size());
        case MaskSpec::kKeepLast:
            if (count > spec.keep) {
                // Stars for all but the last `keep` code points, which are
                // copied as they were written, escapes included.
                const size_t hidden = count - spec.keep;
                const uint8_t* p = body;
                for (size_t i = 0; i < hidden; i++) p = next_code_point(p, body_end, nullptr);
                return out.reserve(hidden + size_t(body_end - p) + 2) && out.push('"') && out.fill('*', hidden) &&
                       out.append(p, size_t(body_end - p)) && out.push('"');
            }
            [[fallthrough]];
        case MaskSpec::kStars:
            break;
    }
    return out.quoted_run('*', count);
}

bool write_number_mask(ByteBuffer& out, const MaskSpec& spec, const uint8_t* token, const uint8_t* end, bool* kept) {
    *kept = spec.numbers == kNumbersKeep;
    if (*kept) return true;
    if (spec.numbers == kNumbersString) return out.append(spec.type_text.data(), spec.type_text.size());
    bool digits = false;
    bool integer = true;
    for (const uint8_t* p = token; p < end; p++) {
        digits |= *p >= '0' && *p <= '9';
        integer &= (*p >= '0' && *p <= '9') || *p == '-';
    }
    if (spec.numbers == kNumbersZero || !digits) return integer && digits ? out.push('0') : out.append("0.0", 3);
    if (!out.reserve(size_t(end - token))) return false;
    for (const uint8_t* p = token; p < end; p++) out.push(*p >= '0' && *p <= '9' ? '8' : *p);
    return true;
}

bool write_boolean_mask(ByteBuffer& out, const MaskSpec& spec, bool* kept) {
    *kept = spec.booleans == kBooleansKeep;
    if (*kept) return true;
    if (spec.booleans == kBooleansString) return out.append(spec.type_text.data(), spec.type_text.size());
    return out.append("false", 5);
}

bool write_json_string(ByteBuffer& out, const uint32_t* text, size_t length) {
    static const char hex[] = "0123456789abcdef";
    if (!out.push('"')) return false;
    for (size_t i = 0; i < length; i++) {
        const uint32_t c = text[i];
        uint8_t bytes[6];
        size_t n = 0;
        const char* named = json_short_escape(c);
        if (named != nullptr) {
            if (!out.append(named, 2)) return false;
            continue;
        }
        if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF)) {
            bytes[0] = '\\';
            bytes[1] = 'u';
            for (int k = 0; k < 4; k++) bytes[2 + k] = uint8_t(hex[(c >> (12 - 4 * k)) & 0xF]);
            n = 6;
        } else {
            n = utf8_encode(c, bytes);
        }
        if (!out.append(bytes, n)) return false;
    }
    return out.push('"');
}

}  // namespace velmora::scan
