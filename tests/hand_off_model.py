"""What a rule omitter's walk must hide of a document, for the hand-off
reviews: a plain recursive walk over Python objects, with exact keys, JSON
paths of the forms `$.name`, `$..name`, `$.*`, `$[N]` (and their chains),
and one policy for the whole omitter (str masked by stars, numbers to zero,
booleans to False).

Two answers:
  * `walked(doc)`: the document as the walk leaves it when no override
    changes what is walked (every super() lands at the container's own
    place);
  * `secrets(doc)`: the places of the str, number and boolean values that
    must not survive as they were, whatever an override does short of
    returning something the walk never saw: a leak oracle that says nothing
    about what else is masked.
It shares nothing with the package's own walks and models.
"""

from __future__ import annotations

import copy
import math
from typing import Any

Label = tuple[str, Any]  # ("m", key) or ("i", index)


def parse(path: str) -> list[tuple[str, Any]]:
    """`$.a..b.*[2]` into [("member", "a"), ("descend", "b"), ("any", None), ("index", 2)]."""
    assert path.startswith("$")
    steps = []
    i = 1
    while i < len(path):
        if path.startswith("..", i):
            j = i + 2
            while j < len(path) and path[j] not in ".[":
                j += 1
            steps.append(("descend", path[i + 2:j]))
            i = j
        elif path[i] == ".":
            j = i + 1
            while j < len(path) and path[j] not in ".[":
                j += 1
            name = path[i + 1:j]
            steps.append(("any", None) if name == "*" else ("member", name))
            i = j
        elif path[i] == "[":
            j = path.index("]", i)
            inner = path[i + 1:j]
            steps.append(("any", None) if inner == "*" else ("index", int(inner)))
            i = j + 1
        else:
            raise ValueError(path)
    return steps


def _step(step, label: Label) -> bool:
    kind, arg = step
    if kind == "any":
        return True
    if kind == "index":
        return label[0] == "i" and label[1] == arg
    return label[0] == "m" and type(label[1]) is str and label[1] == arg


def matches(steps, where) -> bool:
    if not steps:
        return not where
    if steps[0][0] == "descend":
        return any(_step(steps[0], where[k]) and matches(steps[1:], where[k + 1:]) for k in range(len(where)))
    return bool(where) and _step(steps[0], where[0]) and matches(steps[1:], where[1:])


def masked(value: Any) -> Any:
    if isinstance(value, bool):
        return False
    if isinstance(value, int):
        return 0
    if isinstance(value, float):
        return 0.0
    if isinstance(value, str):
        return "*" * len(value)
    return value


class HandOffModel:
    """keys: exact keys (hidden, or trusted when `trusting`); paths: select hidden (trusted) subtrees."""

    def __init__(self, keys=(), paths=(), trusting=False):
        self.keys = list(keys)
        self.paths = [parse(p) for p in paths]
        self.trusting = trusting

    def selected(self, where) -> bool:
        return any(matches(p, where) for p in self.paths)

    def _key_hides(self, key) -> bool:
        known = type(key) is str and key in self.keys
        return not known if self.trusting else known

    # hide: the verdict the value inherits (its key's, or its list's); sub: inside a selected subtree
    def _walk(self, value, where, hide, sub, out):
        sel = sub or self.selected(where)
        if self.trusting:
            # a path trusts its subtree; else the verdict of the key (or list) stands
            hide_here = hide and not sel
        else:
            hide_here = hide or sel
        if type(value) is dict:
            for k in list(value):
                w = where + [("m", k)]
                child_sub = sel
                v = value[k]
                if type(v) in (dict, list):
                    value[k] = self._walk(v, w, self._key_hides(k), child_sub, out)
                else:
                    value[k] = self._walk(v, w, self._key_hides(k), child_sub, out)
            return value
        if type(value) is list:
            for i, v in enumerate(value):
                value[i] = self._walk(v, where + [("i", i)], hide_here, sel, out)
            return value
        if isinstance(value, (str, int, float)) and hide_here:
            out.add(tuple(where))
            return masked(value)
        return value

    def walked(self, doc, where=()):
        """`doc` (a copy) as walked when it stands at `where` of its document, walked from there."""
        out = set()
        doc = copy.deepcopy(doc)
        top_hide = self.trusting
        if where:
            top_hide = self._key_hides(where[-1][1]) if where[-1][0] == "m" else top_hide
        return self._walk(doc, list(where), top_hide, self._sub_at(list(where)), out)

    def _sub_at(self, where) -> bool:
        return any(self.selected(where[:k]) for k in range(len(where)))

    def secrets(self, doc):
        """The places whose value must change (a str, number or boolean that is hidden)."""
        out = set()
        self._walk(copy.deepcopy(doc), [], self.trusting, False, out)
        return out


def at(doc, where):
    for kind, k in where:
        doc = doc[k]
    return doc


def survivors(model: HandOffModel, original, result):
    """The secrets of `original` that stand unchanged in `result` (same type and value): leaks."""
    leaks = []
    for where in model.secrets(original):
        try:
            got = at(result, where)
        except (KeyError, IndexError, TypeError):
            continue  # the override dropped it: not there, not leaked
        want = at(original, where)
        same = type(got) is type(want) and (got == want or (isinstance(want, float) and math.isnan(want)
                                                                and math.isnan(got)))
        if same and masked(want) != want:
            leaks.append((where, want))
    return leaks
