"""What a hiding rule omitter must hide, written for the second review of the
hand-offs: for every str, int and bool of a document, whether a path or an
exact key hides it and by which policy (what it may still show). It knows
nothing of how the package walks; it says only what must not survive.

Paths: `$.name`, `$..name`, `$.*`, `$[N]`, chained. Policies are per path;
a value takes the policy of the innermost selection that has one (the
first path listed, among those that end at the same value), else the
omitter's own. Exact keys hide by the omitter's own policy unless a path
selects the value.
"""

from __future__ import annotations

import re

_TOKEN = re.compile(r"\.\.([^.\[]+)|\.(\*|[^.\[]+)|\[(\*|\d+)\]")


def parse(path):
    assert path[0] == "$"
    steps, i = [], 1
    while i < len(path):
        m = _TOKEN.match(path, i)
        assert m, path
        if m.group(1) is not None:
            steps.append(("desc", m.group(1)))
        elif m.group(2) is not None:
            steps.append(("any", None) if m.group(2) == "*" else ("name", m.group(2)))
        else:
            steps.append(("any", None) if m.group(3) == "*" else ("idx", int(m.group(3))))
        i = m.end()
    return steps


def _fits(step, label):
    kind, arg = step
    if kind == "any":
        return True
    if kind == "idx":
        return label[0] == "i" and label[1] == arg
    return label[0] == "m" and type(label[1]) is str and label[1] == arg


def ends_at(steps, where):
    """Does the path select exactly the value at `where` (a list of labels)?"""
    if not steps:
        return not where
    if steps[0][0] == "desc":
        return any(_fits(steps[0], where[k]) and ends_at(steps[1:], where[k + 1:]) for k in range(len(where)))
    return bool(where) and _fits(steps[0], where[0]) and ends_at(steps[1:], where[1:])


class Model:
    def __init__(self, keys=(), paths=(), policies=None, numbers="keep", booleans="keep"):
        self.keys = list(keys)
        self.paths = [(p, parse(p)) for p in paths]
        self.policies = dict(policies or {})
        self.own = {"numbers": numbers, "booleans": booleans}

    def _policy(self, rule):
        p = dict(self.own)
        p.update(self.policies.get(rule, {}))
        return p

    def _selection(self, where):
        """(selected here, the policy of the first listed path ending here that has one, or None)."""
        hit, pol = False, None
        for text, steps in self.paths:
            if ends_at(steps, where):
                hit = True
                if pol is None and text in self.policies:
                    pol = self._policy(text)
        return hit, pol

    def hidden(self, doc):
        """{where (tuple of labels): policy} for every str, int and bool that must be hidden."""
        out = {}
        self._walk(doc, [], None, False, out)
        return out

    def _walk(self, value, where, sub, key_hidden, out):
        hit, pol = self._selection(where)
        if hit:
            sub = pol if pol is not None else (sub or self._policy(None))
        if type(value) is dict:
            for k, v in value.items():
                self._walk(v, where + [("m", k)], sub, type(k) is str and k in self.keys, out)
        elif type(value) is list:
            for i, v in enumerate(value):
                self._walk(v, where + [("i", i)], sub, key_hidden, out)
        elif type(value) in (str, int, bool):
            if sub:
                out[tuple(where)] = sub
            elif key_hidden:
                out[tuple(where)] = self._policy(None)


def at(doc, where):
    for _, k in where:
        doc = doc[k]
    return doc


def _suffix(a, b):
    n = 0
    while n < min(len(a), len(b)) and a[-1 - n] == b[-1 - n]:
        n += 1
    return n


def shows_too_much(original, got, policy):
    """Does `got` show more of the hidden `original` than `policy` lets it?"""
    if type(original) is bool:
        # "false" leaves False as it was
        shown = policy["booleans"] == "keep" or (policy["booleans"] == "false" and not original)
        return not shown and type(got) is bool and got == original
    if type(original) is int:
        # "digits" leaves a number of eights as it was
        shown = policy["numbers"] == "keep" or (policy["numbers"] == "digits" and set(str(original)) <= set("8-"))
        return not shown and type(got) is int and got == original
    if type(got) is not str:
        return False
    if got == original and original:
        return True
    if "mask" in policy:
        return got != policy["mask"]
    return _suffix(original, got) > policy.get("keep_last", 0)


def leaks(model, original, result):
    """The hidden values of `original` that `result` shows more of than their policy lets it."""
    out = []
    for where, policy in model.hidden(original).items():
        try:
            got = at(result, where)
        except (KeyError, IndexError, TypeError):
            continue
        if shows_too_much(at(original, where), got, policy):
            out.append((where, at(original, where), got))
    return out
