"""velmora.redact.redacted: arguments, verdicts, sharing, and the fallback for
omitters that walk in Python."""

import collections
import copy
import threading
import types

import pytest

import velmora.omit as omit
from conftest import assert_no_leak
from velmora.redact import redacted


def test_readme_example_leaves_the_payload_alone():
    payload = {"user": "ann", "password": "hunter2", "profile": {"age": 41}, "tokens": ["t1", "t22"]}
    clean = redacted(omit.Omitter(["password", "tokens"]), payload)
    assert clean == {"user": "ann", "password": "*******", "profile": {"age": 41}, "tokens": ["**", "***"]}
    assert payload["password"] == "hunter2" and payload["tokens"] == ["t1", "t22"]
    assert clean["profile"] is payload["profile"]


def test_nothing_to_mask_returns_the_target_itself():
    data = {"a": ["x", {"b": "y"}], "c": {"d": [1, 2.5, None, True]}}
    assert redacted(omit.Omitter(["zzz"]), data) is data
    assert redacted(omit.Omitter(["a"]), [data], do=False)[0]["a"] == ["*", {"b": "y"}]


@pytest.mark.parametrize("value", ["", "*", "****"])
def test_a_value_that_is_its_own_mask_copies_nothing(value):
    data = {"inner": {"pw": value}}
    assert redacted(omit.Omitter(["pw"]), data) is data


@pytest.mark.parametrize("do, expected", [
    (True, ["*", "**", ["*"], {"x": "y"}]), (False, ["a", "bb", ["c"], {"x": "y"}]),
    (None, ["a", "bb", ["c"], {"x": "y"}]), (0, ["a", "bb", ["c"], {"x": "y"}]), ("yes", ["*", "**", ["*"], {"x": "y"}]),
])
def test_do_is_read_as_omit_recurse_reads_it(do, expected):
    items = ["a", "bb", ["c"], {"x": "y"}]
    assert redacted(omit.Omitter(), items, do) == expected
    assert redacted(omit.Omitter(), items, do=do) == expected
    assert items == ["a", "bb", ["c"], {"x": "y"}]


def test_objects_that_cannot_be_deep_copied_are_shared():
    lock = threading.Lock()
    data = {"lock": lock, "password": "pw", "nested": {"lock": lock}}
    with pytest.raises(TypeError):
        copy.deepcopy(data)  # why deepcopy + omit is no answer here
    clean = redacted(omit.Omitter(["password"]), data)
    assert clean["lock"] is lock and clean["nested"] is data["nested"] and clean["password"] == "**"


@pytest.mark.parametrize("data, message", [
    ({"a": "x", 1: "y"}, "Expected unicode, got int"),
    ({"a": {"b": [{2: ["x"]}]}}, "Expected unicode, got int"),
    ({"a": collections.OrderedDict()}, "Expected dict, got collections.OrderedDict"),
    ({"pw": collections.UserString("x")}, None),  # not a str: left alone
    ({"pw": type("Tag", (str,), {})("x")}, "Expected unicode, got Tag"),
    ({"free": type("Tag", (str,), {})("x")}, None),  # not hidden: left alone
    ({"pw": type("Items", (list,), {})()}, "Expected list, got Items"),
    ([collections.defaultdict(list)], "Expected dict, got collections.defaultdict"),
])
def test_refused_values_fail_as_the_in_place_walk_fails(data, message):
    omitter = omit.Omitter(["pw"])
    snapshot = copy.deepcopy(data)
    walk = omitter.omit if type(data) is dict else omitter.omit_recurse
    if message is None:
        assert redacted(omitter, data) == walk(copy.deepcopy(data))
    else:
        with pytest.raises(TypeError) as in_place:
            walk(copy.deepcopy(data))
        with pytest.raises(TypeError) as copied:
            redacted(omitter, data)
        assert str(copied.value) == str(in_place.value) == message
    assert data == snapshot


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "redacted() missing required argument 'omitter' (pos 1)"),
    ((omit.Omitter(),), {}, "redacted() missing required argument 'target' (pos 2)"),
    ((omit.Omitter(), {}, True, 1), {}, "redacted() takes at most 3 positional arguments (4 given)"),
    ((omit.Omitter(), {}), {"omitter": 1}, "redacted() got multiple values for argument 'omitter'"),
    ((omit.Omitter(), {}), {"dont": 1}, "redacted() got an unexpected keyword argument 'dont'"),
    (({}, {}), {}, "Argument 'omitter' has incorrect type (expected velmora.omit.Omitter, got dict)"),
    ((omit.Omitter(), None), {}, "Argument 'target' has incorrect type (expected dict or list, got NoneType)"),
    ((omit.Omitter(), ("a",)), {}, "Argument 'target' has incorrect type (expected dict or list, got tuple)"),
    ((omit.Omitter(), collections.OrderedDict()), {},
     "Argument 'target' has incorrect type (expected dict or list, got collections.OrderedDict)"),
])
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        redacted(*args, **kwargs)
    assert str(caught.value) == message


