"""velmora.scan under rule plans: JSON paths, number and boolean policies and
policies per rule, against the plain-Python reference in path_model.py.

The reference writes the redacted document with the same writer that made
the input, so the scanner's output must equal it byte for byte: every byte
not masked passes as written.
"""

import json
from dataclasses import replace

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velmora.scan as vscan
from path_model import Config, Num, dump, loads, redact
from velmora.rules import DEFAULT_DENYLIST, RuleNoTrustOmitter, RuleOmitter
from velmora.scan import scan, scan_lines

KEYS = ["a", "b", "name", "id", "card", "pw", "x y", "é", 'q"k', "password", "Name"]
SETTINGS = settings(max_examples=300, derandomize=True, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

numbers = st.from_regex(r"\A-?(0|[1-9][0-9]{0,25})(\.[0-9]{1,4})?([eE][+-]?[0-9]{1,3})?\Z").map(Num)
leaves = st.one_of(st.text(alphabet="ab\"\\\n\x01é😀 *", max_size=8), numbers, st.booleans(), st.none(),
                   st.sampled_from([Num("NaN"), Num("Infinity"), Num("-Infinity")]))
documents = st.recursive(leaves, lambda inner: st.one_of(
    st.lists(inner, max_size=4), st.dictionaries(st.sampled_from(KEYS), inner, max_size=4)), max_leaves=20)


def name_step(name):
    quoted = json.dumps(name, ensure_ascii=False)
    single = "'" + json.dumps(name, ensure_ascii=False)[1:-1].replace("'", "\\'").replace('\\"', '"') + "'"
    bare = name.isidentifier() or name.replace("_", "").isalnum()
    return st.sampled_from(([f".{name}"] if bare else []) + [f"[{quoted}]", f"[{single}]"])


@st.composite
def paths(draw):
    steps = []
    for _ in range(draw(st.integers(0, 3))):
        kind = draw(st.sampled_from(["member", "member", "any", "index", "descend"]))
        name = draw(st.sampled_from(KEYS))
        if kind == "member":
            steps.append(draw(name_step(name)))
        elif kind == "any":
            steps.append(draw(st.sampled_from([".*", "[*]"])))
        elif kind == "index":
            steps.append(f"[{draw(st.integers(0, 3))}]")
        else:
            step = draw(name_step(name))
            steps.append("." + step if step.startswith(".") else ".." + step)
    return "$" + "".join(steps)


policy_values = st.one_of(
    st.fixed_dictionaries({"mask": st.sampled_from(["[p]", "", "é\n"])}),
    st.fixed_dictionaries({"keep_last": st.integers(1, 3)}),
    st.fixed_dictionaries({}, optional={"numbers": st.sampled_from(["keep", "zero", "digits", "string"]),
                                        "booleans": st.sampled_from(["keep", "false", "string"]),
                                        "mask": st.just("[m]")}).filter(bool))


@st.composite
def configs(draw, trusting=False):
    cfg = Config(trusting=trusting)
    cfg.keys = draw(st.lists(st.sampled_from(KEYS), max_size=3, unique=True))
    cfg.contains = draw(st.lists(st.sampled_from(["a", "ar", "i"]), max_size=2, unique=True))
    cfg.patterns = draw(st.lists(st.sampled_from(["^c", "y$"]), max_size=1))
    cfg.ignore_case = draw(st.booleans())
    cfg.paths = draw(st.lists(paths(), max_size=4, unique=True))
    cfg.whole = draw(st.booleans()) if draw(st.integers(0, 4)) == 0 else False
    if not cfg.whole:
        cfg.numbers = draw(st.sampled_from(["keep", "zero", "digits", "string"]))
        cfg.booleans = draw(st.sampled_from(["keep", "false", "string"]))
        choice = draw(st.integers(0, 2))
        cfg.mask = "[x]" if choice == 1 else None
        cfg.keep_last = 2 if choice == 2 else None
    if trusting:
        if draw(st.booleans()):
            cfg.deny = [w.casefold() for w in DEFAULT_DENYLIST]
        return cfg
    rules = sorted(set(cfg.keys) | set(cfg.contains) | set(cfg.patterns) | set(cfg.paths))
    for rule in draw(st.lists(st.sampled_from(rules), max_size=4, unique=True)) if rules else []:
        policy = draw(policy_values)
        if cfg.whole:
            policy = {"mask": policy.get("mask", "[w]")}
        cfg.policies[rule] = policy
    return cfg


def omitter_of(cfg):
    if cfg.trusting:
        kwargs = cfg.kwargs()
        del kwargs["policies"]
        return RuleNoTrustOmitter(cfg.keys, defaults=bool(cfg.deny), **kwargs)
    return RuleOmitter(cfg.keys, **cfg.kwargs())


def check(doc, cfg, indent):
    text = dump(doc, indent)
    expected = dump(redact(loads(text), cfg), indent)
    omitter = omitter_of(cfg)
    for path in vscan._paths():
        previous = vscan._set_path(path)
        try:
            assert scan(omitter, text.encode()).decode() == expected, (path, text, cfg)
        finally:
            vscan._set_path(previous)


@SETTINGS
@given(documents, configs(), st.sampled_from([None, 2]))
def test_hiding_scan_matches_the_reference(doc, cfg, indent):
    check(doc, cfg, indent)


@SETTINGS
@given(documents, configs(trusting=True), st.sampled_from([None, 1]))
def test_trusting_scan_matches_the_reference(doc, cfg, indent):
    check(doc, cfg, indent)


@SETTINGS
@given(st.lists(documents, min_size=1, max_size=4), configs())
def test_lines_match_documents(docs, cfg):
    omitter = omitter_of(cfg)
    lines = [dump(doc) for doc in docs]
    out, errors, count = scan_lines(omitter, "\n".join(lines).encode())
    assert not errors and count == len(lines)
    assert out.decode().split("\n") == [dump(redact(loads(line), cfg)) for line in lines]


@SETTINGS
@given(st.lists(documents, min_size=1, max_size=4), configs(), st.sampled_from([None, 2]))
def test_plan_and_no_plan_scans_take_turns_on_every_path(docs, cfg, indent):
    # Each path has a grammar for omitters with a plan and one for the
    # others: turns between the two, in both calls, on every path, must
    # each get its own omitter's output.
    plain = replace(cfg, paths=[], policies={}, numbers="keep", booleans="keep")
    pairs = [(omitter_of(c), c) for c in (cfg, plain)]
    lines = [dump(doc) for doc in docs]
    data = "\n".join(lines).encode()
    previous = vscan._set_path(vscan._paths()[0])
    try:
        for path in vscan._paths():
            vscan._set_path(path)
            for omitter, c in pairs + pairs[::-1]:
                text = dump(docs[0], indent)
                assert scan(omitter, text.encode()).decode() == dump(redact(loads(text), c), indent), path
                out, errors, count = scan_lines(omitter, data)
                assert (errors, count) == ([], len(lines)), path
                assert out.decode().split("\n") == [dump(redact(loads(line), c)) for line in lines], path
    finally:
        vscan._set_path(previous)


# ---- Examples a reader checks by eye ------------------------------------------------

def test_a_name_is_personal_under_user_only():
    o = RuleOmitter(paths=["$.user.name", "$.payment.card.id"])
    doc = b'{"user": {"name": "Ann", "id": 7}, "product": {"name": "tea", "id": 3}, ' \
          b'"payment": {"card": {"id": "4111"}}, "id": "top"}'
    assert scan(o, doc) == b'{"user": {"name": "***", "id": 7}, "product": {"name": "tea", "id": 3}, ' \
                           b'"payment": {"card": {"id": "****"}}, "id": "top"}'


@pytest.mark.parametrize("numbers, booleans, expected", [
    ("keep", "keep", b'[12, -3, 1.5e+10, 12345678901234567890123, -0.25, NaN, -Infinity, true, false, null]'),
    ("zero", "false", b'[0, 0, 0.0, 0, 0.0, 0.0, 0.0, false, false, null]'),
    ("digits", "keep", b'[88, -8, 8.8e+88, 88888888888888888888888, -8.88, 0.0, 0.0, true, false, null]'),
    ("string", "string", b'["[Filtered]", "[Filtered]", "[Filtered]", "[Filtered]", "[Filtered]", "[Filtered]", '
                         b'"[Filtered]", "[Filtered]", "[Filtered]", null]'),
])
def test_number_and_boolean_policies(numbers, booleans, expected):
    o = RuleOmitter(["v"], numbers=numbers, booleans=booleans)
    doc = b'{"v": [12, -3, 1.5e+10, 12345678901234567890123, -0.25, NaN, -Infinity, true, false, null]}'
    assert scan(o, doc) == b'{"v": ' + expected + b'}'


def test_a_selected_subtree_leaks_nothing():
    """Every str, number and boolean under a selected container is masked, at every depth."""
    secret = {"s": "SECRETs", "n": 987654321, "f": -12.75e-3, "t": True, "l": ["SECRETl", 42, [False, {"d": "SECRETd"}]],
              "o": {"k": {"j": 31337, "z": "SECRETz"}}}
    doc = json.dumps({"keep": "visible", "vault": secret}).encode()
    for cfg in [{"paths": ["$.vault"]}, {"paths": ["$..vault"]}, {"paths": ["$.*"]},
                {"paths": ["$['vault']"], "policies": {"$['vault']": {"keep_last": 1}}}]:
        for numbers, booleans in [("zero", "false"), ("string", "string"), ("digits", "false")]:
            out = scan(RuleOmitter(numbers=numbers, booleans=booleans, **cfg), doc)
            for leak in (b"SECRET", b"987654321", b"12.75", b"31337", b"42", b"true"):
                assert leak not in out, (cfg, numbers, out)
            assert json.loads(out)["vault"].keys() == secret.keys()  # the shape stays
    out = scan(RuleOmitter(paths=["$.vault"], whole=True, mask="[gone]"), doc)
    assert out == b'{"keep": "visible", "vault": "[gone]"}'


@pytest.mark.parametrize("policies, expected", [
    # path > exact key > pattern > word > the omitter's own
    ({"$.card": {"mask": "[path]"}, "card": {"mask": "[key]"}, "^ca": {"mask": "[re]"}, "ar": {"mask": "[w]"}},
     "[path]"),
    ({"card": {"mask": "[key]"}, "^ca": {"mask": "[re]"}, "ar": {"mask": "[w]"}}, "[key]"),
    ({"^ca": {"mask": "[re]"}, "ar": {"mask": "[w]"}}, "[re]"),
    ({"ar": {"mask": "[w]"}}, "[w]"),
    ({}, "[own]"),
    # a rule without a policy gives way to a less specific rule that has one
    ({"ar": {"keep_last": 2}}, "**23"),
])
def test_specificity(policies, expected):
    o = RuleOmitter(["card"], contains=["ar"], patterns=["^ca"], paths=["$.card"], mask="[own]",
                    policies=policies)
    if expected == "**23":
        o = RuleOmitter(["card"], contains=["ar"], paths=["$.card"], policies=policies)
    assert json.loads(scan(o, b'{"card": "0123"}'))["card"] == expected


def test_escaped_keys_meet_paths():
    o = RuleOmitter(paths=["$['\\u00e9'].x", "$['a\"b']", "$['\\ud800']"])
    doc = '{"\\u00e9": {"x": "1"}, "é": {"x": "22"}, "a\\"b": "333", "\\ud800": "4444"}'.encode()
    assert scan(o, doc) == '{"\\u00e9": {"x": "*"}, "é": {"x": "**"}, "a\\"b": "***", "\\ud800": "****"}'.encode()


def test_trusting_paths_never_trust_a_denied_key():
    o = RuleNoTrustOmitter(["id"], paths=["$.public"], defaults=True)
    doc = b'{"id": "1", "name": "ann", "public": {"title": "t", "api_token": "tok", "l": ["x"]}, "l": ["y"]}'
    assert scan(o, doc) == \
        b'{"id": "1", "name": "***", "public": {"title": "t", "api_token": "***", "l": ["x"]}, "l": ["*"]}'


def test_plan_without_paths_keeps_the_output_of_today():
    doc = b'{"pw": "abc", "n": 1, "l": ["x", 2]}'
    assert scan(RuleOmitter(["pw", "l"], numbers="keep"), doc) == scan(RuleOmitter(["pw", "l"]), doc)
    assert scan(RuleOmitter(["pw", "l"], numbers="zero"), doc) == b'{"pw": "***", "n": 1, "l": ["*", 0]}'


def test_the_readme_table_of_paths_and_types_is_what_the_scanner_does():
    import pathlib
    import re

    readme = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index("<!-- rules-plan-modes"):].split("\n\n")
    legend = dict(re.findall(r"^- \*\*(.+?)\*\*: `(.+)`$", section[0], re.M))
    table = [[cell.strip().strip("`") for cell in line.strip("|").split("|")] for line in section[1].splitlines()]
    names, rows = table[0][2:], table[2:]
    assert names == list(legend) and len(rows) == 7
    sample = {}
    for where, value, *_ in rows:
        outer, inner = where.split(".")
        sample.setdefault(outer, {})[inner] = value
    text = "{" + ", ".join(f'"{o}": {{' + ", ".join(f'"{k}": {v}' for k, v in members.items()) + "}"
                           for o, members in sample.items()) + "}"
    namespace = {"RuleOmitter": RuleOmitter, "RuleNoTrustOmitter": RuleNoTrustOmitter}
    for column, name in enumerate(names, start=2):
        out = scan(eval(legend[name], namespace), text.encode()).decode()
        expected = text
        for where, value, *cells in rows:
            outer, inner = where.split(".")
            expected = expected.replace(f'"{inner}": {value}', f'"{inner}": \x00{outer}{inner}\x00', 1)
        for where, value, *cells in rows:
            outer, inner = where.split(".")
            expected = expected.replace(f"\x00{outer}{inner}\x00", cells[column - 2], 1)
        if name == "whole":  # the card object is one value
            expected = re.sub(r'"card": \{[^}]*\}', '"card": "[Filtered]"', expected)
        assert out == expected, name


