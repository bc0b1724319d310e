"""Plain-Python twins of the two walks, written from what the walks promise,
for differential tests against the native code.

`InPlace` redoes the in-place walk step by step in the order the native walk
takes them (the same questions, stores and releases), so that hostile code
run from the data sees the same sequence of events in both. The dict is
stepped through with the interpreter's own `PyDict_Next` (through ctypes),
so that a dict changed in the middle of its walk is read on from the same
position as the native walk reads it.

`cow_redacted` is the copy-on-write walk: what `redacted(o, x, do)` returns
for data with no hostile code in it, built without touching `x`.
"""

import copy
import ctypes

import velmora.omit as omit
from velmora.rules import DEFAULT_DENYLIST

try:
    from velmora.rules import RuleNoTrustOmitter, RuleOmitter
except ImportError:  # pragma: no cover
    RuleOmitter = RuleNoTrustOmitter = ()

UNICODE_SUBCLASS = 1 << 28
DICT_SUBCLASS = 1 << 29
LIST_SUBCLASS = 1 << 25
LONG_SUBCLASS = 1 << 24
HEAPTYPE = 1 << 9
ABSTRACT = 1 << 20

_type_flags = type.__dict__["__flags__"].__get__

_dict_next = ctypes.pythonapi["PyDict_Next"]  # a function object of its own: argtypes are per object
_dict_next.argtypes = [
    ctypes.py_object,
    ctypes.POINTER(ctypes.c_ssize_t),
    ctypes.POINTER(ctypes.c_void_p),
    ctypes.POINTER(ctypes.c_void_p),
]
_dict_next.restype = ctypes.c_int


def dict_next(d, pos):
    """The next (key, value) of `d` from position `pos` (advanced), or None."""
    k = ctypes.c_void_p()
    v = ctypes.c_void_p()
    if not _dict_next(d, ctypes.byref(pos), ctypes.byref(k), ctypes.byref(v)):
        return None
    return ctypes.cast(k, ctypes.py_object).value, ctypes.cast(v, ctypes.py_object).value


def flags(value):
    return _type_flags(type(value))


def tp_name(tp):
    """The type's tp_name, as "%.200s" shows it."""
    if _type_flags(tp) & HEAPTYPE:
        return tp.__name__[:200]
    module = tp.__module__
    return (tp.__name__ if module == "builtins" else f"{module}.{tp.__name__}")[:200]


def unexpected(expected, value):
    return TypeError(f"Expected {expected}, got {tp_name(type(value))}")


def key_ok(key):
    return key is None or type(key) is str


def is_number(value):
    # isinstance looks `__class__` up on anything that is not a bool: that
    # may run code and re-type the value, so the type is read afterwards.
    if isinstance(value, bool):
        # ... but a str, dict or list subclass is what its type says.
        return not issubclass(type(value), (str, dict, list))
    tp = type(value)
    return bool(_type_flags(tp) & LONG_SUBCLASS) or issubclass(tp, (float, complex))


# ---- verdicts and masks ------------------------------------------------------


def key_list(o):
    """The list the omitter decides by, as it stands now (its own object)."""
    if isinstance(o, omit.NoTrustOmitter):
        return omit.NoTrustOmitter.__reduce__(o)[2][1]
    return omit.Omitter.__reduce__(o)[2][0]


def _rule_match(o, key):
    if key in o.keys:
        return True
    if type(key) is not str:
        return False
    folded = key.casefold()
    if o.ignore_case and any(type(k) is str and k.casefold() == folded for k in o.keys):
        return True
    if any(w.casefold() in folded for w in o.contains):
        return True
    return any(p.search(key) for p in o.patterns)


def _defaults_hit(key):
    return type(key) is str and any(w in key.casefold() for w in DEFAULT_DENYLIST)


def should_hide(o, key):
    if RuleOmitter and isinstance(o, RuleNoTrustOmitter):
        return (not _rule_match(o, key)) or (o.defaults and _defaults_hit(key))
    if RuleOmitter and isinstance(o, RuleOmitter):
        return _rule_match(o, key) or (o.defaults and _defaults_hit(key))
    keys = key_list(o)
    if isinstance(o, omit.NoTrustOmitter):
        return key not in keys
    return key in keys


