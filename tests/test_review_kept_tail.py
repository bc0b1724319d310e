"""Masks that keep the tail of a secret, written over a str where it stands.

A rule whose policy keeps the last N code points may turn a str value that
only its entry or list item holds into its own mask. Nothing of that may
show: every result here is compared with a plain-Python model of what each
policy makes of a value (tests/kept_tail_model.py), on documents whose
strs are held, hashed, interned, shared or cached in every way a str can
be, and what anyone outside the document holds must keep its text.
"""

import gc
import json
import sys
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import assert_no_leak, assert_runs_clean, run_python
from test_interpreter_lines import layout_gates
from kept_tail_model import (EXACT, HOLDS, KEYS, Model, World, as_utf8, as_wstr, fresh, make_omitter, plain, raw,
                             strs_of)

from velmora.detect import Detector
from velmora.redact import redacted
from velmora.rules import RuleOmitter
from velmora.scan import scan

# ---- Strategies ---------------------------------------------------------------------

# No '*' in the texts: a str with one in the result is a mask.
ASCII_TEXT = st.text("0123456789abcXYZ-", max_size=12)
WIDE_TEXT = st.text(st.sampled_from("ab7\u00e9\u00ff\u0101\u20ac\uffff\U0001f600\U00010000\ud800\udfff"), max_size=8)
TEXT = st.one_of(ASCII_TEXT, ASCII_TEXT, WIDE_TEXT)
HOLD = st.sampled_from(HOLDS + ("fresh", "fresh", "fresh"))
KEEP = st.integers(1, 6)
SPEC = st.one_of(st.none(), st.tuples(st.just("keep"), KEEP), st.tuples(st.just("keep"), KEEP),
                 st.tuples(st.just("mask"), st.sampled_from(["[m]", "", "\u20ac"])))
CONFIG = st.tuples(
    st.one_of(st.none(), st.none(), st.none(), st.tuples(st.just("keep"), KEEP), st.just(("mask", "[F]"))),
    st.tuples(*[st.tuples(st.just(k), SPEC) for k in EXACT]),
    st.lists(st.tuples(st.sampled_from(["$.acct", "$..deep"]), SPEC), max_size=2, unique_by=lambda p: p[0]).map(tuple),
)
LEAF = st.one_of(
    st.tuples(st.just("s"), TEXT, HOLD), st.tuples(st.just("s"), TEXT, HOLD), st.tuples(st.just("s"), TEXT, HOLD),
    st.tuples(st.just("i"), st.integers(-5, 5)),
    st.tuples(st.just("same"), st.sampled_from("AB"), ASCII_TEXT),
)


def _dict_of(inner):
    return st.tuples(st.just("d"), st.lists(st.tuples(st.sampled_from(KEYS), inner), max_size=6,
                                            unique_by=lambda kv: kv[0]))


NODE = st.recursive(LEAF, lambda inner: _dict_of(inner) | st.tuples(st.just("l"), st.lists(inner, max_size=4)),
                    max_leaves=14)
DOC = st.tuples(st.just("d"), st.lists(st.tuples(st.sampled_from(KEYS), NODE), min_size=1, max_size=7,
                                       unique_by=lambda kv: kv[0]))

# The walk decides a key without a call (and so may write in place) once it
# has met the key object in the same call: a document whose keys were met
# in a dict before it.
WARM = ("d", [(k, ("s", "warm-up", "stash")) for k in EXACT + ("deep",)])
# Mostly values the walk may write (fresh ASCII under keys it knows), with
# every other kind of value now and then between them.
FILL_LEAF = st.one_of(*[st.tuples(st.just("s"), st.text("0123456789abcXYZ", min_size=2, max_size=12),
                                  st.just("fresh"))] * 6, LEAF)
FILL_NODE = st.recursive(FILL_LEAF, lambda inner: _dict_of(inner) | st.tuples(st.just("l"), st.lists(inner, max_size=4)),
                         max_leaves=14)
FILL_DOC = st.lists(st.tuples(st.sampled_from(KEYS), FILL_NODE), min_size=1, max_size=7,
                    unique_by=lambda kv: kv[0]).map(
    lambda entries: ("d", [("x", WARM), ("name", ("d", entries)), ("card", ("l", [WARM, ("d", entries)]))]))
DOCS = st.one_of(DOC, FILL_DOC, FILL_DOC)