# ---- States met again: a key's remembered step, and past the numbered ones ----------

def check_texts(texts, cfg, omitter, rewrite=lambda text: text):
    """scan_lines of `texts` by `omitter` (one scan: its key table and states
    serve every line) against the reference for `cfg`, on every vector path;
    `rewrite` gives the bytes the scanner keeps where the reference writes
    its own (escapes in keys)."""
    expected = [rewrite(dump(redact(loads(text), cfg))) for text in texts]
    for path, lines in scanned(omitter, texts).items():
        assert lines == expected, (path, cfg)


def scanned(omitter, texts):
    """The output lines of one scan_lines call over `texts`, per vector path."""
    outs = {}
    for path in vscan._paths():
        previous = vscan._set_path(path)
        try:
            out, errors, count = scan_lines(omitter, "\n".join(texts).encode())
        finally:
            vscan._set_path(previous)
        assert not errors and count == len(texts), path
        outs[path] = out.decode().split("\n")
    return outs


def check_lines(docs, cfg):
    check_texts([dump(doc) for doc in docs], cfg, omitter_of(cfg))


@pytest.mark.parametrize("paths", [
    ["$.user.name", "$..z.user.name"],
    ["$..name", "$.user.*", "$[1].name"],
    ["$..user..name", "$.z[*].user"],
])
def test_a_key_met_under_other_states_takes_their_step(paths):
    """The same key under a root, under a still container (only `..name`
    positions live), inside a selected subtree and under an index, in every
    order over one scan: each occurrence steps from its own container's state."""
    shapes = [{"user": {"name": "u1", "id": "i1"}},
              {"name": "n1", "z": {"user": {"name": "u2"}, "k": [{"name": "n2"}, {"user": {"name": "u3"}}]}},
              [{"name": "n3"}, {"name": "n4", "user": {"name": "u4"}}],
              {"z": [{"user": {"name": "u5", "x": {"name": "n5"}}}], "q": {"q": {"name": "n6"}}}]
    docs = [shapes[i % len(shapes)] for i in (0, 1, 2, 3, 1, 0, 3, 2, 2, 0, 1, 3)]
    check_lines(docs, Config(paths=paths))
    check(docs, Config(paths=paths, keys=["id"], policies={paths[0]: {"keep_last": 1}}), None)


