"""The scanner's short cuts against what it must write: keys answered
without the table (and the filter of the keys told up front), the table and
the nesting stack outgrowing their first storage, one space before a token,
star masks written a word at a time, the comma looked for first, and the
quiet and detector state of the grammar; each on every vector path, and the
command line on the same lines.

Outputs are checked byte for byte against texts built with their expected
output (scan_speed_model.py), against the walk over parsed data, and, when
VELMORA_SCAN_BASELINE names the extension file of an earlier build, against
that build's outputs and errors."""

import copy
import json
import os
import random
import subprocess
import sys

import pytest

import scan_speed_model as model
from conftest import assert_runs_clean
import velmora.scan as vscan
from velmora.detect import Detector
from velmora.omit import NoTrustOmitter, Omitter
from velmora.rules import RuleNoTrustOmitter, RuleOmitter
from velmora.scan import ScanError, scan, scan_lines

PATHS = vscan._paths()
HERE = os.path.dirname(os.path.abspath(__file__))


def each_path(call):
    """call() on every vector path: the outcomes, which must all agree."""
    outcomes = []
    previous = vscan._set_path(PATHS[0])
    try:
        for path in PATHS:
            vscan._set_path(path)
            try:
                result = call()
                if isinstance(result, tuple):  # scan_lines: its errors as what they say
                    result = (result[0], [(e.msg, e.pos, e.lineno, e.colno) for e in result[1]], result[2])
                outcomes.append(("ok", result))
            except ScanError as exc:
                outcomes.append(("error", exc.msg, exc.pos, exc.lineno, exc.colno))
    finally:
        vscan._set_path(previous)
    assert all(o == outcomes[0] for o in outcomes), dict(zip(PATHS, outcomes))
    return outcomes[0]


def told_omitter(kind, told):
    """An omitter of velmora.omit's own kinds and its verdict of a decoded key."""
    if kind == "hide":
        return Omitter(list(told)), lambda key: key in told
    return NoTrustOmitter(list(told)), lambda key: key not in told


TOLD_SETS = [[], ["pw"], model.TOLD, model.TOLD + [None], ["a" * 16, "a" * 17, "é", "\U0001f600"], [None]]
KINDS = ["hide", "trust"]


# ---- Byte for byte ------------------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("told", range(len(TOLD_SETS)))
def test_generated_texts_come_out_byte_for_byte(kind, told):
    omitter, hides = told_omitter(kind, TOLD_SETS[told])
    rnd = random.Random(told * 2 + (kind == "trust"))
    builder = model.Builder(rnd, hides)
    for _ in range(60):
        text, expected = builder.document()
        data = model.encode(text)
        assert each_path(lambda: scan(omitter, data)) == ("ok", model.encode(expected)), data
        # Bytes the caller may change are copied first; the output is the same.
        assert each_path(lambda: scan(omitter, bytearray(data))) == ("ok", model.encode(expected))


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("rate", [0.0, 1.0])
def test_every_key_gets_the_verdict_of_its_decoded_text(kind, rate):
    # Keys told up front and keys that only share a length and first and
    # last byte with them; escaped, the key decodes to what is told (a key
    # hidden only once its escapes are decoded must be hidden).
    omitter, hides = told_omitter(kind, model.TOLD)
    rnd = random.Random(7)
    for key in model.KEYS:
        for body, count in [("s", 1), ("", 0), ("é" * 9, 9), ("\\ud83d\\ude00x", 2)]:
            raw = model.escape_key(key, rnd, rate)
            for sep, gap in [(":", ""), (" : ", " "), ("\t:\r\n", "\n")]:
                text = '{"other":1,%s"%s"%s"%s"%s}' % (gap, raw, sep, body, gap)
                want = body if not hides(key) else "*" * count
                expected = '{"other":1,%s"%s"%s"%s"%s}' % (gap, raw, sep, want, gap)
                assert each_path(lambda: scan(omitter, model.encode(text))) == ("ok", model.encode(expected)), text


@pytest.mark.parametrize("kind", KINDS)
def test_lines_come_out_byte_for_byte(kind):
    omitter, hides = told_omitter(kind, model.TOLD)
    rnd = random.Random(11)
    builder = model.Builder(rnd, hides)
    for _ in range(25):
        docs = [builder.document() for _ in range(rnd.randrange(1, 6))]
        docs = [(t.replace("\n", " ").replace("\r", " "), e.replace("\n", " ").replace("\r", " ")) for t, e in docs]
        end = rnd.choice(["", "\n"])
        data = model.encode("\n".join(t for t, _ in docs) + end)
        expected = model.encode("\n".join(e for _, e in docs) + end)
        assert each_path(lambda: scan_lines(omitter, data)) == ("ok", (expected, [], len(docs)))