HOSTILE = settings(max_examples=200, derandomize=True, deadline=None, database=None,
                   suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


# ---- Checks ---------------------------------------------------------------------------


def places(node, out=None):
    """(container, key or index) of every str value and item."""
    out = [] if out is None else out
    items = node.items() if type(node) is dict else enumerate(node) if type(node) is list else ()
    for at, value in items:
        if type(value) is str:
            out.append((node, at))
        else:
            places(value, out)
    return out


def assert_true_str(s, written=False):
    """`s` is what the same text made afresh is: equal, same hash, the same
    UTF-8 and wchar_t forms where it keeps them; one the walk wrote also of
    the same size (so of the same kind and form, nothing kept beside it)."""
    copy = fresh(s)
    if written:
        assert sys.getsizeof(s) == sys.getsizeof(copy)
    assert s == copy
    assert hash(s) == hash(copy)
    assert {copy: 1}.get(s) == 1 and s in {copy}
    try:
        assert as_utf8(s) == raw(s)
    except UnicodeEncodeError:
        assert any("\ud800" <= c <= "\udfff" for c in s)
    # Only a str the walk wrote is asked for its wchar_t form: asking makes
    # 3.11 keep one, and the others may be the omitter's shared masks, which
    # later tests compare with masks made afresh.
    wide = as_wstr(s) if written else None
    assert wide is None or wide == s


def omit_and_check(config, description):
    """Walk one hostile world; check it against the model and against
    everyone who held its strs. Returns which places were written in place."""
    world = World(description)
    expected = Model(config).omit(plain(world.doc))
    before = [(c, at, id(c[at]), raw(c[at])) for c, at in places(world.doc)]
    omitter = make_omitter(config)
    result = omitter.omit(world.doc)
    assert result is world.doc
    assert result == expected
    written = [id(c[at]) == old and raw(c[at]) != text for c, at, old, text in before]
    for (c, at, _, _), was_written in zip(before, written):
        if was_written:
            assert type(c[at]) is str and c[at].isascii()
            assert_true_str(c[at], written=True)
    for s in strs_of(result):
        assert_true_str(s)
    for held, text in world.outside:
        assert raw(held) == text, "a str held outside the document was written"
        assert_true_str(held)
    return written, result


# ---- Hostile worlds ---------------------------------------------------------------------


@HOSTILE
@given(CONFIG, DOCS)
def test_hostile_documents_become_what_the_model_says(config, description):
    omit_and_check(config, description)


@HOSTILE
@given(CONFIG, DOCS)
def test_a_second_walk_of_the_result_changes_nothing_it_should_not(config, description):
    """The walk's own masks met again (the same omitter, another walk):
    each becomes what the model makes of it, written or not."""
    world = World(description)
    omitter = make_omitter(config)
    once = omitter.omit(world.doc)
    expected = Model(config).omit(plain(once))
    assert omitter.omit(once) == expected
    for s in strs_of(once):
        assert_true_str(s)


def walk_with_detector(config, description):
    """The omitter of `config` with a detector that finds secrets in the
    strs its rules let through: no model of the detector here (its own
    tests have one), but whoever holds a str keeps its text, a str written
    in place is a true str, and the result is returned for comparing runs."""
    world = World(description)
    before = [(c, at, id(c[at]), raw(c[at])) for c, at in places(world.doc)]
    omitter = make_omitter(config, detect=Detector(["0123456789", "abcXYZ", "\u20ac\u00e9\u00e9\u00e9\u00e9"],
                                                  formats=[], keep_last=2))
    result = omitter.omit(world.doc)
    for c, at, old, text in before:
        if id(c[at]) == old and raw(c[at]) != text:
            assert_true_str(c[at], written=True)
    for held, text in world.outside:
        assert raw(held) == text
    return result


@HOSTILE
@given(CONFIG, DOCS)
def test_a_detector_beside_kept_tails_leaves_held_strs_alone(config, description):
    walk_with_detector(config, description)


GATES_RUN = """
import json, sys
sys.path.insert(0, ".")
from hypothesis import given
import test_review_kept_tail as t
from test_interpreter_lines import layout_gates
out, written = [], 0
@t.HOSTILE
@given(t.CONFIG, t.DOCS)
def collect(config, description):
    global written
    w, result = t.omit_and_check(config, description)
    written += sum(w)
    out.append(repr(result))
    out.append(repr(t.walk_with_detector(config, description)))
collect()
print(json.dumps([layout_gates()[7], written, out]))
"""


def test_gates_open_and_closed_walk_alike_and_only_open_gates_write():
    """The same hostile worlds with every gate open and with every gate
    closed: the same results; strs written in place only with the gates
    open (and then some are, or this file tests nothing)."""
    runs = []
    for closed in ("", "all"):
        done = run_python(GATES_RUN, env={"VELMORA_CLOSE_GATES": closed, "PYTHONHASHSEED": "0"}, timeout=600)
        assert done.returncode == 0, done.stderr[-3000:]
        runs.append(json.loads(done.stdout.splitlines()[-1]))
    (fills_open, written_open, out_open), (fills_closed, written_closed, out_closed) = runs
    assert fills_open and not fills_closed
    assert written_closed == 0
    assert written_open > 0
    assert len(out_open) == len(out_closed) > 200
    assert out_open == out_closed


# ---- Each kind of str, each way of holding it --------------------------------------------

KINDS = {
    "ascii": "DE89370400440532013000",
    "latin1": "DE89\u00e9\u00ff0400440532013000",
    "ucs2": "DE89\u20ac\u01010400440532013000",
    "ucs4": "DE89\U0001f6000400440532013000",
    "surrogate": "DE89\ud8000400440532013000",
    "ascii_tail_wide": "\u20ac89370400440532013000",
}


def may_write(text, hold):
    """Whether a value may become its own mask: ASCII (so compact), more
    than one character (single characters are the interpreter's own), and
    nobody else holding it, its hash or a copy of its text (3.11 keeps the
    wchar_t form apart; the UTF-8 of ASCII is its own text)."""
    quiet = ("fresh", "utf8") if sys.version_info < (3, 12) else ("fresh", "utf8", "wstr")
    return text.isascii() and hold in quiet and len(text) > 1


@pytest.mark.parametrize("hold", HOLDS)
@pytest.mark.parametrize("kind", sorted(KINDS))
@pytest.mark.parametrize("length", [0, 1, 3, 4, 5, 22])
@pytest.mark.parametrize("where", ["dict", "list", "nested"])
def test_each_kind_of_str_under_a_kept_tail(kind, hold, length, where):
    """A value of every str kind and length (shorter than the kept tail,
    equal, one longer, much longer), held in every way: masked as the
    model says, and written in place only when it is ASCII in the compact
    form and nobody else holds it, has its hash or keeps a copy of it."""
    text = KINDS[kind][-length:] if length else ""
    value = ("s", text, hold)
    node = {"dict": value, "list": ("l", [("s", "x0", "stash"), value]), "nested": ("d", [("iban", value)])}[where]
    config = (None, (("iban", ("keep", 4)), ("card", None), ("pin", None)), ())
    # The key met first (so that the walk decides it without a call where
    # the value stands), its value held elsewhere: only `value` may be written.
    description = ("d", [("x", ("d", [("iban", ("s", "warm-up", "stash"))])),
                         ("name", ("d", [("name", ("s", "keep me", "fresh")), ("iban", node)]))])
    written, _ = omit_and_check(config, description)
    assert any(written) == (layout_gates()[7] and may_write(text, hold))


@pytest.mark.parametrize("where", ["dict", "list", "list_again", "path"])
def test_a_value_nobody_else_holds_is_written_in_place(where):
    """The fast path is taken where it may be (so the hostile tests above
    walk it): a fresh ASCII value under a rule that keeps its tail, in a
    dict whose key the walk has already met in this call (json.loads
    shares key objects, as World does)."""
    if not layout_gates()[7]:
        pytest.skip("str_fills gate closed")
    om = RuleOmitter(["iban"], paths=["$.acct"], policies={"iban": {"keep_last": 4}, "$.acct": {"keep_last": 2}})
    secret = "DE89370400440532013000"
    mask = "*" * 18 + "3000"
    in_place = []
    # The walk remembers keys it met in a table by address, and a key may
    # miss it when another takes its slot: a few fresh documents give the
    # key other addresses.
    for _ in range(8):
        doc = json.loads(json.dumps({"n": {"iban": secret, "l": {"iban": [secret, secret]}}, "acct": secret,
                                     "m": {"iban": secret}}))
        place = {"dict": (doc["m"], "iban"), "list": (doc["n"]["l"]["iban"], 0),
                 "list_again": (doc["n"]["l"]["iban"], 1), "path": (doc, "acct")}[where]
        before = id(place[0][place[1]])
        om.omit(doc)
        assert doc == {"n": {"iban": mask, "l": {"iban": [mask] * 2}}, "acct": "*" * 20 + "00",
                       "m": {"iban": mask}}
        assert_true_str(place[0][place[1]], written=id(place[0][place[1]]) == before)
        in_place.append(id(place[0][place[1]]) == before)
    assert any(in_place)


# ---- Shared strs ----------------------------------------------------------------------------


# The walk decides a key without a call where the value stands once it has
# met the key object in the same call: each document below starts with a
# dict of the keys (literal keys are one object), so that the places after
# it are those where a str may be written.
WARM_KEYS = {"iban": "warm-up", "card": "warm-up", "num": 0}


def warm(doc):
    return {"w": {k: v for k, v in WARM_KEYS.items()}, **doc}


@pytest.mark.parametrize("order", [("iban", "card"), ("card", "iban")])
@pytest.mark.parametrize("nested", [False, True])
def test_one_str_under_two_policies_is_masked_from_its_own_text_at_each(order, nested):
    """One str object under two keys whose policies keep different tails:
    the second place must not see the first's mask (the first place is
    given a mask made afresh, the second may be written)."""
    om = RuleOmitter(["iban", "card"], policies={"iban": {"keep_last": 4}, "card": {"keep_last": 2}})
    for _ in range(2):
        secret = fresh("DE89370400440532013000")
        was = id(secret)
        inner = {order[0]: secret, order[1]: secret}
        doc = warm({"n": inner} if nested else {"n": {"v": inner}})
        del secret
        om.omit(doc)
        assert inner == {"iban": "*" * 18 + "3000", "card": "*" * 20 + "00"}
        assert (id(inner[order[1]]) == was) == layout_gates()[7]


@pytest.mark.parametrize("policy", [{"keep_last": 4}, {"keep_last": 30}, {"mask": "[m]"}, None])
@pytest.mark.parametrize("default", [None, 3])
def test_one_str_in_a_list_and_a_dict(policy, default):
    om = RuleOmitter(["iban", "card"], keep_last=default,
                     policies={"iban": policy, "card": {"keep_last": 1}} if policy else {"card": {"keep_last": 1}})
    spec = None if policy is None else ("keep", policy["keep_last"]) if "keep_last" in policy else ("mask", "[m]")
    model = Model((default and ("keep", default), (("iban", spec), ("card", ("keep", 1)), ("pin", None)), ()))
    for _ in range(2):
        secret = fresh("DE89370400440532013000")
        doc = warm({"x": {"iban": [secret, secret, fresh("ab")], "card": secret}, "name": [secret],
                    "y": {"card": [secret]}})
        del secret
        expected = model.omit(plain(doc))
        om.omit(doc)
        assert doc == expected
        assert doc["name"] == ["DE89370400440532013000"]


def test_a_key_that_is_also_its_own_value_stays_a_key():
    """The key object stored as its own value: written in place, the dict
    would lose the key."""
    om = RuleOmitter(["iban"], policies={"iban": {"keep_last": 2}})
    for _ in range(3):
        key = fresh("iban")
        doc = {"w": {key: "warm-up"}, "n": {key: key}, "m": [{key: key}]}
        del key
        om.omit(doc)
        assert doc == {"w": {"iban": "*****up"}, "n": {"iban": "**an"}, "m": [{"iban": "**an"}]}
        assert list(doc["n"]) == ["iban"] and doc["n"]["iban"] == "**an"


def test_a_constant_of_code_keeps_its_text():
    om = RuleOmitter(["iban"], policies={"iban": {"keep_last": 4}})

    def make():
        return {"iban": "DE89370400440532013000-constant"}

    def make_list():
        return {"iban": ["DE89370400440532013000-constant"]}

    for _ in range(3):
        doc = warm({"n": make(), "l": make_list()})
        om.omit(doc)
        assert doc["n"]["iban"] == "*" * 27 + "tant" and doc["l"]["iban"] == ["*" * 27 + "tant"]
    assert make() == {"iban": "DE89370400440532013000-constant"}
    assert make_list() == {"iban": ["DE89370400440532013000-constant"]}


def test_a_str_subclass_is_refused_and_left_as_it_is():
    class S(str):
        pass

    om = RuleOmitter(["iban"], policies={"iban": {"keep_last": 4}})
    value = S("DE89370400440532013000")
    doc = {"n": {"iban": value}}
    with pytest.raises(TypeError):
        om.omit(doc)
    assert str.__str__(value) == "DE89370400440532013000"
    kept = {"n": {"name": S("DE89370400440532013000")}}
    om.omit(kept)
    assert str.__str__(kept["n"]["name"]) == "DE89370400440532013000"


LEGACY = """
import ctypes, sys
from velmora.rules import RuleOmitter
api = ctypes.pythonapi
api.PyUnicode_FromUnicode.restype = ctypes.py_object
api.PyUnicode_FromUnicode.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
api.PyUnicode_AsUnicode.restype = ctypes.c_void_p
api.PyUnicode_AsUnicode.argtypes = [ctypes.py_object]
api._PyUnicode_Ready.argtypes = [ctypes.py_object]
text = "DE89370400440532013000"
def legacy():
    s = api.PyUnicode_FromUnicode(None, len(text))
    buf = (ctypes.c_wchar * len(text)).from_address(api.PyUnicode_AsUnicode(s))
    for i, c in enumerate(text):
        buf[i] = c
    assert api._PyUnicode_Ready(s) == 0
    return s
om = RuleOmitter(["iban"], policies={"iban": {"keep_last": 4}})
for _ in range(3):
    doc = {"n": {"iban": legacy()}, "l": {"iban": [legacy()]}}
    om.omit(doc)
    assert doc == {"n": {"iban": "*" * 18 + "3000"}, "l": {"iban": ["*" * 18 + "3000"]}}, doc
    assert sys.getsizeof(doc["n"]["iban"]) == sys.getsizeof("".join(list(doc["n"]["iban"])))
print("ok")
"""


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="legacy (non-compact) strs are gone from 3.12 on")
def test_a_legacy_str_is_never_written():
    """A str in the legacy form (3.11: made by PyUnicode_FromUnicode(NULL, n),
    its text in a separate block): replaced by a mask made afresh."""
    assert "ok" in assert_runs_clean(LEGACY).stdout


