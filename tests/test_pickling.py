"""Pickling and copying of Omitter and NoTrustOmitter."""

import builtins
import copy
import pickle
import warnings

import pytest

import velmora.omit as omit
from conftest import STRINGSOURCE, assert_no_leak, assert_runs_clean, call_raising, module_entries

O, N = omit.Omitter, omit.NoTrustOmitter
UO, UN = omit.__pyx_unpickle_Omitter, omit.__pyx_unpickle_NoTrustOmitter
CO, CN = 259159834, 104289010
MSG_O = "Incompatible checksums (0x%s vs (0xf72771a, 0x676fd74, 0x1022349) = (omissions))"
MSG_N = "Incompatible checksums (0x%s vs (0x63752f2, 0x7c505b1, 0x6e28aab) = (omissions, trusted))"
SET_O, SET_N = "__pyx_unpickle_Omitter__set_state", "__pyx_unpickle_NoTrustOmitter__set_state"


class SubO(O):
    pass


class SubN(N):
    pass


class IntSub(int):
    pass


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


def labelled(obj):
    obj.label = "x"
    return obj


def state(obj):
    r = obj.__reduce__()
    return r[2] if len(r) == 3 else r[1][2]


def check(err, exc, message, *sites):
    assert type(err) is exc and (message is None or str(err) == message), repr(err)
    assert module_entries(err) == [("velmora.omit." + n, STRINGSOURCE, l) for n, l in sites]


@pytest.mark.parametrize("make, expected", [
    (lambda: O(["password"]), lambda: (UO, (O, CO, None), (["password"],))),
    (lambda: N(["id"]), lambda: (UN, (N, CN, None), (None, ["id"]))),
    (lambda: O.__new__(O), lambda: (UO, (O, CO, (None,)))),
    (lambda: N.__new__(N), lambda: (UN, (N, CN, (None, None)))),
    (lambda: labelled(SubO([])), lambda: (UO, (SubO, CO, None), ([], {"label": "x"}))),
    (lambda: SubO([]), lambda: (UO, (SubO, CO, None), ([], {}))),
    (lambda: SubO.__new__(SubO), lambda: (UO, (SubO, CO, None), (None, {}))),
    (lambda: labelled(SubN(["id"])), lambda: (UN, (SubN, CN, None), (None, ["id"], {"label": "x"}))),
    (lambda: SubN.__new__(SubN), lambda: (UN, (SubN, CN, None), (None, None, {}))),
])
def test_reduce_values(make, expected):
    obj = make()
    r = obj.__reduce__()
    assert r == expected() and r == obj.__reduce_cython__() and r[0] is expected()[0]
    assert all(a is b for a, b in zip(state(obj), state(obj)))  # own lists, no copies
    assert not hasattr(obj, "__dict__") or state(obj)[-1] is obj.__dict__


def test_state_lists_are_the_objects_own():
    o, n = O(["a"]), N(["t"])
    state(o)[0].append("b")
    state(n)[1].remove("t")
    assert o.omit({"b": "xy", "c": "z"}) == {"b": "**", "c": "z"}
    assert n.omit({"t": "xy"}) == {"t": "**"}


@pytest.mark.parametrize("protocol", range(6))
@pytest.mark.parametrize("make", [
    lambda: O(["password"]), lambda: N(["id"]), lambda: O.__new__(O), lambda: N.__new__(N),
    lambda: labelled(SubO(["password"])), lambda: labelled(SubN(["id"])), lambda: SubO([]),
])
def test_round_trip(make, protocol):
    obj = make()
    back = pickle.loads(pickle.dumps(obj, protocol))
    assert type(back) is type(obj) and back.__reduce__() == obj.__reduce__()
    assert all(a is None or a is not b for a, b in zip(state(back), state(obj)))
    if state(obj)[1 if isinstance(obj, N) else 0] is not None:
        data = {"password": "ab", "id": "cd", "n": [{"x": "y"}]}
        assert back.omit(dict(data)) == obj.omit(dict(data))


def test_unpickling_ignores_module_wide_lists():
    omit.always_omit(["a"])
    omit.always_trust(["t"])
    blobs = pickle.dumps(O([])), pickle.dumps(N())
    omit.reset_omissions()
    omit.reset_trusted()
    omit.always_omit(["z"])
    omit.always_trust(["z"])
    o, n = map(pickle.loads, blobs)
    assert state(o) == (["a"],) and state(n) == (None, ["t"])


