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

A dataclass instance names its fields as a dict names its values, and its
repr shows them. The walk passes over it, strict or not, so a value the walk
took is looked through for one afterwards. The plain copy turns each
instance whose repr is the one dataclasses generates into a dict of the
fields that repr shows, the walk decides them by name, and the result is
turned back: into a `MaskedDataclass`, which prints as the instance would
with the masked values, or into the instance itself where nothing in it was
masked. An instance with a repr of its own is another object, shown as it
shows itself.

Other objects name what they show in the same way, and are decided the
same way while their repr is their type's own: a namedtuple (its repr names
each item as a dataclass's names a field; a namedtuple class with a repr of
its own is a tuple like any other), a ``SimpleNamespace`` (its attributes,
as keyword arguments). A dict view shows the items of its dict, which are
decided by their keys, and comes back as the same view of the redacted
dict. An exception shows its args: they are decided as a list in the place
of the exception, and where something in them is masked, a
`MaskedException` shows them as BaseException's str() and repr() would; an
exception whose str() or repr() is its class's own cannot be shown that
way, and is withheld instead.
"""

from __future__ import annotations

import collections
import collections.abc
import contextlib
import dataclasses
import functools
import gc
import types
from collections.abc import Callable, Iterable, Mapping, MutableMapping
from typing import Any

from velmora.detect import Detector
from velmora.omit import NoTrustOmitter, Omitter
from velmora.redact import redacted

# Values the walk takes as they are, with nothing beneath them.
_ATOMS = frozenset({str, int, float, bool, type(None), bytes, complex})
# What exact dicts and lists that a strict walk took hold, but other objects.
_PLAIN = _ATOMS | {dict, list}
# Containers copied into lists.
_SEQUENCES = (list, tuple, set, frozenset, collections.deque, collections.UserList)
# Containers that str() and repr() show as exactly the items `plain` copies
# from them. Others may show more: a ChainMap shows the values it shadows, a
# subclass may override its repr or the iteration `plain` reads.
_FAITHFUL = frozenset({dict, list, tuple, set, frozenset, collections.deque, collections.OrderedDict,
                       collections.defaultdict, collections.Counter, collections.UserDict, collections.UserList,
                       types.MappingProxyType})
# Containers in `_FAITHFUL` whose repr is the repr of what they wrap: they
# show what they hold only while that is of the exact type given here (a
# subclass may show more than its iteration gives).
_WRAPPERS: dict[type, type] = {collections.UserDict: dict, collections.UserList: list, types.MappingProxyType: dict}
# The code of the __repr__ that namedtuple gives every class it makes.
_NAMEDTUPLE_REPR = collections.namedtuple("_Shape", "a").__repr__.__code__
# What a lookup that finds nothing returns.
_MISSING = object()
# What SimpleNamespace shows: the repr of the type, and its instance dict,
# which that repr reads directly.
_NAMESPACE_REPR = types.SimpleNamespace.__repr__
_NAMESPACE_DICT: Any = types.SimpleNamespace.__dict__["__dict__"]
# The views of a dict: each shows (and iterates) what the dict stores.
_VIEWS: dict[type, str] = {type({}.keys()): "keys", type({}.values()): "values", type({}.items()): "items"}
# An OrderedDict's views are views of the same kind (shown in its order):
# the dict they show is the OrderedDict itself.
_ORDERED_VIEWS: dict[type, str] = {type(collections.OrderedDict().keys()): "keys",
                                   type(collections.OrderedDict().values()): "values",
                                   type(collections.OrderedDict().items()): "items"}
_VIEWS.update(_ORDERED_VIEWS)
# The views a Mapping that is not a dict hands out (a UserDict's items()):
# their repr is the repr of the mapping they were made from.
_MAPPING_VIEWS = frozenset({collections.abc.KeysView, collections.abc.ValuesView, collections.abc.ItemsView})
_VIEWED: Any = collections.abc.MappingView.__dict__["_mapping"]
# What an exception shows: args, through BaseException's str and repr.
_ARGS: Any = BaseException.__dict__["args"]
_TYPE_NAME: Any = type.__dict__["__name__"]


class MaskedDataclass:
    """What stands for a dataclass instance in which something was masked:
    str() and repr() show what the instance's repr showed, with the
    redacted values. `name` is the class name that repr showed, `fields`
    the (field name, value) pairs it showed, in its order."""

    __slots__ = ("fields", "name")

    def __init__(self, name: str, fields: tuple[tuple[str, Any], ...]) -> None:
        self.name = name
        self.fields = fields

    def __repr__(self) -> str:
        return self.name + "(" + ", ".join(f"{field}={value!r}" for field, value in self.fields) + ")"

    __str__ = __repr__

    def __eq__(self, other: object) -> bool:
        if type(other) is not MaskedDataclass:
            return NotImplemented
        return self.name == other.name and self.fields == other.fields

    def __hash__(self) -> int:
        return hash((self.name, self.fields))

    def __reduce__(self) -> tuple[Any, ...]:
        # By its arguments: logging's SocketHandler pickles with protocol 1,
        # which cannot save the slots of a class without this.
        return MaskedDataclass, (self.name, self.fields)


class MaskedException:
    """What stands for an exception in which something was masked: str()
    and repr() show what BaseException's would, with the redacted args.
    `name` is the class name that repr showed."""

    __slots__ = ("args", "name")

    def __init__(self, name: str, args: tuple[Any, ...]) -> None:
        self.name = name
        self.args = args

    def __repr__(self) -> str:
        return self.name + (f"({self.args[0]!r})" if len(self.args) == 1 else repr(self.args))

    def __str__(self) -> str:
        return "" if not self.args else str(self.args[0]) if len(self.args) == 1 else str(self.args)

    def __eq__(self, other: object) -> bool:
        if type(other) is not MaskedException:
            return NotImplemented
        return self.name == other.name and self.args == other.args

    def __hash__(self) -> int:
        return hash((self.name, self.args))

    def __reduce__(self) -> tuple[Any, ...]:
        return MaskedException, (self.name, self.args)


def _cells(fn: types.FunctionType) -> dict[str, Any] | None:
    """What a function's closure holds, by name; None if a cell is empty."""
    try:
        return {name: cell.cell_contents for name, cell in zip(fn.__code__.co_freevars, fn.__closure__ or ())}
    except ValueError:
        return None


