"""Type stubs for the native extension ``velmora.rules``.

Rule-based omitters: subtypes of :class:`velmora.omit.Omitter` and
:class:`velmora.omit.NoTrustOmitter` that match keys ignoring case, by
contained words and by regular expressions, and mask by a policy.
"""

import re
from collections.abc import Iterable
from typing import Any, Literal, TypedDict, type_check_only

from typing_extensions import disjoint_base

from velmora.detect import Detector
from velmora.omit import NoTrustOmitter, Omitter

DEFAULT_DENYLIST: tuple[str, ...]

_Numbers = Literal["keep", "zero", "digits", "string"]
_Booleans = Literal["keep", "false", "string"]

@type_check_only
class Policy(TypedDict, total=False):
    """What one rule's values become: a fixed ``mask`` or ``keep_last``
    code points for a str (else the omitter's own), and ``numbers`` and
    ``booleans`` (else the omitter's own)."""

    mask: str
    keep_last: int
    numbers: _Numbers
    booleans: _Booleans

@type_check_only
class _Rules:
    # The read-only view of the configuration, in both types.
    @property
    def keys(self) -> tuple[Any, ...] | None:
        """The exact keys (None before ``__init__``)."""
    @property
    def ignore_case(self) -> bool: ...
    @property
    def contains(self) -> tuple[str, ...]: ...
    @property
    def patterns(self) -> tuple[re.Pattern[str], ...]: ...
    @property
    def mask(self) -> str | None: ...
    @property
    def keep_last(self) -> int | None: ...
    @property
    def whole(self) -> bool: ...
    @property
    def defaults(self) -> bool: ...
    @property
    def detect(self) -> Detector | None:
        """The detector that masks secrets inside the other str values, or None."""
    @property
    def paths(self) -> tuple[str, ...]: ...
    @property
    def numbers(self) -> _Numbers: ...
    @property
    def booleans(self) -> _Booleans: ...
    @property
    def policies(self) -> dict[str, Policy]:
        """A policy per rule, as a new dict."""

@disjoint_base
class RuleOmitter(Omitter, _Rules):
    """Hides a key that is one of its exact keys or that a rule matches."""

    def __init__(
        self,
        omissions: list[Any] | None = None,
        *,
        ignore_case: bool = False,
        contains: Iterable[str] | None = (),
        patterns: Iterable[str | re.Pattern[str]] | None = (),
        mask: str | None = None,
        keep_last: int | None = None,
        whole: bool = False,
        defaults: bool = False,
        detect: Detector | None = None,
        paths: Iterable[str] | None = (),
        numbers: _Numbers | None = "keep",
        booleans: _Booleans | None = "keep",
        policies: dict[str, Policy] | None = None,
    ) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

@disjoint_base
class RuleNoTrustOmitter(NoTrustOmitter, _Rules):
    """Hides a key that is neither one of its trusted keys nor matched by a
    rule; with ``defaults=True`` a key containing a default word is hidden
    even then."""

    def __init__(
        self,
        trusted: list[Any] | None = None,
        *,
        ignore_case: bool = False,
        contains: Iterable[str] | None = (),
        patterns: Iterable[str | re.Pattern[str]] | None = (),
        mask: str | None = None,
        keep_last: int | None = None,
        whole: bool = False,
        defaults: bool = False,
        detect: Detector | None = None,
        paths: Iterable[str] | None = (),
        numbers: _Numbers | None = "keep",
        booleans: _Booleans | None = "keep",
        policies: dict[str, Policy] | None = None,
    ) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

def _rebuild(cls: type[_Rules], /) -> Any: ...
