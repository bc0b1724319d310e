"""Masking a dict value changes the dict's version tag (PEP 509) as a store
would: to a tag no dict had before, never reused for other contents."""

import copy

import _testcapi

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velmora.omit import NoTrustOmitter, Omitter

version = _testcapi.dict_get_version


@pytest.mark.parametrize("data", [
    {"password": "a", "token": "bb", "n": 1},
    {1: 2, None: "secret", "password": "pw"},  # a table of general keys
    {"nested": {"password": "a"}, "password": "b"},
], ids=["str keys", "general keys", "nested"])
@pytest.mark.parametrize("make", [lambda: Omitter(["password", "token", None]),
                                  lambda: NoTrustOmitter(["n", "nested"])], ids=["omit", "notrust"])
def test_masking_gives_a_tag_no_dict_had(make, data):
    data = copy.deepcopy(data)
    before = version(data)
    make().omit(data)
    after = version(data)
    assert before < after < version({})
    assert "*" in data["password"]


def test_each_dict_gets_its_own_tag():
    first, second = {"password": "a"}, {"password": "b"}
    Omitter(["password"]).omit({"x": [first, second]})
    assert version(first) != version(second)


@pytest.mark.parametrize("data", [
    {"name": "a", "inner": {"n": 1}, "items": ["x"]},
    {"password": "**", "inner": {"password": "*"}},  # already masked
], ids=["no secret", "masked before"])
def test_a_dict_the_walk_does_not_change_keeps_its_tag(data):
    Omitter(["password"]).omit(data)
    before = version(data)
    Omitter(["password"]).omit(data)
    assert version(data) == before


class Observer:
    """A key-list item whose equality test records the walked dict's tag and
    contents each time the walk compares a key with it."""

    def __init__(self):
        self.target = None
        self.seen = []

    def __eq__(self, other):
        self.seen.append((version(self.target), dict(self.target)))
        return False

    __hash__ = object.__hash__


@pytest.mark.parametrize("data", [
    {"password": "a", "user": "u", "token": "t", "id": "i"},
    {"user": "u", "password": "a", "token": "t"},
    {"password": "a", "token": "t", "user": "u", "secret": "s", "other": "o"},
])
def test_one_tag_never_stands_for_two_contents(data):
    observer = Observer()
    observer.target = data
    Omitter(["password", "token", "secret", observer]).omit(data)
    seen = observer.seen + [(version(data), dict(data))]
    assert len(observer.seen) >= 1
    by_tag = {}
    for tag, contents in seen:
        assert by_tag.setdefault(tag, contents) == contents


# Steps of a generated run: each masks one or more dicts (an own value,
# shared, or under several parents), or moves the interpreter's tags on by
# its own means (a store, a dict made, one let go), so that the tags the
# walk takes are checked against the tags stores take before and after.
STEP = st.one_of(
    st.tuples(st.just("omit"), st.integers(1, 4), st.booleans()),
    st.tuples(st.just("store"), st.integers(0, 3)),
    st.tuples(st.just("made"), st.integers(0, 3)),
)


@settings(max_examples=60, deadline=None, derandomize=True)
@given(st.lists(STEP, min_size=1, max_size=12))
def test_each_mask_takes_the_next_tag_a_store_would(steps):
    """Wherever the walk's tags come from (the interpreter's counter itself,
    a flipped dict of the module's own, or dicts made and dropped), each
    dict it masks ends with a tag above every tag taken before the walk and
    below every tag taken after it, and no two dicts share one."""
    scratch, seen = {}, []
    last = version({})
    for step in steps:
        if step[0] == "omit":
            count, shared = step[1], step[2]
            masked = [{"password": "p" * (i + 1), "n": i} for i in range(count)]
            Omitter(["password"]).omit({"rows": masked, "again": masked if shared else []})
            tags = [version(d) for d in masked]
            assert all(last < tag for tag in tags) and len(set(tags)) == count
            last = max(tags)
            seen.extend(tags)
            assert all(d["password"] == "*" * (i + 1) for i, d in enumerate(masked))
        elif step[0] == "store":
            for i in range(step[1] + 1):
                scratch[i] = step
            assert version(scratch) > last
            last = version(scratch)
        else:
            made = [{} for _ in range(step[1] + 1)]
            assert all(version(d) > last for d in made)
            last = max(version(d) for d in made)
    after = version({})
    assert after > last and len(set(seen)) == len(seen)
