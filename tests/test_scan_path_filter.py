"""velmora.scan's short ways for members under a rule plan, against the
plain-Python reference in path_model.py.

Under a plan, a member whose key took a step from its container's state
before is decided from that remembered step, and in a still container (only
`..name` positions live, nothing selected) a key that names no live position
leaves the state as it is; both skip the automaton. These tests make the
remembered steps go stale: many distinct keys, names equal to path names and
near them (a letter more, a letter less, another case, written with an
escape), the same key under `*`, `..name`, index and member positions and in
selected subtrees, over one scan_lines call (whose key table and states serve
every line), on every vector path. Every output must equal the reference
byte for byte.
"""

import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velmora.scan as vscan
from path_model import Config, Num, dump, loads, redact
from test_scan_jsonpath import check_texts
from velmora.rules import RuleNoTrustOmitter, RuleOmitter
from velmora.scan import scan

# Names the paths use, and keys near them: equal, a prefix, an extension,
# another case, the same length with another last byte, and a long one
# (keys over 16 bytes are compared in full by the key table).
NAMES = ["ssn", "email", "user", "name", "tags", "q", "a_rather_long_member_name"]
NEAR = ["ss", "ssnx", "SSN", "ssm", "emai", "emails", "users", "nam", "namE", "tag", "qq", "",
        "a_rather_long_member_namf", "a_rather_long_member_name_"]
KEYS = NAMES + NEAR + ["id", "x", "k1", "k2", "k3", "k4", "é", "pw"]

