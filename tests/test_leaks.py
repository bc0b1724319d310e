"""Leak sweep: every public operation, succeeding and failing, repeated
thousands of times without growing the heap; reference cycles through
omitters are found and freed by the garbage collector."""

import collections
import copy
import gc
import pickle
import weakref

import pytest

import velmora.omit as m
from conftest import assert_no_leak
from hostile import Finaliser

U_O, U_N = m.__pyx_unpickle_Omitter, m.__pyx_unpickle_NoTrustOmitter
CK_O, CK_N = 259159834, 104289010


class Sub(m.Omitter):
    def omit(self, target):
        return super().omit(target)

    def omit_recurse(self, target, do=True):
        return super().omit_recurse(target, do)


class BadSub(m.Omitter):
    def omit(self, target):
        return [] if target.get("bad") else super().omit(target)


class Grower(m.Omitter):
    """Adds a key to the dict being walked when it meets a nested empty dict."""
    def omit(self, target):
        if target == {}:
            self.parent["x"] = 1
        else:
            self.parent = target
        return super().omit(target)


class Falsy:
    def __bool__(self):
        raise ValueError("no truth")


def data():
    return {"password": "abc", "n": {"password": "x", "k": 1}, "l": ["a", {"password": "b"}, ["c"]], "none": None}


