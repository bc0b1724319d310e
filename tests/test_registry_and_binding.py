"""Module functions: masking, the module-wide key lists, argument binding and errors."""

import sys

import pytest

import velmora.omit as omit
from conftest import (SOURCE_FILE, STRINGSOURCE, assert_no_leak, assert_runs_clean,
                      call_raising, module_entries)

hide, always_omit, always_trust = omit.hide, omit.always_omit, omit.always_trust
REGISTRIES = [  # extend, copy, reset, name, definition line, body line
    (always_omit, omit.globally_hidden, omit.reset_omissions, "always_omit", 16, 18),
    (always_trust, omit.globally_trusted, omit.reset_trusted, "always_trust", 23, 25),
]
registries = pytest.mark.parametrize("extend, copy_, reset, name, line, body", REGISTRIES,
                                     ids=["omissions", "trusted"])


def raise_lookup(*_):
    raise LookupError("compared")


MyStr, MyList = type("MyStr", (str,), {}), type("MyList", (list,), {})
RaisingEq = type("RaisingEq", (str,), {"__eq__": raise_lookup, "__hash__": str.__hash__})
AlwaysEqual = type("AlwaysEqual", (str,), {"__eq__": lambda *_: True, "__hash__": str.__hash__})


def at(line, name="hide"):
    return [(f"velmora.omit.{name}", SOURCE_FILE, line)]


@pytest.mark.parametrize("text, mask", [
    ("", ""), ("a", "*"), ("straße", "******"), ("\U0001F600", "*"), ("e\u0301", "**"),
    ("a\x00b", "***"), ("x" * 1000, "*" * 1000)])
def test_hide_masks_each_code_point(text, mask):
    for result in (hide(text), hide(target=text)):
        assert result == mask and type(result) is str


@pytest.mark.parametrize("f, args, kwargs, param, expected, got", [
    (hide, (b"ab",), {}, "target", "str", "bytes"),
    (hide, (), {"target": 5}, "target", "str", "int"),
    (hide, (MyStr("a"),), {}, "target", "str", "MyStr"),
    (hide, (omit.Omitter(),), {}, "target", "str", "velmora.omit.Omitter"),
    (always_omit, (("a",),), {}, "targets", "list", "tuple"),
    (always_omit, (MyList(["a"]),), {}, "targets", "list", "MyList"),
    (always_trust, (), {"targets": {"a": 1}}, "targets", "list", "dict"),
    (always_trust, ("a",), {}, "targets", "list", "str"),
])
def test_exact_type_rule(f, args, kwargs, param, expected, got):
    exc = call_raising(f, *args, **kwargs)
    assert type(exc) is TypeError
    assert str(exc) == f"Argument '{param}' has incorrect type (expected {expected}, got {got})"
    assert module_entries(exc) == []
    assert omit.globally_hidden() == [] and omit.globally_trusted() == []


ARITY = "{}() takes exactly 1 positional argument ({} given)"
UNEXPECTED = "{}() got an unexpected keyword argument '{}'"
MULTIPLE = "{}() got multiple values for keyword argument '{}'"


@pytest.mark.parametrize("f, args, kwargs, exc_type, message", [
    (hide, (), {}, TypeError, ARITY.format("hide", 0)),
    (hide, ("a", "b"), {}, TypeError, ARITY.format("hide", 2)),
    (hide, (), {"x": "a", "y": "b"}, TypeError, ARITY.format("hide", 0)),
    (hide, ("a",), {"x": 1}, TypeError, UNEXPECTED.format("hide", "x")),
    (hide, (), {"target": "a", "x": 1}, TypeError, UNEXPECTED.format("hide", "x")),
    (hide, ("a",), {"target": "b"}, TypeError, MULTIPLE.format("hide", "target")),
    (hide, ("a",), {RaisingEq("target"): "b"}, TypeError, MULTIPLE.format("hide", "target")),
    (hide, (), {RaisingEq("target"): "b"}, LookupError, "compared"),
    (always_omit, (), {}, TypeError, ARITY.format("always_omit", 0)),
    (always_omit, ([], []), {}, TypeError, ARITY.format("always_omit", 2)),
    (always_omit, (), {"target": []}, TypeError, ARITY.format("always_omit", 0)),
    (always_omit, ([],), {AlwaysEqual("zz"): []}, TypeError,
     UNEXPECTED.format("always_omit", "zz")),
    (always_trust, ([],), {"targets": []}, TypeError, MULTIPLE.format("always_trust", "targets")),
    (always_trust, (), {"targets": ["a"], "y": 1}, TypeError,
     UNEXPECTED.format("always_trust", "y")),
    (always_trust, ([], [], []), {}, TypeError, ARITY.format("always_trust", 3)),
])
def test_binding_failures(f, args, kwargs, exc_type, message):
    exc = call_raising(lambda: f(*args, **kwargs))  # keys reach f untouched
    assert type(exc) is exc_type and str(exc) == message
    assert module_entries(exc) == at({"hide": 8, "always_omit": 16, "always_trust": 23}[
        f.__name__], f.__name__)
    assert omit.globally_hidden() == [] and omit.globally_trusted() == []


def test_hide_none_fails_in_the_body():
    exc = call_raising(hide, None)
    assert type(exc) is TypeError and str(exc) == "object of type 'NoneType' has no len()"
    assert module_entries(exc) == at(8) + at(10)


