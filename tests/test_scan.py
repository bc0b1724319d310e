"""velmora.scan: byte fidelity on a corpus of tricky text, faults named as
Python's json names them, the top-level rule, omitters it refuses, threads,
depth, and leaks."""

import json
import sys
import threading

import pytest

from conftest import assert_no_leak, assert_runs_clean
import velmora.scan as vscan
from velmora.omit import NoTrustOmitter, Omitter
from velmora.scan import ScanError, scan, scan_lines


@pytest.fixture(autouse=True, params=vscan._paths())
def scan_path(request, monkeypatch):
    """Every test here runs on each vector path (subprocesses too)."""
    monkeypatch.setenv("VELMORA_SCAN_PATH", request.param)
    previous = vscan._set_path(request.param)
    yield request.param
    vscan._set_path(previous)

PW = Omitter(["pw", "k"])

# (input, what the pw/k omitter makes of it): everything but the masked
# strings passes through as it was written.
CORPUS = [
    (b'{"n": [0, -0, 1e400, 1E5, 1.5e-7, -2.5E+08, 12345678901234567890123, 0.10]}', None),
    (b'{"v": [NaN, Infinity, -Infinity]}', None),
    (b'{"pw": "\\u00e9\\/\\"\\\\\\b\\f\\n\\r\\t"}', b'{"pw": "*********"}'),
    (b'{"a": "\\u00e9\\/", "pw": "\xc3\xa9"}', b'{"a": "\\u00e9\\/", "pw": "*"}'),
    (b'{"pw": "\xe2\x80\xa8\\u2028"}', b'{"pw": "**"}'),
    (b'{"pw": "\\ud83d\\ude00\xf0\x9f\x98\x80"}', b'{"pw": "**"}'),  # pair and raw astral: 1 each
    (b'{"pw": "\\ud800\\ud800\\udc00\\udc00"}', b'{"pw": "***"}'),  # lone, pair, lone
    (b'{"pw": "\\uDBFF\\uDFFF"}', b'{"pw": "*"}'),
    (b'\xef\xbb\xbf{"pw": "x"}', b'\xef\xbb\xbf{"pw": "*"}'),
    (b' \t\r\n{ "pw" :\t"ab" , "pw":"c"}\r\n\r\n', b' \t\r\n{ "pw" :\t"**" , "pw":"*"}\r\n\r\n'),
    (b'{"k": ["a", ["b", {"x": "c", "k": "d"}], 1, null, true], "x": {"k": "e"}}',
     b'{"k": ["*", ["*", {"x": "c", "k": "*"}], 1, null, true], "x": {"k": "*"}}'),
    (b'{"\\u0070w": "ab", "p\\u0077": ["c"]}', b'{"\\u0070w": "**", "p\\u0077": ["*"]}'),
    (b'["pw", {"pw": "x"}, ["pw"]]', b'["pw", {"pw": "*"}, ["pw"]]'),
    (b'"pw"', None),
    (b'{"pw": {"pw": 1, "y": "z"}, "k": 3, "e": {}, "l": []}', None),
    (b'[' * 50_000 + b'"x"' + b']' * 50_000, None),
]


@pytest.mark.parametrize("text, expected", CORPUS, ids=range(len(CORPUS)))
def test_corpus_passes_through_but_for_masks(text, expected):
    out = scan(PW, text)
    assert out == (text if expected is None else expected)
    assert scan(Omitter([]), text) == text
    lines, errors, _ = scan_lines(PW, text.replace(b"\r\n", b" ").replace(b"\n", b" ") + b"\r\n\n  \n")
    assert errors == [] and lines.endswith(b"\r\n\n  \n")


def test_lines_keep_blank_lines_line_ends_and_boms():
    data = (b'{"pw": "a"}\r\n\n   \n\xef\xbb\xbf{"pw": "bc"}\n\xef\xbb\xbf\n'
            b'{"pw": "d"}\r\n{"pw": "e"}')
    out, errors, _ = scan_lines(PW, data)
    assert errors == []
    assert out == data.replace(b'"a"', b'"*"').replace(b'"bc"', b'"**"').replace(b'"d"', b'"*"').replace(
        b'"e"', b'"*"')


