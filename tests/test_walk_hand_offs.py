"""Where a container handed to an override is walked when the override's
super() comes back: by the thread's own record of the hand-off when two
threads hand the same container off at once, by a place that hides what
every candidate hides when only other threads' records match, at the
override's place for a copy it makes, after fork() in a child; and what
redacted() follows when it starts again. Against plan_walk_model.py."""

import copy
import itertools
import os
import subprocess
import sys
import textwrap
import threading
import weakref

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from path_model import Config
from plan_walk_model import PlanWalkModel
from velmora.rules import RuleNoTrustOmitter, RuleOmitter

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WAIT = 120  # a hang shows as a failure, never a timing


def run_script(script):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          timeout=600, cwd=ROOT)


def shared_doc():
    return {"s": "secret", "n": 12345, "t": True, "in": {"s": "deep", "n": -7, "l": ["x", 3]}}


def make(cfg):
    if cfg.trusting:
        return RuleNoTrustOmitter(cfg.keys, paths=cfg.paths, numbers=cfg.numbers, booleans=cfg.booleans)
    return RuleOmitter(cfg.keys, **cfg.kwargs())


def turns_omitter(cfg, shared, threads, order, hop):
    """An omitter whose override, for `shared`, waits until every thread has handed it off, then lets the
    threads' super() calls run one at a time in `order` (on a fresh thread each when `hop`), each followed by a
    snapshot of `shared`."""
    base = RuleNoTrustOmitter if cfg.trusting else RuleOmitter
    all_in = threading.Barrier(threads)
    turn = [threading.Event() for _ in range(threads + 1)]
    snapshots = []

    class Turns(base):
        def omit(self, target):
            if target is not shared:
                return super().omit(target)
            me = int(threading.current_thread().name)
            all_in.wait(WAIT)
            if order[0] == me:
                turn[0].set()
            step = order.index(me)
            assert turn[step].wait(WAIT)
            try:
                if hop:
                    box = []

                    def work():
                        try:
                            box.append(super(Turns, self).omit(target))
                        except RuntimeError as e:
                            box.append(e)
                    worker = threading.Thread(target=work)
                    worker.start()
                    worker.join()
                    if isinstance(box[0], RuntimeError):
                        raise box[0]
                    out = box[0]
                else:
                    out = super().omit(target)
                snapshots.append(copy.deepcopy(target))
            finally:
                turn[step + 1].set()
            return out

    if cfg.trusting:
        return Turns(cfg.keys, paths=cfg.paths, numbers=cfg.numbers, booleans=cfg.booleans), snapshots
    return Turns(cfg.keys, **cfg.kwargs()), snapshots


def run_threads(o, keys, shared):
    errors = []

    def call(i):
        try:
            o.omit({keys[i]: shared, "k": "x"})
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=call, args=(i,), name=str(i)) for i in range(len(keys))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors


PATHS = ["$.a", "$.b.s", "$..n", "$.c.in", "$.a.in.l[1]", "$.*.t"]


@st.composite
def configs(draw):
    trusting = draw(st.booleans())
    cfg = Config(trusting=trusting, keys=["q"] if trusting else draw(st.sampled_from([[], ["s"]])))
    cfg.paths = draw(st.lists(st.sampled_from(PATHS), min_size=1, max_size=3, unique=True))
    cfg.numbers = draw(st.sampled_from(["keep", "zero", "digits", "string"]))
    cfg.booleans = draw(st.sampled_from(["keep", "false", "string"]))
    if not trusting:
        for rule in draw(st.lists(st.sampled_from(cfg.paths), max_size=2, unique=True)):
            cfg.policies[rule] = draw(st.sampled_from([{"mask": "[p]"}, {"keep_last": 2}, {"numbers": "zero"}]))
    return cfg


