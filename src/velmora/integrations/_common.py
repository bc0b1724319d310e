"""What the integrations share: building an omitter from keyword arguments,
and redaction of whatever a caller hands over, which withholds what cannot
be redacted instead of raising into a logging call or passing it through.

The walk of :mod:`velmora.redact` takes exact dicts and lists. A caller's
data may hold other containers: dict and list subclasses (``OrderedDict``,
``defaultdict``), mappings that are not dicts, tuples, sets, ``deque``, str
subclasses. The walk finds them (in strict mode, which refuses what it would
pass over); where it does, the value is copied into plain dicts, lists and
str (`plain`), and that copy is redacted. A value with nothing of the kind
is redacted as it is, sharing what it can.
"""

from __future__ import annotations

import collections
import collections.abc
import types
from collections.abc import Iterable, Mapping, MutableMapping
from typing import Any

from velmora.detect import Detector
from velmora.omit import NoTrustOmitter, Omitter
from velmora.redact import redacted

# Values the walk takes as they are, with nothing beneath them.
_ATOMS = frozenset({str, int, float, bool, type(None), bytes, complex})
# Containers copied into lists.
_SEQUENCES = (list, tuple, set, frozenset, collections.deque, collections.UserList)
# Containers that str() and repr() show as exactly the items `plain` copies
# from them. Others may show more: a ChainMap shows the values it shadows, a
# subclass may override its repr or the iteration `plain` reads.
_FAITHFUL = frozenset({dict, list, tuple, set, frozenset, collections.deque, collections.OrderedDict,
                       collections.defaultdict, collections.Counter, collections.UserDict, collections.UserList,
                       types.MappingProxyType})
# The code of the __repr__ that namedtuple gives every class it makes.
_NAMEDTUPLE_REPR = collections.namedtuple("_Shape", "a").__repr__.__code__


def make_omitter(owner: str, omitter: Omitter | None = None, hide: Iterable[Any] | None = None,
                 trust: Iterable[Any] | None = None, detect: Detector | None = None) -> Omitter:
    """The omitter given, or one made from ``hide`` (keys to hide) or
    ``trust`` (the only keys to trust): exactly one of the three, or none
    when a detector is given (an omitter that hides no key)."""
    given = [name for name, value in (("omitter", omitter), ("hide", hide), ("trust", trust)) if value is not None]
    if not given and detect is not None:
        return Omitter([])
    if len(given) != 1:
        raise TypeError(f"{owner} takes exactly one of omitter=, hide= or trust= (got {len(given)})")
    if omitter is not None:
        if not isinstance(omitter, Omitter):
            raise TypeError(f"{owner}: omitter must be a velmora.omit.Omitter, not {type(omitter).__name__}")
        return omitter
    keys = hide if hide is not None else trust
    if isinstance(keys, (str, bytes)):
        raise TypeError(f"{owner}: {given[0]}= takes a list of keys, not one {type(keys).__name__}")
    # list(): configuration loaders hand over list subclasses, which the
    # omitters refuse.
    return Omitter(list(keys)) if hide is not None else NoTrustOmitter(list(keys))  # type: ignore[arg-type]


def check_detector(owner: str, detect: Any) -> Detector | None:
    """The ``detect=`` argument: a velmora.detect.Detector, or None."""
    if detect is not None and not isinstance(detect, Detector):
        raise TypeError(f"{owner}: detect must be a velmora.detect.Detector, not {type(detect).__name__}")
    return detect


def detected(detector: Detector, value: Any) -> Any:
    """`value` with what `detector` finds inside every str in it masked,
    at any depth (keys are never changed): `value` itself when nothing is
    found. Containers are never changed in place: a dict, list or tuple in
    which something is masked is copied (another mapping or sequence into
    a plain dict or list, as `plain` copies it). Other objects are shared
    as they are. Raises what reading the data raises (RecursionError for
    data that contains itself): callers withhold."""
    t = type(value)
    if t is str:
        return detector.mask(value)
    if t in _ATOMS:
        return value
    if t is dict:
        out = None
        for key, item in value.items():
            new = detected(detector, item)
            if new is not item:
                if out is None:
                    out = dict(value)
                out[key] = new
        return value if out is None else out
    if t is list or t is tuple:
        items = [detected(detector, item) for item in value]
        if all(new is old for new, old in zip(items, value)):
            return value
        return items if t is list else tuple(items)
    if isinstance(value, str):
        text = str.__str__(value)  # never the subclass's own methods
        masked = detector.mask(text)
        return value if masked is text else masked
    if is_container(value):
        clean = plain(value)
        result = detected(detector, clean)
        return value if result is clean and shows_as_copied(value) else result
    return value


def withheld(exc: BaseException) -> str:
    """What stands in for a value that could not be redacted. Only the
    exception's type is named: its message may quote the data."""
    return f"<withheld: {type(exc).__name__} while redacting>"


def hides_unkeyed(omitter: Omitter) -> bool:
    """Whether the omitter hides a value that stands under no key (a
    positional argument, an item of a list argument): its verdict for the
    key None. An allowlist has nothing that vouches for such a value; a
    denylist hides it only if it lists None. Asked at every call, as the
    omitter may be re-initialised; when it cannot answer, hidden. A kept
    value comes back as the very object given; a mask is another one, even
    when its text is the probe's (``mask="x"``)."""
    probe = "".join(("x", "?"))  # made here: no mask object can be it
    try:
        return omitter.omit({None: probe}).get(None) is not probe
    except Exception:  # noqa: BLE001 - an answer of doubt is "hidden"
        return True


