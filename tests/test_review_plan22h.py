"""The plan walk's nested dicts entered from a kept decision, checked
adversarially: the same str key object met at several depths and states,
keys and values that run code (and move the walk's epoch) mid-walk, an
override that re-initialises the omitter mid-walk, deep nesting and threads.

The reference here is a small walk of its own over dicts and lists (exact
keys, the path subset $ .name ['name'] .* [*] ..name [N], numbers and a
mask per rule), sharing nothing with plan_walk_model.py; where code runs
mid-walk, the oracle is the same walk over the same document with a fresh
key object at every member, which no memo kept by key object can answer.
"""

import copy
import inspect
import json
import subprocess
import sys
import textwrap
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velmora.rules import RuleOmitter

SETTINGS = settings(max_examples=150, derandomize=True, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

NAMES = ["a", "b", "pw", "id", "card"]
FILTERED = "[Filtered]"  # the text a numbers="string" policy writes without a mask of its own


# ---- The reference walk ----------------------------------------------------------------------

def path_text(steps):
    out = "$"
    for kind, arg in steps:
        out += {"name": f".{arg}", "quoted": f"['{arg}']", "any": ".*", "items": "[*]",
                "descend": f"..{arg}", "index": f"[{arg}]"}[kind]
    return out


def step_hits(kind, arg, label):
    where, what = label
    if kind in ("any", "items"):
        return True
    if kind == "index":
        return where == "i" and what == arg
    return where == "m" and type(what) is str and what == arg


def matches(steps, labels):
    if not steps:
        return not labels
    kind, arg = steps[0]
    if kind == "descend":
        return any(step_hits(kind, arg, labels[i]) and matches(steps[1:], labels[i + 1:])
                   for i in range(len(labels)))
    return bool(labels) and step_hits(kind, arg, labels[0]) and matches(steps[1:], labels[1:])


class Reference:
    """keys: exact str keys; paths: [(steps, policy or None)]; policies by key
    text; a policy is a dict with "mask" and/or "numbers"."""

    def __init__(self, keys, paths, key_policies, numbers):
        self.keys, self.paths, self.key_policies = keys, paths, key_policies
        self.base = {"numbers": numbers}

    def selection(self, labels):
        selected = False
        for depth in range(len(labels), -1, -1):
            ending = [policy for steps, policy in self.paths if matches(steps, labels[:depth])]
            if ending:
                selected = True
                for policy in ending:
                    if policy is not None:
                        return True, policy
        return selected, None

    def policy(self, given):
        merged = dict(self.base)
        merged.update(given or {})
        return merged

    def mask(self, value, policy):
        if type(value) is str:
            return policy["mask"] if "mask" in policy else "*" * len(value)
        if type(value) is bool or value is None:
            return value
        numbers = policy["numbers"]
        if numbers == "keep":
            return value
        if numbers == "string":
            return policy.get("mask", FILTERED)
        if numbers == "zero":
            return type(value)(0)
        if type(value) is int:
            eights = int("8" * len(str(abs(value))))
            return -eights if value < 0 else eights
        return float("".join("8" if c.isdigit() else c for c in repr(value)))

    def walk_dict(self, d, labels):
        for key in list(d):
            here = labels + [("m", key)]
            selected, path_policy = self.selection(here)
            by_key = type(key) is str and key in self.keys
            hide = selected or by_key
            policy = self.policy(path_policy or (self.key_policies.get(key) if by_key else None))
            d[key] = self.value(d[key], here, hide, policy)
        return d

    def walk_list(self, items, labels, do, policy):
        for i in range(len(items)):
            here = labels + [("i", i)]
            selected, path_policy = self.selection(here)
            hide = selected or do
            item_policy = self.policy(path_policy) if path_policy else (policy if do else self.policy(None))
            items[i] = self.value(items[i], here, hide, item_policy)
        return items

    def value(self, v, here, hide, policy):
        if type(v) is dict:
            return self.walk_dict(v, here)
        if type(v) is list:
            return self.walk_list(v, here, hide, policy)
        return self.mask(v, policy) if hide else v


def canon(value):
    if type(value) is dict:
        return ("d", [(k, canon(v)) for k, v in value.items()])
    if type(value) is list:
        return ("l", [canon(v) for v in value])
    return (type(value).__name__, repr(value))


def fresh_keys(value):
    if type(value) is dict:
        return {"".join(["", k, "\x00"])[:-1] if type(k) is str else k: fresh_keys(v) for k, v in value.items()}
    if type(value) is list:
        return [fresh_keys(v) for v in value]
    return value


# ---- Generated plans and documents -----------------------------------------------------------

policies = st.one_of(st.none(), st.fixed_dictionaries({"mask": st.sampled_from(["[p]", "#"])}),
                     st.fixed_dictionaries({"numbers": st.sampled_from(["zero", "digits", "string"])}))
steps = st.one_of(st.tuples(st.sampled_from(["name", "quoted", "descend"]), st.sampled_from(NAMES)),
                  st.tuples(st.sampled_from(["any", "items"]), st.none()),
                  st.tuples(st.just("index"), st.integers(0, 2)))
paths = st.tuples(st.lists(steps, min_size=1, max_size=4), policies)


@st.composite
def plans(draw):
    keys = draw(st.lists(st.sampled_from(NAMES), max_size=2, unique=True))
    chosen = draw(st.lists(paths, max_size=4, unique_by=lambda p: path_text(p[0])))
    key_policies = {k: p for k in keys if (p := draw(policies)) is not None}
    numbers = draw(st.sampled_from(["keep", "zero", "digits", "string"]))
    ref = Reference(keys, chosen, key_policies, numbers)
    rule_policies = dict(key_policies)
    rule_policies.update({path_text(s): p for s, p in chosen if p is not None})
    omitter = RuleOmitter(keys, paths=[path_text(s) for s, _ in chosen], numbers=numbers,
                          policies=rule_policies or None)
    return ref, omitter


leaves = st.one_of(st.text(alphabet="xyé", max_size=3), st.integers(-999, 999),
                   st.sampled_from([1.5, -2.25, 0.0]), st.booleans(), st.none())
trees = st.recursive(leaves, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.dictionaries(st.sampled_from(NAMES), inner, max_size=4)), max_leaves=14)
records = st.dictionaries(st.sampled_from(NAMES), trees, min_size=1, max_size=4)


