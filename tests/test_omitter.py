"""The Omitter object: construction, its key list, argument errors,
attributes, re-initialisation and garbage collection."""

import abc
import gc
import sys
import weakref

import pytest

import velmora.omit as omit
from conftest import SOURCE_FILE, assert_no_leak, call_raising, module_entries
from hostile import Finaliser, PassThrough

Omitter = omit.Omitter
INIT = ("velmora.omit.Omitter.__init__", SOURCE_FILE, 38)


def held(o):
    """The omitter's own key list, as its pickling state shows it."""
    return o.__reduce__()[2][0]


class MyList(list):
    pass


class MyStr(str):
    pass


@pytest.mark.parametrize(
    "global_keys, args, kwargs, expected",
    [
        ([], (), {}, []),
        (["a"], (), {}, ["a", "a"]),
        (["a"], (None,), {}, ["a", "a"]),
        (["a"], (), {"omissions": None}, ["a", "a"]),
        (["a"], (["b"],), {}, ["b", "a"]),
        (["a"], (), {"omissions": ["b"]}, ["b", "a"]),
        (["a"], (), {MyStr("omissions"): ["b"]}, ["b", "a"]),
        (["a", "b"], (), {}, ["a", "b", "a", "b"]),
        (["a"], ([],), {}, ["a"]),
        (["a"], (["a", "a", 1],), {}, ["a", "a", 1, "a"]),
    ],
)
def test_list_is_given_keys_then_global_keys(global_keys, args, kwargs, expected):
    omit.always_omit(global_keys)
    given = [list(a) if isinstance(a, list) else a for a in args]
    o = Omitter(*given, **kwargs)
    keys = held(o)
    assert keys == expected
    assert given == list(args)  # the caller's list is copied, not changed
    assert all(keys is not a for a in given + list(kwargs.values()))


def test_later_changes_do_not_reach_an_existing_object():
    omit.always_omit(["g"])
    given = ["a"]
    o = Omitter(given)
    given.append("k")
    omit.always_omit(["k"])
    assert held(o) == ["a", "g"]
    assert o.omit({"k": "xy", "a": "xy", "g": "xy"}) == {"k": "xy", "a": "**", "g": "**"}
    assert held(Omitter()) == ["g", "k", "g", "k"]
    omit.reset_omissions()
    assert held(o) == ["a", "g"]


@pytest.mark.parametrize(
    "args, kwargs, message, entries",
    [
        (([], []), {}, "__init__() takes at most 1 positional argument (2 given)", [INIT]),
        ((), {"x": 1}, "__init__() got an unexpected keyword argument 'x'", [INIT]),
        (([],), {"omissions": []}, "__init__() got multiple values for keyword argument 'omissions'", [INIT]),
        (([],), {"x": 1}, "__init__() got an unexpected keyword argument 'x'", [INIT]),
        ((), {"trusted": []}, "__init__() got an unexpected keyword argument 'trusted'", [INIT]),
        ((("a",),), {}, "Argument 'omissions' has incorrect type (expected list, got tuple)", []),
        ((MyList(),), {}, "Argument 'omissions' has incorrect type (expected list, got MyList)", []),
        ((), {"omissions": "ab"}, "Argument 'omissions' has incorrect type (expected list, got str)", []),
        ((Omitter(),), {}, "Argument 'omissions' has incorrect type (expected list, got velmora.omit.Omitter)", []),
    ],
)
def test_argument_errors_leave_the_object_unchanged(args, kwargs, message, entries):
    o = Omitter(["old"])
    exc = call_raising(o.__init__, *args, **kwargs)
    assert type(exc) is TypeError and str(exc) == message
    assert module_entries(exc) == entries
    assert held(o) == ["old"]
    exc = call_raising(Omitter, *args, **kwargs)
    assert type(exc) is TypeError and str(exc) == message
    assert module_entries(exc) == entries


