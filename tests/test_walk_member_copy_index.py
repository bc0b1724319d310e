"""Copies of the members of a large container (more than 16 members), walked through super() by an override in
any order, are walked at their member's place: whatever the exact walk of the same document by a plain
RuleOmitter hides stays hidden, for dicts and lists, members that hold the same objects, and orders far from the
container's own (sorted keys, reversed, shuffled)."""

import random
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_review_copy_cursor import check, dict_members_class, list_members_class
from test_review_hand_offs import run_script

from velmora.rules import RuleOmitter

POOL = ["alpha-secret", "beta-secret", "gamma-secret", "delta-secret"]


@settings(max_examples=150, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck))
@given(st.integers(17, 120).flatmap(lambda n: st.tuples(
    st.randoms(use_true_random=False),
    st.lists(st.integers(0, len(POOL) - 1), min_size=n, max_size=n),
    st.lists(st.integers(0, n - 1), min_size=1, max_size=3),
    st.booleans(), st.booleans())))
def test_copies_of_large_containers_in_any_order_keep_their_places(case):
    """Members drawn from a small pool of shared objects: a copy of one is a copy of every member that holds the
    same, and each of their places must join."""
    rnd, pick, selected, shared, lists = case
    n = len(pick)
    perm = list(range(n))
    rnd.shuffle(perm)

    def order(keys):
        return [keys[j] for j in perm]

    if lists:
        # Items hold the pooled str itself, or a private one of equal text.
        doc = {"l": [[POOL[p] if shared else "".join(POOL[p])] for p in pick]}
        check(list_members_class(order), doc, [f"$.l[{s}][0]" for s in selected])
    else:
        doc = {"a": {f"k{i}": {"x": POOL[p] if shared else "".join(POOL[p]), "n": p} for i, p in enumerate(pick)}}
        check(dict_members_class(order), doc, [f"$.a.k{s}.x" for s in selected])


@pytest.mark.parametrize("order", [sorted, lambda xs: xs[::-1], lambda xs: random.Random(3).sample(xs, len(xs))],
                         ids=["sorted", "reversed", "shuffled"])
@pytest.mark.parametrize("n", [17, 300, 3000])
def test_every_member_place_of_a_large_dict_is_found_far_out_of_order(order, n):
    doc = {"a": {f"k{i}": {"x": f"sec{i}", "y": i} for i in range(n)}}
    check(dict_members_class(order), doc, ["$.a.*.x"])
    check(dict_members_class(order), doc, [f"$.a.k{p}.x" for p in sorted({0, 7, n // 2, n - 1})])


def test_identical_members_cost_no_more_than_their_number():
    """Every one of 20,000 members holds the same objects: each copy matches all of them, and their places are
    found once, not once per copy (this ends in well under a second; read all for each, it would take minutes).
    Run in a subprocess with a timeout so a quadratic search fails rather than hangs."""
    script = r"""
from velmora.rules import RuleOmitter

class Members(RuleOmitter):
    def omit(self, target):
        if target and all(type(v) is dict for v in target.values()):
            for k in list(target)[::-1]:
                target[k] = super().omit(dict(target[k]))
            return target
        return super().omit(target)

doc = {"a": {f"k{i}": {"x": "same"} for i in range(20000)}}
got = RuleOmitter.omit(Members(paths=["$.a.k19999.x"]), doc)
assert got["a"]["k19999"]["x"] != "same"
print("ok")
"""
    proc = subprocess.run([sys.executable, "-c", script], check=False, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr[-3000:]


MUTATED = r"""
from velmora.rules import RuleOmitter

class Touching(RuleOmitter):
    # Changes a member, or puts a fresh one in its place, after the first copy has indexed the container.
    def omit(self, target):
        if target and all(type(v) is dict for v in target.values()):
            keys = list(target)
            for j, k in enumerate(keys):
                if j == 1:
                    for d in keys[2:]:
                        if "{mode}" == "grow":
                            target[d]["z"] = 0
                        elif "{mode}" == "replace":
                            target[d] = dict(target[d])
                        else:
                            target[d] = target.pop(d)
                target[k] = super().omit(dict(target[k]))
            return target
        return super().omit(target)

doc = {{"a": {{f"k{{i}}": {{"x": f"s{{i}}"}} for i in range({n})}}}}
got = RuleOmitter.omit(Touching(paths=["$.a.*.x"]), doc)
print(sum(v["x"].startswith("s") for v in got["a"].values()))
"""


@pytest.mark.parametrize("mode", ["grow", "replace", "move"])
@pytest.mark.parametrize("n", [40, 400])
def test_members_changed_after_the_index_are_still_found_in_order(mode, n):
    """In order, a member the index no longer finds (changed, replaced, moved to the end) is read one by one
    from where the last copy was found."""
    proc = run_script(MUTATED.format(mode=mode, n=n))
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.strip() == "0"


def test_the_index_dies_with_its_hand_off():
    """The filing of a large container's members is freed when the override returns: repeated runs hold no more
    memory (traced, since the filing is too large for the small-block count)."""
    import tracemalloc

    doc = {"a": {f"k{i}": {"x": f"s{i}"} for i in range(400)}}
    walk = dict_members_class(lambda ks: ks[::-1])(paths=["$.a.k3.x"])

    def run():
        out = RuleOmitter.omit(walk, {"a": dict(doc["a"])})
        assert out["a"]["k3"]["x"] != "s3"

    for _ in range(5):
        run()
    tracemalloc.start()
    try:
        run()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(50):
            run()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 4096, grown
