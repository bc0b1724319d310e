"""The walk against hostile data, compared with the in-place model.

Worlds of hostile data (tests/hostile_world.py) are built twice from the
same bytes; the module walks one and the model (tests/hostile_model.py)
the other, and the outcome, the final state of every container and the log
of hostile calls must agree. Inputs are replayed in a subprocess: a crash
fails the test instead of the run. The same worlds are what
fuzz/fuzz_hostile.py generates."""

import pytest

import hostile_world
from conftest import SANITIZED, run_python

DEBUG_ALLOCATOR = {"PYTHONMALLOC": "debug"}

# Inputs of fuzz/fuzz_hostile.py (base64) that found something, replayed as
# they are. Prefer a shrunk recipe in RECIPES: bytes mean another world once
# the generator changes.
INPUTS = {}


# Worlds that the walk as it was before its last fixes got wrong, shrunk
# from what the fuzz target found against that build, and worlds that caught
# the model out; each holds the walk to one rule. (Recipe format:
# tests/hostile_world.py.)
RECIPES = {
    # A __class__ hook re-types its value to a fresh class and collects the
    # old one: the number test must not read the freed type (ASan).
    "number_test_after_retype_and_collect": {
        "kind": "omitter", "keys": [("s", "password")], "sub": None, "do": False,
        "root": ("d", True, [(("s", "password"), ("cls", 1, 1, False, "object", [("retype",)])),
                             (("s", "b"), ("s", "xy"))])},
    # should_hide's __eq__ puts a value with a finaliser in place of the list
    # being walked: the walked list is stored back, releasing that value.
    "walked_list_stored_back_over_finaliser": {
        "kind": "omitter", "keys": [("eq", 4, 3, False, [("setarg", ("fin", 6, 3, []))])], "sub": None,
        "do": False, "root": ("d", True, [(("s", "id"), ("d", True, [(("s", "id"), ("l", True, []))]))])},
    # The same from a thread started by __eq__ and joined.
    "walked_list_stored_back_after_thread": {
        "kind": "omitter", "keys": [("eq", 2, 3, True, [("thread", [("setarg", ("d", False, []))])])],
        "sub": None, "do": False,
        "root": ("l", True, [("l", False, [("d", True, [(("s", "**"), ("l", True, []))])])])},
    # A __class__ hook deletes the entry it stands in: the pair keeps its key
    # and value until the walk lets go of it, not one step earlier.
    "pair_held_until_the_walk_lets_go": {
        "kind": "no_trust", "keys": [], "sub": None, "do": False,
        "root": ("d", True, [(("col", 1, 2, "token", True, []),
                              ("cls", 2, 2, False, "object", [("del", 226, 226)]))])},
    # Masking "id" is a store: it compares the key that collides with "id",
    # whose __eq__ deletes an entry (the size check then fails).
    "mask_store_compares_colliding_key_that_deletes": {
        "kind": "no_trust", "keys": [], "sub": None, "do": False,
        "root": ("d", True, [(("col", 2, 3, "id", False, [("del", 7, 222)]), ("y",)),
                             (("s", "id"), ("s", "a"))])},
    # A __class__ hook adds a key and deletes the entry it stands in (the
    # size is back where it was): when the next pair is read, the old key is
    # released before the old value. (Found as a fault of the model.)
    "old_key_released_before_old_value": {
        "kind": "omitter", "keys": [("s", "id"), ("s", "token"), ("n",)], "sub": None, "do": False,
        "root": ("d", True, [(("col", 1, 1, "token", True, [("del", 226, 226)]),
                              ("cls", 2, 2, False, "object", [("add", 105, "id", ("fin", 3, 1, [])),
                                                               ("del", 226, 226)]))])},
    # An override, before walking, stores values whose finalisers store
    # values with finalisers, four deep: the world's own stores must not
    # depend on whether the interpreter has specialised them yet.
    "finaliser_chain_before_the_walk": {
        "kind": "omitter", "keys": [("s", "id"), ("n",), ("s", "token")], "do": False,
        "sub": (1, "before", "super", 1, [
            ("set", 105, 105, ("fin", 2, 1, [
                ("set", 105, 105, ("fin", 3, 1, [("set", 105, 105, ("s", "token"))])),
                ("set", 105, 105, ("fin", 4, 1, [("set", 105, 105, ("s", "token"))]))])),
            ("set", 255, 105, ("fin", 5, 1, [("set", 105, 105, ("fin", 6, 2, [("reenter", 145)]))]))], 0),
        "root": ("d", False, [(("s", "ß"), ("weak", 7, 2, [])), (("s", ""), ("weak", 8, 2, []))])},
    # should_hide's __eq__ clears an instance dict whose object is gone, and
    # the finaliser of its first value clears it again. (3.13.0 itself frees
    # the dict's values twice here, model or module: shrunk from the fuzz
    # target's crash under ASan.)
    "instance_dict_cleared_again_by_a_finaliser": {
        "kind": "omitter", "keys": [("eq", 1, 1, False, [("clear", 0)])], "sub": None, "do": False,
        "root": ("d", True, [(("s", "a"), ("inst", True, [("a", ("fin", 2, 1, [("clear", 0)])),
                                                         ("b", ("s", "x"))]))])},
    # Masking "password" compares the colliding key before it (its __eq__ is
    # logged), in a table that holds a key other than str.
    "mask_store_compares_colliding_key": {
        "kind": "no_trust", "keys": [], "sub": None, "do": False,
        "root": ("d", True, [(("col", 3, 1, "password", False, []), ("d", True, [])),
                             (("s", "password"), ("s", "password"))])},
}