class Policy:
    def __init__(self, o):
        rules = RuleOmitter and isinstance(o, (RuleOmitter, RuleNoTrustOmitter))
        self.text = o.mask if rules else None
        self.keep_last = o.keep_last if rules else None
        self.whole = bool(o.whole) if rules else False
        if self.whole and self.text is None:
            self.text = "[Filtered]"

    def mask(self, s):
        if self.text is not None:
            return self.text
        if self.keep_last is not None:
            n = len(s)
            return "*" * n if n <= self.keep_last else "*" * (n - self.keep_last) + s[n - self.keep_last :]
        return "*" * len(s)


# ---- the in-place walk -------------------------------------------------------


def may_override(o):
    tp = type(o)
    return bool(_type_flags(tp) & (HEAPTYPE | ABSTRACT))


class InPlace:
    """The in-place walk for one omitter. `base` stands for the native walk
    wherever the data's own code would reach it: an override that calls
    the base class's method calls `base` in the model run."""

    def __init__(self, o):
        self.o = o
        self.policy = Policy(o)

    # Python-level entry points
    def omit(self, target):
        if target is not None and type(target) is not dict:
            raise TypeError(
                f"Argument 'target' has incorrect type (expected dict, got {tp_name(type(target))})"
            )
        return self.walk_dict(target, skip=True)

    def omit_recurse(self, target, do=True):
        do = bool(do)
        if target is not None and type(target) is not list:
            raise TypeError(
                f"Argument 'target' has incorrect type (expected list, got {tp_name(type(target))})"
            )
        return self.walk_list(target, True, do)

    # the override dispatch
    def dispatch(self, name, target, *extra):
        found = getattr(self.o, name)
        own = getattr(omit.Omitter, name)
        if getattr(found, "__func__", None) is own and getattr(found, "__self__", None) is self.o:
            # the bound built-in method: back in through the Python-level entry
            return (True, getattr(self, name)(target, *extra))
        if found is own:
            return (False, None)
        result = found(target, *extra)
        wanted = dict if name == "omit" else list
        if result is not None and type(result) is not wanted:
            raise unexpected(wanted.__name__, result)
        return (True, result)

    def walk_dict(self, target, skip):
        if not skip and may_override(self.o):
            answered, result = self.dispatch("omit", target)
            if answered:
                return result
        if target is None:
            raise AttributeError("'NoneType' object has no attribute 'items'")
        size = len(target)
        pos = ctypes.c_ssize_t(0)
        key = value = pair = None
        while True:
            if len(target) != size:
                raise RuntimeError("dictionary changed size during iteration")
            pair = dict_next(target, pos)
            if pair is None:
                break
            key, value = pair
            pair = None
            self.entry(target, key, value)
        key = value = None
        return target

    def entry(self, target, key, value):
        pol = self.policy
        verdict = None
        if pol.whole and type(key) is str:
            verdict = should_hide(self.o, key)
            if verdict:
                target[key] = pol.text
                return
        if is_number(value):
            return
        f = flags(value)
        if f & UNICODE_SUBCLASS:
            if not key_ok(key):
                raise unexpected("unicode", key)
            if verdict is None:
                verdict = should_hide(self.o, key)
            if not verdict:
                return
            if type(value) is not str:
                raise unexpected("unicode", value)
            target[key] = pol.mask(value)
        elif f & DICT_SUBCLASS:
            if type(value) is not dict:
                raise unexpected("dict", value)
            target[key] = self.walk_dict(value, skip=False)
        elif f & LIST_SUBCLASS:
            if not key_ok(key):
                raise unexpected("unicode", key)
            if verdict is None:
                verdict = should_hide(self.o, key)
            if type(value) is not list:
                raise unexpected("list", value)
            target[key] = self.walk_list(value, False, bool(verdict))

    def walk_list(self, target, skip, do):
        if not skip and may_override(self.o):
            answered, result = self.dispatch("omit_recurse", target, do)
            if answered:
                return result
        if target is None:
            raise TypeError("object of type 'NoneType' has no len()")
        n = len(target)
        i = 0
        item = None
        while i < n:
            if i >= len(target):
                raise IndexError("list index out of range")
            item = target[i]
            f = flags(item)
            if f & DICT_SUBCLASS:
                if type(item) is not dict:
                    raise unexpected("dict", item)
                target[i] = self.walk_dict(item, skip=False)
            elif f & LIST_SUBCLASS:
                if type(item) is not list:
                    raise unexpected("list", item)
                target[i] = self.walk_list(item, False, do)
            elif do and f & UNICODE_SUBCLASS:
                if type(item) is not str:
                    raise unexpected("unicode", item)
                target[i] = self.policy.mask(item)
            i += 1
        item = None
        return target


