"""velmora.scan under rule plans against the object walk of the same omitter.

Each JSON line the scanner writes, read back with json, must equal what
velmora.redact.redacted() makes of the line read with json: on every vector
path, in one scan_lines call (so that the key table, its guess of the key
met next and the numbered states serve every line), with keys that share
their first or last eight bytes, differ only past 8 or 16 bytes, are written
with escapes, repeat within one object, and come in other orders from line
to line; `..name` paths reaching into selected subtrees, wildcards and
indexes; trusting plans with and without the words never trusted, `whole`,
and per-rule policies.
"""

import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_scan_jsonpath import scanned

import velmora.scan as vscan
from velmora.redact import redacted
from velmora.rules import RuleNoTrustOmitter, RuleOmitter

SETTINGS = settings(max_examples=150, derandomize=True, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

# Keys of one length that differ in one byte at the start, the middle, past
# byte 8 and past byte 16, and short keys near the names the paths use.
LONG = ["a_rather_long_member_name", "a_rather_lonG_member_name", "a_rather_long_memBer_name",
        "abcdefghijklmnopq", "abcdefghijklmnoq", "abcdefghXjklmnop", "abcdefghijklmnop", "x12345678", "x12345679"]
SHORT = ["ssn", "ssm", "s", "sel", "pw", "tok", "email", "emaim", "q", "", "a", "b",
         "password", "api_token", "public", "id"]
KEYS = LONG + SHORT
NAMES = ["ssn", "sel", "email", "a", "b", "pw", "public", "a_rather_long_member_name", "abcdefghijklmnopq"]

class Members(list):
    """An object's members in order, repeats and all."""


leaves = st.one_of(st.sampled_from(["x", "secret", ""]), st.integers(-5, 50), st.sampled_from([1.5, -0.25]),
                   st.booleans(), st.none())
# An object as its list of members, so that a key may repeat.
documents = st.recursive(leaves, lambda inner: st.one_of(
    st.lists(inner, max_size=4),
    st.lists(st.tuples(st.sampled_from(KEYS), inner), max_size=5).map(Members)), max_leaves=25)


def write(value, escape):
    """JSON text of `value`; with `escape`, each key's first letter as a \\u escape."""
    if isinstance(value, Members):
        def key(k):
            return f'"\\u{ord(k[0]):04x}{json.dumps(k[1:])[1:]}' if escape and k else json.dumps(k)
        return "{" + ", ".join(f"{key(k)}: {write(v, escape)}" for k, v in value) + "}"
    if isinstance(value, list):
        return "[" + ",".join(write(v, escape) for v in value) + "]"
    return json.dumps(value)


@st.composite
def paths(draw):
    steps = []
    for _ in range(draw(st.integers(1, 3))):
        kind = draw(st.sampled_from(["member", "any", "index", "descend", "descend"]))
        name = draw(st.sampled_from(NAMES))
        steps.append({"member": f"['{name}']", "any": ".*", "index": f"[{draw(st.integers(0, 2))}]",
                      "descend": f"..['{name}']"}[kind])
    return "$" + "".join(steps)


@st.composite
def omitters(draw):
    kwargs = {"paths": draw(st.lists(paths(), min_size=1, max_size=4, unique=True))}
    keys = draw(st.lists(st.sampled_from(KEYS), max_size=3, unique=True))
    trusting = draw(st.sampled_from([False, False, True]))
    kwargs["whole"] = draw(st.sampled_from([False, False, False, True]))
    if not kwargs["whole"]:
        kwargs["numbers"] = draw(st.sampled_from(["keep", "zero", "digits", "string"]))
        kwargs["booleans"] = draw(st.sampled_from(["keep", "false", "string"]))
    if trusting:
        return RuleNoTrustOmitter(keys, defaults=draw(st.booleans()), **kwargs)
    masks = [{"mask": "[p]"}, {"mask": "[q]"}] + ([] if kwargs["whole"] else [{"keep_last": 1}, {"numbers": "zero"}])
    rules = sorted(set(keys) | set(kwargs["paths"]))
    kwargs["policies"] = {rule: draw(st.sampled_from(masks))
                          for rule in draw(st.lists(st.sampled_from(rules), max_size=3, unique=True))}
    return RuleOmitter(keys, **kwargs)


def check_against_the_walk(omitter, texts):
    expected = [redacted(omitter, json.loads(text)) for text in texts]
    for path, lines in scanned(omitter, texts).items():
        assert [json.loads(line) for line in lines] == expected, path


@SETTINGS
@given(st.lists(st.lists(st.tuples(st.sampled_from(KEYS), documents), max_size=6).map(Members),
                min_size=1, max_size=5), omitters(), st.booleans(), st.randoms(use_true_random=False))
def test_lines_in_changing_key_orders_match_the_walk(docs, omitter, escape, rnd):
    texts = [write(doc, escape) for doc in docs]
    shuffled = [write(Members(rnd.sample(doc, len(doc))), escape) for doc in docs]
    check_against_the_walk(omitter, texts + shuffled[::-1] + texts)


def members_at(tree, where):
    """The member list of the object at `where` (indexes of members and
    items) in a tree read with members kept as lists, or None when a mask
    replaced something on the way."""
    for i in where:
        if not isinstance(tree, list) or i >= len(tree):
            return None
        tree = tree[i]
        if isinstance(tree, tuple):
            tree = tree[1]
    return tree if isinstance(tree, list) else None


def read_members(text):
    return json.loads(text, object_pairs_hook=lambda members: [tuple(m) for m in members])


def objects_in(value, where=()):
    if isinstance(value, Members):
        yield value, list(where)
        for i, (_, v) in enumerate(value):
            yield from objects_in(v, (*where, i))
    elif isinstance(value, list):
        for i, v in enumerate(value):
            yield from objects_in(v, (*where, i))


@SETTINGS
@given(st.lists(st.tuples(st.sampled_from(KEYS), documents), min_size=1, max_size=6).map(Members), omitters(),
       st.data())
def test_an_earlier_duplicate_key_is_masked_as_the_later_one(doc, omitter, data):
    """json keeps the last of a repeated key, so the walk decides it alone;
    the earlier one stands in the same place and must come out as it would
    with the later one gone."""
    objects = list(objects_in(doc))
    members, where = data.draw(st.sampled_from(objects))
    if not members:
        members.append(data.draw(st.tuples(st.sampled_from(KEYS), documents)))
    members.append((data.draw(st.sampled_from([k for k, _ in members])), data.draw(documents)))
    full = write(doc, False)
    later = members.pop()
    alone = write(doc, False)
    members.append(later)
    for path, (out_full, out_alone, out_again) in scanned(omitter, [full, alone, full]).items():
        assert out_again == out_full, path
        tree = read_members(out_full)
        found = members_at(tree, where)
        if found is not None:
            del found[-1]
            assert tree == read_members(out_alone), path
    check_against_the_walk(omitter, [alone])


@pytest.mark.parametrize("paths", [
    ["$..['a_rather_long_member_name']", "$..ssn"],
    ["$..['abcdefghijklmnopq']", "$.sel"],
    ["$.sel", "$..['x12345678']", "$..pw..ssn"],
    ["$.*.ssn", "$..['abcdefghijklmnop']"],
])
@pytest.mark.parametrize("trusting", [False, True])
def test_keys_that_differ_past_eight_or_sixteen_bytes(paths, trusting):
    """Each key after the same key in turn, so that the guess of the key met
    next is wrong by one byte, at every place a key may differ."""
    value = {"ssn": "s1", "q": ["s2", {"ssn": 3}]}
    texts = [json.dumps({"k": "v", key: value, "after": value, "sel": {key: value, "pw": [value]}})
             for key in LONG + SHORT + LONG[::-1]]
    texts += [json.dumps({key: "v" for key in LONG + SHORT}), json.dumps({key: "v" for key in LONG[::-1]})] + texts
    omitter = (RuleNoTrustOmitter(["id"], defaults=True, paths=paths) if trusting
               else RuleOmitter(["pw"], paths=paths, policies={paths[0]: {"mask": "[p]"}}))
    check_against_the_walk(omitter, texts)


@pytest.mark.parametrize("path", vscan._paths())
def test_the_environment_chooses_each_path_alike(path, tmp_path):
    """The path chosen by VELMORA_SCAN_PATH at import gives the bytes the
    in-process switch gives."""
    import subprocess
    import sys

    texts = [json.dumps({key: {"ssn": "s", "a": [1, "x"]} for key in order}) for order in (LONG, LONG[::-1], SHORT)]
    omitter_code = "RuleOmitter(['pw'], paths=['$..ssn', '$..a'], numbers='zero')"
    source = tmp_path / "in.jsonl"
    source.write_text("\n".join(texts))
    code = ("import sys, velmora.scan as s\nfrom velmora.rules import RuleOmitter\n"
            f"sys.stdout.buffer.write(s.scan_lines({omitter_code}, open(sys.argv[1], 'rb').read())[0])")
    proc = subprocess.run([sys.executable, "-c", code, str(source)], capture_output=True,
                          env={**__import__("os").environ, "VELMORA_SCAN_PATH": path}, check=False)
    assert proc.returncode == 0, proc.stderr
    expected = scanned(eval(omitter_code), texts)[path]  # noqa: S307 - the literal above
    assert proc.stdout.decode().split("\n") == expected


# Trusting plans: a path trusts what it selects, but a key holding a word
# never trusted stays hidden there; the items of an array under such a key
# in a trusted subtree are kept, as every item there is.
DENIED = ["password", "api_token", "secret"]
trusted_documents = st.recursive(leaves, lambda inner: st.one_of(
    st.lists(inner, max_size=3),
    st.lists(st.tuples(st.sampled_from(DENIED + ["sel", "a", "ssn", "id", "abcdefghijklmnopq"]), inner),
             max_size=4).map(Members)), max_leaves=20)


@SETTINGS
@given(st.lists(trusted_documents, min_size=1, max_size=4),
       st.lists(st.sampled_from(["$.sel", "$..sel", "$.a.*", "$..ssn", "$..a..sel", "$.*[1]"]), min_size=1,
                max_size=3, unique=True),
       st.sampled_from([False, True]), st.sampled_from(["keep", "zero"]))
def test_trusted_subtrees_match_the_walk(docs, paths, whole, numbers):
    kwargs = {"whole": True} if whole else {"numbers": numbers}
    omitter = RuleNoTrustOmitter(["id"], defaults=True, paths=paths, **kwargs)
    texts = [write(Members([("sel", doc), ("a", Members([("k", doc), ("sel", [doc, doc])]))]), False)
             for doc in docs]
    check_against_the_walk(omitter, texts + texts[::-1])