def _code_key(code: types.CodeType) -> tuple[Any, ...]:
    """All of a code object that decides what it does, and nothing of where
    its source was: dataclasses compiles the functions it generates from
    text of its own, at lines that depend on what else it generated."""
    return (code.co_code, code.co_consts, code.co_names, code.co_varnames, code.co_freevars, code.co_cellvars,
            code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount, code.co_flags)


@dataclasses.dataclass
class _Probe:
    a: int


# The repr of a dataclass is a recursion guard (one code object for all)
# around the function generated for its class; which of its closure's
# cells holds that function, and what the others hold (a fill value, the
# set of reprs running) is read from one made here. Should a later
# interpreter make it otherwise, no repr is taken for a generated one, and
# dataclass instances are shown as other objects are.
_GUARD: Any = _Probe.__repr__
_GUARD_CODE = getattr(_GUARD, "__code__", None)
_GUARD_CELLS: dict[str, Any] = (_cells(_GUARD) or {}) if type(_GUARD) is types.FunctionType else {}
_GENERATED_CELL = next((name for name, value in _GUARD_CELLS.items() if type(value) is types.FunctionType), None)


def _generated_by_guard(fn: Any) -> types.FunctionType | None:
    """The function that `fn` calls if `fn` is the recursion guard that
    dataclasses puts around a __repr__ it generates; None otherwise."""
    if type(fn) is not types.FunctionType or fn.__code__ is not _GUARD_CODE or _GENERATED_CELL is None:
        return None
    cells = _cells(fn)
    if cells is None or cells.keys() != _GUARD_CELLS.keys():
        return None
    for name, ours in _GUARD_CELLS.items():
        theirs = cells[name]
        if name == _GENERATED_CELL or type(ours) is set:
            if type(theirs) is not type(ours):
                return None
        elif type(theirs) is not type(ours) or theirs != ours:
            return None
    generated: types.FunctionType = cells[_GENERATED_CELL]
    return generated