@pytest.mark.parametrize("make, field", [
    (lambda: O(["a"]), 0), (lambda: N(["a"]), 1), (lambda: labelled(SubO(["a"])), 0),
])
def test_copy_shares_lists_and_deepcopy_does_not(make, field):
    obj = make()
    shallow, deep = copy.copy(obj), copy.deepcopy(obj)
    assert type(shallow) is type(deep) is type(obj) and state(deep) == state(obj)
    assert state(shallow)[field] is state(obj)[field] is not state(deep)[field]
    state(obj)[field].append("k")
    walks = [c.omit({"k": "vv"})["k"] for c in (obj, shallow, deep)]
    assert walks[0] == walks[1] != walks[2]


@pytest.mark.parametrize("fn, tp, checksum, message", [
    (UO, O, 1, MSG_O % "1"), (UO, O, True, MSG_O % "1"), (UO, O, -1, MSG_O % "-1"),
    (UO, O, 0, MSG_O % "0"), (UO, O, CN, MSG_O % "63752f2"),
    (UO, O, 2**31 - 1, MSG_O % "7fffffff"), (UO, O, -2**31, MSG_O % "-80000000"),
    (UN, N, 0xf72771a, MSG_N % "f72771a"), (UN, N, 1.9, MSG_N % "1"),
    (UO, N, 1, MSG_O % "1"),  # the checksum is tested before __new__ and the state
])
def test_refused_checksums(fn, tp, checksum, message):
    check(call_raising(fn, tp, checksum, []), pickle.PickleError, message, (fn.__name__, 6))


@pytest.mark.parametrize("fn, tp, checksum", [
    (UO, O, 0xf72771a), (UO, O, 0x676fd74), (UO, O, 0x1022349), (UO, O, 259159834.0),
    (UO, SubO, 108461428.9), (UO, O, IntSub(CO)),
    (UN, N, 0x63752f2), (UN, N, 0x7c505b1), (UN, SubN, 0x6e28aab),
])
def test_accepted_checksums(fn, tp, checksum):
    obj = fn(tp, checksum, None)
    assert type(obj) is tp and set(state(obj)[:1 + issubclass(tp, N)]) == {None}


@pytest.mark.parametrize("checksum, exc, message", [
    ("x", TypeError, "an integer is required"), (None, TypeError, "an integer is required"),
    (IntLike("s"), TypeError, "__int__ returned non-int (type str)"),
    (2**40, OverflowError, None), (2**31, OverflowError, None), (-2**31 - 1, OverflowError, None),
])
def test_checksum_conversion_errors(checksum, exc, message):
    check(call_raising(UO, O, checksum, None), exc, message, ("__pyx_unpickle_Omitter", 1))


def test_checksum_from_strict_int_subclass_warns():
    text = ("__int__ returned non-int (type IntSub).  The ability to return an instance of a strict"
            " subclass of int is deprecated, and may be removed in a future version of Python.")
    with pytest.warns(DeprecationWarning) as record:
        assert type(UO(O, IntLike(IntSub(CO)), None)) is O
    assert [str(w.message) for w in record] == [text]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        err = call_raising(UO, O, IntLike(IntSub(CO)), None)
    check(err, DeprecationWarning, text, ("__pyx_unpickle_Omitter", 1))


@pytest.mark.parametrize("fn, tp, st, exc, message, trail", [
    (UO, O, [["a"]], TypeError, "Expected tuple, got list", []),
    (UO, O, ((1,),), TypeError, "Expected list, got tuple", [(SET_O, 12)]),
    (UN, N, (None, "b"), TypeError, "Expected list, got str", [(SET_N, 12)]),
    (UO, O, (), IndexError, "tuple index out of range", [(SET_O, 12)]),
    (UN, N, (["a"],), IndexError, "tuple index out of range", [(SET_N, 12)]),
    (UO, SubO, ([], 5), TypeError, "'int' object is not iterable", [(SET_O, 14)]),
])
def test_reconstructor_state_errors(fn, tp, st, exc, message, trail):
    err = call_raising(fn, tp, CO if fn is UO else CN, st)
    check(err, exc, message, (fn.__name__, 9), *trail)


def test_reconstructor_applies_state():
    assert state(UN(SubN, CN, (["o"], ["t"], {"label": "x"}))) == (["o"], ["t"], {"label": "x"})
    assert state(UO(O, CO, (["o"],))) == (["o"],)


