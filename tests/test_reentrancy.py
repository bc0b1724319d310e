"""Python code run from inside a walk (`__class__` lookups of the bool test,
overrides, `__eq__` of key-list items, key hashing, `__bool__` of `do`) that
mutates the data, re-initialises or unpickles into the omitter, resets the
module-wide lists, raises, or walks the same data again. The cases run in
batches in subprocesses; each completes with the stated result or raises the
stated exception, and the process never dies."""

import json
import traceback

import pytest

import velmora.omit as m
from conftest import SOURCE_FILE, module_entries, run_python

OMIT, REC = "velmora.omit.Omitter.omit", "velmora.omit.Omitter.omit_recurse"
HIDE_O, HIDE_N = ("velmora.omit.Omitter.should_hide", 44), ("velmora.omit.NoTrustOmitter.should_hide", 85)
SIZE = (RuntimeError, "dictionary changed size during iteration")
NONE_LIST = (TypeError, "argument of type 'NoneType' is not iterable")
STOP = [(OMIT, 46), (OMIT, 48)]
CASES = {}


def case(fn, name=None):
    CASES[name or fn.__name__] = fn
    return fn


class Hook:
    """Runs `fn` at most `limit` times (always when None)."""
    def __init__(self, fn, limit=None):
        self.fn, self.limit = fn, limit

    def fire(self):
        if self.limit is None or self.limit > 0:
            self.limit = None if self.limit is None else self.limit - 1
            self.fn()


class ClassHook(Hook):
    """A value whose `__class__` lookup, made by the walk's bool test, fires."""
    @property
    def __class__(self):
        self.fire()
        return ClassHook


class EqHook(Hook):
    """A key-list item whose `__eq__` fires and answers False."""
    def __eq__(self, other):
        self.fire()
        return False

    __hash__ = object.__hash__


class HookKey(str):
    """A str-subclass key whose hashing (done when the walk stores) runs `fn`."""
    fn = None

    def __hash__(self):
        if HookKey.fn:
            HookKey.fn, fn = None, HookKey.fn
            fn()
        return str.__hash__(self)


def expect(exc_type, message, where, call):
    try:
        call()
    except exc_type as exc:
        assert message is None or str(exc) == message, str(exc)
        got = [(name, line) for name, _, line in module_entries(exc)]
        assert {f for _, f, _ in module_entries(exc)} <= {SOURCE_FILE}
        assert where is None or got == where, got
        return
    raise AssertionError(f"{exc_type.__name__} not raised")


def outcome(call, container, result, exc, where):
    if exc:
        expect(*exc, where, call)
    else:
        assert call() is container
    shown = {k: v for k, v in container.items() if type(v) is not ClassHook} if type(container) is dict else container
    assert shown == result, shown


def cls_case(name, fn, result, exc=None, where=None, kind=m.Omitter, limit=None):
    """Walk {'s': 'ab', 'h': <hook>, 't': 'cd'} with 's' and 't' in the key list."""
    def run():
        o, d = kind(["s", "t"]), {}
        d.update(s="ab", h=ClassHook(lambda: fn(o, d), limit), t="cd")
        outcome(lambda: o.omit(d), d, result, exc, where)
    case(run, name)


cls_case("cls_add", lambda o, d: d.__setitem__("new", 1), {"s": "**", "t": "cd", "new": 1}, SIZE, STOP)
cls_case("cls_delete_ahead", lambda o, d: d.pop("t"), {"s": "**"}, SIZE, STOP)
cls_case("cls_delete_current", lambda o, d: d.pop("h"), {"s": "**", "t": "cd"}, SIZE, STOP)
cls_case("cls_clear", lambda o, d: d.clear(), {}, SIZE, STOP)
cls_case("cls_replace_ahead", lambda o, d: d.__setitem__("t", "xyz"), {"s": "**", "t": "***"})
cls_case("cls_replace_current", lambda o, d: d.__setitem__("h", "zz"), {"s": "**", "t": "**", "h": "zz"})
cls_case("cls_readd_same_size", lambda o, d: (d.pop("s"), d.__setitem__("s", "new")), {"t": "**", "s": "***"})
cls_case("cls_raise", lambda o, d: 1 / 0, {"s": "**", "t": "cd"}, (ZeroDivisionError, "division by zero"),
         [(OMIT, 46), (OMIT, 49)])
