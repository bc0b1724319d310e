"""Masks written over a str where it stands, and tags from flips.

A str value that only its entry (or list item) holds becomes its own mask,
and a dict written in place takes its fresh version tag from a store into a
dict of the module's own. Nothing of either may show: every result here is
compared with a plain-Python model of the walk (tests/fills_model.py) on
hostile data, with a build whose two gates are closed, and with what anyone
who kept a str aside (a callback, an interned table, a copy) still sees.
"""

import gc
import json
import pickle
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import assert_runs_clean, run_python
from fills_model import fresh, run

from velmora.omit import NoTrustOmitter, Omitter
from velmora.redact import redacted
from velmora.rules import RuleOmitter

# ---- Hostile descriptions -----------------------------------------------------------

KEYS = ["pw", "token", "name", "k"]


def weighted(*choices):
    """One of the strategies, each as often as its weight says."""
    total = sum(weight for weight, _ in choices)

    def pick(n):
        for weight, strategy in choices:
            if n < weight:
                return strategy
            n -= weight
        raise AssertionError(n)

    return st.integers(0, total - 1).flatmap(pick)


ASCII = st.text("abcxyz*", min_size=2, max_size=8)
TEXT = weighted((3, ASCII), (1, st.text("ab\u00e9\u20ac\U0001f600", max_size=4)))
SMALL = st.integers(0, 7)
SIMPLE_LEAF = (st.tuples(st.just("s"), TEXT) | st.tuples(st.just("i"), st.integers(-3, 3)) | st.just(("n",))
               | st.just(("fin", ())))
ACTION = st.one_of(
    st.tuples(st.just("set"), SMALL, SMALL, SIMPLE_LEAF),
    st.tuples(st.just("add"), SMALL, SIMPLE_LEAF),
    st.tuples(st.just("pop"), SMALL),
    st.tuples(st.sampled_from(["stash", "hash", "intern"]), SMALL, SMALL),
    st.tuples(st.just("omit"), SMALL),
    st.just(("unstash",)),
    st.just(("raise",)),
)
ACTIONS = st.lists(ACTION, max_size=2).map(tuple)
STR_LEAF = st.tuples(st.just("s"), TEXT)
# Mostly str: a value can only become its own mask on the walk's quiet path,
# which hostile keys, items and overrides leave; they come now and then.
CLAIMS = st.sampled_from(["bool", "int", "object", "float"])
LEAF = weighted(
    (8, STR_LEAF),
    (1, st.tuples(st.just("i"), st.integers(-3, 3)) | st.just(("n",))),
    (2, st.tuples(st.just("fin"), ACTIONS)),
    (3, st.tuples(st.just("cls"), st.just("object"), CLAIMS, ACTIONS)),
    (1, st.tuples(st.just("cls"), st.sampled_from(["str", "list"]), CLAIMS, ACTIONS)),
    (1, st.tuples(st.just("sub"), st.sampled_from(["str", "dict", "list"]))),
)
STR_KEY = st.tuples(st.just("s"), st.sampled_from(KEYS))
HOSTILE_KEY = st.tuples(st.just("hk"), st.sampled_from(KEYS), ACTIONS)


def pairs(inner, min_size):
    """Entries of a dict: str keys mostly; None now and then; keys whose
    comparison acts (their hash is a str key's) over values that are not
    str, which such a key may not hold."""
    pair = weighted((10, st.tuples(STR_KEY, inner)), (1, st.tuples(st.just(("none",)), inner)),
                    (2, st.tuples(HOSTILE_KEY, st.tuples(st.just("fin"), ACTIONS) | st.just(("i", 1)))))
    return st.tuples(st.just("d"), st.lists(pair, min_size=min_size, max_size=5, unique_by=lambda kv: kv[0]))


NODE = st.recursive(
    LEAF, lambda inner: pairs(inner, 1) | st.tuples(st.just("l"), st.lists(inner, min_size=1, max_size=4)),
    max_leaves=10)
ROOT = weighted((3, pairs(NODE, 2)), (1, st.tuples(st.just("l"), st.lists(NODE, min_size=1, max_size=4))))
STR_ITEM = st.tuples(st.just("s"), st.sampled_from(KEYS[:2] + [None]))
ITEMS = weighted((3, st.lists(STR_ITEM, min_size=1, max_size=3)), (1, st.lists(
    STR_ITEM | st.tuples(st.just("hi"), st.sampled_from([True, False, "raise"]), ACTIONS), max_size=3)))
DESCRIPTION = st.tuples(ROOT, ITEMS, st.booleans(),
                        weighted((5, st.none()), (1, st.sampled_from(["plain", "log", "none", "wrong", "unwalked"]))))

# Dicts whose every str value is hidden, where values nobody else holds
# stand between values whose `__class__` lookup runs a callback (the walk
# leaves its quiet path there and comes back to it after).
ROOT_ACTION = st.one_of(
    st.tuples(st.sampled_from(["stash", "hash", "intern"]), st.integers(0, 1), SMALL),
    st.tuples(st.just("set"), st.integers(0, 1), SMALL, SIMPLE_LEAF),
    st.tuples(st.just("omit"), st.integers(0, 1)),
    st.just(("unstash",)),
)
QUIET_VALUE = weighted((4, STR_LEAF), (1, st.tuples(st.just("l"), st.lists(STR_LEAF, min_size=1, max_size=3))),
                       (2, st.tuples(st.just("cls"), st.just("object"), CLAIMS,
                                     st.lists(ROOT_ACTION, min_size=1, max_size=3).map(tuple))))
