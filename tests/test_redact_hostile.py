"""Hostile data for copy-on-write redaction, each case in its own interpreter:
Python code run in the middle of the walk (key-list `__eq__`, `__class__`
properties, finalisers) that changes the data or the key lists, deep
nesting and data that contains itself. None of it may crash the process;
the walk fails with an exception or finishes with sound verdicts."""

import pytest

from conftest import assert_runs_clean

PRELUDE = """
import copy, gc, sys
import velmora.omit as omit
from velmora.redact import redacted

def fails(exc_type, message, fn, *args):
    try:
        fn(*args)
    except exc_type as exc:
        assert message in str(exc), (type(exc), str(exc))
    else:
        raise AssertionError("no exception")
"""


def run(code):
    return assert_runs_clean(PRELUDE + code).stdout


def test_key_list_eq_that_grows_the_dict_being_redacted():
    run("""
data = {"a": "1", "b": "2", "c": {"d": "3"}}
class Grower:
    def __eq__(self, other):
        data["k%d" % len(data)] = "new"
        return False
    __hash__ = object.__hash__
fails(RuntimeError, "dictionary changed size during iteration", redacted, omit.Omitter([Grower(), "b"]), data)
""")


def test_key_list_eq_that_empties_the_list_being_redacted():
    out = run("""
items = [{"k": "v"}, {"k": "w"}, "tail", "more"]
class Emptier:
    def __eq__(self, other):
        items.clear()
        gc.collect()
        return False
    __hash__ = object.__hash__
fails(IndexError, "list index out of range", redacted, omit.Omitter([Emptier()]), items)
print(items)
""")
    assert out.strip() == "[]"


def test_key_list_eq_that_swaps_values_keeps_the_size():
    # Changes that keep the size do not stop the walk; what was read is
    # held, so it finishes soundly. But `data` is no longer what was read
    # ("pw" holds another value): it is walked again as it stands, and the
    # answer is never the stale "******".
    run("""
data = {"pw": "secret", "inner": {"x": "y"}, "tail": "t"}
class Swapper:
    def __eq__(self, other):
        if other == "x":  # while the walk is inside data["inner"]
            data["inner"] = None  # the walk now holds its last reference
            data["pw"] = "replaced"
            gc.collect()
        return False
    __hash__ = object.__hash__
out = redacted(omit.Omitter([Swapper(), "pw", "x"]), data)
assert out == {"pw": "********", "inner": None, "tail": "t"}, out
assert data == {"pw": "replaced", "inner": None, "tail": "t"}, data
""")


@pytest.mark.parametrize("effect", ["retype", "empty_dict", "claim_bool"])
def test_class_property_during_the_number_test(effect):
    # isinstance(value, bool) looks up `__class__`: the property may re-type
    # the value (dropping its old class), take it out of the data, or claim
    # that the value is a bool.
    run(f"""
effect = {effect!r}
data = {{}}
def make():
    class Shifty:
        @property
        def __class__(self):
            if effect == "retype":
                object.__dict__["__class__"].__set__(self, Plain)
                gc.collect()
                return Plain
            if effect == "empty_dict":
                data.clear()
                gc.collect()
                return Shifty
            return bool
    return Shifty()
class Plain:
    pass
data.update(first="x", value=make(), pw="secret")
gc.collect()
omitter = omit.Omitter(["pw", "first"])
if effect == "empty_dict":
    fails(RuntimeError, "dictionary changed size", redacted, omitter, data)
else:
    out = redacted(omitter, data)
    assert out["pw"] == "******" and out["first"] == "*" and out["value"] is data["value"], out
""")


def test_finaliser_run_mid_walk_that_changes_the_trusted_keys():
    # A key list handed out through the pickling state is changed by a
    # finaliser that runs when the walk drops the last reference to a value
    # taken out of the data. Verdicts asked after that follow the new list.
    # The holder was given a new value behind the walk, so no copy of it can
    # be trusted: the data is walked again as it stands, and every verdict
    # follows the new list.
    run("""
omitter = omit.NoTrustOmitter(["name", "id"])
trusted = omitter.__reduce_cython__()[2][1]
class Finalised:
    def __del__(self):
        trusted.remove("name")
data = {"name": "ann", "holder": {"obj": Finalised()}, "tail": {"name": "bob"}}
class Dropper:
    @property
    def __class__(self):
        data["holder"]["obj"] = None  # the walk holds the last reference
        return Dropper
data["holder"]["drop"] = Dropper()
out = redacted(omitter, data)
assert trusted == ["id"], trusted
assert out["name"] == "***" and out["holder"]["obj"] is None and out["tail"] == {"name": "***"}, out
""")


