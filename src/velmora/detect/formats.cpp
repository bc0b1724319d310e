// The checks of the built-in formats, run where the candidate filter stops.
// Each reads only what its match needs; FormatScan keeps the rest linear.
#include "formats.h"

namespace velmora::detect {

const FormatName kFormats[kFormatCount] = {
    {"aws", kAws, true},
    {"github", kGithub, true},
    {"gitlab", kGitlab, true},
    {"slack", kSlack, true},
    {"stripe", kStripe, true},
    {"google", kGoogle, true},
    {"jwt", kJwt, true},
    {"private-key", kPrivateKey, true},
    {"url-credentials", kUrlCredentials, true},
    {"authorization", kAuthorization, true},
    {"card", kCard, false},
};

FirstTable first_units(uint32_t formats) {
    FirstTable table{};
    auto set = [&](char c, uint32_t kind) {
        if (formats & kind) table.of[uint8_t(c)] |= kind;
    };
    set('A', kAws);
    set('A', kGoogle);
    set('g', kGithub);
    set('g', kGitlab);
    set('x', kSlack);
    set('s', kStripe);
    set('r', kStripe);
    set('e', kJwt);
    set('-', kPrivateKey);
    set(':', kUrlCredentials);
    for (char c : {'b', 'B', 't', 'T'}) set(c, kAuthorization);
    for (char c = '0'; c <= '9'; c++) set(c, kCard);
    return table;
}

namespace {

template <class Unit>
struct Text {
    const Unit* t;
    size_t n;
    uint32_t operator[](size_t i) const { return t[i]; }

    // Whether the ASCII `literal` stands at `at` (exactly, or ignoring ASCII case).
    bool has(size_t at, const char* literal, size_t length) const {
        if (at > n || n - at < length) return false;
        for (size_t i = 0; i < length; i++) {
            if (t[at + i] != uint8_t(literal[i])) return false;
        }
        return true;
    }
    bool has_nocase(size_t at, const char* lower, size_t length) const {
        if (at > n || n - at < length) return false;
        for (size_t i = 0; i < length; i++) {
            if (ascii_lower(t[at + i]) != uint8_t(lower[i])) return false;
        }
        return true;
    }
    bool word_before(size_t at) const { return at > 0 && is_word(t[at - 1]); }
    bool word_at(size_t at) const { return at < n && is_word(t[at]); }