def fails(exc, fn, *args, **kwargs):
    def op():
        try:
            fn(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{fn!r} did not raise {exc.__name__}")
    return op


def sub_with_dict():
    s = Sub(["password"])
    s.label = "x"
    return s


o, n, s = m.Omitter(["password"]), m.NoTrustOmitter(["k"]), sub_with_dict()
bare = m.Omitter.__new__(m.Omitter)

OPS = {
    "hide": lambda: m.hide("straße"),
    "hide_none": fails(TypeError, m.hide, None),
    "hide_bytes": fails(TypeError, m.hide, b"x"),
    "hide_arity": fails(TypeError, m.hide),
    "globally_hidden": m.globally_hidden,
    "globally_trusted": m.globally_trusted,
    "globally_trusted_arity": fails(TypeError, m.globally_trusted, 1),
    "always_omit_then_reset": lambda: (m.always_omit(["k", "j"]), m.reset_omissions()),
    "always_trust_then_reset": lambda: (m.always_trust(["k"]), m.reset_trusted()),
    "always_omit_none": fails(TypeError, m.always_omit, None),
    "always_trust_tuple": fails(TypeError, m.always_trust, ("a",)),
    "reset_keyword": fails(TypeError, m.reset_omissions, x=1),
    "omitter_new": lambda: m.Omitter(["a", "b"]),
    "omitter_default": m.Omitter,
    "omitter_tuple": fails(TypeError, m.Omitter, ("a",)),
    "omitter_arity": fails(TypeError, m.Omitter, [], []),
    "omitter_keyword": fails(TypeError, m.Omitter, omissions=[], extra=1),
    "omitter_reinit": lambda: o.__init__(["password"]),
    "omitter_reinit_tuple": fails(TypeError, o.__init__, ("a",)),
    "no_trust_new": lambda: m.NoTrustOmitter(["a", "a", "b"]),
    "no_trust_unhashable": fails(TypeError, m.NoTrustOmitter, [["x"]]),
    "no_trust_keyword": fails(TypeError, m.NoTrustOmitter, omissions=[]),
    "no_trust_reinit_unhashable": fails(TypeError, n.__init__, [{}]),
    "subclass_new": lambda: Sub(["a"]),
    "omit": lambda: o.omit(data()),
    "omit_recurse": lambda: o.omit_recurse([data(), "s", ["t"]], False),
    "no_trust_omit": lambda: n.omit(data()),
    "subclass_omit": lambda: s.omit(data()),
    "subclass_omit_recurse": lambda: s.omit_recurse([data(), ["x"]]),
    "omit_key_int": fails(TypeError, o.omit, {"password": "a", 1: "y"}),
    "omit_ordered_dict": fails(TypeError, o.omit, {"x": collections.OrderedDict()}),
    "omit_none": fails(AttributeError, o.omit, None),
    "omit_list_arg": fails(TypeError, o.omit, []),
    "omit_arity": fails(TypeError, o.omit),
    "omit_recurse_none": fails(TypeError, o.omit_recurse, None),
    "omit_recurse_truth": fails(ValueError, o.omit_recurse, [], Falsy()),
    "omit_recurse_arity": fails(TypeError, o.omit_recurse, [], 1, 2),
    "omit_foreign_receiver": fails(TypeError, m.Omitter.omit, 5, {}),
    "omit_bare_should_hide": fails(TypeError, bare.omit, {"a": "b"}),
    "override_wrong_result": fails(TypeError, BadSub([]).omit, {"n": {"bad": 1}}),
    "override_size_change": fails(RuntimeError, lambda: Grower([]).omit({"n": {}})),
    "reduce": o.__reduce__,
    "reduce_no_trust": n.__reduce__,
    "reduce_bare": bare.__reduce__,
    "reduce_subclass_dict": s.__reduce__,
    "setstate": lambda: m.Omitter().__setstate__((["a"],)),
    "setstate_subclass_dict": lambda: Sub().__setstate__((["a"], {"label": "y"})),
    "setstate_none": fails(TypeError, o.__setstate__, None),
    "setstate_list": fails(TypeError, o.__setstate__, []),
    "setstate_bad_field": fails(TypeError, n.__setstate__, (["a"], "b")),
    "setstate_short": fails(IndexError, n.__setstate__, (["a"],)),
    "setstate_bad_update": fails(TypeError, lambda: Sub().__setstate__(([], 5))),
    "unpickle": lambda: U_O(m.Omitter, CK_O, (["a"],)),
    "unpickle_no_trust": lambda: U_N(m.NoTrustOmitter, CK_N, None),
    "unpickle_checksum": fails(pickle.PickleError, U_O, m.Omitter, 1, None),
    "unpickle_checksum_type": fails(TypeError, U_O, m.Omitter, "x", None),
    "unpickle_overflow": fails(OverflowError, U_N, m.NoTrustOmitter, 2**40, None),
    "unpickle_wrong_type": fails(TypeError, U_O, m.NoTrustOmitter, CK_O, None),
    "unpickle_state_list": fails(TypeError, U_O, m.Omitter, CK_O, [["a"]]),
    "pickle_round_trip": lambda: pickle.loads(pickle.dumps(o)),
    "pickle_round_trip_no_trust": lambda: pickle.loads(pickle.dumps(n, 0)),
    "pickle_round_trip_subclass": lambda: pickle.loads(pickle.dumps(s)),
    "copy": lambda: copy.copy(n),
    "deepcopy": lambda: copy.deepcopy(s),
}


@pytest.mark.parametrize("name", list(OPS))
def test_operation_does_not_leak(name):
    OPS[name]()
    assert_no_leak(OPS[name])


class WeakSub(m.Omitter):
    pass


class WeakNoTrust(m.NoTrustOmitter):
    pass


def with_state(obj, state):
    obj.__setstate__(state(obj))
    return obj


def with_init(obj, fin):
    obj.__init__([obj, fin])  # an omitter is hashable: it may be trusted
    return obj


def with_attrs(obj, **attrs):
    obj.__dict__.update(attrs, me=obj)
    return obj


CYCLES = {
    "subclass_self_attribute": lambda fin: with_attrs(WeakSub([]), fin=fin),
    "no_trust_subclass_self_attribute": lambda fin: with_attrs(WeakNoTrust([]), fin=fin),
    "omitter_in_own_omissions_setstate": lambda fin: with_state(m.Omitter(), lambda o: ([o, fin],)),
    "no_trust_in_own_trusted_setstate": lambda fin: with_state(m.NoTrustOmitter(), lambda o: (None, [o, fin])),
    "no_trust_in_own_omissions_setstate": lambda fin: with_state(m.NoTrustOmitter(), lambda o: ([o, fin], None)),
    "subclass_in_own_state_dict": lambda fin: with_state(WeakSub(), lambda o: ([o], {"fin": fin, "me": o})),
    "omitter_in_own_list_init": lambda fin: with_init(m.Omitter(), fin),
    "no_trust_in_own_trusted_init": lambda fin: with_init(m.NoTrustOmitter(), fin),
}


def omitter_count():
    return sum(isinstance(obj, m.Omitter) for obj in gc.get_objects())


@pytest.mark.parametrize("name", list(CYCLES))
def test_cycles_through_omitters_are_collected(name):
    gc.collect()
    before, log = omitter_count(), []
    fin = Finaliser(lambda: log.append("finalised"))
    built = [CYCLES[name](fin)] + [CYCLES[name](Finaliser(lambda: log.append("finalised"))) for _ in range(199)]
    probes = [weakref.ref(fin)] + ([weakref.ref(built[0])] if type(built[0]).__weakrefoffset__ else [])
    assert gc.is_tracked(built[0]) and gc.get_referents(built[0])
    del fin, built
    gc.collect()
    assert [p() for p in probes] == [None] * len(probes) and log == ["finalised"] * 200
    assert omitter_count() == before