def test_class_property_that_changes_the_keys_between_verdicts():
    # The same without a finaliser: the property itself edits the list the
    # omitter already answered from.
    run("""
omitter = omit.NoTrustOmitter(["name", "id"])
trusted = omitter.__reduce_cython__()[2][1]
class Editor:
    @property
    def __class__(self):
        trusted.remove("name")
        return Editor
data = {"name": "ann", "edit": Editor(), "more": {"name": "bob"}, "list": [{"name": "cy"}]}
out = redacted(omitter, data)
assert out == {"name": "ann", "edit": data["edit"], "more": {"name": "***"}, "list": [{"name": "**"}]}, out
""")


def test_key_list_changed_between_calls():
    run("""
omitter = omit.NoTrustOmitter(["name", "id"])
trusted = omitter.__reduce_cython__()[2][1]  # the omitter's own list
assert redacted(omitter, {"name": "ann"}) == {"name": "ann"}
trusted.remove("name")
assert redacted(omitter, {"name": "ann"}) == {"name": "***"}
""")


def test_omitter_reinitialised_mid_walk():
    run("""
omitter = omit.Omitter(["pw"])
class Reinit:
    @property
    def __class__(self):
        omitter.__init__(["other"])
        gc.collect()
        return Reinit
data = {"pw": "a", "r": Reinit(), "n": {"pw": "b", "other": "c"}}
out = redacted(omitter, data)
assert out["pw"] == "*" and out["n"] == {"pw": "b", "other": "*"}, out
""")


@pytest.mark.parametrize("kind", ["dict", "list"])
@pytest.mark.parametrize("limit", [None, 10**6])
def test_deep_nesting_ends_in_recursion_error(kind, limit):
    run(f"""
import threading
kind, limit = {kind!r}, {limit!r}
if limit:
    sys.setrecursionlimit(limit)
data = leaf = ({{}} if kind == "dict" else [])
for _ in range(100_000):
    inner = {{}} if kind == "dict" else []
    if kind == "dict":
        leaf["k"] = inner
    else:
        leaf.append(inner)
    leaf = inner
fails(RecursionError, "maximum recursion depth exceeded", redacted, omit.Omitter(["k"]), data)
# The same in a thread with a small stack: the native bound stops it.
threading.stack_size(512 * 1024)
errors = []
def worker():
    try:
        redacted(omit.Omitter(["k"]), data)
    except RecursionError as exc:
        errors.append(exc)
t = threading.Thread(target=worker)
t.start(); t.join()
assert len(errors) == 1
""")


def test_self_containing_containers():
    run("""
d = {"pw": "x"}
d["self"] = d
l = ["x"]
l.append(l)
fails(RecursionError, "maximum recursion depth", redacted, omit.Omitter(["pw"]), d)
fails(RecursionError, "maximum recursion depth", redacted, omit.Omitter(), l)
assert d["pw"] == "x" and l[0] == "x"
""")


@pytest.mark.parametrize("case", ["mutable_key", "colliding_keys", "delete_and_insert"])
def test_copies_follow_the_entries_they_were_read_from(case):
    # A key whose hash changed once it was in the dict, two keys of one hash
    # whose equality turns true, and a `__class__` property that deletes a
    # hidden entry not walked yet and inserts another: the answer is the
    # in-place walk's on a deep copy (which hashes every key afresh), with
    # no unmasked value beside it.
    run(f"""
case = {case!r}
omitter = omit.Omitter(["password", "token"])
class MutableKey:
    def __init__(self, v): self.v = v
    def __hash__(self): return hash(self.v)
    def __eq__(self, other): return isinstance(other, MutableKey) and other.v == self.v
equal = [False]
class Colliding:
    def __hash__(self): return 7
    def __eq__(self, other): return other is self or equal[0]
class Mover:
    def __init__(self, d): self.d = d
    @property
    def __class__(self):
        if "token" in self.d:
            del self.d["token"]
            self.d["zzz"] = 1
        return Mover
if case == "mutable_key":
    k = MutableKey(1)
    x = {{k: {{"password": "hunter2"}}, "x": 1}}
    k.v = 2
elif case == "colliding_keys":
    x = {{Colliding(): 1, Colliding(): {{"password": "hunter2"}}}}
    equal[0] = True
else:
    x = {{"password": "hu", "mover": None, "token": "s2"}}
    x["mover"] = Mover(x)
expected = omitter.omit(copy.deepcopy(x))
out = redacted(omitter, x)
assert "hunter2" not in repr(out) and "s2" not in repr(out), out
assert [type(k) for k in out] == [type(k) for k in expected], (out, expected)
assert [v for v in out.values() if type(v) is not Mover] == [v for v in expected.values() if type(v) is not Mover]
if case == "delete_and_insert":
    assert list(out) == ["password", "mover", "zzz"] and out["password"] == "**", out
""")
