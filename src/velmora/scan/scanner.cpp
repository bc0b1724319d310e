// The scanner's grammar, strings, numbers and the line driver.
//
// The grammar is strict JSON with the extensions Python's json accepts by
// default: the number tokens NaN, Infinity and -Infinity, and escaped lone
// surrogates in strings. Messages name faults as Python's json does.
#include "scanner.h"

#include "text.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora::scan {

const char* fault_message(Fault fault) {
    switch (fault) {
        case Fault::kExpectingValue: return "Expecting value";
        case Fault::kExpectingComma: return "Expecting ',' delimiter";
        case Fault::kExpectingColon: return "Expecting ':' delimiter";
        case Fault::kExpectingName: return "Expecting property name enclosed in double quotes";
        case Fault::kUnterminatedString: return "Unterminated string starting at";
        case Fault::kControlCharacter: return "Invalid control character at";
        case Fault::kInvalidEscape: return "Invalid \\escape";
        case Fault::kInvalidUnicodeEscape: return "Invalid \\uXXXX escape";
        case Fault::kInvalidUtf8: return "Invalid UTF-8";
        case Fault::kExtraData: return "Extra data";
        case Fault::kNoMemory: return "out of memory";
        case Fault::kVerdictFailed: return "the omitter failed";
        case Fault::kNone: break;
    }
    return "no fault";
}

namespace {

inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

inline bool plain_ascii(uint8_t c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

// Bit i set when byte i of the 16 at p needs a closer look inside a string:
// a quote, a backslash, a control character or a non-ASCII byte.
#if defined(__SSE2__)
inline unsigned special_bytes(const uint8_t* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
    // Signed compare: below 0x20, or 0x80 and above.
    const __m128i low = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));
    return unsigned(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), low)));
}
#endif

bool literal(const uint8_t* p, const uint8_t* end, const char* word, size_t n) {
    return size_t(end - p) >= n && std::memcmp(p, word, n) == 0;
}

// The end of the number or literal token at p, or null when none starts
// there. Like Python's json, the longest well-formed token is taken and
// whatever follows it is the next token's business.
const uint8_t* scalar_token(const uint8_t* p, const uint8_t* end) {
    switch (*p) {
        case 't': return literal(p, end, "true", 4) ? p + 4 : nullptr;
        case 'f': return literal(p, end, "false", 5) ? p + 5 : nullptr;
        case 'n': return literal(p, end, "null", 4) ? p + 4 : nullptr;
        case 'N': return literal(p, end, "NaN", 3) ? p + 3 : nullptr;
        case 'I': return literal(p, end, "Infinity", 8) ? p + 8 : nullptr;
        default: break;
    }
    const uint8_t* q = p;
    if (*q == '-') {
        q++;
        if (q < end && *q == 'I') return literal(q, end, "Infinity", 8) ? q + 8 : nullptr;
    }
    if (q == end) return nullptr;
    if (*q == '0') {
        q++;
    } else if (*q >= '1' && *q <= '9') {
        q++;
        while (q < end && is_digit(*q)) q++;
    } else {
        return nullptr;
    }
    if (end - q >= 2 && *q == '.' && is_digit(q[1])) {
        q += 2;
        while (q < end && is_digit(*q)) q++;
    }
    if (q < end && (*q == 'e' || *q == 'E')) {
        const uint8_t* r = q + 1;
        if (r < end && (*r == '+' || *r == '-')) r++;
        if (r < end && is_digit(*r)) {
            r++;
            while (r < end && is_digit(*r)) r++;
            q = r;
        }
    }
    return q;
}

// Just after the last token of [begin, end): where a text that ends too
// early is reported, rather than after its trailing white space.
const uint8_t* after_last_token(const uint8_t* begin, const uint8_t* end) {
    while (end > begin && is_space(end[-1])) end--;
    return end;
}

}  // namespace

int Scanner::ask_member(const uint8_t* key, const uint8_t* key_end, uint64_t h) {
    const int verdict = verdicts_.ask(verdicts_.context, key, key_end);
    if (verdict < 0) return -1;
    if (!keys_.insert(key, size_t(key_end - key), h, verdict)) {
        fault_ = Fault::kNoMemory;
        return -1;
    }
    return verdict;
}

int Scanner::top_verdict() {
    if (top_verdict_ < 0) top_verdict_ = verdicts_.ask(verdicts_.context, nullptr, nullptr);
    return top_verdict_;
}

