"""A plain-Python model of the in-place walk of a rule omitter with a plan
(paths, number and boolean policies, policies per rule), over Python
objects rather than JSON text.

It does what `omit` / `omit_recurse` do, in their order: a dict is walked
as `for key in target` would walk it (a size change ends it with
RuntimeError), each value decided by its key's verdict widened by the
paths, masks stored under the key while the walk goes on, nested
containers walked at their place and stored back; a list item by item,
each decided by the list's verdict widened by the paths. Containers met
twice are walked twice (the second walk sees the first one's masks, and
masks a hidden one again by its own policy: no str is taken for a mask by
what object it is). A failure leaves what was done.

The verdicts follow the README's rules: exact keys by `in` (any key),
`ignore_case`, words and patterns for exact str keys only; a policy per
rule by specificity (a path, then an exact key, then a pattern, then a
word, then the omitter's own); the path subset matched by a recursive
matcher over the location of each value. It shares no code with the
walks: the policies come from path_model.Config, which only reads the
omitter's arguments.
"""

from __future__ import annotations

import math
import re
from typing import Any

from path_model import DEFAULT_MASK, Config, Policy, parse_path

Label = tuple[str, Any]  # ("m", key) for a member, ("i", index) for an item


def _name_of(key: Any) -> str | None:
    return str.__str__(key) if isinstance(key, str) else None


def _step_matches(step: tuple[str, Any], label: Label) -> bool:
    kind, arg = step
    if kind == "any":
        return True
    if kind == "index":
        return label[0] == "i" and label[1] == arg
    return label[0] == "m" and _name_of(label[1]) == arg  # member, descend


def path_matches(steps: list[tuple[str, Any]], where: list[Label]) -> bool:
    if not steps:
        return not where
    if steps[0][0] == "descend":
        return any(_step_matches(steps[0], where[i]) and path_matches(steps[1:], where[i + 1:])
                   for i in range(len(where)))
    return bool(where) and _step_matches(steps[0], where[0]) and path_matches(steps[1:], where[1:])


