"""What differs between the interpreter lines the module is built for: the
gates each line opens, the recursion budget a walk counts against, dict
watchers (3.12 on), and the version check of a build on its own line."""

import ctypes
import json
import sys

import _testcapi

import pytest

from conftest import SANITIZED, assert_runs_clean
from velmora.omit import NoTrustOmitter, Omitter

OPEN = "open"
# What each line opens. A gate closed by design says what stands in for it;
# any other closed gate is a fact that failed its check at import, which
# sends the walk down a slower public-API path in silence.
GATES = {
    (3, 11): {"dict versions": OPEN, "cached str hash": OPEN, "recursion budget": OPEN, "dict entries": OPEN,
              "entry writes": OPEN,
              "dict watcher": "closed by design: no dict watchers before 3.12; the caches read version tags",
              "tag flips": OPEN, "str fills": OPEN,
              "tag counter": "closed by design: 3.11 keeps the counter in a static of dictobject.c; tags come "
                             "from the flips"},
    (3, 12): {"dict versions": OPEN, "cached str hash": OPEN, "recursion budget": OPEN, "dict entries": OPEN,
              "entry writes": OPEN, "dict watcher": OPEN, "tag flips": OPEN, "str fills": OPEN, "tag counter": OPEN},
    (3, 13): {"dict versions": OPEN, "cached str hash": OPEN, "recursion budget": OPEN, "dict entries": OPEN,
              "entry writes": OPEN, "dict watcher": OPEN, "tag flips": OPEN, "str fills": OPEN, "tag counter": OPEN},
}


def layout_gates():
    """The gates as the package's native modules find them: nine flags
    after the six function pointers of the method table in Omitter's
    capsule."""
    get_pointer = ctypes.pythonapi["PyCapsule_GetPointer"]
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = get_pointer(Omitter.__dict__["__pyx_vtable__"], None)
    flags = ctypes.c_void_p.from_address(table + 6 * ctypes.sizeof(ctypes.c_void_p)).value
    return list(ctypes.cast(flags, ctypes.POINTER(ctypes.c_bool * len(GATE_NAMES))).contents)


def test_each_gate_is_open_or_closed_by_design_on_this_line():
    expected = GATES.get(sys.version_info[:2])
    assert expected is not None, f"no gate table for CPython {sys.version_info[:2]}: a port starts here"
    found = dict(zip(expected, layout_gates()))
    assert {name: OPEN if is_open else "closed" for name, is_open in found.items()} == {
        name: OPEN if state == OPEN else "closed" for name, state in expected.items()}


GATE_NAMES = {"dict versions": "dict_versions", "cached str hash": "str_hash", "recursion budget": "recursion_budget",
              "dict entries": "dict_entries", "entry writes": "entry_writes", "dict watcher": "dict_watcher",
              "tag flips": "tag_flips", "str fills": "str_fills", "tag counter": "tag_counter"}


@pytest.mark.parametrize("request_", ["all", "dict_entries", "dict_versions", "str_hash,bogus,dict_watcher",
                                      "recursion_budget", "entry_writes", "tag_flips", "str_fills",
                                      "tag_counter"])
def test_gates_close_on_request_and_the_walk_stays_exact(request_):
    """VELMORA_CLOSE_GATES closes gates at import, so that every fallback can
    be tried on a line where every fact holds (CI runs the walk's tests so).
    Writing entries in place needs the entries and the tags."""
    proc = assert_runs_clean("""
        import copy, json
        from test_interpreter_lines import layout_gates
        from velmora.omit import NoTrustOmitter, Omitter
        class Sub(Omitter):
            pass
        data = {"pw": "abc", 1: {"pw": ["x", "yy"], "n": 2}, "l": [{"pw": "z"}, "w"], None: "q"}
        own = Sub(["pw", None])
        own.omit = Omitter.omit
        results = [Omitter(["pw", None]).omit(copy.deepcopy(data)),
                   NoTrustOmitter(["n", "l"]).omit({"n": "1", "l": ["a"], "m": {"k": "v"}}),
                   Omitter.omit(own, {"a": {"pw": "1234"}, "b": {"pw": "5"}})]
        print(json.dumps([layout_gates(), [repr(r) for r in results]]))
    """, env={"VELMORA_CLOSE_GATES": request_})
    gates, results = json.loads(proc.stdout)
    requested = set(request_.split(","))
    closed = {name for name, flag in GATE_NAMES.items() if "all" in requested or flag in requested}
    if closed & {"dict entries", "dict versions"}:
        closed.add("entry writes")
    if "dict versions" in closed:
        closed.add("tag flips")  # a tag is read off the flipped dict
    if "tag flips" in closed:
        closed.add("tag counter")  # the counter is told by the tags the flips take
    if "cached str hash" in closed:
        closed.add("str fills")  # a str never hashed is told by its cached hash
    expected = {name: state == OPEN and name not in closed for name, state in GATES[sys.version_info[:2]].items()}
    assert dict(zip(GATE_NAMES, gates)) == expected
    assert results == [
        repr({"pw": "***", 1: {"pw": ["*", "**"], "n": 2}, "l": [{"pw": "*"}, "w"], None: "*"}),
        repr({"n": "1", "l": ["a"], "m": {"k": "*"}}),
        repr({"a": {"pw": "****"}, "b": {"pw": "*"}})]


