"""Type stubs for the native extension ``velmora.omit``.

The module redacts nested dicts and lists in place. Every entry point takes
exact built-in types: a ``list``/``dict``/``str`` subclass is refused at run
time with TypeError even where these stubs accept it.
"""

from typing import Any, TypeVar

from typing_extensions import disjoint_base

_DictT = TypeVar("_DictT", bound=dict[Any, Any])
_ListT = TypeVar("_ListT", bound=list[Any])
_OmitterT = TypeVar("_OmitterT", bound=Omitter)
_NoTrustOmitterT = TypeVar("_NoTrustOmitterT", bound=NoTrustOmitter)

__test__: dict[str, Any]

def hide(target: str) -> str:
    """A run of ``"*"`` as long as ``target`` (in code points)."""

def globally_hidden() -> list[Any]:
    """A copy of the keys that every new Omitter hides."""

def always_omit(targets: list[Any]) -> None:
    """Make every Omitter created from now on hide ``targets`` as well."""

def globally_trusted() -> list[Any]:
    """A copy of the keys that every new NoTrustOmitter trusts."""

def always_trust(targets: list[Any]) -> None:
    """Make every NoTrustOmitter created from now on trust ``targets`` as well."""

def reset_omissions() -> None: ...
def reset_trusted() -> None: ...

@disjoint_base
class Omitter:
    """Hides the str values whose key is in its list of omissions.

    The list is the given one (or, when None, the module-wide one) followed
    by the module-wide list of :func:`always_omit`, fixed at construction.
    """

    def __init__(self, omissions: list[Any] | None = ...) -> None: ...
    def omit(self, target: _DictT) -> _DictT:
        """Mask ``target`` in place and return it (the very same dict).

        A subclass may override ``omit``/``omit_recurse``: the walk calls the
        override for every nested dict/list and stores what it returns (an
        exact dict/list, or None) in place of that container.
        """

    def omit_recurse(self, target: _ListT, do: object = ...) -> _ListT:
        """Walk the list ``target`` in place and return it; its str items
        are masked when ``do`` is true (default)."""

    def __reduce_cython__(self) -> tuple[Any, ...]: ...
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...] | None) -> None: ...

@disjoint_base
class NoTrustOmitter(Omitter):
    """Hides every str value whose key is not trusted: its own list plus the
    module-wide list of :func:`always_trust`."""

    def __init__(self, trusted: list[Any] | None = ...) -> None: ...

def __pyx_unpickle_Omitter(
    __pyx_type: type[_OmitterT], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None
) -> _OmitterT: ...
def __pyx_unpickle_NoTrustOmitter(
    __pyx_type: type[_NoTrustOmitterT], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None
) -> _NoTrustOmitterT: ...
