"""The vector paths against the scalar path on long texts: generated texts
of many vectors' worth, with special bytes at every distance from a 64-byte
edge, texts that end inside a string, and texts that are views of larger
memory (nothing past a text's end may be read), read on each path as on the
scalar path (the reference) and as Python's json reads them."""

import json

import pytest
from hypothesis import given, settings, strategies as st

import velmora.scan as vscan
from velmora.omit import Omitter
from velmora.scan import ScanError, scan, scan_lines

PW = Omitter(["pw"])

# Pieces of string bodies: plain runs of every length around 64 bytes, and
# what a body stops at (quotes, escapes, control bytes, UTF-8, bad bytes).
PIECES = st.one_of(
    st.integers(0, 130).map(lambda n: b"x" * n),
    st.sampled_from([b"\\\"", b"\\\\", b"\\n", b"\\u00e9", b"\\ud83d\\ude00", b"\\u12", b"\\q",
                     "é".encode(), "\U0001f600".encode(), b"\x01", b"\x7f", b"\xff", b"\xc3", b'"']),
)
BODY = st.lists(PIECES, max_size=6).map(b"".join)
KEY = st.sampled_from([b"pw", b"a", b"k" * 70, b"p\\u0077"])
SEP = st.sampled_from([(b",", b":"), (b", ", b": "), (b",\n  ", b" : ")])


@st.composite
def long_text(draw):
    """An object or array of strings: mostly valid, some bodies broken."""
    comma, colon = draw(SEP)
    members = draw(st.lists(st.tuples(KEY, BODY), min_size=1, max_size=12))
    if draw(st.booleans()):
        text = b"{" + comma.join(b'"' + k + b'"' + colon + b'"' + v + b'"' for k, v in members) + b"}"
    else:
        text = b"[" + comma.join(b'"' + v + b'"' for _, v in members) + b"]"
    cut = draw(st.sampled_from([None, None, "cut", "pad"]))
    if cut == "cut":  # ends anywhere: inside a string, a key, between tokens
        text = text[:draw(st.integers(0, len(text)))]
    elif cut == "pad":
        text = b" " * draw(st.integers(0, 70)) + text
    return text


def outcome(call):
    try:
        return "ok", call()
    except ScanError as exc:
        return "error", (exc.msg, exc.pos, exc.lineno, exc.colno)


def on_every_path(call):
    """The outcome of `call()` on the scalar path, which each path matches."""
    previous = vscan._set_path("scalar")
    try:
        outcomes = {}
        for path in vscan._paths():
            vscan._set_path(path)
            outcomes[path] = outcome(call)
    finally:
        vscan._set_path(previous)
    for path, got in outcomes.items():
        assert got == outcomes["scalar"], (path, got, outcomes["scalar"])
    return outcomes["scalar"]


def masked(value):
    if isinstance(value, dict):
        return {k: "*" * len(v) if k == "pw" and isinstance(v, str) else masked(v) for k, v in value.items()}
    if isinstance(value, list):
        return [masked(v) for v in value]
    return value


def json_reading(data):
    try:
        return json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError):
        return ScanError


@settings(max_examples=300, deadline=None)
@given(long_text())
def test_long_texts_read_alike_on_every_path_and_as_json_reads_them(data):
    kind, got = on_every_path(lambda: scan(PW, data))
    expected = json_reading(data)
    if expected is ScanError:
        assert kind == "error", (data, got)
    else:
        assert kind == "ok", (data, got)
        assert json.loads(got) == masked(expected)


@settings(max_examples=150, deadline=None)
@given(st.lists(long_text(), min_size=1, max_size=6), st.sampled_from([b"\n", b"\r\n"]))
def test_lines_read_alike_on_every_path(lines, ending):
    # Bytes a path read ahead in one line never answer for the next one: a line
    # that ends inside a string is followed by lines with quotes.
    data = ending.join(line.replace(b"\n", b" ") for line in lines) + ending
    def read():
        out, errors, count = scan_lines(PW, data, skip_invalid=True)
        return out, [(e.msg, e.pos, e.lineno, e.colno) for e in errors], count

    kind, (out, errors, count) = on_every_path(read)
    assert kind == "ok"
    bad = {lineno for _, _, lineno, _ in errors}
    kept = [line for i, line in enumerate(data.split(b"\n")[:-1], 1) if i not in bad]
    for number, line in enumerate(data.split(b"\n")[:-1], 1):
        expected = json_reading(line) if line.strip() else None
        assert (number in bad) == (expected is ScanError), line
    assert len(out.split(b"\n")) - 1 == len(kept) and count == len(data.split(b"\n")) - 1


@pytest.mark.parametrize("tail", [b'"', b'\\"', b"\x01", b"\xc3\xa9", b"\xff", b""])
@pytest.mark.parametrize("lead", [0, 1, 31, 32, 63, 64, 65, 127])
def test_the_stop_at_every_place_around_the_vectors(lead, tail):
    # A string starting `lead` bytes in, whose stop sits at every distance
    # from where a vector starts, the text ending just after it or later.
    for length in range(0, 140, 7):
        body = b"y" * length + tail
        for text in (b" " * lead + b'["' + body + b'"]', b" " * lead + b'{"pw": "' + body + b'"}',
                     b" " * lead + b'["' + body):
            kind, got = on_every_path(lambda: scan(PW, text))
            expected = json_reading(text)
            assert (kind == "error") == (expected is ScanError), (text, got)
            if kind == "ok":
                assert json.loads(got) == masked(expected)


@pytest.mark.parametrize("follower", [b'["y"]', b'"', b"{}", b'{"pw": "\\u00e9"}'])
def test_a_line_that_ends_inside_a_string_reads_nothing_of_the_next(follower):
    # What follows a line's end (its line break, the next line's quotes)
    # lies in the same memory: a stop found there is not this line's.
    for length in range(0, 140, 3):
        for first in (b'["' + b"x" * length, b'{"pw": "' + b"x" * length, b'{"' + b"k" * length):
            data = first + b"\n" + follower + b"\n" + first + b"\n"
            kind, got = on_every_path(lambda: [(e.msg, e.pos) for e in scan_lines(PW, data, skip_invalid=True)[1]])
            quote = first.rindex(b'"')
            third = len(first) + len(follower) + 2
            assert kind == "ok" and got[0] == ("Unterminated string starting at", quote), (data, got)
            assert got[-1] == ("Unterminated string starting at", third + quote), (data, got)


@pytest.mark.parametrize("inside", [b'["', b'{"pw": "', b'{"'])
def test_a_text_cut_from_larger_memory_reads_nothing_past_its_end(inside):
    # The text is a view that ends inside a string; the memory after it
    # holds the string's closing quote and more.
    for length in range(0, 140, 3):
        full = inside + b"x" * length + b'"' * 70
        for cut in (len(inside) + length, len(inside) + length - 1):
            view = memoryview(full)[:max(cut, len(inside))]
            kind, got = on_every_path(lambda: scan(PW, view))
            assert kind == "error" and got[:2] == ("Unterminated string starting at", len(inside) - 1), (cut, got)