def plain(value: Any) -> Any:
    """A copy of `value` in plain dicts, lists and str (a mapping becomes a
    dict with the same keys, a tuple, set or other sequence a list, a str
    subclass a str). Other objects are shared. Whatever iteration raises
    propagates; data that contains itself ends in RecursionError."""
    return _copied(value)


def _key(key: Any) -> Any:
    return str.__str__(key) if type(key) is not str and isinstance(key, str) else key


def _copied(value: Any) -> Any:
    t = type(value)
    if t in _ATOMS:
        return value
    # The built-in types first: the abstract checks below cost more.
    if t is dict:
        return {(k if type(k) is str else _key(k)): (v if type(v) in _ATOMS else _copied(v))
                for k, v in value.items()}
    if t is list or t is tuple:
        return [v if type(v) in _ATOMS else _copied(v) for v in value]
    if isinstance(value, str):
        return str.__str__(value)
    if isinstance(value, Mapping):
        return {_key(k): _copied(v) for k, v in value.items()}
    if isinstance(value, _SEQUENCES):
        return [_copied(v) for v in value]
    return value


def _redacted(omitter: Omitter, value: Any, do: bool = True) -> Any:
    """`redacted` of an exact dict or list, or of its plain copy where the
    walk would pass over something that may hold str values (the walk
    says so in strict mode, without a look in Python at every value)."""
    try:
        return redacted(omitter, value, do, strict=True)
    except TypeError:
        return redacted(omitter, plain(value), do)


def redact_unkeyed(omitter: Omitter, value: Any, hides: bool) -> Any:
    """A redacted version of a value that stands under no key: a dict (or
    mapping) by its own keys, a list (or other sequence) with its str items
    masked when `hides`, a str masked when `hides`, a number or boolean
    when `hides` as the omitter's policy masks one in a hidden list (as an
    item of a list argument is); other objects as they are. A value that
    cannot be redacted is withheld whole. Returns `value` itself when
    nothing is masked."""
    t = type(value)
    if t in _ATOMS and t is not str:
        if not hides or value is None or t is bytes:
            return value
        try:
            masked = redacted(omitter, [value], True)[0]
        except Exception as exc:  # noqa: BLE001
            return withheld(exc)
        return value if masked is value else masked
    try:
        if t is dict or t is list:
            return _redacted(omitter, value, hides)
        if isinstance(value, str):
            masked = redacted(omitter, [str.__str__(value)], True)[0] if hides else value
            return value if masked == value and type(masked) is t else masked
        if not is_container(value):
            return value
        clean = plain(value)
        result = redacted(omitter, clean, hides)
        return value if result is clean and shows_as_copied(value) else result
    except Exception as exc:  # noqa: BLE001 - never let data fail a logging call
        return withheld(exc)


def shows_as_copied(value: Any) -> bool:
    """Whether str() and repr() of `value` show nothing that its plain copy
    lacks, so that `value` may stand for a copy in which nothing was masked.
    Only the containers of `_FAITHFUL` (and namedtuples) are taken at their
    word, with what they hold; a str subclass must keep str's repr. Other
    objects are shared by the copy, and show the same in both."""
    t: Any = type(value)
    if t in _ATOMS:
        return True
    if isinstance(value, str):
        return t.__repr__ is str.__repr__
    if t in _FAITHFUL:
        if isinstance(value, Mapping):
            return all(shows_as_copied(k) and shows_as_copied(v) for k, v in value.items())
        return all(shows_as_copied(v) for v in value)
    if isinstance(value, tuple):
        return (getattr(t.__repr__, "__code__", None) is _NAMEDTUPLE_REPR and t.__iter__ is tuple.__iter__
                and t.__str__ is object.__str__ and all(shows_as_copied(v) for v in value))
    return not is_container(value)


def is_container(value: Any) -> bool:
    """Whether `value` is a mapping or a sequence that `plain` copies."""
    return not isinstance(value, str) and isinstance(value, (Mapping, *_SEQUENCES))


def redact_mapping(omitter: Omitter, mapping: Mapping[Any, Any], own_keys: bool = False) -> dict[Any, Any]:
    """A redacted version of a mapping whose keys name its values (an event,
    a record's extra attributes): the same dict when nothing is masked and it
    is a plain dict. If the walk refuses something, the entries are redacted
    one by one and only those it refuses are withheld. Raises only when the
    mapping's items cannot be read.

    With `own_keys`, for a caller that writes the result back into `mapping`
    by key, a str subclass among the keys makes the entries redacted one by
    one, each under its own key object: the plain copy turns it into a str,
    which may not find the entry again (a subclass with a hash of its own)
    or may find another one."""
    try:
        if type(mapping) is dict:
            try:
                result: dict[Any, Any] = redacted(omitter, mapping, True, strict=True)
                return result
            except TypeError:
                pass
        if not own_keys or not any(type(key) is not str and isinstance(key, str) for key in mapping):
            result = redacted(omitter, plain(mapping))
            return result
    except Exception:  # noqa: BLE001
        pass
    out: dict[Any, Any] = {}
    for key, value in list(mapping.items()):
        name = _key(key)
        try:
            out[key] = _redacted(omitter, {name: value})[name]
        except Exception as exc:  # noqa: BLE001
            out[key] = withheld(exc)
    return out


def update_in_place(target: MutableMapping[Any, Any], clean: Mapping[Any, Any]) -> None:
    """Put the redacted values of `clean` into `target` (whose keys they
    are), replacing only those that changed."""
    if clean is target:
        return
    for key, value in clean.items():
        if key not in target or value is not target[key]:
            target[key] = value
