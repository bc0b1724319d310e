"""The plan walk's shortcuts by key object: a member's state is found once per
key object and state of its dict, and kept while nothing foreign has run.
Documents as json.loads makes them share one str per key text across all
their records, so the same key object meets the same and other states, and
other plans, many times in one walk. Each walk is checked against
plan_walk_model.py, and against the same document with a fresh key object
at every member (which no memo can answer for).
"""

import copy
import json
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from path_model import Config
from plan_walk_model import PlanWalkModel
from test_review_walk_plans import canon, outcome
from test_scan_jsonpath import KEYS, configs, omitter_of
from velmora.rules import RuleOmitter

SETTINGS = settings(max_examples=200, derandomize=True, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

json_scalars = st.one_of(st.text(alphabet="ab*é", max_size=4), st.integers(-10 ** 6, 10 ** 6),
                         st.floats(allow_nan=False, allow_infinity=False), st.booleans(), st.none())
json_values = st.recursive(json_scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.dictionaries(st.sampled_from(KEYS), inner, max_size=4)), max_leaves=12)
records = st.dictionaries(st.sampled_from(KEYS), json_values, min_size=1, max_size=5)


def parsed(template, copies, wrap):
    """The text of `copies` records like `template`: parsed, every member of
    one key text holds the same key object, at whatever depth, and every
    str value is held by its container alone (a mask may be written into
    it)."""
    doc = {wrap: [template] * copies, "b": template} if wrap else [template] * copies
    return json.dumps(doc)


def fresh_keys(value):
    """`value` with a str key object of its own at every member (but the
    one-character ones, which the interpreter shares)."""
    if type(value) is dict:
        return {"".join(["", k, "\x00"])[:-1]: fresh_keys(v) for k, v in value.items()}
    if type(value) is list:
        return [fresh_keys(v) for v in value]
    return value


def walk(omitter, doc):
    if type(doc) is list:
        return outcome(lambda t: omitter.omit_recurse(t, False), doc)
    return outcome(omitter.omit, doc)


def model_walk(cfg, doc):
    model = PlanWalkModel(cfg)
    if type(doc) is list:
        return outcome(lambda t: model.omit_recurse(t, False), doc)
    return outcome(model.omit, doc)


@SETTINGS
@given(records, st.integers(1, 6), st.sampled_from([None, "a", "name"]),
       st.one_of(configs(), configs(trusting=True)))
def test_shared_key_objects_walk_as_fresh_ones_and_the_model(template, copies, wrap, cfg):
    text = parsed(template, copies, wrap)
    omitter = omitter_of(cfg)
    expected = model_walk(cfg, copy.deepcopy(json.loads(text)))
    assert walk(omitter, json.loads(text)) == expected, (text, cfg)
    assert walk(omitter, fresh_keys(json.loads(text))) == expected, (text, cfg)
    # Values held elsewhere too are replaced, never written into.
    held = json.loads(text)
    before = canon(held)
    assert walk(omitter, copy.deepcopy(held)) == expected, (text, cfg)
    assert canon(held) == before


@SETTINGS
@given(records, st.integers(1, 4), st.lists(st.one_of(configs(), configs(trusting=True)), min_size=2, max_size=3))
def test_plans_taking_turns_over_the_same_key_objects(template, copies, cfgs):
    # Each omitter walks a document whose key objects the others have just
    # met, under their own plans and states.
    text = parsed(template, copies, "a")
    keys_of = json.loads(text)  # one object per key text, kept alive for all the walks below
    omitters = [omitter_of(cfg) for cfg in cfgs]
    for round_ in range(2):
        for cfg, omitter in zip(cfgs, omitters):
            doc = copy.deepcopy(keys_of)
            assert walk(omitter, doc) == model_walk(cfg, copy.deepcopy(keys_of)), (round_, text, cfg)


@SETTINGS
@given(records, st.one_of(configs(), configs(trusting=True)))
def test_a_key_object_at_every_depth(template, cfg):
    # One key object per text, met at every depth of one chain of dicts.
    text = json.dumps({"a": {"a": {"a": template, "b": template}, "name": [template, {"a": template}]}})
    omitter = omitter_of(cfg)
    expected = model_walk(cfg, json.loads(text))
    assert walk(omitter, json.loads(text)) == expected, (text, cfg)
    assert walk(omitter, fresh_keys(json.loads(text))) == expected, (text, cfg)