def drop_frames(e):
    """Let go of what the frames of a failed call hold, innermost first, as
    a native walk lets go of what it holds while it unwinds."""
    frames = []
    tb = e.__traceback__
    while tb is not None:
        frames.append(tb.tb_frame)
        tb = tb.tb_next
    e.__traceback__ = None
    for frame in reversed(frames):
        try:
            frame.clear()
        except RuntimeError:  # still running: the caller's own frame
            pass
    return e


def model_call(o, method, target, *args):
    """Run the model of `o.method(target, *args)`: (result, exception)."""
    m = InPlace(o)
    try:
        return getattr(m, method)(target, *args), None
    except Exception as e:  # noqa: BLE001 - the exception is the outcome
        return None, drop_frames(e)


# ---- the copy-on-write walk --------------------------------------------------


class _Refused(Exception):
    pass


def cow_redacted(o, target, do=True):
    """What `redacted(o, target, do)` gives for hostile-free data: the
    redacted value, sharing every container with nothing masked beneath it
    (the target itself when nothing is masked at all). Raises what the
    in-place walk raises."""
    if may_override(o) and (
        type(o).omit is not omit.Omitter.omit or type(o).omit_recurse is not omit.Omitter.omit_recurse
    ):
        # An override runs as it would: the in-place walk on a deep copy.
        m = InPlace(o)
        x = copy.deepcopy(target)
        return m.omit(x) if type(target) is dict else m.omit_recurse(x, do)
    if type(target) is dict:
        return _cow_dict(o, Policy(o), target)
    if type(target) is list:
        return _cow_list(o, Policy(o), target, bool(do))
    raise TypeError("target must be a dict or a list")


def _cow_value(o, pol, key, value):
    verdict = None
    if pol.whole and type(key) is str:
        verdict = should_hide(o, key)
        if verdict:
            return value if type(value) is str and value == pol.text else pol.text
    if is_number(value):
        return value
    f = flags(value)
    if f & UNICODE_SUBCLASS:
        if not key_ok(key):
            raise unexpected("unicode", key)
        if verdict is None:
            verdict = should_hide(o, key)
        if not verdict:
            return value
        if type(value) is not str:
            raise unexpected("unicode", value)
        m = pol.mask(value)
        return value if m == value else m
    if f & DICT_SUBCLASS:
        if type(value) is not dict:
            raise unexpected("dict", value)
        return _cow_dict(o, pol, value)
    if f & LIST_SUBCLASS:
        if not key_ok(key):
            raise unexpected("unicode", key)
        if verdict is None:
            verdict = should_hide(o, key)
        if type(value) is not list:
            raise unexpected("list", value)
        return _cow_list(o, pol, value, bool(verdict))
    return value


def _cow_dict(o, pol, d):
    out = {}
    changed = False
    for k, v in d.items():
        nv = _cow_value(o, pol, k, v)
        changed = changed or nv is not v
        out[k] = nv
    return out if changed else d


def _cow_list(o, pol, lst, do):
    out = []
    changed = False
    for item in lst:
        f = flags(item)
        if f & DICT_SUBCLASS:
            if type(item) is not dict:
                raise unexpected("dict", item)
            new = _cow_dict(o, pol, item)
        elif f & LIST_SUBCLASS:
            if type(item) is not list:
                raise unexpected("list", item)
            new = _cow_list(o, pol, item, do)
        elif do and f & UNICODE_SUBCLASS:
            if type(item) is not str:
                raise unexpected("unicode", item)
            m = pol.mask(item)
            new = item if m == item else m
        else:
            new = item
        changed = changed or new is not item
        out.append(new)
    return out if changed else lst


def containers(x, acc=None):
    """The ids of every dict and list reachable from `x` (no cycles)."""
    acc = set() if acc is None else acc
    if type(x) in (dict, list):
        acc.add(id(x))
        for v in x.values() if type(x) is dict else x:
            containers(v, acc)
    return acc


def same_sharing(real, model, inputs):
    """Whether `real` shares input containers exactly where `model` does."""
    if type(real) is not type(model):
        return False
    if type(model) not in (dict, list):
        return True
    if (id(model) in inputs) != (id(real) in inputs):
        return False
    if id(model) in inputs:
        return real is model
    if type(model) is dict:
        return list(real) == list(model) and all(same_sharing(real[k], model[k], inputs) for k in model)
    return len(real) == len(model) and all(same_sharing(a, b, inputs) for a, b in zip(real, model))
