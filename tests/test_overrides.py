"""Python subclasses that override omit/omit_recurse: the walk calls the
override for every nested container and stores what it returns."""

import collections
import copy

import pytest

import velmora.omit as omit
from conftest import assert_no_leak, call_raising, module_entries
from hostile import PassThrough
from sites import S

Omitter = omit.Omitter


SAMPLES = [
    {"a": "xy", "b": "q", "n": {"a": "zz", "l": ["a", {"b": "cc"}, ["dd"]]}, "i": 3, "f": 1.0, "z": None},
    {"a": ["x", ["y", {"a": "q"}]], "b": {"b": {"b": "deep"}}, None: "n"},
    {},
]


class Recorder(Omitter):
    def omit(self, target):
        self.dicts.append(target)
        return super().omit(target)

    def omit_recurse(self, target, do=True):
        self.lists.append((target, do))
        return super().omit_recurse(target, do)


def test_override_meets_every_nested_container():
    d = {"a": "xy", "n": {"m": {}}, "l": [{"a": "q"}, ["b", {}]], "h": ["z"], "s": "k"}
    n, m, l0, l0d, l1, l1d, h = d["n"], d["n"]["m"], d["l"], d["l"][0], d["l"][1], d["l"][1][1], d["h"]
    r = Recorder(["a", "h"])
    r.dicts, r.lists = [], []
    assert r.omit(d) is d
    assert [id(x) for x in r.dicts] == [id(x) for x in (d, n, m, l0d, l1d)]
    assert [(id(x), do) for x, do in r.lists] == [(id(l0), False), (id(l1), False), (id(h), True)]
    assert all(type(do) is bool for _, do in r.lists)
    assert d == {"a": "**", "n": {"m": {}}, "l": [{"a": "*"}, ["b", {}]], "h": ["*"], "s": "k"}


@pytest.mark.parametrize("do, seen", [(True, True), (False, False), (0, False), ("x", True), (None, False), ([1], True)])
def test_omit_recurse_override_gets_a_bool_do(do, seen):
    r = Recorder()
    r.dicts, r.lists = [], []
    target = [["a", ["b"]]]
    assert Omitter.omit_recurse(r, target, do) is target
    assert [d for _, d in r.lists] == [seen, seen] and all(d is seen for _, d in r.lists)
    assert target == ([["*", ["*"]]] if seen else [["a", ["b"]]])


class Replacer(Omitter):
    def omit(self, target):
        return self.dict_result

    def omit_recurse(self, target, do):
        return self.list_result


@pytest.mark.parametrize(
    "data, dict_result, list_result, expected",
    [
        ({"d": {"a": "x"}, "l": ["x"], "s": "ab"}, None, None, {"d": None, "l": None, "s": "**"}),
        ({"d": {"a": "x"}, "l": ["x"]}, {"new": 1}, ["new"], {"d": {"new": 1}, "l": ["new"]}),
        ([{"a": "x"}, ["x"], "ab"], None, None, [None, None, "**"]),
        ([{"a": "x"}, ["x"]], {"n": 2}, [3], [{"n": 2}, [3]]),
    ],
)
def test_override_result_is_stored(data, dict_result, list_result, expected):
    r = Replacer(["s"])
    r.dict_result, r.list_result = dict_result, list_result
    walk = Omitter.omit if isinstance(data, dict) else Omitter.omit_recurse
    assert walk(r, data) is data and data == expected
    slots = ("d", "l") if isinstance(data, dict) else (0, 1)
    assert data[slots[0]] is dict_result and data[slots[1]] is list_result


@pytest.mark.parametrize(
    "dict_result, list_result, data, message, entries",
    [
        (["x"], [], {"d": {}}, "Expected dict, got list", [S.OmitCall, S.OmitDict, S.OmitCall]),
        (["x"], [], [{}], "Expected dict, got list", [S.RecurseCall, S.RecurseDict, S.OmitCall]),
        ((), [], {"d": {}}, "Expected dict, got tuple", [S.OmitCall, S.OmitDict, S.OmitCall]),
        (collections.OrderedDict(), [], {"d": {}}, "Expected dict, got collections.OrderedDict", [S.OmitCall, S.OmitDict, S.OmitCall]),
        ({}, {}, {"l": []}, "Expected list, got dict", [S.OmitCall, S.OmitList, S.RecurseCall]),
        ({}, "ab", [[]], "Expected list, got str", [S.RecurseCall, S.RecurseList, S.RecurseCall]),
        ({}, ("a",), {"l": []}, "Expected list, got tuple", [S.OmitCall, S.OmitList, S.RecurseCall]),
    ],
)
def test_override_returning_the_wrong_type(dict_result, list_result, data, message, entries):
    r = Replacer()
    r.dict_result, r.list_result = dict_result, list_result
    walk = Omitter.omit if isinstance(data, dict) else Omitter.omit_recurse
    exc = call_raising(walk, r, data)
    assert type(exc) is TypeError and str(exc) == message
    assert module_entries(exc) == entries


class Broken(Omitter):
    pass


