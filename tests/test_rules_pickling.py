"""Pickling and copying of the rule omitters: every protocol, subclasses
with attributes and slots, bad states, and the base types' old pickles."""

import copy
import pickle
import re

import pytest

import velmora.omit as omit
import velmora.rules as rules
from conftest import assert_no_leak
from velmora.rules import RuleNoTrustOmitter, RuleOmitter


class Sub(RuleOmitter):
    pass


class SubTrust(RuleNoTrustOmitter):
    pass


class Slotted(RuleOmitter):
    __slots__ = ("tag",)


def labelled(obj, **attributes):
    for name, value in attributes.items():
        setattr(obj, name, value)
    return obj


MAKERS = [
    lambda: RuleOmitter(["Pin"], ignore_case=True, contains=["secret"], patterns=["^x_", re.compile("(?i)k$")]),
    lambda: RuleOmitter(mask="[Filtered]", whole=True, defaults=True),
    lambda: RuleOmitter(["card"], keep_last=4),
    lambda: RuleNoTrustOmitter(["id"], contains=["name"], defaults=True, mask="-"),
    lambda: RuleOmitter.__new__(RuleOmitter),
    lambda: labelled(Sub(contains=["pin"]), note="x", seen=[1]),
    lambda: labelled(SubTrust(["id"], patterns=["^n"]), note="y"),
    lambda: labelled(Slotted(contains=["pin"]), tag="t"),
]
DATA = {"Pin": "1234", "x_a": "v", "user_secret": "s", "id": "7", "name": "ann", "card": ["4242424242424242"],
        "k": {"session": "z"}}


def fingerprint(obj):
    return (type(obj), repr(obj), getattr(obj, "__dict__", None), getattr(obj, "tag", None),
            obj.omit(copy.deepcopy(DATA)) if obj.keys is not None else None)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("make", MAKERS)
def test_round_trip_keeps_keys_rules_mask_and_attributes(make, protocol):
    obj = make()
    back = pickle.loads(pickle.dumps(obj, protocol))
    assert fingerprint(back) == fingerprint(obj)
    assert back.__reduce__()[2][:8] == obj.__reduce__()[2][:8]


@pytest.mark.parametrize("make", MAKERS)
def test_copy_shares_the_key_list_and_deepcopy_does_not(make):
    obj = make()
    shallow, deep = copy.copy(obj), copy.deepcopy(obj)
    assert fingerprint(shallow) == fingerprint(deep) == fingerprint(obj)
    keys = obj.__reduce__()[2][0]
    assert shallow.__reduce__()[2][0] is keys and (keys is None or deep.__reduce__()[2][0] is not keys)


def test_unpickling_ignores_the_module_wide_lists():
    omit.always_omit(["a"])
    blob = pickle.dumps(RuleOmitter(contains=["b"]))
    omit.reset_omissions()
    omit.always_omit(["z"])
    assert pickle.loads(blob).keys == ("a", "a")


@pytest.mark.parametrize("blob, expected", [
    (b"\x80\x02cvelmora.omit\n__pyx_unpickle_Omitter\nq\x00cvelmora.omit\nOmitter\nq\x01J\x1awr\x0fN\x87q\x02Rq\x03]"
     b"q\x04X\x08\x00\x00\x00passwordq\x05a\x85q\x06b.", {"password": "**", "id": "id"}),
    (b"cvelmora.omit\n__pyx_unpickle_NoTrustOmitter\np0\n(cvelmora.omit\nNoTrustOmitter\np1\nI104289010\nNtp2\nRp3\n"
     b"(N(lp4\nVid\np5\natp6\nb.", {"password": "**", "id": "id"}),
])
def test_pickles_of_the_base_types_still_load(blob, expected):
    obj = pickle.loads(blob)
    assert type(obj) in (omit.Omitter, omit.NoTrustOmitter)
    assert obj.omit({"password": "pw", "id": "id"}) == expected


GOOD_STATE = (["k"], False, ("w",), (), None, None, False, False, None)


@pytest.mark.parametrize("index, value, exc, message", [
    (None, None, TypeError, "__setstate__ expects a tuple of 9, 10 or 14 items, not tuple"),
    (0, ("k",), TypeError, "keys in the state must be a list or None, not tuple"),
    (2, "w", TypeError, "contains must be an iterable of str (not a single str)"),
    (3, ("(",), re.error, "missing ), unterminated subpattern at position 0"),
    (5, -2, ValueError, "keep_last must be a positive int, not -2"),
    (8, 5, TypeError, "instance state must be None, a dict or a (dict, dict) pair, not int"),
])
def test_bad_states_are_refused(index, value, exc, message):
    obj = RuleOmitter(["a"], contains=["x"], mask="M")
    state = GOOD_STATE[:8] if index is None else GOOD_STATE[:index] + (value,) + GOOD_STATE[index + 1:]
    with pytest.raises(exc) as info:
        obj.__setstate__(state)
    assert str(info.value) == message
    if index != 8:  # the instance state comes last, once the rest is in place
        assert repr(obj) == "RuleOmitter(['a'], contains=('x',), mask='M')"


