"""A second review of where a walk goes when it cannot tell which place of a
document it belongs to (a super() on a copy, from a helper, a lambda, a
generator, a closure, a worker thread, a weakref callback; a call of its
own while an override holds a container), against hand_off_model_2.py. What
matters first: no value a path or a key hides shows more than its policy
lets it; then no crash and no lost memory; then the exact answer wherever
no override is pending or super() lands on the container it was handed."""

import copy
import gc
import sys
import threading
import weakref
from concurrent.futures import ThreadPoolExecutor

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from hand_off_model_2 import Model, leaks
from test_review_hand_offs import _helper as _super_omit
from test_review_hand_offs import _helper_recurse as _super_recurse
from test_review_hand_offs import run_script
from velmora.rules import RuleOmitter


def shaped(shape):
    """An override of `shape` for every dict (and list) it is handed: each hands back what a super() walked."""

    class Shaped(RuleOmitter):
        def omit(self, target):
            if shape == "direct":
                return super().omit(target)
            if shape == "copy":
                return super().omit(dict(target))
            if shape == "helper":
                return _super_omit(self, Shaped, dict(target))
            if shape == "lambda":
                return (lambda t: super(Shaped, self).omit(t))(dict(target))
            if shape == "generator":
                return next(super(Shaped, self).omit(t) for t in [dict(target)])
            if shape == "closure":
                later = [lambda: super(Shaped, self).omit(dict(target))]
                return later.pop()()
            if shape == "thread":
                with ThreadPoolExecutor(1) as ex:
                    return ex.submit(super().omit, dict(target)).result()
            if shape == "weakref":
                class Gone:
                    pass

                box, gone = [], Gone()
                ref = weakref.ref(gone, lambda _: box.append(super(Shaped, self).omit(dict(target))))
                del gone
                assert ref() is None
                return box[0]
            if shape == "finaliser":
                box = []

                class Dying:
                    def __del__(_):
                        box.append(super(Shaped, self).omit(dict(target)))

                Dying()
                gc.collect()
                return box[0]
            if shape == "nested":  # an override of an override, the inner one copying in a helper
                return Inner.omit(self, target)
            raise AssertionError(shape)

        def omit_recurse(self, target, do=True):
            if shape == "direct":
                return super().omit_recurse(target, do)
            if shape in ("copy", "thread", "weakref", "finaliser"):
                return super().omit_recurse(list(target), do)
            return _super_recurse(self, Shaped, list(target), do)

    class Inner(Shaped):
        pass

    if shape == "nested":
        Inner.omit = lambda self, target: _super_omit(self, Shaped, dict(target))
    return Shaped


SHAPES = ["direct", "copy", "helper", "lambda", "generator", "closure", "thread", "weakref"]

# ---- generated documents, paths and policies --------------------------------------------------

NAMES = ["a", "s", "n", "k", "l"]
scalars = st.one_of(st.sampled_from(["secret", "tok3n", "x"]), st.integers(1, 99999), st.booleans(), st.none())
docs = st.recursive(scalars, lambda inner: st.one_of(
    st.dictionaries(st.sampled_from(NAMES), inner, max_size=4), st.lists(inner, max_size=3)), max_leaves=14)
top_docs = st.dictionaries(st.sampled_from(NAMES), docs, max_size=4)
PATHS = ["$.a", "$.a.s", "$..n", "$.l[0]", "$.*.s", "$..a.k", "$.s", "$.a.*"]
paths = st.lists(st.sampled_from(PATHS), min_size=1, max_size=3, unique=True)
# one policy shared by every path that has one: no selection shows more than another
one_policy = st.sampled_from([{}, {"mask": "[p]"}, {"keep_last": 2}, {"numbers": "digits"}, {"booleans": "string"}])


def config(ps, policy, keys, numbers, booleans):
    pol = {p: dict(policy) for p in ps[:1]} if policy else {}
    return dict(paths=ps, policies=pol, numbers=numbers, booleans=booleans), keys


def omitter(cls, kw, keys):
    return cls(keys, **kw)