FILL_DESCRIPTION = st.tuples(st.lists(QUIET_VALUE, min_size=2, max_size=8), st.lists(QUIET_VALUE, max_size=4)).map(
    lambda values: (("d", [(("s", f"k{i}"), v) for i, v in enumerate(values[0])]
                     + [(("s", "nested"), ("d", [(("s", f"n{i}"), v) for i, v in enumerate(values[1])]))]),
                    [], True, None))

HOSTILE = settings(max_examples=300, derandomize=True, deadline=None, database=None,
                   suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def masks_are_true_str(node, seen=None):
    """Every run of '*' in the data is what a mask made afresh is."""
    seen = set() if seen is None else seen
    if id(node) in seen:
        return
    seen.add(id(node))
    for item in list(node.values() if type(node) is dict else node):
        if type(item) is str and item and item.count("*") == len(item):
            made = "*" * len(item)
            assert hash(item) == hash(made) and sys.getsizeof(item) == sys.getsizeof(made)
            assert item.encode() == made.encode() and pickle.loads(pickle.dumps(item)) == made
            assert {made: 1}.get(item) == 1 and item.isascii()
        elif type(item) in (dict, list):
            masks_are_true_str(item, seen)


# ---- The module against the model --------------------------------------------------


@HOSTILE
@given(DESCRIPTION | FILL_DESCRIPTION)
def test_walk_matches_the_model_on_hostile_data(description):
    """Callbacks that rebind, replace, stash, hash and intern values, walk
    again, raise and grow containers: the module does what the model does,
    in the same order, and every str kept aside keeps its text."""
    real = run(description, True)
    model = run(description, False)
    assert real == model
    for saved, now in real["kept"]:
        assert saved == now


@HOSTILE
@given(DESCRIPTION | FILL_DESCRIPTION)
def test_masks_hash_compare_and_pickle_as_made_afresh(description):
    from fills_model import build_world

    world, root = build_world(description, True)
    try:
        world.walk(root)
    except Exception:  # noqa: BLE001 - what was masked before the failure counts too
        pass
    masks_are_true_str(root)
    world.dead = True


GATES_RUN = """
import json, sys
sys.path.insert(0, ".")
from hypothesis import given
import test_review_fills as t
from fills_model import run
from test_interpreter_lines import layout_gates
out = []
@t.HOSTILE
@given(t.DESCRIPTION | t.FILL_DESCRIPTION)
def collect(description):
    out.append(repr(run(description, True)))
collect()
print(json.dumps([layout_gates()[6:], out]))
"""


def test_gates_open_and_closed_give_the_same_walk():
    """The same hostile worlds walked by the module with tag_flips and
    str_fills open, and with both closed: the same outcome in every one."""
    runs = []
    for closed in ("", "str_fills,tag_flips"):
        done = run_python(GATES_RUN, env={"VELMORA_CLOSE_GATES": closed, "PYTHONHASHSEED": "0"}, timeout=300)
        assert done.returncode == 0, done.stderr[-3000:]
        runs.append(json.loads(done.stdout.splitlines()[-1]))
    (gates_open, open_out), (gates_closed, closed_out) = runs
    assert gates_closed == [False] * len(gates_closed)  # tag_counter goes with tag_flips
    assert len(open_out) == len(closed_out) > 100
    assert open_out == closed_out


# ---- Values held elsewhere ------------------------------------------------------------


class Hook:
    """A key-list item whose comparison runs `action` once."""

    def __init__(self, action):
        self.action = action

    def __eq__(self, other):
        action, self.action = self.action, None
        if action:
            action()
        return False

    __hash__ = object.__hash__


@pytest.mark.parametrize("how", ["intern", "hash", "stash", "json", "pickle"])
def test_a_value_a_callback_touched_keeps_its_text(how):
    """A callback run mid-walk interns, hashes, keeps, or serialises a later
    value (the serialisers' memos let go again): whatever still holds it
    sees its text, and interning it again finds it."""
    text = "s3cr3t-" + how
    data = {"list": ["x"], "pw": fresh(text)}
    kept = []

    def act():
        value = data["pw"]
        if how == "intern":
            sys.intern(value)
        elif how == "hash":
            kept.append(hash(value))
        elif how == "stash":
            kept.append(value)
        elif how == "json":
            json.dumps(data)
        else:
            pickle.dumps(data)
        del value

    om = Omitter([Hook(act), "pw"])
    om.omit(data)
    assert data == {"list": ["x"], "pw": "*" * len(text)}
    assert sys.intern(fresh(text)) == text
    if how == "stash":
        assert kept == [text]


def test_a_value_seen_twice_after_a_callback_is_masked_once_and_kept_once():
    """A callback puts the same str (only the entry held it) into a second
    entry and a list it keeps: two entries then hold it, so neither may be
    written over; the list outside keeps the text."""
    data = {"a": fresh("one-secret"), "b": "x", "c": fresh("other")}
    outside = []

    def act():
        data["b"] = data["a"]
        outside.append(data["a"])

    Omitter([Hook(act), "a", "b"]).omit(data)
    assert data == {"a": "**********", "b": "**********", "c": "other"}
    assert outside == ["one-secret"]


# ---- Other walks through the same table ------------------------------------------


@pytest.mark.parametrize("options, expected", [
    ({"mask": "[gone]"}, {"pw": "[gone]", "l": ["[gone]"]}),
    ({"keep_last": 2}, {"pw": "******yz", "l": ["****yz"]}),
    ({}, {"pw": "********", "l": ["******"]}),
])
def test_rule_omitters_fill_only_the_default_mask(options, expected):
    data = json.loads('{"pw": "abcdefyz", "l": ["abcdyz"]}')
    rules = RuleOmitter(["pw", "l"], **options)
    assert rules.omit(data) == expected


def test_no_trust_and_omit_recurse_fill_alike():
    data = json.loads('{"id": "7", "n": ["alpha", {"x": "beta"}], "m": {"id": "q", "y": "gamma"}}')
    NoTrustOmitter(["id"]).omit(data)
    assert data == {"id": "7", "n": ["*****", {"x": "****"}], "m": {"id": "q", "y": "*****"}}
    items = json.loads('["alpha", ["beta"], {"id": "x"}]')
    assert Omitter().omit_recurse(items) == ["*****", ["****"], {"id": "x"}]


class Walker(Omitter):
    def omit(self, target):
        return super().omit(target)


@pytest.mark.parametrize("omitter", [Omitter(["pw"]), Walker(["pw"])], ids=["native", "deep-copy"])
def test_redacted_never_writes_over_its_input(omitter):
    """The copying walk's input holds values nobody else holds: the input
    keeps every one of them, by text and object."""
    text = '{"pw": "secret-one", "l": {"pw": ["secret-two"]}, "n": [{"pw": "secret-three"}]}'
    data = json.loads(text)
    before = [id(data["pw"]), id(data["l"]["pw"][0]), id(data["n"][0]["pw"])]
    out = redacted(omitter, data)
    assert data == json.loads(text)
    assert before == [id(data["pw"]), id(data["l"]["pw"][0]), id(data["n"][0]["pw"])]
    assert out == {"pw": "**********", "l": {"pw": ["**********"]}, "n": [{"pw": "************"}]}


# ---- Tags from flips ------------------------------------------------------------------


def test_the_flipped_dict_is_nobodys():
    """No object the collector knows refers to a dict holding the flip key,
    and no dict it tracks is one."""
    Omitter(["pw"]).omit({"pw": fresh("abc")})
    flips = [o for o in gc.get_objects() if type(o) is dict and "velmora: version tags" in o]
    assert flips == []


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers arrive in 3.12")
def test_a_dict_watched_after_import_hears_every_mask():
    assert_runs_clean("""
        import _testcapi, json
        from velmora.omit import Omitter
        watcher = _testcapi.add_dict_watcher(0)
        data = json.loads('{"pw": "secret", "x": "y", "token": "t0k3n"}')
        _testcapi.watch_dict(watcher, data)
        Omitter(["pw", "token"]).omit(data)
        events = _testcapi.get_dict_watcher_events()
        _testcapi.unwatch_dict(watcher, data)
        _testcapi.clear_dict_watcher(watcher)
        assert data == {"pw": "******", "x": "y", "token": "*****"}, data
        assert len(events) == 2, events
    """)


def test_a_second_interpreter_is_refused_cleanly():
    """The flipped dict and the gates are the process's: a second
    interpreter's import must fail, not share them."""
    module = "_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters"
    assert_runs_clean(f"""
        import {module} as interpreters
        from velmora.omit import Omitter
        interp = interpreters.create()
        try:
            failed = interpreters.run_string(interp, "import velmora.omit")
        except Exception as exc:
            failed = exc
        assert failed is not None, "a second interpreter imported the module"
        data = {{"pw": "".join(["s", "ecret"])}}
        assert Omitter(["pw"]).omit(data) == {{"pw": "******"}}
    """)


# ---- Leaks ------------------------------------------------------------------------


def test_repeated_hostile_walks_leave_no_blocks():
    """The same hostile world, walked a hundred times: no block stays."""
    description = (("d", [(("s", "pw"), ("s", "abcdef")), (("hk", "pw", (("stash", 0, 1),)), ("l", [("s", "zz")])),
                          (("s", "k"), ("l", [("s", "xyzw"), ("fin", (("set", 0, 0, ("s", "qq")),))]))]),
                   [("hi", False, (("unstash",),)), ("s", "pw"), ("s", "k")], False, "log")

    def delta():
        for _ in range(10):
            run(description, True)
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(100):
            run(description, True)
        gc.collect()
        return sys.getallocatedblocks() - before

    assert min(delta() for _ in range(3)) <= 0
