"""Rule omitters and redacted() with a detector, attacked: a plain-Python
reference (tests/detect_walk_model.py) against the module on data built to
leak, and hostile code run mid-walk that changes the data or the detector."""

import copy
import os
import pickle
import threading
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import detect_walk_model as model
from conftest import assert_no_leak, assert_runs_clean
from velmora.detect import Detector
from velmora.omit import Omitter
from velmora.redact import redacted
from velmora.rules import RuleNoTrustOmitter, RuleOmitter

V1, V2 = "relay-pass-2026", "second-secret-77"
TESTS = os.path.dirname(os.path.abspath(__file__))

DETECTORS = model.detectors()
OMITTERS = [(i, j) for i in range(len(DETECTORS)) for j in range(len(model.omitters(DETECTORS[0])))]


# ---- The module against the model ---------------------------------------------------


@settings(max_examples=150, derandomize=True, deadline=None, suppress_health_check=list(HealthCheck))
@given(which=st.sampled_from(OMITTERS), seed=st.integers(0, 10**6))
def test_walks_match_the_model(which, seed):
    i, j = which
    o = model.omitters(DETECTORS[i])[j]
    assert model.check_seed(o, seed, do=seed % 3 != 0) == []


@pytest.mark.parametrize("gates", ["all", "entry_writes,str_fills", "dict_entries"])
def test_walks_match_the_model_with_gates_closed(gates):
    code = f"""
import sys
sys.path.insert(0, {TESTS!r})
import detect_walk_model as model
problems = model.run_seeds(range(25))
assert problems == [], problems[:5]
"""
    assert_runs_clean(code, env={**os.environ, "VELMORA_CLOSE_GATES": gates})


@pytest.mark.parametrize("make", [lambda keys: Omitter(keys), lambda keys: RuleOmitter(keys)])
def test_without_a_detector_nothing_inside_text_changes(make):
    for seed in range(40):
        o = make(["password", "token"])
        m = model.Model(RuleOmitter(["password", "token"]))
        mine, theirs = model.data(seed), model.data(seed)
        got = model.outcome(lambda: o.omit(mine) if type(mine) is dict else o.omit_recurse(mine))
        want = model.outcome(lambda: m.omit(theirs) if type(theirs) is dict else m.omit_recurse(theirs))
        assert got[1] is want[1] and model.same(mine, theirs), seed


# ---- One set per call ------------------------------------------------------------------


class OnceOnEq:
    """An item of the omitter's key list whose first comparison runs `act`."""

    def __init__(self, act):
        self.act = act

    def __eq__(self, other):
        act, self.act = self.act, None
        if act is not None:
            act()
        return False

    __hash__ = None


def leaky_data():
    return {"a": V2, "b": {"c": V2, "e": V1}, "l": [V2, [V1]], None: V2}


@pytest.mark.parametrize("walk", ["omit", "redacted"])
@pytest.mark.parametrize(
    "change, masked",
    [
        (lambda d: d.add(V2), {V1}),  # added after the call began: the next call's
        (lambda d: d.clear(), {V1}),  # forgotten after the call began: still masked
        (lambda d: d.discard(V1), {V1}),
    ],
)
def test_a_detector_changed_mid_walk_is_seen_by_the_next_call(walk, change, masked):
    d = Detector([V1])
    o = RuleOmitter(["password", OnceOnEq(lambda: change(d))], detect=d)
    data = leaky_data()
    out = o.omit(data) if walk == "omit" else redacted(o, data)
    m = model.Model(RuleOmitter(["password"], detect=Detector(sorted(masked))))
    assert model.same(out, m.omit(leaky_data()))
    after = model.Model(o)
    assert model.same(o.omit(leaky_data()), after.omit(leaky_data()))


@pytest.mark.parametrize("walk", ["omit", "redacted"])
def test_one_call_of_an_overriding_subclass_sees_one_set(walk):
    class Sub(RuleOmitter):
        def omit(self, target):
            return super().omit(target)

    d = Detector([V1])
    o = Sub(["password", OnceOnEq(lambda: d.add(V2))], detect=d)
    data = {"a": V2, "b": {"c": V2}, "z": V2}
    out = o.omit(data) if walk == "omit" else redacted(o, data)
    # the set the call began with, at every level the override walks
    assert out == {"a": V2, "b": {"c": V2}, "z": V2}
    assert o.omit({"a": V2})["a"] != V2  # the next call takes the new one


