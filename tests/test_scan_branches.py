"""The scanner's hot loop on the token sequences it decides by one byte:
what a value starts with, a comma or a closing bracket after it, one space
or none (or other white space) around commas and colons, told and untold
keys. Generated texts, some of them broken at one place, are read on each
vector path alike, as Python's json reads them, and the same faults at the
same places; masks fall only on the values of told keys."""

import json

from hypothesis import assume, given, settings
from hypothesis import strategies as st
from model import same_json, walk_document

import velmora.scan as vscan
from velmora.omit import NoTrustOmitter, Omitter
from velmora.scan import ScanError, scan, scan_lines

# Told keys and untold keys of the same length and the same first and last
# bytes, so that the scanner's filter of told keys cannot tell them apart.
TOLD = ["pw", "token", "api_key"]
UNTOLD = ["px", "pz", "tk_en", "tonen", "a", "api_xey", "api_kay", "status", ""]
KEYS = st.sampled_from(TOLD + UNTOLD)
# The separators as logs write them: none, one space, and the rarer others.
GAP = st.sampled_from(["", "", " ", " ", "  ", "\t", "\n", " \n "])
SCALARS = st.sampled_from(["0", "-1", "2.5e3", "true", "false", "null", "NaN", "-Infinity", '""', '"v"',
                           '"a\\"b"', '"\\u00e9t\\u00e9"', '"caf\u00e9"'])


def json_text():
    def containers(children):
        @st.composite
        def make_object(draw):
            members = draw(st.lists(st.tuples(KEYS, children, GAP, GAP, GAP, GAP), max_size=6))
            body = ",".join(f'{a}"{k}"{b}:{c}{v}{d}' for k, v, a, b, c, d in members)
            return "{" + (body or draw(GAP)) + "}"

        @st.composite
        def make_array(draw):
            items = draw(st.lists(st.tuples(children, GAP, GAP), max_size=6))
            return "[" + (",".join(f"{a}{v}{b}" for v, a, b in items) or draw(GAP)) + "]"

        return make_object() | make_array()

    return st.tuples(GAP, st.recursive(SCALARS, containers, max_leaves=30), GAP).map("".join)


# What a broken text has at one place instead: a byte the grammar tests for
# (a comma, a colon, a bracket, a quote, a space) added, dropped or swapped.
STRUCTURAL = [",", ":", "[", "]", "{", "}", '"', " ", "1", "t", "x"]


@st.composite
def broken_text(draw):
    text = draw(json_text())
    at = draw(st.integers(0, len(text)))
    edit = draw(st.sampled_from(["insert", "delete", "replace", "cut"]))
    byte = draw(st.sampled_from(STRUCTURAL))
    if edit == "insert":
        return text[:at] + byte + text[at:]
    if edit == "delete":
        return text[:at] + text[at + 1:]
    if edit == "replace":
        return text[:at] + byte + text[at + 1:]
    return text[:at]


def on_every_path(call):
    """The outcome of `call()` on the scalar path, which each path matches."""
    previous = vscan._set_path("scalar")
    outcomes = {}
    try:
        for path in vscan._paths():
            vscan._set_path(path)
            try:
                outcomes[path] = ("ok", call())
            except ScanError as exc:
                outcomes[path] = ("error", (exc.msg, exc.pos))
    finally:
        vscan._set_path(previous)
    for path, got in outcomes.items():
        assert got == outcomes["scalar"], (path, got, outcomes["scalar"])
    return outcomes["scalar"]


def json_fault(text):
    """Python's json's fault for `text` as the scanner names it, or None."""
    try:
        json.loads(text)
        return None
    except json.JSONDecodeError as exc:
        msg, pos = exc.msg, exc.pos
    # Python 3.13 names a trailing comma on its own; the scanner names it as
    # earlier versions do.
    assume(not msg.startswith("Illegal trailing comma"))
    # A text that ends too early is reported just after its last token.
    if pos == len(text) and text.strip() and not msg.startswith("Unterminated"):
        pos = len(text.rstrip(" \t\r\n"))
    return msg, pos


PW = Omitter(TOLD)


@settings(max_examples=500, deadline=None)
@given(json_text() | broken_text())
def test_texts_read_as_json_reads_them_on_every_path(text):
    data = text.encode("utf-8")
    kind, got = on_every_path(lambda: scan(PW, data))
    fault = json_fault(text)
    if fault is None:
        assert kind == "ok", (text, got)
        assert same_json(json.loads(got), walk_document(PW, json.loads(text)))
    else:
        assert kind == "error", (text, got)
        # Positions count characters in Python's json, bytes here: the
        # texts hold one two-byte character at most, before which both agree.
        if "\u00e9" not in text:
            assert got == fault, text


@settings(max_examples=200, deadline=None)
@given(json_text(), st.sampled_from([Omitter, NoTrustOmitter]), st.lists(KEYS, max_size=3))
def test_only_told_keys_hide_whatever_keys_stand_beside_them(text, kind, told):
    omitter = kind(told)
    kept, out = on_every_path(lambda: scan(omitter, text.encode("utf-8")))
    assert kept == "ok"
    assert same_json(json.loads(out), walk_document(omitter, json.loads(text)))


@settings(max_examples=100, deadline=None)
@given(st.lists(json_text() | broken_text(), min_size=1, max_size=5))
def test_lines_with_and_without_spaces_read_alike_on_every_path(lines):
    assume(all("\n" not in line for line in lines))
    data = "\n".join(lines).encode("utf-8")
    def read():
        out, errors, count = scan_lines(PW, data, skip_invalid=True)
        return out, [(e.msg, e.pos, e.lineno) for e in errors], count

    kind, (out, errors, count) = on_every_path(read)
    assert kind == "ok" and count == len(lines) - (lines[-1] == "")
    # A bad line is left out with its line break; a good one is what it
    # becomes scanned alone.
    expected, bad = [], []
    for number, line in enumerate(lines, 1):
        ending = b"\n" if number < len(lines) else b""
        if not line.strip():
            expected.append(line.encode("utf-8") + ending)
        elif json_fault(line) is None:
            expected.append(scan(PW, line.encode("utf-8")) + ending)
        else:
            bad.append(number)
    assert out == b"".join(expected)
    assert [lineno for _, _, lineno in errors] == bad
