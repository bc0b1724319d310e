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

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

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