@pytest.mark.parametrize("make, st, exc, message, line, after", [
    (lambda: O(["k"]), None, TypeError, "'NoneType' object is not subscriptable", 12, (["k"],)),
    (lambda: O(["k"]), [], TypeError, "Expected tuple, got list", None, (["k"],)),
    (lambda: O(["k"]), (), IndexError, "tuple index out of range", 12, (["k"],)),
    (lambda: O(["k"]), ("a",), TypeError, "Expected list, got str", 12, (["k"],)),
    (lambda: N(["t"]), (["a"], "b"), TypeError, "Expected list, got str", 12, (["a"], ["t"])),
    (lambda: N(["t"]), (["a"],), IndexError, "tuple index out of range", 12, (None, ["t"])),
    (lambda: N(["t"]), None, TypeError, "'NoneType' object is not subscriptable", 12, (None, ["t"])),
    (lambda: SubO(["k"]), (["a"], 5), TypeError, "'int' object is not iterable", 14, (["a"], {})),
    (lambda: SubN(["t"]), (None, [], [1]), TypeError,
     "cannot convert dictionary update sequence element #0 to a sequence", 14, (None, [], {})),
])
def test_setstate_failures(make, st, exc, message, line, after):
    obj = make()
    owner, restore = ("NoTrustOmitter", SET_N) if isinstance(obj, N) else ("Omitter", SET_O)
    trail = [] if line is None else [(restore, line)]
    check(call_raising(obj.__setstate__, st), exc, message, (owner + ".__setstate_cython__", 17), *trail)
    assert state(obj) == after


def test_setstate_binding_and_none_field():
    o = O(["a"])
    check(call_raising(o.__setstate__), TypeError,
          "__setstate_cython__() takes exactly 1 positional argument (0 given)",
          ("Omitter.__setstate_cython__", 16))
    assert o.__setstate__(__pyx_state=(["z"],)) is None and state(o) == (["z"],)
    o.__setstate__((None,))
    assert o.__reduce__() == (UO, (O, CO, (None,)))
    err = call_raising(o.omit, {"k": "v"})
    assert type(err) is TypeError and str(err) == "argument of type 'NoneType' is not iterable"


@pytest.mark.parametrize("fn, tp, message", [
    (UO, N, "velmora.omit.Omitter.__new__(velmora.omit.NoTrustOmitter) is not safe,"
            " use velmora.omit.NoTrustOmitter.__new__()"),
    (UO, 5, "velmora.omit.Omitter.__new__(X): X is not a type object (int)"),
    (UN, O, "velmora.omit.NoTrustOmitter.__new__(velmora.omit.Omitter):"
            " velmora.omit.Omitter is not a subtype of velmora.omit.NoTrustOmitter"),
])
def test_reconstructor_refuses_foreign_type(fn, tp, message):
    check(call_raising(fn, tp, CO if fn is UO else CN, None), TypeError, message, (fn.__name__, 7))


@pytest.mark.parametrize("value, exc, message, line", [
    (type("Custom", (Exception,), {}), None, MSG_O % "1", 6),
    (int, TypeError, "raise: exception class must be a subclass of BaseException", 6),
    (None, ImportError, "cannot import name PickleError", 5),
])
def test_pickle_error_is_imported_at_each_refusal(monkeypatch, value, exc, message, line):
    if value is None:
        monkeypatch.delattr(pickle, "PickleError")
    else:
        monkeypatch.setattr(pickle, "PickleError", value)
    check(call_raising(UO, O, 1, None), exc or value, message, ("__pyx_unpickle_Omitter", line))


def test_reduce_reading_dict():
    def dict_raising(exc):
        def get(self):
            raise exc
        return type("S", (O,), {"__dict__": property(get)})

    check(call_raising(dict_raising(ValueError("no"))().__reduce__), ValueError, "no",
          ("Omitter.__reduce_cython__", 6))
    missing = dict_raising(AttributeError("gone"))
    assert missing.__new__(missing).__reduce__() == (UO, (missing, CO, (None,)))
    assert missing(["a"]).__reduce__() == (UO, (missing, CO, None), (["a"],))


def test_rebinding_and_deleting_reconstructor():
    sentinel = object()
    try:
        omit.__pyx_unpickle_Omitter = sentinel
        assert O(["a"]).__reduce__()[0] is O.__new__(O).__reduce__()[0] is sentinel
        assert SubO([]).__reduce__()[0] is sentinel and N(["a"]).__reduce__()[0] is UN
        del omit.__pyx_unpickle_Omitter
        for obj, line in [(O(["a"]), 13), (O.__new__(O), 15)]:
            check(call_raising(obj.__reduce__), NameError,
                  "name '__pyx_unpickle_Omitter' is not defined", ("Omitter.__reduce_cython__", line))
        builtins.__pyx_unpickle_Omitter = sentinel
        assert O([]).__reduce__()[0] is sentinel
        del builtins.__pyx_unpickle_Omitter
        assert type(call_raising(O([]).__reduce__)) is NameError
    finally:
        omit.__pyx_unpickle_Omitter = UO
        builtins.__dict__.pop("__pyx_unpickle_Omitter", None)
    assert O([]).__reduce__()[0] is UO


