// The four encodings the engine reads, and what it asks of a character.
//
// Text is an array of units: UTF-8 bytes, or the code points of a str of
// one of its three kinds. Formats are ASCII, so they read units the same
// way in every encoding; registered values are compiled as UTF-8, so a str
// feeds the automaton the UTF-8 form of each code point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velmora::detect {

struct Utf8 {
    using Unit = uint8_t;
    static constexpr bool kBytes = true;
};
struct Latin1 {  // a str of kind 1 (an ASCII str is read as Utf8)
    using Unit = uint8_t;
    static constexpr bool kBytes = false;
};
struct Ucs2 {
    using Unit = uint16_t;
    static constexpr bool kBytes = false;
};
struct Ucs4 {
    using Unit = uint32_t;
    static constexpr bool kBytes = false;
};

// ---- Character classes (ASCII only: every other unit is in none) ----

enum : uint8_t {
    kWordChar = 1,    // [A-Za-z0-9_]: what a token must not touch
    kBase64Url = 2,   // [A-Za-z0-9_-]
    kToken68 = 4,     // [A-Za-z0-9._~+/=-]: an HTTP credential ('=' only as padding)
    kSchemeChar = 8,  // [A-Za-z0-9+.-]
    kAuthorityStop = 16,  // ends a URL authority: controls, space, / ? # " ' < > `
    kLabelChar = 32,  // [A-Z0-9 ]: a PEM label
    kAlnumDash = 64,  // [A-Za-z0-9-]: a Slack token's body
};

struct ClassTable {
    uint8_t of[128];
    constexpr ClassTable() : of() {
        for (int c = 0; c < 128; c++) {
            const bool upper = c >= 'A' && c <= 'Z', lower = c >= 'a' && c <= 'z', digit = c >= '0' && c <= '9';
            const bool alnum = upper || lower || digit;
            uint8_t v = 0;
            if (alnum || c == '_') v |= kWordChar;
            if (alnum || c == '_' || c == '-') v |= kBase64Url;
            if (alnum || c == '.' || c == '_' || c == '~' || c == '+' || c == '/' || c == '=' || c == '-') v |= kToken68;
            if (alnum || c == '+' || c == '.' || c == '-') v |= kSchemeChar;
            if (c <= 0x20 || c == 0x7F || c == '/' || c == '?' || c == '#' || c == '"' || c == '\'' || c == '<' ||
                c == '>' || c == '`') {
                v |= kAuthorityStop;
            }
            if (upper || digit || c == ' ') v |= kLabelChar;
            if (alnum || c == '-') v |= kAlnumDash;
            of[c] = v;
        }
    }
};
inline constexpr ClassTable kClasses{};

inline bool has_class(uint32_t c, uint8_t cls) { return c < 128 && (kClasses.of[c] & cls) != 0; }
inline bool is_word(uint32_t c) { return has_class(c, kWordChar); }
inline bool is_upper(uint32_t c) { return c >= 'A' && c <= 'Z'; }
inline bool is_lower(uint32_t c) { return c >= 'a' && c <= 'z'; }
inline bool is_digit(uint32_t c) { return c >= '0' && c <= '9'; }
inline bool is_alnum(uint32_t c) { return is_upper(c) || is_lower(c) || is_digit(c); }
inline bool is_line_break(uint32_t c) { return c == '\n' || c == '\r'; }
// The value of a hex digit, or -1.
inline int hex_value(uint32_t c) {
    if (is_digit(c)) return int(c - '0');
    const uint32_t l = c | 0x20;
    return l >= 'a' && l <= 'f' ? int(l - 'a' + 10) : -1;
}
// ASCII lower case of a unit (others unchanged).
inline uint32_t ascii_lower(uint32_t c) { return is_upper(c) ? c + 32 : c; }

// ---- Grams: the key of the four units at a position ----
//
// The candidate filter hashes the four units where a match may start. A
// code point above 255 is folded into 128..255, so a str's gram packs into
// four bytes like a UTF-8 one; the fold only ever adds candidates.
inline uint8_t fold_unit(uint32_t c) {
    return c < 256 ? uint8_t(c) : uint8_t(0x80 | ((c * 0x9E3779B1u) >> 25));
}

template <class Unit>
inline uint32_t gram_at(const Unit* p) {
    uint8_t b[4];
    if constexpr (sizeof(Unit) == 1) {
        std::memcpy(b, p, 4);
    } else {
        for (int i = 0; i < 4; i++) b[i] = fold_unit(p[i]);
    }
    uint32_t g;
    std::memcpy(&g, b, 4);
    return g;
}

inline uint32_t gram_of_bytes(const uint8_t b[4]) {
    uint32_t g;
    std::memcpy(&g, b, 4);
    return g;
}

// ---- UTF-8 ----

// The UTF-8 form of a code point; a surrogate gets its 3-byte form, as
// "surrogatepass" writes it. Returns the length.
inline int utf8_encode(uint32_t c, uint8_t out[4]) {
    if (c < 0x80) {
        out[0] = uint8_t(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = uint8_t(0xC0 | (c >> 6));
        out[1] = uint8_t(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = uint8_t(0xE0 | (c >> 12));
        out[1] = uint8_t(0x80 | ((c >> 6) & 0x3F));
        out[2] = uint8_t(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = uint8_t(0xF0 | (c >> 18));
    out[1] = uint8_t(0x80 | ((c >> 12) & 0x3F));
    out[2] = uint8_t(0x80 | ((c >> 6) & 0x3F));
    out[3] = uint8_t(0x80 | (c & 0x3F));
    return 4;
}

inline int utf8_length(uint32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

// Whether a byte starts a character (is not a continuation byte): masks
// count these as the code points of UTF-8 text.
inline bool starts_character(uint8_t b) { return (b & 0xC0) != 0x80; }

}  // namespace velmora::detect