def binary_tree(depth, label=""):
    if depth == 0:
        return {"a": "A" + label, "b": "B" + label}
    return {"a": binary_tree(depth - 1, label + "a"), "b": binary_tree(depth - 1, label + "b")}


def test_more_states_than_are_numbered():
    """`$..a.*.*...` over a full tree of a/b keys: every combination of the
    last 12 levels is a state of its own: more than a scan numbers
    (4096); the rest are stepped each time, to the same answer."""
    check(binary_tree(13), Config(paths=["$..a" + ".*" * 12, "$..b.b.b.a"], keys=["b"], numbers="zero"), None)


# ---- Items met again: an array's steps remembered by its state ------------------------

item_leaves = st.one_of(st.sampled_from(["s", "t"]), st.integers(0, 9).map(lambda n: Num(str(n))), st.booleans())


@st.composite
def item_arrays(draw, depth=2):
    """An array of up to 9 items (past the indexes the paths name, and past
    the few an array's state remembers), some of them arrays or objects."""
    inner = item_leaves if depth == 0 else st.one_of(item_leaves, item_arrays(depth - 1),
                                                      st.dictionaries(st.sampled_from(["a", "name"]),
                                                                      item_arrays(depth - 1), max_size=2))
    return draw(st.lists(inner, max_size=9))


