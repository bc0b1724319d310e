"""The scanner under a plan steps an array's items from a table kept per
numbered state: items 0..3 and "every item past the largest live index".
Generated documents and path sets, on every vector path, against a small
matcher of the path subset written here and against the object walk of the
same omitter."""

import json
import random

import pytest
from conftest import SANITIZED, assert_runs_clean
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velmora.scan as vscan
from velmora.redact import redacted
from velmora.rules import RuleNoTrustOmitter, RuleOmitter
from velmora.scan import scan, scan_lines

PATHS = vscan._paths()
NAMES = ["a", "b", "c"]


@pytest.fixture(params=PATHS)
def vector_path(request, monkeypatch):
    monkeypatch.setenv("VELMORA_SCAN_PATH", request.param)
    previous = vscan._set_path(request.param)
    yield request.param
    vscan._set_path(previous)


# ---- A matcher of the path subset, over concrete locations ----------------------
#
# A step: ("name", n) for .n / ['n'], ("any",) for .* / [*], ("index", i), ("desc", n).
# A location: the member names (str) and item indexes (int) from the root.

def step_text(step, quoted):
    kind = step[0]
    if kind == "name":
        return f"['{step[1]}']" if quoted else f".{step[1]}"
    if kind == "any":
        return "[*]" if quoted else ".*"
    if kind == "index":
        return f"[{step[1]}]"
    return f"..{step[1]}"


def path_text(steps, rng):
    return "$" + "".join(step_text(s, rng.random() < 0.5) for s in steps)


def matches(steps, loc):
    if not steps:
        return not loc
    kind = steps[0][0]
    if kind == "desc":
        return any(type(loc[j]) is str and loc[j] == steps[0][1] and matches(steps[1:], loc[j + 1:])
                   for j in range(len(loc)))
    if not loc:
        return False
    head = loc[0]
    if kind == "any":
        ok = True
    elif kind == "name":
        ok = type(head) is str and head == steps[0][1]
    else:
        ok = type(head) is int and head == steps[0][1]
    return ok and matches(steps[1:], loc[1:])


def selected(paths, loc):
    return any(matches(p, loc[:k]) for p in paths for k in range(len(loc) + 1))


def leaves(value, loc=()):
    if isinstance(value, dict):
        for k, v in value.items():
            yield from leaves(v, loc + (k,))
    elif isinstance(value, list):
        for i, v in enumerate(value):
            yield from leaves(v, loc + (i,))
    else:
        yield loc, value


def expect_hidden(paths, doc):
    """The locations of the strings the paths select."""
    return {loc for loc, v in leaves(doc) if isinstance(v, str) and selected(paths, loc)}


def changed(doc, out):
    a, b = dict(leaves(doc)), dict(leaves(out))
    assert a.keys() == b.keys()
    return {loc for loc in a if a[loc] != b[loc]}


# ---- Generators -----------------------------------------------------------------

def make_doc(rng, depth, counter, arrays=0.6):
    if depth == 0 or rng.random() < 0.2:
        r = rng.random()
        counter[0] += 1
        if r < 0.75:
            return f"v{counter[0]}"
        return rng.choice([counter[0], True, None, 1.5])
    if rng.random() < arrays:
        return [make_doc(rng, depth - 1, counter, arrays) for _ in range(rng.randint(0, 8))]
    keys = rng.sample(NAMES, rng.randint(0, len(NAMES)))
    return {k: make_doc(rng, depth - 1, counter, arrays) for k in keys}


def make_step(rng, top=6):
    r = rng.random()
    if r < 0.45:
        return ("index", rng.randint(0, top))
    if r < 0.65:
        return ("any",)
    if r < 0.85:
        return ("name", rng.choice(NAMES))
    return ("desc", rng.choice(NAMES))


def make_paths(rng, count, length=4, top=6):
    return [[make_step(rng, top) for _ in range(rng.randint(1, length))] for _ in range(count)]


def encode(doc):
    return json.dumps(doc).encode()


# ---- Against the matcher --------------------------------------------------------

@settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))
@given(seed=st.integers(0, 2**32 - 1), top=st.sampled_from([3, 4, 6]))
def test_paths_hide_exactly_the_strings_they_select(vector_path, seed, top):
    rng = random.Random(seed)
    paths = make_paths(rng, rng.randint(1, 6), top=top)
    omitter = RuleOmitter([], paths=[path_text(p, rng) for p in paths])
    doc = make_doc(rng, 6, [0])
    out = json.loads(scan(omitter, encode(doc)))
    assert changed(doc, out) == expect_hidden(paths, doc), (omitter.paths, doc, out)