cls_case("cls_attribute_error_counts_as_absent", lambda o, d: {}.missing, {"s": "**", "t": "**"})
cls_case("cls_reinit", lambda o, d: o.__init__([]), {"s": "**", "t": "cd"})
cls_case("cls_reinit_no_trust", lambda o, d: o.__init__(["s"]), {"s": "ab", "t": "**"}, kind=m.NoTrustOmitter)
cls_case("cls_setstate", lambda o, d: o.__setstate__((["t"],)), {"s": "**", "t": "**"})
cls_case("cls_setstate_no_trust", lambda o, d: o.__setstate__((None, ["s"])), {"s": "ab", "t": "**"},
         kind=m.NoTrustOmitter)
cls_case("cls_setstate_none", lambda o, d: o.__setstate__((None,)), {"s": "**", "t": "cd"}, NONE_LIST,
         [(OMIT, 46), (OMIT, 52), HIDE_O])
cls_case("cls_reset_globals", lambda o, d: (m.reset_omissions(), m.always_omit(["x"])), {"s": "**", "t": "**"})
cls_case("cls_reenter_same_dict", lambda o, d: o.omit(d), {"s": "**", "t": "**"}, limit=1)
cls_case("cls_reenter_forever", lambda o, d: o.omit(d), {"s": "**", "t": "cd"}, (RecursionError, None))


class Overridden(m.Omitter):
    def hook(self, target):
        """Replaced per object; the class's own does nothing."""

    def omit(self, target):
        self.hook(target)
        return super().omit(target)

    def omit_recurse(self, target, do=True):
        self.hook(target)
        return super().omit_recurse(target, do)


def override_case(name, make, hook, result, exc=None, where=None, method="omit"):
    """`hook(o, container, root)` runs in the override for each nested container."""
    def run():
        root, o = make(), Overridden(["s", "l", "t"])
        o.hook = lambda t: t is not root and hook(o, t, root)
        outcome(lambda: getattr(o, method)(root), root, result, exc, where)
    case(run, name)


override_case("override_adds_to_parent_at_last_pair", lambda: {"s": "ab", "n": {}},
              lambda o, t, r: r.__setitem__("x", 1), {"s": "**", "n": {}, "x": 1}, SIZE, STOP)
override_case("override_raises", lambda: {"s": "ab", "n": {"s": "cd"}, "t": "ef"}, lambda o, t, r: {}["boom"],
              {"s": "**", "n": {"s": "cd"}, "t": "ef"}, (KeyError, "'boom'"), [(OMIT, 46), (OMIT, 56), (OMIT, 46)])
override_case("override_reinit_keeps_computed_do", lambda: {"l": ["ab", "c"], "t": "xy"},
              lambda o, t, r: o.__init__([]), {"l": ["**", "*"], "t": "xy"})
override_case("override_setstate_none", lambda: {"n": {}, "s": "ab"}, lambda o, t, r: o.__setstate__((None,)),
              {"n": {}, "s": "ab"}, NONE_LIST, [(OMIT, 46), (OMIT, 52), HIDE_O])
override_case("override_reenters_root", lambda: {"n": {"s": "ab"}, "t": "xy"},
              lambda o, t, r: o.__dict__.pop("hook") and o.omit(r), {"n": {"s": "**"}, "t": "**"})
override_case("override_pops_outer_list", lambda: [["ab"], "cd", "ef"], lambda o, t, r: r.pop(),
              [["**"], "**"], (IndexError, "list index out of range"), [(REC, 62), (REC, 66)], "omit_recurse")
override_case("override_clears_outer_list", lambda: ["ab", {"s": "x"}, "cd"], lambda o, t, r: r.clear(), [],
              (IndexError, "list assignment index out of range"), [(REC, 62), (REC, 68)], "omit_recurse")
override_case("override_grows_list", lambda: [{}, "ab"], lambda o, t, r: r.extend(["cd", ["ef"]]),
              [{}, "**", "cd", ["ef"]], method="omit_recurse")
override_case("override_replaces_items", lambda: [{}, "ab", "cd"],
              lambda o, t, r: r.__setitem__(slice(None), ["zz", "ab", "xyz"]), [{}, "**", "***"], method="omit_recurse")