// The body of a string from just after its opening quote: the closing
// quote, or null with the fault set. With kCount, *count is its length in
// code points as Python counts them.
template <bool kCount>
const uint8_t* Scanner::string_body(const uint8_t* p, const uint8_t* end, size_t* count) {
    size_t n = 0;
    for (;;) {
#if defined(__SSE2__)
        for (;;) {
            if (end - p < 16) {
                const uint8_t* start = p;
                while (p < end && plain_ascii(*p)) p++;
                n += size_t(p - start);
                break;
            }
            const unsigned special = special_bytes(p);
            if (special != 0) {
                const unsigned skip = unsigned(__builtin_ctz(special));
                p += skip;
                n += skip;
                break;
            }
            p += 16;
            n += 16;
        }
#else
        {
            const uint8_t* start = p;
            while (p < end && plain_ascii(*p)) p++;
            n += size_t(p - start);
        }
#endif
        if (p == end) {
            fault_ = Fault::kUnterminatedString;
            return nullptr;
        }
        const uint8_t c = *p;
        if (c == '"') {
            if (kCount) *count = n;
            return p;
        }
        if (c == '\\') {
            if (end - p < 2) {
                fault_ = Fault::kUnterminatedString;
                return nullptr;
            }
            switch (p[1]) {
                case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
                    p += 2;
                    break;
                case 'u': {
                    const int32_t u = unicode_escape(p, end);
                    if (u < 0) {
                        fault_ = Fault::kInvalidUnicodeEscape;
                        where_ = p + 1;  // at the 'u', as Python's json says
                        return nullptr;
                    }
                    p += 6;
                    // An escaped pair is one code point; checking the low
                    // half as an escape of its own comes to the same.
                    if (kCount && is_high_surrogate(u) && end - p >= 6 && p[0] == '\\' && p[1] == 'u' &&
                        is_low_surrogate(unicode_escape(p, end))) {
                        p += 6;
                    }
                    break;
                }
                default:
                    fault_ = Fault::kInvalidEscape;
                    where_ = p;
                    return nullptr;
            }
            n++;
        } else if (c < 0x20) {
            fault_ = Fault::kControlCharacter;
            where_ = p;
            return nullptr;
        } else {
            const int length = utf8_length(p, end);
            if (length == 0) {
                fault_ = Fault::kInvalidUtf8;
                where_ = p;
                return nullptr;
            }
            p += length;
            n++;
        }
    }
}

const uint8_t* Scanner::plain_string(const uint8_t* p, const uint8_t* end) {
    const uint8_t* close = string_body<false>(p + 1, end, nullptr);
    if (close == nullptr) {
        if (fault_ == Fault::kUnterminatedString) where_ = p;
        return nullptr;
    }
    return close + 1;
}

const uint8_t* Scanner::masked_string(const uint8_t* p, const uint8_t* end) {
    size_t count = 0;
    const uint8_t* close = string_body<true>(p + 1, end, &count);
    if (close == nullptr) {
        if (fault_ == Fault::kUnterminatedString) where_ = p;
        return nullptr;
    }
    if (!flush(p) || !write_string_mask(out_, spec_, p + 1, close, count)) {
        fault_ = Fault::kNoMemory;
        return nullptr;
    }
    copy_from_ = close + 1;
    return close + 1;
}

bool Scanner::replace_with_whole(const uint8_t* p) {
    if (!flush(p) || !write_whole_mask(out_, spec_)) {
        fault_ = Fault::kNoMemory;
        return false;
    }
    return true;
}

