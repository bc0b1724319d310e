"""A plain-Python twin of velmora.detect: the same formats and values, found
with `re` and `str.find` the slow and obvious way. The differential tests
(test_detect_property.py) hold the module to it.

Every match is looked for at every place it may start (overlapping ones
too), then the spans are merged: overlapping and touching ones become one.
"""

import re

# Tokens: no word character just before them, and none just after.
_LB = r"(?<![A-Za-z0-9_])"
_RB = r"(?![A-Za-z0-9_])"

_TOKENS = {
    "aws": _LB + r"(?:AKIA|ASIA)[A-Z0-9]{16}" + _RB,
    "github": _LB + r"(?:gh[pousr]_[A-Za-z0-9]{36,}+|github_pat_[A-Za-z0-9_]{22,}+)" + _RB,
    "gitlab": _LB + r"glpat-[A-Za-z0-9_-]{20,}+" + _RB,
    "slack": _LB + r"xox[abposr]-[A-Za-z0-9-]{10,}+" + _RB,
    "stripe": _LB + r"(?:sk|rk)_(?:live|test)_[A-Za-z0-9]{16,}+" + _RB,
    "google": _LB + r"AIza[A-Za-z0-9_-]{35}(?![A-Za-z0-9_-])",
    "jwt": _LB + r"eyJ[A-Za-z0-9_-]*+\.eyJ[A-Za-z0-9_-]*+\.[A-Za-z0-9_-]*+",
}
_TOKENS = {name: re.compile(pattern) for name, pattern in _TOKENS.items()}

_BEGIN = re.compile(r"-----BEGIN (?:[A-Z0-9]+ )*PRIVATE KEY-----")
_END = re.compile(r"-----END (?:[A-Z0-9]+ )*PRIVATE KEY-----")
_SCHEME = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+.-")
_AUTHORITY = re.compile(r"[^\x00-\x20\x7f/?#\"'<>`]*")
_AUTHORITY_STOP = re.compile(r"[\x00-\x20\x7f/?#\"'<>`]")
_LONG_PASSWORD_STOP = re.compile(r"[\x00-\x1f\x7f\"'<>`]")  # an authority's stops but space / ? #
_PORT = re.compile(r"([0-9]+)(?:,|\Z)")
_ALNUM = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")


def _escape_of(chars):
    """A pattern for the percent escapes (%XX, either case) of `chars`."""
    return "%(?:" + "|".join("".join(f"[{h.upper()}{h.lower()}]" if h.isalpha() else h for h in f"{ord(c):02x}")
                             for c in sorted(chars)) + ")"


_TOKEN68_CHARS = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._~+/-")
# A credential's character: a token68 one but '=', or the escape of one of
# them or of '%'; its padding: '=' or %3D.
_CREDENTIAL_CHAR = "(?:[A-Za-z0-9._~+/-]|" + _escape_of(_TOKEN68_CHARS | {"%"}) + ")"
_PADDING = "(?:=|%3[Dd])"
_CREDENTIAL = f"({_CREDENTIAL_CHAR}++{_PADDING}*+)(?![A-Za-z0-9._~+/=-]|{_CREDENTIAL_CHAR})"
# After a name, a value runs to its end, '=' inside it or not.
_VALUE = f"({_CREDENTIAL_CHAR}(?:{_CREDENTIAL_CHAR}|{_PADDING})*+)"
_AUTH = re.compile(r"(?<![A-Za-z0-9_])(?:bearer|basic|token)[ \t]++" + _CREDENTIAL, re.I | re.A)
# No letter or digit before the name, but the last of a percent escape.
_API_KEY = re.compile(r"(?:(?<![A-Za-z0-9])|(?<=%[0-9A-Fa-f]{2}))"
                      r"(?:(?:api|auth|oauth|access|refresh)[-_]?(?:key|token)|client[-_]?secret)s?"
                      r"[\"']?[ \t]*+(?:[:=]|%3[AaDd])[ \t]*+[\"']?" + _VALUE, re.I | re.A)
_ESCAPE = re.compile("%[0-9A-Fa-f]{2}")
_DIGEST = re.compile(r"(?<![A-Za-z0-9_])digest[ \t]++", re.I | re.A)
_DIGEST_PARAMETER = re.compile(r'([A-Za-z0-9_-]++)=(?:"((?:\\[^\r\n]|[^"\r\n])*+)"?|([^\x00-\x20\x7f,"]*+))')
_DIGEST_SEPARATOR = re.compile(r"[ ,\t]++")
_CURL = re.compile(r"(?<![A-Za-z0-9_])curl(?![A-Za-z0-9_])")
# A short option may close a bundle of curl's options that take no value.
_CURL_OPTION = re.compile(r"[ \t](?:-[0-46#:aBfgGiIjJklLMnNOpqRsSvVZ]*+[uU][ \t]*+|--(?:proxy-)?user(?:=|[ \t]++))"
                          r"(?:'([^'\r\n]*+)'?|\"([^\"\r\n]*+)\"?|([^ \t\r\n]++))")
