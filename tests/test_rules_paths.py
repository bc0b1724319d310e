"""Rule omitters' plan arguments: paths (the JSONPath subset), numbers,
booleans and policies per rule, as the constructor checks and shows them.
What they do to documents is tested against the reference in
test_scan_jsonpath.py."""

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import assert_no_leak
from path_model import parse_path
from velmora.rules import RuleNoTrustOmitter, RuleOmitter
from velmora.scan import scan


@pytest.mark.parametrize("path, fault", [
    ("", "a path starts with '$' at position 0"),
    ("user.name", "a path starts with '$' at position 0"),
    ("$.", "a name is expected at position 2"),
    ("$..", "a name is expected at position 3"),
    ("$.a.", "a name is expected at position 4"),
    ("$.a b", "'.' or '[' is expected at position 3"),
    ("$a", "'.' or '[' is expected at position 1"),
    ("$[", "a quoted name, an index or '*' is expected at position 2"),
    ("$[1", "']' is expected at position 3"),
    ("$[*", "']' is expected at position 3"),
    ("$['a'", "']' is expected at position 5"),
    ("$['a]", "the quoted name is not closed at position 2"),
    ("$[\"a\\\"]", "the quoted name is not closed at position 2"),
    ("$['a\\x']", "invalid escape at position 4"),
    ("$['\\u12g4']", "\\u needs four hex digits at position 3"),
    ("$['a\nb']", "a control character must be escaped at position 4"),
    ("$[-1]", "negative indexes are not supported at position 2"),
    ("$[007]", "an index has no leading zeros at position 2"),
    ("$[1234567890123456789]", "the index is too large at position 2"),
    ("$..*", "after '..' a name is expected at position 3"),
    ("$..[0]", "after '..' a name is expected at position 3"),
    ("$.a[b]", "a quoted name, an index or '*' is expected at position 4"),
    ("$.é.[0]", "a name, '*' or '[' is expected at position 4"),
])
def test_malformed_paths_name_the_position(path, fault):
    with pytest.raises(ValueError) as info:
        RuleOmitter(["k"], paths=["$.ok", path])
    assert str(info.value) == f"paths[1] {path!r}: {fault}"
    assert parse_path(path) is None  # the reference refuses it too


@pytest.mark.parametrize("path", ["$", "$.a", "$.*", "$[*]", "$[0]", "$..a", "$..['a b']", "$['a']['b'][3].*",
                                  '$["q\\"k"]', "$['it\\'s']", "$.é_1-x", "$['\\ud83d\\ude00']", "$[\"\\n\"]"])
def test_well_formed_paths_are_taken(path):
    assert RuleOmitter(paths=[path]).paths == (path,)
    assert parse_path(path) is not None


@settings(max_examples=300, derandomize=True, deadline=None)
@given(st.text(alphabet="$.[]*'\"\\ab0-1u", max_size=10))
def test_the_parser_agrees_with_the_reference(path):
    try:
        RuleOmitter(paths=[path])
    except ValueError as exc:
        assert parse_path(path) is None, path
        position = int(re.search(r"at position (\d+)$", str(exc)).group(1))
        assert 0 <= position <= len(path)
    else:
        assert parse_path(path) is not None, path


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"paths": "$.a"}, TypeError, "paths must be an iterable of str, not a single str"),
    ({"paths": 5}, TypeError, "paths must be an iterable of str, not int"),
    ({"paths": [b"$"]}, TypeError, "paths items must be str, not bytes"),
    ({"paths": ["$.a" + ".b" * 130]}, ValueError,
     "paths have 132 steps in all (each path's '$' counts as one): at most 128"),
    ({"numbers": "nine"}, ValueError, "numbers must be one of keep, zero, digits, string, not 'nine'"),
    ({"numbers": 0}, TypeError, "numbers must be one of keep, zero, digits, string, not 0"),
    ({"booleans": "true"}, ValueError, "booleans must be one of keep, false, string, not 'true'"),
    ({"numbers": "zero", "whole": True}, ValueError,
     "numbers cannot be combined with whole (a whole value is replaced by the fixed mask)"),
    ({"booleans": "false", "whole": True}, ValueError,
     "booleans cannot be combined with whole (a whole value is replaced by the fixed mask)"),
    ({"policies": [("pw", {})]}, TypeError, "policies must be a dict {rule: policy}, not list"),
    ({"policies": {1: {"mask": "m"}}}, TypeError,
     "policies keys must be str (a rule as the omitter spells it), not int"),
    ({"policies": {"nope": {"mask": "m"}}}, ValueError,
     "policies names 'nope', which is none of the omitter's exact keys, words, patterns or paths"),
    ({"policies": {"pw": "[m]"}}, TypeError,
     "policies['pw'] must be a dict with some of mask, keep_last, numbers, booleans, not str"),
    ({"policies": {"pw": {}}}, ValueError, "policies['pw'] is empty: give some of mask, keep_last, numbers, booleans"),
    ({"policies": {"pw": {"keep": 4}}}, ValueError,
     "policies['pw'] has an unknown item 'keep' (expected some of mask, keep_last, numbers, booleans)"),
    ({"policies": {"pw": {"mask": 4}}}, TypeError, "policies['pw']['mask'] must be a str, not int"),
    ({"policies": {"pw": {"keep_last": 0}}}, ValueError, "policies['pw']['keep_last'] must be an int > 0, not 0"),
    ({"policies": {"pw": {"keep_last": True}}}, ValueError,
     "policies['pw']['keep_last'] must be an int > 0, not True"),
    ({"policies": {"pw": {"mask": "m", "keep_last": 2}}}, ValueError,
     "policies['pw'] gives mask and keep_last: choose one"),
    ({"policies": {"pw": {"numbers": "ten"}}}, ValueError,
     "policies['pw']['numbers'] must be one of keep, zero, digits, string, not 'ten'"),
    ({"policies": {"pw": {"keep_last": 2}}, "whole": True}, ValueError,
     "policies['pw'] can only give a mask with whole=True (a whole value is replaced by it)"),
])
def test_bad_plan_arguments_are_refused(kwargs, exc, message):
    with pytest.raises(exc) as info:
        RuleOmitter(["pw"], **kwargs)
    assert str(info.value) == message


