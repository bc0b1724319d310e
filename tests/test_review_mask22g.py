"""Review of the walk keeping its call's mask and of copies of members walked by super(), against a model of
its own (member_copy_model): whatever copy an override makes of a member of the container it is handed, the
walk of that copy hides at least what the container's place and the root select, and, for a copy that holds
the member's own keys and values in order, also what the member's place selects. Nothing else is assumed of
the output, so a copy the walk cannot place may hide more, never less."""

import copy
import itertools

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from member_copy_model import Override, required, strs_in
from test_review_hand_offs import run_script
from test_walk_member_copies import members_class

from velmora.rules import RuleOmitter

NAMES = ["a", "x", "s", "l"]
PATHS = ["$.a.x.s", "$.a.*.s", "$.a.x", "$..s", "$.x.l[1]", "$.l[0].x.s", "$.a.l[*].s", "$.*.*.*", "$.a.*",
         "$.x.a.s.a"]

# Mostly dicts: a container whose members are all dicts is what the override takes.
_dicts = st.deferred(lambda: st.dictionaries(st.sampled_from(NAMES), st.one_of(st.none(), _dicts, _dicts, _lists),
                                             min_size=1, max_size=3))
_lists = st.deferred(lambda: st.lists(st.one_of(st.none(), _dicts), min_size=1, max_size=2))
_shape = st.one_of(st.none(), _dicts, _dicts, _lists)


def labelled(shape):
    """`shape` with each leaf a distinct str, so that a leaf found in the output is that leaf."""
    n = itertools.count()

    def go(v):
        if v is None:
            return f"leaf{next(n):03d}"
        if type(v) is dict:
            return {k: go(x) for k, x in v.items()}
        return [go(x) for x in v]

    return go(shape)


def override_class(shape):
    model = Override(shape)

    class Copies(RuleOmitter):
        def omit(self, target):
            if not model.takes(target):
                return super().omit(target)
            for k, member in list(target.items()):
                if shape == "grandchild":
                    inner = [k2 for k2, g in member.items() if type(g) is dict]
                    if inner:
                        member[inner[0]] = super().omit(dict(member[inner[0]]))
                    continue
                target[k] = super().omit(model.copy(member))
            return target

    return Copies


@settings(max_examples=400, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck))
@given(st.dictionaries(st.sampled_from(NAMES), _shape, min_size=1, max_size=3),
       st.lists(st.sampled_from(PATHS), min_size=1, max_size=3, unique=True), st.sampled_from(Override.SHAPES))
def test_a_copy_walked_by_super_hides_what_any_place_it_may_be_at_selects(shape, ps, how):
    doc = labelled(shape)
    must = required(doc, ps, Override(how))
    out = RuleOmitter.omit(override_class(how)(paths=ps), copy.deepcopy(doc))
    assert sorted(must & strs_in(out)) == [], (doc, out)


@pytest.mark.parametrize("how", Override.SHAPES)
def test_the_model_is_not_vacuous(how):
    """The model's requirement depends on the shape: a member's place counts only for the copies it
    recognises, so the same document and path require more of them."""
    doc = {"r": {"a": {"x": {"s": "leaf1", "t": "leaf2"}, "y": {"t": "leaf3", "u": {"v": "leaf4"}}}}}
    got = required(doc, ["$.r.a.x.s", "$.r.a.y.u"], Override(how))
    if how in Override.RECOGNISED:
        assert got == {"leaf1", "leaf4"}
    else:
        assert got == set()
    # And the plain walk, with no override, hides the leaves the model selects at their own places.
    out = strs_in(RuleOmitter(paths=["$.r.a.x.s", "$.r.a.y.u"]).omit(copy.deepcopy(doc)))
    assert {"leaf2", "leaf3"} <= out and not out & {"leaf1", "leaf4"}


@pytest.mark.parametrize("how", Override.SHAPES)
@pytest.mark.parametrize("ps", [["$.a.x.s"], ["$.a.x"], ["$.a.*.s"], ["$..s"], ["$.a.y.u"]])
def test_a_copy_of_a_member_of_two_keys_hides_what_the_model_requires(how, ps):
    """Members of more than one key, so that a reordered copy differs from the member."""
    doc = {"a": {"x": {"s": "leaf1", "t": "leaf2"}, "y": {"t": "leaf3", "u": {"s": "leaf4", "v": "leaf5"}}}}
    must = required(doc, ps, Override(how))
    out = RuleOmitter.omit(override_class(how)(paths=ps), copy.deepcopy(doc))
    assert sorted(must & strs_in(out)) == [], out


