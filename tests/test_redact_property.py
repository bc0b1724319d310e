"""Property test of copy-on-write redaction: `redacted(o, x)` is what
`o.omit(copy.deepcopy(x))` (or `omit_recurse`) gives, `x` is left exactly as
it was, and the result shares every container of `x` that has nothing masked
beneath it while every container that has is a new object."""

import collections
import copy

from conftest import SANITIZED
from hypothesis import HealthCheck, given, settings, strategies as st

import velmora.omit as omit
from velmora.redact import redacted


class PlainOmitter(omit.Omitter):
    """Overrides nothing: takes the native path."""


class PlainNoTrust(omit.NoTrustOmitter):
    pass


class AuditedOmitter(omit.Omitter):
    """Overrides the walk in Python: redacted falls back to a deep copy."""

    def omit(self, target):
        target["_seen"] = "yes"
        return super().omit(target)


KINDS = {
    "omitter": omit.Omitter,
    "no_trust": omit.NoTrustOmitter,
    "plain_subclass": PlainOmitter,
    "plain_no_trust_subclass": PlainNoTrust,
    "overriding_subclass": AuditedOmitter,
}


class Tag(str):
    """A str subclass: refused where the walk would have to mask it."""


class Opaque:
    """An object of no built-in type: the number test asks isinstance."""

    def __eq__(self, other):
        return type(other) is Opaque

    __hash__ = object.__hash__


KEYS = st.one_of(st.none(), st.sampled_from(["a", "b", "é", "", "pw", "_seen"]), st.text(max_size=3))
LEAVES = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.complex_numbers(allow_nan=False),
    st.text(max_size=6), st.text(min_size=62, max_size=67), st.sampled_from(["", "*", "***"]),
    st.binary(max_size=3), st.tuples(st.text(max_size=2)), st.builds(Opaque),
)
# Rarely, something the walk refuses somewhere: the outcome must be the
# same exception as the in-place walk's.
REFUSED = st.one_of(
    st.builds(lambda: collections.OrderedDict(a="x")),
    st.builds(Tag, st.text(max_size=3)),
    st.builds(lambda: collections.UserList()),  # not a list: left alone
    st.builds(lambda v: {1: v}, st.text(max_size=2)),  # int key of a str value
)
VALUES = st.recursive(
    LEAVES,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(KEYS, inner, max_size=4),
    max_leaves=24,
)
VALUES_WITH_REFUSED = st.recursive(
    st.one_of(LEAVES, REFUSED),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(KEYS, inner, max_size=4),
    max_leaves=16,
)
SETTINGS = settings(
    max_examples=80 if SANITIZED else 300, deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)


def containers(value):
    """Ids of every dict and list inside value (value included), in walk order."""
    if type(value) in (dict, list):
        yield id(value)
        for child in value.values() if type(value) is dict else value:
            yield from containers(child)


def masked_beneath(before, after):
    """Whether anything under `before` differs in `after` (the expected result,
    whose shape is the same: the walk only replaces str values)."""
    if type(before) is dict:
        return any(masked_beneath(v, after[k]) for k, v in before.items())
    if type(before) is list:
        return any(masked_beneath(v, w) for v, w in zip(before, after))
    return type(before) is not type(after) or before != after


def check_sharing(source, result, expected):
    """A container of the result is the source's own exactly when nothing is
    masked beneath it; one with a mask beneath it is a new object."""
    if type(source) not in (dict, list):
        return
    if masked_beneath(source, expected):
        assert result is not source
        children = source.items() if type(source) is dict else enumerate(source)
        for key, child in children:
            check_sharing(child, result[key], expected[key])
    else:
        assert result is source


def run(kind, data, keys, do):
    """Both ways to redact `data`: (outcome of redacted, outcome of the
    in-place walk on a deep copy); an outcome is ("ok", value) or
    ("error", type, message)."""
    omitter = KINDS[kind](keys)

    def outcome(fn):
        try:
            return ("ok", fn())
        except (TypeError, RuntimeError) as exc:
            return ("error", type(exc), str(exc))

    if type(data) is dict:
        return (outcome(lambda: redacted(omitter, data, do)),
                outcome(lambda: omitter.omit(copy.deepcopy(data))))
    return (outcome(lambda: redacted(omitter, data, do)),
            outcome(lambda: omitter.omit_recurse(copy.deepcopy(data), do)))


def check(kind, data, keys, do):
    snapshot = copy.deepcopy(data)
    ids = list(containers(data))
    got, expected = run(kind, data, keys, do)
    if got[0] == "error":
        assert got == expected
    else:
        assert expected[0] == "ok", expected
        assert got[1] == expected[1]
        if kind != "overriding_subclass":
            check_sharing(data, got[1], expected[1])
    assert data == snapshot
    assert list(containers(data)) == ids


def key_pool(data):
    found = set()

    def visit(value):
        if type(value) is dict:
            for k, v in value.items():
                if isinstance(k, (str, type(None))):
                    found.add(k)
                visit(v)
        elif type(value) is list:
            for v in value:
                visit(v)

    visit(data)
    return sorted(found, key=repr)


@SETTINGS
@given(st.sampled_from(sorted(KINDS)), st.one_of(st.dictionaries(KEYS, VALUES, max_size=5),
                                                   st.lists(VALUES, max_size=5)), st.booleans(), st.data())
def test_redacted_is_omit_of_a_deep_copy(kind, data, do, draw):
    pool = key_pool(data)
    keys = draw.draw(st.lists(st.sampled_from(pool) | KEYS if pool else KEYS, max_size=5))
    check(kind, data, keys, do)


@SETTINGS
@given(st.sampled_from(sorted(KINDS)), st.one_of(st.dictionaries(KEYS, VALUES_WITH_REFUSED, max_size=4),
                                                   st.lists(VALUES_WITH_REFUSED, max_size=4)), st.data())
def test_refused_data_fails_as_the_in_place_walk_does(kind, data, draw):
    pool = key_pool(data)
    keys = draw.draw(st.lists(st.sampled_from(pool) | KEYS if pool else KEYS, max_size=5))
    check(kind, data, keys, True)
