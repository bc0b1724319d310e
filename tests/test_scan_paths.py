"""The scanner's vector paths give the same bytes, the same faults and the
same positions; results are written in place, and the command line's
_scan_lines_into() fills the buffer it is given."""

import json
import os
import pathlib
import re
import shutil
import subprocess

import pytest
from hypothesis import given, settings, strategies as st

from conftest import assert_runs_clean, run_python
import velmora.scan as vscan
from velmora.omit import NoTrustOmitter, Omitter
from velmora.rules import RuleOmitter
from velmora.scan import ScanError, _scan_lines_into, scan, scan_lines

PATHS = vscan._paths()
PW = Omitter(["pw"])


def on_every_path(call):
    """The outcome of `call()` on each path: all must agree; returns it."""
    outcomes = []
    previous = vscan._set_path(PATHS[0])
    try:
        for path in PATHS:
            vscan._set_path(path)
            try:
                outcomes.append(("ok", call()))
            except ScanError as exc:
                outcomes.append(("error", (exc.msg, exc.pos, exc.lineno, exc.colno)))
    finally:
        vscan._set_path(previous)
    assert all(o == outcomes[0] for o in outcomes), dict(zip(PATHS, outcomes))
    return outcomes[0]


def test_this_machine_runs_every_path_it_has():
    assert PATHS[0] == "scalar"
    with open("/proc/cpuinfo") as f:
        flags = f.read()
    if os.uname().machine == "x86_64":
        assert PATHS[:2] == ("scalar", "sse2")
        assert ("avx2" in PATHS) == (" avx2" in flags)


# Each special byte at every place of string bodies of every length up to
# past two AVX2 vectors, with the text ending right there (the vector loops
# hand over to their tails at every offset) or going on.
SPECIALS = ['"', "\\\\", "\\u00e9", "\\ud83d\\ude00", "\\x", "\x1f", "\x7f", "é", "\U0001f600", "\xff", "\xc3"]


@pytest.mark.parametrize("special", SPECIALS)
def test_special_bytes_at_every_offset_agree_with_json(special):
    for length in range(0, 70, 3):
        for at in range(length + 1):
            body = "a" * at + special + "b" * (length - at)
            for text in ('{"pw": "' + body + '"}', '["' + body + '"]', '"' + body):
                data = text.encode("utf-8", "surrogateescape") if "\xff" not in text and "\xc3" not in text else \
                    text.encode("latin-1")
                kind, got = on_every_path(lambda: scan(PW, data))
                try:
                    value = json.loads(data.decode("utf-8"))
                except (UnicodeDecodeError, json.JSONDecodeError):
                    assert kind == "error", (data, got)
                    continue
                assert kind == "ok", (data, got)
                if type(value) is dict:
                    assert json.loads(got) == {"pw": "*" * len(value["pw"])}


@pytest.mark.parametrize("space", [" ", "\t", "\r\n", "\n"])
def test_runs_of_white_space_of_every_length(space):
    for n in range(0, 80, 1):
        gap = space * n
        text = f"{gap}{{{gap}\"pw\"{gap}:{gap}[{gap}\"x\"{gap},{gap}1{gap}]{gap}}}{gap}".encode()
        assert on_every_path(lambda: scan(PW, text)) == ("ok", text.replace(b'"x"', b'"*"'))
        assert on_every_path(lambda: scan(PW, text + b"x"))[0] == "error"


@pytest.mark.parametrize("path", PATHS)
def test_the_environment_picks_the_path(path):
    proc = assert_runs_clean(f"""
        import velmora.scan as s
        assert s._set_path("scalar") == {path!r}
    """, env={"VELMORA_SCAN_PATH": path})
    assert proc.returncode == 0


def test_a_path_the_machine_cannot_run_is_refused():
    proc = run_python("import velmora.scan", env={"VELMORA_SCAN_PATH": "neon"})
    assert proc.returncode != 0
    assert "VELMORA_SCAN_PATH=neon names no scanner path this machine can run" in proc.stderr
    with pytest.raises(ValueError, match="no scanner path 'neon'"):
        vscan._set_path("neon")
    with pytest.raises(TypeError):
        vscan._set_path(b"sse2")