item_paths = st.lists(st.builds(lambda head, index, tail: head + f"[{index}]" + tail,
                                st.sampled_from(["$", "$.a", "$..name", "$[*]", "$.a[1]"]),
                                st.integers(0, 7), st.sampled_from(["", "[0]", "[5]", ".a", "[*]"])),
                      min_size=1, max_size=3, unique=True)


@SETTINGS
@given(st.lists(st.one_of(item_arrays(), st.dictionaries(st.sampled_from(["a", "name"]), item_arrays(),
                                                         max_size=2)), min_size=1, max_size=6),
       item_paths, st.sampled_from(["keep", "zero"]))
def test_items_past_the_named_indexes_take_one_step(docs, paths, numbers):
    """Arrays in the same state over one scan, longer and shorter than the
    indexes their paths name (some past the few steps a state remembers):
    each item takes the step of its own index, every line alike."""
    check_lines(docs + docs, Config(paths=paths, numbers=numbers))


@pytest.mark.parametrize("paths", [["$[3]", "$[0][2]"], ["$[4]", "$[1][3]"], ["$[5]", "$[*][6]"], ["$..name[3]"]])
def test_an_item_at_the_last_named_index_and_past_it(paths):
    """The item at the largest index a state names, the one after it and
    the ones far past it, in arrays met again and again."""
    row = [[f"v{i}{j}" for j in range(8)] for i in range(8)]
    docs = [row, row[:4], {"name": row}, row[:1], [], row]
    check_lines(docs, Config(paths=paths))
