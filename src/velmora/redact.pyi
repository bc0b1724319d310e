"""Type stubs for the native extension ``velmora.redact``.

``redacted`` takes exact built-in types: a ``dict``/``list`` subclass is
refused at run time with TypeError even where these stubs accept it.
"""

from typing import Any, TypeVar, overload

from velmora.omit import Omitter

_DictT = TypeVar("_DictT", bound=dict[Any, Any])
_ListT = TypeVar("_ListT", bound=list[Any])

@overload
def redacted(omitter: Omitter, target: _DictT, do: object = ..., *, strict: object = ...) -> _DictT:
    """A redacted version of ``target``; ``target`` is left unchanged.

    A dict is redacted as ``omitter.omit(target)`` would redact it, a list
    as ``omitter.omit_recurse(target, do)``. Only the containers on the way
    to a masked value are copied; the rest is shared with ``target``. With
    ``strict`` true, a value the walk would pass over although it may hold
    str values (a tuple, a set, a mapping or sequence that is not an exact
    dict or list, a str subclass) raises TypeError.
    """

@overload
def redacted(omitter: Omitter, target: _ListT, do: object = ..., *, strict: object = ...) -> _ListT: ...