def test_keywords_and_a_failing_truth_test():
    class Undecided:
        def __bool__(self):
            raise ValueError("no verdict")

    assert redacted(target=["a"], omitter=omit.Omitter(), do=False) == ["a"]
    with pytest.raises(ValueError, match="no verdict"):
        redacted(omit.Omitter(), ["a"], Undecided())


class Stamping(omit.Omitter):
    def omit_recurse(self, target, do=True):
        return super().omit_recurse(target, do) + ["stamped"]


def test_an_omitter_that_walks_in_python_gets_a_deep_copy():
    data = {"pw": "x", "items": [["a"], {"pw": "y"}]}
    snapshot = copy.deepcopy(data)
    omitter = Stamping(["pw"])
    assert redacted(omitter, data) == omitter.omit(copy.deepcopy(snapshot))
    assert redacted(omitter, data["items"], False) == omitter.omit_recurse(copy.deepcopy(snapshot["items"]), False)
    assert data == snapshot


def test_an_instance_attribute_override_is_honoured():
    class Plain(omit.Omitter):
        pass

    omitter = Plain(["pw"])
    data = {"pw": "secret", "inner": {"pw": "x"}}
    assert redacted(omitter, data) == {"pw": "******", "inner": {"pw": "*"}}
    omitter.omit = lambda target: {"replaced": True}
    assert redacted(omitter, data) == {"replaced": True}
    assert data == {"pw": "secret", "inner": {"pw": "x"}}


def test_no_trust_and_the_module_wide_lists():
    omit.always_trust(["id"])
    data = {"id": "7", "name": "Ann", "tags": ["x"], "more": [{"id": "8", "email": "a@b"}]}
    assert redacted(omit.NoTrustOmitter(["name"]), data) == {
        "id": "7", "name": "Ann", "tags": ["*"], "more": [{"id": "8", "email": "***"}]}
    assert data["more"][0]["email"] == "a@b"


def test_long_and_wide_values():
    secret = "ü" * 70 + "\U0001F600"
    data = {"pw": secret, "list": ["x" * 1000]}
    clean = redacted(omit.Omitter(["pw", "list"]), data)
    assert clean == {"pw": "*" * 71, "list": ["*" * 1000]}


class Plain:
    """A value of a Python class: the number test may run code for it, so
    the walk keeps a record of what it reads from then on."""


class Replacer:
    """Gives the walked "pw" entry of its dict another value when the number
    test reads its `__class__`: the dict is no longer what was read. The
    value is the same object every time, or (`fresh`) a new one."""

    def __init__(self, d, fresh=False):
        self.d, self.fresh = d, fresh

    @property
    def __class__(self):
        self.d["pw"] = "".join(["oth", "er"]) if self.fresh else "other"
        return Replacer


def replaced_behind(fresh=False):
    data = {"pw": "x", "rows": [{"pw": "y"}], "r": None}
    data["r"] = Replacer(data, fresh)
    return data


