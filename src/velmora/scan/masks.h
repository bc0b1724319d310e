// What a hidden value is replaced with.
//
// This is the one place that knows the omitter's mask policy (abi.h): the
// scanner finds the strings and values to hide and hands them here. A
// MaskSpec is a plain copy of the policy, made with the interpreter lock
// held, that the scanner may read without it.
#pragma once

#include "buffer.h"

#include <cstddef>
#include <cstdint>

namespace velmora::scan {

struct MaskSpec {
    enum Kind { kStars, kFixed, kKeepLast };
    Kind kind = kStars;
    size_t keep = 0;  // kKeepLast
    // A hidden key hides its whole value, of any type, with `text`.
    bool whole = false;
    // kFixed and `whole`: the policy's text as a JSON string token.
    ByteBuffer text;
    // What a hidden number and a hidden boolean become (rule_plan.h:
    // NumberPolicy, BooleanPolicy), and their fixed mask as a JSON string
    // token. Only a rule plan sets them; otherwise both are kept.
    int32_t numbers = 0;
    int32_t booleans = 0;
    ByteBuffer type_text;
};

// The mask of a string under a policy other than stars.
bool write_policy_mask(ByteBuffer& out, const MaskSpec& spec, const uint8_t* body, const uint8_t* body_end,
                       size_t count);

// Append the mask of the string token whose body (between the quotes) is
// [body, body_end), `count` code points long, quotes included. False when
// memory ran out. Stars, the usual policy, are written here, in line.
inline bool write_string_mask(ByteBuffer& out, const MaskSpec& spec, const uint8_t* body, const uint8_t* body_end,
                              size_t count) {
    if (spec.kind != MaskSpec::kStars) return write_policy_mask(out, spec, body, body_end, count);
    return out.quoted_run('*', count);
}

// Append the replacement of a whole value under a hidden key (`whole`).
inline bool write_whole_mask(ByteBuffer& out, const MaskSpec& spec) {
    return out.append(spec.text.data(), spec.text.size());
}

// Append the mask of the hidden number token [token, end) (NaN and
// Infinity included) by the policy: kept, `0` (`0.0` for a token with a
// fraction, an exponent, or no digits), each digit an `8` with sign, point
// and exponent as written (`0.0` for NaN and Infinity), or the fixed mask
// as a string. *kept is set when the token stays as it is (nothing
// appended).
bool write_number_mask(ByteBuffer& out, const MaskSpec& spec, const uint8_t* token, const uint8_t* end, bool* kept);

// Append the mask of a hidden `true` or `false`: `false`, or the fixed mask
// as a string. *kept is set when it stays as it is.
bool write_boolean_mask(ByteBuffer& out, const MaskSpec& spec, bool* kept);

// Append `text` (code points) as a JSON string token: quotes, the
// two-character escapes, \u00XX for other control characters and \uXXXX for
// surrogates (which have no UTF-8 form); everything else as UTF-8.
bool write_json_string(ByteBuffer& out, const uint32_t* text, size_t length);

}  // namespace velmora::scan