def chain(depth, names, leaf):
    """Dicts nested `depth` deep, each under the next of `names` (cycled),
    with a sibling dict at each level: one key object per text at every
    depth once parsed."""
    out = leaf
    for i in range(depth):
        name = names[i % len(names)]
        out = {name: out, "b": {name: leaf, "id": leaf}, "card": [leaf, {name: leaf}]}
    return out


def check(ref, omitter, doc):
    expected = canon(ref.walk_dict(copy.deepcopy(fresh_keys(doc)), []))
    shared = copy.deepcopy(doc)  # deepcopy keeps the one key object per text
    assert omitter.omit(shared) is shared
    fresh = fresh_keys(doc)
    omitter.omit(fresh)
    assert canon(fresh) == expected, (doc,)
    assert canon(shared) == expected, (doc,)


@SETTINGS
@given(plans(), records, st.integers(1, 5))
def test_parsed_records_walk_as_the_reference(plan, record, copies):
    ref, omitter = plan
    doc = json.loads(json.dumps({"a": [record] * copies, "b": record, "id": {"a": record, "b": [record]}}))
    check(ref, omitter, doc)
    check(ref, omitter, doc)  # again, with the decisions of the first walk kept


@SETTINGS
@given(plans(), st.integers(1, 7), st.lists(st.sampled_from(NAMES), min_size=1, max_size=3), leaves)
def test_one_key_object_at_every_depth_and_state(plan, depth, names, leaf):
    ref, omitter = plan
    doc = json.loads(json.dumps({"a": chain(depth, names, leaf), "b": [chain(depth, names[::-1], leaf)] * 2}))
    check(ref, omitter, doc)