@pytest.mark.parametrize("kind", KINDS)
def test_nesting_outgrows_its_first_storage_at_every_depth(kind):
    omitter, hides = told_omitter(kind, ["pw", "a" * 17, None])
    rnd = random.Random(3)
    builder = model.Builder(rnd, hides, keys=["pw", "a" * 17, "x", "y\\"], spaces=model.LINE_SPACES)
    for depth in list(range(1, 140)) + [255, 256, 257, 1000, 5000]:
        text, expected = builder.nested(depth)
        data = model.encode(text)
        assert each_path(lambda: scan(omitter, data)) == ("ok", model.encode(expected)), depth
        # In lines: a deep line, a shallow one, a line that fails deep, and
        # one that succeeds after it.
        lines = b"\n".join([data, b'{"pw":"x"}', data[:-1], data])
        out = model.encode(expected)
        want = out + b'\n{"pw":"' + (b"*" if hides("pw") else b"x") + b'"}\n' + out
        kind_, (got, errors, count) = each_path(lambda: scan_lines(omitter, lines, skip_invalid=True))
        assert (kind_, got, count, [e[2] for e in errors]) == ("ok", want, 4, [3]), depth


@pytest.mark.parametrize("told", [0, 1, 20, 40])
def test_many_distinct_keys_in_one_text(told):
    # Past the first table's 32 slots: keys asked of a rules omitter, told
    # to an Omitter, and plain keys that go into no table at all.
    keys = ["key%03d" % i for i in range(300)] + ["long_key_number_%03d_ending" % i for i in range(100)]
    hidden = set(keys[:told]) | {k for k in keys if k.endswith("7")}
    rnd = random.Random(told)
    for omitter, hides in [(Omitter(sorted(hidden)), hidden.__contains__),
                           (RuleOmitter(keys[:told], patterns=["7$"]), hidden.__contains__),
                           (NoTrustOmitter(sorted(hidden)), lambda k: k not in hidden)]:
        builder = model.Builder(rnd, hides, keys=keys, escape_rate=0.05)
        for _ in range(4):
            text, expected = builder.object(0, 400, rnd.sample(keys, 400))
            assert each_path(lambda: scan(omitter, model.encode(text))) == ("ok", model.encode(expected))


# ---- Star masks ---------------------------------------------------------------------


@pytest.mark.parametrize("piece", ["a", "é", "密", "\U0001f600", "\\n", "\\u00e9", "\\ud83d\\ude00"])
def test_star_masks_of_every_length_at_every_alignment(piece):
    top = Omitter([None, "k"])
    for length in range(71):
        body = piece * length
        for pad in range(9):
            pre = " " * pad
            # The value as the last bytes of the input: the output's room ends
            # right after the mask.
            cases = [(pre + '"' + body + '"', pre + '"' + "*" * length + '"'),
                     ('{"k":' + pre + '"' + body + '"}', '{"k":' + pre + '"' + "*" * length + '"}'),
                     ('["x","' + "y" * pad + '",' + '"' + body + '"]',
                      '["*","' + "*" * pad + '",' + '"' + "*" * length + '"]')]
            for text, expected in cases:
                data, want = model.encode(text), model.encode(expected)
                assert each_path(lambda: scan(top, data)) == ("ok", want), text
                got = each_path(lambda: scan_lines(top, data + b"\n" + data))
                assert got == ("ok", (want + b"\n" + want, [], 2)), text


def test_masks_of_the_other_policies_agree_with_the_walk():
    rnd = random.Random(5)
    omitters = [RuleOmitter(["pw", "é"], keep_last=k) for k in (1, 3, 8)] + \
        [RuleOmitter(["pw", "é"], mask=m) for m in ("", "[x]", "é" * 9, "\U0001f600")] + \
        [RuleOmitter(["pw"], contains=["ass"], whole=True, mask="[F]"), RuleNoTrustOmitter(["id"], keep_last=2)]
    builder = model.Builder(rnd, lambda key: False)
    for _ in range(80):
        text, _ = builder.object(0, rnd.randrange(1, 8))
        value = json.loads(model.encode(text))
        for omitter in omitters:
            want = copy.deepcopy(value)
            omitter.omit(want)
            kind, got = each_path(lambda: scan(omitter, model.encode(text)))
            assert kind == "ok" and json.loads(got) == want, (text, omitter)


