"""What a hidden value becomes under each mask policy, against a reference
of the policies, and a walk whose omitter changes policy under it."""

import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import assert_runs_clean
from velmora.redact import redacted
from velmora.rules import RuleNoTrustOmitter, RuleOmitter

POLICIES = st.one_of(
    st.just({}),
    st.builds(lambda m: {"mask": m}, st.text(max_size=3)),
    st.builds(lambda n: {"keep_last": n}, st.integers(1, 6)),
    st.builds(lambda m: {"whole": True, **({"mask": m} if m is not None else {})}, st.none() | st.text(max_size=3)),
)
# Astral and combining characters: the masks count code points.
TEXTS = st.text(st.characters(codec="utf-8") | st.sampled_from("é\u0301😀"), max_size=9)


def masked(policy, value):
    text = policy.get("mask", "[Filtered]" if policy.get("whole") else None)
    if policy.get("whole"):
        return text
    if not isinstance(value, str):
        return value
    if text is not None:
        return text
    keep = policy.get("keep_last", 0)
    return "*" * len(value) if len(value) <= keep else "*" * (len(value) - keep) + value[len(value) - keep:]


@settings(max_examples=300, deadline=None)
@given(policy=POLICIES, value=TEXTS, trusting=st.booleans())
def test_hidden_values_are_masked_by_the_policy(policy, value, trusting):
    if trusting:
        omitter = RuleNoTrustOmitter(["shown"], contains=["open"], **policy)
    else:
        omitter = RuleOmitter(["pin", "n", "d"], contains=["secret", "list"], **policy)
    data = {"pin": value, "a_secret_list": [value, 7, [value]], "n": 5, "d": {"inner": value},
            "shown": value, "opened": [value]}
    whole = policy.get("whole", False)
    expected = {
        "pin": masked(policy, value),
        "a_secret_list": masked(policy, 0) if whole else [masked(policy, value), 7, [masked(policy, value)]],
        "n": masked(policy, 5),
        # Walked by its own keys ("inner" is hidden only when nothing is trusted).
        "d": masked(policy, 0) if whole else {"inner": masked(policy, value) if trusting else value},
        "shown": value,
        "opened": [value],
    }
    assert redacted(omitter, data) == expected  # the copy-on-write walk reads the same policy
    assert omitter.omit(data) == expected
    assert omitter.omit_recurse([value, [value]], True) == [masked(policy, value), [masked(policy, value)]]


def test_a_walk_keeps_the_policy_it_started_with_while_the_omitter_changes():
    # Each key comparison re-initialises the omitter with another policy. A
    # walk that started with a policy goes on reading it: policies are never
    # freed before their omitter (the sanitized run checks the reads).
    assert_runs_clean("""
        from velmora.rules import RuleOmitter
        policies = [dict(mask="M"), dict(keep_last=2), dict(mask="[x]", whole=True), dict(), dict(mask="N" * 300)]
        class Reinit:
            calls = 0
            def __eq__(self, other):
                Reinit.calls += 1
                r.__init__(["k", Reinit()], contains=["s"], **policies[Reinit.calls % len(policies)])
                return False
            __hash__ = object.__hash__
        r = RuleOmitter(["k", Reinit()], contains=["s"], mask="first")
        data = {f"x{i}": "v" * i for i in range(300)}
        data.update({f"s{i}": "secret" * i for i in range(300)})
        r.omit(data)
        assert Reinit.calls >= 300
        assert {data[f"s{i}"] for i in range(300)} == {"first"}, set(data.values())
    """)


@pytest.mark.parametrize("value", ["😀😀abc", "éé\u0301xyz", "\u20ac\u20acéé", "abc😀", "😀ä😀ä", "\u0101" * 40 + "tail"])
@pytest.mark.parametrize("keep", [1, 3])
def test_a_keep_last_mask_is_as_narrow_as_the_characters_it_holds(value, keep):
    # Made in one piece, the mask must still be the str concatenation would
    # make: one as wide as its widest character, or it compares unequal to
    # the same text (and a dict lookup of it misses).
    expected = "*" * (len(value) - keep) + value[-keep:]
    omitter = RuleOmitter(["pin"], keep_last=keep)
    for mask in (omitter.omit({"pin": value})["pin"], redacted(omitter, {"pin": value})["pin"],
                 RuleOmitter(["pin"], policies={"pin": {"keep_last": keep}}).omit({"pin": value})["pin"]):
        assert mask == expected and {expected: 1}.get(mask) == 1
        assert mask.isascii() == expected.isascii()
        assert sys.getsizeof(mask) == sys.getsizeof(expected)