def _raises(self, *args):
    raise LookupError("override failed")


@pytest.mark.parametrize(
    "attr, value, exc_type, message",
    [
        ("omit", _raises, LookupError, "override failed"),
        ("omit", 5, TypeError, "'int' object is not callable"),
        ("omit", property(_raises), LookupError, "override failed"),
        ("omit", lambda self: None, TypeError, "<lambda>() takes 1 positional argument but 2 were given"),
        ("omit_recurse", lambda self, target: None, TypeError, "<lambda>() takes 2 positional arguments but 3 were given"),
        ("omit_recurse", property(_raises), LookupError, "override failed"),
    ],
)
def test_override_that_fails(attr, value, exc_type, message, monkeypatch):
    monkeypatch.setattr(Broken, attr, value, raising=False)
    data = {"k": {"n": 1}} if attr == "omit" else {"k": ["x"]}
    exc = call_raising(Omitter.omit, Broken(), data)
    assert type(exc) is exc_type and str(exc) == message
    site, inner = (S.OmitDict, S.OmitCall) if attr == "omit" else (S.OmitList, S.RecurseCall)
    assert module_entries(exc) == [S.OmitCall, site, inner]


@pytest.mark.parametrize("data", SAMPLES)
@pytest.mark.parametrize("keys", [["a", "b"], [None], []])
def test_subclass_without_overrides_walks_like_omitter(data, keys):
    expected = Omitter(keys).omit(copy.deepcopy(data))
    mine = copy.deepcopy(data)
    assert PassThrough(keys).omit(mine) is mine and mine == expected
    lst = [copy.deepcopy(data), ["s", [data and "t"]]]
    assert PassThrough(keys).omit_recurse(copy.deepcopy(lst), False) == Omitter(keys).omit_recurse(lst, False)


def test_subclass_nested_levels_go_through_bound_methods():
    exc = call_raising(PassThrough().omit, {"n": {1: "x"}})
    # the nested dict is walked by the bound built-in method: its own entry
    # point and the dispatch that called it each add one entry
    assert module_entries(exc) == [S.OmitCall, S.OmitDict, S.OmitCall, S.OmitCall, S.OmitStrKey]


class Looked(Omitter):
    """Counts the lookups of omit and omit_recurse made on its objects."""

    def __getattribute__(self, name):
        if name in ("omit", "omit_recurse"):
            type(self).lookups.append(name)
        return object.__getattribute__(self, name)


def _own(keys=("k",)):
    o = Looked(list(keys))
    o.omit = Omitter.omit
    o.omit_recurse = Omitter.omit_recurse
    Looked.lookups = []
    return o


@pytest.mark.parametrize("data", SAMPLES)
def test_own_function_in_instance_dict_gives_plain_results(data):
    o = _own(["a", "b"])
    expected = Omitter(["a", "b"]).omit(copy.deepcopy(data))
    assert Omitter.omit(o, data) is data and data == expected


def test_own_function_branch_makes_no_python_call():
    exc = call_raising(Omitter.omit, _own(), {"n": {"m": {1: "x"}}})
    # no bound method is called: each level adds only its store line
    assert module_entries(exc) == [S.OmitCall, S.OmitDict, S.OmitDict, S.OmitStrKey]


def test_own_function_lookups_are_remembered_until_a_dict_changes():
    o = _own()
    data = {"a": {}, "b": {"c": {}}, "l": [[], [[]]], "m": {}}
    Omitter.omit(o, data)
    assert Looked.lookups == ["omit", "omit_recurse"]
    Looked.lookups.clear()
    Omitter.omit(o, data)
    assert Looked.lookups == []
    o.extra = 1  # instance dictionary changed
    Omitter.omit(o, data)
    assert Looked.lookups == ["omit", "omit_recurse"]
    Looked.lookups.clear()
    Looked.marker = 1  # type dictionary changed
    Omitter.omit(o, data)
    assert Looked.lookups == ["omit", "omit_recurse"]


class Up(Omitter):
    def omit(self, target):
        result = super().omit(target)
        result["walked"] = True
        return result

    def omit_recurse(self, target, do=True):
        return super().omit_recurse(target, do)[::-1]


def test_overrides_calling_super():
    d = {"a": "xy", "n": {"a": "q", "l": ["a", "bc", {}]}, "h": ["de", "f"]}
    assert Up(["a", "h"]).omit(d) is d
    assert d == {"a": "**", "n": {"a": "*", "l": [{"walked": True}, "bc", "a"], "walked": True},
                 "h": ["*", "**"], "walked": True}


def _override_walks():
    r = Recorder(["a"])
    r.dicts, r.lists = [], []
    r.omit({"a": "x", "n": {"l": ["y", {}]}})
    rep = Replacer()
    rep.dict_result, rep.list_result = ["bad"], None
    call_raising(Omitter.omit, rep, {"d": {}})
    Omitter.omit(_own(), {"n": {"m": {}}})


def test_override_walks_do_not_leak():
    assert_no_leak(_override_walks, repeat=500)