# ---- White space and delimiters -----------------------------------------------------------


# Python 3.13's json names a trailing comma itself; the scanner keeps the
# words of the lines before.
OLDER_WORDS = {"Illegal trailing comma before end of object": "Expecting property name enclosed in double quotes",
               "Illegal trailing comma before end of array": "Expecting value"}


def json_fault(data):
    """What json says of `data` in the words of 3.11 and 3.12, or None."""
    try:
        json.loads(data.decode("utf-8", "surrogatepass"))
    except json.JSONDecodeError as exc:
        return OLDER_WORDS.get(exc.msg, exc.msg)
    return None


@pytest.mark.parametrize("gap", [" ", "  ", "\t", "\r", "\n", "\r\n", " \t", "\t ", " \n ", ""])
def test_white_space_at_every_place_and_at_the_end(gap):
    pw = Omitter(["pw"])
    tokens = ["{", '"pw"', ":", '"xy"', ",", '"a"', ":", "[", "1", ",", '"é"', "]", "}"]
    for at in range(len(tokens) + 1):
        text = "".join(tokens[:at]) + gap + "".join(tokens[at:])
        data = model.encode(text)
        want = data.replace(b'"xy"', b'"**"')
        assert each_path(lambda: scan(pw, data)) == ("ok", want), text
        # Cut short right after the gap: an error, at the same place on
        # every path and as Python's json would say it.
        cut = model.encode("".join(tokens[:at]) + gap)
        if at < len(tokens):
            assert each_path(lambda: scan(pw, cut))[:2] == ("error", json_fault(cut)), cut


def test_single_edits_fail_as_pythons_json_does():
    pw = Omitter(["pw"])
    for seed in model.EDIT_SEEDS:
        for data in model.single_edits(seed):
            expected = json_fault(data)
            got = each_path(lambda: scan(pw, data))
            assert got[:2] == (("error", expected) if expected else ("ok", got[1])), data


def test_broken_texts_fail_as_pythons_json_does():
    # Malformed input near the delimiters the scanner now looks for first:
    # each text fails exactly when json fails, with json's message.
    rnd = random.Random(13)
    pw = Omitter(["pw"])
    builder = model.Builder(rnd, lambda key: key == "pw", keys=["pw", "a", "b"])
    checked = 0
    for _ in range(1500):
        data = model.mutate(rnd, model.encode(builder.document()[0]))
        try:
            text = data.decode("utf-8", "surrogatepass")
            expected = json_fault(data)
        except (UnicodeDecodeError, RecursionError):
            continue
        got = each_path(lambda: scan(pw, data))
        if expected == "Invalid \\uXXXX escape" and data.endswith(b"\\u" + data[-4:]) and got[1:2] == (
                "Unterminated string starting at",):
            # json says so of an escape that ends the text, when the string
            # is unterminated; the scanner names the unterminated string.
            continue
        if text.isascii():
            assert (got[0], got[1] if got[0] == "error" else None) == \
                (("error", expected) if expected else ("ok", None)), data
            checked += 1
        else:
            assert (got[0] == "error") == (expected is not None), data
    assert checked > 500


# ---- State kept between steps and between lines ------------------------------------------


@pytest.mark.parametrize("whole", [False, True])
def test_lines_are_each_scanned_as_if_alone(whole):
    # Quiet state (a value hidden whole) and detector state do not carry
    # from one line to the next, whether the line before failed or not.
    rnd = random.Random(17 + whole)
    omitter = RuleOmitter(["pw", "é"], contains=["ass"], whole=whole, mask="[F]")
    detector = Detector(["zqxwvu-secret"])
    builder = model.Builder(rnd, lambda key: False, keys=["pw", "pass", "a", "é", "b"], spaces=model.LINE_SPACES)
    for _ in range(40):
        lines = []
        for _ in range(rnd.randrange(1, 8)):
            text = builder.document()[0]
            if rnd.random() < 0.3:
                text = text.replace("Z", "zqxwvu-secret")
            data = model.encode(text)
            if rnd.random() < 0.3:
                data = model.mutate(rnd, data).replace(b"\n", b" ")
            lines.append(data or b"[")
        expected, bad = [], []
        for number, line in enumerate(lines, 1):
            end = b"\n" if number < len(lines) else b""  # a line's break goes with it
            try:
                expected.append((scan(omitter, line, detect=detector) if line.strip(b" \t\r") else line) + end)
            except ScanError:
                bad.append(number)
        data = b"\n".join(lines)
        kind, (out, errors, count) = each_path(lambda: scan_lines(omitter, data, skip_invalid=True,
                                                                  detect=detector))
        assert (kind, out, [e[2] for e in errors], count) == ("ok", b"".join(expected), bad, len(lines))


