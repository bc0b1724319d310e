"""NoTrustOmitter: its trusted list, the inverted walk, errors and collection."""

import gc
import sys
import weakref

import pytest

import velmora.omit as omit
from conftest import SOURCE_FILE, assert_no_leak, call_raising, module_entries

NoTrust = omit.NoTrustOmitter
INIT, OMIT = "velmora.omit.NoTrustOmitter.__init__", "velmora.omit.Omitter.omit"
SHOULD_HIDE = ("velmora.omit.NoTrustOmitter.should_hide", SOURCE_FILE, 85)


class SubNoTrust(NoTrust):
    label = "sub"


class MyList(list):
    pass


def state(n):
    """The (omissions, trusted) fields, as the pickling state shows them."""
    r = n.__reduce__()
    return r[2] if len(r) == 3 else r[1][2]


@pytest.mark.parametrize("given, global_items, expected", [
    (["a", "a"], [], ["a"]), (["id"], ["id"], ["id"]), (["x"], ["id"], ["id", "x"]),
    (["x", "id", "x"], ["id", "y", "y"], ["id", "x", "y"]), ([], ["g"], ["g"]),
    (None, ["g", "g", "h"], ["g", "h"]), (None, [], []), ([1, 1.0, True, "1"], [], [1, "1"]),
])
@pytest.mark.parametrize("cls", [NoTrust, SubNoTrust])
def test_trusted_holds_distinct_items(cls, given, global_items, expected):
    omit.always_omit(["o"])
    omit.always_trust(global_items)
    n = cls() if given is None else cls(trusted=given)
    omissions, trusted = state(n)[:2]
    assert omissions is None and type(trusted) is list and trusted is not given
    assert sorted(map(repr, trusted)) == sorted(map(repr, expected))


def test_trusted_is_detached_from_its_sources():
    omit.always_trust(["g"])
    given = ["a"]
    n = NoTrust(given)
    given.append("b")
    omit.always_trust(["b"])
    omit.reset_trusted()
    assert sorted(state(n)[1]) == ["a", "g"]
    assert n.omit({"a": "1", "g": "2", "b": "3"}) == {"a": "1", "g": "2", "b": "*"}


@pytest.mark.parametrize("made_before", [True, False])
def test_objects_made_before_or_after_always_trust(made_before):
    if made_before:
        n, o = NoTrust(), omit.Omitter(["k"])
    omit.always_trust(["k"])
    if not made_before:
        n, o = NoTrust(), omit.Omitter(["k"])
    assert state(n)[1] == ([] if made_before else ["k"])
    assert n.omit({"k": "ab"}) == {"k": "**" if made_before else "ab"}
    assert o.omit({"k": "ab"}) == {"k": "**"} and state(o) == (["k"],)


@pytest.mark.parametrize("trust, data, expected", [
    (["id"], {"id": "42", "name": "Ann", "age": 5}, {"id": "42", "name": "***", "age": 5}),
    (["id"], {"id": {"id": "1", "x": "ab"}}, {"id": {"id": "1", "x": "**"}}),
    (["tags"], {"tags": ["a", "bc"], "other": ["a", "bc"]},
     {"tags": ["a", "bc"], "other": ["*", "**"]}),
    (["tags"], {"tags": [["a"], {"tags": "b", "y": "cd"}], "o": [["a"], {}]},
     {"tags": [["a"], {"tags": "b", "y": "**"}], "o": [["*"], {}]}),
    ([], {"a": "x", "b": {"c": ["yy", {"d": "zzz"}]}, "": ""},
     {"a": "*", "b": {"c": ["**", {"d": "***"}]}, "": ""}),
    ([], {"n": 1, "f": 1.5, "b": True, "c": 2j, "z": None, "y": b"x", "t": ("a",)},
     {"n": 1, "f": 1.5, "b": True, "c": 2j, "z": None, "y": b"x", "t": ("a",)}),
    ([None], {None: "ab", "k": "cd"}, {None: "ab", "k": "**"}),
    (["k"], {None: "ab", "k": "cd"}, {None: "**", "k": "cd"}),
])
@pytest.mark.parametrize("cls", [NoTrust, SubNoTrust])
def test_walk_masks_values_of_untrusted_keys(cls, trust, data, expected):
    n = cls(trust)
    assert n.omit(data) is data and data == expected


def test_omissions_field_is_not_consulted():
    n = NoTrust()
    n.__setstate__((["name"], ["name"]))
    assert n.omit({"name": "ab", "x": "cd"}) == {"name": "ab", "x": "**"}
    n.__setstate__((["x"], ["x"]))
    assert n.omit({"name": "ab", "x": "cd"}) == {"name": "**", "x": "cd"}


