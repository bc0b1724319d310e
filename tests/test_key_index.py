"""Long key lists are answered from an index; it must never answer for a
list that changed under it, whatever ran the change."""

import sys

import pytest

import velmora.omit as omit
from conftest import assert_runs_clean

DECOYS = [f"decoy{i}" for i in range(10)]
SIZES = pytest.mark.parametrize("size", [1, 10], ids=["one key", "ten keys"])


def key_list(omitter):
    """The omitter's own key list, as its pickling state hands it out."""
    return omitter.__reduce__()[2][0]


def hide_b(keys):
    keys[0] = "b"  # same length, different item


class ClassHook:
    """A value whose __class__ lookup (made by the walk's bool test) runs code."""

    def __init__(self, action):
        self.action = action

    @property
    def __class__(self):
        self.action()
        return ClassHook


class Finaliser:
    def __init__(self, action):
        self.action = action

    def __del__(self):
        self.action()


class Mutating(omit.Omitter):
    """Changes its own key list when the walk hands it a dict marked "first"."""

    def omit(self, target):
        if "first" in target:
            hide_b(key_list(self))
        return super().omit(target)


class Eq:
    def __init__(self, action):
        self.action = action

    def __eq__(self, other):
        self.action()
        return False

    __hash__ = object.__hash__


@SIZES
@pytest.mark.parametrize("how", ["override", "class hook", "equality"])
def test_index_sees_changes_made_by_python_code_mid_walk(how, size):
    o = (Mutating if how == "override" else omit.Omitter)(DECOYS[:size])
    keys = key_list(o)
    o.omit({"warm": "up", "b": "x"})  # build and check the index
    first = {
        "override": {"first": 1},
        "class hook": ClassHook(lambda: hide_b(keys)),
        "equality": "x",
    }[how]
    if how == "equality":
        keys.append(Eq(lambda: hide_b(keys)))
    data = {"a": first, "b": "secret", "c": {"b": "s2"}}
    o.omit(data)
    assert keys[0] == "b"
    assert data["b"] == "******" and data["c"] == {"b": "**"}


@SIZES
def test_index_sees_changes_made_by_a_finaliser_mid_walk(size):
    class Replacing(omit.Omitter):
        def omit(self, target):
            if "f" in target:
                return {}  # stored in place of `target`, whose release follows
            return super().omit(target)

    o = Replacing(DECOYS[:size])
    keys = key_list(o)
    o.omit({"warm": "up"})
    data = {"n": {"f": Finaliser(lambda: hide_b(keys))}, "b": "secret", "c": {"b": "s2"}}
    o.omit(data)
    assert keys[0] == "b"
    assert data == {"n": {}, "b": "******", "c": {"b": "**"}}


@SIZES
def test_index_sees_changes_made_between_walks(size):
    o = omit.Omitter(DECOYS[:size])
    keys = key_list(o)
    assert o.omit({"b": "x"}) == {"b": "x"}
    keys.append("b")
    assert o.omit({"b": "x"}) == {"b": "*"}
    keys.remove("b")
    assert o.omit({"b": "x"}) == {"b": "x"}


@pytest.mark.parametrize(
    "extra, key, expected",
    [
        ("b", "b", True),
        (None, None, True),  # a None item is found by identity
        (1, None, False),
        ("B", "b", False),
    ],
)
def test_long_lists_answer_like_the_interpreter(extra, key, expected):
    keys = list(DECOYS) + [extra]
    assert (key in keys) is expected
    data = {key: "secret"}
    omit.Omitter(keys).omit(data)
    assert (data[key] == "******") is expected


@SIZES
def test_a_dropped_key_list_is_freed_at_once(size):
    """The index must not keep an omitter's key list (or what was put in it)
    alive once the omitter is gone."""
    freed = []
    o = omit.Omitter(DECOYS[:size])
    o.omit({"b": "x"})  # index the list
    keys = key_list(o)
    keys.append(Finaliser(lambda: freed.append(True)))
    del o, keys
    assert freed == [True]


@pytest.mark.parametrize("kind, keys, data, expected", [
    # The omitter's own key list is masked by the walk itself, then asked.
    ("omit", ["k", "a"], lambda keys: {"k": keys, "a": "secret"}, lambda keys: {"k": keys, "a": "secret"}),
    ("recurse", ["k", "a"], lambda keys: [{"a": "x"}, keys, {"a": "secret"}],
     lambda keys: [{"a": "*"}, keys, {"a": "secret"}]),
    ("notrust", ["a", "k"], lambda keys: {"a": "v1", "z": keys, "n": {"a": "secret"}},
     lambda keys: {"a": "v1", "z": keys, "n": {"a": "******"}}),
], ids=["omit", "omit_recurse", "no_trust"])
def test_index_sees_masks_the_walk_writes_into_the_key_list(kind, keys, data, expected):
    o = (omit.NoTrustOmitter if kind == "notrust" else omit.Omitter)(keys)
    own = o.__reduce__()[2][1 if kind == "notrust" else 0]
    o.omit({"a": "x", "z": "x"})  # index the list and remember "a"
    target = data(own)
    if kind == "recurse":
        o.omit_recurse(target)
    else:
        o.omit(target)
    assert own == ["*", "*"] and target == expected(own)


def _unique(text):
    """A str object of its own (not interned, not shared with the test's
    literals), so that its reference count is ours to watch."""
    return "".join([text, "!"])[:-1] + ""


@pytest.mark.parametrize("kind", [omit.Omitter, omit.NoTrustOmitter])
@pytest.mark.parametrize("where", ["dict", "list"])
def test_walks_keep_no_reference_to_keys_met_in_data(kind, where):
    """What a walk remembers about a key it met dies with the call."""
    keys = [_unique("password"), _unique("id"), _unique("tokens")]
    o = kind(["password", "id"])
    data = {keys[0]: "x", keys[1]: "y", keys[2]: ["a"], "n": {keys[0]: "z"}}
    target = [data] if where == "list" else data
    before = [sys.getrefcount(k) for k in keys]
    for _ in range(3):
        (o.omit_recurse if where == "list" else o.omit)(target)
    assert [sys.getrefcount(k) for k in keys] == before


@pytest.mark.parametrize("kind", [omit.Omitter, omit.NoTrustOmitter])
def test_key_list_items_die_with_their_omitter(kind):
    item = _unique("password")
    before = sys.getrefcount(item)
    o = kind([item, "other"])
    o.omit({"password": "x", "q": "y"})  # builds the object's index
    assert sys.getrefcount(item) > before
    del o
    assert sys.getrefcount(item) == before


def test_a_key_chosen_by_the_data_pins_no_memory():
    code = """
        import gc, tracemalloc, velmora.omit as m
        tracemalloc.start()
        o = m.Omitter(['password']); base = tracemalloc.get_traced_memory()[0]
        big = 'k' * (50 << 20)
        o.omit({big: 'v', 'password': 'x'}); del big; gc.collect()
        after_data = tracemalloc.get_traced_memory()[0] - base
        item = 'i' * (50 << 20)
        n = m.NoTrustOmitter([item]); n.omit({item: 'v', 'q': 'w'}); del item, n; gc.collect()
        after_omitter = tracemalloc.get_traced_memory()[0] - base
        print(after_data >> 20, after_omitter >> 20)
    """
    proc = assert_runs_clean(code)
    assert proc.stdout.split() == ["0", "0"], proc.stdout