# From 3.13 Python's json names a trailing comma itself, at the comma; the
# scanner names each fault the same on every line, as json did before.
JSON_BEFORE_3_13 = {b"[1,]": ("Expecting value", 3),
                    b'{"a":1,}': ("Expecting property name enclosed in double quotes", 7)}


@pytest.mark.parametrize("text", [
    b"", b"   ", b"{", b'{"a": 1', b'{"a": 1\n\n', b"[1,]", b'{"a":1,}', b'{"a" 1}', b"[1 2]", b'"abc',
    b'"a\\x"', b'"\\u12g4"', b'"a\x01"', b"01", b"1.", b"-", b"tru", b"nul", b"truex", b"[01]", b"{1: 2}",
    b"{'a': 1}", b"// c\n1", b"[1]/*c*/", b"NaNx", b"-NaN", b"+1", b".5", b"1e", b"[1,\n 2,\n  x]",
    b'{"a": [1, 2}', b'"\\', b"\x00",
    # A \u escape the text ends right after, in a value, a key, an array,
    # and as either half of a pair.
    b'"\\u00e9', b'["\\u00e9', b'{"\\u00e9', b'{"a": "x\\u00e9', b'"\\ud83d', b'"\\ud83d\\ude00',
    b'"\\ude00', b'"\\u00e9 ',
])
def test_faults_are_named_where_pythons_json_names_them(text):
    with pytest.raises(json.JSONDecodeError) as expected:
        json.loads(text.decode("utf-8"))
    with pytest.raises(ScanError) as got:
        scan(PW, text)
    exc = expected.value
    if text in JSON_BEFORE_3_13:
        msg, pos = JSON_BEFORE_3_13[text]
        assert sys.version_info >= (3, 13) or (exc.msg, exc.pos) == (msg, pos)
        exc = json.JSONDecodeError(msg, text.decode(), pos)
    # A text that ends too early is reported right after its last token,
    # not on the line after its trailing white space.
    if exc.pos == len(text) and text.strip() and not exc.msg.startswith("Unterminated"):
        exc = json.JSONDecodeError(exc.msg, text.decode(), len(text.rstrip()))
    assert (got.value.msg, got.value.lineno, got.value.colno, got.value.pos) == \
        (exc.msg, exc.lineno, exc.colno, exc.pos)
    assert str(got.value) == f"{exc.msg}: line {exc.lineno} column {exc.colno} (char {exc.pos})"
    assert isinstance(got.value, ValueError)


@pytest.mark.parametrize("text, msg, column", [
    (b'"\xff"', "Invalid UTF-8", 2),
    (b'"\xc3"', "Invalid UTF-8", 2),
    (b'"\xed\xa0\x80"', "Invalid UTF-8", 2),  # a surrogate in UTF-8
    (b'"\xc0\xaf"', "Invalid UTF-8", 2),  # overlong
    (b'["\xc3\xa9", \xff]', "Invalid UTF-8", 7),  # columns count characters
    (b'{"\xc3\xa9\xc3\xa9": tru}', "Expecting value", 8),
    (b'[1]\xef\xbb\xbf', "Extra data", 4),  # a BOM only at the start
    (b' \xef\xbb\xbf1', "Expecting value", 2),
])
def test_faults_python_names_otherwise(text, msg, column):
    with pytest.raises(ScanError) as got:
        scan(PW, text)
    assert (got.value.msg, got.value.lineno, got.value.colno) == (msg, 1, column)