def eq_case(name, fn, data, result, exc=None, where=None, kind=m.Omitter, tail=("password",), repeat=1, limit=None):
    """The key list is [<item whose __eq__ runs fn(o, d)>, *tail]."""
    def run():
        for _ in range(repeat):
            o, d = kind(), dict(data)
            o.__init__([EqHook(lambda: fn(o, d), limit), *tail])
            outcome(lambda: o.omit(d), d, result, exc, where)
    case(run, name)


# Re-initialising drops the list being scanned: the scan must finish on it.
eq_case("eq_reinit_mid_scan", lambda o, d: o.__init__([]), {"password": "abc", "x": "y", "password2": "q"},
        {"password": "***", "x": "y", "password2": "q"}, repeat=300)
eq_case("eq_reinit_mid_scan_no_trust", lambda o, d: o.__init__([]), {"id": "42", "x": "y"},
        {"id": "42", "x": "*"}, kind=m.NoTrustOmitter, tail=("id",), repeat=300)
eq_case("eq_setstate_mid_scan", lambda o, d: o.__setstate__((None,)), {"password": "abc", "x": "y"},
        {"password": "***", "x": "y"}, NONE_LIST, [(OMIT, 46), (OMIT, 52), HIDE_O])
eq_case("eq_setstate_mid_scan_no_trust", lambda o, d: o.__setstate__((None, ["x"])), {"a": "bc", "x": "y"},
        {"a": "**", "x": "y"}, kind=m.NoTrustOmitter, tail=())
eq_case("eq_raises_under_list_key", lambda o, d: [][0], {"l": ["a"]}, {"l": ["a"]},
        (IndexError, "list index out of range"), [(OMIT, 46), (OMIT, 58), HIDE_O])
eq_case("eq_raises_no_trust", lambda o, d: [][0], {"a": "b"}, {"a": "b"},
        (IndexError, "list index out of range"), [(OMIT, 46), (OMIT, 52), HIDE_N], kind=m.NoTrustOmitter, tail=())
eq_case("eq_grows_dict_at_last_pair", lambda o, d: d.__setitem__("x", 1), {"password": "abc"},
        {"password": "***", "x": 1}, SIZE, STOP)
eq_case("eq_reenters_walk", lambda o, d: o.omit(d["n"]), {"password": "abc", "n": {"password": "zz"}},
        {"password": "***", "n": {"password": "**"}}, limit=1)
eq_case("eq_resets_globals", lambda o, d: (m.reset_omissions(), m.always_omit(["password"])),
        {"x": "y", "password": "abc"}, {"x": "y", "password": "***"})


# The pair walked is the pair read: a container replaced by Python code run
# from should_hide is still the one walked and stored back under its key.
eq_case("eq_replaces_list_being_walked", lambda o, d: d.__setitem__("tokens", ["s3cret"]),
        {"tokens": ["a", "b"]}, {"tokens": ["*", "*"]}, tail=("tokens",))
eq_case("eq_swaps_list_key_for_another", lambda o, d: (d.pop("tokens"), d.__setitem__("new", 5)),
        {"tokens": ["a", "b"]}, {"new": 5, "tokens": ["*", "*"]}, SIZE, STOP, tail=("tokens",))
eq_case("eq_replaces_list_being_walked_no_trust", lambda o, d: d.__setitem__("l", ["s3cret"]),
        {"l": ["a"], "z": 1}, {"l": ["*"], "z": 1}, kind=m.NoTrustOmitter, tail=())


class CollidingKey:
    """A key that collides with "password": a store under "password" compares
    it with `__eq__`, which `act` arms."""
    act = None

    def __hash__(self):
        return hash("password")

    def __eq__(self, other):
        if CollidingKey.act:
            CollidingKey.act()
        return False


def colliding_case(name, act, result, exc, where, kind=m.Omitter, keys=("password",)):
    """{<colliding key>: 1, "password": "secret", "z": "q"}: masking "password"
    is a store, with the comparison the store makes; `result` is what the str
    keys then hold."""
    def run():
        CollidingKey.act = None
        d = {CollidingKey(): 1}
        d.update(password="secret", z="q")
        CollidingKey.act = lambda: act(d)
        try:
            expect(*exc, where, lambda: kind(list(keys)).omit(d))
        finally:
            CollidingKey.act = None
        assert {k: v for k, v in d.items() if type(k) is str} == result, d
    case(run, name)