@functools.lru_cache(maxsize=512)
def _generated_code(names: tuple[str, ...]) -> tuple[Any, ...] | None:
    """The `_code_key` of the __repr__ that dataclasses generates for a
    class whose repr shows the fields `names`, in this order; None when no
    dataclass can have them. Made by this interpreter's dataclasses, so it
    is exact on every line."""
    try:
        probe = dataclasses.make_dataclass("_Probe", names)
    except TypeError:  # names no dataclass can have
        return None
    # Anything else (a RecursionError deep in a program) propagates, and is
    # not remembered as a verdict.
    generated = _generated_by_guard(probe.__repr__)
    if generated is None or generated.__closure__ is not None:
        return None
    return _code_key(generated.__code__)


# The repr functions already checked: each with its closure, the generated
# function that closure held, that one's code, and the field names it shows
# (None: not a repr that dataclasses generated). Held strongly (a weak key
# costs more to look up than the rest of the check), and emptied when full:
# a program that makes classes as it goes must not grow it without end.
_CHECKED: dict[types.FunctionType, tuple[Any, types.FunctionType, types.CodeType, tuple[str, ...] | None]] = {}
_CHECKED_MAX = 1024
# Where the generated function sits in the guard's closure.
_GENERATED_AT = tuple(_GUARD_CELLS).index(_GENERATED_CELL) if _GENERATED_CELL is not None else 0


def _names_shown(fn: Any, cls: type) -> tuple[str, ...] | None:
    """The names of the fields that `fn`, the __repr__ of `cls`, shows, if
    it is the one dataclasses generated for them; else None."""
    if type(fn) is not types.FunctionType or fn.__code__ is not _GUARD_CODE or _GENERATED_CELL is None:
        return None
    checked = _CHECKED.get(fn)
    if checked is not None:
        # Unless a cell or a code object was replaced since (the closure
        # itself cannot be).
        closure, generated, code, names = checked
        cells = fn.__closure__
        if (cells is closure and cells is not None and cells[_GENERATED_AT].cell_contents is generated
                and generated.__code__ is code):
            return names
    found = _generated_by_guard(fn)
    if found is None:
        return None
    # The fields of the class it was generated for: the first in the
    # method resolution order to hold it.
    owner: Any = next((owner for owner in cls.__mro__ if owner.__dict__.get("__repr__") is fn), None)
    try:
        names = tuple(field.name for field in dataclasses.fields(owner) if field.repr)
    except TypeError:  # not a dataclass (the function was put on it), or none
        names = None
    if names is not None:
        expected = _generated_code(names)
        if expected is None or found.__closure__ is not None or _code_key(found.__code__) != expected:
            names = None
    if len(_CHECKED) >= _CHECKED_MAX:
        _CHECKED.clear()
    _CHECKED[fn] = (fn.__closure__, found, found.__code__, names)
    return names


def _repr_of(t: Any) -> Any:
    """What repr() calls: __repr__ as the class's method resolution order
    finds it. Read off the class where its metaclass is type (a function
    is itself there); another metaclass might answer otherwise."""
    return t.__repr__ if type(t) is type else next(
        (found for owner in t.__mro__ if (found := owner.__dict__.get("__repr__", _MISSING)) is not _MISSING), None)


@functools.lru_cache(maxsize=512)
def _namedtuple_names(layout: str) -> tuple[str, ...] | None:
    """The field names in `layout`, the format namedtuple's __repr__ fills
    with the items ("(a=%r, b=%r)"); None unless it is exactly that."""
    inner = layout[1:-1].split(", ") if len(layout) > 2 else []
    names = tuple(part[:-3] for part in inner)
    if (not all(name.isidentifier() for name in names) or len(set(names)) != len(names)
            or "(" + ", ".join(f"{name}=%r" for name in names) + ")" != layout):
        return None
    return names