# Arrays of arrays, every item count up to past the table's five steps, each
# index 0..6 alone and beside [*], and the same state met at several places.
A, I = ("any",), ("index",)
SHAPES = {
    "$[i]": [I], "$[*][i]": [A, I], "$[i][*]": [I, A], "$[i][i]": [I, I], "$..a[i]": [("desc", "a"), I],
    "$..a[i][1]": [("desc", "a"), I, ("index", 1)], "$[*]..a[i]": [A, ("desc", "a"), I],
    "$[i].a[3]": [I, ("name", "a"), ("index", 3)],
}


@pytest.mark.parametrize("index", range(7))
@pytest.mark.parametrize("shape", SHAPES)
def test_each_index_against_arrays_of_every_length(vector_path, index, shape):
    steps = [(s[0], index) if s == I else s for s in SHAPES[shape]]
    path = path_text(steps, random.Random(index))
    omitter = RuleOmitter([], paths=[path])
    counter = [0]

    def word():
        counter[0] += 1
        return f"w{counter[0]}"

    for n in range(10):
        inner = [[word() for _ in range(m)] for m in range(n)]
        doc = [inner, {"a": [[word() for _ in range(m)] for m in range(n)]},
               [{"a": [word() for _ in range(n)]} for _ in range(n)], [word() for _ in range(n)]]
        out = json.loads(scan(omitter, encode(doc)))
        assert changed(doc, out) == expect_hidden([steps], doc), (path, n)


# ---- Against the object walk ------------------------------------------------------

def walk_of(omitter, doc):
    return redacted(omitter, doc) if isinstance(doc, dict) else redacted(omitter, doc, False)


OMITTERS = [
    lambda ps: RuleOmitter([], paths=ps),
    lambda ps: RuleOmitter(["b"], paths=ps, numbers="string", booleans="false"),
    lambda ps: RuleOmitter([], paths=ps, whole=True),
    lambda ps: RuleOmitter([], paths=ps, policies={ps[0]: {"mask": "#", "numbers": "zero", "booleans": "string"}}),
    lambda ps: RuleNoTrustOmitter(["a"], paths=ps, defaults=True),
    lambda ps: RuleNoTrustOmitter([], contains=["c"], paths=ps, whole=True, defaults=True),
]


def drawn(seed, which, least, most):
    """The generator of `seed`, between `least` and `most` paths drawn from
    it, and the omitter `which` of them."""
    rng = random.Random(seed)
    paths = [path_text(p, rng) for p in make_paths(rng, rng.randint(least, most))]
    return rng, paths, OMITTERS[which](paths)


@settings(max_examples=120, deadline=None, suppress_health_check=list(HealthCheck))
@given(seed=st.integers(0, 2**32 - 1), which=st.integers(0, len(OMITTERS) - 1))
def test_scan_agrees_with_the_object_walk(vector_path, seed, which):
    rng, paths, omitter = drawn(seed, which, 1, 6)
    doc = {"a": make_doc(rng, 6, [0]), "c": make_doc(rng, 4, [0]), "password": ["p1", "p2"]}
    if rng.random() < 0.5:
        doc = {"b": [doc, make_doc(rng, 5, [0])]}
    out = json.loads(scan(omitter, encode(doc)))
    assert out == walk_of(omitter, doc), (paths, doc)


# ---- JSON Lines: later lines meet states numbered by earlier ones ----------------------

@settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
@given(seed=st.integers(0, 2**32 - 1), which=st.integers(0, len(OMITTERS) - 1))
def test_lines_agree_with_each_line_on_its_own(vector_path, seed, which):
    rng, _, omitter = drawn(seed, which, 2, 8)
    docs = [{"a": make_doc(rng, 5, [0]), "b": make_doc(rng, 5, [0])} for _ in range(12)]
    # The same shapes again, in another order: their states are numbered by now.
    docs += [docs[k] for k in rng.sample(range(12), 12)]
    data = b"\n".join(encode(d) for d in docs) + b"\n"
    out, errors, count = scan_lines(omitter, data)
    assert not errors and count == len(docs)
    got = [json.loads(line) for line in out.splitlines()]
    assert got == [walk_of(omitter, d) for d in docs]
    assert got == [json.loads(scan(omitter, encode(d))) for d in docs]