colliding_case("store_compares_colliding_key_raising", lambda d: [][0], {"password": "secret", "z": "q"},
               (IndexError, "list index out of range"), [(OMIT, 46), (OMIT, 54)])
colliding_case("store_compares_colliding_key_growing", lambda d: d.__setitem__("extra", 1),
               {"password": "******", "z": "q", "extra": 1}, SIZE, STOP)
colliding_case("store_compares_colliding_key_no_trust", lambda d: [][0], {"password": "secret", "z": "q"},
               (IndexError, "list index out of range"), [(OMIT, 46), (OMIT, 54)], kind=m.NoTrustOmitter,
               keys=("z",))


class Retyped:
    """A plain class a value is re-typed to."""


def retype_case(name, keys, make_other, check):
    """A value whose `__class__` lookup re-types it and collects its old class
    (then fills the memory), under a key in `keys`."""
    def run():
        import gc
        keep = []

        def make():
            class Doomed:
                @property
                def __class__(self):
                    object.__dict__["__class__"].__set__(self, make_other())
                    gc.collect()
                    keep.extend(b"B" * n for n in range(900, 1000))
                    return Retyped
            return Doomed()
        d = {"password": make(), "s": "ab", "l": [make(), "cd"]}
        assert m.Omitter(list(keys)).omit(d) is d
        check(d)
    case(run, name)


class RetypedList:
    """A class a value is re-typed to, holding a collection of its own."""
    items = ["x", {"y": "z"}]


retype_case("class_retypes_value_and_frees_old_type", ["password", "s", "l"], lambda: Retyped,
            lambda d: type(d["password"]) is Retyped and d["s"] == "**" and type(d["l"][0]) is Retyped
            and d["l"][1] == "**")
retype_case("class_retypes_value_to_class_with_collection", ["s"], lambda: RetypedList,
            lambda d: type(d["password"]) is RetypedList and d["s"] == "**" and d["l"][1] == "cd")


class Fin:
    """Runs `act` when freed."""
    def __init__(self, act):
        self.act = act

    def __del__(self):
        self.act()


class Replacing(m.Omitter):
    """Replaces each nested container that starts with "fin" by a new one:
    the old one, holding a Fin, is then held by the walk alone."""
    def omit(self, target):
        return {"new": 1} if "fin" in target else super().omit(target)

    def omit_recurse(self, target, do=True):
        return ["new"] if target and target[0] == "fin" else super().omit_recurse(target, do)


def release_case(name, make, result, exc=None, where=None, method="omit"):
    """`make(box)` builds the data; its Fin acts on box[0], the data itself."""
    def run():
        box = []
        data = make(box)
        box.append(data)
        outcome(lambda: getattr(Replacing(["password"]), method)(data), data, result, exc, where)
    case(run, name)


# The pair (or item) walked last is released when the next one has been read:
# a finaliser run by that release cannot change what is walked next, and one
# run after the last pair meets no size check.
release_case("finaliser_runs_after_next_pair_is_read",
             lambda b: {"l": ["fin", Fin(lambda: b[0].__setitem__("password", "changed-by-finaliser"))],
                        "password": "pw"}, {"l": ["new"], "password": "**"})
release_case("finaliser_of_nested_dict_runs_after_next_pair_is_read",
             lambda b: {"n": {"fin": Fin(lambda: b[0].__setitem__("password", "changed-by-finaliser"))},
                        "password": "pw"}, {"n": {"new": 1}, "password": "**"})
release_case("finaliser_after_last_pair_may_add_a_key",
             lambda b: {"password": "pw", "l": ["fin", Fin(lambda: b[0].__setitem__("added", 1))]},
             {"password": "**", "l": ["new"], "added": 1})
release_case("finaliser_adding_a_key_before_the_last_pair",
             lambda b: {"l": ["fin", Fin(lambda: b[0].__setitem__("added", 1))], "password": "pw"},
             {"l": ["new"], "password": "**", "added": 1}, SIZE, STOP)
release_case("finaliser_runs_after_next_item_is_read",
             lambda b: [["fin", Fin(lambda: b[0].__setitem__(1, "changed-by-finaliser"))], "pw"],
             [["new"], "**"], method="omit_recurse")
release_case("finaliser_after_last_item_may_shrink_the_list",
             lambda b: ["pw", ["fin", Fin(lambda: b[0].clear())]], [], method="omit_recurse")


