"""The function objects behind every module function, method and reconstructor."""

import copy
import gc
import inspect
import pickle
import sys
import types
import weakref

import pytest

import velmora.omit as omit
from conftest import CODE_FILE, STRINGSOURCE, call_raising, module_entries

O, N = omit.Omitter, omit.NoTrustOmitter
slot_call = type(omit.hide).__call__
UNPICKLE = ("(__pyx_type, __pyx_checksum, __pyx_state)", ("__pyx_PickleError", "__pyx_result"))
REDUCE = ("(self)", ("state", "_dict", "use_setstate"))
TABLE = [  # qualified name, co_filename, co_firstlineno, signature, further local names
    ("hide", CODE_FILE, 8, "(target)", ()),
    ("globally_hidden", CODE_FILE, 13, "()", ()),
    ("always_omit", CODE_FILE, 16, "(targets)", ()),
    ("globally_trusted", CODE_FILE, 20, "()", ()),
    ("always_trust", CODE_FILE, 23, "(targets)", ()),
    ("reset_omissions", CODE_FILE, 27, "()", ()),
    ("reset_trusted", CODE_FILE, 31, "()", ()),
    ("Omitter.omit", CODE_FILE, 46, "(self, target)", ()),
    ("Omitter.omit_recurse", CODE_FILE, 62, "(self, target, do=1)", ()),
    ("Omitter.__reduce_cython__", STRINGSOURCE, 1, *REDUCE),
    ("Omitter.__setstate_cython__", STRINGSOURCE, 16, "(self, __pyx_state)", ()),
    ("NoTrustOmitter.__reduce_cython__", STRINGSOURCE, 1, *REDUCE),
    ("NoTrustOmitter.__setstate_cython__", STRINGSOURCE, 16, "(self, __pyx_state)", ()),
    ("__pyx_unpickle_Omitter", STRINGSOURCE, 1, *UNPICKLE),
    ("__pyx_unpickle_NoTrustOmitter", STRINGSOURCE, 1, *UNPICKLE),
]
QUALNAMES = [row[0] for row in TABLE]
METHODS = [q for q in QUALNAMES if "." in q]
NOARGS = [omit.globally_hidden, omit.globally_trusted, omit.reset_omissions, omit.reset_trusted]


def resolve(qualname):
    """The function object stored under a qualified name (a type's own dict for methods)."""
    owner, _, name = qualname.rpartition(".")
    return getattr(omit, owner).__dict__[name] if owner else getattr(omit, name)


class Sub(O):
    pass


@pytest.mark.parametrize("qualname", QUALNAMES)
def test_attributes(qualname):
    f = resolve(qualname)
    assert type(f) is type(omit.hide)
    assert (f.__name__, f.__qualname__, f.__module__) == (
        qualname.rpartition(".")[2], qualname, "velmora.omit")
    assert f.__doc__ is None and f.__kwdefaults__ is None and f.__globals__ is vars(omit)
    if qualname == "Omitter.omit_recurse":
        assert f.__defaults__ == (1,) and type(f.__defaults__[0]) is int
    else:
        assert f.__defaults__ is None


@pytest.mark.parametrize("qualname, filename, firstlineno, signature, local_names", TABLE,
                         ids=QUALNAMES)
def test_code_and_signature(qualname, filename, firstlineno, signature, local_names):
    f = resolve(qualname)
    code = f.__code__
    params = tuple(p.split("=")[0] for p in signature[1:-1].split(", ") if p)
    assert (code.co_varnames, code.co_argcount) == (params + local_names, len(params))
    assert (code.co_filename, code.co_firstlineno) == (filename, firstlineno)
    assert code.co_name == code.co_qualname == f.__name__
    assert (code.co_posonlyargcount, code.co_kwonlyargcount, code.co_flags) == (0, 0, 3)
    assert code.co_code == b"" and code.co_consts == code.co_names == ()
    assert code.co_freevars == code.co_cellvars == ()
    assert str(inspect.signature(f)) == signature
    assert "\\\\" not in code.co_filename


@pytest.mark.parametrize("qualname", METHODS)
def test_methods_bind_like_python_functions(qualname):
    f = resolve(qualname)
    tp = getattr(omit, qualname.partition(".")[0])
    assert getattr(tp, f.__name__) is f and f.__get__(None, tp) is f
    for instance in (tp(), type("S", (tp,), {})()):
        bound = getattr(instance, f.__name__)
        assert type(bound) is types.MethodType
        assert bound.__func__ is f and bound.__self__ is instance


def test_bound_signatures_and_inherited_methods():
    assert str(inspect.signature(O().omit_recurse)) == "(target, do=1)"
    assert str(inspect.signature(N().omit)) == "(target)"
    assert N().omit.__func__ is O.__dict__["omit"]
    bound = omit.hide.__get__("abcd")
    assert type(bound) is types.MethodType and bound() == "****"