@pytest.mark.parametrize("omitter, data", [
    (PW, b'{"pw": "\\u00e9\\u00e9"}\nbad\n{"pw": "xy"}\n'),
    (NoTrustOmitter(["id"]), b'{"id": "1", "pw": "\xc3\xa9"}\n' * 3),
    (RuleOmitter(["pw"], mask="a much longer mask than the value"), b'{"pw": ""}\n' * 10),
    (PW, b""),
])
@pytest.mark.parametrize("room", [0, 5, 4096])
def test_scan_lines_into_fills_the_bytearray_it_is_given(omitter, data, room):
    expected = scan_lines(omitter, data, skip_invalid=True)
    out = bytearray(b"\xaa" * room)
    size, errors, lines = _scan_lines_into(omitter, memoryview(bytearray(data)), out, skip_invalid=True)
    assert (bytes(out[:size]), [str(e) for e in errors], lines) == (expected[0], [str(e) for e in expected[1]],
                                                                   expected[2])
    assert len(out) >= size and (len(out) == room or len(out) == size)  # grown only when too small
    assert on_every_path(lambda: scan_lines(omitter, data, skip_invalid=True)[0]) == ("ok", bytes(out[:size]))


def test_scan_lines_into_refuses_what_it_cannot_write():
    shared = bytearray(b'{"pw": "x"}\n' * 4)
    with pytest.raises(ValueError, match="shares memory with the input"):
        _scan_lines_into(PW, memoryview(shared)[:12], memoryview(shared)[12:].obj)
    for out in (b"", memoryview(bytearray(10)), None):
        with pytest.raises(TypeError, match="argument 3 must be a bytearray"):
            _scan_lines_into(PW, b"{}", out)
    held = bytearray(2)
    with memoryview(held):  # an export: growing would fail, and must say so
        with pytest.raises(BufferError):
            _scan_lines_into(RuleOmitter(["pw"], mask="long mask"), b'{"pw": ""}', held)
    assert held == bytearray(2)


@pytest.mark.parametrize("omitter", [PW, RuleOmitter(["pw"], mask="[a mask longer than what it hides]"),
                                     RuleOmitter(["pw"], keep_last=2), RuleOmitter(["pw"], whole=True)])
def test_results_written_in_place_are_ordinary_bytes(omitter):
    for text in (b'{"pw": "\\u00e9\\u00e9\\u00e9", "n": [1, 2]}', b'{"pw": "x"}', b'"pw"', b" 1 "):
        out = scan(omitter, text)
        assert type(out) is bytes and out == bytes(bytearray(out)) and hash(out) == hash(bytes(out))
        assert out == scan(omitter, bytearray(text)) and out.endswith(text[-1:])
    lines, _, _ = scan_lines(omitter, b'bad\n\nbad\n', skip_invalid=True)
    assert lines == b"\n" and type(lines) is bytes


@pytest.mark.parametrize("build", [
    "data = line * count; call = lambda: scan_lines(Omitter(['pw']), data)[0]",
    "data = b''.join([b'['] + [line.strip() + b','] * (count - 1) + [line.strip(), b']']); "
    "call = lambda: scan(Omitter(['pw']), data)",
], ids=["scan_lines", "scan"])
def test_one_large_scan_needs_little_more_than_input_and_output(build):
    # The output is written into the result itself: the peak grows by about
    # the output's size (it once grew by twice that, and more).
    assert_runs_clean(f"""
        import resource
        from velmora.omit import Omitter
        from velmora.scan import scan, scan_lines
        line = b'{{"pw": "\\\\u00e9secret", "name": "' + b"n" * 100 + b'", "n": [1, 2.5, null]}}\\n'
        count = (64 << 20) // len(line)
        {build}
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss << 10
        out = call()
        grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss << 10) - before
        assert b"secret" not in out and len(out) > 60 << 20
        assert grown < len(out) + (16 << 20), (grown >> 20, len(out) >> 20)
    """)