# ---- Code run mid-walk --------------------------------------------------------------------


class Claims:
    """A value whose `__class__` lookup (the walk's number test) runs `act`."""

    def __init__(self, act):
        self.act = act

    @property
    def __class__(self):
        act, self.act = self.act, None
        if act:
            act()
        return Claims


class Dying(int):
    """An int whose release runs `act` (a number the plan masks to 0)."""

    def __del__(self):
        act = getattr(self, "act", None)
        if act:
            act()


@pytest.mark.parametrize("how", ["class", "del", "gc"])
@pytest.mark.parametrize("where", ["dict", "list"])
def test_a_str_code_took_hold_of_mid_walk_keeps_its_text(how, where):
    """Code run by the walk (a `__class__` lookup, a finaliser, a
    collection) takes a reference to a later value: whoever holds it sees
    its text, and the document its mask."""
    om = RuleOmitter(["iban", "num"], numbers="zero", policies={"iban": {"keep_last": 4}})
    secret = "DE89370400440532013000"
    for _ in range(3):
        stash = []
        doc = warm({"n": {}})
        inner = doc["n"]

        def grab():
            stash.append(inner["iban"][0] if where == "list" else inner["iban"])

        if how == "class":
            inner["a"] = Claims(grab)
        elif how == "del":
            dying = Dying(7)
            dying.act = grab
            inner["num"] = dying
            del dying
        inner["iban"] = [fresh(secret)] if where == "list" else fresh(secret)
        callback = None
        if how == "gc":
            def callback(phase, info):
                if phase == "start" and not stash:
                    grab()
            gc.callbacks.append(callback)
            threshold = gc.get_threshold()
            gc.set_threshold(1)
        try:
            om.omit(doc)
        finally:
            if callback is not None:
                gc.callbacks.remove(callback)
                gc.set_threshold(*threshold)
        got = inner["iban"][0] if where == "list" else inner["iban"]
        assert got == "*" * 18 + "3000"
        for held in stash:
            assert held == secret
            assert_true_str(held)