watchers = pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers arrive in 3.12")


@watchers
@pytest.mark.parametrize("make", [lambda: Omitter(["password", "token"]), lambda: NoTrustOmitter(["id", "inner"])],
                         ids=["omit", "notrust"])
def test_a_watched_dict_tells_its_watchers_of_every_mask(make):
    """A mask written into a dict entry in place would slip past the dict's
    watchers: a watched dict is masked through its own stores."""
    data = {"id": "1", "password": "pw", "token": "tk", "inner": {"password": "deep", "id": "2"}}
    watcher = _testcapi.add_dict_watcher(0)
    try:
        _testcapi.watch_dict(watcher, data)
        _testcapi.watch_dict(watcher, data["inner"])
        make().omit(data)
        events = _testcapi.get_dict_watcher_events()
    finally:
        _testcapi.clear_dict_watcher(watcher)
    assert data == {"id": "1", "password": "**", "token": "**", "inner": {"password": "****", "id": "2"}}
    assert sorted(events) == ["mod:password:**", "mod:password:****", "mod:token:**"]


class Sub(Omitter):
    pass


def test_a_remembered_lookup_never_stands_for_a_dict_born_where_a_dead_one_was():
    """The override dispatch remembers the dicts of an object whose instance
    holds the module's own method; a new object's dict may be born at the
    address of the dead one's, and its override must still be called."""
    for _ in range(50):
        own = Sub(["password"])
        own.omit = Omitter.omit
        assert Omitter.omit(own, {"n": {"password": "x"}}) == {"n": {"password": "*"}}
        del own
        calls = []
        other = Sub(["password"])
        other.omit = lambda target: calls.append(target) or target
        assert Omitter.omit(other, {"n": {"password": "x"}}) == {"n": {"password": "x"}}
        assert calls == [{"password": "x"}]


NEST = """
import json, sys
from velmora.omit import Omitter

def nest(depth, kind):
    data = leaf = {} if kind == "dict" else []
    for _ in range(depth):
        inner = {} if kind == "dict" else []
        if kind == "dict":
            leaf["k"] = inner
        else:
            leaf.append(inner)
        leaf = inner
    return data

def outcome(call, data):
    try:
        call(data)
    except RecursionError as exc:
        return str(exc).split(" while ")[0]
    return "ok"
"""


DEEP = "maximum recursion depth exceeded"
# Whether a walk of nested containers ends in RecursionError, per line:
# 3.11 counts against the recursion limit, 3.12 against 1500 native levels,
# 3.13 against 10000.
DEPTHS = {
    (60, 300): {(3, 11): DEEP, (3, 12): "ok", (3, 13): "ok"},
    (None, 1200): {(3, 11): DEEP, (3, 12): "ok", (3, 13): "ok"},
    (None, 5000): {(3, 11): DEEP, (3, 12): DEEP, (3, 13): "ok"},
    (None, 30000): {(3, 11): DEEP, (3, 12): DEEP, (3, 13): DEEP},
}