def test_threads_sharing_an_omitter_get_what_one_thread_gets():
    # Inputs past the size where the scan lets other threads run; the
    # scanners of all threads ask the one omitter meanwhile.
    assert_runs_clean(f"""
        import random, sys, threading
        sys.path.insert(0, {HERE!r})
        import scan_speed_model as model
        from velmora.omit import Omitter, NoTrustOmitter
        from velmora.rules import RuleOmitter
        from velmora.scan import scan, scan_lines
        rnd = random.Random(1)
        omitters = [Omitter(model.TOLD), NoTrustOmitter(model.TOLD), RuleOmitter(["pw"], contains=["ass"])]
        b = model.Builder(rnd, lambda key: False)
        docs = [model.encode(b.document()[0]).replace(b"\\n", b" ").replace(b"\\r", b" ") for _ in range(600)]
        data = b"\\n".join(docs)
        assert len(data) > 100_000
        want = [scan_lines(o, data) for o in omitters]
        wrong = []
        def run():
            for _ in range(6):
                for o, w in zip(omitters, want):
                    got = scan_lines(o, data)
                    if (got[0], len(got[1]), got[2]) != (w[0], len(w[1]), w[2]):
                        wrong.append(o)
        threads = [threading.Thread(target=run) for _ in range(4)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert not wrong, wrong
    """, timeout=300)


def test_lines_into_a_bytearray_of_every_size():
    # The command's buffers: written in place while they are large enough
    # (star masks written by the word stay inside them), moved otherwise.
    omitter = Omitter(model.TOLD + [None])
    rnd = random.Random(29)
    builder = model.Builder(rnd, lambda key: False, spaces=model.LINE_SPACES)
    for _ in range(40):
        data = b"\n".join(model.encode(builder.document()[0]) for _ in range(rnd.randrange(1, 4)))
        want, errors, lines = scan_lines(omitter, data, skip_invalid=True)
        for size in range(len(data) + 12):
            target = bytearray(b"\xee" * size)
            written, _, count = vscan._scan_lines_into(omitter, memoryview(data), target, skip_invalid=True)
            assert (bytes(target[:written]), count) == (want, lines), (data, size)


# ---- The command line -----------------------------------------------------------------------


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_command_line_writes_what_scan_lines_writes(tmp_path, jobs):
    rnd = random.Random(23)
    builder = model.Builder(rnd, lambda key: False)
    lines, size = [], 0
    while size < 2_600_000:  # several blocks
        text = builder.document()[0].replace("\n", " ").replace("\r", " ")
        data = model.encode(text)
        if rnd.random() < 0.02:
            data = model.mutate(rnd, data).replace(b"\n", b" ")
        lines.append(data)
        size += len(data) + 1
    data = b"\n".join(lines) + b"\n"
    path = tmp_path / "in.jsonl"
    path.write_bytes(data)
    keys = ["pw", "é", "password", "a" * 17, "\U0001f600"]
    want, errors, _ = scan_lines(Omitter(keys), data, skip_invalid=True)
    assert errors
    command = [sys.executable, "-m", "velmora", "--lines", "--skip-invalid", "--quiet", "--jobs", jobs]
    for key in keys:
        command += ["--hide", key]
    proc = subprocess.run(command + [str(path)], capture_output=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout == want
    assert proc.stderr.count(b"\n") >= len(errors)


# ---- Against an earlier build ----------------------------------------------------------------


BASELINE = os.environ.get("VELMORA_SCAN_BASELINE")


@pytest.mark.skipif(not BASELINE, reason="VELMORA_SCAN_BASELINE names no earlier build of velmora.scan")
@pytest.mark.parametrize("seed", range(3))
def test_outputs_and_errors_are_those_of_the_earlier_build(seed):
    proc = subprocess.run([sys.executable, os.path.join(HERE, "scan_speed_model.py"), BASELINE, str(seed), "60"],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0 and proc.stdout.splitlines()[-1] == "same 0", proc.stdout[-4000:] + proc.stderr
