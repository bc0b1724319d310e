"""A walk that hides nothing allocates nothing that outlives it.

Uses the benchmark's 1,000-record payload (bench/bench.py). With no hidden key
present no mask is made, so the interpreter's count of allocated blocks must be
exactly the same before and after a full walk.
"""

import gc
import os
import sys
from array import array

import pytest

from velmora.omit import NoTrustOmitter, Omitter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
import bench  # noqa: E402  (the payload generator of the benchmark suite)

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("VELMORA_SANITIZED")),
    reason="allocated block counts are not kept without pymalloc",
)


@pytest.fixture(scope="module")
def payload():
    return bench.make_records(1000)


def block_counts(walk, data):
    """Allocated blocks after a second and after a third walk of `data`.

    The counts go into an array of machine integers, so that no int object
    holding the first count is alive (and counted) when the second is taken."""
    counts = array("q", [0, 0])
    assert walk(data) is data  # the first walk warms caches
    for i in range(2):
        assert walk(data) is data
        gc.collect()
        counts[i] = sys.getallocatedblocks()
    return counts[0], counts[1]


def steady_delta(walk, data):
    """The change in allocated blocks over a walk, 0 if any of five tries
    shows none. Threads that earlier tests left behind (an event loop
    winding down, a client's workers) may allocate or free blocks while the
    walk runs; a walk that allocates shows in every try."""
    deltas = array("q")
    for _ in range(5):
        before, after = block_counts(walk, data)
        deltas.append(after - before)
        if deltas[-1] == 0:
            return 0
    return deltas[-1]


def omitter_hiding_none(payload):
    present = bench.all_keys(payload)
    assert not present & set(bench.DECOYS)
    return Omitter(list(bench.DECOYS))


def notrust_trusting_all(payload):
    return NoTrustOmitter(sorted(bench.all_keys(payload)))


@pytest.mark.parametrize("make", [omitter_hiding_none, notrust_trusting_all])
def test_walk_without_matches_allocates_nothing(payload, make):
    walk = make(payload).omit
    expected = bench.make_records(1000)
    assert steady_delta(walk, payload) == 0
    assert payload == expected  # and nothing was masked


def test_omit_recurse_without_do_allocates_nothing():
    strings = bench.make_strlist(10_000)
    omitter = Omitter([])

    def walk(lst):
        return omitter.omit_recurse(lst, False)

    assert steady_delta(walk, strings) == 0
