"""The stars velmora.scan writes for a masked string: one per code point of
the decoded value, as Python counts them (a surrogate pair written as two
escapes is one code point, a lone escaped surrogate is one), for characters
of every UTF-8 length, every kind of escape, and runs of them that cross the
vector paths' 8-, 16- and 32-byte blocks, at any offset from the line's
start. Masked by a key rule and by JSON paths (under a plan the scanner
takes other ways to a masked string), with and without a run of text
before the string, on every vector path, through scan and scan_lines.
"""

import contextlib
import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velmora.scan as vscan
from velmora.rules import RuleOmitter

SETTINGS = settings(max_examples=300, derandomize=True, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

# Pieces of a string body as written in JSON text, and the characters each
# decodes to.
CHARS = {1: "aZ ~0", 2: "\u00e9\u0144\u07ff\u0080", 3: "\u4e2d\u0800\uffff\ue000", 4: "\U0001F600\U00010000\U0010FFFF"}
ESCAPES = ["\\n", "\\\"", "\\\\", "\\/", "\\b", "\\f", "\\r", "\\t", "\\u0041", "\\u00e9", "\\u4e2d",
           "\\ud83d\\ude00", "\\udbff\\udfff", "\\ud800", "\\udc00", "\\ud800x", "\\udc00\\ud800"]


@st.composite
def pieces(draw):
    kind = draw(st.sampled_from(["run", "char", "char", "escape"]))
    if kind == "run":  # a long plain run: ASCII, or one multi-byte character many times
        size = draw(st.sampled_from([1, 2, 3, 4]))
        return draw(st.sampled_from(CHARS[size])) * draw(st.integers(1, 70))
    if kind == "char":
        return draw(st.sampled_from(CHARS[draw(st.sampled_from([1, 2, 3, 4]))]))
    return draw(st.sampled_from(ESCAPES))


bodies = st.lists(pieces(), max_size=12).map("".join)


def masked(body):
    return '"' + "*" * len(json.loads('"' + body + '"')) + '"'


OMITTER = RuleOmitter(["k"], paths=["$.v", "$.a[0]", "$..m", "$.o.*"])
BARE = RuleOmitter(["k", "v"])


def text_of(pad, body, stars=None):
    """A line whose values under v, a[0], m, o.* and k are `body` (or, with
    `stars`, what masking it leaves), after a pad that moves it through
    the blocks."""
    s = stars if stars is not None else '"' + body + '"'
    b = '"' + body + '"'
    return (f'{{"p": "{"x" * pad}", "v": {s}, "a": [{s}, {b}], "n": {{"m": {s}}}, "o": {{"z": {s}}},'
            f'"k":{s},"q": {b}}}')


def bare_text_of(pad, body, stars=None):
    """The same for BARE, which has no plan: values under v and k."""
    s = stars if stars is not None else '"' + body + '"'
    return f'["{"y" * pad}", {{"v": {s}, "k": {s}}}]'


@contextlib.contextmanager
def forced(path):
    previous = vscan._set_path(path)
    try:
        yield
    finally:
        vscan._set_path(previous)


@pytest.mark.parametrize("omitter,layout", [(OMITTER, text_of), (BARE, bare_text_of)], ids=["plan", "no-plan"])
@pytest.mark.parametrize("path", vscan._paths())
@SETTINGS
@given(pad=st.integers(0, 40), body=bodies)
def test_stars_count_code_points(omitter, layout, path, pad, body):
    with forced(path):
        line = layout(pad, body).encode()
        want = layout(pad, body, masked(body)).encode()
        assert vscan.scan(omitter, line) == want
        # The same through scan_lines, after a line that leaves a run pending.
        lines = b'{"w": 1}\n' + line + b"\n" + line
        assert vscan.scan_lines(omitter, lines)[0] == b'{"w": 1}\n' + want + b"\n" + want


@pytest.mark.parametrize("path", vscan._paths())
@pytest.mark.parametrize("size", [1, 2, 3, 4])
@pytest.mark.parametrize("length", [0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 200])
def test_stars_for_runs_of_one_length(path, size, length):
    # Runs of one character over every block edge, each the body alone.
    with forced(path):
        for char in CHARS[size]:
            body = char * length
            for pad in range(0, 33, 3):
                assert vscan.scan(OMITTER, text_of(pad, body).encode()) == text_of(pad, body, masked(body)).encode()
