"""What one call of a walk under a rule plan follows: the plan its omitter had
when the call began, down to the last level, and for each container the
place it stands at, wherever the walk of that container goes (an override,
super() on another thread); while walks that are calls of their own start at
their own root. And what a hidden value becomes: decided by what must be
stored, never by what object the value is, nor by its key's type."""

import copy
import os
import subprocess
import sys
import textwrap
import threading

import pytest

from path_model import Config
from plan_walk_model import PlanWalkModel
from velmora.redact import redacted
from test_review_walk_plans import Name, PassesOn, TrustPassesOn
from velmora.rules import RuleNoTrustOmitter, RuleOmitter

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class Reinits:
    """A value whose `__class__` (asked by the walk's number test) re-runs the omitter's __init__."""

    def __init__(self, omitter, args, kwargs):
        self.__dict__.update(omitter=omitter, args=args, kwargs=kwargs)

    @property
    def __class__(self):
        self.omitter.__init__(*self.args, **self.kwargs)
        return Reinits


def strip(out):
    """The document without its Reinits values."""
    if isinstance(out, dict):
        return {k: strip(v) for k, v in out.items() if not isinstance(v, Reinits)}
    if isinstance(out, list):
        return [strip(v) for v in out if not isinstance(v, Reinits)]
    return out


# A call without a plan stays without one when __init__ gives its omitter a
# path mid-walk (a path of a trusting omitter trusts, so taken up at a nested
# level as if it were the root, it would let a value out); and a call with a
# plan keeps it, through overrides too, when __init__ takes the paths away.
@pytest.mark.parametrize("cls", [RuleNoTrustOmitter, TrustPassesOn])
@pytest.mark.parametrize("as_list", [False, True])
def test_a_call_without_a_plan_takes_none_up_midway(cls, as_list):
    o = cls(["q"])
    doc = {"c": Reinits(o, (["q"],), {"paths": ["$.x", "$[0].x", "$.a.x"]}), "a": {"x": "secret", "l": ["s"]}}
    out = strip(o.omit_recurse([doc]) if as_list else o.omit(doc))
    inner = (out[0] if as_list else out)["a"]
    assert inner == {"x": "******", "l": ["*"]}


@pytest.mark.parametrize("cls", [RuleOmitter, PassesOn])
@pytest.mark.parametrize("as_list", [False, True])
def test_a_call_with_a_plan_keeps_it_through_overrides(cls, as_list):
    paths = ["$.a", "$[0].a"]
    o = cls(["k"], paths=paths, numbers="zero")
    doc = {"c": Reinits(o, (["k"],), {}), "a": {"x": "secret", "n": 5, "in": {"y": "deep"}, "l": ["s", 3]}}
    out = strip(o.omit_recurse([doc], False) if as_list else o.omit(doc))
    inner = (out[0] if as_list else out)["a"]
    assert inner == {"x": "******", "n": 0, "in": {"y": "****"}, "l": ["*", 0]}


class OwnCalls(RuleOmitter):
    """Overrides whose own code walks a fresh document with the same omitter before super()."""

    seen: list

    def omit(self, target):
        if "x" in target:
            self.seen.append(self.omit({"name": "Ann", "p": {"name": "Bob"}}))
        return super().omit(target)

    def omit_recurse(self, target, do=True):
        if target and target[0] == "x":
            self.seen.append(self.omit_recurse([{"name": "Cy"}, "t"], False))
        return super().omit_recurse(target, do)


def test_an_own_walk_inside_an_override_hides_what_its_root_and_the_places_in_progress_hide():
    o = OwnCalls(paths=["$.name", "$.a.x.p", "$.l[0]", "$[0].name"])
    o.seen = []
    out = o.omit({"a": {"x": {"name": "Dan", "p": {"name": "Eve"}}}, "l": ["x", ["x", "y"]]})
    assert out == {"a": {"x": {"name": "Dan", "p": {"name": "***"}}}, "l": ["*", ["x", "y"]]}
    # the fresh documents cannot be told from copies of what the overrides in progress hold: they hide what
    # their own root selects ($.name, $[0].name) and what those places select. The dict's place, $.a, selects
    # nothing of it; a list's item may be stored at $.l[0], which is selected whole
    assert o.seen[0] == {"name": "***", "p": {"name": "Bob"}}
    assert o.seen[1:] == [[{"name": "**"}, "*"]] * 2