def test_a_thread_changing_the_detector_never_splits_a_call():
    d = Detector([V1])

    class Slow:
        def __eq__(self, other):
            time.sleep(0)  # lets the other thread run mid-walk
            return False

        __hash__ = None

    o = RuleOmitter(["password", Slow()], detect=d)
    names = ["thread-secret-%04d" % j for j in range(30)]
    stop = threading.Event()

    def churn():
        i = 0
        while not stop.is_set():
            d.add(names[i % 30])
            d.discard(names[(i + 15) % 30])
            i += 1

    t = threading.Thread(target=churn)
    t.start()
    try:
        for n in range(12):
            data = {"k%d" % j: {"v": [names[j % 30]], "w": names[j % 30]} for j in range(60)}
            out = o.omit(data) if n % 2 else redacted(o, data)
            seen = {}
            for j in range(60):
                for got in (out["k%d" % j]["v"][0], out["k%d" % j]["w"]):
                    seen.setdefault(names[j % 30], set()).add(got == names[j % 30])
            assert all(len(s) == 1 for s in seen.values()), n
    finally:
        stop.set()
        t.join()


def test_a_reentrant_call_sees_the_values_added_before_it():
    d = Detector([V1])
    inner = {}

    def reenter():
        d.add(V2)
        inner["omit"] = o.omit({"x": V2, "l": [V2]})
        inner["redacted"] = redacted(o, {"x": V2})

    o = RuleOmitter(["password", OnceOnEq(reenter)], detect=d)
    out = o.omit({"a": V2, "b": V1})
    assert out == {"a": V2, "b": "*" * len(V1)}
    assert inner == {"omit": {"x": "*" * len(V2), "l": ["*" * len(V2)]}, "redacted": {"x": "*" * len(V2)}}


# ---- Values put back mid-walk, the fast path left -----------------------------------


class Finaliser:
    def __init__(self, act):
        self.act = act

    def __del__(self):
        self.act()


@pytest.mark.parametrize("walk", ["omit", "redacted"])
@pytest.mark.parametrize("how", ["class", "finaliser"])
def test_values_put_ahead_of_the_walk_are_looked_at(walk, how):
    """Code run mid-walk (a `__class__` property; a finaliser it sets off)
    writes secrets where the walk has not been yet, in a table the fast
    path was reading: they are looked at when the walk gets there."""
    d = Detector([V1])
    o = RuleOmitter(["password"], detect=d)
    data = {}

    def plant():
        data["later"] = "x " + V1
        data["nested"]["k"] = V1
        data["list"][1] = "é" + V1
        d.add(V2)  # not for this call

    class Cls:
        @property
        def __class__(self):
            if how == "class":
                plant()
            else:
                data["fin"] = None  # releases the finaliser
            return Cls

    data.update({"first": V1, "obj": Cls(), "fin": Finaliser(plant), "later": "clean", "nested": {"k": "c"},
                 "list": ["a", "b"], "v2": V2})
    out = o.omit(data) if walk == "omit" else redacted(o, data)
    stars = "*" * len(V1)
    assert (out["first"], out["later"], out["nested"], out["list"], out["v2"]) == (
        stars, "x " + stars, {"k": stars}, ["a", "é" + stars], V2)


@pytest.mark.parametrize("walk", ["omit", "redacted"])
def test_the_detector_released_mid_walk(walk):
    code = f"""
import gc
from velmora.detect import Detector
from velmora.rules import RuleOmitter
from velmora.redact import redacted
V1 = {V1!r}
class Reinit:
    def __init__(self): self.done = False
    def __eq__(self, other):
        if not self.done:
            self.done = True
            o.__init__(["password"])  # drops the only reference to the detector
            gc.collect()
            [Detector(["x" * 9 + str(i)]) for i in range(200)]
        return False
    __hash__ = None
o = RuleOmitter(["password", Reinit()], detect=Detector([V1], keep_last=2))
data = {{"a": V1, "b": {{"c": "é" + V1}}, "l": [V1, ["😀" + V1]]}}
out = o.omit(data) if {walk!r} == "omit" else redacted(o, data)
s = "*" * (len(V1) - 2) + V1[-2:]
assert out == {{"a": s, "b": {{"c": "é" + s}}, "l": [s, ["😀" + s]]}}, out
assert o.detect is None and o.omit({{"a": V1}}) == {{"a": V1}}
"""
    assert_runs_clean(code)