@pytest.fixture(scope="module")
def recipe_results():
    """Check every recipe in one subprocess; a crash fails the recipe it was on.
    The debug allocator fills what is freed, so memory used after it was
    freed crashes at once rather than in some later run (the sanitized run
    keeps its allocator: ASan watches it)."""
    proc = run_python(env=None if SANITIZED else DEBUG_ALLOCATOR, code=f"""
import hostile_world
for name, recipe in {RECIPES!r}.items():
    print("@@ START", name, flush=True)
    try:
        hostile_world.check(recipe)
    except AssertionError as exc:
        print("@@ FAIL", name, str(exc).replace(chr(10), " | ")[:3000], flush=True)
    else:
        print("@@ PASS", name, flush=True)
""")
    results, running = {}, None
    for line in proc.stdout.splitlines():
        _, word, name, *rest = line.split(" ", 3) + [""]
        running = name if word == "START" else None
        if word != "START":
            results[name] = "PASS" if word == "PASS" else rest[0]
    if running:
        results[running] = f"process died with {proc.returncode}: {proc.stderr[-3000:]}"
    return results


@pytest.mark.parametrize("name", list(RECIPES))
def test_walk_keeps_the_rule_a_past_fault_broke(recipe_results, name):
    assert recipe_results.get(name) == "PASS", recipe_results.get(name, "not run")


def _replay_script(inputs, count, seed):
    return f"""
import base64, random, sys
import hostile_world
inputs = {inputs!r}
for name, data in inputs.items():
    try:
        hostile_world.check(base64.b64decode(data))
    except AssertionError as exc:
        print("@@ MISMATCH", name, str(exc)[:4000].replace(chr(10), " | "))
rng = random.Random({seed})
for i in range({count}):
    data = bytes(rng.randrange(256) for _ in range(rng.randrange(8, 400)))
    try:
        hostile_world.check(data)
    except AssertionError as exc:
        print("@@ MISMATCH", base64.b64encode(data).decode(), str(exc)[:4000].replace(chr(10), " | "))
print("@@ DONE")
"""


@pytest.mark.parametrize("seed", [1, 2])
def test_module_agrees_with_model_on_hostile_worlds(seed):
    """A thousand worlds per seed reach every line of the walk that data can
    reach (all but recursion limits, memory errors and None targets)."""
    proc = run_python(_replay_script(INPUTS, 300 if SANITIZED else 1000, seed))
    assert proc.returncode == 0 and "@@ DONE" in proc.stdout, proc.stderr[-3000:]
    mismatches = [line for line in proc.stdout.splitlines() if line.startswith("@@ MISMATCH")]
    assert not mismatches, "\n".join(mismatches[:3])


def test_a_wrong_model_is_caught():
    """The differential check can fail: a model whose should_hide always
    answers False disagrees on an Omitter world and a NoTrustOmitter world."""
    proc = run_python("""
import hostile_world, hostile_model
hostile_model.ModelOmitter._should_hide = lambda self, key: False
hostile_model.ModelNoTrustOmitter._should_hide = lambda self, key: False
root = ("d", True, [(("s", "b"), ("s", "password")), (("s", "a"), ("l", False, [("s", "xy")]))])
failed = 0
for kind, keys in (("omitter", [("s", "b"), ("s", "a")]), ("no_trust", [])):
    try:
        hostile_world.check({"kind": kind, "keys": keys, "sub": None, "root": root, "do": False})
    except AssertionError:
        failed += 1
print("failed", failed)
""")
    assert proc.returncode == 0 and "failed 2" in proc.stdout, proc.stdout + proc.stderr[-2000:]


# dict.clear() of an instance dict whose object is gone, run again by the
# finaliser of the dict's first value: plain Python, nothing of velmora.
CLEAR_REENTERED = """
class Holder:
    pass

class Fin:
    def __del__(self):
        d.clear()

h = Holder()
h.a, h.b = Fin(), "x"
d = h.__dict__
del h
d.clear()
print("cleared", len(d), list(d))
"""


def test_worlds_avoid_instance_dict_clears_exactly_where_the_interpreter_crashes_on_them():
    """The worlds empty instance dicts entry by entry on the interpreters
    that crash on the program above, and call clear() everywhere else. (Under
    the debug allocator the crashing clear reads the values it freed back as
    garbage at once; the sanitized run has ASan to see the second free.)"""
    proc = run_python(CLEAR_REENTERED, env=None if SANITIZED else DEBUG_ALLOCATOR)
    crashes = proc.returncode != 0
    if not crashes:
        assert proc.stdout == "cleared 0 []\n", proc.stdout
    assert hostile_world._INSTANCE_DICT_CLEARS_CRASH_THE_INTERPRETER == crashes, (
        f"dict.clear() reentered from a finaliser {'crashes' if crashes else 'no longer crashes'} "
        f"this interpreter ({proc.returncode}): the worlds' workaround must follow it\n{proc.stderr[-2000:]}")
