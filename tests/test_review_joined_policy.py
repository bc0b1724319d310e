"""Review of walks that cannot tell their place: they mask what they hide by one policy made of the least each
of the omitter's policies shows, per kind of value. Checked against joined_policy_model: no value such a walk
returns shows more than the exact walk of its true place would, and every value it hides is masked by that
least policy; documents, paths, key rules and per-rule policies are generated, every override shape is tried."""

import copy
import gc
import json
import pickle
import sys
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from joined_policy_model import BOOL, NUM, STR, Model, kind_of, shown, value_at
from test_review_hand_offs import _helper as _super_omit
from test_review_hand_offs import run_script
from test_review_hand_offs_2 import shaped
from velmora.redact import redacted
from velmora.rules import RuleOmitter

SHAPES = ["direct", "copy", "helper", "lambda", "generator", "closure", "thread", "weakref", "finaliser", "nested"]

# ---- generated omitters and documents ------------------------------------------------------

NAMES = ["a", "pin", "card", "n", "l"]
STRS = ["secretvalue", "tokenvalue9", "hunter2hunter"]  # longer than any kept tail, no '*'
NUMBERS = [1234, -4321, 97531, 12.5, -3.25]  # no 0 or 8 among the digits: read back unambiguously
scalars = st.one_of(st.sampled_from(STRS), st.sampled_from(NUMBERS), st.just(True), st.none())
docs = st.recursive(scalars, lambda inner: st.one_of(
    st.dictionaries(st.sampled_from(NAMES), inner, max_size=4), st.lists(inner, max_size=3)), max_leaves=14)
top_docs = st.dictionaries(st.sampled_from(NAMES), docs, max_size=4)
PATHS = ["$.a", "$.a.n", "$..n", "$.l[0]", "$.*.card", "$..a.pin", "$.l[*]", "$"]
policy_items = st.fixed_dictionaries({}, optional={
    "str": st.sampled_from([("mask", "[m]"), ("mask", "[x]"), ("keep_last", 1), ("keep_last", 3)]),
    "numbers": st.sampled_from(["keep", "zero", "digits", "string"]),
    "booleans": st.sampled_from(["keep", "false", "string"])}).filter(bool)


def _policy(items):
    out = {k: v for k, v in items.items() if k != "str"}
    if "str" in items:
        out[items["str"][0]] = items["str"][1]
    return out


@st.composite
def configs(draw, with_paths=True):
    keys = draw(st.lists(st.sampled_from(["pin", "card", "n"]), max_size=2, unique=True))
    ps = draw(st.lists(st.sampled_from(PATHS), min_size=1, max_size=3, unique=True)) if with_paths else []
    rules = draw(st.lists(st.sampled_from(ps + keys), max_size=3, unique=True)) if ps or keys else []
    policies = {r: _policy(draw(policy_items)) for r in rules}
    own = draw(st.sampled_from([{}, {"mask": "[own]"}, {"keep_last": 2}]))
    kw = dict(paths=ps, policies=policies, numbers=draw(st.sampled_from(["keep", "zero", "digits", "string"])),
              booleans=draw(st.sampled_from(["keep", "false", "string"])), **own)
    return keys, kw


def fresh(doc):
    """A copy of `doc` whose str values only it holds (the in-place masks may then fill them)."""
    return json.loads(json.dumps(doc))


def exact_mask(policy, value):
    """What `policy` makes of the hidden `value`, where that is one value (a str, or a kept or zeroed number)."""
    kind = kind_of(value)
    if kind == STR:
        if policy.str_kind == "fixed":
            return policy.text
        n, keep = len(value), policy.keep if policy.str_kind == "keep" else 0
        return "*" * n if n <= keep else "*" * (n - keep) + value[n - keep:]
    return None


KEPT = {STR: 99, NUM: 3, BOOL: 2}  # the level of a value left as it was


def level_of(value, got):
    level = shown(value, got)
    assert level is not None, ("not a mask of the value", value, got)
    return KEPT[kind_of(value)] if level == 99 else level


def check_no_more_than_exact(model, before, after, do_hide=True, joined_below=None):
    """Every value of `after` shows no more than the exact walk of `before` lets it. Values at least
    `joined_below` deep (None: none) were walked where the walk cannot tell its place: each one it changed is
    masked by the model's least policy."""
    for where, value, hidden, policy in model.leaves(before, do_hide):
        got = value_at(after, where)
        kind = kind_of(value)
        level = level_of(value, got)
        allowed = policy.level(kind) if hidden else 99
        assert level <= allowed, ("shows more than its place", where, value, got, policy)
        changed = not (type(got) is type(value) and got == value)
        if joined_below is not None and len(where) >= joined_below and changed:
            assert level == model.least.level(kind), ("not masked by the least policy", where, value, got)
            if kind == STR:
                assert got == exact_mask(model.least, value), (where, value, got, model.least)