_CARD_RUN = re.compile(r"(?<![A-Za-z0-9_])(?<![0-9][ -])[0-9](?:[ -]?[0-9])*+(?![A-Za-z0-9_])")
_GROUP = re.compile(r"[0-9]+")

FORMATS = ("aws", "github", "gitlab", "slack", "stripe", "google", "jwt", "private-key",
           "url-credentials", "authorization", "card")
DEFAULT_FORMATS = FORMATS[:-1]


def _everywhere(pattern, text):
    """Every match of `pattern`, one per place it matches from."""
    return [(m.start(1), m.end(1)) for m in re.finditer(f"(?=({pattern.pattern}))", text, pattern.flags)]


def _lines(begin, end, text):
    """[begin, end) cut at line breaks, which are left out."""
    spans, piece = [], begin
    for i in range(begin, end):
        if text[i] in "\r\n":
            spans.append((piece, i))
            piece = i + 1
    spans.append((piece, end))
    return spans


def private_key(text, in_block=False):
    """The spans of private key blocks, and whether one is open at the end."""
    starts = [(0, 0)] if in_block else []
    starts += _everywhere(_BEGIN, text)
    spans, open_at_end = [], False
    for begin, search_from in starts:
        end = _END.search(text, search_from)
        open_at_end = open_at_end or end is None
        spans += _lines(begin, end.end() if end else len(text), text)
    return spans, open_at_end


def _scheme_before(text, k):
    j = k
    while j > 0 and text[j - 1] in _SCHEME:
        j -= 1
    return any(c.isascii() and c.isalpha() for c in text[j:k])


def url_credentials(text):
    spans = []
    k = text.find("://")
    while k >= 0:
        if _scheme_before(text, k):
            spans += _url_password(text, k + 3)
        k = text.find("://", k + 1)
    for m in re.finditer("%3a%2f%2f", text, re.I):
        if _scheme_before(text, m.start()):
            spans += _encoded_url_password(text, m.end())
    return spans


# A URL encoded once more: its authority is a run of unreserved characters
# and escapes of what no plain authority ends at.
_ENCODED_AUTHORITY = re.compile("(?:[A-Za-z0-9._~-]|" + _escape_of(
    {chr(c) for c in range(256)} - set(map(chr, range(0x21))) - set("\x7f/?#\"'<>`")) + ")*")


def _encoded_url_password(text, start):
    authority = _ENCODED_AUTHORITY.match(text, start).group().lower()
    colon, at = authority.find("%3a"), authority.rfind("%40")
    return [(start + colon + 3, start + at)] if 0 <= colon and colon + 3 < at else []


def _url_password(text, start):
    authority = _AUTHORITY.match(text, start).group()
    end = start + len(authority)
    colon, at = authority.find(":"), authority.rfind("@")
    if colon < 0:
        return []
    if at >= 0:
        return [(start + colon + 1, start + at)] if colon + 1 < at else []
    # No '@' in the authority: it may have stopped inside the password.
    port = _PORT.match(authority, colon + 1)
    number = port.group(1).lstrip("0") if port else ""
    if "[" in authority or (port and len(number) <= 5 and int(number or "0") <= 65535):  # a port's value
        return []
    colon += start
    stop = _LONG_PASSWORD_STOP.search(text, end)
    limit = stop.start() if stop else len(text)
    url = text.find("://", colon)
    if 0 <= url < limit:
        limit = url
    first = text.find("@", end, limit)
    if first < 0:
        return []
    stop = _AUTHORITY_STOP.search(text, first)
    last = text.rfind("@", first, stop.start() if stop else len(text))
    if last + 1 < len(text) and text[last + 1] in _ALNUM and text[last - 1] != "/":
        return [(colon + 1, last)]
    return []


def _credentials(pattern, text):
    """The credentials of `pattern` (its group) that read as no word of
    prose; a phrase may stand at the end of another's credential, so look
    from every place."""
    found = re.finditer(f"(?={pattern.pattern})", text, pattern.flags)
    # An escape is one character of 8, and telling.
    return [m.span(1) for m in found if len(_ESCAPE.sub("%", m.group(1))) >= 8
            and (re.search("[0-9+/=%]", m.group(1)) or re.search("[A-Z]", m.group(1)[1:]))
            and not (re.fullmatch("[A-Za-z]+", m.group(1))
                     and (len(m.group(1)) < 16 or len(re.findall("[A-Z]", m.group(1)[1:])) < 3))]