class PlanWalkModel:
    def __init__(self, cfg: Config) -> None:
        self.cfg = cfg
        self.paths = [parse_path(p) for p in cfg.paths]
        assert all(p is not None for p in self.paths)
        self.base = cfg.base()
        self.texts: dict[str, str] = {}  # one object per fixed text, as a plan keeps them

    # ---- verdicts -------------------------------------------------------------
    def _exact_hit(self, key: Any) -> bool:
        try:
            if key in self.cfg.keys:
                return True
        except TypeError:
            return False
        return type(key) is str and self.cfg.ignore_case and key.casefold() in {
            k.casefold() for k in self.cfg.keys if type(k) is str}

    def key_matches(self, key: Any) -> bool:
        if self._exact_hit(key):
            return True
        if type(key) is not str:
            return False
        folded = key.casefold()
        return (any(w.casefold() in folded for w in self.cfg.contains)
                or any(re.search(p, key) for p in self.cfg.patterns))

    def denied(self, key: Any) -> bool:
        return type(key) is str and any(w in key.casefold() for w in self.cfg.deny)

    def should_hide(self, key: Any) -> bool:
        if self.cfg.trusting:
            return not self.key_matches(key) or self.denied(key)
        return self.key_matches(key)

    def key_policy(self, key: Any) -> Policy | None:
        """The policy of the most specific key rule that hides `key` and has one.
        An exact-key rule's policy goes to a str key of its text, of any str
        type (as the scanner and redacted() meet that text); a key of
        another type takes the omitter's own."""
        if not isinstance(key, str):
            return None
        text = str.__str__(key)
        for rule in self.cfg.keys:
            if rule in self.cfg.policies and rule == text:
                return self.cfg.policy(rule)
        if type(key) is not str:
            return None
        if self.cfg.ignore_case:
            for rule in self.cfg.keys:
                if rule in self.cfg.policies and rule.casefold() == key.casefold():
                    return self.cfg.policy(rule)
        for p in self.cfg.patterns:
            if p in self.cfg.policies and re.search(p, key):
                return self.cfg.policy(p)
        for w in self.cfg.contains:
            if w in self.cfg.policies and w.casefold() in key.casefold():
                return self.cfg.policy(w)
        return None

    def selection(self, where: list[Label]) -> tuple[bool, Policy | None]:
        """Whether `where` is in a selected subtree, and the policy of the
        innermost selection that has one."""
        selected = False
        for depth in range(len(where), -1, -1):
            ending = [i for i, steps in enumerate(self.paths) if path_matches(steps, where[:depth])]
            if ending:
                selected = True
                for i in ending:
                    if self.cfg.paths[i] in self.cfg.policies:
                        return True, self.cfg.policy(self.cfg.paths[i])
        return selected, None

    # ---- masks ----------------------------------------------------------------
    def fixed(self, policy: Policy) -> str:
        text = policy.mask if policy.mask is not None else DEFAULT_MASK
        return self.texts.setdefault(text, text)

    def mask_str(self, value: str, policy: Policy) -> str:
        if policy.mask is not None:
            return self.fixed(policy)
        if policy.keep_last is not None and len(value) > policy.keep_last:
            return "*" * (len(value) - policy.keep_last) + value[len(value) - policy.keep_last:]
        return "*" * len(value)

    def mask_scalar(self, value: Any, policy: Policy) -> Any:
        """What a hidden non-str, non-container value becomes."""
        if type(value) is bool:
            return {"keep": value, "false": False, "string": self.fixed(policy)}[policy.booleans]
        numbers = policy.numbers
        if numbers == "keep" or not isinstance(value, (int, float, complex)):
            return value
        if numbers == "string":
            return self.fixed(policy)
        if isinstance(value, complex):
            return 0j
        if isinstance(value, int):
            if numbers == "zero":
                return 0
            magnitude = abs(int(value))
            digits = len(str(magnitude)) if magnitude < 10 ** 4000 else _digit_count(magnitude)
            eights = int("8" * digits)
            return -eights if int(value) < 0 else eights
        value = float(value)
        if numbers == "zero" or not math.isfinite(value):
            return 0.0
        return float(re.sub("[0-9]", "8", repr(value)))

    # ---- the walks --------------------------------------------------------------
    def omit(self, target: dict, where: list[Label] | None = None) -> dict:
        return self._dict(target, where or [], root=True)

    def omit_recurse(self, target: list, do: bool = True) -> list:
        return self._list(target, [], do, self.base, root=True)

    def _store(self, container: Any, at: Any, value: Any, mask: Any) -> None:
        if mask is value:
            return
        container[at] = mask

    def _dict(self, d: dict, where: list[Label], root: bool = False) -> dict:
        if type(d) is not dict:
            raise TypeError(f"Expected dict, got {type(d).__name__}")
        size = len(d)
        for key in d:
            if len(d) != size:
                raise RuntimeError("dictionary changed size during iteration")
            value = d[key]
            here = where + [("m", key)]
            selected, path_policy = self.selection(here)
            if self.cfg.trusting:
                hide = self.denied(key) if selected else self.should_hide(key)
                policy = self.base
            else:
                verdict = self.should_hide(key)
                hide = selected or verdict
                policy = path_policy or (self.key_policy(key) if verdict else None) or self.base
            if self.cfg.whole and hide and (type(key) is str or selected):
                self._store(d, key, value, self.fixed(policy))
                continue
            self._value(d, key, value, here, hide, policy, key_is_str=type(key) is str or key is None)
        return d

    def _list(self, items: list, where: list[Label], do: bool, policy: Policy, root: bool = False) -> list:
        if type(items) is not list:
            raise TypeError(f"Expected list, got {type(items).__name__}")
        parent_selected = self.selection(where)[0]
        for i in range(len(items)):
            if i >= len(items):
                raise IndexError("list index out of range")
            value = items[i]
            here = where + [("i", i)]
            selected, path_policy = self.selection(here)
            if self.cfg.trusting:
                hide, item_policy = (not selected) and do, self.base
            else:
                hide = selected or do
                item_policy = path_policy or (policy if do else self.base)
            if self.cfg.whole and hide and selected and (not parent_selected or root):
                if not isinstance(value, (dict, list, str)) or type(value) in (dict, list, str):
                    self._store(items, i, value, self.fixed(item_policy))
                    continue
            self._value(items, i, value, here, hide, item_policy, key_is_str=True)
        return items

    def _value(self, container: Any, at: Any, value: Any, here: list[Label], hide: bool, policy: Policy,
               key_is_str: bool) -> None:
        if isinstance(value, dict):
            self._store(container, at, value, self._dict(value, here))
        elif isinstance(value, list):
            if not key_is_str:
                raise TypeError("Expected unicode")
            self._store(container, at, value, self._list(value, here, hide, policy))
        elif isinstance(value, str):
            if not key_is_str:
                raise TypeError("Expected unicode")
            if not hide:
                return
            if type(value) is not str:
                raise TypeError(f"Expected unicode, got {type(value).__name__}")
            self._store(container, at, value, self.mask_str(value, policy))
        elif hide and value is not None:
            mask = self.mask_scalar(value, policy)
            if not _same(value, mask):
                self._store(container, at, value, mask)


def _same(value: Any, mask: Any) -> bool:
    if value is mask:
        return True
    if type(value) is not type(mask):
        return False
    if type(value) is float:
        return value == mask and math.copysign(1, value) == math.copysign(1, mask)
    return type(value) is int and value == mask


def _digit_count(n: int) -> int:
    count = max(1, int(n.bit_length() * 0.30102999566398120))
    while 10 ** count <= n:
        count += 1
    while count > 1 and 10 ** (count - 1) > n:
        count -= 1
    return count
