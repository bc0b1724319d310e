"""The structural-index probe of bench/stage1_probe.cpp against a plain
Python tokenizer (in-string bytes, keys and values, hidden or not) and
against velmora.scan (the masked text), on generated JSON: escapes, runs of
backslashes across 64-byte blocks, nested containers, white space before
colons. The probe is native code loaded with ctypes, so it runs in a worker
process that a crash only ends."""

import base64
import json
import os
import shutil
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velmora.omit import Omitter
from velmora.scan import scan

BENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench")
sys.path.insert(0, BENCH)
from bench import HIDDEN  # noqa: E402
from bench_stage1 import VARIANTS, cpu_flags  # noqa: E402


pytestmark = [
    pytest.mark.skipif(shutil.which("g++") is None, reason="the probe is built with g++"),
    pytest.mark.skipif(not all(f" {flag} " in cpu_flags() for flag in ("avx2", "pclmulqdq", "bmi2")),
                       reason="the probe is built for AVX2, PCLMUL and BMI2"),
]

WORKER = r"""
import base64, json, sys
sys.path.insert(0, sys.argv[1])
import bench_stage1 as b
from bench import HIDDEN
probe = b.Probe(b.build(), HIDDEN, int(sys.argv[2]))
for line in sys.stdin:
    ask = json.loads(line)
    data = base64.b64decode(ask["data"])
    reply = {"in_string": base64.b64encode(probe.in_string(data, ask["variant"])).decode(),
             "classes": probe.classes(data, ask["variant"])}
    try:
        reply["masked"] = base64.b64encode(probe.masked(data, ask["variant"])[0]).decode()
    except ValueError:
        reply["masked"] = None
    at = b.address(data)
    reply["counts"] = [probe.run(at, len(data), ask["variant"], mode) for mode in (b.COUNT, b.STAGE1, b.MASKS_ONLY)]
    print(json.dumps(reply), flush=True)
"""


class Worker:
    def __init__(self, chunk):
        self.proc = subprocess.Popen([sys.executable, "-c", WORKER, BENCH, str(chunk)], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)

    def ask(self, data, variant):
        self.proc.stdin.write(json.dumps({"data": base64.b64encode(data).decode(), "variant": variant}) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        assert line, f"the probe's worker ended (exit status {self.proc.poll()})"
        reply = json.loads(line)
        masked = reply["masked"] and base64.b64decode(reply["masked"])
        self.counts = reply["counts"]
        return base64.b64decode(reply["in_string"]), reply["classes"], masked

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=60)


# A small chunk makes stage 2 carry its unread entries across many stage 1
# passes; a large one reads each document in one pass.
@pytest.fixture(scope="module", params=[64, 1 << 20], ids=["64-byte passes", "one pass"])
def worker(request):
    w = Worker(request.param)
    yield w
    w.close()


def tokenize(data, hidden):
    """(in-string flag per byte, class per string: 0 value, 1 key, 2 hidden
    value, 3 hidden key) of valid JSON text, byte by byte."""
    flags = bytearray(len(data))
    classes = []
    frames = []  # "object", or an array's verdict for its strings
    key_hidden = False
    i = 0
    while i < len(data):
        c = data[i]
        if c == ord('"'):
            start = i
            i += 1
            while data[i] != ord('"'):
                i += 2 if data[i] == ord("\\") else 1
            flags[start:i] = b"\x01" * (i - start)
            after = i + 1
            while after < len(data) and data[after] in b" \t\r\n":
                after += 1
            if after < len(data) and data[after] == ord(":"):
                key_hidden = json.loads(data[start:i + 1]) in hidden
                classes.append(3 if key_hidden else 1)
            else:
                frame = frames[-1] if frames else False
                classes.append(2 if (key_hidden if frame == "object" else frame) else 0)
        elif c == ord("{"):
            frames.append("object")
        elif c == ord("["):
            frame = frames[-1] if frames else False
            frames.append(key_hidden if frame == "object" else frame)
        elif c in b"}]":
            frames.pop()
        i += 1
    return bytes(flags), classes