@settings(max_examples=40, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(configs(), st.lists(st.sampled_from(["a", "b", "c", "d"]), min_size=2, max_size=3), st.data())
def test_threads_handing_off_one_container_walk_it_at_their_own_places(cfg, keys, data):
    """Threads each hand the same container off at their own place and run super() in a generated order, all
    of the hand-offs recorded meanwhile: after each super() the container hides at least what the model hides
    of it at that thread's place and at the places before it. (A thread's own call may begin while another
    thread's hand-off is in progress: it cannot tell that from a super() on a copy, and hides more.)"""
    order = data.draw(st.permutations(range(len(keys))))
    shared = shared_doc()
    o, snapshots = turns_omitter(cfg, shared, len(keys), order, hop=False)
    run_threads(o, keys, shared)
    assert len(snapshots) == len(keys)
    must = set()
    for i, snapshot in zip(order, snapshots):
        must |= hides(cfg, keys[i])
        assert must <= changed(shared_doc(), snapshot), (keys[i], snapshot)


def flat(d, where=()):
    """The scalars of a document by where they stand."""
    out = {}
    for k, v in (d.items() if isinstance(d, dict) else enumerate(d)):
        if isinstance(v, (dict, list)):
            out.update(flat(v, where + (k,)))
        else:
            out[where + (k,)] = v
    return out


def changed(before, after):
    before, after = flat(before), flat(after)
    return {p for p in before if before[p] != after[p] or type(before[p]) is not type(after[p])}


def hides(cfg, key):
    """What the model hides of the shared container at `key`: the (path, value) pairs it changes."""
    return changed(shared_doc(), PlanWalkModel(cfg)._dict(shared_doc(), [("m", key)]))


@settings(max_examples=30, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(configs(), st.lists(st.sampled_from(["a", "b", "c", "d"]), min_size=2, max_size=3), st.data())
def test_a_thread_with_no_record_of_its_own_hides_what_every_candidate_hides(cfg, keys, data):
    """super() run on a fresh thread (which handed nothing off) while several threads' hand-offs of the same
    container are recorded: one place, or several that agree, give theirs, places that differ one that hides
    at least what each of them hides, either joined with the container's own root (the walk may be a call of
    its own); or the walk fails, never a place that hides less."""
    order = data.draw(st.permutations(range(len(keys))))
    shared = shared_doc()
    first = order[0]
    o, snapshots = turns_omitter(cfg, shared, len(keys), order, hop=True)
    try:
        run_threads(o, keys, shared)
    except AssertionError as failed:
        assert "cannot be joined" in str(failed), failed
        assert len(set(keys)) > 1
        return
    # the first super() runs with every thread's record there: what it hides covers each candidate's
    walked = snapshots[0]
    for key in set(keys):
        assert hides(cfg, key) <= changed(shared_doc(), walked), (key, walked)
    assert changed(shared_doc(), PlanWalkModel(cfg)._dict(shared_doc(), [])) <= changed(shared_doc(), walked)
    assert hides(cfg, keys[first]) <= changed(shared_doc(), walked)


def test_places_no_policy_covers_are_walked_by_the_least_of_each_policy():
    """One place's policy shows numbers, the other's the length of a str: no slot hides all both hide. The
    super() that cannot tell them apart masks by what shows least of each kind (the fixed text, zero), on the
    first walk and on the second, whose other thread's record is still there."""
    cfg = Config(paths=["$.a", "$.b"], policies={"$.a": {"mask": "[a]"}, "$.b": {"numbers": "zero"}})
    shared = shared_doc()
    o, snapshots = turns_omitter(cfg, shared, 2, [0, 1], hop=True)
    run_threads(o, ["a", "b"], shared)
    assert snapshots[0] == {"s": "[a]", "n": 0, "t": True, "in": {"s": "[a]", "n": 0, "l": ["[a]", 0]}}
    assert snapshots[1] == snapshots[0]


# ---- super() on what the override made -------------------------------------------------------

class Copies(RuleOmitter):
    """super() on a copy, or `RuleOmitter.omit` on a document the override makes, straight from the override's
    frame."""

    how = "copy"

    def omit(self, target):
        if self.how == "copy":
            return super().omit(dict(target))
        return RuleOmitter.omit(self, {"b": "fresh", **target})

    def omit_recurse(self, target, do=True):
        return super().omit_recurse(list(target), do)


@pytest.mark.parametrize("how, expected", [
    ("copy", {"x": {"a": {"b": "******", "c": "v"}, "l": ["*", "y"]}}),
    # a document the override makes, walked from its frame: what its root hides ($.b) and what the place of
    # the override's container hides ($.x.a.b, $.x.l[0])
    ("fresh", {"x": {"b": "*****", "a": {"b": "******", "c": "v"}, "l": ["*", "y"]}}),
])
def test_super_on_what_the_override_made_walks_at_its_place(how, expected):
    o = Copies(paths=["$.x.a.b", "$.x.l[0]", "$.b"])
    o.how = how
    out = RuleOmitter.omit(o, {"x": {"a": {"b": "secret", "c": "v"}, "l": ["s", "y"]}})
    assert out == expected


class OwnCall(RuleOmitter):
    """An independent call through the override's own entry, from inside the override."""

    seen: list

    def omit(self, target):
        if "go" in target:
            self.seen.append(self.omit({"b": "top", "a": {"b": "deep"}}))
        return super().omit(target)


def test_an_own_call_through_the_entry_inside_an_override_starts_at_its_root():
    o = OwnCall(paths=["$.b", "$.a.b"])
    o.seen = []
    out = o.omit({"a": {"go": 1, "b": "secret"}})
    assert out == {"a": {"go": 1, "b": "******"}}
    assert o.seen == [{"b": "***", "a": {"b": "****"}}]


# ---- fork() -------------------------------------------------------------------------------

def test_a_child_forked_by_a_thread_inside_an_override_keeps_its_own_place():
    """The forking thread's own hand-off stays: super() in the child walks at its place."""
    done = run_script("""
        import os
        from velmora.rules import RuleOmitter

        class Forks(RuleOmitter):
            def omit(self, target):
                if "fork" in target:
                    pid = os.fork()
                    if pid == 0:
                        print(super().omit(target), flush=True)
                        os._exit(0)
                    os.waitpid(pid, 0)
                return super().omit(target)

        print(Forks(paths=["$.a.s"]).omit({"a": {"fork": 1, "s": "secret"}, "s": "top"}))
    """)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.splitlines() == ["{'fork': 1, 's': '******'}", "{'a': {'fork': 1, 's': '******'}, 's': 'top'}"]


# ---- redacted() starting again --------------------------------------------------------------

@pytest.mark.parametrize("trusting", [False, True])
def test_redacted_follows_one_plan_across_attempts(trusting):
    """__init__ mid-walk takes the paths away and changes the data, so redacted() starts again: the new
    attempt still follows the paths of the call."""
    from velmora.redact import redacted

    class Reinit:
        def __init__(self, o, doc, args, kwargs):
            self.__dict__.update(o=o, doc=doc, args=args, kwargs=kwargs, done=False)

        @property
        def __class__(self):
            d = self.__dict__
            if not d["done"]:
                d["done"] = True
                d["o"].__init__(*d["args"], **d["kwargs"])
                d["doc"]["a"] = {"x": "secret2", "q": "v"}
            return Reinit

    if trusting:
        o = RuleNoTrustOmitter(["k"], paths=["$.a.q"])
        args, kwargs, expected = (["k"],), {}, {"x": "*******", "q": "v"}  # the path trusts q
    else:
        o = RuleOmitter(paths=["$.a"], numbers="zero")
        args, kwargs, expected = (), {"paths": ["$.zz"]}, {"x": "*******", "q": "*"}
    doc = {"a": {"x": "secret"}, "c": None}
    doc["c"] = Reinit(o, doc, args, kwargs)
    assert redacted(o, doc)["a"] == expected
    assert doc["a"] == {"x": "secret2", "q": "v"}


def test_hand_offs_on_many_threads_in_every_order_leave_no_record_behind():
    """Every order of three threads' super() calls; afterwards the container walked from its own root is
    walked as a root."""
    cfg = Config(paths=["$.a", "$.b.in"], numbers="zero")
    for order in itertools.permutations(range(3)):
        shared = shared_doc()
        o, _ = turns_omitter(cfg, shared, 3, list(order), hop=False)
        run_threads(o, ["a", "b", "c"], shared)
        fresh = {"a": "root", "in": {"s": "x"}}
        assert RuleOmitter.omit(o, fresh) == {"a": "****", "in": {"s": "x"}}


# ---- fresh documents walked while an override holds a container --------------------------------

FRESH_NAMES = ["a", "b", "s", "n", "l"]
fresh_scalars = st.one_of(st.sampled_from(["secret", "x", "tok"]), st.integers(-5, 99), st.booleans(), st.none())
fresh_values = st.recursive(fresh_scalars, lambda inner: st.one_of(
    st.dictionaries(st.sampled_from(FRESH_NAMES), inner, max_size=3), st.lists(inner, max_size=3)), max_leaves=8)
fresh_docs = st.dictionaries(st.sampled_from(FRESH_NAMES), fresh_values, max_size=4)
FRESH_PATHS = ["$.a", "$.a.s", "$..n", "$.b.*", "$.l[0]", "$.a.b.s", "$.s", "$.*.l[1]"]


def _fresh_walk_on_a_thread(o, fresh):
    box = []
    worker = threading.Thread(target=lambda: box.append(o.omit(fresh)))
    worker.start()
    worker.join(WAIT)
    return box[0]


def _fresh_walk_by_a_finaliser(o, fresh):
    class Gone:
        pass

    box = []
    gone = Gone()
    ref = weakref.ref(gone, lambda _: box.append(o.omit(fresh)))
    del gone
    assert ref() is None
    return box[0]


FRESH_WALKS = {
    # the base walk straight from the override's frame, or from code it runs
    "frame": None,
    "helper": lambda o, fresh, base: base.omit(o, fresh),
    "closure": lambda o, fresh, base: [lambda: base.omit(o, fresh)].pop()(),
    # a call of its own, through the override's entry
    "own_call": lambda o, fresh, base: o.omit(fresh),
    "thread": lambda o, fresh, base: _fresh_walk_on_a_thread(o, fresh),
    "finaliser": lambda o, fresh, base: _fresh_walk_by_a_finaliser(o, fresh),
}


@settings(max_examples=150, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.booleans(), st.lists(st.sampled_from(FRESH_PATHS), min_size=1, max_size=3, unique=True),
       st.lists(st.sampled_from(["s", "n", "q"]), max_size=2, unique=True),
       st.sampled_from(["keep", "zero", "digits"]), st.sampled_from(["keep", "false"]),
       st.lists(st.sampled_from(["a", "b", "l"]), min_size=1, max_size=3), fresh_docs,
       st.sampled_from(sorted(FRESH_WALKS)))
def test_a_fresh_document_walked_while_an_override_holds_a_container_hides_its_root_and_that_place(
        trusting, ps, keys, numbers, booleans, where, fresh, how):
    """While the override holds a container at `where`, it (or code it runs: a helper, a closure, another
    thread, a finaliser) walks a fresh document: that walk cannot be told from a super() on a copy to be stored
    at `where`, so it hides at least what the fresh document's root hides and what `where` hides of it. Under a
    hiding plan it hides no more than the join of its root and the places in progress (`where` and the
    containers around it)."""
    cfg = Config(trusting=trusting, keys=keys, paths=ps, numbers=numbers, booleans=booleans)
    base = RuleNoTrustOmitter if trusting else RuleOmitter
    held = {"k": "v"}
    seen = []

    class Holds(base):
        def omit(self, target):
            if target is held and not seen:
                document = copy.deepcopy(fresh)
                seen.append(base.omit(self, document) if how == "frame" else FRESH_WALKS[how](self, document, base))
            return super().omit(target)

    doc = held
    for key in reversed(where):
        doc = {key: doc}
    o = Holds(keys, paths=ps, numbers=numbers, booleans=booleans)
    o.omit(doc)
    assert len(seen) == 1
    walked = changed(fresh, seen[0])
    model = PlanWalkModel(cfg)
    place = [("m", key) for key in where]
    at = {k: changed(fresh, model._dict(copy.deepcopy(fresh), place[:k])) for k in range(len(place) + 1)}
    assert at[0] <= walked, "the fresh document's root"
    assert at[len(place)] <= walked, "the place of the container the override holds"
    if not trusting:
        assert walked <= set().union(*at.values())