@SETTINGS
@given(st.lists(plans(), min_size=2, max_size=3), records)
def test_omitters_taking_turns_over_the_same_key_objects(plans_, record):
    doc = json.loads(json.dumps({"a": {"a": record, "b": [record, {"a": record}]}, "pw": record}))
    for _ in range(2):
        for ref, omitter in plans_:
            check(ref, omitter, doc)


@SETTINGS
@given(plans(), records, st.integers(1, 4))
def test_one_dict_object_met_at_several_places(plan, record, copies):
    # The same dict object under several members and items: walked once per
    # place, each walk seeing the masks of the one before.
    ref, omitter = plan
    record = json.loads(json.dumps(record))
    doc = {"a": [record] * copies, "b": {"a": record, "b": record}, "id": record}
    expected = ref.walk_dict(copy.deepcopy(doc), [])  # deepcopy keeps the sharing
    omitter.omit(doc)
    assert canon(doc) == canon(expected)


@pytest.mark.parametrize("path, key, expected", [
    ("$.a.a", "a", {"a": {"a": {"a": "*", "b": "*"}, "b": {"a": "x"}}}),
    ("$..b.a", "a", {"a": {"a": {"a": "x", "b": "x"}, "b": {"a": "*"}}}),
    ("$.a.*", "b", {"a": {"a": {"a": "*", "b": "*"}, "b": {"a": "*"}}}),
    ("$['a']['b']", "a", {"a": {"a": {"a": "x", "b": "x"}, "b": {"a": "*"}}}),
])
def test_a_dict_under_a_kept_key_is_walked_at_its_own_state(path, key, expected):
    # The first "a" member's decision is kept; the second "a" member (one
    # level down) shares the key object but not the state.
    omitter = RuleOmitter([], paths=[path])
    for _ in range(3):
        doc = json.loads('{"a": {"a": {"a": "x", "b": "x"}, "b": {"a": "x"}}}')
        omitter.omit(doc)
        assert doc == expected


# ---- Code run mid-walk -------------------------------------------------------------------

def run_child(body, prelude=""):
    """Run `prelude` and then `body` in a fresh interpreter; its stdout, or
    the failure."""
    code = PRELUDE + prelude + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, (done.returncode, done.stderr[-3000:])
    return done.stdout


PRELUDE = """
import copy, gc, json, sys
from velmora.rules import RuleOmitter

""" + inspect.getsource(fresh_keys) + """
def outcome(call, doc):
    try:
        call(doc)
        error = None
    except (TypeError, RuntimeError, ValueError, KeyError) as e:
        error = type(e).__name__
    return error, repr(doc)
"""


@pytest.mark.parametrize("switch_at", [1, 2, 3, 5])
@pytest.mark.parametrize("rules", [
    (["pw"], ["$..a.b"], ["b"], ["$.a[*].a"]),
    ([], ["$.a[*].a.b", "$..pw"], ["a"], []),
    (["a"], ["$.a[1]"], [], ["$..b", "$.a[*].b.a"]),
])
def test_an_override_reinitialising_mid_walk_re_decides_kept_members(switch_at, rules):
    # The override re-initialises the omitter with other rules at its
    # switch_at-th nested dict: the members after it are decided by what
    # holds then, with the shared key objects as with fresh ones.
    keys1, paths1, keys2, paths2 = rules
    out = run_child(f"""
    class Switching(RuleOmitter):
        calls = 0
        def omit(self, target):
            type(self).calls += 1
            if type(self).calls == {switch_at}:
                self.__init__({keys2!r}, paths={paths2!r})
                gc.collect()
            return super().omit(target)

    record = {{"a": {{"b": "xy", "a": "s"}}, "b": {{"a": {{"b": "zz"}}}}, "pw": "p"}}
    text = json.dumps({{"a": [record] * 4, "b": record}})
    results = []
    for make in (json.loads, lambda t: fresh_keys(json.loads(t))):
        Switching.calls = 0
        doc = make(text)
        results.append(outcome(Switching({keys1!r}, paths={paths1!r}).omit, doc))
    print(results[0] == results[1])
    print(results)
    """)
    assert out.splitlines()[0] == "True", out