@pytest.mark.parametrize("name, operation", [
    ("unchanged", lambda o, d: redacted(o, d["clean"])),
    ("recorded", lambda o, d: redacted(o, d["objects"])),
    ("walked again", lambda o, d: redacted(o, replaced_behind())),
    ("kept changing", lambda o, d: pytest.raises(RuntimeError, redacted, o, replaced_behind(True))),
    ("changed", lambda o, d: redacted(o, d["good"])),
    ("list", lambda o, d: redacted(o, d["rows"], True)),
    ("nested TypeError", lambda o, d: pytest.raises(TypeError, redacted, o, d["bad"])),
    ("argument error", lambda o, d: pytest.raises(TypeError, redacted, o, None)),
    ("fallback", lambda o, d: redacted(Stamping(["pw"]), d["good"])),
])
def test_no_leaks(name, operation):
    omitter = omit.Omitter(["pw", "rows"])
    good = {"pw": "secret" * 20, "rows": [{"pw": "x", "n": 1}, "y" * 80, [1.5]], "n": {"pw": "z"}}
    data = {"good": good, "rows": good["rows"], "clean": {"a": "b", "c": [1, {"d": "e"}]},
            "bad": {"ok": {"pw": "z"}, "deep": [{1: "v"}]},
            "objects": {"pw": "x", "when": Plain(), "rows": [{"pw": "y", "p": Plain()}, Plain(), "z"]}}
    assert_no_leak(lambda: operation(omitter, data))


def test_data_changed_behind_the_walk_is_walked_again():
    # The second walk reads "other" and the same object is put back: it
    # matches. A new object every time never does: an error, never a copy
    # that was not checked.
    omitter = omit.Omitter(["pw", "rows"])
    data = replaced_behind()
    out = redacted(omitter, data)
    assert out == {"pw": "*****", "rows": [{"pw": "*"}], "r": data["r"]} and data["pw"] == "other"
    with pytest.raises(RuntimeError, match="the data kept changing while it was being redacted"):
        redacted(omitter, replaced_behind(fresh=True))


@pytest.mark.parametrize("kind", ["hiding_none", "trusting_all", "list_without_do"])
def test_nothing_to_mask_allocates_nothing(kind):
    """Not even for the duration of the call: the peak traced by tracemalloc
    stays at zero on the benchmark's 1,000 records."""
    import os
    import sys
    import tracemalloc

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
    import bench

    payload = bench.make_records(1000)
    if kind == "hiding_none":
        omitter = omit.Omitter(list(bench.DECOYS))
        call = lambda: redacted(omitter, payload)  # noqa: E731
    elif kind == "trusting_all":
        trusted = omit.NoTrustOmitter(sorted(bench.all_keys(payload)))
        call = lambda: redacted(trusted, payload)  # noqa: E731
    else:
        omitter, records = omit.Omitter(["nowhere"]), payload["records"]
        call = lambda: redacted(omitter, records, False)  # noqa: E731
    first = call()
    # tracemalloc sees every thread: one that an earlier test left behind may
    # allocate meanwhile. The walk's own allocations show in every try.
    for _ in range(5):
        tracemalloc.start()
        try:
            tracemalloc.reset_peak()
            again = call()
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert first is again and again in (payload, payload["records"])
        if peak == 0:
            break
    assert peak == 0


@pytest.mark.parametrize("value", [
    ("pw",), {"pw"}, frozenset(), collections.OrderedDict(), collections.deque(), collections.UserList(),
    type("Rows", (list,), {})(), type("Tag", (str,), {})("x"), range(2), types.MappingProxyType({}),
])
@pytest.mark.parametrize("where", ["value", "item", "deep", "override"])
def test_strict_refuses_what_the_walk_passes_over(value, where):
    omitter = Stamping(["pw"]) if where == "override" else omit.Omitter(["pw"])
    data = {"free": value} if where in ("value", "override") else ["x", value] if where == "item" else {
        "a": [{"b": value}]}
    with pytest.raises(TypeError) as caught:
        redacted(omitter, data, strict=True)
    message = str(caught.value)
    assert message.startswith("Expected dict, list or str, got ") and message.endswith(type(value).__name__)


def test_strict_takes_what_the_walk_takes():
    data = {"pw": "x", "n": [1, 2.5, None, True, 3j, b"b", object], "d": {"pw": ["y"]}}
    assert redacted(omit.Omitter(["pw"]), data, strict=True) == {
        "pw": "*", "n": [1, 2.5, None, True, 3j, b"b", object], "d": {"pw": ["*"]}}
    assert redacted(omit.Omitter(["pw"]), {"free": ("pw",)}, strict=0) == {"free": ("pw",)}