MASK_SCRIPT = r'''
import gc, json, threading
from velmora.rules import RuleOmitter, RuleNoTrustOmitter
from velmora.redact import redacted

OLD = [{"mask": "[old]"}, {"keep_last": 3}, {"mask": "[old]", "whole": True}, {}]
NEW = [{"mask": "[new]"}, {}, {"keep_last": 1}, {"mask": "[new]", "whole": True}]
doc = {"k1": "value-1", "a": {"k1": "value-2", "b": [{"k1": "value-3"}, "x"], "c": {"k1": "value-4"}},
       "d": {"k1": "value-5", "e": {"k1": "value-6"}}, "l": [{"k1": "value-7"}, {"m": {"k1": "value-8"}}]}
PLANS = [{}, {"paths": ["$.a.c", "$..e.k1"]}]

def fresh(base, kw, plan):
    return base(["k1"], **kw, **plan)

for base in (RuleOmitter, RuleNoTrustOmitter):
    for old in OLD:
        for new in NEW:
            for plan in PLANS:
                if base is RuleNoTrustOmitter and plan:
                    continue
                for at in range(1, 7):
                    seen = [0]
                    own = []

                    def renew_on_another_thread(o):
                        t = threading.Thread(target=lambda: o.__init__(["k1"], **new, **plan))
                        t.start()
                        t.join()

                    class C(base):
                        def omit(self, target):
                            seen[0] += 1
                            if seen[0] == at:
                                renew_on_another_thread(self)
                                # Calls of its own made here, after the policy changed: each masks by one of the
                                # object's two policies, whole.
                                # (or, where the plan changed too, are refused rather than guessed at).
                                for call, arg in ((redacted, {"k1": "own-1"}), (base.omit, {"k1": "own-2"})):
                                    try:
                                        own.append(call(self, arg))
                                    except RuntimeError:
                                        own.append(None)
                            return super().omit(target)

                        def omit_recurse(self, target, do=False):
                            return super().omit_recurse(target, do)

                    o = C(["k1"], **old, **plan)
                    want = fresh(base, old, plan).omit(json.loads(json.dumps(doc)))
                    got = base.omit(o, json.loads(json.dumps(doc)))
                    assert got == want, (base, old, new, plan, at, got, want)
                    for value, text in zip(own, ["own-1", "own-2"]):
                        if value is None:
                            assert plan, "only a changed plan is refused"
                            continue
                        allowed = [fresh(base, kw, plan).omit({"k1": text}) for kw in (old, new)]
                        assert value in allowed, (value, allowed)
                    # Later calls take the new policy.
                    if seen[0] >= at:
                        again = base.omit(o, json.loads(json.dumps(doc)))
                        assert again == fresh(base, new, plan).omit(json.loads(json.dumps(doc))), again
print("checked")
'''


def test_an_init_on_another_thread_mid_walk_changes_no_mask_of_the_running_call():
    done = run_script(MASK_SCRIPT)
    assert done.returncode == 0 and done.stdout.strip() == "checked", done.stderr[-3000:]


LEAK_SCRIPT = r'''
import copy, gc, sys
from velmora.rules import RuleOmitter, RuleNoTrustOmitter

class M(RuleOmitter):
    def omit(self, target):
        if target and all(type(v) is dict for v in target.values()):
            for k, v in list(target.items()):
                target[k] = super().omit(dict(v))
            return target
        return super().omit(target)

class R(RuleOmitter):
    def omit(self, target):
        # The same policy again: the object keeps no second copy of it (one it has not had is kept for
        # good, and so is a plan with paths, once per __init__).
        self.__init__(mask="[r]")
        return super().omit(target)

doc = {"a": {"x": {"s": "secret", "t": "t"}, "y": {"s": "s", "q": {"r": {"t": "1"}}}}, "l": [{"x": {"s": 1}}]}
for o in (M(paths=["$.a.x.s", "$..t"], mask="[m]"), R()):
    def once():
        RuleOmitter.omit(o, copy.deepcopy(doc))
    for _ in range(50):
        once()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(3000):
        once()
    gc.collect()
    grown = sys.getallocatedblocks() - before
    # A block or a reference kept per call would grow by thousands.
    assert grown < 300, grown
print("checked")
'''


def test_repeated_calls_with_copies_or_new_policies_keep_no_blocks():
    done = run_script(LEAK_SCRIPT)
    assert done.returncode == 0 and done.stdout.strip() == "checked", done.stderr[-3000:]


def _copies_class(base, do):
    """Walks a copy of every member (dict(v) or list(v)) of a container whose members are all containers
    through super() and stores it at the member's place, for dicts and lists alike."""
    return members_class(base, False, do)


