"""Fuzz target for the omission walk.

From the fuzzer's bytes it builds nested data (dict/list/str/int/float/bool/
None), key lists for the omitter and for the module-wide lists, an omitter
kind, and optionally a Python subclass whose overrides call super(); the
omitter's own key list may be put into the data as well. The walk must give
what the pure-Python model in tests/model.py gives, every override must see
every nested container, and a pickled and unpickled omitter must give the
same result on a fresh copy. Any mismatch raises AssertionError.

    python fuzz/fuzz_walk.py -max_total_time=60 fuzz/corpus
"""

import collections
import copy
import os
import pickle
import sys

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
with atheris.instrument_imports():
    import model

import velmora.omit as m

POOL = ["a", "b", "password", "", "ß", "\U0001f600", None]
CALLS = collections.Counter()


class Counting:
    """Overrides that count their calls and defer to the built-in walk."""
    def omit(self, target):
        CALLS["omit"] += 1
        return super().omit(target)

    def omit_recurse(self, target, do=True):
        CALLS["omit_recurse"] += 1
        return super().omit_recurse(target, do)


class CountingOmitter(Counting, m.Omitter):
    pass


class CountingNoTrust(Counting, m.NoTrustOmitter):
    pass


CLASSES = {("omitter", False): m.Omitter, ("no_trust", False): m.NoTrustOmitter,
           ("omitter", True): CountingOmitter, ("no_trust", True): CountingNoTrust}


def text(fdp):
    return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 6))


def key(fdp):
    pick = fdp.ConsumeIntInRange(0, 15)
    if pick == 15:
        return fdp.ConsumeIntInRange(-2, 2)  # refused under str and list values
    return text(fdp) if pick >= len(POOL) + 4 else POOL[pick % len(POOL)]


def keys(fdp):
    return [key(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))]


SCALARS = [text, lambda f: POOL[f.ConsumeIntInRange(0, len(POOL) - 2)], lambda f: f.ConsumeInt(2),
           lambda f: f.ConsumeFloat(), lambda f: complex(0, f.ConsumeFloat()), lambda f: f.ConsumeBool(),
           lambda f: None]


def value(fdp, depth):
    pick = fdp.ConsumeIntInRange(0, len(SCALARS) + (1 if depth < 6 else -1))
    if pick < len(SCALARS):
        return SCALARS[pick](fdp)
    return make_dict(fdp, depth + 1) if pick == len(SCALARS) else make_list(fdp, depth + 1)


def make_dict(fdp, depth):
    return {key(fdp): value(fdp, depth) for _ in range(fdp.ConsumeIntInRange(0, 4))}


def make_list(fdp, depth):
    return [value(fdp, depth) for _ in range(fdp.ConsumeIntInRange(0, 4))]


def containers(data, counts):
    counts["omit" if type(data) is dict else "omit_recurse"] += 1
    for item in data.values() if type(data) is dict else data:
        if type(item) in (dict, list):
            containers(item, counts)
    return counts


def walk(omitter, data, do):
    return omitter.omit(data) if type(data) is dict else omitter.omit_recurse(data, do)


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    kind = "omitter" if fdp.ConsumeBool() else "no_trust"
    subclass, do, protocol = fdp.ConsumeBool(), fdp.ConsumeBool(), fdp.ConsumeIntInRange(0, pickle.HIGHEST_PROTOCOL)
    global_omit, global_trust = keys(fdp), keys(fdp)
    given = keys(fdp) if fdp.ConsumeBool() else None
    target = make_dict(fdp, 0) if fdp.ConsumeBool() else make_list(fdp, 0)

    m.always_omit(global_omit)
    m.always_trust(global_trust)
    try:
        omitter, plain = CLASSES[kind, subclass](given), CLASSES[kind, False](given)
    finally:
        m.reset_omissions()
        m.reset_trusted()
    own = global_omit if kind == "omitter" else global_trust
    effective = (own if given is None else given) + own
    # The omitter's own key list, as its pickling state hands it out, may be
    # part of the data: the walk then masks the very list it decides by.
    embedded = fdp.ConsumeBool()
    if embedded:
        # (A NoTrustOmitter keeps its trusted keys distinct, in set order:
        # the same answers as `effective`.)
        live = omitter.__reduce__()[2][0 if kind == "omitter" else 1]
        where, under = fdp.ConsumeIntInRange(0, len(target)), key(fdp)
        if type(target) is dict:  # anywhere among the entries, not only last
            items = [(k, v) for k, v in target.items() if k != under]
            items.insert(min(where, len(items)), (under, live))
            target = dict(items)
        else:
            target.insert(where, live)
        pristine, effective = copy.deepcopy((target, live))
    else:
        pristine = copy.deepcopy(target)

    def should_hide(k):
        return model.hides_key(kind, effective, k)

    try:
        if embedded:
            expected = model.model_redact_in_place(pristine, should_hide, do)
        elif type(target) is dict:
            expected = model.model_omit(pristine, should_hide)
        else:
            expected = model.model_omit_recurse(pristine, should_hide, do)
    except ValueError:
        expected = None
    CALLS.clear()
    try:
        result = walk(omitter, target, do)
    except TypeError as exc:
        assert expected is None, f"walk refused data the model accepts: {exc}"
        assert str(exc) == "Expected unicode, got int", str(exc)
        return
    assert expected is not None, "walk accepted data the model refuses"
    assert result is target and target == expected, (target, expected)
    if subclass:
        assert CALLS == containers(pristine, collections.Counter()), (CALLS, pristine)
    if embedded:
        return  # another omitter would not decide by the list in the data
    if subclass:
        assert walk(plain, copy.deepcopy(pristine), do) == target

    clone = pickle.loads(pickle.dumps(omitter, protocol))
    assert type(clone) is type(omitter)
    again = copy.deepcopy(pristine)
    assert walk(clone, again, do) is again and again == expected, (again, expected)


if __name__ == "__main__":
    atheris.instrument_all()
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
