"""How much of each hidden value a hiding rule omitter may show, written for the
review of walks that cannot tell their place.

For every str, number and bool of a document the model says whether the exact
walk hides it and by which policy, from the omitter's exact keys, its paths and
the policy each rule has; and what a walk that masks everything it hides by
one policy, made of the least each of the omitter's policies shows per kind of
value, shows of it. It reads the output of a walk back into a level of what it
shows (`shown`), so two walks are compared value by value: a walk that cannot
tell its place may hide more than the exact walk, never show more.

Paths: `$`, `.name`, `..name`, `.*`, `[*]`, `[N]`, chained. A value takes the
policy of the innermost selection that has one (among paths ending at the
same value, the first listed that has one); a selected value that no path
gives a policy to takes its own key's rule policy, else the omitter's. An item
of a list that its key hides takes the list's policy.
"""

from __future__ import annotations

import re

STR, NUM, BOOL = "str", "num", "bool"
DEFAULT_TEXT = "[Filtered]"

_STEP = re.compile(r"\.\.([A-Za-z_]\w*)|\.(\*|[A-Za-z_]\w*)|\[(\*|\d+)\]")


def parse_path(path):
    """The steps of `path`: ('name', n), ('desc', n), ('any', None), ('idx', i)."""
    if not path.startswith("$"):
        raise ValueError(path)
    steps, i = [], 1
    while i < len(path):
        m = _STEP.match(path, i)
        if m is None:
            raise ValueError(path)
        if m.group(1) is not None:
            steps.append(("desc", m.group(1)))
        elif m.group(2) is not None:
            steps.append(("any", None) if m.group(2) == "*" else ("name", m.group(2)))
        else:
            steps.append(("any", None) if m.group(3) == "*" else ("idx", int(m.group(3))))
        i = m.end()
    return steps


def _step_takes(step, label):
    kind, arg = step
    if kind == "any":
        return True
    if kind == "idx":
        return label == ("item", arg)
    return label == ("member", arg)


def selects(steps, where):
    """Whether `steps` end exactly at the value reached by the labels `where`."""
    if not steps:
        return not where
    if not where:
        return False
    if steps[0][0] == "desc":
        # `..name`: the member `name` at any depth below
        return any(_step_takes(steps[0], where[k]) and selects(steps[1:], where[k + 1:])
                   for k in range(len(where)))
    return _step_takes(steps[0], where[0]) and selects(steps[1:], where[1:])


class Policy:
    """What a hidden value becomes, per kind: str (`fixed` text, `stars`, or `keep` N last), numbers, booleans."""

    STR_ORDER = ("fixed", "stars", "keep")
    NUMBERS = ("string", "zero", "digits", "keep")  # least shown first
    BOOLEANS = ("string", "false", "keep")

    def __init__(self, str_kind, keep, text, numbers, booleans):
        self.str_kind, self.keep, self.text = str_kind, keep, text
        self.numbers, self.booleans = numbers, booleans

    def level(self, kind):
        """How much of a value of `kind` this policy shows (larger: more)."""
        if kind == STR:
            return {"fixed": 0, "stars": 1}.get(self.str_kind, 1 + self.keep)
        if kind == NUM:
            return self.NUMBERS.index(self.numbers)
        return self.BOOLEANS.index(self.booleans)

    def __repr__(self):
        return f"Policy({self.str_kind}, {self.keep}, {self.text!r}, {self.numbers}, {self.booleans})"


def least_of(policies):
    """One policy that shows, of each kind of value, the least any of `policies` shows."""
    s = min(policies, key=lambda p: p.level(STR))
    n = min(policies, key=lambda p: p.level(NUM))
    b = min(policies, key=lambda p: p.level(BOOL))
    return Policy(s.str_kind, s.keep, s.text, n.numbers, b.booleans)


def kind_of(value):
    if type(value) is bool:
        return BOOL
    if type(value) in (int, float):
        return NUM
    if type(value) is str:
        return STR
    return None


