"""A plain-Python reference of rule omitters' paths, number and boolean
policies and policies per rule, over JSON documents.

Documents are parsed with numbers kept as their text (``Num``), so that a
number policy can be checked on the text the scanner saw, and written back
by ``dump`` exactly as ``dump`` wrote the input: the scanner's output must
be the reference's output byte for byte.

Paths are matched against the concrete location of each value (a list of
member names and item indexes) by a recursive matcher, not by an
automaton, so the two implementations share nothing.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass, field
from typing import Any


@dataclass(frozen=True)
class Num:
    text: str


def loads(text: str) -> Any:
    return json.loads(text, parse_int=Num, parse_float=Num, parse_constant=Num)


def dump(value: Any, indent: int | None = None, level: int = 0) -> str:
    """JSON text: numbers as their text, strings as json.dumps writes them
    with ensure_ascii=False."""
    if isinstance(value, Num):
        return value.text
    if value is None or isinstance(value, bool):
        return json.dumps(value)
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    inner = "" if indent is None else "\n" + " " * (indent * (level + 1))
    outer = "" if indent is None else "\n" + " " * (indent * level)
    sep = ", " if indent is None else ","
    if isinstance(value, dict):
        if not value:
            return "{}"
        items = [inner + json.dumps(k, ensure_ascii=False) + ": " + dump(v, indent, level + 1)
                 for k, v in value.items()]
        return "{" + sep.join(items) + outer + "}"
    if not value:
        return "[]"
    return "[" + sep.join(inner + dump(v, indent, level + 1) for v in value) + outer + "]"


# ---- Paths --------------------------------------------------------------------

_BARE = r"[^.\[\]'\"*\s\x00-\x1f\x7f]+"
_TOKEN = re.compile(
    r"\.\.(?P<dname>" + _BARE + r")|\.\.\[(?P<dquoted>'(?:[^'\\]|\\.)*'|\"(?:[^\"\\]|\\.)*\")\]"
    r"|\.\*|\[\*\]|\.(?P<name>" + _BARE + r")|\[(?P<quoted>'(?:[^'\\]|\\.)*'|\"(?:[^\"\\]|\\.)*\")\]"
    r"|\[(?P<index>0|[1-9][0-9]{0,17})\]")


def _unquote(quoted: str) -> str:
    body = quoted[1:-1].replace("\\'", "'") if quoted[0] == "'" else quoted[1:-1]
    if quoted[0] == "'":
        body = body.replace('"', '\\"')
    return json.loads('"' + body + '"')


def parse_path(path: str) -> list[tuple[str, Any]] | None:
    """Steps ("member", name), ("any", None), ("index", n), ("descend", name),
    or None for a path the subset does not have."""
    if not path.startswith("$"):
        return None
    steps: list[tuple[str, Any]] = []
    at = 1
    while at < len(path):
        m = _TOKEN.match(path, at)
        if m is None:
            return None
        if m["dname"] is not None:
            steps.append(("descend", m["dname"]))
        elif m["dquoted"] is not None or m["quoted"] is not None:
            try:
                name = _unquote(m["dquoted"] or m["quoted"])
            except ValueError:  # an escape JSON does not have
                return None
            steps.append(("descend" if m["dquoted"] is not None else "member", name))
        elif m["name"] is not None:
            steps.append(("member", m["name"]))
        elif m["index"] is not None:
            steps.append(("index", int(m["index"])))
        else:
            steps.append(("any", None))
        at = m.end()
    return steps


def matches(steps: list[tuple[str, Any]], where: list[str | int]) -> bool:
    """Whether the location `where` (names and indexes) is selected by `steps`."""
    if not steps:
        return not where
    kind, arg = steps[0]
    if kind == "descend":
        return any(isinstance(where[i], str) and where[i] == arg and matches(steps[1:], where[i + 1:])
                   for i in range(len(where)))
    if not where:
        return False
    label = where[0]
    if kind == "member":
        ok = isinstance(label, str) and label == arg
    elif kind == "index":
        ok = isinstance(label, int) and label == arg
    else:
        ok = True
    return ok and matches(steps[1:], where[1:])


# ---- Omitters -------------------------------------------------------------------

DEFAULT_MASK = "[Filtered]"


@dataclass
class Policy:
    mask: str | None = None
    keep_last: int | None = None
    numbers: str = "keep"
    booleans: str = "keep"


@dataclass
class Config:
    keys: list[str] = field(default_factory=list)
    contains: list[str] = field(default_factory=list)
    patterns: list[str] = field(default_factory=list)
    ignore_case: bool = False
    paths: list[str] = field(default_factory=list)
    numbers: str = "keep"
    booleans: str = "keep"
    mask: str | None = None
    keep_last: int | None = None
    whole: bool = False
    policies: dict[str, dict[str, Any]] = field(default_factory=dict)
    trusting: bool = False
    deny: list[str] = field(default_factory=list)  # words never trusted (defaults=True, trusting)

    def kwargs(self) -> dict[str, Any]:
        return {"ignore_case": self.ignore_case, "contains": self.contains, "patterns": self.patterns,
                "paths": self.paths, "numbers": self.numbers, "booleans": self.booleans, "mask": self.mask,
                "keep_last": self.keep_last, "whole": self.whole, "policies": self.policies}

    def base(self) -> Policy:
        mask = self.mask if self.mask is not None or not self.whole else DEFAULT_MASK
        return Policy(mask, self.keep_last, self.numbers, self.booleans)

    def policy(self, rule: str) -> Policy:
        given = self.policies[rule]
        base = self.base()
        if "mask" in given or "keep_last" in given:
            base.mask, base.keep_last = given.get("mask"), given.get("keep_last")
        base.numbers = given.get("numbers", base.numbers)
        base.booleans = given.get("booleans", base.booleans)
        return base

    # The key rules
    def _exact(self, key: str) -> bool:
        return key in self.keys or (self.ignore_case and key.casefold() in {k.casefold() for k in self.keys})

    def key_matches(self, key: Any) -> bool:
        if key is None:
            return None in self.keys  # type: ignore[comparison-overlap]
        return (self._exact(key) or any(w.casefold() in key.casefold() for w in self.contains)
                or any(re.search(p, key) for p in self.patterns))

    def key_policy(self, key: str) -> Policy | None:
        """The policy of the most specific key rule with one: exact, pattern, word."""
        exact = [r for r in self.policies if r in self.keys]
        for rule in exact:
            if rule == key:
                return self.policy(rule)
        for rule in exact:
            if self.ignore_case and rule.casefold() == key.casefold():
                return self.policy(rule)
        for p in self.patterns:
            if p in self.policies and re.search(p, key):
                return self.policy(p)
        for w in self.contains:
            if w in self.policies and w.casefold() in key.casefold():
                return self.policy(w)
        return None

    def path_policy(self, where: list[str | int]) -> tuple[bool, Policy | None]:
        """(selected, policy): whether `where` or a container of it is selected,
        and the policy of the innermost selection that has one."""
        selected = False
        for depth in range(len(where), -1, -1):
            prefix = where[:depth]
            ending = [p for p in self.paths if matches(parse_path(p) or [], prefix)]
            if ending:
                selected = True
                for p in ending:
                    if p in self.policies:
                        return True, self.policy(p)
        return selected, None


def _mask_str(value: str, policy: Policy) -> str:
    if policy.mask is not None:
        return policy.mask
    if policy.keep_last is not None and len(value) > policy.keep_last:
        return "*" * (len(value) - policy.keep_last) + value[len(value) - policy.keep_last:]
    return "*" * len(value)


def _fixed(policy: Policy) -> str:
    return policy.mask if policy.mask is not None else DEFAULT_MASK


def mask_number(text: str, numbers: str, fixed: str) -> Any:
    if numbers == "keep":
        return Num(text)
    if numbers == "string":
        return fixed
    has_digits = any(c.isdigit() for c in text)
    if numbers == "zero" or not has_digits:
        integer = has_digits and all(c.isdigit() or c == "-" for c in text)
        return Num("0" if integer else "0.0")
    return Num("".join("8" if c.isdigit() else c for c in text))


def mask_scalar(value: Any, policy: Policy) -> Any:
    if isinstance(value, str):
        return _mask_str(value, policy)
    if isinstance(value, bool):
        return {"keep": value, "false": False, "string": _fixed(policy)}[policy.booleans]
    if isinstance(value, Num):
        return mask_number(value.text, policy.numbers, _fixed(policy))
    return value


def redact(doc: Any, cfg: Config) -> Any:
    """The document as the scanner must write it for `cfg`."""
    base = cfg.base()

    def walk(value: Any, where: list[str | int], key: Any, is_item: bool, array_hidden: bool,
             array_policy: Policy, parent_selected: bool) -> Any:
        selected, path_policy = cfg.path_policy(where)
        if cfg.trusting:
            if selected:
                hidden = isinstance(key, str) and not is_item and any(w in key.casefold() for w in cfg.deny)
            elif is_item:
                hidden = array_hidden
            else:
                hidden = not cfg.key_matches(key) or (isinstance(key, str) and any(
                    w in key.casefold() for w in cfg.deny))
            policy = base
            direct = False
        else:
            key_hidden = array_hidden if is_item else cfg.key_matches(key)
            hidden = selected or key_hidden
            if path_policy is not None:
                policy = path_policy
            elif is_item:
                policy = array_policy if key_hidden else base
            else:
                policy = (cfg.key_policy(key) if key_hidden and isinstance(key, str) else None) or base
            direct = selected and not parent_selected
        if cfg.whole and hidden and ((key is not None and not is_item) or direct):
            return _fixed(policy)
        if isinstance(value, dict):
            return {k: walk(v, where + [k], k, False, False, base, selected) for k, v in value.items()}
        if isinstance(value, list):
            return [walk(v, where + [i], None, True, hidden, policy, selected) for i, v in enumerate(value)]
        return mask_scalar(value, policy) if hidden else value

    return walk(doc, [], None, False, False, base, False)