class Equal:
    """A key-list item that says it equals one key: the omitter must be
    asked, since no comparison of text can tell."""

    def __eq__(self, other):
        return other == "b"

    __hash__ = object.__hash__


@pytest.mark.parametrize("kind", [Omitter, NoTrustOmitter])
def test_verdicts_known_before_the_scan_are_the_omitters(kind):
    text = b'{"a": "1", "b": "2", "\\u0061": "3", "\xc3\xa9": "4", "c": ["5"], "": "6"}'
    for keys in (["a"], ["é", None, "\ud800"], [Equal()], ["a", Equal(), "é"], [], [""]):
        omitter = kind(keys)
        expected = json.dumps(omitter.omit(json.loads(text)), ensure_ascii=False, separators=(", ", ": "))
        assert json.loads(scan(omitter, text)) == json.loads(expected), keys
    # The key list as it is at the call: a change between calls is seen.
    omitter = kind(["a"])
    live = omitter.__reduce__()[2][0 if kind is Omitter else 1]
    live.append("b")
    assert json.loads(scan(omitter, text)) == omitter.omit(json.loads(text))


@pytest.mark.parametrize("follower", [b"", b" ", b":", b"/", b"\xfa", b"\xff", b"e5", b".5", b"E-7", b"]", b"x", b"0"])
def test_numbers_of_every_length_end_where_json_says(follower):
    # Digits are read eight at a time: every run length, and what follows.
    for n in range(1, 41):
        for digits in (b"1" * n, b"9" * n, b"1234567890" * 4):
            text = b"[-" + digits[:n] + follower + b"]"
            kind, got = on_every_path(lambda: scan(PW, text))
            try:
                json.loads(text.decode("utf-8"))
            except (UnicodeDecodeError, json.JSONDecodeError) as exc:
                assert kind == "error", text
                if isinstance(exc, json.JSONDecodeError):
                    assert got[:2] == (exc.msg, exc.pos), (text, got)
                continue
            assert (kind, got) == ("ok", text)


def _distinct_keys(n):
    """Keys of every length class the verdict table tells apart (up to 16
    bytes: two words; longer: a stored copy), escaped and not, with long
    keys that share their first and last eight bytes."""
    keys = []
    for i in range(n):
        body = f"k{i}" * (1 + i % 9)
        keys.append(body[: 1 + i % 30] if i % 4 else f"prefix--{i:06d}--suffix")
    return keys


@pytest.mark.parametrize("told", [True, False], ids=["keys-told", "keys-asked"])
@pytest.mark.parametrize("escaped", [False, True])
def test_many_distinct_keys_get_the_omitters_verdicts(told, escaped):
    # Hundreds of distinct keys, each met twice: the verdict table outgrows
    # its first size, keys not told up front are answered without a place in
    # it, and a key written with escapes is still the key it decodes to.
    keys = _distinct_keys(300)
    hidden = keys[::3]
    omitter = Omitter(hidden if told else hidden + [0])  # a non-str item: each key is asked
    members = []
    for i, key in enumerate(keys + keys):
        written = "".join(f"\\u{ord(c):04x}" if j == 0 and escaped and i % 2 else c for j, c in enumerate(key))
        members.append(f'"{written}": "v{i}", "{written}": ["x", {{"{written}": "y"}}]')
    text = ("{" + ", ".join(members[:250]) + "}\n[" + "{" + ",".join(members[250:]) + "}]").encode()
    kind, (out, errors, count) = on_every_path(lambda: scan_lines(omitter, text))
    assert (kind, errors, count) == ("ok", [], 2)
    got = [json.loads(line, object_pairs_hook=list) for line in out.split(b"\n")]
    want = [json.loads(line, object_pairs_hook=list) for line in text.split(b"\n")]

    def masked(pairs, hide=False):
        if isinstance(pairs, list) and pairs and isinstance(pairs[0], tuple):
            return [(k, masked(v, k in hidden)) for k, v in pairs]
        if isinstance(pairs, list):
            return [masked(v, hide) for v in pairs]
        return "*" * len(pairs) if hide and isinstance(pairs, str) else pairs
    assert got == [masked(line) for line in want]