def shown(original, out):
    """The level of what `out` still shows of the hidden-or-not `original` (compare with Policy.level);
    `None` when `out` is not something any policy makes of it. A value left as it was shows all (99)."""
    kind = kind_of(original)
    if type(out) is type(original) and out == original:
        return 99
    if kind == STR:
        if type(out) is not str:
            return None
        n = len(original)
        if out == "*" * n:
            return 1
        for k in range(1, n):
            if out == "*" * (n - k) + original[n - k:]:
                return 1 + k
        return 0 if "*" not in out else None  # a fixed text
    if kind == NUM:
        if type(out) is str:
            return 0
        if out == 0 and type(out) is type(original):
            return 1
        if type(out) is type(original) and set(str(abs(out)).replace(".", "").replace("e", "").replace("+", "")
                                               .replace("-", "")) <= {"8"}:
            return 2
        return None
    if kind == BOOL:
        if type(out) is str:
            return 0
        if out is False:
            return 1
        return None
    return None


class Model:
    """The exact hiding of a RuleOmitter(keys, paths=..., policies=..., mask/keep_last, numbers, booleans)."""

    def __init__(self, keys=(), paths=(), policies=None, mask=None, keep_last=None, numbers="keep",
                 booleans="keep"):
        if keep_last is not None:
            own_str = ("keep", keep_last, None)
        elif mask is not None:
            own_str = ("fixed", 0, mask)
        else:
            own_str = ("stars", 0, None)
        self.own = Policy(own_str[0], own_str[1], own_str[2] or DEFAULT_TEXT, numbers, booleans)
        self.keys = set(keys)
        self.paths = [(p, parse_path(p)) for p in paths]
        self.rule_policy = {}
        for rule, given in (policies or {}).items():
            if "keep_last" in given:
                s = ("keep", given["keep_last"], self.own.text)
            elif "mask" in given:
                s = ("fixed", 0, given["mask"])
            else:
                s = (self.own.str_kind, self.own.keep, self.own.text)
            self.rule_policy[rule] = Policy(s[0], s[1], s[2], given.get("numbers", numbers),
                                            given.get("booleans", booleans))
        self.least = least_of([self.own, *self.rule_policy.values()])

    # -- the exact decision ------------------------------------------------------------------

    def _selection(self, where):
        """(selected, policy or None) of the value at `where`: the innermost selection that has a policy."""
        selected, policy = False, None
        for depth in range(len(where) + 1):
            ending = [p for p, steps in self.paths if selects(steps, where[:depth])]
            if not ending:
                continue
            selected = True
            with_policy = [p for p in ending if p in self.rule_policy]
            if with_policy:
                policy = self.rule_policy[with_policy[0]]
        return selected, policy

    def decide(self, where, key_hides):
        """(hidden, policy) of the value at `where`; `key_hides`: (hidden, policy or None) its key or list says."""
        selected, path_policy = self._selection(where)
        if path_policy is not None:
            return True, path_policy
        hidden_by_key, key_policy = key_hides
        hidden = selected or hidden_by_key
        if not hidden:
            return False, None
        return True, key_policy if key_policy is not None and hidden_by_key else self.own

    def _member_key(self, key):
        if key in self.keys:
            return True, self.rule_policy.get(key)
        return False, None

    def leaves(self, doc, do_hide=True):
        """[(where, value, hidden, policy)] for every str, number and bool of `doc` (a dict, or a list walked
        with `do_hide`), as the exact walk decides them."""
        out = []

        def walk(value, where, key_hides):
            if isinstance(value, dict):
                for k, v in value.items():
                    walk(v, where + [("member", k)], self._member_key(k))
            elif isinstance(value, list):
                hidden, policy = self.decide(where, key_hides) if where else (do_hide, None)
                # items of a hidden list take its policy; a path's own policy comes first
                for i, v in enumerate(value):
                    walk(v, where + [("item", i)], (hidden, policy if policy is not self.own else None))
            elif kind_of(value) is not None:
                hidden, policy = self.decide(where, key_hides)
                out.append((tuple(where), value, hidden, policy))

        if isinstance(doc, dict):
            walk(doc, [], (False, None))
        else:
            for i, v in enumerate(doc):
                walk(v, [("item", i)], (do_hide, None))
        return out


def value_at(doc, where):
    for _, label in where:
        doc = doc[label]
    return doc
