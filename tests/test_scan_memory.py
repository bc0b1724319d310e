"""One call on a large buffer gives the same bytes as the same data in many
small calls: a result written in place across memory asked for a few MiB
ahead (and in huge pages), or moved once it outgrows the input's size."""

import pytest

from conftest import assert_runs_clean

# Run in a child: a write past the memory asked for would crash it.
CODE = r"""
import random
import velmora.scan as vscan
from velmora.omit import Omitter
from velmora.rules import RuleOmitter
from velmora.scan import scan, scan_lines

omitter = OMITTER
rng = random.Random(20)
words = ["a", r"\u00e9t\u00e9", "café", r"\"q\"", "", "secret", "x" * 300]
lines = []
for i in range(1200):
    # Short secrets: a longer mask makes the output outgrow the input.
    record = '{"id": %d, "pw": "%s", "tags": ["%s", %s], "n": {"pw": "%s", "v": %s}}' % (
        i, rng.choice(words[:-1]) * rng.randint(0, 3), rng.choice(words[:5] + words[-1:]),
        rng.choice(["null", "1e5", "-0.5"]), rng.choice(words), rng.choice(["true", "[]", '"pw"']))
    lines.append(record.encode() + rng.choice([b"\n", b"\r\n"]))
lines[7] = b'{"pw": "unterminated}\n'
block = b"".join(lines)
copies = SIZE_MB * (1 << 20) // len(block) + 1
data = block * copies
pieces, pos = [], 0
while pos < len(data):
    stop = data.rfind(b"\n", pos, pos + (1 << 20)) + 1
    pieces.append(memoryview(data)[pos:stop])
    pos = stop
records = [line.rstrip(b"\r\n") for line in lines if b"unterminated" not in line]
document = b"[" + b",".join(records * copies) + b"]"
for path in vscan._paths():
    vscan._set_path(path)
    whole, errors, count = scan_lines(omitter, data, skip_invalid=True)
    parts = [scan_lines(omitter, piece, skip_invalid=True) for piece in pieces]
    assert whole == b"".join(p[0] for p in parts), path
    assert count == sum(p[2] for p in parts) == data.count(b"\n")
    starts = [sum(len(q) for q in pieces[:k]) for k in range(len(pieces))]
    assert [(e.pos, e.msg) for e in errors] == [(start + e.pos, e.msg) for start, p in zip(starts, parts)
                                                for e in p[1]], path
    assert len(errors) == copies
    assert b"secret" not in whole and len(whole) > SIZE_MB << 19
    # One document: the array of the valid records, against each on its own.
    expected = b"[" + b",".join([scan(omitter, r) for r in records] * copies) + b"]"
    assert scan(omitter, document) == expected, path
"""


@pytest.mark.parametrize("omitter", [
    'Omitter(["pw"])',
    'RuleOmitter(["pw"], mask="[a mask much longer than most of what it hides]")',
    'RuleOmitter(["pw"], keep_last=2)',
], ids=["stars", "longer-mask", "keep-last"])
def test_one_large_call_equals_many_small_ones(omitter):
    assert_runs_clean(CODE.replace("OMITTER", omitter).replace("SIZE_MB", "20"), timeout=600)
