"""Verdicts are remembered by key object within a walk only: no key is kept
alive by them, and a key freed between walks leaves no answer behind for
whatever object takes its place."""

import gc
import tracemalloc

import pytest

from velmora.rules import RuleNoTrustOmitter, RuleOmitter

HUGE = 50_000_000


@pytest.fixture
def traced():
    gc.collect()
    tracemalloc.start()
    yield lambda: (gc.collect(), tracemalloc.get_traced_memory()[0])[1]
    tracemalloc.stop()


@pytest.mark.parametrize("cls", [RuleOmitter, RuleNoTrustOmitter])
@pytest.mark.parametrize("exact", [[], ["password", "id"]])
def test_a_huge_key_is_freed_with_the_data(cls, exact, traced):
    omitter = cls(exact, ignore_case=True, contains=["secret"], patterns=["^K{3}"])
    key = "K" * HUGE  # capitals: folding it makes a copy too
    data = {key: "v", "nested": [{key: ["w"]}, {key: {key: "x"}}]}
    omitter.omit(data)
    assert data[key] == ("*" if cls is RuleOmitter else "v")
    del data, key
    assert traced() < HUGE // 10  # the omitter still alive
    del omitter
    assert traced() < HUGE // 10


@pytest.mark.parametrize("cls", [RuleOmitter, RuleNoTrustOmitter])
def test_no_answer_outlives_its_key(cls, traced):
    omitter = cls(contains=["secret"])
    hidden = cls is RuleOmitter
    for round in range(20):
        # Same sizes each round: the new key is likely to take the freed
        # one's address, and must still get its own verdict.
        word = "secret" if round % 2 == 0 else "public"
        key = word + "x" * (HUGE // 50)
        data = {key: "v", "l": [{key: "w"}]}
        omitter.omit(data)
        assert (data[key] == "*") == (hidden == (word == "secret")), round
        del data, key
        assert traced() < HUGE // 100
