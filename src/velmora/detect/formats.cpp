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
    set('%', kUrlCredentials);
    for (char c : {'b', 'B', 't', 'T', 'd', 'D', 'i', 'I', 'h', 'H', 's', 'S', 'c'}) set(c, kAuthorization);
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
    // The character a percent escape (%XX, either case) at `at` stands
    // for, or -1 where there is none.
    int32_t escaped(size_t at) const {
        if (at >= n || n - at < 3 || t[at] != '%') return -1;
        const int high = hex_value(t[at + 1]), low = hex_value(t[at + 2]);
        return high < 0 || low < 0 ? -1 : int32_t(high * 16 + low);
    }
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
    // The first place at or after `at` where `found(place)` holds (n: none),
    // remembered in `cache`.
    template <class Found>
    size_t next(size_t at, FormatScan::Next& cache, Found found) const {
        if (cache.from <= at && at <= cache.at) return cache.at;
        size_t i = at;
        while (i < n && !found(i)) i++;
        cache.from = at;
        cache.at = i;
        return i;
    }
    // The same for a unit: memchr's where the text is bytes.
    size_t next_unit(size_t at, uint8_t unit, FormatScan::Next& cache) const {
        if constexpr (sizeof(Unit) == 1) {
            if (cache.from <= at && at <= cache.at) return cache.at;
            const void* p = at < n ? std::memchr(t + at, unit, n - at) : nullptr;
            cache.from = at;
            cache.at = p == nullptr ? n : size_t(static_cast<const Unit*>(p) - t);
            return cache.at;
        } else {
            return next(at, cache, [&](size_t i) { return t[i] == unit; });
        }
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

// Ends a password that runs on past the authority: what ends an authority
// but a space and / ? #.
inline bool ends_long_password(uint32_t c) {
    return has_class(c, kAuthorityStop) && c != ' ' && c != '/' && c != '?' && c != '#';
}

// Whether a scheme ends at `pos`: the run of scheme characters before it
// holds a letter.
template <class Unit>
bool scheme_before(const Text<Unit>& x, size_t pos) {
    for (size_t i = pos; i > 0 && has_class(x[i - 1], kSchemeChar); i--) {
        if (is_upper(x[i - 1]) || is_lower(x[i - 1])) return true;
    }
    return false;
}

template <class Unit>
bool check_url(const Text<Unit>& x, size_t pos, FormatScan& scan, SpanList& out) {
    if (!x.has(pos, "://", 3) || !scheme_before(x, pos)) return true;
    size_t colon = SIZE_MAX, at_sign = SIZE_MAX;
    bool bracket = false;
    size_t end = pos + 3;
    for (; end < x.n; end++) {
        const uint32_t c = x[end];
        if (has_class(c, kAuthorityStop)) break;
        if (c == ':' && colon == SIZE_MAX) colon = end;
        if (c == '@') at_sign = end;
        bracket = bracket || c == '[';
    }
    if (colon == SIZE_MAX) return true;
    if (at_sign != SIZE_MAX) {
        if (colon + 1 >= at_sign) return true;
        return push(out, colon + 1, at_sign, kUrlCredentials);
    }
    // No '@': the authority may have ended inside the password. Not after
    // a port, nor in an IPv6 address. A port is a number a port can be:
    // host:8080/a@b is a path, but u:99999/a@b can only be a password.
    if (bracket) return true;
    size_t digits = colon + 1;
    uint32_t number = 0;
    for (; digits < end && is_digit(x[digits]); digits++) {
        number = number * 10 + (x[digits] - '0');
        if (number > 65535) number = 65536;  // no port, however many digits follow
    }
    if (digits > colon + 1 && number <= 65535 && (digits == end || x[digits] == ',')) return true;
    // The first '@' further on, before anything that ends such a password
    // and before another "://" (the next URL's). URLs come in order, their
    // authorities' ends and colons too: each search goes on from the last.
    const size_t first = x.next_unit(end, '@', scan.at_sign);
    if (first >= x.n) return true;
    if (x.next(end, scan.password_end, [&](size_t i) { return ends_long_password(x[i]); }) < first) return true;
    if (x.next(colon, scan.url, [&](size_t i) { return x[i] == ':' && x.has(i + 1, "//", 2); }) < first) return true;
    size_t last = first;
    for (size_t i = first + 1; i < x.n && !has_class(x[i], kAuthorityStop); i++) {
        if (x[i] == '@') last = i;
    }
    if (last + 1 >= x.n || !is_alnum(x[last + 1]) || x[last - 1] == '/') return true;
    return push(out, colon + 1, last, kUrlCredentials);
}

// A URL encoded once more, as the value of a parameter:
// scheme%3A%2F%2Fuser%3Apassword%40host. Its authority is a run of
// unreserved characters and escapes, up to an escape of what ends a plain
// one (%2F, %3F, %23, %20...) or any other character; the password runs
// from its first %3A to its last %40. A password's unencoded '/' reads as
// the authority's end here, so it never runs on as a plain one may.
template <class Unit>
[[gnu::noinline]] bool check_encoded_url(const Text<Unit>& x, size_t pos, SpanList& out) {
    if (!x.has_nocase(pos, "%3a%2f%2f", 9) || !scheme_before(x, pos)) return true;
    size_t colon = SIZE_MAX, at_sign = SIZE_MAX;
    for (size_t i = pos + 9; i < x.n;) {
        const uint32_t u = x[i];
        if (u == '%') {
            const int32_t c = x.escaped(i);
            if (c < 0 || has_class(uint32_t(c), kAuthorityStop)) break;
            if (c == ':' && colon == SIZE_MAX) colon = i;
            if (c == '@') at_sign = i;
            i += 3;
        } else if (has_class(u, kBase64Url) || u == '.' || u == '~') {
            i++;
        } else {
            break;
        }
    }
    if (colon == SIZE_MAX || at_sign == SIZE_MAX || colon + 3 >= at_sign) return true;
    return push(out, colon + 3, at_sign, kUrlCredentials);
}

// ---- Authorization ----

// Whether the percent escape at `at` is one of a credential's characters:
// of a token68 one but '=', or of '%' itself.
template <class Unit>
bool escaped_credential_char(const Text<Unit>& x, size_t at) {
    const int32_t e = x.escaped(at);
    return e == '%' || (e >= 0 && e != '=' && has_class(uint32_t(e), kToken68));
}

// What a credential's characters tell as they are read: whether it holds
// something prose would not (a digit, a capital after its first character,
// + or /), and whether it is letters alone, with how many capitals inside.
struct CredentialShape {
    bool telling = false;
    bool letters = true;
    size_t inner_capitals = 0;

    // The token68 characters but '=' from `end` (the credential started at
    // `at`): where they stop.
    template <class Unit>
    [[gnu::always_inline]] size_t read(const Text<Unit>& x, size_t at, size_t end) {
        while (end < x.n && has_class(x[end], kToken68) && x[end] != '=') {
            const uint32_t c = x[end];
            const bool inner_capital = is_upper(c) && end > at;
            inner_capitals += inner_capital;
            letters = letters && (is_upper(c) || is_lower(c));
            telling = telling || is_digit(c) || inner_capital || c == '+' || c == '/';
            end++;
        }
        return end;
    }
    // Whether a credential of `length` characters, `padded` or not, reads as
    // one and not as a word of prose or a CamelCase name.
    [[gnu::always_inline]] bool taken(size_t length, bool padded) const {
        if (length < 8 || !(telling || padded)) return false;
        return !(letters && !padded && (length < 16 || inner_capitals < 3));
    }
};

// The same read where the credential holds an escape or, after a name, an
// '=' inside: out of the common path. `named` (the scan's memory of such
// reads): it follows a name and ':' or '=', so it is a value that runs to
// its end ("api_key=ab12=x&..." masks "ab12=x"), where after Bearer an '='
// followed by more reads as a key and a value ("realm=x"), no credential.
template <class Unit>
[[gnu::noinline]] bool uncommon_credential(const Text<Unit>& x, size_t at, SpanList& out, FormatScan* named) {
    CredentialShape shape;
    size_t escapes = 0;  // each three units for one character
    size_t end = at;
    bool padded = false;
    for (;;) {
        for (;;) {
            end = shape.read(x, at, end);
            if (end >= x.n || x[end] != '%' || !escaped_credential_char(x, end)) break;
            escapes++;
            shape.telling = true;
            shape.letters = false;
            end += 3;
        }
        if (end == at) return true;  // padding alone is no credential
        const size_t body = end;
        for (;;) {
            if (end < x.n && x[end] == '=') {
                end++;
            } else if (end < x.n && x[end] == '%' && x.escaped(end) == '=') {
                escapes++;
                end += 3;
            } else {
                break;
            }
        }
        padded = padded || end > body;  // an '=' inside tells as padding does
        const bool more =
            end < x.n && (has_class(x[end], kToken68) || (x[end] == '%' && escaped_credential_char(x, end)));
        if (!more) break;
        if (named == nullptr) return true;
    }
    if (named != nullptr) {
        named->value_from = at;
        named->value_end = end;
    }
    if (!shape.taken(end - at - 2 * escapes, padded)) return true;
    return push(out, at, end, kAuthorization);
}

// A credential from `at`: token68 ([A-Za-z0-9._~+/-]+ then '=' padding,
// and, but after a name, nothing more of them, so not "realm=x", a key and
// a value) that does not read as a word of prose: it holds a digit, a
// capital after its first character, or one of + / =. Letters alone must
// look random, not like a CamelCase name ("the JWT Bearer GrantOptions"):
// 16 or more, with at least three capitals after the first. A value in a
// query string or a form may be percent-encoded: an escape of one of these
// characters or of '%' is one character of it (and telling), so that
// "ab%2Bcd%3D" is read whole and not cut at its first escape; any other
// escape (%26, an encoded '&') ends it.
template <class Unit>
[[gnu::always_inline]] inline bool credential(const Text<Unit>& x, size_t at, SpanList& out, FormatScan* named) {
    CredentialShape shape;
    size_t end = shape.read(x, at, at);
    const size_t body = end;
    while (end < x.n && x[end] == '=') end++;
    if (end < x.n && (x[end] == '%' || (named != nullptr && end > body && body > at && has_class(x[end], kToken68)))) {
        return uncommon_credential(x, at, out, named);
    }
    if (end < x.n && has_class(x[end], kToken68)) return true;
    if (!shape.taken(end - at, end > body) || body == at) return true;  // padding alone is no credential
    return push(out, at, end, kAuthorization);
}

inline bool blank(uint32_t c) { return c == ' ' || c == '\t'; }
inline bool quote(uint32_t c) { return c == '"' || c == '\''; }

// Bearer, Basic or Token, blanks, then the credential.
template <class Unit>
[[gnu::always_inline]] inline bool check_scheme(const Text<Unit>& x, size_t pos, SpanList& out) {
    size_t after;
    if (x.has_nocase(pos, "bearer", 6)) {
        after = pos + 6;
    } else if (x.has_nocase(pos, "basic", 5) || x.has_nocase(pos, "token", 5)) {
        after = pos + 5;
    } else {
        return true;
    }
    const size_t at = x.run_of(after, blank);
    if (at == after) return true;
    return credential(x, at, out, nullptr);
}

// An API key, token or client secret header or parameter: its name, ':' or
// '=' (quotes around a name and a value as JSON or a repr writes them), the
// credential. `pos` is the last letter of the name's first word. Its start
// may be the last word of a longer name (X-Api-Key, OPENAI_API_KEY,
// aws_secret_access_key): no letter or digit before it.
template <class Unit>
[[gnu::noinline]] bool check_api_key(const Text<Unit>& x, size_t pos, FormatScan& scan, SpanList& out) {
    struct FirstWord {
        const char* lower;
        size_t length;
    };
    // auth before oauth: where "auth" has an 'o' before it, oauth is read.
    static constexpr FirstWord kFirstWords[] = {{"api", 3},    {"auth", 4},    {"oauth", 5},
                                                {"access", 6}, {"refresh", 7}, {"client", 6}};
    size_t start = SIZE_MAX;
    bool client = false;
    for (const FirstWord& word : kFirstWords) {
        if (pos + 1 < word.length) continue;
        const size_t at = pos + 1 - word.length;
        if (!x.has_nocase(at, word.lower, word.length)) continue;
        // A letter or digit before it is a longer word's, unless it ends a
        // percent escape (%3Faccess_token, %26api_key).
        if (at > 0 && is_alnum(x[at - 1]) && (at < 3 || x.escaped(at - 3) < 0)) continue;
        start = at;
        client = word.lower[0] == 'c';
        break;
    }
    if (start == SIZE_MAX) return true;
    size_t i = pos + 1;
    if (i < x.n && (x[i] == '-' || x[i] == '_')) i++;
    if (client) {
        if (!x.has_nocase(i, "secret", 6)) return true;
        i += 6;
    } else if (x.has_nocase(i, "key", 3)) {
        i += 3;
    } else if (x.has_nocase(i, "token", 5)) {
        i += 5;
    } else {
        return true;
    }
    if (i < x.n && ascii_lower(x[i]) == 's') i++;  // apikeys, api_keys, auth_tokens
    if (i < x.n && quote(x[i])) i++;
    i = x.run_of(i, blank);
    // ':' or '=', or either percent-encoded where a URL or a form body was
    // encoded once more (?redirect=...%3Faccess_token%3D...).
    if (i >= x.n) return true;
    if (x[i] == ':' || x[i] == '=') {
        i++;
    } else if (const int32_t e = x.escaped(i); e == ':' || e == '=') {
        i += 3;
    } else {
        return true;
    }
    i = x.run_of(i, blank);
    if (i < x.n && quote(x[i])) i++;
    // Inside a value read before, as in api_key=api_key=...: it ends there
    // too, and its shape tells no more than the whole did. Reading each
    // would take time quadratic in such a run.
    if (i >= scan.value_from && i < scan.value_end) return true;
    return credential(x, i, out, &scan);
}

inline bool digest_token(uint32_t c) { return c > 0x20 && c != 0x7F && c != ',' && c != '"'; }
inline bool digest_separator(uint32_t c) { return c == ',' || blank(c); }

// Digest's parameters: the values of response and password. The text they
// cover is remembered, and a digest inside it starts nothing, so that each
// part of a line is read as parameters once.
template <class Unit>
[[gnu::noinline]] bool check_digest(const Text<Unit>& x, size_t pos, FormatScan& scan, SpanList& out) {
    if (pos < scan.digest_covered || !x.has_nocase(pos, "digest", 6)) return true;
    size_t at = x.run_of(pos + 6, blank);
    if (at == pos + 6) return true;
    for (;;) {
        const size_t name_end = x.run(at, kBase64Url);
        if (name_end == at || name_end >= x.n || x[name_end] != '=') return true;
        const bool secret = (name_end - at == 8 && (x.has_nocase(at, "response", 8) || x.has_nocase(at, "password", 8)));
        size_t value = name_end + 1, value_end, after;
        if (value < x.n && x[value] == '"') {
            value++;
            value_end = value;
            while (value_end < x.n && x[value_end] != '"' && !is_line_break(x[value_end])) {
                value_end += x[value_end] == '\\' && value_end + 1 < x.n && !is_line_break(x[value_end + 1]) ? 2 : 1;
            }
            after = value_end < x.n && x[value_end] == '"' ? value_end + 1 : value_end;
        } else {
            value_end = x.run_of(value, digest_token);
            after = value_end;
        }
        if (secret && !push(out, value, value_end, kAuthorization)) return false;
        scan.digest_covered = after;
        at = x.run_of(after, digest_separator);
        if (at == after) return true;
    }
}

// curl's short options that take no value: any of them may come before
// -u or -U in one bundle (-su user:pw, -sSku user:pw). One that takes a
// value (-X, -H, -o...) would take the rest of the bundle as it.
inline bool curl_flag(uint32_t c) {
    switch (c) {
        case '0': case '1': case '2': case '3': case '4': case '6': case '#': case ':':
        case 'a': case 'B': case 'f': case 'g': case 'G': case 'i': case 'I': case 'j': case 'J': case 'k':
        case 'l': case 'L': case 'M': case 'n': case 'N': case 'O': case 'p': case 'q': case 'R': case 's':
        case 'S': case 'v': case 'V': case 'Z':
            return true;
        default:
            return false;
    }
}

// Where the value of the option whose '-' is at `dash` starts, when it is
// one that carries user:password: -u or -U closing a bundle of flags (the
// value attached, or after blanks), --user or --proxy-user (after '=' or
// blanks). `line_end` for any other option.
template <class Unit>
size_t curl_user_value(const Text<Unit>& x, size_t dash, size_t line_end) {
    const size_t bundle_end = x.run_of(dash + 1, curl_flag);  // flags are no line break
    if (bundle_end < line_end && (x[bundle_end] == 'u' || x[bundle_end] == 'U')) return x.run_of(bundle_end + 1, blank);
    size_t after;
    if (x.has(dash + 1, "-user", 5)) {
        after = dash + 6;
    } else if (x.has(dash + 1, "-proxy-user", 11)) {
        after = dash + 12;
    } else {
        return line_end;
    }
    if (after < line_end && x[after] == '=') return after + 1;
    if (after < line_end && blank(x[after])) return x.run_of(after, blank);
    return line_end;
}

// An option's value on a curl line: [begin, end), and where reading goes on.
struct CurlValue {
    size_t begin, end, next;
};

// The value that starts at `value`: 'quoted' or "quoted" to the closing
// quote or the line's end, or a run to the next blank. False for none.
template <class Unit>
bool curl_value(const Text<Unit>& x, size_t value, size_t line_end, CurlValue* v) {
    if (value >= line_end || blank(x[value])) return false;
    if (quote(x[value])) {
        const uint32_t q = x[value];
        v->begin = value + 1;
        v->end = v->begin;
        while (v->end < line_end && x[v->end] != q) v->end++;
        v->next = v->end < line_end ? v->end + 1 : v->end;
    } else {
        v->begin = value;
        v->end = x.run_of(value, [](uint32_t c) { return !blank(c) && !is_line_break(c); });
        v->next = v->end;
    }
    return true;
}

// curl's options that carry user:password, on the rest of curl's line.
template <class Unit>
[[gnu::noinline]] bool check_curl(const Text<Unit>& x, size_t pos, FormatScan& scan, SpanList& out) {
    if (pos < scan.curl_read || !x.has(pos, "curl", 4) || x.word_at(pos + 4)) return true;
    const size_t line_end = x.run_of(pos + 4, [](uint32_t c) { return !is_line_break(c); });
    scan.curl_read = line_end;
    for (size_t i = pos + 4; i + 1 < line_end;) {
        CurlValue v;
        if (!blank(x[i]) || x[i + 1] != '-' || !curl_value(x, curl_user_value(x, i + 1, line_end), line_end, &v)) {
            i++;
            continue;
        }
        for (size_t c = v.begin; c < v.end; c++) {
            if (x[c] == ':') {
                if (!push(out, c + 1, v.end, kAuthorization)) return false;
                break;
            }
        }
        i = v.next;
    }
    return true;
}

// What may follow the first word of an API key's name: [-_]?key|token, or
// client's [-_]?secret.
inline bool joins_key_or_token(uint32_t c) {
    const uint32_t l = ascii_lower(c);
    return l == 'k' || l == 't' || c == '-' || c == '_';
}
inline bool joins_secret(uint32_t c) { return ascii_lower(c) == 's' || c == '-' || c == '_'; }

// The common phrases inline in the candidate's checks, the rare shapes apart.
template <class Unit>
[[gnu::always_inline]] inline bool check_authorization(const Text<Unit>& x, size_t pos, FormatScan& scan, SpanList& out) {
    switch (ascii_lower(x[pos])) {
        case 't':
            // "token", or the t of "client" before [-_]?secret.
            if (pos + 1 < x.n && ascii_lower(x[pos + 1]) != 'o') {
                return !joins_secret(x[pos + 1]) || check_api_key(x, pos, scan, out);
            }
            return x.word_before(pos) || check_scheme(x, pos, out);
        case 'b':
            return x.word_before(pos) || check_scheme(x, pos, out);
        case 'i':
        case 'h':
        case 's':
            // The candidate filter's false positives at these common
            // letters end here, before the out-of-line check.
            return pos + 1 >= x.n || !joins_key_or_token(x[pos + 1]) || check_api_key(x, pos, scan, out);
        case 'd':
            return x.word_before(pos) || check_digest(x, pos, scan, out);
        default:  // 'c'
            return x.word_before(pos) || check_curl(x, pos, scan, out);
    }
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
    // Tokens start with a word character, and none may have one just
    // before it (the authorization phrases look before them themselves).
    constexpr uint32_t kAfterNonWord = kAws | kGithub | kGitlab | kSlack | kStripe | kGoogle | kJwt;
    if ((formats & kAfterNonWord) && x.word_before(pos)) formats &= ~kAfterNonWord;
    if ((formats & kAws) && !check_aws(x, pos, out)) return false;
    if ((formats & kGoogle) && !check_google(x, pos, scan, out)) return false;
    if ((formats & kGithub) && !check_github(x, pos, out)) return false;
    if ((formats & kGitlab) && !check_gitlab(x, pos, scan, out)) return false;
    if ((formats & kSlack) && !check_slack(x, pos, scan, out)) return false;
    if ((formats & kStripe) && !check_stripe(x, pos, out)) return false;
    if ((formats & kJwt) && !check_jwt(x, pos, scan, out)) return false;
    if ((formats & kPrivateKey) && !check_private_key(x, pos, scan, out)) return false;
    if ((formats & kUrlCredentials) &&
        !(x[pos] == '%' ? check_encoded_url(x, pos, out) : check_url(x, pos, scan, out))) {
        return false;
    }
    if ((formats & kAuthorization) && !check_authorization(x, pos, scan, out)) return false;
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