KEY_CLASSES = """
class Loud(str):
    pass

class Runs:
    # A key that runs code when hashed or compared, and may disturb the dict.
    def __init__(self, text, action):
        self.text, self.action = text, action
    def __hash__(self):
        self.action()
        return hash(self.text)
    def __eq__(self, other):
        self.action()
        return isinstance(other, Runs) and other.text == self.text
    def __repr__(self):
        return f"Runs({self.text!r})"

class Fin(int):
    # A hidden number whose release runs code.
    action = None
    def __del__(self):
        if Fin.action is not None:
            Fin.action()
"""


@pytest.mark.parametrize("action", ["None", "gc.collect()", "target.setdefault('zz', 1)", "raise_it()",
                                    "omitter.__init__(['b'], paths=['$..a'])"])
@pytest.mark.parametrize("key_kind", ["runs", "loud", "tuple", "int"])
def test_keys_that_run_code_beside_dicts_under_kept_keys(action, key_kind):
    out = run_child(prelude=KEY_CLASSES, body=f"""
    def raise_it():
        raise KeyError("from a key")

    armed = False

    def odd_key(n):
        kind = {key_kind!r}
        if kind == "runs":
            return Runs("pw", lambda: ({action}) if armed else None)
        if kind == "loud":
            return Loud("pw")
        return ("pw", n) if kind == "tuple" else n

    results = []
    for make in (json.loads, lambda t: fresh_keys(json.loads(t))):
        record = json.dumps({{"a": {{"b": "xy", "a": {{"a": "s"}}}}, "b": {{"a": "zz"}}}})
        doc = make(json.dumps({{"a": [json.loads(record)] * 3}}))
        for n, rec in enumerate(doc["a"]):
            doc["a"][n] = rec = dict(make(record))
            target = rec
            rec[odd_key(n)] = {{"a": "q", "b": "r"}}
            rec["b2"] = {{"a": "t"}}
        omitter = RuleOmitter(["a"], paths=["$.a[*].a.a", "$..b.a"])
        armed = True
        results.append(outcome(omitter.omit, doc))
        armed = False
    print(results[0] == results[1])
    print(results)
    """)
    assert out.splitlines()[0] == "True", out


@pytest.mark.parametrize("action", ["target.setdefault('zz', 1)", "target.pop('z', None)",
                                    "omitter.__init__(['pw'], paths=['$..a'])", "gc.collect()"])
def test_a_finaliser_run_by_a_mask_mid_walk(action):
    out = run_child(prelude=KEY_CLASSES, body=f"""
    results = []
    for make in (json.loads, lambda t: fresh_keys(json.loads(t))):
        text = json.dumps({{"r": [{{"a": {{"b": "xy"}}, "n": 0, "b": {{"a": {{"a": "q"}}}}, "z": 1}}] * 3}})
        doc = make(text)
        omitter = RuleOmitter(["n"], paths=["$..a.b", "$.r[*].b.a"], numbers="zero")
        for rec in doc["r"]:
            rec["n"] = Fin(7)
        target = doc["r"][1]
        Fin.action = lambda: {action}
        results.append(outcome(omitter.omit, doc))
        Fin.action = None
    print(results[0] == results[1])
    print(results)
    """)
    assert out.splitlines()[0] == "True", out