Fault Scanner::text(const uint8_t* begin, const uint8_t* end, bool* blank, const uint8_t** where) {
    const uint8_t* p = begin;
    if (starts_with_bom(p, end)) p += 3;
    p = skip_space(p, end);
    *blank = p == end;
    if (*blank) return Fault::kNone;
    stack_.clear();
    quiet_ = false;
    fault_ = Fault::kNone;
    where_ = nullptr;
    const bool whole = spec_.whole;
    const uint8_t* key = nullptr;
    const uint8_t* key_end = nullptr;
    Context context = kTop;

    // Verdict of the value in this context for a string or an array, or -1.
    auto verdict = [&]() -> int {
        if (context == kMember) return member_verdict(key, key_end);
        if (context == kItem) return stack_.back() & kDo;
        return quiet_ ? 0 : top_verdict();
    };

value:
    if (p == end) {
        fault_ = Fault::kExpectingValue;
        goto at_end;
    }
    switch (*p) {
        case '"': {
            const int hide = verdict();
            if (hide < 0) goto failed;
            if (!hide) {
                p = plain_string(p, end);
            } else if (whole && context == kMember) {
                const uint8_t* start = p;
                p = plain_string(p, end);
                if (p != nullptr) {
                    if (!replace_with_whole(start)) goto failed;
                    copy_from_ = p;
                }
            } else {
                p = masked_string(p, end);
            }
            if (p == nullptr) goto failed;
            goto after_value;
        }
        case '{':
            if (whole && context == kMember) {
                const int hide = member_verdict(key, key_end);
                if (hide < 0) goto failed;
                if (hide) {
                    if (!replace_with_whole(p)) goto failed;
                    quiet_ = true;
                    quiet_depth_ = stack_.size();
                }
            }
            if (!stack_.push(0)) goto no_memory;
            p = skip_space(p + 1, end);
            if (p < end && *p == '}') {
                p++;
                goto close;
            }
            goto member_name;
        case '[': {
            int hide = verdict();
            if (hide < 0) goto failed;
            if (hide && whole && context == kMember) {
                if (!replace_with_whole(p)) goto failed;
                quiet_ = true;
                quiet_depth_ = stack_.size();
                hide = 0;
            }
            if (!stack_.push(uint8_t(kArray | hide))) goto no_memory;
            p = skip_space(p + 1, end);
            if (p < end && *p == ']') {
                p++;
                goto close;
            }
            context = kItem;
            goto value;
        }
        default: {
            const uint8_t* token_end = scalar_token(p, end);
            if (token_end == nullptr) {
                fault_ = Fault::kExpectingValue;
                where_ = p;
                goto failed;
            }
            if (whole && context == kMember) {
                const int hide = member_verdict(key, key_end);
                if (hide < 0) goto failed;
                if (hide) {
                    if (!replace_with_whole(p)) goto failed;
                    copy_from_ = token_end;
                }
            }
            p = token_end;
            goto after_value;
        }
    }

close:
    // p is just past a closing bracket.
    stack_.pop();
    if (quiet_ && stack_.size() == quiet_depth_) {
        quiet_ = false;
        copy_from_ = p;
    }
after_value:
    p = skip_space(p, end);
    if (stack_.empty()) {
        if (p == end) return Fault::kNone;
        fault_ = Fault::kExtraData;
        where_ = p;
        goto failed;
    }
    if (p == end) {
        fault_ = Fault::kExpectingComma;
        goto at_end;
    }
    if (stack_.back() & kArray) {
        if (*p == ',') {
            p = skip_space(p + 1, end);
            context = kItem;
            goto value;
        }
        if (*p == ']') {
            p++;
            goto close;
        }
    } else {
        if (*p == ',') {
            p = skip_space(p + 1, end);
            goto member_name;
        }
        if (*p == '}') {
            p++;
            goto close;
        }
    }
    fault_ = Fault::kExpectingComma;
    where_ = p;
    goto failed;

member_name:
    if (p == end || *p != '"') {
        fault_ = Fault::kExpectingName;
        if (p == end) goto at_end;
        where_ = p;
        goto failed;
    }
    key = p + 1;
    p = plain_string(p, end);
    if (p == nullptr) goto failed;
    key_end = p - 1;
    p = skip_space(p, end);
    if (p == end || *p != ':') {
        fault_ = Fault::kExpectingColon;
        if (p == end) goto at_end;
        where_ = p;
        goto failed;
    }
    p = skip_space(p + 1, end);
    context = kMember;
    goto value;

no_memory:
    fault_ = Fault::kNoMemory;
    goto failed;
at_end:
    where_ = after_last_token(begin, end);
failed:
    if (fault_ == Fault::kNone) fault_ = Fault::kVerdictFailed;  // a verdict of -1 sets nothing here
    // A byte that starts no character is named as such, wherever it stands.
    if (fault_ < Fault::kNoMemory && where_ != nullptr && where_ < end && *where_ >= 0x80 &&
        utf8_length(where_, end) == 0) {
        fault_ = Fault::kInvalidUtf8;
    }
    *where = where_;
    return fault_;
}

Fault scan_lines(Scanner& scanner, const uint8_t* begin, const uint8_t* end, bool skip_bad, ByteBuffer& out,
                 ByteBuffer& faults, size_t* lines) {
    scanner.start(begin);
    *lines = 0;
    for (const uint8_t* line = begin; line < end; ++*lines) {
        const uint8_t* newline = static_cast<const uint8_t*>(std::memchr(line, '\n', size_t(end - line)));
        const uint8_t* content_end = newline != nullptr ? newline : end;
        const uint8_t* next = newline != nullptr ? newline + 1 : end;
        // What the line has written so far is taken back if it is bad.
        const size_t mark = out.size();
        const uint8_t* pending = scanner.pending();
        bool blank = false;
        const uint8_t* where = nullptr;
        const Fault fault = scanner.text(line, content_end, &blank, &where);
        if (fault != Fault::kNone) {
            if (fault == Fault::kNoMemory || fault == Fault::kVerdictFailed) return fault;
            out.truncate(mark);
            scanner.rewind(pending);
            const LineFault record{fault, size_t(where - begin), size_t(line - begin), size_t(next - begin)};
            if (!scanner.flush(line) || !faults.append(&record, sizeof record)) return Fault::kNoMemory;
            if (!skip_bad) {
                scanner.skip(end);
                ++*lines;
                return Fault::kNone;
            }
            scanner.skip(next);
        }
        line = next;
    }
    return scanner.flush(end) ? Fault::kNone : Fault::kNoMemory;
}

}  // namespace velmora::scan