def test_line_faults_are_counted_in_the_data_and_bad_lines_left_out():
    data = b'{"pw": "a"}\n{"pw": tru}\r\n\n{"a": "\xc3\xa9" x}\n{"pw": "b"}\n{"n": ' + b"9" * 5000 + b'}\n{"pw"'
    out, errors, lines = scan_lines(PW, data, skip_invalid=True)
    assert lines == 7
    assert out == b'{"pw": "*"}\n\n{"pw": "*"}\n{"n": ' + b"9" * 5000 + b"}\n"
    assert [(e.msg, e.lineno, e.colno) for e in errors] == [
        ("Expecting value", 2, 8), ("Expecting ',' delimiter", 4, 11), ("Expecting ':' delimiter", 7, 6)]
    assert [data[e.pos:e.pos + 3] for e in errors] == [b"tru", b"x}\n", b""]
    # Without skipping, the output ends before the first bad line.
    out, first, lines = scan_lines(PW, data)
    assert lines == 2  # up to the bad line
    assert out == b'{"pw": "*"}\n' and [str(e) for e in first] == [str(errors[0])]


@pytest.mark.parametrize("kind, expected", [
    (Omitter(["a"]), b'["x", {"a": "*", "b": "y"}, ["z"]] "s"'),
    (NoTrustOmitter(["b"]), b'["*", {"a": "*", "b": "y"}, ["*"]] "*"'),
])
def test_a_top_level_value_stands_under_no_key(kind, expected):
    docs = [b'["x", {"a": "w", "b": "y"}, ["z"]]', b'"s"']
    assert b" ".join(scan(kind, d) for d in docs) == expected
    out, _, _ = scan_lines(kind, b"\n".join(docs))
    assert out == expected.replace(b"] ", b"]\n")


class Raising:
    def __eq__(self, other):
        raise LookupError("no verdict")

    __hash__ = object.__hash__


def test_a_failing_should_hide_stops_the_scan_with_its_exception():
    omitter = Omitter([Raising()])
    with pytest.raises(LookupError, match="no verdict"):
        scan(omitter, b'{"a": "b"}')
    with pytest.raises(LookupError, match="no verdict"):
        scan_lines(omitter, b'{"a": 1}\n["x"]', skip_invalid=True)
    # As in the walk, values that need no verdict ask nothing.
    assert scan(omitter, b'{"a": 1, "b": {"c": null}}') == b'{"a": 1, "b": {"c": null}}'
    with pytest.raises(LookupError):
        omitter.omit({"a": "b"})


class Passthrough(Omitter):
    extra = 1


class OverridesOmit(Omitter):
    def omit(self, target):
        return target


class OverridesRecurse(NoTrustOmitter):
    def omit_recurse(self, target, do=True):
        return target


def test_python_subclasses_that_override_the_walk_are_refused():
    assert scan(Passthrough(["a"]), b'{"a": "bc"}') == b'{"a": "**"}'
    for omitter in (OverridesOmit(["a"]), OverridesRecurse(["a"])):
        with pytest.raises(TypeError, match=r"cannot honour .*(omit|omit_recurse)\(\)"):
            scan(omitter, b"{}")
        with pytest.raises(TypeError, match="cannot honour"):
            scan_lines(omitter, b"{}")
    shadowed = Passthrough(["a"])
    shadowed.omit = lambda target: target
    with pytest.raises(TypeError, match=r"Passthrough\.omit\(\)"):
        scan(shadowed, b"{}")


@pytest.mark.parametrize("call, error, message", [
    (lambda: scan({"a"}, b"{}"), TypeError, "scan() argument 1 must be a velmora.omit.Omitter, not set"),
    (lambda: scan(PW, '{"a": 1}'), TypeError, "scan() argument 2 must be bytes-like (UTF-8 text), not str"),
    (lambda: scan(PW, 12), TypeError, "a bytes-like object is required, not 'int'"),
    (lambda: scan(PW, b"{}", indent=-1), ValueError, "scan() indent must be between 0 and 1000"),
    (lambda: scan(PW, b"{}", indent=True), TypeError, "scan() indent must be an int or None, not bool"),
    (lambda: scan(PW, b"{}", indent=2, compact=True), ValueError, "scan() takes indent or compact, not both"),
    (lambda: scan(PW, b"{}", 2), TypeError, "scan() takes at most 2 positional arguments (3 given)"),
    (lambda: scan(PW, data=b"{}"), TypeError, "scan() takes exactly 2 positional arguments (1 given)"),
    (lambda: scan_lines(PW, memoryview(b"abcd")[::2]), BufferError, "memoryview: underlying buffer is not C-contiguous"),
])
def test_argument_errors(call, error, message):
    with pytest.raises(error) as got:
        call()
    assert str(got.value) == message