@pytest.mark.parametrize("depth", [50, 100000])
def test_deep_dicts_under_one_key_object(depth):
    # Deep enough, the walk stops with RecursionError and leaves a sound
    # interpreter; shallower, it walks every level.
    out = run_child(f"""
    doc = leaf = {{"b": "xy"}}
    for _ in range({depth}):
        doc = {{"a": doc, "b": "xy"}}
    doc = json.loads(json.dumps(doc)) if {depth} < 500 else doc
    omitter = RuleOmitter([], paths=["$.a.a.b", "$..a.b"])
    try:
        omitter.omit(doc)
        node, seen = doc, []
        while "a" in node:
            seen.append(node["b"])
            node = node["a"]
        print("done", seen[0], set(seen[1:]), node["b"])
    except RecursionError:
        print("recursion")
    omitter.omit({{"a": {{"b": "ok"}}}})
    print("alive")
    """)
    lines = out.splitlines()
    assert lines[-1] == "alive"
    if depth == 50:
        assert lines[0] == "done xy {'**'} **", out
    else:
        assert lines[0] == "recursion", out


def test_threads_walking_one_omitter_over_shared_key_objects():
    out = run_child("""
    import threading
    sys.setswitchinterval(1e-6)
    record = {"a": {"b": "xy", "a": {"a": "s", "b": {"a": "t"}}}, "b": {"a": {"b": "zz"}}, "pw": "p"}
    text = json.dumps({"a": [record] * 20, "b": record})
    omitter = RuleOmitter(["pw"], paths=["$.a[*].a.a", "$..b.a", "$.b.a.b"])
    expected = fresh_keys(json.loads(text))
    omitter.omit(expected)
    bad = []
    def work(n):
        for _ in range(30):
            doc = json.loads(text)
            omitter.omit(doc)
            if doc != expected:
                bad.append(n)
    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(len(bad))
    """)
    assert out.splitlines()[0] == "0", out


def test_threads_in_process_match_the_reference():
    ref = Reference(["pw"], [([("name", "a"), ("items", None), ("name", "a"), ("name", "a")], None),
                             ([("descend", "b"), ("name", "a")], {"mask": "[p]"})], {}, "zero")
    omitter = RuleOmitter(["pw"], paths=["$.a[*].a.a", "$..b.a"], policies={"$..b.a": {"mask": "[p]"}},
                          numbers="zero")
    record = {"a": {"b": "xy", "a": {"a": "s", "b": {"a": 5}}}, "b": {"a": {"b": "zz"}}, "pw": 3}
    text = json.dumps({"a": [record] * 10, "b": record})
    expected = canon(ref.walk_dict(json.loads(text), []))
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    results = []
    try:
        def work():
            for _ in range(20):
                doc = json.loads(text)
                omitter.omit(doc)
                results.append(canon(doc))
        threads = [threading.Thread(target=work) for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(previous)
    assert len(results) == 60
    assert all(r == expected for r in results)


@pytest.mark.parametrize("release", [1, 3, 4])
@pytest.mark.parametrize("action", ["parent.setdefault('zz', 1)", "parent.pop('b', None)", "parent.update(a=5)",
                                    "parent.clear()"])
def test_a_finaliser_in_a_nested_dict_changes_the_dict_being_walked(action, release):
    # The release-th masked number's finaliser changes a record while (or
    # before) the walk is inside one of its nested dicts.
    out = run_child(prelude=KEY_CLASSES, body=f"""
    results = []
    for make in (json.loads, lambda t: fresh_keys(json.loads(t))):
        doc = make(json.dumps({{"r": [{{"a": {{"n": 0, "b": "xy"}}, "b": {{"a": {{"n": 0}}}}, "c": "q"}}] * 3}}))
        for rec in doc["r"]:
            rec["a"]["n"] = Fin(5)
            rec["b"]["a"]["n"] = Fin(6)
        parent = doc["r"][1]
        count = [0]
        def act():
            count[0] += 1
            if count[0] == {release}:
                {action}
        Fin.action = act
        results.append(outcome(RuleOmitter(["n"], paths=["$..a.b"], numbers="zero").omit, doc))
        Fin.action = None
    print(results[0] == results[1])
    print(results)
    """)
    assert out.splitlines()[0] == "True", out