@case
def eq_clears_own_list():
    o = m.Omitter()
    own = o.__reduce__()[2][0]  # the object's own list travels in its state
    own[:] = [EqHook(own.clear), "password"]
    d = {"password": "abc"}
    assert o.omit(d) is d and d == {"password": "abc"} and own == []


@case
def str_subclass_item_reinits():
    class Eq(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            o.__init__(["x"])
            return str.__eq__(self, other)
    o = m.Omitter([Eq("a"), "b"])
    assert o.omit({"b": "1", "x": "2", "a": "3"}) == {"b": "*", "x": "*", "a": "3"}


@case
def hash_resets_global_trusted_during_init():
    m.always_trust([HookKey("a"), "b"])
    HookKey.fn = lambda: (m.reset_trusted(), m.always_trust(["late"]))
    n = m.NoTrustOmitter()
    assert sorted(n.__reduce__()[2][1]) == ["a", "b", "late"] and m.globally_trusted() == ["late"]
    assert n.omit({"a": "1", "b": "2", "late": "3", "z": "4"}) == {"a": "1", "b": "2", "late": "3", "z": "*"}


def key_case(name, fn, exc, where, keys):
    """A dict value under a HookKey: the walk's store hashes the key, running fn(d)."""
    def run():
        k, d = HookKey("k"), {}
        d[k], d["s"] = {"s": "v"}, "ab"
        HookKey.fn = lambda: fn(d)
        expect(*exc, where, lambda: m.Omitter(["s"]).omit(d))
        assert sorted(d) == keys and d.get("s", "ab") == "ab" and d[k] == {"s": "*"}
    case(run, name)


key_case("key_hash_raises_on_store", lambda d: 1 / 0, (ZeroDivisionError, "division by zero"),
         [(OMIT, 46), (OMIT, 56)], ["k", "s"])
key_case("key_hash_grows_dict_on_store", lambda d: d.__setitem__("x", 1), SIZE, STOP, ["k", "s", "x"])
key_case("key_hash_clears_dict_on_store", lambda d: d.clear(), SIZE, STOP, ["k"])


class Truth(Hook):
    def __bool__(self):
        self.fire()
        return True


@case
def do_truth_test_clears_list():
    lst = ["ab"]
    assert m.Omitter().omit_recurse(lst, Truth(lst.clear)) == []
    expect(ZeroDivisionError, "division by zero", [(REC, 62)], lambda: m.Omitter().omit_recurse(["a"], Truth(lambda: 1 / 0)))


@case
def finaliser_of_reset_list_sees_new_list():
    seen = []

    class Fin:
        def __del__(self):
            seen.append(m.globally_hidden())
            m.always_omit(["after"])
    m.always_omit([Fin()])
    m.reset_omissions()
    assert seen == [[]] and m.globally_hidden() == ["after"]


def _run_cases(names):
    """Subprocess side: run the named cases, one protocol line per event."""
    for name in names:
        print("@@ START", name, flush=True)
        m.reset_omissions()
        m.reset_trusted()
        HookKey.fn = None
        CollidingKey.act = None
        try:
            CASES[name]()
        except BaseException:  # noqa: BLE001 - reported to the parent
            print("@@ FAIL", name, json.dumps(traceback.format_exc()), flush=True)
        else:
            print("@@ PASS", name, flush=True)


@pytest.fixture(scope="module")
def outcomes():
    """Run the cases in as few subprocesses as possible: a process that dies
    fails the case it was running, and the rest go on in a new one."""
    results, pending = {}, list(CASES)
    while pending:
        proc = run_python(f"import test_reentrancy as t; t._run_cases({pending!r})")
        running = None
        for line in proc.stdout.splitlines():
            if line.startswith("@@ "):
                _, word, name, *rest = line.split(" ", 3)
                running = name if word == "START" else None
                if word != "START":
                    results[name] = "PASS" if word == "PASS" else json.loads(rest[0])
        died = f"process died with {proc.returncode}\n{proc.stderr[-3000:]}"
        if running is None:
            results.update({name: died for name in pending if name not in results})
            break
        results[running] = died
        pending = pending[pending.index(running) + 1:]
    return results


@pytest.mark.parametrize("name", list(CASES))
def test_hostile_code_mid_walk(outcomes, name):
    assert outcomes[name] == "PASS", outcomes[name]