@pytest.mark.parametrize("argument, shown", [(5, "5"), (omit.Omitter, "<class 'velmora.omit.Omitter'>")])
def test_rebuild_makes_only_rule_omitters(argument, shown):
    with pytest.raises(TypeError) as info:
        rules._rebuild(argument)
    assert str(info.value) == f"_rebuild() argument must be a subclass of RuleOmitter or RuleNoTrustOmitter, not {shown}"
    assert type(rules._rebuild(SubTrust)) is SubTrust


def test_no_leaks_in_pickling():
    obj = labelled(Sub(["a"], ignore_case=True, contains=["b"], patterns=["c"], mask="M", whole=True), note=[1])
    assert_no_leak(lambda: pickle.loads(pickle.dumps(obj, 5)), repeat=500)
    assert_no_leak(lambda: copy.deepcopy(obj), repeat=500)
    assert_no_leak(lambda: pytest.raises(ValueError, obj.__setstate__, GOOD_STATE[:5] + (0,) + GOOD_STATE[6:]),
                   repeat=500)


# ---- Plans: paths, number and boolean policies, a policy per rule --------------------

PLANNED = [
    lambda: RuleOmitter(["pw"], paths=["$.user.name", "$..card[0]"], numbers="digits", booleans="string",
                        policies={"pw": {"keep_last": 2}, "$.user.name": {"mask": "[name]", "numbers": "zero"}}),
    lambda: RuleOmitter(paths=["$.vault"], whole=True, policies={"$.vault": {"mask": "[v]"}}),
    lambda: labelled(Sub(contains=["pin"], numbers="zero", policies={"pin": {"booleans": "false"}}), note="x"),
    lambda: RuleNoTrustOmitter(["id"], paths=["$.public.*"], booleans="false", defaults=True),
]
PLANNED_DOC = (b'{"user": {"name": "ann", "age": 41}, "pw": "hunter2", "x": {"card": ["4111", true]}, '
               b'"vault": {"k": 1}, "pin_no": 1234, "ok": true, "public": {"a": "b"}, "id": "7"}')


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("make", PLANNED)
def test_plans_round_trip(make, protocol):
    from velmora.scan import scan
    obj = make()
    back = pickle.loads(pickle.dumps(obj, protocol))
    assert repr(back) == repr(obj)
    assert (back.paths, back.numbers, back.booleans, back.policies) == \
        (obj.paths, obj.numbers, obj.booleans, obj.policies)
    assert scan(back, PLANNED_DOC) == scan(obj, PLANNED_DOC) != PLANNED_DOC
    assert copy.deepcopy(obj).policies == obj.policies
    state = obj.__reduce__()[2]
    assert len(state) == 14 and state[9] is None


def test_a_state_without_a_plan_drops_the_plan():
    """A pickle made before plans (9 or 10 items) loads with no plan, over one that had one."""
    obj = PLANNED[0]()
    obj.__setstate__(GOOD_STATE)
    assert (obj.paths, obj.numbers, obj.booleans, obj.policies) == ((), "keep", "keep", {})
    assert len(obj.__reduce__()[2]) == 9


@pytest.mark.parametrize("item, value, exc, message", [
    (10, "$.a", TypeError, "paths must be an iterable of str, not a single str"),
    (10, ("$.a[",), ValueError, "paths[0] '$.a[': a quoted name, an index or '*' is expected at position 4"),
    (11, "nine", ValueError, "numbers must be one of keep, zero, digits, string, not 'nine'"),
    (12, 0, TypeError, "booleans must be one of keep, false, string, not 0"),
    (13, {"zz": {"mask": "m"}}, ValueError,
     "policies names 'zz', which is none of the omitter's exact keys, words, patterns or paths"),
])
def test_bad_plan_states_are_refused(item, value, exc, message):
    obj = PLANNED[0]()
    before = repr(obj)
    state = GOOD_STATE + (None, (), "keep", "keep", {})
    state = state[:item] + (value,) + state[item + 1:]
    with pytest.raises(exc) as info:
        obj.__setstate__(state)
    assert str(info.value) == message
    assert repr(obj) == before


def test_no_leaks_in_plan_pickling():
    obj = PLANNED[0]()
    assert_no_leak(lambda: pickle.loads(pickle.dumps(obj)), repeat=500)
