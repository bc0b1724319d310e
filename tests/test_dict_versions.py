"""Masking a dict value changes the dict's version tag (PEP 509) as a store
would: to a tag no dict had before, never reused for other contents."""

import copy
import sys

import _testcapi

import pytest

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


OPEN = "open"
# What each line opens. A gate closed by design says what stands in for it;
# any other closed gate is a fact that failed its check at import, which
# sends the walk down a slower public-API path in silence.
GATES = {
    (3, 11): {"dict versions": OPEN, "cached str hash": OPEN, "recursion budget": OPEN, "dict entries": OPEN,
              "entry writes": OPEN,
              "dict watcher": "closed by design: no dict watchers before 3.12; the caches read version tags"},
    (3, 12): {"dict versions": OPEN, "cached str hash": OPEN, "recursion budget": OPEN, "dict entries": OPEN,
              "entry writes": OPEN, "dict watcher": OPEN},
    (3, 13): {"dict versions": OPEN, "cached str hash": OPEN, "recursion budget": OPEN, "dict entries": OPEN,
              "entry writes": OPEN, "dict watcher": OPEN},
}


def layout_gates():
    """The gates as the package's native modules find them: six flags after
    the six function pointers of the method table in Omitter's capsule."""
    import ctypes

    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = get_pointer(Omitter.__dict__["__pyx_vtable__"], None)
    flags = ctypes.c_void_p.from_address(table + 6 * ctypes.sizeof(ctypes.c_void_p)).value
    return list(ctypes.cast(flags, ctypes.POINTER(ctypes.c_bool * 6)).contents)


def test_each_gate_is_open_or_closed_by_design_on_this_line():
    expected = GATES.get(sys.version_info[:2])
    assert expected is not None, f"no gate table for CPython {sys.version_info[:2]}: a port starts here"
    found = dict(zip(expected, layout_gates()))
    assert {name: OPEN if is_open else "closed" for name, is_open in found.items()} == {
        name: OPEN if state == OPEN else "closed" for name, state in expected.items()}


watchers = pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers arrive in 3.12")


@watchers
@pytest.mark.parametrize("make", [lambda: Omitter(["password", "token"]), lambda: NoTrustOmitter(["id", "inner"])],
                         ids=["omit", "notrust"])
def test_a_watched_dict_tells_its_watchers_of_every_mask(make):
    """A mask written into a dict entry in place would slip past the dict's
    watchers: a watched dict is masked through its own stores."""
    data = {"id": "1", "password": "pw", "token": "tk", "inner": {"password": "deep", "id": "2"}}
    watcher = _testcapi.add_dict_watcher(0)
    try:
        _testcapi.watch_dict(watcher, data)
        _testcapi.watch_dict(watcher, data["inner"])
        make().omit(data)
        events = _testcapi.get_dict_watcher_events()
    finally:
        _testcapi.clear_dict_watcher(watcher)
    assert data == {"id": "1", "password": "**", "token": "**", "inner": {"password": "****", "id": "2"}}
    assert sorted(events) == ["mod:password:**", "mod:password:****", "mod:token:**"]


class Sub(Omitter):
    pass


def test_a_remembered_lookup_never_stands_for_a_dict_born_where_a_dead_one_was():
    """The override dispatch remembers the dicts of an object whose instance
    holds the module's own method; a new object's dict may be born at the
    address of the dead one's, and its override must still be called."""
    for _ in range(50):
        own = Sub(["password"])
        own.omit = Omitter.omit
        assert Omitter.omit(own, {"n": {"password": "x"}}) == {"n": {"password": "*"}}
        del own
        calls = []
        other = Sub(["password"])
        other.omit = lambda target: calls.append(target) or target
        assert Omitter.omit(other, {"n": {"password": "x"}}) == {"n": {"password": "x"}}
        assert calls == [{"password": "x"}]