@settings(max_examples=80, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(top_docs, paths, one_policy, st.lists(st.sampled_from(["k", "s"]), max_size=1),
       st.sampled_from(["zero", "digits", "keep"]), st.sampled_from(["false", "keep"]))
def test_no_override_hides_what_the_model_hides_and_nothing_else(doc, ps, policy, keys, numbers, booleans):
    """The plain walk against the model: nothing hidden shows more than its policy lets it, and what the model
    leaves alone comes back as it was."""
    kw, keys = config(ps, policy, keys, numbers, booleans)
    model = Model(keys, **kw)
    out = RuleOmitter(keys, **kw).omit(copy.deepcopy(doc))
    assert leaks(model, doc, out) == []
    hidden = model.hidden(doc)

    def same(a, b, where):
        if type(a) in (dict, list):
            assert type(b) is type(a) and len(a) == len(b)
            for k in (a if type(a) is dict else range(len(a))):
                same(a[k], b[k], where + (("m" if type(a) is dict else "i", k),))
        elif where not in hidden:
            assert type(a) is type(b) and a == b, where

    same(doc, out, ())


@settings(max_examples=100, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(top_docs, paths, one_policy, st.lists(st.sampled_from(["k", "s"]), max_size=1),
       st.sampled_from(["zero", "digits"]), st.sampled_from(["false", "string"]), st.sampled_from(SHAPES))
def test_overrides_that_cannot_tell_their_place_hide_at_least_the_models(doc, ps, policy, keys, numbers,
                                                                          booleans, shape):
    """Every shape of override, under paths whose policies show no more than one another: nothing leaks; an
    override whose super() lands on the container it was handed answers exactly as the plain walk."""
    kw, keys = config(ps, policy, keys, numbers, booleans)
    out = omitter(shaped(shape), kw, keys).omit(copy.deepcopy(doc))
    assert leaks(Model(keys, **kw), doc, out) == []
    if shape == "direct":
        assert out == RuleOmitter(keys, **kw).omit(copy.deepcopy(doc))


# ---- policies that show different amounts -----------------------------------------------------

# A copy walked at its place joined with its root takes the paths of both: a path from the root that ends
# at a member of the copy brings its own policy, which could replace the one of the subtree the place selects,
# or that of a path from the place that ends at the same member.
INSIDE = [
    # $.a hides numbers (the omitter's zero); $.n, from the copy's root, keeps them
    (["$.a", "$.n"], {"$.n": {"numbers": "keep"}}, {"a": {"n": 12345}}),
    # $.a hides booleans; $.b keeps them
    (["$.a", "$.b"], {"$.b": {"booleans": "keep"}}, {"a": {"b": True}}),
    # $.a hides the whole str; $.s keeps its last four characters
    (["$.a", "$.s"], {"$.s": {"keep_last": 4}}, {"a": {"s": "secretvalue", "n": 7}}),
    # $.a a fixed mask; $..s, from anywhere, the last two characters
    (["$..s", "$.a"], {"$..s": {"keep_last": 2}, "$.a": {"mask": "[a]"}}, {"a": {"s": "secretvalue"}}),
]
BESIDE = [
    # $.a.s a fixed mask; $.s, listed first, keeps the last three characters
    (["$.s", "$.a.s"], {"$.s": {"keep_last": 3}, "$.a.s": {"mask": "X"}}, {"a": {"s": "secretvalue"}}),
    # $.a.n the omitter's zero; $.n, listed first, keeps numbers
    (["$.n", "$.a.n"], {"$.n": {"numbers": "keep"}}, {"a": {"n": 12345}}),
    # inside $.a, which shows numbers but no character of a str; $.s shows the last four characters and no
    # number: no policy of the plan shows no more than both
    (["$.a", "$.s"], {"$.a": {"mask": "[a]", "numbers": "keep"}, "$.s": {"keep_last": 4}},
     {"a": {"s": "secretvalue"}}),
]
CANNOT_TELL = ["copy", "helper", "thread", "generator"]


def _walk_weaker(ps, pol, doc, shape):
    kw = dict(paths=ps, policies=pol, numbers="zero", booleans="false")
    out = shaped(shape)(**kw).omit(copy.deepcopy(doc))
    return leaks(Model(**kw), doc, out)


@pytest.mark.parametrize("ps, pol, doc", INSIDE + BESIDE)
def test_policies_of_other_paths_do_not_reach_a_container_walked_at_its_place(ps, pol, doc):
    """super() on the container it was handed: no leak, and exactly the plain walk's answer, the policies of
    paths that end inside a selected subtree kept."""
    assert _walk_weaker(ps, pol, doc, "direct") == []
    kw = dict(paths=ps, policies=pol, numbers="zero", booleans="false")
    nested = {"top": copy.deepcopy(doc), **copy.deepcopy(doc)}
    assert shaped("direct")(**kw).omit(copy.deepcopy(nested)) == RuleOmitter(**kw).omit(copy.deepcopy(nested))


@pytest.mark.parametrize("ps, pol, doc", INSIDE)
@pytest.mark.parametrize("shape", CANNOT_TELL)
def test_a_copy_of_a_selected_container_keeps_its_selections_policy(ps, pol, doc, shape):
    assert _walk_weaker(ps, pol, doc, shape) == []


SHOWING = st.sampled_from([{"keep_last": 1}, {"keep_last": 3}, {"numbers": "keep"}, {"numbers": "digits"},
                           {"booleans": "keep"}, {"keep_last": 2, "numbers": "keep", "booleans": "keep"}])


@settings(max_examples=80, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.dictionaries(st.sampled_from(NAMES), docs, min_size=1, max_size=4),
       st.lists(st.sampled_from(["$.s", "$.n", "$..n", "$.k", "$.*.s", "$..l[0]", "$.a.s"]), max_size=3, unique=True),
       st.lists(SHOWING, min_size=4, max_size=4), st.sampled_from(CANNOT_TELL))
def test_generated_copies_of_a_selected_container_keep_its_policy(inner, others, shows, shape):
    """$.a selects a container whole (by the omitter's own policy, or one that shows more); other paths, with
    policies that show more, may end inside a copy of it. The omitter's own policy shows no more than any of
    them, so a copy walked where it cannot tell hides at least what $.a hides."""
    ps = ["$.a"] + [p for p in others if p != "$.a"]
    pol = {p: show for p, show in zip(ps[1:], shows[1:])}
    if shows[0].get("numbers") != "keep" and shows[0].get("booleans") != "keep":
        pol["$.a"] = shows[0]
    kw = dict(paths=ps, policies=pol, numbers="zero", booleans="false")
    doc = {"a": inner}
    out = shaped(shape)(**kw).omit(copy.deepcopy(doc))
    assert leaks(Model(**kw), doc, out) == []


@pytest.mark.parametrize("ps, pol, doc", BESIDE)
@pytest.mark.parametrize("shape", CANNOT_TELL)
def test_a_member_selected_from_the_place_and_the_root_keeps_the_places_policy(ps, pol, doc, shape):
    assert _walk_weaker(ps, pol, doc, shape) == []


# A key rule hides a value by the omitter's own policy; a path of the copy's root that selects it there (or a
# container above it) brings a policy that shows more.
KEYED = [
    (["s"], dict(paths=["$.s"], policies={"$.s": {"numbers": "keep"}}, numbers="zero"), {"a": {"s": 12345}}),
    (["k"], dict(paths=["$.n"], policies={"$.n": {"booleans": "keep"}}, booleans="false"), {"a": {"n": {"k": True}}}),
    (["k"], dict(paths=["$.n"], policies={"$.n": {"keep_last": 3}}), {"a": {"n": {"k": "secretvalue"}}}),
]


@pytest.mark.parametrize("keys, kw, doc", KEYED)
def test_a_key_rules_policy_holds_where_super_lands_on_the_container(keys, kw, doc):
    out = shaped("direct")(keys, **kw).omit(copy.deepcopy(doc))
    assert leaks(Model(keys, **kw), doc, out) == []
    assert out == RuleOmitter(keys, **kw).omit(copy.deepcopy(doc))


@pytest.mark.parametrize("keys, kw, doc", KEYED)
@pytest.mark.parametrize("shape", CANNOT_TELL)
def test_a_key_rules_policy_holds_in_a_copy_walked_where_it_cannot_tell(keys, kw, doc, shape):
    try:
        out = shaped(shape)(keys, **kw).omit(copy.deepcopy(doc))
    except RuntimeError as e:
        assert "cannot be joined" in str(e)
        return
    assert leaks(Model(keys, **kw), doc, out) == []


# A fixed text shows nothing of a value; the omitter's zero and false leave a 0 or a False as it was. A walk
# that cannot tell its place must not take them for a policy that shows no more than a fixed text.
FIXED_TEXT = [
    (["$..n"], dict(policies={"$..n": {"booleans": "string"}}, booleans="false"), {"n": [False], "a": {"n": False}}),
    (["$..n"], dict(policies={"$..n": {"numbers": "string"}}, numbers="zero"), {"n": [0], "a": {"n": 0}}),
]


@pytest.mark.parametrize("ps, kw, doc", FIXED_TEXT)
@pytest.mark.parametrize("shape", CANNOT_TELL)
def test_a_copy_walked_where_it_cannot_tell_keeps_a_fixed_text(ps, kw, doc, shape):
    kw = dict(paths=ps, **kw)
    out = shaped(shape)(**kw).omit(copy.deepcopy(doc))
    assert leaks(Model(**kw), doc, out) == []


NO_COVER = [
    (["$.a", "$.s"], {"$.a": {"mask": "[a]", "numbers": "keep"}, "$.s": {"keep_last": 4}}),
    # the omitter's own policy (stars, zero) and $.a's (a fixed mask, numbers kept)
    (["$.b", "$.a"], {"$.a": {"mask": "[a]", "numbers": "keep"}}),
]


@pytest.mark.parametrize("ps, pol", NO_COVER)
@pytest.mark.parametrize("shape", CANNOT_TELL)
def test_a_walk_that_cannot_tell_its_place_masks_by_the_least_of_each_policy(ps, pol, shape):
    """No policy of the plan shows no more than every other: a copy walked where it cannot tell its place
    masks each kind of value by the policy that shows least of it (a str by $.a's fixed text, a number by
    the omitter's zero); a super() on the container itself is walked exactly."""
    kw = dict(paths=ps, policies=pol, numbers="zero")
    doc = {"a": {"s": "secretvalue", "n": 12345}, "s": "topsecret", "b": 7}
    out = shaped(shape)(**kw).omit(copy.deepcopy(doc))
    assert leaks(Model(**kw), doc, out) == []
    assert out["a"] == {"s": "[a]", "n": 0}
    assert shaped("direct")(**kw).omit(copy.deepcopy(doc)) == RuleOmitter(**kw).omit(copy.deepcopy(doc))


GEN_PATHS = ["$.s", "$.a.s", "$.n", "$.a.n", "$..b", "$.a.b", "$.a", "$.*.s"]
GEN_POLICIES = [{"keep_last": 2}, {"mask": "[p]"}, {"numbers": "keep"}, {"numbers": "digits"},
                {"numbers": "string"}, {"booleans": "keep"}, {"booleans": "string"}, {"numbers": "zero"}]
GEN_DOCS = st.fixed_dictionaries({}, optional={
    "s": st.sampled_from(["secretvalue", "topsecret"]), "n": st.sampled_from([12345, -7]),
    "b": st.booleans()})


@settings(max_examples=80, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.sampled_from(["s", "n", "b"]), st.lists(st.sampled_from(GEN_PATHS), max_size=2, unique=True), st.data(),
       st.sampled_from([[], ["s"], ["n"]]), st.sampled_from(["zero", "digits", "string"]),
       st.sampled_from(["false", "string"]), st.sampled_from(CANNOT_TELL))
def test_generated_copies_walked_where_they_cannot_tell_show_no_more_than_the_exact_place(
        name, others, data, keys, numbers, booleans, shape):
    """A path of the copy's root with a policy of its own (which the root of the copy's place does not select),
    others of either, and key rules: the copy's walk shows no more of any value than the exact walk of its
    place."""
    ps = ["$." + name] + [p for p in others + ["$.a." + name] if p != "$." + name]
    pol = {ps[0]: data.draw(st.sampled_from(GEN_POLICIES))}
    pol.update({p: data.draw(st.sampled_from(GEN_POLICIES)) for p in data.draw(st.lists(st.sampled_from(ps[1:]),
                                                                                        unique=True))})
    inner = data.draw(GEN_DOCS)
    doc = {"a": inner}
    kw = dict(paths=ps, policies=pol, numbers=numbers, booleans=booleans)
    out = shaped(shape)(keys, **kw).omit(copy.deepcopy(doc))
    assert leaks(Model(keys, **kw), doc, out) == []


@pytest.mark.parametrize("keys, kw, doc", KEYED + [([], dict(paths=ps, policies=pol), doc) for ps, pol, doc in BESIDE])
@pytest.mark.parametrize("shape", ["copy", "helper"])
def test_redacted_through_a_copy_shows_no_more_than_the_exact_place(keys, kw, doc, shape):
    from velmora.redact import redacted

    kw = dict(kw, numbers=kw.get("numbers", "zero"))
    original = copy.deepcopy(doc)
    out = redacted(shaped(shape)(keys, **kw), doc)
    assert doc == original
    assert leaks(Model(keys, **kw), original, out) == []


# ---- a super() on a copy of a member, stored at the member's place ----------------------------

class Members(RuleOmitter):
    """Walks a copy of each dict member itself, stores it back and returns the container."""

    def omit(self, target):
        if any(type(v) is dict for v in target.values()):
            for k, v in list(target.items()):
                if type(v) is dict:
                    target[k] = super().omit(dict(v))
            return target
        return super().omit(target)


@pytest.mark.xfail(strict=True, reason="the root a Python-level call of the override is given was handed off by "
                                       "no walk: a copy of its member is walked as a document of its own")
@pytest.mark.parametrize("ps", [["$.a.x.s"], ["$.a.*.s"], ["$.l[0].x.s"]])
def test_a_copy_of_a_member_walked_by_super_hides_what_its_place_selects(ps):
    doc = {"a": {"x": {"s": "secret"}}, "l": [{"x": {"s": "secret"}}]}
    kw = dict(paths=ps)
    out = Members(**kw).omit(copy.deepcopy(doc))
    assert leaks(Model(**kw), doc, out) == []


# ---- a plan replaced mid-walk, failures, memory -------------------------------------------------

class Reinit(RuleOmitter):
    """Re-runs __init__ (paths that select nothing here) in the override, then walks a copy from a helper."""

    def omit(self, target):
        if "s" in target:
            self.__init__(paths=["$.zz"])
            return _super_omit(self, Reinit, dict(target))
        return super().omit(target)


def test_a_plan_replaced_mid_walk_fails_rather_than_follow_the_new_one():
    doc = {"a": {"s": "secret", "n": 5}}
    o = Reinit(paths=["$.a.s"])
    try:
        out = o.omit(copy.deepcopy(doc))
    except RuntimeError:
        out = None
    if out is not None:
        assert leaks(Model(paths=["$.a.s"]), doc, out) == []
    # nothing is left pending: a plain call of the new plan is exact
    assert RuleOmitter.omit(o, {"zz": "v", "a": {"t": "kept"}}) == {"zz": "*", "a": {"t": "kept"}}


class Refused(RuleOmitter):
    """Two policies no slot covers, both pending at once; the walk that cannot tell is refused."""

    def omit(self, target):
        if "inner" in target:
            return _super_omit(self, Refused, dict(target))
        return super().omit(target)


def _refused_once(o):
    try:
        o.omit({"a": {"b": {"inner": 1, "s": "secret", "n": 7}}})
    except RuntimeError:
        return True
    return False


def test_refused_and_raising_walks_leave_nothing_pending_and_lose_no_memory():
    o = Refused(paths=["$.a", "$.a.b"], policies={"$.a": {"mask": "[a]"}, "$.a.b": {"numbers": "keep"}},
                numbers="zero")
    refused = _refused_once(o)
    for _ in range(30):
        _refused_once(o)
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(300):
        _refused_once(o)
    gc.collect()
    assert sys.getallocatedblocks() - before < 100
    # after the failures no hand-off is left recorded: a walk of a fresh document is exact
    plain = RuleOmitter(paths=["$.a", "$.a.b"], policies={"$.a": {"mask": "[a]"}, "$.a.b": {"numbers": "keep"}},
                        numbers="zero")
    doc = {"s": "top", "a": {"s": "in", "n": 3}}
    assert RuleOmitter.omit(o, copy.deepcopy(doc)) == plain.omit(copy.deepcopy(doc))
    if not refused:
        out = o.omit({"a": {"b": {"inner": 1, "s": "secret", "n": 7}}})
        assert out["a"]["b"]["s"] != "secret"


class Raises(RuleOmitter):
    def omit(self, target):
        if "boom" in target:
            _super_omit(self, Raises, dict(target))
            raise KeyError("boom")
        return super().omit(target)


def test_an_override_that_raises_leaves_later_calls_exact():
    o = Raises(paths=["$.s"])
    for _ in range(5):
        with pytest.raises(KeyError):
            o.omit({"x": {"boom": 1, "s": "v"}})
    # a document whose only candidate place would be the root: $.x.s is not selected
    assert o.omit({"x": {"s": "v"}, "s": "top"}) == {"x": {"s": "v"}, "s": "***"}


# ---- hostile keys and a __class__ property, in a child --------------------------------------------

def test_hostile_keys_and_class_properties_that_walk_mid_walk_neither_crash_nor_leak():
    done = run_script("""
        import copy, sys
        sys.path.insert(0, "tests")
        from hand_off_model_2 import Model, leaks
        from velmora.rules import RuleOmitter

        def helper(o, cls, t):
            return super(cls, o).omit(t)

        class O(RuleOmitter):
            def omit(self, target):
                return helper(self, O, dict(target))

        o = O(paths=["$.a.s", "$..n"], numbers="zero")

        class Key(str):
            def __hash__(self):
                o.omit({"s": "own", "a": {"s": "x"}})   # a call of its own mid-walk
                return 7
            def __eq__(self, other):
                o.omit({"n": 1})
                return self is other

        class Cls:
            @property
            def __class__(self):
                o.omit({"a": {"s": "in class"}})
                return dict

        for i in range(50):
            doc = {"a": {"s": "secret", Key("q"): 5, "c": Cls(), "n": 5}, "l": [{"n": 9}]}
            before = {"a": {"s": "secret", "n": 5}, "l": [{"n": 9}]}
            out = o.omit(doc)
            bad = leaks(Model(paths=["$.a.s", "$..n"], numbers="zero"), before, out)
            assert bad == [], bad
        print("ok")
    """)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.split() == ["ok"]


def test_a_fork_while_a_helper_walks_a_copy_leaves_the_child_walking():
    done = run_script("""
        import os
        from velmora.rules import RuleOmitter

        def helper(o, cls, t):
            return super(cls, o).omit(t)

        class F(RuleOmitter):
            def omit(self, target):
                if "fork" in target:
                    pid = os.fork()
                    if pid == 0:
                        out = helper(self, F, dict(target))
                        fresh = RuleOmitter.omit(self, {"s": "x", "a": {"s": "y"}})
                        print("child", out["s"], fresh["a"]["s"], flush=True)
                        os._exit(0)
                    os.waitpid(pid, 0)
                return helper(self, F, dict(target))

        o = F(paths=["$.a.s"])
        print("parent", o.omit({"a": {"fork": 1, "s": "secret"}})["a"]["s"])
    """)
    assert done.returncode == 0, done.stderr[-3000:]
    lines = sorted(done.stdout.split("\n"))
    assert "parent ******" in lines
    # in the child the override's hand-off is still in progress: the copy hides $.a.s, and a fresh document
    # (which cannot tell) hides its root's $.a.s too
    assert "child ****** *" in lines, lines


def test_worker_threads_calling_on_their_own_while_overrides_hold_containers_never_leak():
    """Threads run independent calls on one omitter whose override walks copies through a helper: whatever
    the timing, no result shows a path-selected value."""
    kw = dict(paths=["$.a.s", "$.s"], policies={"$.a.s": {"keep_last": 1}, "$.s": {"keep_last": 1}})
    o = shaped("helper")(**kw)
    model = Model(**kw)
    bad, errors = [], []

    def run(i):
        for j in range(40):
            doc = {"a": {"s": f"secret{i}{j}", "x": {"s": "deep"}}, "s": f"top{i}{j}"}
            try:
                out = o.omit(copy.deepcopy(doc))
            except RuntimeError as e:
                errors.append(e)
                continue
            bad.extend(leaks(model, doc, out))

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads)
    assert bad == []
    assert all("cannot be joined" in str(e) for e in errors)


# ---- redacted() with overrides --------------------------------------------------------------------

@settings(max_examples=60, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(top_docs, paths, one_policy, st.sampled_from(["zero", "digits"]), st.sampled_from(SHAPES))
def test_redacted_through_overrides_leaves_the_document_and_leaks_nothing(doc, ps, policy, numbers, shape):
    from velmora.redact import redacted

    kw, keys = config(ps, policy, [], numbers, "false")
    original = copy.deepcopy(doc)
    try:
        out = redacted(omitter(shaped(shape), kw, keys), doc)
    except RuntimeError as e:
        assert "cannot be joined" in str(e)
        out = None
    assert doc == original
    if out is not None:
        assert leaks(Model(keys, **kw), original, out) == []


@pytest.mark.parametrize("ps, pol, doc", INSIDE)
@pytest.mark.parametrize("shape", ["copy", "helper"])
def test_redacted_keeps_a_selections_policy_through_a_copy(ps, pol, doc, shape):
    from velmora.redact import redacted

    kw = dict(paths=ps, policies=pol, numbers="zero", booleans="false")
    original = copy.deepcopy(doc)
    out = redacted(shaped(shape)(**kw), doc)
    assert doc == original
    assert leaks(Model(**kw), original, out) == []