def test_a_trusting_omitter_takes_no_policies():
    with pytest.raises(ValueError, match="RuleNoTrustOmitter takes no policies"):
        RuleNoTrustOmitter(["id"], policies={"id": {"mask": "m"}})
    assert RuleNoTrustOmitter(["id"], policies={}).policies == {}


def test_a_failed_init_leaves_the_object_as_it_was():
    o = RuleOmitter(["pw"], paths=["$.a"], numbers="zero")
    with pytest.raises(ValueError):
        o.__init__(["pw"], paths=["$.b", "$["])
    assert (o.paths, o.numbers) == (("$.a",), "zero")
    assert scan(o, b'{"a": 5, "b": "x"}') == b'{"a": 0, "b": "x"}'


def test_the_configuration_reads_back_and_shows():
    policies = {"pw": {"keep_last": 2}, "$.u": {"mask": "[u]", "numbers": "zero"}, "^c": {"booleans": "string"},
                "tok": {"numbers": "digits"}}
    o = RuleOmitter(["pw"], contains=["tok"], patterns=["^c"], paths=["$.u", "$..v"], numbers="string",
                    booleans="false", policies=policies)
    assert o.paths == ("$.u", "$..v") and o.numbers == "string" and o.booleans == "false"
    assert o.policies == policies
    o.policies["pw"]["keep_last"] = 9  # a copy: the omitter's stays
    assert o.policies == policies
    assert repr(o) == ("RuleOmitter(['pw'], contains=('tok',), patterns=(re.compile('^c'),), paths=('$.u', '$..v'), "
                       "numbers='string', booleans='false', policies=" + repr(policies) + ")")
    assert repr(RuleOmitter(["pw"], numbers="keep", booleans="keep", paths=(), policies={})) == "RuleOmitter(['pw'])"


def test_a_policy_dict_changed_later_changes_nothing():
    policy = {"mask": "[a]"}
    given_policies = {"pw": policy}
    o = RuleOmitter(["pw"], policies=given_policies)
    policy["mask"] = "[b]"
    given_policies["zz"] = {}
    assert o.policies == {"pw": {"mask": "[a]"}}
    assert scan(o, b'{"pw": "x"}') == b'{"pw": "[a]"}'


def test_plans_do_not_leak():
    def make():
        o = RuleOmitter(["pw"], contains=["c"], patterns=["^x"], paths=["$.a", "$..b[1]", "$['é']"],
                        numbers="digits", policies={"pw": {"mask": "m"}, "$.a": {"keep_last": 1}, "c": {"mask": "c"}})
        scan(o, b'{"a": "1", "b": [1, 2], "pw": "x", "ace": "y", "xz": 3}')
    assert_no_leak(make, repeat=500)
    assert_no_leak(lambda: pytest.raises(ValueError, RuleOmitter, ["pw"], paths=["$.a", "$.["]), repeat=500)