@pytest.mark.parametrize("keep", [1, 2, 5, 40])
@pytest.mark.parametrize("value", ["abcdef", "ab", "", "x" * 30, "abcé"])
def test_a_kept_tail_is_written_into_a_value_held_by_its_dict_alone(keep, value):
    omitter = RuleOmitter(["pw", "b"], policies={"pw": {"keep_last": keep}}, paths=["$.b"])
    text = json.dumps({"pw": value, "b": value, "c": value})
    shown = "*" * max(len(value) - keep, 0) + value[len(value) - keep:] if len(value) > keep else "*" * len(value)
    doc = json.loads(text)
    omitter.omit(doc)
    assert doc == {"pw": shown, "b": "*" * len(value), "c": value}
    # The same value held elsewhere as well: replaced, and left as it was there.
    held = json.loads(text)
    elsewhere = [held["pw"], held["b"]]
    omitter.omit(held)
    assert held == {"pw": shown, "b": "*" * len(value), "c": value}
    assert elsewhere == [value, value]


def test_the_bench_paths_over_shared_keys_walk_as_fresh_ones():
    # The benchmark's plan, over records parsed from one text and the same
    # records with fresh key objects: the same result, and something hidden.
    import os
    import sys
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "bench"))
    import ab
    import bench
    from velmora import rules

    omit = ab.plan_omitter(rules)
    text = json.dumps(bench.make_records(30))
    shared, fresh = json.loads(text), fresh_keys(json.loads(text))
    omit(shared)
    omit(fresh)
    assert canon(shared) == canon(fresh)
    assert shared != json.loads(text)


# Wide dicts: more key objects than the walk keeps answers for, among which
# a few are named by paths (at any depth, with '*' and indexes beside them).
# Most keys are told apart from the plan's names by their hash alone; the
# others, and the hashes that only look like a name's, are looked up.
WIDE = [f"f{i}" for i in range(700)]


@st.composite
def wide_configs(draw):
    named = draw(st.lists(st.sampled_from(WIDE), min_size=1, max_size=4, unique=True))
    steps = st.one_of(st.sampled_from(named).map(lambda n: f".{n}"), st.sampled_from(named).map(lambda n: f"..{n}"),
                      st.just(".*"), st.integers(0, 2).map(lambda i: f"[{i}]"), st.just(".rows"))
    cfg = Config(keys=draw(st.lists(st.sampled_from(WIDE + ["pw"]), max_size=3, unique=True)))
    cfg.paths = draw(st.lists(st.lists(steps, min_size=1, max_size=3).map(lambda s: "$" + "".join(s)),
                              min_size=1, max_size=4, unique=True))
    cfg.numbers = draw(st.sampled_from(["keep", "zero", "digits"]))
    cfg.booleans = draw(st.sampled_from(["keep", "false"]))
    if draw(st.booleans()):
        cfg.policies = {draw(st.sampled_from(cfg.paths)): {"mask": "[p]"}}
    if cfg.keys and draw(st.booleans()):
        cfg.policies[cfg.keys[0]] = {"keep_last": 1}
    return cfg


wide_leaves = st.one_of(st.sampled_from(["ab", "", "é"]), st.integers(-99, 99), st.booleans(), st.none())


@st.composite
def wide_records(draw):
    """A dict of every WIDE key (in a drawn order), a few of them holding a
    small container of WIDE keys."""
    rng = random.Random(draw(st.integers(0, 2 ** 32)))
    order = rng.sample(WIDE, len(WIDE))
    inner = st.dictionaries(st.sampled_from(WIDE[:8] + WIDE[-8:]), wide_leaves, max_size=3)
    nested = draw(st.dictionaries(st.sampled_from(WIDE), st.one_of(inner, st.lists(wide_leaves, max_size=3),
                                                                   st.lists(inner, max_size=2)), max_size=6))
    leaves = [rng.choice(["ab", "", "é", rng.randint(-99, 99), True, False, None]) for _ in WIDE]
    return {key: nested.get(key, leaf) for key, leaf in zip(order, leaves)}


