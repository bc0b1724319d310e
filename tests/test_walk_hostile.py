"""The walk against hostile data, compared with the in-place model.

Worlds of hostile data (tests/hostile_world.py) are built twice from the
same bytes; the module walks one and the model (tests/hostile_model.py)
the other, and the outcome, the final state of every container and the log
of hostile calls must agree. Inputs are replayed in a subprocess: a crash
fails the test instead of the run. The same worlds are what
fuzz/fuzz_hostile.py generates."""

import base64
import random

import pytest

import hostile_model as hm
import velmora.omit as m
from conftest import SANITIZED, module_entries, run_python

# Inputs of fuzz/fuzz_hostile.py worth keeping: seeds that reach each kind
# of hostile call, and inputs that once failed (base64).
INPUTS = {
    # Finalisers that replace the value whose release runs them, four deep,
    # from an override before the walk: the world's own stores must not
    # depend on whether the interpreter has specialised them yet.
    "finaliser_chain_in_override": "LKNubnCRkZGRaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaQlpaWlpaWlpaf///////2lpaWlpaWmRkZGRkZS"
                                   "UlJSUlJSUlJSUlJTUlJQ7lJSUlJSUlJSUlJSUlJSUlJSUSiEsQQ==",
}


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
