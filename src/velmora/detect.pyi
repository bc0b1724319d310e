"""Type stubs for the native extension ``velmora.detect``.

Secrets inside text: registered secret values and well-known credential
formats, found and masked wherever they appear.
"""

from collections.abc import Iterable
from typing import Any, final, overload

from typing_extensions import Buffer

FORMATS: tuple[str, ...]
DEFAULT_FORMATS: tuple[str, ...]
DEFAULT_NEVER_MASK: frozenset[str]

@final
class Detector:
    """Finds registered secret values and credential formats inside text,
    and masks the spans they cover."""

    def __new__(
        cls,
        values: Iterable[str] | None = (),
        *,
        formats: Iterable[str] | None = None,
        min_length: int = 5,
        never_mask: Iterable[str] | None = (),
        mask: str | None = None,
        keep_last: int | None = None,
    ) -> Detector: ...
    @property
    def formats(self) -> tuple[str, ...]: ...
    @property
    def min_length(self) -> int: ...
    @property
    def never_mask(self) -> frozenset[str]: ...
    @property
    def mask_text(self) -> str | None:
        """The fixed mask (the ``mask`` argument), or None."""
    @property
    def keep_last(self) -> int | None: ...
    def add(self, value: str, /) -> None: ...
    def update(self, values: Iterable[str], /) -> None: ...
    def discard(self, value: object, /) -> None: ...
    def clear(self) -> None: ...
    def __len__(self) -> int: ...
    def find(self, text: str | Buffer, /) -> list[tuple[int, int, tuple[str, ...]]]: ...
    @overload
    def mask(self, text: str, /) -> str: ...
    @overload
    def mask(self, text: Buffer, /) -> bytes: ...
    def masker(self) -> TextMasker: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

@final
class TextMasker:
    """Masks a stream of UTF-8 text line by line; made by Detector.masker()."""

    @property
    def detector(self) -> Detector: ...
    def feed(self, data: Buffer, /) -> bytes: ...
    def finish(self) -> bytes: ...

def _rebuild(
    values: Iterable[str] | None,
    formats: Iterable[str] | None,
    min_length: int,
    never_mask: Iterable[str] | None,
    mask: str | None,
    keep_last: int | None,
    /,
) -> Detector: ...

def _vector_path(wanted: object, /) -> bool: ...