@pytest.mark.parametrize("args, kwargs, message, line", [
    ((("a",),), {}, "Argument 'trusted' has incorrect type (expected list, got tuple)", None),
    ((MyList(["a"]),), {}, "Argument 'trusted' has incorrect type (expected list, got MyList)", None),
    (([["x"]],), {}, "unhashable type: 'list'", 82),
    ((["ok", {}],), {}, "unhashable type: 'dict'", 82),
    (([], []), {}, "__init__() takes at most 1 positional argument (2 given)", 79),
    ((), {"omissions": []}, "__init__() got an unexpected keyword argument 'omissions'", 79),
    (([],), {"trusted": []}, "__init__() got multiple values for keyword argument 'trusted'", 79),
])
def test_init_errors_keep_previous_trusted(args, kwargs, message, line):
    n = NoTrust(["keep"])
    before = state(n)[1]
    for call in (NoTrust, n.__init__):
        err = call_raising(call, *args, **kwargs)
        assert type(err) is TypeError and str(err) == message
        assert module_entries(err) == ([] if line is None else [(INIT, SOURCE_FILE, line)])
    assert state(n)[1] is before and before == ["keep"]


def test_unhashable_global_item_fails_init():
    n = NoTrust(["keep"])
    omit.always_trust(["ok", ["bad"]])
    for call in (NoTrust, n.__init__):
        err = call_raising(call, ["x"])
        assert type(err) is TypeError and str(err) == "unhashable type: 'list'"
        assert module_entries(err) == [(INIT, SOURCE_FILE, 82)]
    assert state(n)[1] == ["keep"]


def test_reinit_and_dealloc_release_lists():
    n = NoTrust(["a"])
    n.__setstate__((["o"], state(n)[1]))
    old = state(n)[1]
    refs = sys.getrefcount(old)
    assert n.__init__(["b"]) is None
    assert state(n) == (["o"], ["b"]) and sys.getrefcount(old) == refs - 1
    assert n.omit({"a": "x", "b": "y"}) == {"a": "*", "b": "y"}
    fields = state(n)
    refs = [sys.getrefcount(f) for f in fields]
    del n
    assert [sys.getrefcount(f) for f in fields] == [r - 1 for r in refs]


@pytest.mark.parametrize("data, lines", [
    ({"n": 1, "k": "v"}, [52]), ({"k": ["v"]}, [58]), ({"d": {"k": "v"}}, [56, 52]),
])
def test_uninitialised_object_fails_membership_test(data, lines):
    n = NoTrust.__new__(NoTrust)
    assert state(n) == (None, None)
    err = call_raising(n.omit, data)
    assert type(err) is TypeError and str(err) == "argument of type 'NoneType' is not iterable"
    assert module_entries(err) == [(OMIT, SOURCE_FILE, line) for line in [46, *lines]] + [SHOULD_HIDE]
    assert n.omit({"a": 1, "b": {}, "c": None}) == {"a": 1, "b": {}, "c": None}


def test_raising_equality_in_trusted_stops_walk():
    class Bad:
        __hash__ = object.__hash__

        def __eq__(self, other):
            raise ValueError("no compare")

    data = {"first": 5, "k": "v", "later": "w"}
    err = call_raising(NoTrust([Bad()]).omit, data)
    assert type(err) is ValueError and str(err) == "no compare"
    assert module_entries(err) == [(OMIT, SOURCE_FILE, 46), (OMIT, SOURCE_FILE, 52), SHOULD_HIDE]
    assert data == {"first": 5, "k": "v", "later": "w"}


@pytest.mark.parametrize("name", ["trusted", "omissions", "__dict__"])
def test_no_attributes(name):
    n = NoTrust(["a"])
    pytest.raises(AttributeError, getattr, n, name)
    pytest.raises(AttributeError, setattr, n, name, [])
    assert state(n) == (None, ["a"])


@pytest.mark.parametrize("cls, slot", [(NoTrust, 0), (NoTrust, 1), (SubNoTrust, 1)])
def test_collected_in_a_cycle(cls, slot):
    class Marker:
        pass

    n, marker = cls(), Marker()
    fields = [None, None]
    fields[slot] = [n, marker]
    n.__setstate__(tuple(fields))
    ref = weakref.ref(marker)
    del n, marker, fields
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("operation", [
    lambda: NoTrust(["a", "b", "a"]).omit({"a": "x", "b": ["y", {"c": "z"}]}),
    lambda: call_raising(NoTrust, [["x"]]),
    lambda: call_raising(NoTrust, [], []),
    lambda: call_raising(NoTrust.__new__(NoTrust).omit, {"k": "v"}),
    lambda: call_raising(NoTrust(["k"]).__init__, ["a", {}]),
])
def test_no_leaks(operation):
    assert_no_leak(operation)