def test_threads_holding_the_strs_see_them_unchanged():
    """Threads keep taking the values of documents another thread walks:
    a str a thread holds never changes under it."""
    om = RuleOmitter(["iban"], policies={"iban": {"keep_last": 4}})
    secret = "DE89370400440532013000"
    docs = [{"n": {"iban": fresh(secret), "l": {"iban": [fresh(secret), fresh(secret)]}}} for _ in range(3000)]
    bad = []
    stop = threading.Event()

    def reader():
        while not stop.is_set():
            for doc in docs[::7]:
                n = doc["n"]
                for held in (n["iban"], n["l"]["iban"][0]):
                    first = raw(held)
                    for _ in range(20):
                        pass
                    if raw(held) != first or first not in (raw(secret), raw("*" * 18 + "3000")):
                        bad.append((first, raw(held)))

    threads = [threading.Thread(target=reader) for _ in range(2)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for t in threads:
            t.start()
        for doc in docs:
            om.omit(doc)
    finally:
        stop.set()
        for t in threads:
            t.join()
        sys.setswitchinterval(interval)
    assert not bad
    assert all(doc["n"] == {"iban": "*" * 18 + "3000", "l": {"iban": ["*" * 18 + "3000"] * 2}} for doc in docs)


# ---- Copies and text --------------------------------------------------------------------


@HOSTILE
@given(CONFIG, DOCS)
def test_redacted_never_writes_the_callers_strs(config, description):
    world = World(description)
    snapshot = [(c, at, id(c[at]), raw(c[at])) for c, at in places(world.doc)]
    copy = plain(world.doc)
    omitter = make_omitter(config)
    for _ in range(2):
        result = redacted(omitter, world.doc)
        assert result == Model(config).omit(plain(copy))
        assert world.doc == copy
        assert [(id(c[at]), raw(c[at])) for c, at, _, _ in snapshot] == [(i, t) for _, _, i, t in snapshot]
        for s in strs_of(result):
            assert_true_str(s)


SCANNABLE = st.tuples(st.just("d"), st.lists(st.tuples(st.sampled_from(KEYS), st.recursive(
    st.tuples(st.just("s"), st.one_of(ASCII_TEXT, st.text("ab\u00e9\u20ac\U0001f600", max_size=6)), st.just("fresh")),
    lambda inner: _dict_of(inner) | st.tuples(st.just("l"), st.lists(inner, max_size=3)), max_leaves=8)),
    min_size=1, max_size=6, unique_by=lambda kv: kv[0]))


@HOSTILE
@given(CONFIG, SCANNABLE)
def test_scan_and_the_walk_agree(config, description):
    """velmora.scan reads text: the same document as JSON gives what the
    in-place walk (which writes strs in place) gives."""
    omitter = make_omitter(config)
    text = json.dumps(World(description).doc, ensure_ascii=False).encode()
    walked = omitter.omit(World(description).doc)
    assert json.loads(scan(omitter, text)) == walked == Model(config).omit(json.loads(text))


# ---- Counts -------------------------------------------------------------------------------


@pytest.mark.parametrize("where", ["dict", "list"])
def test_written_strs_are_held_once_and_nothing_is_left_behind(where):
    """A str written in place is held by its entry or item alone, as a mask
    stored there would be; masks that replace held strs leave no block
    behind over many walks."""
    om = RuleOmitter(["iban"], policies={"iban": {"keep_last": 4}})
    secret = "DE89370400440532013000"
    mask = "*" * 18 + "3000"
    stash = []

    def walk():
        doc = json.loads(json.dumps({"a": {"iban": "x1"}, "n": {"iban": [secret, "ab12"] if where == "list" else secret},
                                     "m": {"iban": secret}}))
        held = doc["m"]["iban"]  # held: replaced, never written
        stash[:] = [held]
        place = doc["n"]["iban"] if where == "list" else doc["n"]
        before = id(place[0] if where == "list" else place["iban"])
        om.omit(doc)
        return doc, before

    doc, before = walk()
    got = doc["n"]["iban"][0] if where == "list" else doc["n"]["iban"]
    assert (id(got) == before) == layout_gates()[7]
    assert got == mask and stash[0] == secret and doc["m"]["iban"] == mask
    assert sys.getrefcount(got) == 3  # the entry or item, `got`, the call's argument
    del got
    assert_no_leak(walk)
