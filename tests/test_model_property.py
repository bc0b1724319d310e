"""Property test: on random JSON-like data both omitter kinds redact in place
exactly as the pure-Python model says."""

import copy

from conftest import SANITIZED
from hypothesis import HealthCheck, given, settings, strategies as st

import velmora.omit as omit
from model import hides_key, model_omit, model_omit_recurse

KEYS = st.one_of(st.none(), st.text(max_size=4), st.sampled_from(["a", "b", "é", ""]))
LEAVES = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.text(max_size=6),
    st.text(min_size=62, max_size=67),  # either side of the longest shared mask
)
VALUES = st.recursive(
    LEAVES, lambda inner: st.lists(inner, max_size=4) | st.dictionaries(KEYS, inner, max_size=4), max_leaves=20
)
KINDS = {"omitter": (omit.Omitter, omit.always_omit), "no_trust": (omit.NoTrustOmitter, omit.always_trust)}
SETTINGS = settings(
    max_examples=60 if SANITIZED else 200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)


def walk(value):
    """Every key and every container inside value, value included."""
    if isinstance(value, (dict, list)):
        yield "container", value
        for k, v in value.items() if isinstance(value, dict) else enumerate(value):
            if isinstance(value, dict):
                yield "key", k
            yield from walk(v)


def make_omitter(kind, data, draw):
    found = sorted({x for what, x in walk(data) if what == "key"}, key=repr)
    pool = st.sampled_from(found) | KEYS if found else KEYS
    keys, global_keys = draw(st.lists(pool, max_size=5)), draw(st.lists(pool, max_size=2))
    cls, register = KINDS[kind]
    omit.reset_omissions()
    omit.reset_trusted()
    register(global_keys)
    return cls(keys), (lambda key: hides_key(kind, keys + global_keys, key))


def check(kind, data, draw, run, model):
    omitter, should_hide = make_omitter(kind, data, draw)
    expected = model(copy.deepcopy(data), should_hide)
    containers = [id(x) for what, x in walk(data) if what == "container"]
    assert run(omitter, data) is data
    assert data == expected
    assert [id(x) for what, x in walk(data) if what == "container"] == containers


@SETTINGS
@given(st.sampled_from(sorted(KINDS)), st.dictionaries(KEYS, VALUES, max_size=5), st.data())
def test_omit_matches_model(kind, data, draw):
    check(kind, data, draw.draw, lambda o, d: o.omit(d), model_omit)


@SETTINGS
@given(st.sampled_from(sorted(KINDS)), st.lists(VALUES, max_size=5), st.booleans(), st.data())
def test_omit_recurse_matches_model(kind, data, do, draw):
    check(kind, data, draw.draw, lambda o, d: o.omit_recurse(d, do),
          lambda d, should_hide: model_omit_recurse(d, should_hide, do))