def escape_all(s):
    """s as a JSON string with every character written as a \\u escape."""
    units = s.encode("utf-16-be")
    return '"' + "".join(f"\\u{int.from_bytes(units[k:k + 2], 'big'):04x}" for k in range(0, len(units), 2)) + '"'


# Strings rich in what stage 1 must get right: quotes and backslashes (which
# json.dumps escapes, so runs of backslashes of every length appear), control
# characters, non-ASCII and characters outside the BMP.
texts = st.text(st.sampled_from('ab"\\/\n\x01 é€😀'), max_size=40) | st.text(max_size=12)
keys = st.sampled_from(HIDDEN) | st.sampled_from(["name", "tags", "pass", "x"]) | texts
values = st.recursive(
    st.none() | st.booleans() | st.integers() | texts,
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(keys, inner, max_size=5),
    max_leaves=30,
)


@st.composite
def documents(draw):
    """(text, value): a JSON text written with a random layout."""
    value = draw(st.dictionaries(keys, values, max_size=6) | st.lists(values, max_size=4))
    ascii_only = draw(st.booleans())
    spaced = draw(st.sampled_from([(",", ":"), (", ", ": "), (" ,\n", " \t:\r\n")]))
    escaped_keys = draw(st.booleans())

    def write(v):
        if isinstance(v, dict):
            items = [(escape_all(k) if escaped_keys else json.dumps(k, ensure_ascii=ascii_only)) + spaced[1] + write(x)
                     for k, x in v.items()]
            return "{" + spaced[0].join(items) + "}"
        if isinstance(v, list):
            return "[" + spaced[0].join(write(x) for x in v) + "]"
        return json.dumps(v, ensure_ascii=ascii_only)

    # White space in front moves every byte against the 64-byte blocks.
    return (" " * draw(st.integers(0, 63)) + write(value)).encode(), value


@pytest.mark.parametrize("variant", list(VARIANTS))
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture,
                                                                   HealthCheck.too_slow])
@given(doc=documents())
def test_the_probe_finds_strings_keys_and_masks_as_a_tokenizer_and_the_scanner_do(worker, variant, doc):
    data, _ = doc
    in_string, classes, masked = worker.ask(data, variant)
    want_flags, want_classes = tokenize(data, set(HIDDEN))
    assert in_string == want_flags
    assert classes == want_classes
    assert masked == scan(Omitter(HIDDEN), data)
    # Counting finds the strings writing masks; stage 1 counts without
    # writing the index as many entries as it writes.
    masked_strings, entries, entries_counted = worker.counts
    assert masked_strings == want_classes.count(2)
    assert entries == entries_counted


@pytest.mark.parametrize("variant", list(VARIANTS))
@pytest.mark.parametrize("run", [1, 2, 3, 62, 63, 64, 65, 127, 128, 129])
@pytest.mark.parametrize("shift", [0, 1, 31, 62, 63])
def test_backslash_runs_across_blocks(worker, variant, run, shift):
    # A value of `run` backslashes and a quote (written as 2 * run + 1
    # backslashes and the quote), placed so that the runs end at and around
    # the end of a 64-byte block; then a hidden key, to be found as a key.
    data = (" " * shift + json.dumps({"a": "\\" * run + '"', "password": "x" * run})).encode()
    in_string, classes, masked = worker.ask(data, variant)
    assert (in_string, classes) == tokenize(data, set(HIDDEN))
    assert masked == scan(Omitter(HIDDEN), data)


@pytest.mark.parametrize("variant", list(VARIANTS))
@pytest.mark.parametrize("data", [b'{"a": "x', b'["\x01"]', b'"abc\\"'], ids=["unterminated", "control", "escaped end"])
def test_the_probe_refuses_what_it_can_tell_is_bad(worker, variant, data):
    assert worker.ask(data, variant)[2] is None
