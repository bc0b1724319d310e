"""Copy-on-write redaction against generated hostile data (see
tests/redact_hostile_world.py): keys whose hash or equality changes once the
data is built, and values whose `__class__` property or finaliser deletes,
adds and replaces entries while the walk runs. Each property runs in its own
interpreter, so that a crash fails it instead of the run."""

import pytest

from conftest import SANITIZED, assert_runs_clean

EXAMPLES = 60 if SANITIZED else 300

# The faults these properties were written for, as recipes.
FAULTS = {
    # A nested dict under a key whose hash changed: its masked copy was
    # stored under the key's new hash, next to the unmasked original.
    "mutable_key": {"kind": "omitter", "do": True, "root": (
        "d", [(("mut", 1, 2), ("d", [(("k", "pw"), ("s",))])), (("k", "a"), ("i", 1))])},
    # Two keys of one hash that compare equal once built: the masked copy
    # landed in the other key's entry.
    "colliding_keys": {"kind": "omitter", "do": True, "root": (
        "d", [(("col", "b"), ("i", 1)), (("col", "b"), ("d", [(("k", "pw"), ("s",))]))])},
    # A `__class__` property deletes a hidden entry not walked yet and adds
    # another: the copy made before held the deleted entry, unmasked.
    "entry_replaced_ahead": {"kind": "omitter", "do": True, "root": (
        "d", [(("k", "pw"), ("s",)), (("k", "a"), ("hook", [("del", 0, 2), ("add", 0, "b", ("i", 1))])),
              (("k", "token"), ("s",))])},
    # The same property gives a walked, unmasked entry a hidden value: the
    # container is no longer what was read.
    # (The in-place walk shows that value: it never looks back.)
    "entry_replaced_behind": {"kind": "omitter", "do": True, "root": (
        "d", [(("k", "pw"), ("i", 1)), (("k", "b"), ("l", [("s",)])),
              (("k", "id"), ("hook", [("set", 0, 0, ("s",))]))])},
}


def run_property(check, hooks, recipes):
    return assert_runs_clean(f"""
from hypothesis import HealthCheck, example, given, settings
import redact_hostile_world as world

def run(recipe):
    world.{check}(recipe)

for recipe in {recipes!r}:
    run(recipe)
settings(max_examples={EXAMPLES}, deadline=None, derandomize=True, database=None,
         suppress_health_check=list(HealthCheck))(given(world.recipes(hooks={hooks!r}))(run))()
print("done")
""", timeout=1200).stdout


def test_keys_that_change_give_what_the_in_place_walk_gives_on_a_deep_copy():
    faults = [FAULTS["mutable_key"], FAULTS["colliding_keys"]]
    assert run_property("check_against_deep_copy", False, faults).strip() == "done"


def test_code_run_mid_walk_shows_nothing_the_in_place_walk_hides():
    faults = [FAULTS["entry_replaced_ahead"], FAULTS["entry_replaced_behind"]]
    assert run_property("check_against_in_place", True, faults).strip() == "done"


@pytest.mark.parametrize("name", sorted(FAULTS))
def test_fault_recipes_hide_what_the_data_holds(name):
    # Whatever the generator becomes, each recipe still puts a hidden value
    # in the data (by the end of the walk) and none in the result.
    out = assert_runs_clean(f"""
import redact_hostile_world as world
w = world.World({FAULTS[name]!r})
result = w.walk("redacted")
print(sorted(world.secrets(w.root)), sorted(world.secrets(result[1])), result[0])
""").stdout
    assert out.startswith("['S") and out.endswith(" [] ok\n"), out
