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