def test_super_called_after_the_hand_off_ended_starts_at_the_root():
    """An override that lets another thread call super() later, when the walk that handed the container
    off is long over: that walk follows the omitter's plan from the container's own root (run in a
    subprocess: a crash is a failure)."""
    script = textwrap.dedent("""
        import threading
        from velmora.rules import RuleOmitter
        later, results = [], []

        class Late(RuleOmitter):
            def omit(self, target):
                if "inner" in target:
                    go = threading.Event()
                    worker = threading.Thread(target=lambda: (go.wait(), results.append(Late.__mro__[1].omit(self, target))))
                    worker.start()
                    later.append((go, worker))
                    return target
                return super().omit(target)

        o = Late(paths=["$.a", "$.inner"], numbers="zero")
        out = o.omit({"a": {"inner": 1, "s": "t"}, "b": 2})
        for go, worker in later:
            go.set()
            worker.join()
        print(out, results)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300, cwd=ROOT)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.strip() == "{'a': {'inner': 0, 's': 't'}, 'b': 2} [{'inner': 0, 's': 't'}]"


def test_threads_resuming_each_others_walks_keep_their_places():
    """super() for each nested container runs on a fresh thread, while other threads walk with the same
    omitter: each container is walked at its own place."""
    results, wrong = [], []

    class Hops(RuleOmitter):
        def omit(self, target):
            out = []
            worker = threading.Thread(target=lambda: out.append(super(Hops, self).omit(target)))
            worker.start()
            worker.join()
            return out[0]

    o = Hops(paths=["$.a.b", "$.c"], numbers="zero")
    doc = {"a": {"b": {"s": "t", "n": 1}, "c": {"s": "u"}}, "c": {"b": {"s": "v"}}, "b": {"s": "w"}}
    # what each place hides; a walk on a thread with no record of its own also hides what its root hides
    # (a.c), and may hide what other threads' places in progress hide
    musts = {("a", "b", "s"): "*", ("a", "b", "n"): 0, ("c", "b", "s"): "*", ("a", "c", "s"): "*"}

    def work():
        for _ in range(20):
            out = o.omit(copy.deepcopy(doc))
            results.append(out)
            if any(out[a][b][c] != mask for (a, b, c), mask in musts.items()) or \
                    {a: set(v) for a, v in out.items()} != {a: set(v) for a, v in doc.items()}:
                wrong.append(out)
    threads = [threading.Thread(target=work) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 60 and wrong == []


# ---- What a hidden value becomes -------------------------------------------------------

def test_a_mask_a_walk_stored_is_masked_again_under_another_policy():
    """The plan's own fixed text object, met under a key whose policy masks otherwise, is masked by that
    policy: it is a value like any other."""
    o = RuleOmitter(["k"], paths=["$.n"], numbers="string", policies={"$.n": {"mask": "[n]"}}, keep_last=1)
    stored = o.omit({"n": 5})["n"]
    assert stored == "[n]"
    out = o.omit({"k": stored, "l": [stored], "m": {"k": stored}})
    assert out == {"k": "**]", "l": [stored], "m": {"k": "**]"}}
    assert redacted(o, {"k": stored, "l": [stored]}) == {"k": "**]", "l": [stored]}
    assert o.omit_recurse([stored, [stored]]) == ["**]", ["**]"]]


@pytest.mark.parametrize("walk", ["omit", "redacted"])
def test_a_str_subclass_key_takes_the_policy_of_its_texts_exact_rule(walk):
    """By its text, as the exact key of that text would: its exact rule's policy, neither a pattern's nor a
    word's (which decide exact str keys only), nor the omitter's own."""
    o = RuleOmitter(["pin", "age"], contains=["pi"], patterns=["^a"], numbers="digits", booleans="false",
                    policies={"pin": {"numbers": "zero"}, "pi": {"numbers": "string"}, "^a": {"numbers": "string"},
                              "age": {"booleans": "string", "numbers": "keep"}})
    doc = {Name("pin"): 1234, Name("age"): True, Name("pint"): 77, "pins": 77, Name("AGE"): 5,
           "d": {Name("age"): 41}}
    out = o.omit(copy.deepcopy(doc)) if walk == "omit" else redacted(o, doc)
    assert out == {"pin": 0, "age": "[Filtered]", "pint": 77, "pins": "[Filtered]", "AGE": 5, "d": {"age": 41}}
    assert [type(k) for k in out] == [Name, Name, Name, str, Name, str]


# ---- Many names, and lists of plain items --------------------------------------------

def test_many_named_paths_select_as_the_model_says():
    """Forty names in member and descent steps (their table probed past collisions): each member is
    selected by the paths that name it, at its place, and by no other."""
    names = [f"n{i}" for i in range(40)]
    paths = [f"$.{n}" for n in names[:20]] + [f"$..{n}" for n in names[20:30]] + [f"$.*.{n}" for n in names[30:]]
    cfg = Config(paths=paths, numbers="digits", booleans="false",
                 policies={paths[0]: {"mask": "[0]"}, paths[25]: {"keep_last": 1}})
    o = RuleOmitter(paths=paths, numbers="digits", booleans="false", policies=cfg.policies)
    doc = {n: {m: [m, 12, True] for m in names[::3] + ["other"]} for n in names[::2] + ["x", "other"]}
    doc.update({n: "v" + n for n in names[1::4]})
    expected = repr(PlanWalkModel(cfg).omit(copy.deepcopy(doc)))  # repr tells True from 1, 0.0 from 0
    assert repr(o.omit(copy.deepcopy(doc))) == expected
    assert repr(redacted(o, doc)) == expected


@pytest.mark.parametrize("items", [["abc", 12, 2.5, True, None, "de"], [1, 2, 3], ["x"], [], [False, "", 0.0]])
@pytest.mark.parametrize("paths, key_policy", [(["$.l[1]"], None), (["$.k[0]", "$..l[2]"], {"keep_last": 1}),
                                                (["$.l"], {"mask": "[k]"}), ([], {"numbers": "string"})])
def test_lists_of_plain_items_are_masked_item_by_item_as_the_model_says(items, paths, key_policy):
    policies = {"k": key_policy} if key_policy else {}
    cfg = Config(keys=["k"], paths=paths, numbers="zero", booleans="string", policies=policies)
    o = RuleOmitter(["k"], paths=paths, numbers="zero", booleans="string", policies=policies)
    doc = {"k": list(items), "l": list(items), "d": {"k": list(items), "l": list(items)}}
    expected = repr(PlanWalkModel(cfg).omit(copy.deepcopy(doc)))  # repr tells True from 1, 0.0 from 0
    assert repr(o.omit(copy.deepcopy(doc))) == expected
    assert repr(redacted(o, doc)) == expected


def test_a_collection_while_a_big_ints_digits_are_counted_leaves_the_walk_sound():
    """A big int's digits are counted through calls that make objects the collector tracks: a collection
    then may run finalisers that change the dict or list being walked (in a subprocess, under the debug
    allocator: a write into a freed table is a crash)."""
    script = textwrap.dedent("""
        import gc
        from velmora.redact import redacted
        from velmora.rules import RuleOmitter
        o = RuleOmitter(["k", "j"], numbers="digits")
        for walk in (o.omit, lambda d: redacted(o, d)):
            for trial in range(100):
                d = {f"a{i}": i for i in range(5)}
                d["k"], d["j"] = 10 ** 40, -(10 ** 50)
                l = [10 ** 40, 10 ** 45, "s", 3]
                for doc, change in ((d, lambda: (d.clear(), d.update({f"z{i}": "x" * 30 for i in range(50)}))),
                                    ({"k": l}, l.clear)):
                    class Cycle:
                        def __del__(self, change=change):
                            change()
                    c = Cycle(); c.me = c; del c
                    gc.set_threshold(1, 1, 1)
                    try:
                        walk(doc)
                    except (RuntimeError, IndexError):
                        pass
                    gc.set_threshold(700, 10, 10)
        print("ok")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300, cwd=ROOT,
                          env=dict(os.environ, PYTHONMALLOC="debug"))
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr[-3000:]
