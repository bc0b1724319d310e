"""An override handed a container that walks a copy of each of its members through super() (straight from
its frame, or from a helper) and stores what comes back in the member's place: the copy is walked at the
member's place too, so what a path selects inside the member stays hidden. Entered through the module's
own walk (the base's method, as a native caller or a super() does); from a Python-level call of the override
itself nothing records the place, which the README says."""

import copy

from hand_off_model_2 import Model, leaks
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_review_hand_offs import _helper, _helper_recurse

from velmora.rules import RuleOmitter


def members_class(base, from_helper, do=False):
    """Stores a walked copy of every member of a container whose members are all containers (a list's
    copy walked with `do`); walks any other container itself."""

    def walk_copy(self, cls, v):
        if type(v) is dict:
            return _helper(self, cls, dict(v)) if from_helper else super(cls, self).omit(dict(v))
        if from_helper:
            return _helper_recurse(self, cls, list(v), do)
        return super(cls, self).omit_recurse(list(v), do)

    class Members(base):
        def omit(self, target):
            if target and all(type(v) in (dict, list) for v in target.values()):
                for k, v in list(target.items()):
                    target[k] = walk_copy(self, Members, v)
                return target
            return super().omit(target)

        def omit_recurse(self, target, do=False):
            if target and all(type(v) in (dict, list) for v in target):
                for i, v in enumerate(list(target)):
                    target[i] = walk_copy(self, Members, v)
                return target
            return super().omit_recurse(target, do)

    return Members


NAMES = ["a", "x", "s", "l"]
leaf = st.dictionaries(st.sampled_from(NAMES), st.one_of(st.sampled_from(["secret", "pii!"]), st.integers(1, 9)),
                       min_size=1, max_size=3)
tree = st.recursive(leaf, lambda c: st.dictionaries(st.sampled_from(NAMES),
                                                   st.one_of(c, st.lists(c, min_size=1, max_size=2)),
                                                   min_size=1, max_size=3), max_leaves=8)
PATHS = ["$.a.x.s", "$.a.*.s", "$.l[0].x.s", "$.a.x", "$..s", "$.x.l[1]", "$.a.l[*].s", "$.*.*.*"]


@settings(max_examples=300, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck))
@given(st.dictionaries(st.sampled_from(NAMES), tree, min_size=1, max_size=3),
       st.lists(st.sampled_from(PATHS), min_size=1, max_size=3, unique=True), st.booleans(),
       st.sampled_from(["keep", "zero"]))
def test_copies_of_members_walked_by_super_hide_what_their_places_select(doc, ps, from_helper, numbers):
    cls = members_class(RuleOmitter, from_helper)
    out = RuleOmitter.omit(cls(paths=ps, numbers=numbers), copy.deepcopy(doc))
    assert leaks(Model(paths=ps, numbers=numbers), doc, out) == []