# ---- Many states: past the table's growth and past its limit ----------------------------

def chain_paths(rng, names, length, indexed=0.6):
    """..n followed by a chain of [N] and [*]: every depth a `..n` is met at
    adds a shifted copy of the chain to the live positions."""
    out = []
    for n in names:
        steps = [("desc", n)] + [("index", rng.randint(0, 5)) if rng.random() < indexed else ("any",)
                                 for _ in range(length)]
        out.append(steps)
    return out


def deep_doc(rng, depth, counter):
    """A spine of arrays (and now and then an object) with leaves at every
    level: one or two of the items go on down."""
    counter[0] += 1
    if depth == 0:
        return f"v{counter[0]}"
    if rng.random() < 0.25:
        keys = rng.sample(NAMES, 2)
        return {keys[0]: deep_doc(rng, depth - 1, counter), keys[1]: f"k{counter[0]}"}
    n = rng.randint(1, 6)
    down = {rng.randrange(n) for _ in range(1 if rng.random() < 0.8 else 2)}
    return [deep_doc(rng, depth - 1, counter) if i in down else f"x{counter[0]}.{i}" for i in range(n)]


# Mostly [*] in the chains: a live copy of a chain survives every item, and
# a spine forty deep with ..a, ..b, ..c met at many depths numbers more
# states than the table keeps (4096); with more [N], some hundreds.
@pytest.mark.parametrize("seed,indexed,depth", [(0, 0.1, 40), (1, 0.1, 40), (2, 0.3, 40), (3, 0.6, 18),
                                                (4, 0.1, 18), (5, 0.3, 30)])
def test_many_states_fill_and_overflow_the_table(vector_path, seed, indexed, depth):
    rng = random.Random(seed)
    paths = chain_paths(rng, NAMES, 14, indexed) + make_paths(rng, 6, length=5)
    omitter = RuleOmitter([], paths=[path_text(p, rng) for p in paths])
    docs = [deep_doc(rng, depth, [0]) for _ in range(60)]
    doc = docs
    out = json.loads(scan(omitter, encode(doc)))
    assert out == walk_of(omitter, doc)
    assert changed(doc[:8], out[:8]) == expect_hidden(paths, doc[:8])
    # As lines, one table for all of them.
    data = b"\n".join(encode({"a": d}) for d in docs) + b"\n"
    lines, errors, _ = scan_lines(omitter, data)
    assert not errors
    assert [json.loads(x) for x in lines.splitlines()] == [walk_of(omitter, {"a": d}) for d in docs]


# Growth of the state table under an address-space limit: each limit either
# gives the bytes of the unlimited scan or a MemoryError, never other bytes
# and never a crash.
GROWTH = r"""
import ctypes, json, random, resource, sys
from velmora.rules import RuleOmitter
from velmora.scan import scan
import velmora.scan as vscan
sys.path.insert(0, ".")
from test_review_scan22i import chain_paths, deep_doc, path_text, NAMES

rng = random.Random(7)
paths = [path_text(p, rng) for p in chain_paths(rng, NAMES, 14, 0.1)]
omitter = RuleOmitter([], paths=paths)
data = json.dumps([deep_doc(rng, 40, [0]) for _ in range(20)]).encode()
expected = scan(omitter, data)
for path in vscan._paths():
    vscan._set_path(path)
    with open("/proc/self/statm") as f:
        base = int(f.read().split()[0]) * resource.getpagesize()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    outcomes = set()
    for extra in range(0, 1 << 20, 1 << 14):
        # Free memory back to the system, so that what the scan asks for is mapped anew.
        ctypes.CDLL(None).malloc_trim(0)
        with open("/proc/self/statm") as f:
            base = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (base + extra, hard))
        try:
            got = scan(omitter, data)
        except MemoryError:
            outcomes.add("memory")
            continue
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert got == expected, (path, extra)
        outcomes.add("ok")
    print(path, sorted(outcomes))
"""


def test_growth_under_an_address_space_limit():
    proc = assert_runs_clean(GROWTH, timeout=600)
    # Every path scanned in full under some limit, and some limit bit.
    lines = proc.stdout.splitlines()
    assert len(lines) == len(PATHS) and all("'ok'" in line for line in lines), proc.stdout
    # The sanitizer's allocator serves from address space it reserved at
    # start-up, so a limit set afterwards never bites there.
    assert SANITIZED or "'memory'" in proc.stdout, proc.stdout