def test_any_contiguous_buffer_is_read():
    text = b'{"pw": "abc"}\n{"pw": "d"}'
    expected = b'{"pw": "***"}\n{"pw": "*"}'
    for data in (bytearray(text), memoryview(text), memoryview(bytearray(text)), memoryview(b"xx" + text)[2:]):
        assert scan_lines(PW, data) == (expected, [], 2)


def test_indenting_deep_nesting_is_refused_not_attempted():
    deep = b"[" * 20_000 + b"]" * 20_000
    assert scan(PW, deep, compact=True) == deep
    with pytest.raises(ValueError, match="too large"):
        scan(PW, deep, indent=4)


def test_depth_is_bounded_by_memory_not_by_recursion():
    # Far past the recursion limit and the native stack, in a subprocess in
    # case it is not.
    assert_runs_clean("""
        from velmora.omit import Omitter
        from velmora.scan import scan, scan_lines, ScanError
        n = 2_000_000
        text = b'{"k":' * n + b'["a"]' + b"}" * n
        out = scan(Omitter(["k"]), text)
        assert out == text.replace(b'"a"', b'"*"')
        try:
            scan(Omitter(["k"]), text[:-1])
        except ScanError as e:
            assert (e.msg, e.colno) == ("Expecting ',' delimiter", len(text)), e
        else:
            raise AssertionError("no error")
    """)


def test_threads_scan_at_once_with_one_omitter():
    omitter = NoTrustOmitter(["id"])
    data = b"".join(b'{"id": "%d", "name": "n%d", "tags": ["t", {"id": "x"}]}\n' % (i, i) for i in range(20_000))
    expected, _, _ = scan_lines(omitter, data)
    results, failures = [], []

    def work():
        try:
            for _ in range(5):
                results.append(scan_lines(omitter, data)[0] == expected and scan(omitter, b"[" + data.replace(
                    b"\n", b",")[:-1] + b"]") is not None)
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(exc)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == [] and results == [True] * 20


def test_no_leaks():
    omitter = NoTrustOmitter(["id"])
    raising = Omitter([Raising()])
    text = b'{"id": "1", "pw": ["a", {"x": "\\ud83d\\ude00"}], "n": 1e5}'

    def fails(call, exc):
        def op():
            try:
                call()
            except exc:
                return
            raise AssertionError("did not raise")
        return op

    assert_no_leak(lambda: scan(omitter, text))
    assert_no_leak(lambda: scan(omitter, text, indent=2))
    assert_no_leak(lambda: scan_lines(omitter, text + b"\nbad\n" + text, skip_invalid=True))
    assert_no_leak(fails(lambda: scan(omitter, text[:-3]), ScanError))
    assert_no_leak(fails(lambda: scan(raising, text), LookupError))
    assert_no_leak(fails(lambda: scan_lines(raising, text), LookupError))
    assert_no_leak(fails(lambda: scan(OverridesOmit([]), text), TypeError))
    assert_no_leak(lambda: scan(omitter, bytearray(text)))


@pytest.mark.parametrize("kind", [Omitter, NoTrustOmitter])
def test_verdicts_of_a_freed_omitter_never_reach_a_new_one(kind):
    # Verdicts remembered anywhere (here or in velmora.omit) must not outlive
    # their omitter: a new omitter whose key list takes a freed list's
    # address gets its own. (A fault once, when lists were known by address.)
    text = b'{"a": "x", "b": "y"}'
    state = 0 if kind is Omitter else 1  # where the pickling state holds the live list
    old, keys = kind(["a"]), ["b"]
    scan(old, text)
    address = id(old.__reduce__()[2][state])
    del old  # frees the list, then the object: the next two take their places
    new = kind(keys)
    if id(new.__reduce__()[2][state]) != address:
        pytest.skip("the new key list was made elsewhere")
    assert scan(new, text) == (b'{"a": "x", "b": "*"}' if kind is Omitter else b'{"a": "*", "b": "y"}')
