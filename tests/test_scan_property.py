"""velmora.scan against the object walk, on generated JSON text.

The text is generated token by token with every spelling JSON allows
(escapes of all kinds, lone and paired surrogates, raw astral characters,
every number form, NaN/Infinity, white space of all four kinds, duplicate
keys), so the properties below cover what a parser would normalise away.
"""

import json
import re

from hypothesis import given, settings, strategies as st

from model import same_json, walk_document
import velmora.scan as vscan
from velmora.omit import NoTrustOmitter, Omitter
from velmora.scan import scan as scan_on_one_path
from velmora.scan import scan_lines as scan_lines_on_one_path


def on_every_path(function):
    """`function` run on each vector path in turn: all give the same result
    (or raise the same), which is returned (or raised)."""
    def call(*args, **kwargs):
        outcomes = []
        previous = vscan._set_path("scalar")
        try:
            for path in vscan._paths():
                vscan._set_path(path)
                try:
                    outcomes.append((True, function(*args, **kwargs)))
                except ValueError as exc:
                    outcomes.append((False, exc))
        finally:
            vscan._set_path(previous)
        assert all(repr(o) == repr(outcomes[0]) for o in outcomes), outcomes
        if not outcomes[0][0]:
            raise outcomes[0][1]
        return outcomes[0][1]
    return call


scan = on_every_path(scan_on_one_path)
scan_lines = on_every_path(scan_lines_on_one_path)

KEYS = ["a", "b", "pw", "é", "\U0001f600", "", "k\"q", "\ud800"]
SPACE = st.sampled_from(["", "", "", " ", "  ", "\t", "\n", "\r\n", "\r"])
LINE_SPACE = st.sampled_from(["", "", " ", "\t"])


def _escaped(c):
    named = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}
    if c in named:
        return named[c]
    if ord(c) > 0xFFFF:  # as an escaped surrogate pair
        v = ord(c) - 0x10000
        return f"\\u{0xD800 + (v >> 10):04x}\\u{0xDC00 + (v & 0x3FF):04X}"
    return f"\\u{ord(c):04x}"


@st.composite
def json_string(draw, text=None):
    """A string token: (token text, decoded value)."""
    if text is None:
        text = draw(st.text(st.characters(codec="utf-16", exclude_categories=()), max_size=8) |
                    st.sampled_from(KEYS))
    pieces = []
    for c in text:
        must = c in '"\\' or ord(c) < 0x20 or 0xD800 <= ord(c) <= 0xDFFF
        if must or draw(st.integers(0, 5)) == 0:
            pieces.append("\\/" if c == "/" and draw(st.booleans()) else _escaped(c))
        else:
            pieces.append(c)
    return '"' + "".join(pieces) + '"'


NUMBERS = st.one_of(
    st.integers(-10**30, 10**30).map(str),
    st.sampled_from(["0", "-0", "1.5", "-0.0", "1e5", "1E5", "1e+5", "1.5e-7", "1E400", "-1e400", "2.5E-08",
                     "NaN", "Infinity", "-Infinity", "123456789012345678901234567890.5e-3"]),
    st.floats(allow_nan=False, allow_infinity=False).map(repr).filter(lambda s: "inf" not in s),
)


def json_text(space=SPACE):
    scalar = st.one_of(NUMBERS, st.sampled_from(["true", "false", "null"]), json_string())

    def containers(children):
        @st.composite
        def make_object(draw):
            members = draw(st.lists(st.tuples(json_string(text=draw(st.sampled_from(KEYS))), children,
                                              space, space, space, space), max_size=5))
            body = ",".join(f"{s1}{k}{s2}:{s3}{v}{s4}" for k, v, s1, s2, s3, s4 in members)
            return "{" + (body or draw(space)) + "}"

        @st.composite
        def make_array(draw):
            items = draw(st.lists(st.tuples(children, space, space), max_size=5))
            return "[" + (",".join(f"{s1}{v}{s2}" for v, s1, s2 in items) or draw(space)) + "]"

        return make_object() | make_array()

    return st.tuples(space, st.recursive(scalar, containers, max_leaves=25), space).map("".join)


def omitter_of(kind, keys):
    return Omitter(list(keys)) if kind == "omitter" else NoTrustOmitter(list(keys))


STRING = re.compile(rb'"(?:[^"\\]|\\.)*"', re.S)