@settings(max_examples=10, derandomize=True, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(wide_records(), st.integers(1, 3), wide_configs(), st.booleans())
def test_wide_dicts_walk_as_the_model(record, copies, cfg, fresh):
    text = json.dumps({"rows": [record] * copies, "b": record})
    omitter = RuleOmitter(cfg.keys, **cfg.kwargs())
    expected = model_walk(cfg, json.loads(text))
    doc = json.loads(text)
    if fresh:
        doc = fresh_keys(doc)
    got = walk(omitter, doc)
    assert got == expected, cfg
    # Walked again: the answers kept from the first walk give the same.
    again = json.loads(text)
    assert walk(omitter, again) == expected, cfg


@pytest.mark.parametrize("depth", [0, 1, 3])
def test_a_named_member_among_hundreds_in_every_dict_of_a_chain(depth):
    # Each dict of the chain holds every WIDE key; the path names one of them
    # below the others' place, so the same key object is named at one depth
    # and plain at the others.
    target = WIDE[len(WIDE) // 2]
    leaf = {k: i for i, k in enumerate(WIDE)}
    doc = leaf
    for _ in range(depth):
        doc = dict(leaf, down=doc)
    cfg = Config(paths=["$" + ".down" * depth + f".{target}", f"$..{WIDE[3]}"], numbers="zero")
    text = json.dumps(doc)
    expected = model_walk(cfg, json.loads(text))
    got = walk(RuleOmitter([], **cfg.kwargs()), json.loads(text))
    assert got == expected
    assert got != outcome(lambda t: t, json.loads(text))


# The decision for a member read in place is kept by key object, omitter,
# plan and state of its dict: here every key object is met again and again
# in dicts of several states (the rows' own, the members' under "a" and "b",
# the items' of "name"), a number, a str, a list and a dict under each, and
# its decision must follow the state, never the last one kept.
@SETTINGS
@given(records, st.integers(2, 5), st.one_of(configs(), configs(trusting=True)))
def test_one_key_object_decided_by_the_state_of_each_dict(template, copies, cfg):
    row = {"a": template, "b": dict(template, a=template), "name": [template, {"b": template}]}
    text = json.dumps({"rows": [row] * copies, "a": row})
    omitter = omitter_of(cfg)
    expected = model_walk(cfg, json.loads(text))
    assert walk(omitter, json.loads(text)) == expected, (text, cfg)
    assert walk(omitter, fresh_keys(json.loads(text))) == expected, (text, cfg)


@pytest.mark.parametrize("numbers", ["keep", "zero"])
@pytest.mark.parametrize("path", ["$[*].a.x", "$[*].b.x", "$..x", "$[*].a.*", "$[*].b.z[0]", "$[*].*.x", "$[1].a.x",
                                  "$[2].b"])
def test_sibling_dicts_of_other_states_over_the_same_key_objects(path, numbers):
    # "x" is one key object throughout; only the path tells its members
    # apart, and the decision kept for one dict's state must not answer for
    # its sibling's.
    text = json.dumps([{"a": {"x": "s", "y": 7, "z": ["t"]}, "b": {"x": "s", "y": 7, "z": ["t"]}}] * 3)
    cfg = Config(keys=["y"], paths=[path], numbers=numbers, policies={path: {"mask": "[p]"}})
    omitter = omitter_of(cfg)
    expected = model_walk(cfg, json.loads(text))
    got = walk(omitter, json.loads(text))
    assert got == expected
    assert got == walk(omitter, fresh_keys(json.loads(text)))
    assert got != outcome(lambda t: t, json.loads(text))


# The decisions kept for a dict's members stand for the epoch they were
# found at: code run by a value in the middle of a dict (here a `__class__`
# that re-runs the omitter's __init__) moves it, and the members after it
# in the same dict are decided afresh, though a dict of the same state met
# before it had the same key objects decided, as they are with key objects
# no kept decision can answer for.
class Reinits:
    def __init__(self, omitter, kwargs):
        self.omitter, self.kwargs = omitter, kwargs

    @property
    def __class__(self):
        if self.kwargs is not None:
            self.omitter.__init__(**self.kwargs)
        return Reinits


@pytest.mark.parametrize("order", [("pw", "tt", "xx"), ("xx", "tt", "pw"), ("tt", "pw", "xx")])
@pytest.mark.parametrize("at", [0, 1, 3])
@pytest.mark.parametrize("kwargs", [{"omissions": ["xx"], "paths": ["$[*].zz"]},
                                    {"omissions": [], "paths": ["$[1].xx", "$[2].pw"]},
                                    {"omissions": ["pw", "xx"], "paths": ["$[*].zz"], "numbers": "zero"}])
def test_a_dict_met_again_after_init_ran_in_the_middle_of_it(order, at, kwargs):
    # Only the row `at` holds the value that runs the __init__.
    text = json.dumps([{k: "secret" for k in order if k != "tt" or i == at} for i in range(4)])

    def walked(doc, kwargs=kwargs):
        omitter = RuleOmitter(["pw"], paths=["$[*].zz"])
        for row in doc:
            for k in row:
                if k == "tt":
                    row[k] = Reinits(omitter, kwargs)
        assert omitter.omit_recurse(doc, False) is doc
        return [{k: v for k, v in row.items() if k != "tt"} for row in doc]

    got = walked(json.loads(text))
    assert got == walked(fresh_keys(json.loads(text)))
    # Where a member after it changes its verdict, the __init__ told.
    after = order[order.index("tt") + 1:]
    if any((k == "pw") != (k in kwargs["omissions"]) for k in after):
        assert got != walked(json.loads(text), kwargs=None)


# A dict under an exact str key whose decision is kept is walked at the
# state kept with it, straight from the entry read in place; a dict whose
# members all have kept decisions never works out the rest of what its
# members have in common. Dicts under dicts over the same key objects, met
# at several states (rows, the member "b", the items of "name"), against
# the model and against fresh key objects.
dict_chains = st.recursive(json_scalars, lambda inner: st.dictionaries(st.sampled_from(KEYS), inner, min_size=1,
                                                                       max_size=3), max_leaves=10)


@SETTINGS
@given(st.dictionaries(st.sampled_from(KEYS), dict_chains, min_size=1, max_size=4), st.integers(2, 5),
       st.one_of(configs(), configs(trusting=True)))
def test_dicts_under_dicts_walk_at_the_state_of_their_key(template, copies, cfg):
    text = json.dumps({"a": [template] * copies, "b": template, "name": {"a": template, "b": [template]}})
    omitter = omitter_of(cfg)
    expected = model_walk(cfg, json.loads(text))
    assert walk(omitter, json.loads(text)) == expected, (text, cfg)
    assert walk(omitter, fresh_keys(json.loads(text))) == expected, (text, cfg)
    # Walked again: every dict's state comes from the kept decisions.
    assert walk(omitter, json.loads(text)) == expected, (text, cfg)


@pytest.mark.parametrize("path", ["$[*].a.b.a.b", "$[*].a.b.a", "$..a.b", "$[*].*.b.a.x", "$[1].a.b", "$..b.a.b",
                                  "$[*].b.a"])
def test_a_named_dict_below_plain_ones_over_the_same_key_objects(path):
    # "a" and "b" are one key object each at every depth; only the path
    # names one of their dicts, which is walked at its own state, not the
    # one its siblings' members share.
    row = {"a": {"b": {"a": {"b": {"x": "s", "y": 7}, "x": "s"}, "x": "s"}, "x": "s"}, "b": {"a": {"x": "s"}}}
    text = json.dumps([row] * 3)
    cfg = Config(keys=["y"], paths=[path], numbers="zero", policies={path: {"mask": "[p]"}})
    omitter = omitter_of(cfg)
    expected = model_walk(cfg, json.loads(text))
    got = walk(omitter, json.loads(text))
    assert got == expected
    assert got == walk(omitter, fresh_keys(json.loads(text)))
    assert got == walk(omitter, json.loads(text))
    assert got != walk(omitter_of(Config(keys=["y"], numbers="zero")), json.loads(text))


# Key objects of one length, made one after another by json.loads, lie a
# fixed stride apart: the kept decisions are placed by a mix of the whole
# address, so many such keys, each met in dicts of several states (and
# under several plans in turn), share places with each other. Each must
# still be decided by its own key and its own dict's state.
STRIDED = [f"k{i:02d}" for i in range(96)]


@pytest.mark.parametrize("numbers", ["keep", "zero"])
@pytest.mark.parametrize("path", ["$[*].a.k07", "$..k13", "$[*].*.k21", "$[1].b.*", "$[*].c[0].k40", "$..k95"])
def test_many_keys_of_one_length_in_dicts_of_several_states(path, numbers):
    rng = random.Random(f"{path} {numbers}")
    inner = {k: rng.choice(["sss", "tttt", 12, -3, True, None, 2.5]) for k in STRIDED}
    row = {"a": inner, "b": dict(inner), "c": [dict(inner)], "k07": dict(inner)}
    text = json.dumps([row] * 3)
    keys = rng.sample(STRIDED, 8)
    cfg = Config(keys=keys, paths=[path], numbers=numbers, policies={path: {"mask": "[p]"}, keys[0]: {"keep_last": 1}})
    other = Config(keys=keys[4:], paths=["$..k07"], numbers="zero")
    expected = model_walk(cfg, json.loads(text))
    omitter, turns = omitter_of(cfg), omitter_of(other)
    got = walk(omitter, json.loads(text))
    assert got == expected
    assert walk(turns, json.loads(text)) == model_walk(other, json.loads(text))
    assert walk(omitter, json.loads(text)) == expected
    assert walk(omitter, fresh_keys(json.loads(text))) == expected
    assert got != walk(omitter_of(Config(keys=keys, numbers=numbers)), json.loads(text))