def _namedtuple_shown(value: tuple[Any, ...], fn: Any) -> tuple[str, list[tuple[str, Any]]] | None:
    """For a tuple whose repr `fn` is the one namedtuple made for its class:
    the class name and the (field name, item) pairs that repr shows. It
    formats the items as the tuple stores them, under the names its closure
    holds: neither `_fields` nor the class's own item access decide."""
    if type(fn) is not types.FunctionType or fn.__code__ is not _NAMEDTUPLE_REPR:
        return None
    cells = _cells(fn)
    layout = cells.get("repr_fmt") if cells is not None and len(cells) == 1 else None
    if type(layout) is not str:
        return None
    names = _namedtuple_names(layout)
    if names is None or len(names) != tuple.__len__(value):
        return None  # the repr would fail: shown as any other tuple
    name = value.__class__.__name__
    if type(name) is not str:
        raise TypeError(f"__name__ is {type(name).__name__}, not str")
    return name, [(field, tuple.__getitem__(value, i)) for i, field in enumerate(names)]


def _view_dict(value: Any) -> dict[Any, Any] | None:
    """The dict behind a dict view (the one object it refers to)."""
    inner = gc.get_referents(value)
    return inner[0] if len(inner) == 1 and isinstance(inner[0], dict) else None


def _view_pairs(t: Any, stored: dict[Any, Any]) -> Iterable[tuple[Any, Any]]:
    """The (key, value) pairs that a dict view of type `t` shows of `stored`,
    in its order, as the dict stores them."""
    if t in _ORDERED_VIEWS and isinstance(stored, collections.OrderedDict):
        return list(collections.OrderedDict.items(stored))
    return dict.items(stored)


def _viewed(value: Any) -> Any:
    """The mapping a view of `_MAPPING_VIEWS` shows; `_MISSING` if it shows
    no mapping (its repr then shows what it holds as any other object)."""
    try:
        mapping = _VIEWED.__get__(value)
    except AttributeError:
        return _MISSING
    return mapping if isinstance(mapping, Mapping) else _MISSING


def _is_exception(value: Any) -> bool:
    """Whether `value` shows an exception's args: an exception, or the
    stand-in a redaction made of one."""
    return isinstance(value, BaseException) or type(value) is MaskedException


def _args_of(value: Any) -> tuple[Any, ...]:
    """The args an exception (or its stand-in) shows, as stored."""
    args: tuple[Any, ...] = value.args if type(value) is MaskedException else _ARGS.__get__(value)
    return args


def _shows_args(t: Any) -> bool:
    """Whether an exception of type `t` shows its args as BaseException's
    str() and repr() do."""
    return t.__str__ is BaseException.__str__ and _repr_of(t) is BaseException.__repr__


def _exception_name(t: Any) -> str:
    """The name BaseException's repr shows: its type's name after the last dot."""
    name: str = _TYPE_NAME.__get__(t)
    return name.rpartition(".")[2]


def _is_named(t: Any) -> bool:
    """Whether instances of `t`, which the walk passes over, may show values
    that `_fields_copied` decides (see the module docstring)."""
    return (t is MaskedDataclass or t is MaskedException or t in _VIEWS or t in _MAPPING_VIEWS
            or hasattr(t, "__dataclass_fields__")
            or issubclass(t, (types.SimpleNamespace, BaseException)))


def redactable(value: Any) -> bool:
    """Whether `value` may hold what `redact_unkeyed` masks: a container, or
    an object that shows values by name (see the module docstring)."""
    t = type(value)
    if is_container(value) or t in _VIEWS or t in _MAPPING_VIEWS or _is_exception(value):
        return True
    return _is_named(t) and fields_shown(value) is not None


def fields_shown(value: Any) -> tuple[str, list[tuple[str, Any]]] | None:
    """For a dataclass instance whose repr is the one that dataclasses
    generated (its class's, or a base class's): the class name that repr
    shows, and the (field name, value) pairs it shows, read now. The same
    for a `MaskedDataclass`. None for any other object: a class, an instance
    whose class has a __repr__ of its own, or repr=False and no generated
    one to inherit. Raises what reading a field raises."""
    t = type(value)
    if t is MaskedDataclass:
        return value.name, list(value.fields)
    if isinstance(value, tuple):
        shown = _namedtuple_shown(value, _repr_of(t))
        if shown is not None:
            return shown
    elif isinstance(value, types.SimpleNamespace) and _repr_of(t) is _NAMESPACE_REPR:
        # The type's name (its full __name__ for a subclass), then each
        # attribute stored under a non-empty str, in the dict's order.
        name = "namespace" if t is types.SimpleNamespace else _TYPE_NAME.__get__(t)
        return name, [(_key(key), item) for key, item in dict.items(_NAMESPACE_DICT.__get__(value))
                      if isinstance(key, str) and key]
    if not hasattr(t, "__dataclass_fields__"):
        return None
    names = _names_shown(_repr_of(t), t)
    if names is None:
        return None
    # As the generated function reads them: the class name through
    # __class__, each field as an attribute.
    name = value.__class__.__qualname__
    if type(name) is not str:
        raise TypeError(f"__qualname__ is {type(name).__name__}, not str")
    return name, [(field, getattr(value, field)) for field in names]