RECEIVER_FNS = [
    (N.__setstate_cython__, (None, None), N), (N.__dict__["__setstate__"], (None, None), N),
    (N.__reduce_cython__, None, N), (N.__dict__["__reduce__"], None, N),
    (O.__setstate_cython__, (None,), O), (O.__dict__["__setstate__"], (None,), O),
    (O.__reduce_cython__, None, O), (O.__dict__["__reduce__"], None, O),
]
RECEIVERS = [(lambda: 5, "int"), (lambda: O(["a"]), "velmora.omit.Omitter"),
             (lambda: SubO(["a"]), "SubO")]


@pytest.mark.parametrize("fn, st, owner, receiver, type_name", [
    (fn, st, owner, make, name) for fn, st, owner in RECEIVER_FNS
    for make, name in RECEIVERS if owner is N or name == "int"
])
def test_receiver_check(fn, st, owner, receiver, type_name):
    obj = receiver()
    before = copy.copy(state(obj)) if isinstance(obj, O) else None
    message = (f"descriptor '{fn.__name__}' for 'velmora.omit.{owner.__name__}' objects"
               f" doesn't apply to a '{type_name}' object")
    check(call_raising(fn, obj, *([] if st is None else [st])), TypeError, message)
    assert before is None or state(obj) == before


def test_receiver_subclass_accepted():
    n = SubN(["t"])
    assert O.__setstate_cython__(n, (["a"],)) is None and state(n) == (["a"], ["t"], {})
    assert O.__reduce_cython__(n) == (UO, (SubN, CO, None), (["a"], {}))
    assert N.__dict__["__reduce__"](n) == n.__reduce__()


def test_receiver_check_in_subprocess():
    proc = assert_runs_clean("""
        import gc, velmora.omit as m
        N = m.NoTrustOmitter
        for i in range(2000):
            o = m.Omitter(["a"] * 50)
            for fn, args in [(N.__setstate_cython__, ((None, ["x"]),)), (N.__reduce_cython__, ()),
                             (N.__dict__["__setstate__"], ((["b"], ["y"]),))]:
                try:
                    fn(o, *args)
                except TypeError:
                    pass
                else:
                    raise SystemExit("accepted an Omitter")
            assert o.__reduce__()[2] == (["a"] * 50,)
            del o
            if i % 100 == 0:
                gc.collect()
        print("ok")
    """)
    assert proc.stdout == "ok\n"


@pytest.mark.parametrize("tp", [O, N])
def test_setup_pickling_results(tp):
    assert tp.__reduce__.__name__ == "__reduce_cython__"
    assert tp.__setstate__.__name__ == "__setstate_cython__"
    own = vars(tp)
    assert {"__reduce__", "__setstate__", "__reduce_cython__", "__setstate_cython__"} <= own.keys()
    assert own["__reduce__"].__objclass__ is tp and own["__setstate__"].__objclass__ is tp


@pytest.mark.parametrize("operation", [
    lambda: pickle.loads(pickle.dumps(O(["a", "b"]))),
    lambda: pickle.loads(pickle.dumps(labelled(SubN(["id"])), 0)),
    lambda: copy.deepcopy(N(["id"])),
    lambda: call_raising(UO, O, 1, None),
    lambda: call_raising(UN, N, CN, (None, "b")),
    lambda: call_raising(UO, O, CO, ()),
    lambda: call_raising(UO, N, CO, None),
    lambda: call_raising(UO, O, "x", None),
    lambda: call_raising(UO, SubO, CO, ([], 5)),
    lambda: call_raising(N(["t"]).__setstate__, (["a"],)),
    lambda: call_raising(N.__setstate_cython__, O([]), (None, [])),
])
def test_no_leaks(operation):
    for _ in range(1000):  # pickle's and the allocator's one-off caches fill first
        operation()
    assert_no_leak(operation)


class RaisingAttributes:
    def __getattr__(self, name):
        raise AttributeError("custom message")


class WithOddDict(omit.Omitter):
    @property
    def __dict__(self):
        return RaisingAttributes()


def test_restore_keeps_the_exception_of_a_failed_update_lookup():
    with pytest.raises(AttributeError, match="^custom message$") as info:
        WithOddDict().__setstate__((["a"], {}))
    assert module_entries(info) == [
        ("velmora.omit.Omitter.__setstate_cython__", "<stringsource>", 17),
        ("velmora.omit.__pyx_unpickle_Omitter__set_state", "<stringsource>", 14),
    ]