    // End of the run of class `cls` starting at `at`.
    size_t run(size_t at, uint8_t cls) const {
        while (at < n && has_class(t[at], cls)) at++;
        return at;
    }
    template <class Pred>
    size_t run_of(size_t at, Pred pred) const {
        while (at < n && pred(t[at])) at++;
        return at;
    }
    size_t run(size_t at, uint8_t cls, FormatScan::RunCache& cache) const {
        for (int i = 0; i < cache.used; i++) {
            if (cache.from[i] <= at && at <= cache.to[i]) return cache.to[i];
        }
        const size_t end = run(at, cls);
        int slot = cache.used;
        if (slot == FormatScan::RunCache::kSlots) {  // replace the run that ends first
            slot = 0;
            for (int i = 1; i < cache.used; i++) {
                if (cache.to[i] < cache.to[slot]) slot = i;
            }
        } else {
            cache.used++;
        }
        cache.from[slot] = at;
        cache.to[slot] = end;
        return end;
    }
};

bool push(SpanList& out, size_t begin, size_t end, uint32_t kind) {
    return begin >= end || out.push(Span{begin, end, kind});
}

// ---- Tokens ----

// A token of `prefix_length` units then a body of class `cls` from `body`:
// `exact` units, or at least `at_least`; no word character after it.
template <class Unit>
bool token(const Text<Unit>& x, size_t pos, size_t body, size_t end, size_t exact, size_t at_least, uint32_t kind,
           SpanList& out) {
    const size_t length = end - body;
    if (exact != 0 ? length != exact : length < at_least) return true;
    if (x.word_at(end)) return true;
    return push(out, pos, end, kind);
}

template <class Unit>
bool check_aws(const Text<Unit>& x, size_t pos, SpanList& out) {
    if (!x.has(pos, "AKIA", 4) && !x.has(pos, "ASIA", 4)) return true;
    const size_t limit = pos + 4 + 17 < x.n ? pos + 4 + 17 : x.n;  // one past 16 is enough to refuse
    size_t end = pos + 4;
    while (end < limit && (is_upper(x[end]) || is_digit(x[end]))) end++;
    return token(x, pos, pos + 4, end, 16, 0, kAws, out);
}

template <class Unit>
bool check_google(const Text<Unit>& x, size_t pos, FormatScan& scan, SpanList& out) {
    if (!x.has(pos, "AIza", 4)) return true;
    return token(x, pos, pos + 4, x.run(pos + 4, kBase64Url, scan.base64url), 35, 0, kGoogle, out);
}

template <class Unit>
bool check_github(const Text<Unit>& x, size_t pos, SpanList& out) {
    if (x.has(pos, "github_pat_", 11)) {
        return token(x, pos, pos + 11, x.run(pos + 11, kWordChar), 0, 22, kGithub, out);
    }
    if (x.n - pos < 4 || x[pos + 1] != 'h' || x[pos + 3] != '_') return true;
    const uint32_t c = x[pos + 2];
    if (c != 'p' && c != 'o' && c != 'u' && c != 's' && c != 'r') return true;
    const size_t end = x.run_of(pos + 4, [](uint32_t u) { return is_alnum(u); });
    return token(x, pos, pos + 4, end, 0, 36, kGithub, out);
}

template <class Unit>
bool check_gitlab(const Text<Unit>& x, size_t pos, FormatScan& scan, SpanList& out) {
    if (!x.has(pos, "glpat-", 6)) return true;
    return token(x, pos, pos + 6, x.run(pos + 6, kBase64Url, scan.base64url), 0, 20, kGitlab, out);
}

template <class Unit>
bool check_slack(const Text<Unit>& x, size_t pos, FormatScan& scan, SpanList& out) {
    if (!x.has(pos, "xox", 3) || x.n - pos < 5 || x[pos + 4] != '-') return true;
    const uint32_t c = x[pos + 3];
    if (c != 'a' && c != 'b' && c != 'p' && c != 'o' && c != 's' && c != 'r') return true;
    // Its own cache: its runs end at '_', where base64url runs go on.
    return token(x, pos, pos + 5, x.run(pos + 5, kAlnumDash, scan.slack), 0, 10, kSlack, out);
}

template <class Unit>
bool check_stripe(const Text<Unit>& x, size_t pos, SpanList& out) {
    if (!x.has(pos + 1, "k_", 2) || !(x.has(pos + 3, "live_", 5) || x.has(pos + 3, "test_", 5))) return true;
    const size_t end = x.run_of(pos + 8, [](uint32_t u) { return is_alnum(u); });
    return token(x, pos, pos + 8, end, 0, 16, kStripe, out);
}

template <class Unit>
bool check_jwt(const Text<Unit>& x, size_t pos, FormatScan& scan, SpanList& out) {
    // Each segment is a whole base64url run: the run of the first one
    // starts at pos, which the caller found free of a word character before.
    if (!x.has(pos, "eyJ", 3)) return true;
    const size_t first = x.run(pos, kBase64Url, scan.base64url);
    if (first >= x.n || x[first] != '.' || !x.has(first + 1, "eyJ", 3)) return true;
    const size_t second = x.run(first + 1, kBase64Url, scan.base64url);
    if (second >= x.n || x[second] != '.') return true;
    const size_t third = x.run(second + 1, kBase64Url, scan.base64url);
    return push(out, pos, third, kJwt);
}

// ---- Private key blocks ----

// A PEM marker "-----<word> <label>-----" at `at`: the end of the marker,
// or 0 when there is none. <label> must be (?:[A-Z0-9]+ )*PRIVATE KEY.
template <class Unit>
size_t key_marker(const Text<Unit>& x, size_t at, const char* word, size_t word_length) {
    if (!x.has(at, "-----", 5) || !x.has(at + 5, word, word_length)) return 0;
    const size_t label = at + 5 + word_length;
    const size_t label_end = x.run(label, kLabelChar);
    if (!x.has(label_end, "-----", 5)) return 0;
    static constexpr char kTail[] = "PRIVATE KEY";
    constexpr size_t kTailLength = sizeof(kTail) - 1;
    if (label_end - label < kTailLength || !x.has(label_end - kTailLength, kTail, kTailLength)) return 0;
    const size_t words_end = label_end - kTailLength;  // the words before it, each followed by one space
    if (words_end > label && x[words_end - 1] != ' ') return 0;
    for (size_t i = label; i < words_end; i++) {
        if (x[i] == ' ' && (i == label || x[i - 1] == ' ')) return 0;
    }
    return label_end + 5;
}

// The first END marker starting at or after `from`, remembered for the
// blocks that begin before it.
template <class Unit>
void find_end(const Text<Unit>& x, size_t from, FormatScan& scan) {
    if (scan.searched && scan.search_from <= from && (!scan.end_found || scan.end_at >= from)) return;
    scan.searched = true;
    scan.search_from = from;
    scan.end_found = false;
    for (size_t at = from; at + 5 <= x.n; at++) {
        if (x[at] != '-') continue;
        const size_t after = key_marker(x, at, "END ", 4);
        if (after != 0) {
            scan.end_found = true;
            scan.end_at = at;
            scan.end_after = after;
            return;
        }
    }
}

// The spans of a block from `begin`, whose END line is searched from
// `search_from`: one per line, line breaks left out.
template <class Unit>
bool block_spans(const Text<Unit>& x, size_t begin, size_t search_from, FormatScan& scan, SpanList& out) {
    find_end(x, search_from, scan);
    const size_t end = scan.end_found ? scan.end_after : x.n;
    if (!scan.end_found) scan.open_at_end = true;
    if (end <= scan.block_covered) return true;  // inside a block already spanned
    size_t piece = begin > scan.block_covered ? begin : scan.block_covered;
    for (size_t i = piece; i < end; i++) {
        if (is_line_break(x[i])) {
            if (!push(out, piece, i, kPrivateKey)) return false;
            piece = i + 1;
        }
    }
    scan.block_covered = end;
    return push(out, piece, end, kPrivateKey);
}

template <class Unit>
bool check_private_key(const Text<Unit>& x, size_t pos, FormatScan& scan, SpanList& out) {
    const size_t after = key_marker(x, pos, "BEGIN ", 6);
    if (after == 0) return true;
    return block_spans(x, pos, after, scan, out);
}

// ---- URL credentials ----

template <class Unit>
bool check_url(const Text<Unit>& x, size_t pos, SpanList& out) {
    if (!x.has(pos, "://", 3)) return true;
    // The scheme: the run of scheme characters before, with a letter in it.
    bool letter = false;
    for (size_t i = pos; i > 0 && has_class(x[i - 1], kSchemeChar); i--) {
        if (is_upper(x[i - 1]) || is_lower(x[i - 1])) {
            letter = true;
            break;
        }
    }
    if (!letter) return true;
    size_t colon = SIZE_MAX, at_sign = SIZE_MAX;
    for (size_t i = pos + 3; i < x.n; i++) {
        const uint32_t c = x[i];
        if (has_class(c, kAuthorityStop)) break;
        if (c == ':' && colon == SIZE_MAX) colon = i;
        if (c == '@') at_sign = i;
    }
    if (at_sign == SIZE_MAX || colon == SIZE_MAX || colon + 1 >= at_sign) return true;
    return push(out, colon + 1, at_sign, kUrlCredentials);
}

// ---- Authorization ----

template <class Unit>
bool check_authorization(const Text<Unit>& x, size_t pos, SpanList& out) {
    size_t after;
    if (x.has_nocase(pos, "bearer", 6)) {
        after = pos + 6;
    } else if (x.has_nocase(pos, "basic", 5) || x.has_nocase(pos, "token", 5)) {
        after = pos + 5;
    } else {
        return true;
    }
    const size_t credential = x.run_of(after, [](uint32_t u) { return u == ' ' || u == '\t'; });
    if (credential == after) return true;
    // token68: its characters, then '=' padding and nothing more of them
    // (so not "id=42", a key and a value). A word of prose is not a
    // credential either: one holds a digit, a capital after its first
    // character, or one of + / =. Letters alone must look random, not
    // like a CamelCase name ("the JWT Bearer GrantOptions"): 16 or more,
    // with at least three capitals after the first.
    bool telling = false;
    bool letters = true;
    size_t inner_capitals = 0;
    size_t end = credential;
    while (end < x.n && has_class(x[end], kToken68) && x[end] != '=') {
        const uint32_t c = x[end];
        const bool inner_capital = is_upper(c) && end > credential;
        inner_capitals += inner_capital;
        letters = letters && (is_upper(c) || is_lower(c));
        telling = telling || is_digit(c) || inner_capital || c == '+' || c == '/';
        end++;
    }
    const size_t body = end;
    while (end < x.n && x[end] == '=') end++;
    telling = telling || end > body;
    if (end < x.n && has_class(x[end], kToken68)) return true;
    if (end - credential < 8 || !telling) return true;
    if (letters && end == body && (end - credential < 16 || inner_capitals < 3)) return true;
    return push(out, credential, end, kAuthorization);
}

// ---- Cards ----

template <class Unit>
bool luhn(const Text<Unit>& x, size_t begin, size_t end) {
    uint32_t sum = 0;
    bool twice = false;
    for (size_t i = end; i > begin; i--) {
        const uint32_t c = x[i - 1];
        if (!is_digit(c)) continue;
        uint32_t d = c - '0';
        if (twice) {
            d *= 2;
            if (d > 9) d -= 9;
        }
        sum += d;
        twice = !twice;
    }
    return sum % 10 == 0;
}

template <class Unit>
bool check_card(const Text<Unit>& x, size_t pos, SpanList& out) {
    auto separator = [](uint32_t c) { return c == ' ' || c == '-'; };
    // Only where a run starts, with no word character before it.
    if (x.word_before(pos)) return true;
    if (pos >= 2 && separator(x[pos - 1]) && is_digit(x[pos - 2])) return true;
    size_t digits = 0, end = pos;
    bool grouped = false;
    while (end < x.n) {
        if (is_digit(x[end])) {
            digits++;
            end++;
        } else if (separator(x[end]) && end + 1 < x.n && is_digit(x[end + 1])) {
            grouped = true;
            end++;
        } else {
            break;
        }
    }
    if (x.word_at(end)) return true;
    if (digits >= 13 && digits <= 19 && luhn(x, pos, end) && !push(out, pos, end, kCard)) return false;
    if (!grouped) return true;
    for (size_t group = pos; group < end;) {
        const size_t group_end = x.run_of(group, [](uint32_t u) { return is_digit(u); });
        const size_t length = group_end - group;
        if (length >= 13 && length <= 19 && luhn(x, group, group_end) && !push(out, group, group_end, kCard)) {
            return false;
        }
        group = group_end + 1;
    }
    return true;
}

}  // namespace

template <class Unit>
bool check_formats(uint32_t formats, const Unit* t, size_t n, size_t pos, FormatScan& scan, SpanList& out) {
    const Text<Unit> x{t, n};
    // Tokens and the authorization phrase start with a word character, and
    // none may have one just before it.
    constexpr uint32_t kAfterNonWord = kAws | kGithub | kGitlab | kSlack | kStripe | kGoogle | kJwt | kAuthorization;
    if ((formats & kAfterNonWord) && x.word_before(pos)) formats &= ~kAfterNonWord;
    if ((formats & kAws) && !check_aws(x, pos, out)) return false;
    if ((formats & kGoogle) && !check_google(x, pos, scan, out)) return false;
    if ((formats & kGithub) && !check_github(x, pos, out)) return false;
    if ((formats & kGitlab) && !check_gitlab(x, pos, scan, out)) return false;
    if ((formats & kSlack) && !check_slack(x, pos, scan, out)) return false;
    if ((formats & kStripe) && !check_stripe(x, pos, out)) return false;
    if ((formats & kJwt) && !check_jwt(x, pos, scan, out)) return false;
    if ((formats & kPrivateKey) && !check_private_key(x, pos, scan, out)) return false;
    if ((formats & kUrlCredentials) && !check_url(x, pos, out)) return false;
    if ((formats & kAuthorization) && !check_authorization(x, pos, out)) return false;
    if ((formats & kCard) && !check_card(x, pos, out)) return false;
    return true;
}

template <class Unit>
bool continue_block(const Unit* t, size_t n, FormatScan& scan, SpanList& out) {
    return block_spans(Text<Unit>{t, n}, 0, 0, scan, out);
}

template bool check_formats<uint8_t>(uint32_t, const uint8_t*, size_t, size_t, FormatScan&, SpanList&);
template bool check_formats<uint16_t>(uint32_t, const uint16_t*, size_t, size_t, FormatScan&, SpanList&);
template bool check_formats<uint32_t>(uint32_t, const uint32_t*, size_t, size_t, FormatScan&, SpanList&);
template bool continue_block<uint8_t>(const uint8_t*, size_t, FormatScan&, SpanList&);
template bool continue_block<uint16_t>(const uint16_t*, size_t, FormatScan&, SpanList&);
template bool continue_block<uint32_t>(const uint32_t*, size_t, FormatScan&, SpanList&);

}  // namespace velmora::detect
