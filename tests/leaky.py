"""Data built to leak, for the integrations' tests: containers of every
kind the integrations may be handed, holding values that must be hidden,
and values that fail when they are read."""

import collections
import collections.abc
import types

from hypothesis import strategies as st

from velmora.omit import NoTrustOmitter, Omitter

SECRET = "s3cr3t"


class FrozenMap(collections.abc.Mapping):
    """A mapping that is not a dict."""

    def __init__(self, items):
        self._items = dict(items)

    def __getitem__(self, key):
        return self._items[key]

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)

    def __repr__(self):
        return f"FrozenMap({self._items!r})"


class Tag(str):
    pass


class Rows(list):
    pass


MAPPINGS = [dict, collections.OrderedDict, lambda items: collections.defaultdict(list, items),
            collections.UserDict, lambda items: types.MappingProxyType(dict(items)), FrozenMap]
SEQUENCES = [list, tuple, Rows, collections.deque, collections.UserList]


def leaking(draw, hidden, hides=None):
    """Data in which every str that must be hidden contains SECRET:
    `hidden(key)` says which keys hide (None: a value under no key), and
    `hides` whether the value itself stands where str values are hidden
    (default: under no key). A mapping is decided by its own keys."""
    def value(hides, depth):
        kind = draw(st.sampled_from(["str", "int", "map", "seq", "set", "tag"] if depth < 3 else ["str", "int"]))
        if kind == "int":
            return draw(st.integers(0, 9))
        if kind in ("str", "tag"):
            text = f"{SECRET}{draw(st.integers(0, 99))}" if hides else f"v{draw(st.integers(0, 99))}"
            return Tag(text) if kind == "tag" else text
        if kind == "set":
            texts = draw(st.lists(st.integers(0, 9), max_size=3))
            return draw(st.sampled_from([set, frozenset]))(f"{SECRET if hides else 'v'}{n}" for n in texts)
        if kind == "seq":
            return draw(st.sampled_from(SEQUENCES))([value(hides, depth + 1) for _ in range(draw(st.integers(0, 3)))])
        keys = draw(st.lists(st.sampled_from(["password", "user", "note"]), max_size=3, unique=True))
        return draw(st.sampled_from(MAPPINGS))([(k, value(hidden(k), depth + 1)) for k in keys])

    return value(hidden(None) if hides is None else hides, 0)


OMITTERS = {"hide": (lambda: Omitter(["password"]), lambda key: key == "password"),
            "trust": (lambda: NoTrustOmitter(["user"]), lambda key: key != "user")}


class Unreadable(collections.abc.Mapping):
    """Found by key, but cannot be iterated."""

    def __getitem__(self, key):
        return "hunter2"

    def __iter__(self):
        raise RuntimeError("no iteration")

    def __len__(self):
        return 1


class BadList(list):
    def __iter__(self):
        raise ValueError("no iteration")


def deep(n):
    data = leaf = {}
    for _ in range(n):
        leaf["password"] = leaf = {}
    leaf["password"] = "hunter2"
    return data


def looped():
    data = ["hunter2"]
    data.append(data)
    return data