def digest(text):
    """The values of response and password in Digest parameters."""
    spans, covered = [], 0
    for m in _DIGEST.finditer(text):
        if m.start() < covered:  # inside an earlier one's parameters
            continue
        at = m.end()
        while p := _DIGEST_PARAMETER.match(text, at):
            value = 2 if p.group(2) is not None else 3
            if p.group(1).lower() in ("response", "password") and p.start(value) < p.end(value):
                spans.append(p.span(value))
            covered = p.end()
            separator = _DIGEST_SEPARATOR.match(text, p.end())
            if not separator:
                break
            at = separator.end()
    return spans


def curl(text):
    """What follows the first ':' of each -u, -U, --user, --proxy-user
    value on the rest of the line of the first curl in it."""
    spans, read = [], 0
    for m in _CURL.finditer(text):
        if m.start() < read:
            continue
        breaks = [b for b in (text.find("\n", m.end()), text.find("\r", m.end())) if b >= 0]
        read = min(breaks, default=len(text))
        for option in _CURL_OPTION.finditer(text, m.end(), read):
            value = next(g for g in (1, 2, 3) if option.group(g) is not None)
            colon = option.group(value).find(":")
            if colon >= 0:
                spans.append((option.start(value) + colon + 1, option.end(value)))
    return [(b, e) for b, e in spans if b < e]


def authorization(text):
    return _credentials(_AUTH, text) + _credentials(_API_KEY, text) + digest(text) + curl(text)


def luhn(digits):
    total = 0
    for i, d in enumerate(reversed(digits)):
        d = int(d)
        if i % 2:
            d = d * 2 - 9 if d > 4 else d * 2
        total += d
    return total % 10 == 0


def card(text):
    spans = []
    for m in _CARD_RUN.finditer(text):
        digits = re.sub("[ -]", "", m.group())
        if 13 <= len(digits) <= 19 and luhn(digits):
            spans.append(m.span())
        if len(digits) != len(m.group()):
            spans += [(m.start() + g.start(), m.start() + g.end()) for g in _GROUP.finditer(m.group())
                      if 13 <= len(g.group()) <= 19 and luhn(g.group())]
    return spans


def pieces(value, min_length, never_mask):
    """What a registered value is matched as: its lines that qualify."""
    found = [p for p in re.split("[\r\n]", value) if len(p) >= min_length and p.casefold() not in never_mask]
    return found


def values_spans(text, pieces_):
    spans = []
    for piece in pieces_:
        k = text.find(piece)
        while k >= 0:
            spans.append((k, k + len(piece)))
            k = text.find(piece, k + 1)
    return spans


def merge(tagged):
    """Sort (begin, end, kind) triples and merge overlapping or touching
    ones; each result carries the sorted set of its kinds."""
    out = []
    for begin, end, kind in sorted(tagged):
        if begin >= end:
            continue
        if out and begin <= out[-1][1]:
            last = out[-1]
            out[-1] = [last[0], max(last[1], end), last[2] | {kind}]
        else:
            out.append([begin, end, {kind}])
    order = {name: i for i, name in enumerate(FORMATS + ("value",))}
    return [(b, e, tuple(sorted(k, key=order.__getitem__))) for b, e, k in out]


def find(text, formats=DEFAULT_FORMATS, pieces_=(), in_block=False):
    """The merged spans of `text` as (begin, end, kinds), and whether a
    private key block is open at its end."""
    tagged = []
    for name in formats:
        if name in _TOKENS:
            found = _everywhere(_TOKENS[name], text)
        elif name == "url-credentials":
            found = url_credentials(text)
        elif name == "authorization":
            found = authorization(text)
        elif name == "card":
            found = card(text)
        else:
            continue
        tagged += [(b, e, name) for b, e in found]
    open_at_end = False
    if "private-key" in formats:
        found, open_at_end = private_key(text, in_block)
        tagged += [(b, e, "private-key") for b, e in found]
    tagged += [(b, e, "value") for b, e in values_spans(text, pieces_)]
    return merge(tagged), open_at_end


def mask(text, spans, mask_text=None, keep_last=None):
    """`text` with each span replaced as the policy says."""
    out, at = [], 0
    for begin, end, kinds in spans:
        out.append(text[at:begin])
        span = text[begin:end]
        if mask_text is not None:
            out.append(mask_text)
        elif keep_last and len(span) > keep_last and "private-key" not in kinds:
            out.append("*" * (len(span) - keep_last) + span[-keep_last:])
        else:
            out.append("*" * len(span))
        at = end
    out.append(text[at:])
    return "".join(out)


def byte_spans(text, spans):
    """Code point spans of `text` as offsets in its UTF-8 (surrogatepass)."""
    offsets = [0]
    for c in text:
        offsets.append(offsets[-1] + len(c.encode("utf-8", "surrogatepass")))
    return [(offsets[b], offsets[e], k) for b, e, k in spans]