# ---- the model against the plain walk ------------------------------------------------------


@settings(max_examples=120, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(top_docs, configs(with_paths=False) | configs())
def test_the_model_is_the_plain_walk(doc, config):
    """Without overrides, the walk hides exactly what the model hides, each value by its own place's policy."""
    keys, kw = config
    model = Model(keys, **kw)
    after = fresh(doc)
    RuleOmitter(keys, **kw).omit(after)
    for where, value, hidden, policy in model.leaves(doc):
        got = value_at(after, where)
        if not hidden:
            assert got == value and type(got) is type(value), (where, value, got)
            continue
        assert level_of(value, got) == policy.level(kind_of(value)), (where, value, got, policy)
        if kind_of(value) == STR:
            assert got == exact_mask(policy, value), (where, value, got, policy)


# ---- walks that cannot tell their place ----------------------------------------------------


@settings(max_examples=60, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(top_docs, configs(), st.sampled_from(SHAPES))
def test_generated_overrides_show_no_more_than_the_exact_place(doc, config, shape):
    keys, kw = config
    model = Model(keys, **kw)
    after = fresh(doc)
    returned = shaped(shape)(keys, **kw).omit(after)
    # the top-level dict is the call's own; what is below it is handed to the override
    check_no_more_than_exact(model, doc, returned if returned is not None else after,
                             joined_below=None if shape == "direct" else 2)


@settings(max_examples=40, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(top_docs, configs(with_paths=False), st.sampled_from(SHAPES))
def test_key_rule_policies_without_paths_hold_in_generated_overrides(doc, config, shape):
    keys, kw = config
    model = Model(keys, **kw)
    after = fresh(doc)
    returned = shaped(shape)(keys, **kw).omit(after)
    check_no_more_than_exact(model, doc, returned if returned is not None else after,
                             joined_below=None if shape == "direct" else 2)


def side_walking(shape):
    """An override that, the first time it holds a container, walks a document of its own (a fresh copy of
    `side`) from inside the override: a call of its own while a hand-off is in progress, whose own containers
    are handed to the override again at places of their own, so that the walk joins several places."""
    base = shaped(shape)

    class Side(base):
        side = None

        def omit(self, target):
            if self.side is not None and target is not self.top and not getattr(self, "busy", False):
                self.busy = True
                mine = fresh(self.side)
                self.made = (mine, self.omit(mine))
            return super().omit(target)

        def omit_recurse(self, target, do=True):
            if self.side is not None and not getattr(self, "busy", False):
                self.busy = True
                mine = fresh(self.side)
                self.made = (mine, self.omit(mine))
            return super().omit_recurse(target, do)

    return Side


@settings(max_examples=60, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(top_docs, top_docs, configs(with_paths=False) | configs(), st.sampled_from(SHAPES))
def test_a_call_of_its_own_while_containers_are_held_shows_no_more_than_its_root(doc, side, config, shape):
    """The side document's walk cannot tell its place (a call of its own, or a copy whose result a container
    stores): each of its values shows no more than the exact walk of the side document would show."""
    keys, kw = config
    model = Model(keys, **kw)
    o = side_walking(shape)(keys, **kw)
    o.side = side
    o.top = after = fresh({"card": [doc], "n": doc, **doc})
    o.omit(after)
    if getattr(o, "made", None) is not None:
        mine, returned = o.made
        check_no_more_than_exact(model, side, returned if returned is not None else mine, joined_below=1)


@pytest.mark.parametrize("shape", ["helper", "lambda", "closure", "thread", "weakref", "finaliser"])
@pytest.mark.parametrize("policies, held, values", [
    # no one policy covers both key rules: neither's own policy may show what the other hides
    ({"card": {"mask": "[c]"}, "pin": {"numbers": "zero", "booleans": "false"}}, "card", [1234, True, "4321x"]),
    ({"card": {"keep_last": 3}, "pin": {"mask": "[p]", "numbers": "digits"}}, "pin", ["123456789", 1234]),
    ({"pin": {"numbers": "string"}, "card": {"booleans": "string", "keep_last": 1}}, "card", [97531, True]),
])
def test_key_rule_policies_no_slot_covers_hold_in_a_join_without_paths(shape, policies, held, values):
    """While the list under one key rule is handed off, a call of its own reaches the list under the other,
    whose override walks a copy where it cannot tell: the join of two places with no covering policy."""
    other = "pin" if held == "card" else "card"

    class O(shaped(shape)):
        def omit_recurse(self, target, do=True):
            if target and target[0] == "held-marker":
                mine = {other: list(values)}
                got = self.omit(mine)  # the override hands back a walked copy
                self.made = got if got is not None else mine
                return RuleOmitter.omit_recurse(self, target, do)
            return super().omit_recurse(target, do)

    keys = ["card", "pin"]
    model = Model(keys, policies=policies)
    o = O(keys, policies=policies)
    o.omit({held: ["held-marker"]})
    check_no_more_than_exact(model, {other: list(values)}, o.made, joined_below=2)


def test_redacted_through_an_override_shows_no_more_than_the_exact_place():
    policies = {"card": {"mask": "[c]"}, "pin": {"numbers": "zero", "booleans": "false"}, "$.a": {"keep_last": 2}}
    keys = ["card", "pin"]
    model = Model(keys, paths=["$.a"], policies=policies)
    doc = {"a": {"pin": [1234, True], "card": "secretvalue"}, "pin": 97531, "card": ["tokenvalue9"]}
    for shape in SHAPES:
        got = redacted(shaped(shape)(keys, paths=["$.a"], policies=policies), doc)
        check_no_more_than_exact(model, doc, got, joined_below=None if shape == "direct" else 2)


def test_a_joined_walk_that_outlives_an_init_masks_by_the_plan_it_began_with():
    """An __init__ run inside the override gives the omitter another plan; the super() the override then runs
    on a copy from its own frame follows the call's joined plan, whose texts the omitter still keeps."""
    done = run_script("""
        import gc
        from velmora.rules import RuleOmitter

        class O(RuleOmitter):
            def omit(self, target):
                if "pin" in target:
                    self.__init__(["zz"], paths=["$.zz"], policies={"zz": {"mask": "[new]"}})
                    gc.collect()
                    ''.join(str(i) for i in range(10000))  # reuse freed memory, if any was freed
                    return super().omit(dict(target))
                return super().omit(target)

        for _ in range(50):
            o = O(["pin"], paths=["$.a"], mask="[own" + "]" * 2, numbers="zero",
                  policies={"pin": {"mask": "[pin" + "]", "numbers": "string"}})
            doc = {"a": {"pin": 1234, "x": "secretvalue", "t": True}}
            out = o.omit(doc)
            assert out["a"]["x"] == "[own]]", out
            assert out["a"]["pin"] in ("[own]]", "[pin]"), out
            del o
            gc.collect()
        print("ok")
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"


def test_a_plan_replaced_mid_walk_is_still_refused_by_a_call_of_its_own():
    class O(RuleOmitter):
        def omit(self, target):
            if "pin" in target:
                self.__init__(["pin"], paths=["$.b"], policies={"pin": {"mask": "[n]"}})
                return _super_omit(self, O, dict(target))
            return super().omit(target)

    o = O(["pin"], paths=["$.a"], policies={"pin": {"mask": "[p]"}})
    with pytest.raises(RuntimeError):
        o.omit({"a": {"pin": "secretvalue"}})


@pytest.mark.parametrize("shape", ["helper", "thread", "finaliser"])
def test_joined_walks_lose_no_memory(shape):
    policies = {"card": {"mask": "[c]"}, "pin": {"numbers": "zero", "booleans": "false"}, "$.a": {"keep_last": 2}}
    cls = shaped(shape)
    o = cls(["card", "pin"], paths=["$.a"], policies=policies)
    doc = {"a": {"pin": [1234, True], "card": "secretvalue"}, "pin": [97531], "card": ["tokenvalue9"]}

    def once():
        for _ in range(20):
            o.omit(fresh(doc))
            redacted(o, doc)
        gc.collect()

    once()
    before = sys.getallocatedblocks()
    for _ in range(5):
        once()
    assert sys.getallocatedblocks() - before < 100


class Helper(RuleOmitter):
    def omit(self, target):
        return _super_omit(self, Helper, dict(target))


@pytest.mark.parametrize("paths", [[], ["$.a"]])
def test_a_pickled_omitter_joins_by_the_same_least_policy(paths):
    policies = {"card": {"mask": "[c]"}, "pin": {"numbers": "zero", "booleans": "false"}}
    doc = {"a": {"pin": [1234, True], "card": "secretvalue"}, "card": "secretvalue", "n": 97531}
    o = Helper(["card", "pin"], paths=paths, policies=policies)
    loaded = pickle.loads(pickle.dumps(o))
    got = loaded.omit(copy.deepcopy(doc))
    assert got == o.omit(copy.deepcopy(doc))
    check_no_more_than_exact(Model(["card", "pin"], paths=paths, policies=policies), doc, got, joined_below=2)


def test_two_threads_holding_lists_of_two_key_rules_join_without_showing_more():
    """Two threads hand lists of two key rules off at once; a third walk, on a copy, made while both hold
    them, cannot tell which one it belongs to."""
    policies = {"card": {"mask": "[c]"}, "pin": {"numbers": "zero", "booleans": "false"}}
    held = threading.Barrier(3)
    out = {}

    class O(RuleOmitter):
        def omit_recurse(self, target, do=True):
            if target and target[0] == "wait":
                held.wait(timeout=60)
                held.wait(timeout=60)
            return super().omit_recurse(target, do)

    o = O(["card", "pin"], policies=policies)
    ts = [threading.Thread(target=o.omit, args=({k: ["wait"]},)) for k in ("card", "pin")]
    for t in ts:
        t.start()
    held.wait(timeout=60)
    try:
        mine = [1234, True, "secretvalue"]
        out["got"] = RuleOmitter.omit_recurse(o, list(mine), True)
    finally:
        held.wait(timeout=60)
        for t in ts:
            t.join()
    model = Model(["card", "pin"], policies=policies)
    check_no_more_than_exact(model, {"pin": mine}, {"pin": out["got"]}, joined_below=2)
    check_no_more_than_exact(model, {"card": mine}, {"card": out["got"]}, joined_below=2)


@pytest.mark.parametrize("closed", ["all"])
def test_joins_without_paths_hold_with_the_gates_closed(closed):
    done = run_script("""
        from velmora.rules import RuleOmitter

        def helper(o, cls, t, do):
            return super(cls, o).omit_recurse(t, do)

        class O(RuleOmitter):
            def omit_recurse(self, target, do=True):
                if target and target[0] == "held":
                    mine = {"pin": [1234, True, "secretvalue"]}
                    self.omit(mine)
                    self.made = mine
                    return super().omit_recurse(target, do)
                return helper(self, O, list(target), do)

        for paths in ([], ["$.zz"]):
            o = O(["card", "pin"], paths=paths,
                  policies={"card": {"mask": "[c]"}, "pin": {"numbers": "zero", "booleans": "false"}})
            o.omit({"card": ["held"]})
            print(o.made["pin"][:2])
    """, VELMORA_CLOSE_GATES=closed)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:2] == ["[0, False]"] * 2, done.stdout


# ---- whole=True ------------------------------------------------------------------------------

WHOLE_TEXTS = {"[a]", "[b]", "[own]"}


def _leaves(doc, where=()):
    if isinstance(doc, dict):
        for k, v in doc.items():
            yield from _leaves(v, where + (k,))
    elif isinstance(doc, list):
        for i, v in enumerate(doc):
            yield from _leaves(v, where + (i,))
    else:
        yield where, doc


def _at(doc, where):
    for label in where:
        if isinstance(doc, str):
            return doc  # replaced whole above here
        doc = doc[label]
    return doc


def check_whole_hides_what_exact_hides(doc, keys, kw, got):
    """Under whole, a value the exact walk replaces (itself, or a container of it) comes back replaced."""
    exact = fresh(doc)
    RuleOmitter(keys, **kw).omit(exact)
    for where, value in _leaves(doc):
        if _at(exact, where) in WHOLE_TEXTS:
            assert _at(got, where) in WHOLE_TEXTS, ("shows what whole replaces", where, value, _at(got, where))


@pytest.mark.parametrize("shape", ["helper", "lambda", "closure", "generator", "copy", "thread", "finaliser"])
@pytest.mark.parametrize("paths", [["$.l[0]"], ["$.l[*]"], ["$.l[*]", "$.x"], ["$..l[1]"]])
def test_whole_replaces_selected_items_of_a_list_walked_where_it_cannot_tell(shape, paths):
    """A list override walking a copy where it cannot tell its place joins the list's place with the place of
    an item of it, which a path selects: the copy it hands back is stored as it is, so what is selected in it
    is replaced item by item, as at the root."""
    kw = dict(paths=paths, whole=True, mask="[own]")
    doc = {"l": [1234, True, "secretvalue", [97531]], "x": {"l": [12.5, False]}}
    got = fresh(doc)
    returned = shaped(shape)([], **kw).omit(got)
    check_whole_hides_what_exact_hides(doc, [], kw, returned if returned is not None else got)


@settings(max_examples=80, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(top_docs, st.lists(st.sampled_from(["pin", "card", "n"]), max_size=2, unique=True),
       st.lists(st.sampled_from(PATHS), max_size=3, unique=True), st.sampled_from(SHAPES), st.data())
def test_generated_overrides_under_whole_replace_what_the_exact_walk_replaces(doc, keys, ps, shape, data):
    rules = data.draw(st.lists(st.sampled_from(ps + keys), max_size=3, unique=True)) if ps or keys else []
    kw = dict(paths=ps, whole=True, mask="[own]",
              policies={r: {"mask": data.draw(st.sampled_from(["[a]", "[b]"]))} for r in rules})
    got = fresh(doc)
    returned = shaped(shape)(keys, **kw).omit(got)
    check_whole_hides_what_exact_hides(doc, keys, kw, returned if returned is not None else got)