def _reads_stored(value: Any, names: Iterable[str]) -> bool:
    """Whether the fields `names` of `value` (a dataclass instance that
    `fields_shown` reads) are plain stored attributes, so that its repr,
    made later, reads the very values `fields_shown` read. A property or
    other descriptor on the class, or a __getattribute__ of its own, is
    code that may answer otherwise at the next read: such an instance is
    never handed on as it is, but as what was read from it."""
    t: Any = type(value)
    if t is MaskedDataclass or not hasattr(t, "__dataclass_fields__"):
        return True  # its repr reads what is stored: a tuple's items, a namespace's dict
    if t.__getattribute__ is not object.__getattribute__:
        return False
    spaces = [owner.__dict__ for owner in t.__mro__]
    for name in names:
        for space in spaces:
            attr = space.get(name, _MISSING)
            if attr is not _MISSING:
                # A slot's descriptor reads what is stored; a default value
                # is stored on the class (and shadowed by the instance's).
                if type(attr) is not types.MemberDescriptorType and hasattr(type(attr), "__get__"):
                    return False
                break
    return True


def _holds_fields(value: Any) -> bool:
    """Whether `value`, an exact dict or list that a strict walk took (so
    that it holds exact dicts, lists and str, numbers and other objects,
    and does not contain itself), holds a dataclass instance (or a
    `MaskedDataclass`) at any depth."""
    # A dataclass instance that shows a field is tracked by the garbage
    # collector from its making, and the interpreter keeps a dict untracked
    # only while it holds nothing that may be tracked: an untracked dict
    # needs no look inside (most of them: those of str and numbers alone).
    if not gc.is_tracked(value):
        return False
    # Level by level, and only what is tracked: str and numbers never are.
    # While a level has few containers, their items are looked at here;
    # past that, in C: the next level is what its containers refer to
    # (dicts their values, lists their items), and the types there are
    # gathered in one set. Only a level that holds other objects is sifted
    # here.
    level = [value]
    while len(level) <= 4:
        below = []
        for container in level:
            for item in filter(gc.is_tracked, container.values() if type(container) is dict else container):
                t = type(item)
                if t is dict or t is list:
                    below.append(item)
                elif _is_named(t):
                    return True
        if not below:
            return False
        level = below
    while level:
        level = list(filter(gc.is_tracked, gc.get_referents(*level)))
        kinds = set(map(type, level))
        if not kinds <= _PLAIN:
            if any(map(_is_named, kinds - _PLAIN)):
                return True
            level = [item for item in level if type(item) is dict or type(item) is list]
    return False


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
    a plain dict or list, as `plain` copies it), and a dataclass instance
    whose repr shows its fields (see `fields_shown`) becomes a
    `MaskedDataclass`. Other objects are shared as they are. Raises what
    reading the data raises (RecursionError for data that contains itself):
    callers withhold."""
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
    if t in _VIEWS or t in _MAPPING_VIEWS:
        return _detected_in_view(detector, value)
    if _is_exception(value):
        return _detected_in_args(detector, value)
    shown = fields_shown(value)
    if shown is None:
        return value
    name, pairs = shown
    found = [(field, detected(detector, item)) for field, item in pairs]
    if all(new is old for (_, new), (_, old) in zip(found, pairs)) and _reads_stored(value, (f for f, _ in pairs)):
        return value
    return MaskedDataclass(name, tuple(found))


def _detected_in_view(detector: Detector, value: Any) -> Any:
    """`detected` for a view: what it shows is what its mapping stores, and
    a changed one comes back as the same kind of view of a copy."""
    t = type(value)
    if t in _MAPPING_VIEWS:
        mapping = _viewed(value)
        if mapping is _MISSING:
            return value
        clean = plain(mapping)
        result = detected(detector, clean)
        return value if result is clean and shows_as_copied(mapping) else t(result)
    stored = _view_dict(value)
    if stored is None:
        raise TypeError("a dict view whose dict cannot be found")
    pairs = list(_view_pairs(t, stored))
    found = [(key, detected(detector, item)) for key, item in pairs]
    if all(new is old for (_, new), (_, old) in zip(found, pairs)):
        return value
    return _view_of(_VIEWS[t], t in _ORDERED_VIEWS, found)


def _detected_in_args(detector: Detector, value: Any) -> Any:
    """`detected` for an exception (or its stand-in), which shows its args:
    a changed one comes back as a stand-in, or withheld."""
    t = type(value)
    args = _args_of(value)
    new_args = [detected(detector, item) for item in args]
    if all(new is old for new, old in zip(new_args, args)):
        return value
    if t is MaskedException:
        return MaskedException(value.name, tuple(new_args))
    name = _exception_name(t)
    return _masked_args(name, new_args) if _shows_args(t) else _withheld_args(name, new_args)


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
    return _fields_copied(value, None)


def _key(key: Any) -> Any:
    return str.__str__(key) if type(key) is not str and isinstance(key, str) else key


# What `_fields_copied` made: the id of each dict or list it made from an
# object that shows values by name -> (the object, what makes its stand-in
# from the redacted items), and the id of each container that holds such a
# copy, at any depth -> None.
_Shown = dict[int, "tuple[Any, Callable[[Any], Any]] | None"]


def _fields_copied(value: Any, shown: _Shown | None) -> Any:
    """The copy `plain` makes (`shown` None), or one in which each dataclass
    instance that `fields_shown` reads (and each `MaskedDataclass`) also
    becomes a dict of the fields its repr shows, recorded in `shown`, for
    the walk to decide them by name (`_restored` turns what the walk made of
    it back)."""
    t = type(value)
    if t in _ATOMS:
        return value
    before = len(shown) if shown is not None else 0
    out: Any
    if t is dict:
        out = {(k if type(k) is str else _key(k)): (v if type(v) in _ATOMS else _fields_copied(v, shown))
               for k, v in value.items()}
    elif t is list or t is tuple:
        out = [v if type(v) in _ATOMS else _fields_copied(v, shown) for v in value]
    elif isinstance(value, str):
        return str.__str__(value)
    elif shown is not None and (found := fields_shown(value)) is not None:
        # Before the abstract checks: a dataclass that is also a mapping or
        # a sequence shows its fields.
        name, pairs = found
        out = {field: item if type(item) in _ATOMS else _fields_copied(item, shown) for field, item in pairs}
        shown[id(out)] = (value, functools.partial(_masked_fields, name))
        return out
    elif shown is not None and t in _VIEWS:
        # What the view shows is what its dict stores, whatever a subclass
        # of dict says it holds.
        stored = _view_dict(value)
        if stored is None:
            raise TypeError("a dict view whose dict cannot be found")
        out = {_key(k): v if type(v) in _ATOMS else _fields_copied(v, shown) for k, v in _view_pairs(t, stored)}
        shown[id(out)] = (value, functools.partial(_view_of, _VIEWS[t], t in _ORDERED_VIEWS))
        return out
    elif shown is not None and t in _MAPPING_VIEWS and (mapping := _viewed(value)) is not _MISSING:
        # It shows the repr of its mapping: that mapping is decided by its
        # keys, in a list of one in the view's place.
        out = [_fields_copied(mapping, shown)]
        shown[id(out)] = (value, functools.partial(_mapping_view_of, t))
        return out
    elif shown is not None and _is_exception(value):
        # A stand-in a filter before made of an exception is decided as the
        # exception was: it shows the same args.
        out = [v if type(v) in _ATOMS else _fields_copied(v, shown) for v in _args_of(value)]
        if t is MaskedException:
            shown[id(out)] = (value, functools.partial(_masked_args, value.name))
        else:
            name = _exception_name(t)
            shown[id(out)] = (value, functools.partial(_masked_args if _shows_args(t) else _withheld_args, name))
        return out
    elif isinstance(value, Mapping):
        out = {_key(k): _fields_copied(v, shown) for k, v in value.items()}
    elif isinstance(value, _SEQUENCES):
        out = [_fields_copied(v, shown) for v in value]
    else:
        return value
    if shown is not None and len(shown) != before:
        shown[id(out)] = None
    return out


def _masked_fields(name: str, items: list[tuple[Any, Any]]) -> MaskedDataclass:
    return MaskedDataclass(name, tuple(items))


def _view_of(kind: str, ordered: bool, items: list[tuple[Any, Any]]) -> Any:
    return getattr(collections.OrderedDict(items) if ordered else dict(items), kind)()


def _mapping_view_of(t: Any, items: list[Any]) -> Any:
    return t(items[0])


def _masked_args(name: str, items: list[Any]) -> MaskedException:
    return MaskedException(name, tuple(items))


def _withheld_args(name: str, items: list[Any]) -> str:
    return f"<withheld: {name} holding a hidden value>"


def _restored(shown: _Shown, clean: Any, result: Any) -> Any:
    """`result`, what the walk made of `clean` (made by `_fields_copied`,
    and in `shown`), with each copy made from an object turned back: into
    the object where nothing in it was masked and it shows nothing its copy
    lacks, else into its stand-in (a `MaskedDataclass` of the redacted
    fields, a view of the redacted dict, a `MaskedException`). What the walk
    masked whole stays as the walk made it."""
    items: list[Any]
    if type(clean) is dict:
        # Anything but the walk's version of `clean` (the same keys in the
        # same order) is left as it is: it shows no field unmasked.
        if type(result) is not dict or len(result) != len(clean):
            return result
        items = [(key, _restored(shown, item, new) if key is ours and id(item) in shown else new)
                 for (ours, item), (key, new) in zip(clean.items(), result.items())]
        mark = shown[id(clean)]
        if mark is None:
            return dict(items)
    else:
        if type(result) is not list or len(result) != len(clean):
            return result
        items = [_restored(shown, item, new) if id(item) in shown else new for item, new in zip(clean, result)]
        mark = shown[id(clean)]
        if mark is None:
            return items
    instance, made = mark
    if result is clean and shows_as_copied(instance):
        return instance
    return made(items)


def _redacted(omitter: Omitter, value: Any, do: bool = True) -> Any:
    """`redacted` of an exact dict or list, or `_redacted_copy` of it where
    the walk would pass over something that may hold str values (the walk
    says so in strict mode, without a look in Python at every value) or
    over a dataclass instance (looked for after the walk)."""
    try:
        result = redacted(omitter, value, do, strict=True)
    except TypeError:
        return _redacted_copy(omitter, value, do)
    return _redacted_copy(omitter, value, do) if _holds_fields(value) else result


def _redacted_copy(omitter: Omitter, value: Any, do: bool = True, itself: bool = True) -> Any:
    """A redacted version of `value` made from its plain copy (with the
    dataclass instances in it): `value` itself when nothing is masked and
    it shows nothing its copy lacks (unless not `itself`: then the copy),
    or when it is neither a container nor an instance whose fields its repr
    shows. Raises what the copy or the walk raises."""
    shown: _Shown = {}
    clean = _fields_copied(value, shown)
    if type(clean) is not dict and type(clean) is not list:
        return value
    result = redacted(omitter, clean, do)
    if result is clean and itself and shows_as_copied(value):
        return value
    return _restored(shown, clean, result) if id(clean) in shown else result


def redact_unkeyed(omitter: Omitter, value: Any, hides: bool) -> Any:
    """A redacted version of a value that stands under no key: a dict (or
    mapping) by its own keys, a list (or other sequence) with its str items
    masked when `hides`, a str masked when `hides`, a number or boolean
    when `hides` as the omitter's policy masks one in a hidden list (as an
    item of a list argument is), a dataclass instance by the names of the
    fields its repr shows; other objects as they are. A value that cannot
    be redacted is withheld whole. Returns `value` itself when nothing is
    masked."""
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
        return _redacted_copy(omitter, value, hides)
    except Exception as exc:  # noqa: BLE001 - never let data fail a logging call
        return withheld(exc)


def shows_as_copied(value: Any) -> bool:
    """Whether str() and repr() of `value` show nothing that its plain copy
    lacks, so that `value` may stand for a copy in which nothing was masked.
    Only the containers of `_FAITHFUL` (and namedtuples) are taken at their
    word, with what they hold; a str subclass must keep str's repr; a
    dataclass instance whose repr is the generated one shows its fields,
    where they are stored ones (see `_reads_stored`).
    Other objects are shared by the copy, and show the same in both."""
    t: Any = type(value)
    if t in _ATOMS:
        return True
    if isinstance(value, str):
        return t.__repr__ is str.__repr__
    if t in _FAITHFUL:
        if t in _WRAPPERS and type(_wrapped(value)) is not _WRAPPERS[t]:
            return False
        if isinstance(value, Mapping):
            return all(shows_as_copied(k) and shows_as_copied(v) for k, v in value.items())
        return all(shows_as_copied(v) for v in value)
    if isinstance(value, tuple):
        return (getattr(t.__repr__, "__code__", None) is _NAMEDTUPLE_REPR and t.__iter__ is tuple.__iter__
                and t.__str__ is object.__str__ and all(shows_as_copied(v) for v in value))
    if is_container(value):
        return False
    if t in _VIEWS:
        stored = _view_dict(value)
        return stored is not None and all(shows_as_copied(k) and shows_as_copied(v) for k, v in dict.items(stored))
    if t in _MAPPING_VIEWS:
        mapping = _viewed(value)
        return mapping is _MISSING or shows_as_copied(mapping)
    if _is_exception(value):
        # One that shows its args as they are; one with a str() or repr()
        # of its own shows what it shows, as any other object does.
        return (t is not MaskedException and not _shows_args(t)) or all(map(shows_as_copied, _args_of(value)))
    shown = fields_shown(value)
    if shown is None:
        return True
    return _reads_stored(value, (field for field, _ in shown[1])) and all(shows_as_copied(v) for _, v in shown[1])


def _wrapped(value: Any) -> Any:
    """What a container of `_WRAPPERS` wraps: a UserDict's or UserList's
    ``data`` as it is stored, the mapping behind a mapping proxy (the one
    object it refers to); `_MISSING` if not found."""
    if type(value) is types.MappingProxyType:
        inner = gc.get_referents(value)
        return inner[0] if len(inner) == 1 else _MISSING
    return vars(value).get("data", _MISSING)


def is_container(value: Any) -> bool:
    """Whether `value` is a mapping or a sequence that `plain` copies."""
    return not isinstance(value, str) and isinstance(value, (Mapping, *_SEQUENCES))


def redact_mapping(omitter: Omitter, mapping: Mapping[Any, Any], own_keys: bool = False) -> dict[Any, Any]:
    """A redacted version of a mapping whose keys name its values (an event,
    a record's extra attributes): the same dict when nothing is masked and it
    is a plain dict that shows nothing its plain copy lacks (what a mapping
    holds that the walk passes over is redacted in that copy, as
    `redact_unkeyed` does). If the walk refuses something, the entries are redacted
    one by one and only those it refuses are withheld. Raises only when the
    mapping's items cannot be read.

    With `own_keys`, for a caller that writes the result back into `mapping`
    by key, a str subclass among the keys makes the entries redacted one by
    one, each under its own key object: the plain copy turns it into a str,
    which may not find the entry again (a subclass with a hash of its own)
    or may find another one."""
    try:
        if type(mapping) is dict:
            with contextlib.suppress(TypeError):
                result: dict[Any, Any] = redacted(omitter, mapping, True, strict=True)
                if not _holds_fields(mapping):
                    return result
        if not own_keys or not any(type(key) is not str and isinstance(key, str) for key in mapping):
            # A mapping of another type becomes a dict, even with nothing masked.
            result = _redacted_copy(omitter, mapping, itself=type(mapping) is dict)
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
