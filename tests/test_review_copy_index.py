"""Adversarial review of how the copies of the members of a large container (more than 16 members), walked
through super() by an override, find their members' places.

The reference is a model of what must hold, written here: an override that stores `super()` of a copy of each
member in the member's place may hide more than the exact walk of the same document by a plain omitter of the
same rules, never less. For a trusting omitter that means it trusts (shows) no leaf the plain walk hides.
Where the override changes the container between its copies, "the same document" is the container as the
override leaves it (the change applied to an unwalked copy of the document, then walked by the plain
omitter): a member's copy is stored at the member's place *then*. Documents are unshared before the plain
walk, so that a container reached from two places is not hidden through the other one in place (the override
walks copies, which never alias)."""

import copy
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_review_hand_offs import run_script

from velmora.rules import RuleNoTrustOmitter, RuleOmitter

# ---- the reference model --------------------------------------------------------------------------------------


def unshared(doc):
    """A deep copy in which no container is reached twice (copy.deepcopy keeps sharing)."""
    if isinstance(doc, dict):
        return {k: unshared(v) for k, v in doc.items()}
    if isinstance(doc, list):
        return [unshared(v) for v in doc]
    return doc


def leaf_places(doc, where=()):
    if isinstance(doc, dict):
        for k, v in doc.items():
            yield from leaf_places(v, where + (k,))
    elif isinstance(doc, list):
        for i, v in enumerate(doc):
            yield from leaf_places(v, where + (i,))
    else:
        yield where, doc


def reach(doc, where):
    for step in where:
        doc = doc[step]
    return doc


def kept(walked, where, value):
    """Whether `walked` still holds `value` unchanged at `where` (same type and value: 1 and True differ)."""
    try:
        got = reach(walked, where)
    except (KeyError, IndexError, TypeError):
        return False
    return type(got) is type(value) and got == value


def leaks(original, plain, overridden):
    """The leaves of `original` the plain walk did not keep that the override's walk kept."""
    return [(where, value) for where, value in leaf_places(original)
            if not kept(plain, where, value) and kept(overridden, where, value)]


def dict_override(base, order, change=None):
    """Stores a walked copy of each member of a dict whose values are all non-empty dicts, in `order(keys)`.
    With `change`: walks the first member's copy, then calls change(target, first) (which leaves that member
    alone), then walks the rest."""

    class Members(base):
        def omit(self, target):
            if len(target) > 1 and all(type(v) is dict and v for v in target.values()):
                keys = order(list(target))
                first = None
                if change is not None:
                    first = keys[0]
                    target[first] = super().omit(dict(target[first]))
                    change(target, first)
                    keys = order(list(target))
                for k in keys:
                    if k != first:
                        target[k] = super().omit(dict(target[k]))
                return target
            return super().omit(target)

    return Members


def list_override(base, order, change=None):
    """The same for a list whose items are all non-empty lists (the copies walked by omit_recurse)."""

    class Items(base):
        def omit_recurse(self, target, do=False):
            if len(target) > 1 and all(type(v) is list and v for v in target):
                done = None
                if change is not None:
                    i = order(list(range(len(target))))[0]
                    done = target[i] = super().omit_recurse(list(target[i]), do)
                    change(target, done)
                for i in order(list(range(len(target)))):
                    if target[i] is not done:
                        target[i] = super().omit_recurse(list(target[i]), do)
                return target
            return super().omit_recurse(target, do)

    return Items


def leaks_of(base, kwargs, doc, override, change_doc=None):
    """What the override's walk shows that the plain walk of the same document hides. `change_doc` applies
    the override's change to an unwalked document, giving the document the plain omitter walks."""
    final = unshared(copy.deepcopy(doc))
    if change_doc is not None:
        change_doc(final)
        final = unshared(final)
    plain = base(**kwargs).omit(unshared(final))
    got = base.omit(override(**kwargs), copy.deepcopy(doc))
    return leaks(final, plain, got)


# ---- the model catches what it must ---------------------------------------------------------------------------


def test_the_model_reports_a_leaf_the_override_shows():
    """A plain walk of the member at the container's place (no member place) shows what a path inside the
    member selects: the model must report it."""

    class Blind(RuleOmitter):
        def omit(self, target):
            if "k1" in target:
                for k in list(target):
                    # A fresh document: no hand-off links it to the member's place.
                    target[k] = RuleOmitter(paths=self.paths).omit({"k1": dict(target[k])})["k1"]
                return target
            return super().omit(target)

    doc = {"a": {"k0": {"x": "s0"}, "k1": {"x": "s1"}}}
    assert leaks_of(RuleOmitter, {"paths": ["$.a.k1.x"]}, doc, Blind) == [(("a", "k1", "x"), "s1")]


# ---- faults: the index found some members, so the live search was not run ---------------------------------------


def _replace_with_another(t, first):
    t["k5"] = dict(t["k3"])


def _add_a_copy_of_another(t, first):
    t["new"] = dict(t["k3"])


def _move_a_shared_member(t, first):
    t["k10"] = t.pop("k10")


def _rename_to_a_copy(t, first):
    t["k7b"] = dict(t.pop("k7"))


def _twenty(shared):
    a = {f"k{i}": {"x": f"s{i}"} for i in range(20)}
    if shared:
        a["k10"] = a["k3"]
    return {"a": a}


@pytest.mark.parametrize("change,path,shared", [
    (_replace_with_another, "$.a.k5.x", False),
    (_add_a_copy_of_another, "$.a.new.x", False),
    (_move_a_shared_member, "$.a.k10.x", True),
    (_rename_to_a_copy, "$.a.k7b.x", False),
], ids=["replaced-by-a-copy-of-another", "added-copy-of-another", "moved-shared", "renamed"])
def test_a_member_changed_to_hold_what_another_held_is_still_found_in_order(change, path, shared):
    """After the index is made the override changes a member so that it holds what another member held when
    filed (or moves a member that shares its value with another): the index still finds the other one, and
    the copy used to be walked at that member's place alone, not at its own."""
    doc = _twenty(shared)
    override = dict_override(RuleOmitter, lambda ks: ks, change)
    assert leaks_of(RuleOmitter, {"paths": [path]}, doc, override,
                    lambda d: change(d["a"], None)) == []
