"""A reference model of which leaves a hiding path omitter must hide when an override walks copies of the
members of the containers it is handed through super().

The model keeps, for every value, the set of concrete places (paths of keys and indices from the root) the
walk may take it to be at, and requires a leaf hidden when a path selects any of them (or anything above one).
It is written from the paths' meaning alone: it shares no code with the library or the other models."""

import re

_SEGMENT = re.compile(r"\.\.([A-Za-z_]\w*)|\.([A-Za-z_]\w*|\*)|\[(\d+|\*)\]")


def parse(path):
    """`$.a.*..s[0][*]` as a list of (kind, name): kind is 'key', 'any', 'deep', 'index' or 'items'."""
    assert path.startswith("$"), path
    out, at = [], 1
    while at < len(path):
        m = _SEGMENT.match(path, at)
        assert m is not None, (path, at)
        deep, name, index = m.groups()
        if deep is not None:
            out.append(("deep", deep))
        elif name == "*":
            out.append(("any", None))
        elif name is not None:
            out.append(("key", name))
        elif index == "*":
            out.append(("items", None))
        else:
            out.append(("index", int(index)))
        at = m.end()
    return out


def _step_matches(seg, step):
    kind, name = seg
    if kind == "any":
        return True
    if kind == "key":
        return step == name
    if kind == "items":
        return type(step) is int
    if kind == "index":
        return type(step) is int and step == name
    raise AssertionError(kind)


def _ends_in(segs, place):
    """The lengths of the prefixes of `place` that `segs` matches whole."""
    states = {(0, 0)}  # (segments consumed, steps consumed)
    ends = set()
    while states:
        nxt = set()
        for s, p in states:
            if s == len(segs):
                ends.add(p)
                continue
            if p == len(place):
                continue
            kind, name = segs[s]
            if kind == "deep":
                if place[p] == name:
                    nxt.add((s + 1, p + 1))
                nxt.add((s, p + 1))  # the descent passes one more step
            elif _step_matches(segs[s], place[p]):
                nxt.add((s + 1, p + 1))
        states = nxt
    return ends


def selected(paths, place):
    """Whether a path selects the value at `place` or a container above it."""
    return any(_ends_in(parse(p), place) for p in paths)


class Override:
    """What the override under test does, by `shape`, with a dict (not the root) whose members are all dicts:
    each member (or, for 'grandchild', the first dict member of each member) is replaced by the walk of a
    copy made by `shape`. Every other container is walked by super() itself."""

    RECOGNISED = {"dict", "same", "star", "method"}  # the member's own keys and values, in order
    SHAPES = sorted(RECOGNISED | {"reversed", "extra", "missing", "deep", "grandchild"})

    def __init__(self, shape):
        self.shape = shape

    @staticmethod
    def takes(target):
        return bool(target) and all(type(v) is dict for v in target.values())

    def copy(self, v):
        import copy as copying

        s = self.shape
        if s == "dict":
            return dict(v)
        if s == "same":
            return v
        if s == "star":
            return {**v}
        if s == "method":
            return v.copy()
        if s == "reversed":
            return dict(reversed(list(v.items())))
        if s == "extra":
            return {**v, "extra": "added"}
        if s == "missing":
            return dict(list(v.items())[1:])
        if s == "deep":
            return copying.deepcopy(v)
        raise AssertionError(s)


def required(doc, paths, override):
    """The str leaves of `doc` (each a distinct str) that the call must not show, by the places the walk may
    take each to be at; leaves the override hands to no walk are not required."""
    out = set()

    def leaf(value, places):
        if type(value) is str and any(selected(paths, p) for p in places):
            out.add(value)

    def walk(value, places, handed):
        # `handed`: the value is a member the walk dispatches to the override.
        if type(value) is str:
            leaf(value, places)
            return
        if type(value) is list:
            for i, item in enumerate(value):
                walk(item, {p + (i,) for p in places}, True)
            return
        if type(value) is not dict:
            return
        if handed and override.takes(value):
            for k, member in value.items():
                if override.shape == "grandchild":
                    inner = [(k2, g) for k2, g in member.items() if type(g) is dict]
                    if inner:
                        # A copy of no member: the held container's places and the root.
                        walk_copy(inner[0][1], places | {()})
                    continue
                copy_places = places | {()}
                if override.shape in Override.RECOGNISED:
                    copy_places |= {p + (k,) for p in places}
                walk_copy(override.copy(member), copy_places)
            return
        for k, v in value.items():
            walk(v, {p + (k,) for p in places}, True)

    def walk_copy(copy, places):
        # super() on a copy walks it (its own override is not called again).
        for k, v in copy.items():
            walk(v, {p + (k,) for p in places}, True)

    walk(doc, {()}, False)
    return out


def strs_in(value):
    """Every str value anywhere in `value`."""
    if type(value) is str:
        return {value}
    if type(value) is dict:
        return set().union(*(strs_in(v) for v in value.values())) if value else set()
    if type(value) is list:
        return set().union(*(strs_in(v) for v in value)) if value else set()
    return set()