# Keys over a tiny alphabet: many share their length and their first and
# last bytes with a key of the list, which is all a quick filter could see.
TINY_KEYS = st.text(st.sampled_from("ab\u00e9"), max_size=4)


@settings(max_examples=300, deadline=None, derandomize=True)
@given(st.sampled_from([Omitter, NoTrustOmitter]), st.lists(TINY_KEYS, max_size=5),
       st.lists(TINY_KEYS, min_size=1, max_size=12))
def test_told_keys_and_their_lookalikes(kind, keys, members):
    omitter = kind(keys)
    data = {key: f"v{i}" for i, key in enumerate(members)}
    text = json.dumps(data, ensure_ascii=False).encode()
    assert json.loads(scan(omitter, text)) == omitter.omit(json.loads(text))


# ---- Where the build puts each path's two grammars ------------------------------

ROOT = pathlib.Path(__file__).resolve().parent.parent


def scan_units():
    """The scan module's source files, in the order CMakeLists.txt links them."""
    cmake = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    body = re.search(r"^velmora_extension\(scan\n(.*?)^\)", cmake, re.M | re.S).group(1)
    return [line.split("#")[0].strip() for line in body.splitlines() if line.split("#")[0].strip()]


def test_the_planned_grammar_is_linked_after_every_unit_without_a_plan():
    # The linker lays code out in the order of its units: what comes first
    # keeps its place whatever grows after it.
    units = [pathlib.PurePosixPath(u).name for u in scan_units()]
    planned = [i for i, u in enumerate(units) if u.startswith("planned_")]
    assert sorted(units[i].removeprefix("planned_") for i in planned) == \
        sorted(u.removeprefix("path_") for u in units if u.startswith("path_"))
    assert planned and min(planned) > max(i for i, u in enumerate(units) if not u.startswith("planned_"))


@pytest.mark.parametrize("unit", sorted(p.name for p in (ROOT / "src/velmora/scan").glob("p*_*.cpp")))
def test_each_path_unit_compiles_one_grammar(unit):
    source = (ROOT / "src/velmora/scan" / unit).read_text(encoding="utf-8")
    kinds = set(re.findall(r"Grammar<\w+, (true|false)>", source))
    assert kinds == ({"true"} if unit.startswith("planned_") else {"false"})
    # and says where in a cache line its code starts, whatever precedes it
    assert len(re.findall(r"^VELMORA_SCAN_UNIT_STARTS_AT\((0|16|32|48)\);$", source, re.M)) == 1


def test_the_built_module_lays_the_grammar_without_a_plan_out_first():
    if shutil.which("nm") is None:
        pytest.skip("no nm")
    listing = subprocess.run(["nm", "-C", vscan.__file__], capture_output=True, text=True).stdout
    found = re.findall(r"^([0-9a-f]+) [tT] velmora::scan::Grammar<(?:[\w:() ]*::)?(\w+)Find, (true|false)>::",
                       listing, re.M)
    if not found:
        pytest.skip("the module was installed without its symbols")
    place = {kind: [int(address, 16) for address, _, k in found if k == kind] for kind in ("true", "false")}
    assert len(place["true"]) >= len(PATHS) and len(place["false"]) >= len(PATHS)
    assert max(place["false"]) < min(place["true"])
    # Each unit's first function starts where the unit says.
    for find, kind in {(find, kind) for _, find, kind in found}:
        unit = ("planned_" if kind == "true" else "path_") + find.lower() + ".cpp"
        declared = re.search(r"^VELMORA_SCAN_UNIT_STARTS_AT\((\d+)\);$",
                             (ROOT / "src/velmora/scan" / unit).read_text(encoding="utf-8"), re.M)
        first = min(int(address, 16) for address, f, k in found if (f, k) == (find, kind))
        assert first % 64 == int(declared.group(1)), unit