def _leaves(v, at=()):
    if type(v) is dict:
        for k, x in v.items():
            yield from _leaves(x, at + (k,))
    elif type(v) is list:
        for i, x in enumerate(v):
            yield from _leaves(x, at + (i,))
    else:
        yield at, v


_GONE = object()


def _at(v, place):
    """The value at `place`, or _GONE where a container above it was replaced (`whole`)."""
    for step in place:
        if type(v) not in (dict, list):
            return _GONE
        v = v[step]
    return v


_value = st.one_of(st.text("ab", min_size=1, max_size=4).map(lambda s: "sec-" + s), st.integers(1, 999),
                   st.booleans())
_tree = st.recursive(_value, lambda c: st.one_of(st.dictionaries(st.sampled_from(NAMES), c, min_size=1, max_size=3),
                                                 st.lists(c, min_size=1, max_size=2)), max_leaves=12)
_OPTIONS = [{}, {"whole": True}, {"numbers": "zero"}, {"numbers": "digits"}, {"booleans": "false"},
            {"keep_last": 2}, {"policies": True}]


@settings(max_examples=400, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck))
@given(st.dictionaries(st.sampled_from(NAMES), _tree, min_size=1, max_size=3),
       st.lists(st.sampled_from(PATHS), min_size=1, max_size=3, unique=True), st.sampled_from(_OPTIONS),
       st.booleans())
def test_copies_of_members_hide_every_value_the_plain_walk_hides(doc, ps, options, trusting):
    """A copy of a member is walked at more places than the member's own, so it hides at least what the
    plain walk (no override) hides there, trusting or not, with every option. (A trusting omitter's list
    copies are walked with do=True: do=False is the caller's own verdict that the items may be shown.)"""
    from velmora.rules import RuleNoTrustOmitter

    base = RuleNoTrustOmitter if trusting else RuleOmitter
    kw = dict(options)
    if kw.get("policies"):
        if trusting:
            return
        kw["policies"] = {ps[0]: {"keep_last": 1}}
    plain = base(["zz"], paths=ps, **kw).omit(copy.deepcopy(doc))
    got = base.omit(_copies_class(base, trusting)(["zz"], paths=ps, **kw), copy.deepcopy(doc))
    for place, value in _leaves(doc):
        if _at(plain, place) != value:
            assert _at(got, place) != value, (place, value, plain, got)


MUTATE_SCRIPT = r'''
import gc, sys, threading
from velmora.rules import RuleOmitter, RuleNoTrustOmitter

def run(mode, base):
    doc = {"r": {"a": {"x": {"s": "secret", "t": "t1"}, "y": {"s": "s2", "t": "t2"}}}}

    class Gone:
        def __del__(self):
            doc["r"]["a"] = None

    class C(base):
        def omit(self, target):
            if "x" not in target:
                return super().omit(target)
            c = dict(target["x"])
            if mode == "clear":
                target.clear()
            elif mode == "replace":
                for k in list(target):
                    target[k] = {"s": "other"}
            elif mode == "grow":  # resized: its entries move
                for i in range(2000):
                    target["k%d" % i] = {"s": str(i)}
            elif mode == "drop":  # the held container loses every other reference
                del target
                doc["r"]["a"] = None
                doc.clear()
                gc.collect()
            elif mode == "finaliser":
                target["fin"] = Gone()
                del target["fin"]
            elif mode == "thread":
                def other():
                    for i in range(300):
                        target["k%d" % i] = dict(c)
                t = threading.Thread(target=other)
                t.start()
                try:
                    return super().omit(c)
                finally:
                    t.join()
            elif mode == "member":
                target["x"].clear()
                target["x"].update({"s": "secret", "t": "t1"})
            return super().omit(c)

    kw = {"paths": ["$.r.a.x.s"]} if base is RuleOmitter else {"paths": ["$.r.a.x.t"]}
    return base.omit(C(["zz"], **kw), doc)

for base in (RuleOmitter, RuleNoTrustOmitter):
    for mode in ["clear", "replace", "grow", "drop", "finaliser", "thread", "member", "none"]:
        out = run(mode, base)
        # Where the held container still holds the member the copy was made of, the copy is placed.
        if mode in ("grow", "drop", "finaliser", "thread", "none"):
            assert "secret" not in repr(out), (base, mode, out)
print("checked")
'''


def test_a_held_container_changed_or_let_go_before_super_is_read_safely():
    done = run_script(MUTATE_SCRIPT)
    assert done.returncode == 0 and done.stdout.strip() == "checked", done.stderr[-3000:]