def test_non_str_keyword_reaching_the_initialiser():
    o = Omitter(["old"])
    exc = call_raising(lambda: Omitter.__init__(o, **{1: 2}))
    assert str(exc) == "__init__() keywords must be strings"
    assert module_entries(exc) == [INIT]
    assert held(o) == ["old"]


def test_reinitialising_replaces_the_list():
    o = Omitter(["a"])
    first = held(o)
    assert o.__init__(["b"]) is None
    assert held(o) == ["b"] and held(o) is not first
    omit.always_omit(["g"])
    o.__init__()
    assert held(o) == ["g", "g"]
    assert o.omit({"a": "x", "g": "yy"}) == {"a": "x", "g": "**"}


def test_no_python_visible_fields_no_weakref_immutable_type():
    o = Omitter(["a"])
    for read in (lambda: o.omissions, lambda: o.__dict__, lambda: setattr(o, "omissions", [])):
        assert type(call_raising(read)) is AttributeError
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(o)
    with pytest.raises(TypeError):
        Omitter.extra = 1
    flags = Omitter.__flags__
    assert flags & (1 << 10) and flags & (1 << 14) and flags & (1 << 8)  # BASETYPE, HAVE_GC, IMMUTABLETYPE
    assert not flags & (1 << 9) and not flags & (1 << 20)  # not HEAPTYPE, not IS_ABSTRACT
    assert Omitter.__doc__ is None and Omitter.__module__ == "velmora.omit"
    assert held(o) == ["a"]


@pytest.mark.parametrize("data, lines", [({"n": {"a": "x"}, "b": 1}, [46, 56, 52]), ({"n": {"d": 2}, "a": ["x"]}, [46, 58])])
def test_bare_object_fails_when_it_asks_should_hide(data, lines):
    o = Omitter.__new__(Omitter)
    assert o.__reduce__()[1][2] == (None,)
    assert o.omit({"i": 1, "d": {"n": None}}) == {"i": 1, "d": {"n": None}}  # should_hide not asked
    exc = call_raising(o.omit, data)
    assert type(exc) is TypeError
    assert str(exc) == "argument of type 'NoneType' is not iterable"
    assert module_entries(exc) == [("velmora.omit.Omitter.omit", SOURCE_FILE, n) for n in lines] + [
        ("velmora.omit.Omitter.should_hide", SOURCE_FILE, 44)]


@pytest.mark.parametrize("cls", [Omitter, PassThrough])
def test_omitter_inside_its_own_list_is_collected(cls):
    flags = []
    gc.collect()
    o = cls()
    o.__init__([o, Finaliser(lambda: flags.append("collected"))])
    assert gc.is_tracked(o)
    assert held(o) in gc.get_referents(o)
    del o
    assert flags == []  # only the cycle keeps it alive
    gc.collect()
    assert flags == ["collected"]


def test_abstract_subclass_is_refused_by_the_interpreter():
    class Abstract(Omitter, metaclass=abc.ABCMeta):
        @abc.abstractmethod
        def extra(self):
            ...

    exc = call_raising(Abstract, ["a"])
    assert type(exc) is TypeError
    # The interpreter's own words, which 3.12 changed.
    assert str(exc) == ("Can't instantiate abstract class Abstract without an implementation for abstract method 'extra'"
                        if sys.version_info >= (3, 12) else
                        "Can't instantiate abstract class Abstract with abstract method extra")

    class Concrete(Abstract):
        def extra(self):
            return 1

    c = Concrete(["a"])
    assert held(c) == ["a"] and c.omit({"a": "xy"}) == {"a": "**"}


@pytest.mark.parametrize(
    "build",
    [
        lambda: Omitter(["a", "b"]),
        lambda: Omitter(),
        lambda: PassThrough(["a"]),
        lambda: call_raising(Omitter, ("a",)),
        lambda: call_raising(Omitter, [], x=1),
        lambda: call_raising(Omitter(["a"]).__init__, [], []),
    ],
)
def test_construction_does_not_leak(build):
    omit.always_omit(["g"])
    assert_no_leak(build)
