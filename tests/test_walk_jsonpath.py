"""The object walks under rule plans: the in-place walk (`omit`,
`omit_recurse`), `redacted` and the scanner against the plain-Python
reference in path_model.py, over generated documents, paths and policies;
data built to leak; number and boolean masks by type; hostile code mid-walk;
leaks; deep nesting.

The reference works on JSON text: a document is written with json.dumps,
redacted by the reference, and read back. The walks must give the document
json.loads reads back (floats compare by their text: a float's digits mask
is its repr with every digit an 8, as the scanner masks the number
json.dumps wrote).
"""

import copy
import gc
import json
import math
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from path_model import dump, loads, parse_path, redact
from test_scan_jsonpath import KEYS, configs, omitter_of
from velmora.redact import redacted
from velmora.rules import RuleNoTrustOmitter, RuleOmitter
from velmora.scan import scan

SETTINGS = settings(max_examples=300, derandomize=True, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

leaves = st.one_of(
    st.text(alphabet="ab\"\\\né😀 *", max_size=8),
    st.integers(), st.integers(min_value=-(10 ** 40), max_value=10 ** 40),
    st.floats(), st.booleans(), st.none())
values = st.recursive(leaves, lambda inner: st.one_of(
    st.lists(inner, max_size=4), st.dictionaries(st.sampled_from(KEYS), inner, max_size=4)), max_leaves=20)
documents = st.dictionaries(st.sampled_from(KEYS), values, max_size=5)


def text_of(value):
    return json.dumps(value, ensure_ascii=False)


def expected_of(doc, cfg):
    """What the reference makes of `doc`, as json.loads reads it back."""
    return json.loads(dump(redact(loads(text_of(doc)), cfg)))


def selects_the_root(cfg):
    # The walks cannot replace their target: under `whole`, a path "$" hides
    # its members one by one (test_whole_with_the_root_selected).
    return cfg.whole and any(parse_path(p) == [] for p in cfg.paths)


def check_all_ways(doc, cfg):
    omitter = omitter_of(cfg)
    expected = text_of(expected_of(doc, cfg))
    before = text_of(doc)
    out = redacted(omitter, doc)
    assert text_of(doc) == before, "redacted() changed its input"
    assert text_of(out) == expected, ("redacted", before, cfg)
    assert text_of(omitter.omit(copy.deepcopy(doc))) == expected, ("omit", before, cfg)
    assert text_of(json.loads(scan(omitter, before.encode()))) == expected, ("scan", before, cfg)


@SETTINGS
@given(documents, configs())
def test_hiding_walks_match_the_reference(doc, cfg):
    if not selects_the_root(cfg):
        check_all_ways(doc, cfg)


@SETTINGS
@given(documents, configs(trusting=True))
def test_trusting_walks_match_the_reference(doc, cfg):
    check_all_ways(doc, cfg)


@settings(max_examples=150, derandomize=True, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(st.lists(values, max_size=4), st.one_of(configs(), configs(trusting=True)))
def test_list_targets_match_the_reference(doc, cfg):
    """A top-level list stands under no key: omit_recurse(target, do) with
    `do` the verdict of no key (a trusting omitter trusts no None)."""
    if selects_the_root(cfg):
        return
    omitter = omitter_of(cfg)
    do = cfg.trusting
    expected = text_of(expected_of(doc, cfg))
    assert text_of(omitter.omit_recurse(copy.deepcopy(doc), do)) == expected
    assert text_of(redacted(omitter, doc, do)) == expected


# ---- Data built to leak ----------------------------------------------------------------

SECRETS = ("SECRETs", 987654321, 31337, 4242.5, True)


def vault(depth):
    """str, int, float and bool secrets at every depth down to `depth`, in dicts and lists."""
    inner = {"s": "SECRETs", "n": 987654321, "f": 4242.5, "t": True, "l": ["SECRETs", 31337, [True, 4242.5]]}
    for _ in range(depth):
        inner = {"s": "SECRETs", "n": 31337, "deeper": inner, "list": [copy.deepcopy(inner), ["SECRETs", 987654321]]}
    return inner


def leaked(value):
    found = []

    def walk(v):
        if isinstance(v, dict):
            for x in v.values():
                walk(x)
        elif isinstance(v, list):
            for x in v:
                walk(x)
        elif v is True or (isinstance(v, (str, int, float)) and not isinstance(v, bool) and v in SECRETS):
            found.append(v)
    walk(value)
    return found


@pytest.mark.parametrize("paths", [["$.vault"], ["$..vault"], ["$.*"], ["$.box[1].vault"], ["$.box[*].vault"],
                                   ["$..deeper"], ["$.vault", "$..deeper", "$..list[0]"]])
@pytest.mark.parametrize("numbers, booleans", [("zero", "false"), ("string", "string"), ("digits", "false")])
def test_selected_subtrees_leak_nothing(paths, numbers, booleans):
    doc = {"keep": "visible", "vault": vault(3), "box": [{"vault": vault(1)}, {"vault": vault(2)}]}
    policies = {paths[0]: {"keep_last": 1, "numbers": numbers}} if numbers != "digits" else {}
    o = RuleOmitter(paths=paths, numbers=numbers, booleans=booleans, policies=policies)
    for out in (o.omit(copy.deepcopy(doc)), redacted(o, doc)):
        if paths[0].startswith("$.box"):
            selected = [box["vault"] for box in (out["box"] if "*" in paths[0] else out["box"][1:])]
        else:
            selected = out["vault"] if paths[0] != "$..deeper" else out["vault"]["deeper"]
        assert leaked(selected) == [], (paths, numbers)
        assert (out["keep"] == "visible") == (paths != ["$.*"])
    assert text_of(o.omit(copy.deepcopy(doc))) == text_of(redacted(o, doc)) == \
        text_of(json.loads(scan(o, text_of(doc).encode())))


def test_a_container_walked_twice_is_masked_by_what_each_walk_must_store():
    """The same dict twice in the data: the second walk masks what the first stored by the same policy
    (a number's fixed mask becomes a str's mask); no stored mask is passed over for being one."""
    inner = {"n": 5, "s": "abc"}
    o = RuleOmitter(paths=["$..v"], numbers="string", policies={"$..v": {"keep_last": 1, "numbers": "string"}})
    assert o.omit({"a": {"v": inner}, "b": {"v": inner}}) == {"a": {"v": {"n": "*********]", "s": "**c"}},
                                                            "b": {"v": {"n": "*********]", "s": "**c"}}}
    assert o.omit_recurse([{"v": [5]}, {"v": ["[Filtered]"]}], False) == [{"v": ["[Filtered]"]}, {"v": ["*********]"]}]


def test_descent_selects_a_name_at_every_depth():
    doc = {"card": "1", "a": {"card": "22", "b": [{"card": "333"}, [{"x": {"card": 4444}}]]}}
    o = RuleOmitter(paths=["$..card"], numbers="digits")
    expected = {"card": "*", "a": {"card": "**", "b": [{"card": "***"}, [{"x": {"card": 8888}}]]}}
    assert o.omit(copy.deepcopy(doc)) == redacted(o, doc) == expected


def test_overlapping_policies_take_the_most_specific():
    o = RuleOmitter(["card", "pin"], contains=["ar"], patterns=["^p"], paths=["$.card", "$..inner"],
                    numbers="zero", policies={"$.card": {"mask": "[path]", "numbers": "string"},
                                              "card": {"mask": "[key]"}, "^p": {"keep_last": 1},
                                              "ar": {"numbers": "digits"}, "$..inner": {"mask": "[in]"}})
    doc = {"card": {"x": "abc", "n": 12, "card": "zz", "inner": {"v": "s", "card": "q"}},
           "other": {"card": "xyz", "pin": "1234", "bar": 55, "inner": ["s", 7], "pinned": 9}}
    expected = {"card": {"x": "[path]", "n": "[path]", "card": "[path]", "inner": {"v": "[in]", "card": "[in]"}},
                "other": {"card": "[key]", "pin": "***4", "bar": 88, "inner": ["[in]", 0], "pinned": 0}}
    assert o.omit(copy.deepcopy(doc)) == redacted(o, doc) == expected
    assert json.loads(scan(o, text_of(doc).encode())) == expected


# ---- Numbers and booleans in objects -----------------------------------------------------

@pytest.mark.parametrize("numbers, booleans, expected", [
    ("keep", "keep", [12, -3, 1.5e10, 12345678901234567890123, -0.25, True, False, None, 0]),
    ("zero", "false", [0, 0, 0.0, 0, 0.0, False, False, None, 0]),
    ("digits", "keep", [88, -8, 88888888888.8, 88888888888888888888888, -8.88, True, False, None, 8]),
    ("string", "string", ["[F]"] * 7 + [None, "[F]"]),
])
def test_number_and_boolean_policies_in_objects(numbers, booleans, expected):
    o = RuleOmitter(["v"], numbers=numbers, booleans=booleans, mask="[F]")
    doc = {"v": [12, -3, 1.5e10, 12345678901234567890123, -0.25, True, False, None, 0]}
    for out in (o.omit(copy.deepcopy(doc)), redacted(o, doc)):
        assert out["v"] == expected
        assert [type(x) for x in out["v"]] == [type(x) for x in expected]


def test_digits_of_big_ints_and_extreme_floats():
    big = 10 ** 5000 - 1  # past the int-to-str limit
    o = RuleOmitter(["v"], numbers="digits")
    out = o.omit({"v": [big, -big, 10 ** 19, -(10 ** 19) + 1, 1e300, 5e-324, math.nan, -math.inf, -0.0]})
    eights = 8 * (10 ** 5000 - 1) // 9
    assert out["v"][:4] == [eights, -eights, 88888888888888888888, -8888888888888888888]
    assert out["v"][4] == math.inf and out["v"][5] == 0.0  # 8e+888 and 8e-888 read back
    assert out["v"][6:] == [0.0, 0.0, -8.8]


class Money(int):
    pass


class Ratio(float):
    pass


class Claims:
    """Claims to be a bool through __class__: still no number or boolean."""
    __class__ = property(lambda self: bool)


@pytest.mark.parametrize("numbers", ["zero", "digits", "string"])
def test_number_subclasses_are_masked_as_their_base(numbers):
    o = RuleOmitter(["v"], numbers=numbers, booleans="false")
    claims = Claims()
    doc = {"v": Money(4111), "l": [1], "w": {"v": [Ratio(2.5), complex(1, 2), claims]}}
    for out in (o.omit(copy.deepcopy(doc) | {"w": {"v": [Ratio(2.5), complex(1, 2), claims]}}),
                redacted(o, doc)):
        masked = [out["v"], *out["w"]["v"][:2]]
        assert all(type(x) in (int, float, complex, str) for x in masked), masked
        assert 4111 not in masked and 2.5 not in masked and complex(1, 2) not in masked
        assert out["w"]["v"][2] is claims


def test_str_dict_and_list_subclasses_are_refused_as_before():
    class S(str):
        pass

    class L(list):
        pass
    o = RuleOmitter(paths=["$.a"], numbers="zero")
    for bad, message in [({"a": {"x": S("s")}}, "Expected unicode"), ({"a": [S("s")]}, "Expected unicode"),
                         ({"b": L()}, "Expected list"), ({"a": [L()]}, "Expected list")]:
        with pytest.raises(TypeError, match=message):
            o.omit(bad)
        with pytest.raises(TypeError, match=message):
            redacted(o, bad)


def test_whole_with_the_root_selected():
    """The target cannot be replaced: what it holds is, member by member."""
    o = RuleOmitter(paths=["$"], whole=True)
    doc = {"a": "x", "n": 5, "d": {"k": 1}, "l": [True]}
    expected = {"a": "[Filtered]", "n": "[Filtered]", "d": "[Filtered]", "l": "[Filtered]"}
    assert o.omit(copy.deepcopy(doc)) == redacted(o, doc) == expected
    assert o.omit_recurse([1, "x", {"a": 2}]) == ["[Filtered]"] * 3


def test_omitters_without_a_plan_keep_numbers():
    doc = {"pw": "abc", "n": 1, "l": ["x", 2, True]}
    assert RuleOmitter(["pw", "l"]).omit(copy.deepcopy(doc)) == {"pw": "***", "n": 1, "l": ["*", 2, True]}
    assert RuleOmitter(["pw", "l", "n"], numbers="zero").omit(copy.deepcopy(doc)) == \
        {"pw": "***", "n": 0, "l": ["*", 0, True]}


# ---- Overrides, reentrancy, hostile code ----------------------------------------------------

class Audited(RuleOmitter):
    def omit(self, target):
        target["_seen"] = "yes"
        return super().omit(target)

    def omit_recurse(self, target, do=True):
        return super().omit_recurse(target, do)


def test_an_override_walks_at_the_place_of_its_container():
    o = Audited(paths=["$.user.name", "$.l[1]", "$.user.cards[0].no"], numbers="zero")
    doc = {"user": {"name": "Ann", "cards": [{"no": 4111}, {"no": 5}]}, "name": "top", "l": ["a", "b"]}
    out = o.omit(copy.deepcopy(doc))
    assert out == {"user": {"name": "***", "cards": [{"no": 0, "_seen": "yes"}, {"no": 5, "_seen": "yes"}],
                            "_seen": "yes"}, "name": "top", "l": ["a", "*"], "_seen": "yes"}
    # redacted() answers an overriding class with omit(deepcopy(x))
    assert redacted(o, doc) == out


class Twice(RuleOmitter):
    """Walks a nested dict's copy and then the dict through super(): both at its place."""
    def omit(self, target):
        super().omit(dict(target))
        return super().omit(target)


def test_every_walk_an_override_enters_is_at_its_place():
    o = Twice(paths=["$.a.b"])
    assert o.omit({"a": {"b": "xy", "c": "z"}, "b": "top"}) == {"a": {"b": "**", "c": "z"}, "b": "top"}


class Reenters:
    """A finaliser that walks its own dict with the same omitter: a call of its own, from the root."""
    def __init__(self, omitter, seen):
        self.omitter, self.seen = omitter, seen

    def __del__(self):
        self.seen.append(self.omitter.omit({"a": {"b": "x"}, "b": "y"}))


def test_a_walk_from_a_finaliser_starts_at_its_own_root():
    o = RuleOmitter(paths=["$.b"])
    seen = []
    doc = {"a": {"b": "secret", "gone": Reenters(o, seen)}, "b": "top"}
    doc["a"]["gone"] = None  # released mid-walk? no: here; and again below, mid-walk
    doc["a"]["later"] = [Reenters(o, seen)]
    holder = doc["a"]["later"]
    del holder
    out = o.omit(doc)
    assert out["b"] == "***" and out["a"]["b"] == "secret"
    assert all(s == {"a": {"b": "x"}, "b": "*"} for s in seen)


class Shifty(str):
    """A key whose equality and hash change once it has been compared."""
    calls = 0

    def __eq__(self, other):
        Shifty.calls += 1
        return str.__eq__(self, other)

    def __hash__(self):
        return str.__hash__(self)


def test_keys_that_run_code_under_a_typed_plan():
    # A non-str key of a number is asked about (it may run code); the walk
    # goes on from where it stands.
    class Key:
        def __init__(self, box):
            self.box = box

        def __eq__(self, other):
            self.box.clear()  # changes the dict mid-walk
            return False

        def __hash__(self):
            return 1
    box = {"n": 1, "m": 2}
    box[Key(box)] = 3
    o = RuleOmitter(["x", Key(box)], numbers="zero")
    with pytest.raises(RuntimeError, match="changed size"):
        o.omit(box)


def test_finalisers_mutating_the_list_mid_walk():
    o = RuleOmitter(paths=["$.l[*]"], numbers="zero")

    class Shrinks:
        def __init__(self, target):
            self.target = target

        def __del__(self):
            del self.target[:]
    doc = {"l": [1, 2, 3]}
    doc["l"].insert(1, {"x": Shrinks(doc["l"])})
    doc["l"][1]["x"] = None  # let the finaliser run now, outside the walk
    assert o.omit(doc) == {"l": []}


CLOSE_GATES = textwrap.dedent("""
    import copy, json, sys
    sys.path[:0] = {path!r}
    from test_walk_jsonpath import vault, leaked
    from velmora.rules import RuleOmitter
    from velmora.redact import redacted
    doc = {{"keep": "v", "vault": vault(3), "l": [vault(1), {{"card": 4111}}]}}
    o = RuleOmitter(["card"], paths=["$.vault", "$.l[0]"], numbers="digits", booleans="false",
                    policies={{"card": {{"numbers": "zero"}}, "$.vault": {{"mask": "[v]"}}}})
    a, b = o.omit(copy.deepcopy(doc)), redacted(o, doc)
    assert a == b and leaked(a["vault"]) == [] and leaked(a["l"][0]) == [] and a["l"][1]["card"] == 0, a
    print("ok")
""")


def test_closed_gates_walk_the_same():
    import os
    code = CLOSE_GATES.format(path=sys.path[:3] + [os.path.dirname(__file__)])
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env={**os.environ, "VELMORA_CLOSE_GATES": "all"}, timeout=120)
    assert run.returncode == 0 and run.stdout.strip() == "ok", run.stderr


# ---- Leaks and depth -----------------------------------------------------------------

def test_no_blocks_are_left_behind():
    o = RuleOmitter(["card"], paths=["$.vault", "$..list[0]"], numbers="digits", booleans="string",
                    policies={"card": {"keep_last": 2}, "$.vault": {"numbers": "zero"}})
    doc = {"vault": vault(2), "card": "12345", "x": {"list": [vault(1), 10 ** 30]}}
    texts = [text_of(doc)] * 200

    def run(n):
        for t in texts[:n]:
            o.omit(json.loads(t))
            redacted(o, json.loads(t))
    run(50)
    for attempt in range(5):
        gc.collect()
        before = sys.getallocatedblocks()
        run(200)
        gc.collect()
        delta = sys.getallocatedblocks() - before
        if delta < 50:
            break
    assert delta < 50, delta


DEEP = textwrap.dedent("""
    import sys
    from velmora.rules import RuleOmitter
    from velmora.redact import redacted
    o = RuleOmitter(paths=["$..a", "$.a.a[0]"], numbers="zero")
    deep = {{}}
    node = deep
    for i in range({depth}):
        node["a"] = [{{}}] if i % 2 else {{}}
        node = node["a"][0] if i % 2 else node["a"]
    cyclic = {{"a": {{}}}}
    cyclic["a"]["a"] = cyclic
    for target in (deep, cyclic):
        for walk in (o.omit, lambda t: redacted(o, t)):
            try:
                walk(target)
            except RecursionError:
                pass
            else:
                print("no RecursionError")
    print("done")
""")


@pytest.mark.parametrize("depth", [100_000])
def test_deep_and_cyclic_nesting_end_in_recursion_error(depth):
    run = subprocess.run([sys.executable, "-c", DEEP.format(depth=depth)], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.split() == ["done"], run.stdout


def test_trusting_paths_in_objects():
    o = RuleNoTrustOmitter(["id"], paths=["$.public"], defaults=True, numbers="zero")
    doc = {"id": "1", "name": "ann", "n": 5, "public": {"title": "t", "api_token": "tok", "l": ["x", 3]},
           "l": ["y", 4]}
    expected = {"id": "1", "name": "***", "n": 0, "public": {"title": "t", "api_token": "***", "l": ["x", 3]},
                "l": ["*", 0]}
    assert o.omit(copy.deepcopy(doc)) == redacted(o, doc) == expected