SETTINGS = settings(max_examples=200, derandomize=True, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

leaves = st.one_of(st.text(alphabet="abé \\", max_size=5), st.integers(-5, 5).map(lambda n: Num(str(n))),
                   st.booleans(), st.none())
documents = st.recursive(leaves, lambda inner: st.one_of(
    st.lists(inner, max_size=4), st.dictionaries(st.sampled_from(KEYS), inner, max_size=5)), max_leaves=24)


def step_of(kind, name, index):
    if kind == "member":
        return f"['{name}']" if not name.isidentifier() else f".{name}"
    if kind == "any":
        return ".*"
    if kind == "index":
        return f"[{index}]"
    return f"..['{name}']" if not name.isidentifier() else f"..{name}"


@st.composite
def paths(draw):
    steps = []
    for _ in range(draw(st.integers(1, 3))):
        kind = draw(st.sampled_from(["member", "any", "index", "descend", "descend"]))
        steps.append(step_of(kind, draw(st.sampled_from(NAMES)), draw(st.integers(0, 2))))
    return "$" + "".join(steps)


@st.composite
def configs(draw):
    cfg = Config()
    cfg.keys = draw(st.lists(st.sampled_from(KEYS), max_size=3, unique=True))
    cfg.paths = draw(st.lists(paths(), min_size=1, max_size=5, unique=True))
    cfg.numbers = draw(st.sampled_from(["keep", "keep", "zero"]))
    rules = sorted(set(cfg.keys) | set(cfg.paths))
    for rule in draw(st.lists(st.sampled_from(rules), max_size=2, unique=True)):
        cfg.policies[rule] = draw(st.sampled_from([{"mask": "[p]"}, {"keep_last": 1}]))
    return cfg


def escaped(text):
    """The text with the first letter of every key that starts with s or e
    written as an escape: the same keys to the reference, other bytes to the
    scanner, which writes them as they came. (No value holds ':', so only a
    key is followed by '": '.)"""
    return re.sub(r'"([se])([^"]*)": ', lambda m: '"\\u%04x%s": ' % (ord(m.group(1)), m.group(2)), text)


@SETTINGS
@given(st.lists(documents, min_size=1, max_size=6), configs(), st.booleans())
def test_one_scan_of_many_lines_matches_the_reference(docs, cfg, escape):
    rewrite = escaped if escape else (lambda text: text)
    texts = [rewrite(dump(doc)) for doc in docs]
    check_texts(texts, cfg, RuleOmitter(cfg.keys, **cfg.kwargs()), rewrite)


@SETTINGS
@given(documents, configs())
def test_a_document_matches_the_reference(doc, cfg):
    text = dump(doc, 2)
    expected = dump(redact(loads(text), cfg), 2)
    omitter = RuleOmitter(cfg.keys, **cfg.kwargs())
    for path in vscan._paths():
        previous = vscan._set_path(path)
        try:
            assert scan(omitter, text.encode()).decode() == expected, (path, cfg)
        finally:
            vscan._set_path(previous)


# One key met in turn under states that step it differently: its remembered
# step is from one of them, and every other meeting must step anew.
SHAPES = [
    {"ssn": "s0", "user": {"ssn": "s1", "name": "n1", "tags": ["t0", "t1"]}},
    {"k1": {"ssn": "s2", "name": "n2", "k2": [{"ssn": "s3", "name": "n3"}, {"email": "e1"}]}},
    {"user": [{"name": "n4"}, {"user": {"name": "n5", "ssnx": "x1"}}], "name": "n6"},
    [{"name": "n7", "k3": {"name": "n8", "SSN": "x2"}}, ["ssn", {"ssn": "s4"}]],
    {"email": {"email": "e2", "k4": {"email": "e3"}}, "emails": "x3", "q": {"q": "q1"}},
]


@pytest.mark.parametrize("paths", [
    ["$..ssn", "$.user.name"],
    ["$..name", "$.user.*", "$[1].name"],
    ["$..user..name", "$.k1.*.name"],
    ["$..email", "$..ssn", "$.q.q", "$.user.tags[1]"],
    ["$.*.ssn", "$..k2[0].name"],
    ["$..['a_rather_long_member_name']", "$..email.email"],
])
@pytest.mark.parametrize("order", [(0, 1, 2, 3, 4), (4, 3, 2, 1, 0), (2, 0, 4, 1, 3, 2, 0, 3)])
def test_a_key_under_many_states_in_one_scan(paths, order):
    texts = [dump(SHAPES[i]) for i in order]
    cfg = Config(paths=paths, keys=["id"], policies={paths[0]: {"mask": "[p]"}})
    check_texts(texts, cfg, RuleOmitter(cfg.keys, **cfg.kwargs()))


@pytest.mark.parametrize("paths", [["$..ssn", "$.user.*"], ["$..name"], ["$.k1..name", "$..email"]])
def test_trusting_paths_in_one_scan(paths):
    """A trusting plan: a selected value is kept, the rest is hidden, and
    a remembered step carries that answer too."""
    texts = [dump(SHAPES[i]) for i in (0, 1, 2, 3, 4, 1, 0)]
    cfg = Config(paths=paths, trusting=True, keys=["k1"])
    kwargs = cfg.kwargs()
    del kwargs["policies"]
    check_texts(texts, cfg, RuleNoTrustOmitter(cfg.keys, defaults=False, **kwargs))


def test_many_distinct_keys_near_the_path_names():
    """More distinct keys than the key table starts with, each near a path
    name, in still containers and not: the table grows with remembered
    steps in it."""
    keys = [f"{name}{suffix}" for name in NAMES for suffix in ("", "_", "0", "1", "x", "é")]
    doc = {"user": {k: k for k in keys}, "k1": [{k: {"name": k} for k in keys[::3]}],
           "deep": {"er": {k: [k, {"ssn": k}] for k in keys[1::2]}}}
    texts = [dump(doc), dump({k: {"email": k, "q": k} for k in keys}), dump(doc)]
    cfg = Config(paths=["$..ssn", "$..email", "$.user.*", "$.*[0].*.name", "$.q"], keys=["x"])
    check_texts(texts, cfg, RuleOmitter(cfg.keys, **cfg.kwargs()))


# Deep in a still container (only `..name` positions live, nothing
# selected), an object or an array that stands in the container's state
# goes without a frame of its own, and an item is decided without the
# automaton. These documents nest arrays in arrays and objects in arrays
# under keys that hide (with policies of their own, so that a hidden array
# inside another hands its items another policy), meet `..name` members far
# below, and go on with siblings after every container that closes.
STILL_KEYS = ["ssn", "email", "pw", "tok", "list", "k1", "k2", "x"]
still_leaves = st.one_of(st.text(alphabet="ab", max_size=3), st.integers(-3, 3).map(lambda n: Num(str(n))),
                         st.booleans(), st.none())
still_documents = st.recursive(still_leaves, lambda inner: st.one_of(
    st.lists(inner, max_size=4), st.dictionaries(st.sampled_from(STILL_KEYS), inner, max_size=4)), max_leaves=30)
STILL_PATHS = ["$..ssn", "$..email", "$..k1..ssn", "$.k2.*", "$..list[1]", "$.k1", "$..x.pw"]


def plan_omitter(cfg):
    """The omitter of `cfg`: a RuleNoTrustOmitter (no policies, no default words) or a RuleOmitter."""
    if cfg.trusting:
        kwargs = cfg.kwargs()
        del kwargs["policies"]
        return RuleNoTrustOmitter(cfg.keys, defaults=False, **kwargs)
    return RuleOmitter(cfg.keys, **cfg.kwargs())


@st.composite
def still_configs(draw):
    cfg = Config()
    cfg.trusting = draw(st.sampled_from([False, False, False, True]))
    cfg.keys = draw(st.lists(st.sampled_from(["pw", "tok", "list", "x", "k2"]), min_size=1, max_size=3, unique=True))
    cfg.paths = draw(st.lists(st.sampled_from(STILL_PATHS), min_size=1, max_size=3, unique=True))
    cfg.whole = draw(st.sampled_from([False, False, True]))
    if not cfg.whole:  # a whole value is replaced by the one mask, whatever its type
        cfg.numbers = draw(st.sampled_from(["keep", "zero"]))
        cfg.booleans = draw(st.sampled_from(["keep", "keep", "false"]))
    if not cfg.trusting:
        for rule in draw(st.lists(st.sampled_from(sorted(set(cfg.keys) | set(cfg.paths))), max_size=3, unique=True)):
            masks = [{"mask": "[p]"}, {"mask": "[q]"}] + ([] if cfg.whole else [{"keep_last": 1}])
            cfg.policies[rule] = draw(st.sampled_from(masks))
    return cfg


@SETTINGS
@given(st.lists(still_documents, min_size=1, max_size=5), still_configs())
def test_containers_deep_in_still_ones_match_the_reference(docs, cfg):
    check_texts([dump(doc) for doc in docs], cfg, plan_omitter(cfg))


@pytest.mark.parametrize("doc", [
    # a hidden array of hidden arrays under keys of two policies, then siblings
    {"k1": [{"pw": [["a", ["b"]], "c"], "tok": ["d", ["e"]], "ssn": "f"}, {"x": [Num("1"), "g"]}], "ssn": "h"},
    # `..ssn` below frameless objects and arrays, at several depths
    [[{"a": [{"ssn": "s1"}, [{"k2": {"ssn": "s2"}}]]}], {"ssn": ["s3", {"ssn": "s4"}]}, "t"],
    # closing many frameless levels at once, then a member the paths follow
    {"x": [[[{"list": [[[]]]}]]], "k2": {"tok": "v", "y": ["w"]}, "email": "e"},
])
@pytest.mark.parametrize("whole", [False, True])
def test_frameless_containers_close_back_to_their_frames(doc, whole):
    cfg = Config(paths=["$..ssn", "$.k2.*", "$..email"], keys=["pw", "tok"], whole=whole,
                 policies={"pw": {"mask": "[p]"}, "tok": {"mask": "[t]"}, "$..ssn": {"mask": "[s]"}})
    check_texts([dump(doc), dump(doc)], cfg, RuleOmitter(cfg.keys, **cfg.kwargs()))


# Inside a selected subtree where only `..name` positions are live, the frame
# is still too: an item, or a member whose key names no live position, stands
# in the subtree's state. Every string, number and boolean there is hidden
# (kept, under a trusting plan), by the selecting path's policy if it has
# one, else by the policy its array or key hands it; an array nested in
# another that hands its items another policy than its frame's needs a frame
# of its own. The selecting paths here end at containers (with and without
# a policy), and `..ssn` / `..email` stay live below them.
SUBTREE_KEYS = ["sel", "pw", "tok", "ssn", "email", "a", "b"]
subtree_leaves = st.one_of(st.text(alphabet="xy", max_size=3), st.integers(-3, 3).map(lambda n: Num(str(n))),
                           st.booleans(), st.none())
subtree_documents = st.recursive(subtree_leaves, lambda inner: st.one_of(
    st.lists(inner, max_size=4), st.dictionaries(st.sampled_from(SUBTREE_KEYS), inner, max_size=4)), max_leaves=30)
SUBTREE_PATHS = ["$.sel", "$..sel", "$.a.sel", "$..ssn", "$..email", "$.b[0]", "$..pw..ssn"]


@st.composite
def subtree_configs(draw):
    cfg = Config()
    cfg.trusting = draw(st.sampled_from([False, False, False, True]))
    cfg.keys = draw(st.lists(st.sampled_from(["pw", "tok", "b"]), min_size=1, max_size=3, unique=True))
    cfg.paths = draw(st.lists(st.sampled_from(SUBTREE_PATHS), min_size=1, max_size=4, unique=True))
    if not any(".sel" in path for path in cfg.paths):
        cfg.paths.append(draw(st.sampled_from(SUBTREE_PATHS[:3])))
    cfg.whole = draw(st.sampled_from([False, False, False, True]))
    if not cfg.whole:
        cfg.numbers = draw(st.sampled_from(["keep", "zero"]))
        cfg.booleans = draw(st.sampled_from(["keep", "false"]))
    if not cfg.trusting:
        for rule in draw(st.lists(st.sampled_from(sorted(set(cfg.keys) | set(cfg.paths))), max_size=4, unique=True)):
            masks = [{"mask": "[p]"}, {"mask": "[q]"}] + ([] if cfg.whole else [{"keep_last": 1}])
            cfg.policies[rule] = draw(st.sampled_from(masks))
    return cfg


@SETTINGS
@given(st.lists(subtree_documents.map(lambda doc: {"sel": doc, "a": {"sel": doc}, "b": [doc, doc]}),
                min_size=1, max_size=4), subtree_configs())
def test_still_containers_inside_selected_subtrees_match_the_reference(docs, cfg):
    check_texts([dump(doc) for doc in docs], cfg, plan_omitter(cfg))


@pytest.mark.parametrize("policies", [
    {},
    {"$.sel": {"mask": "[s]"}},
    {"pw": {"mask": "[p]"}, "tok": {"mask": "[t]"}},
    {"$.sel": {"mask": "[s]"}, "pw": {"mask": "[p]"}, "$..ssn": {"keep_last": 1}},
])
@pytest.mark.parametrize("numbers", ["keep", "zero"])
def test_arrays_in_arrays_inside_a_selected_subtree(policies, numbers):
    """Arrays under keys with policies of their own, nested in arrays, in
    objects and in arrays again, inside a selected subtree: each item takes
    the policy its own array hands it, and the siblings after each array
    take their container's again."""
    inner = [["x", Num("1"), [True, "y"]], {"pw": ["p", ["q", Num("2")]], "tok": [["t"]], "c": "z"}, "w"]
    doc = {"sel": {"pw": inner, "tok": [inner, "v"], "ssn": ["s", {"email": "e"}], "k": inner}, "after": "kept"}
    cfg = Config(paths=["$.sel", "$..ssn", "$..email"], keys=["pw", "tok"], numbers=numbers, policies=policies)
    check_texts([dump(doc), dump({"sel": inner}), dump(doc)], cfg, RuleOmitter(cfg.keys, **cfg.kwargs()))


@pytest.mark.parametrize("doc", [
    {"public": {"api_token": ["x", ["y", Num("1")], {"t": "z"}], "l": ["w", True], "ssn": ["s"]}, "l": ["v"]},
    {"public": [{"password": [["p"], "q"]}, ["r", {"secret": ["s", Num("2")]}]], "other": {"password": ["o"]}},
    {"deep": {"public": {"k": [{"api_token": [[["a"]]]}, "b"]}}, "public": {"ssn": {"password": ["c"]}}},
])
@pytest.mark.parametrize("paths", [["$.public", "$..ssn"], ["$..public", "$..email"]])
def test_trusted_subtrees_keep_the_items_of_denied_arrays(doc, paths):
    """Under a trusting plan, a selected subtree is kept but for keys never
    trusted; an array under such a key is hidden, yet its items, like every
    item in a selected subtree, are kept."""
    from velmora.rules import DEFAULT_DENYLIST
    cfg = Config(paths=paths, trusting=True, keys=["id"], deny=list(DEFAULT_DENYLIST))
    kwargs = cfg.kwargs()
    del kwargs["policies"]
    check_texts([dump(doc), dump(doc)], cfg, RuleNoTrustOmitter(cfg.keys, defaults=True, **kwargs))


# Under a plan, the key met after the last one looked up is tried first, by
# its bytes, without hashing: keys of one length that share their first and
# last eight bytes (over 16 bytes, compared in full), and short keys that
# differ in one byte, each after the same key in turn, and in orders that
# change from line to line, with more distinct keys than the key table
# starts with so that it grows mid-scan.
LONG = ["a_rather_long_member_name", "a_rather_lonG_member_name", "a_rather_long_memBer_name"]
SHORT = ["ssn", "ssm", "tsn", "name", "nbme", "email", "emaim", "q", "r", ""]
ORDER_PATHS = [["$..['a_rather_long_member_name']", "$..ssn", "$..name"], ["$.name", "$..email", "$.*.ssn", "$.q"],
               ["$..['a_rather_lonG_member_name'][0]", "$.q", "$..['a_rather_long_memBer_name'].ssn"]]


@pytest.mark.parametrize("paths", ORDER_PATHS)
@pytest.mark.parametrize("value", ["v", ["w", "x"], {"ssn": "x", "q": "y"}])
def test_a_key_after_the_same_key_as_another_last_time(paths, value):
    texts = [dump({"k1": "v", key: value, "k2": value}) for key in LONG + SHORT + LONG[::-1] + SHORT[::-1]]
    texts += [dump({f"g{i}": value for i in range(n, n + 30)}) for n in (0, 15)] + texts
    cfg = Config(paths=paths, keys=["k3", "r"], policies={paths[0]: {"mask": "[p]"}})
    check_texts(texts, cfg, RuleOmitter(cfg.keys, **cfg.kwargs()))


@SETTINGS
@given(st.lists(st.lists(st.tuples(st.sampled_from(LONG + SHORT + ["k1", "k2"]),
                                   st.sampled_from(["v", Num("1"), ["w"], {"ssn": "x"}])),
                         max_size=8), min_size=2, max_size=8), st.sampled_from(ORDER_PATHS))
def test_keys_in_changing_orders_match_the_reference(lines, paths):
    texts = [dump(dict(line)) for line in lines]
    cfg = Config(paths=paths, keys=["k2", "r", "a_rather_long_memBer_name"], policies={paths[0]: {"mask": "[p]"}})
    check_texts(texts + texts[::-1], cfg, RuleOmitter(cfg.keys, **cfg.kwargs()))


# A masked string is written with the pending run before it in one step,
# its stars a word at a time while they fit in four words and the buffer
# has room past them: star runs of every length near that bound, of
# multi-byte letters too (stars count code points), after runs of every
# length, hidden by a key, by a path and by an item of a selected array,
# and into the command's buffers of every size near the output's.
STAR_CONFIGS = [Config(keys=["pw"], paths=["$..ssn", "$.sel"]),
                Config(keys=["pw"], paths=["$..ssn", "$.sel"], policies={"$..ssn": {"keep_last": 1}})]


@pytest.mark.parametrize("cfg", STAR_CONFIGS, ids=["stars", "keep-last"])
@pytest.mark.parametrize("letter", ["a", "é", "\\n"])
def test_masked_strings_of_every_length_after_runs_of_every_length(cfg, letter):
    texts = []
    for count in range(0, 41):
        run = "k" * (count * 7 % 37)
        body = letter * count
        texts.append('{"%s": "x", "pw": "%s", "ssn": "%s", "sel": ["%s", "%s"]}' % (run, body, body, body, run))
    omitter = RuleOmitter(cfg.keys, **cfg.kwargs())
    check_texts(texts, cfg, omitter)
    data = "\n".join(texts).encode()
    for path in vscan._paths():
        previous = vscan._set_path(path)
        try:
            want, _, lines = vscan.scan_lines(omitter, data)
            for size in range(len(want) - 80, len(want) + 40):
                target = bytearray(b"\xee" * size)
                written, _, count = vscan._scan_lines_into(omitter, memoryview(data), target)
                assert (bytes(target[:written]), count) == (want, lines), (path, size)
        finally:
            vscan._set_path(previous)