@pytest.mark.parametrize("limit, depth", DEPTHS)
@pytest.mark.parametrize("kind", ["dict", "list"])
def test_a_walk_goes_as_deep_as_the_interpreters_own_native_recursion(limit, depth, kind):
    """Each level of a walk counts against the budget Py_EnterRecursiveCall
    counts: on 3.11 the recursion limit Python frames share, from 3.12 the
    native one, which sys.setrecursionlimit() does not move. json's encoder
    counts the same budget, one level per container, so the walk and
    json.dumps fail or pass together."""
    proc = assert_runs_clean(NEST + f"""
if {limit!r}:
    sys.setrecursionlimit({limit!r})
data = nest({depth}, {kind!r})
walk = Omitter().omit if {kind!r} == "dict" else Omitter().omit_recurse
print(json.dumps([outcome(json.dumps, data), outcome(walk, data)]))
""")
    encoded, walked = json.loads(proc.stdout)
    if SANITIZED and walked == DEEP:
        # Redzones make each level's native frame several times larger under
        # the sanitizers: the guard on the thread's stack ends the walk sooner
        # than the interpreter's count would, with the same error.
        return
    assert walked == encoded
    assert walked == DEPTHS[limit, depth].get(sys.version_info[:2], walked)


def test_a_build_imported_on_its_own_line_warns_of_nothing():
    proc = assert_runs_clean("import velmora.omit, velmora.rules, velmora.scan, velmora.redact",
                             env={"PYTHONWARNINGS": "error"})
    assert proc.stderr == ""


# Pickles as 3.11 writes them; every line must write the same bytes and read
# them back the same.
PICKLES_OF_3_11 = {
    0: (b"cvelmora.omit\n__pyx_unpickle_Omitter\np0\n(cvelmora.omit\nOmitter\np1\nI259159834\nNtp2\nRp3\n((lp4\nVa\n"
        b"p5\naNatp6\nb.",
        b"cvelmora.omit\n__pyx_unpickle_NoTrustOmitter\np0\n(cvelmora.omit\nNoTrustOmitter\np1\nI104289010\nNtp2\n"
        b"Rp3\n(N(lp4\nVid\np5\natp6\nb."),
    2: (b"\x80\x02cvelmora.omit\n__pyx_unpickle_Omitter\nq\x00cvelmora.omit\nOmitter\nq\x01J\x1awr\x0fN\x87q\x02Rq"
        b"\x03]q\x04(X\x01\x00\x00\x00aq\x05Ne\x85q\x06b.",
        b"\x80\x02cvelmora.omit\n__pyx_unpickle_NoTrustOmitter\nq\x00cvelmora.omit\nNoTrustOmitter\nq\x01J\xf2R7"
        b"\x06N\x87q\x02Rq\x03N]q\x04X\x02\x00\x00\x00idq\x05a\x86q\x06b."),
    5: (b"\x80\x05\x95O\x00\x00\x00\x00\x00\x00\x00\x8c\x0cvelmora.omit\x94\x8c\x16__pyx_unpickle_Omitter\x94\x93"
        b"\x94h\x00\x8c\x07Omitter\x94\x93\x94J\x1awr\x0fN\x87\x94R\x94]\x94(\x8c\x01a\x94Ne\x85\x94b.",
        b"\x80\x05\x95]\x00\x00\x00\x00\x00\x00\x00\x8c\x0cvelmora.omit\x94\x8c\x1d__pyx_unpickle_NoTrustOmitter\x94"
        b"\x93\x94h\x00\x8c\x0eNoTrustOmitter\x94\x93\x94J\xf2R7\x06N\x87\x94R\x94N]\x94\x8c\x02id\x94a\x86\x94b."),
}


@pytest.mark.parametrize("protocol", sorted(PICKLES_OF_3_11))
def test_pickles_are_those_of_3_11(protocol):
    import pickle

    import velmora.omit as omit
    saved = omit.globally_hidden(), omit.globally_trusted()
    omit.reset_omissions()
    omit.reset_trusted()
    try:
        made = pickle.dumps(Omitter(["a", None]), protocol), pickle.dumps(NoTrustOmitter(["id"]), protocol)
        assert made == PICKLES_OF_3_11[protocol]
        loaded = [pickle.loads(blob) for blob in PICKLES_OF_3_11[protocol]]
        assert loaded[0].omit({"a": "xy", None: "z", "b": "c"}) == {"a": "**", None: "*", "b": "c"}
        assert loaded[1].omit({"id": "7", "name": "Ann"}) == {"id": "7", "name": "***"}
    finally:
        omit.always_omit(saved[0])
        omit.always_trust(saved[1])