# ---- Str subclasses, hidden keys, refusals ----------------------------------------------


@pytest.mark.parametrize("walk", ["omit", "redacted"])
def test_a_str_subclass_is_looked_at_through_its_text(walk):
    d = Detector([V1, "😀-geheimnis-9"])
    o = RuleNoTrustOmitter(["msg", None], detect=d)
    s1, s2, s3 = model.Sub("a " + V1), model.Sub("clean"), model.Sub("ß😀-geheimnis-9")
    data = {"msg": s1, None: [s2, s3, [s1]]}
    out = o.omit(data) if walk == "omit" else redacted(o, data)
    assert type(out["msg"]) is str and str.__str__(out["msg"]) == "a " + "*" * len(V1)
    assert out[None][0] is s2
    assert out[None][1] == "ß" + "*" * len("😀-geheimnis-9") and type(out[None][1]) is str
    assert out[None][2][0] == "a " + "*" * len(V1)
    assert str.__str__(s1) == "a " + V1  # the object itself is never written


def test_errors_and_reprs_quote_no_value():
    d = Detector([V1])
    o = RuleOmitter(["password"], detect=d)
    for data in ({"password": model.Sub(V1)}, {"password": [model.Sub(V1)]}, {1: V1}):
        with pytest.raises(TypeError) as info:
            o.omit(data)
        assert V1 not in str(info.value) and V1 not in repr(info.value)
        with pytest.raises(TypeError) as info:
            redacted(o, data)
        assert V1 not in str(info.value)
    assert V1 not in repr(o) and V1 not in repr(RuleNoTrustOmitter(detect=d)) and V1 not in repr(o.detect)
    with pytest.raises(TypeError) as info:
        RuleOmitter(detect=V1)
    assert V1 not in str(info.value)


# ---- Nesting, pickles, leaks -----------------------------------------------------------


def test_cycles_and_deep_nesting_end_in_recursion_error():
    code = f"""
from velmora.detect import Detector
from velmora.rules import RuleOmitter
from velmora.redact import redacted
V1 = {V1!r}
o = RuleOmitter(["password"], detect=Detector([V1]))
x = {{"a": V1}}; x["self"] = x
l = [V1]; l.append(l)
deep = cur = {{}}
for i in range(200000):
    cur["n"] = [{{"s": V1}}]; cur = cur["n"][0]
for call in (lambda: o.omit(x), lambda: o.omit_recurse(l, False), lambda: redacted(o, x),
             lambda: redacted(o, l, False), lambda: o.omit(deep), lambda: redacted(o, deep)):
    try:
        call()
    except RecursionError:
        pass
    else:
        raise AssertionError("no RecursionError")
assert x["a"] == l[0] == "*" * len(V1)
"""
    assert_runs_clean(code)


@pytest.mark.parametrize("trusting", [False, True])
def test_pickles_and_copies_keep_the_detector_and_its_values(trusting):
    kind = RuleNoTrustOmitter if trusting else RuleOmitter
    d = Detector([V1, "😀-geheimnis-9"], formats=["all"], keep_last=3)
    o = kind(["msg"], keep_last=1, detect=d)
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(o, proto))
        assert back.detect is not d and repr(back) == repr(o)
        for seed in range(8):
            assert model.check_seed(back, seed) == []
    assert copy.copy(o).detect is d and copy.deepcopy(o).detect is not d
    old = kind.__new__(kind)
    old.__setstate__(o.__reduce__()[2][:9])  # a pickle from before detectors
    assert old.detect is None and old.omit({"x": V1, "msg": V1})["msg" if trusting else "x"] == V1


@pytest.mark.parametrize("walk", ["omit", "redacted"])
def test_repeated_calls_leave_nothing_behind(walk):
    o = RuleNoTrustOmitter(["msg"], detect=Detector([V1, "ß-geheim-€x"]))

    def once():
        data = {"msg": "a " + V1, "x": "ß-geheim-€x", "n": {"msg": [V1, model.Sub("é" + V1)]}}
        o.omit(data) if walk == "omit" else redacted(o, data)

    assert_no_leak(once, repeat=1000)