@pytest.mark.parametrize("make_key", [
    lambda name: name, lambda name: "".join(list(name)), MyStr,
    lambda name: AlwaysEqual("~" + name)], ids=["identical", "equal", "subclass", "subclass-eq"])
def test_keyword_binding(make_key):
    assert hide(**{make_key("target"): "abc"}) == "***"
    assert always_omit(**{make_key("targets"): ["k"]}) is None
    assert always_trust(**{make_key("targets"): ["t"]}) is None
    assert (omit.globally_hidden(), omit.globally_trusted()) == (["k"], ["t"])


@registries
def test_extend_and_copy(extend, copy_, reset, name, line, body):
    assert copy_() == []
    keys = ["a", 1, None, ["unhashable"]]
    assert extend(keys) is None and extend(keys[:1]) is None and extend([]) is None
    keys.append("late")
    first, second = copy_(), copy_()
    assert first == second == ["a", 1, None, ["unhashable"], "a"] and first is not second
    assert all(x is y for x, y in zip(first, keys[:4]))
    first.append("mine")
    assert copy_() == second


@registries
def test_extend_with_none_leaves_list_unchanged(extend, copy_, reset, name, line, body):
    extend(["a"])
    exc = call_raising(extend, None)
    assert type(exc) is TypeError and str(exc) == "'NoneType' object is not iterable"
    assert module_entries(exc) == at(line, name) + at(body, name)
    assert copy_() == ["a"]


@registries
def test_references_are_owned_and_released(extend, copy_, reset, name, line, body):
    key, keys = object(), []
    keys.append(key)
    counts = sys.getrefcount(key), sys.getrefcount(keys)
    extend(keys)
    extend(keys)
    assert (sys.getrefcount(key), sys.getrefcount(keys)) == (counts[0] + 2, counts[1])
    assert reset() is None
    assert (sys.getrefcount(key), sys.getrefcount(keys)) == counts


@registries
def test_reset_installs_new_list_before_releasing_old(extend, copy_, reset, name, line, body):
    seen = []

    class Finalised:
        def __del__(self):
            seen.append(copy_())
            extend(["from-finaliser"])

    extend([Finalised()])
    reset()
    assert seen == [[]] and copy_() == ["from-finaliser"]


@pytest.mark.parametrize("reset, expected", [
    (omit.reset_omissions, ([], ["t"])), (omit.reset_trusted, (["o"], []))])
def test_resets_are_independent(reset, expected):
    always_omit(["o"])
    always_trust(["t"])
    assert reset() is None
    assert (omit.globally_hidden(), omit.globally_trusted()) == expected


@pytest.mark.parametrize("module_first", [True, False])
def test_sites_in_different_files_are_not_confused(module_first):
    assert_runs_clean(f"""
        import traceback, velmora.omit as m
        def entries(call):
            try:
                call()
            except TypeError as exc:
                return [(f.name, f.filename, f.lineno)
                        for f in traceback.extract_tb(exc.__traceback__)
                        if f.filename in ({SOURCE_FILE!r}, {STRINGSOURCE!r})]
        module = lambda: entries(lambda: m.always_omit())
        pickling = lambda: entries(lambda: m.Omitter().__setstate_cython__())
        for call in ([module, pickling] if {module_first} else [pickling, module]) * 2:
            call()
        assert module() == [("velmora.omit.always_omit", {SOURCE_FILE!r}, 16)], module()
        assert pickling() == [("velmora.omit.Omitter.__setstate_cython__",
                               {STRINGSOURCE!r}, 16)], pickling()
    """)


def test_module_functions_do_not_leak():
    failing = [(hide, (None,), {}), (hide, (b"x",), {}), (hide, ("a",), {"target": "b"}),
               (hide, (), {"x": 1}), (hide, (), {RaisingEq("target"): "b"}),
               (always_omit, (None,), {}), (always_trust, (MyList(),), {}),
               (always_trust, ([],), {"y": 1}), (omit.globally_hidden, (1,), {}),
               (omit.globally_trusted, (), {"x": 1}), (omit.reset_omissions, (1, 2), {}),
               (omit.reset_trusted, (), {"x": 1})]

    def exercise():
        hide("straße")
        hide(target="")
        always_omit(["k", 1])
        always_trust(**{MyStr("targets"): ["t"]})
        omit.globally_hidden()
        omit.globally_trusted()
        omit.reset_omissions()
        omit.reset_trusted()
        for f, args, kwargs in failing:
            try:
                f(*args, **kwargs)
            except (TypeError, LookupError):
                pass

    assert_no_leak(exercise, repeat=500)


@pytest.mark.parametrize(
    "extend, reset, read",
    [("always_omit", "reset_omissions", "globally_hidden"), ("always_trust", "reset_trusted", "globally_trusted")],
)
def test_extend_reads_the_list_after_binding(extend, reset, read):
    # A keyword whose __eq__ resets the module-wide list while the call binds
    # its arguments: the extension must land in the list that is current then.
    proc = assert_runs_clean(f"""
        import velmora.omit as m
        m.{extend}(["old"])
        class Key(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                m.{reset}()
                return str.__eq__(self, other)
        assert m.{extend}(**{{Key("targets"): ["password"]}}) is None
        print(m.{read}())
        x = [1]; y = [2]; print(x, y)
    """)
    assert proc.stdout.splitlines() == ["['password']", "[1] [2]"]