@pytest.mark.parametrize("proto", [0, 2, pickle.HIGHEST_PROTOCOL])
@pytest.mark.parametrize("qualname", QUALNAMES)
def test_pickled_and_copied_by_reference(qualname, proto):
    f = resolve(qualname)
    assert f.__reduce__() == qualname
    assert pickle.loads(pickle.dumps(f, proto)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


@pytest.mark.parametrize("qualname", METHODS)
@pytest.mark.parametrize("via_slot", [False, True])
def test_method_through_type_needs_an_argument(qualname, via_slot):
    f = resolve(qualname)
    exc = call_raising(slot_call, f) if via_slot else call_raising(f)
    assert type(exc) is TypeError and str(exc) == f"{f.__name__}() needs an argument"
    assert module_entries(exc) == []


def outcome(thunk):
    try:
        return "ok", thunk()
    except Exception as exc:  # noqa: BLE001 - the outcome is compared
        return type(exc), str(exc), module_entries(exc)


@pytest.mark.parametrize("f, args, kwargs", [
    (omit.hide, ("abc",), {}), (omit.hide, (), {"target": "abcd"}), (omit.hide, (), {}),
    (omit.hide, ("a",), {"target": "b"}), (omit.hide, (5,), {}), (omit.hide, (None,), {}),
    (omit.always_omit, (), {"targets": None}), (omit.globally_hidden, (), {}),
    (omit.globally_trusted, (1,), {}), (omit.reset_trusted, (), {"x": 1}),
    (O.omit, (Sub(["k"]), {"k": "v"}), {}), (O.omit_recurse, (O(), ["v"]), {"do": 0}),
    (O.omit_recurse, (O(),), {"target": [], "x": 1}), (O.omit, (O(), [], 1), {}),
    (O.__reduce_cython__, (O(),), {"a": 1}),
])
def test_classic_call_slot_matches_the_fast_call(f, args, kwargs):
    fast = outcome(lambda: f(*args, **kwargs))
    assert outcome(lambda: slot_call(f, *args, **kwargs)) == fast


@pytest.mark.parametrize("f, kwargs", [
    (omit.hide, {1: 2}), (omit.hide, {"target": "a", 1: 2}),
    (omit.always_omit, {"targets": ["x"], (1,): 2}), (omit.reset_omissions, {None: 1}),
])
def test_classic_call_slot_rejects_non_str_keywords(f, kwargs):
    omit.always_omit(["k"])
    exc = call_raising(lambda: slot_call(f, **kwargs))
    assert type(exc) is TypeError and str(exc) == "keywords must be strings"
    assert module_entries(exc) == [] and omit.globally_hidden() == ["k"]  # nothing ran


def test_classic_call_slot_accepts_str_subclass_keywords_and_empty_dicts():
    assert slot_call(omit.hide, **{type("K", (str,), {})("target"): "abc"}) == "***"
    assert slot_call(omit.globally_hidden, **{}) == []


@pytest.mark.parametrize("f", NOARGS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "{}() takes no arguments (1 given)"),
    ((1, 2), {}, "{}() takes no arguments (2 given)"),
    ((), {"x": 1}, "{}() takes no keyword arguments"),
    ((1,), {"x": 1}, "{}() takes no keyword arguments"),
])
@pytest.mark.parametrize("via_slot", [False, True])
def test_no_argument_functions_refuse_arguments(f, args, kwargs, message, via_slot):
    omit.always_omit(["k"])
    omit.always_trust(["t"])
    exc = call_raising(slot_call, f, *args, **kwargs) if via_slot else call_raising(
        f, *args, **kwargs)
    assert type(exc) is TypeError and str(exc) == message.format(f.__name__)
    assert module_entries(exc) == []
    assert (omit.globally_hidden(), omit.globally_trusted()) == (["k"], ["t"])


@pytest.mark.parametrize("qualname", QUALNAMES)
def test_gc_sees_the_function_references(qualname):
    f = resolve(qualname)
    assert gc.is_tracked(f)
    referents = [id(r) for r in gc.get_referents(f)]
    for held in (f.__globals__, f.__code__, f.__defaults__):
        assert held is None or id(held) in referents


def test_cycle_through_bound_method_is_collected():
    f = O.__dict__["omit"]
    gc.collect()
    before = sys.getrefcount(f)
    obj = Sub()
    obj.again = obj.omit  # obj -> __dict__ -> bound method -> obj
    assert sys.getrefcount(f) == before + 1
    ref = weakref.ref(obj)
    del obj
    gc.collect()
    assert ref() is None and sys.getrefcount(f) == before