def check_only_strings_changed(before, after):
    """Outside string tokens the bytes are the same; keys are never
    touched; a changed string is a run of stars."""
    assert STRING.sub(b'""', before) == STRING.sub(b'""', after)
    old, new = list(STRING.finditer(before)), list(STRING.finditer(after))
    assert len(old) == len(new)
    for o, n in zip(old, new):
        if o.group() != n.group():
            assert re.fullmatch(rb'"\**"', n.group()), n.group()
            follows = before[o.end():].lstrip(b" \t\r\n")[:1]
            assert follows != b":", "a key was masked"


KINDS = st.sampled_from(["omitter", "no_trust"])
KEY_SETS = st.lists(st.sampled_from(KEYS), max_size=4)


@settings(max_examples=400, deadline=None)
@given(json_text(), KINDS, KEY_SETS)
def test_scan_agrees_with_the_walk_and_changes_only_strings(text, kind, keys):
    data = text.encode("utf-8")
    omitter = omitter_of(kind, keys)
    out = scan(omitter, data)
    assert same_json(json.loads(out), walk_document(omitter, json.loads(text)))
    check_only_strings_changed(data, out)
    assert scan(Omitter([]), data) == data  # hiding nothing is the identity
    # Laid out anew, it is the same data.
    for layout in ({"indent": 2}, {"indent": 0}, {"compact": True}):
        assert same_json(json.loads(scan(omitter, data, **layout)), json.loads(out))


@settings(max_examples=100, deadline=None)
@given(st.lists(json_text(LINE_SPACE) | LINE_SPACE, max_size=6), st.sampled_from([b"\n", b"\r\n"]), KINDS,
       KEY_SETS)
def test_lines_are_documents_joined(lines, ending, kind, keys):
    omitter = omitter_of(kind, keys)
    encoded = [line.encode("utf-8") for line in lines]
    data = ending.join(encoded)
    out, errors, count = scan_lines(omitter, data)
    assert errors == [] and count == len(encoded) - (encoded[-1:] == [b""])
    # The scanner is byte-faithful, so a line scanned alone (without its line
    # break) is what the line becomes in the stream.
    assert out == ending.join(scan(omitter, line) if line.strip() else line for line in encoded)
    assert scan_lines(omitter, data, skip_invalid=True) == (out, [], count)


JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False) | st.text(max_size=5),
    lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=3), children, max_size=4),
    max_leaves=20)


@settings(max_examples=200, deadline=None)
@given(JSON_VALUES, st.integers(0, 4))
def test_layout_is_the_one_json_dumps_writes(value, indent):
    text = json.dumps(value).encode()
    assert scan(Omitter([]), text, indent=indent) == json.dumps(value, indent=indent).encode()
    assert scan(Omitter([]), text, compact=True) == json.dumps(value, separators=(",", ":")).encode()


# ---- Key rules and mask policies: the text scanner, the in-place walk and the
# copy-on-write walk give the same verdicts and masks. --------------------------

from velmora.redact import redacted  # noqa: E402
from velmora.rules import RuleNoTrustOmitter, RuleOmitter  # noqa: E402

RULES = st.fixed_dictionaries({
    "ignore_case": st.booleans(),
    "contains": st.lists(st.sampled_from(["P", "w", "é", "SS", "😀", "k\""]), max_size=2),
    "patterns": st.lists(st.sampled_from([r"^a", r"(?i)PW", r"é$", r"\d", r"^$", "[\ud800-\udfff]"]), max_size=2),
    "defaults": st.booleans(),
    "mask": st.sampled_from([None, "[x]", "", "é\"\\"]),
    "keep_last": st.sampled_from([None, None, 1, 3]),
    "whole": st.booleans(),
}).filter(lambda r: r["keep_last"] is None or (r["mask"] is None and not r["whole"]))
RULE_KEYS = st.lists(st.sampled_from(KEYS + ["A", "PW", "Ss", "ß"]), max_size=3)


@settings(max_examples=300, deadline=None)
@given(json_text(), st.sampled_from([RuleOmitter, RuleNoTrustOmitter]), RULE_KEYS, RULES)
def test_rules_agree_in_the_scanner_and_both_walks(text, kind, keys, rules):
    omitter = kind(keys, **rules)
    expected = walk_document(omitter, json.loads(text))
    assert same_json(json.loads(scan(omitter, text.encode("utf-8"))), expected)
    value = json.loads(text)
    if type(value) in (dict, list):
        copy_on_write = redacted(omitter, value, isinstance(omitter, NoTrustOmitter)) if type(value) is list else \
            redacted(omitter, value)
        assert same_json(copy_on_write, expected)
