// The lexical pieces of JSON text that every part of the scanner shares:
// whitespace, strict UTF-8 sequences and string escapes. All readers take
// the end of the buffer and never read past it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::scan {

inline constexpr uint8_t kBom[3] = {0xEF, 0xBB, 0xBF};

inline bool is_space(uint8_t c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

inline const uint8_t* skip_space(const uint8_t* p, const uint8_t* end) {
    while (p < end && is_space(*p)) p++;
    return p;
}

inline bool starts_with_bom(const uint8_t* p, const uint8_t* end) {
    return end - p >= 3 && p[0] == kBom[0] && p[1] == kBom[1] && p[2] == kBom[2];
}

// Length of the well-formed UTF-8 sequence of a non-ASCII character at `p`
// (2 to 4), or 0. Surrogates encoded in UTF-8 and overlong forms are not
// well-formed, as for Python's strict "utf-8" codec.
inline int utf8_length(const uint8_t* p, const uint8_t* end) {
    const uint8_t c = p[0];
    const ptrdiff_t left = end - p;
    auto cont = [](uint8_t b) { return (b & 0xC0) == 0x80; };
    if (c >= 0xC2 && c <= 0xDF) return left >= 2 && cont(p[1]) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (left < 3 || !cont(p[2])) return 0;
        const uint8_t b = p[1];
        if (c == 0xE0) return b >= 0xA0 && b <= 0xBF ? 3 : 0;
        if (c == 0xED) return b >= 0x80 && b <= 0x9F ? 3 : 0;
        return cont(b) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (left < 4 || !cont(p[2]) || !cont(p[3])) return 0;
        const uint8_t b = p[1];
        if (c == 0xF0) return b >= 0x90 && b <= 0xBF ? 4 : 0;
        if (c == 0xF4) return b >= 0x80 && b <= 0x8F ? 4 : 0;
        return cont(b) ? 4 : 0;
    }
    return 0;
}

// The code point of a well-formed sequence of `length` bytes.
inline uint32_t utf8_decode(const uint8_t* p, int length) {
    switch (length) {
        case 2: return (uint32_t(p[0] & 0x1F) << 6) | (p[1] & 0x3F);
        case 3: return (uint32_t(p[0] & 0x0F) << 12) | (uint32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        default:
            return (uint32_t(p[0] & 0x07) << 18) | (uint32_t(p[1] & 0x3F) << 12) | (uint32_t(p[2] & 0x3F) << 6) |
                   (p[3] & 0x3F);
    }
}

// The UTF-8 bytes of the code point `c` into `bytes` (a surrogate as its
// three bytes, as "surrogatepass" writes it); returns how many.
inline size_t utf8_encode(uint32_t c, uint8_t* bytes) {
    if (c < 0x80) {
        bytes[0] = uint8_t(c);
        return 1;
    }
    if (c < 0x800) {
        bytes[0] = uint8_t(0xC0 | (c >> 6));
        bytes[1] = uint8_t(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        bytes[0] = uint8_t(0xE0 | (c >> 12));
        bytes[1] = uint8_t(0x80 | ((c >> 6) & 0x3F));
        bytes[2] = uint8_t(0x80 | (c & 0x3F));
        return 3;
    }
    bytes[0] = uint8_t(0xF0 | (c >> 18));
    bytes[1] = uint8_t(0x80 | ((c >> 12) & 0x3F));
    bytes[2] = uint8_t(0x80 | ((c >> 6) & 0x3F));
    bytes[3] = uint8_t(0x80 | (c & 0x3F));
    return 4;
}

// The two-character JSON escape of `c` (`\n`, `\"` and the like), or null
// for a character that has none.
inline const char* json_short_escape(uint32_t c) {
    switch (c) {
        case '"': return "\\\"";
        case '\\': return "\\\\";
        case '\b': return "\\b";
        case '\f': return "\\f";
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '\t': return "\\t";
        default: return nullptr;
    }
}

inline int hex_digit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits after "\u" at `p` (p points at the backslash), or -1.
inline int32_t unicode_escape(const uint8_t* p, const uint8_t* end) {
    if (end - p < 6) return -1;
    int32_t value = 0;
    for (int i = 2; i < 6; i++) {
        const int d = hex_digit(p[i]);
        if (d < 0) return -1;
        value = value << 4 | d;
    }
    return value;
}

inline bool is_high_surrogate(int32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool is_low_surrogate(int32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// One code point of a string body that the scanner has already checked,
// starting at `p`, as Python's json decodes it: an escaped surrogate pair
// is one code point, a lone escaped surrogate is one too. Sets *cp (when
// not null) and returns where the next one starts.
inline const uint8_t* next_code_point(const uint8_t* p, const uint8_t* end, uint32_t* cp) {
    uint32_t value;
    if (*p != '\\') {
        if (*p < 0x80) {
            value = *p++;
        } else {
            const int n = utf8_length(p, end);
            if (n == 0) {  // cannot happen on checked text; stay safe anyway
                value = 0xFFFD;
                p++;
            } else {
                value = utf8_decode(p, n);
                p += n;
            }
        }
    } else if (end - p < 2) {
        value = '\\';
        p++;
    } else {
        switch (p[1]) {
            case 'b': value = '\b'; break;
            case 'f': value = '\f'; break;
            case 'n': value = '\n'; break;
            case 'r': value = '\r'; break;
            case 't': value = '\t'; break;
            case 'u': {
                const int32_t u = unicode_escape(p, end);
                if (u < 0) {
                    value = 0xFFFD;
                    p += 2;
                    break;
                }
                p += 6;
                value = uint32_t(u);
                if (is_high_surrogate(u) && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
                    const int32_t low = unicode_escape(p, end);
                    if (is_low_surrogate(low)) {
                        value = 0x10000 + ((uint32_t(u) - 0xD800) << 10) + (uint32_t(low) - 0xDC00);
                        p += 6;
                    }
                }
                if (cp != nullptr) *cp = value;
                return p;
            }
            default: value = p[1]; break;  // '"', '\\', '/'
        }
        p += 2;
    }
    if (cp != nullptr) *cp = value;
    return p;
}

}  // namespace velmora::scan
