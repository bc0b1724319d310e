"""Type stubs for the native extension ``velmora.scan``.

Redaction of JSON text as text: the output is the input, byte for byte,
except that every string the omitter hides is replaced by its mask.
"""

from typing_extensions import Buffer

from velmora.detect import Detector
from velmora.omit import Omitter

class ScanError(ValueError):
    """Invalid JSON text: ``msg`` says why; ``lineno`` and ``colno`` (1-based,
    the column in characters) say where; ``pos`` is the byte offset."""

    msg: str
    pos: int
    lineno: int
    colno: int

def scan(
    omitter: Omitter,
    data: Buffer,
    /,
    *,
    indent: int | None = None,
    compact: bool = False,
    detect: Detector | None = None,
) -> bytes:
    """Redact one JSON document (UTF-8 bytes). Raises ScanError on invalid
    JSON. With ``indent`` or ``compact`` the white space between tokens is
    laid out anew (tokens are still copied byte for byte). With ``detect``,
    what the detector finds inside string values the omitter keeps is
    masked by the detector's own mask (keys are never changed)."""

def scan_lines(
    omitter: Omitter, data: Buffer, /, *, skip_invalid: bool = False, detect: Detector | None = None
) -> tuple[bytes, list[ScanError], int]:
    """Redact JSON Lines: ``(output, errors, lines)``. Every line passes
    through with its masks; blank lines and line ends are kept. Bad lines
    give a ScanError each (``lineno`` counted in ``data``) and are left out;
    without ``skip_invalid`` the output ends before the first bad line.
    ``lines`` counts the lines read (up to the first bad one, without
    ``skip_invalid``)."""

# The package's own: the command line's scan into reused buffers, and the
# switch between the scanner's vector paths (for tests and benchmarks).
def _scan_lines_into(
    omitter: Omitter,
    data: Buffer,
    out: bytearray,
    /,
    *,
    skip_invalid: bool = False,
    detect: Detector | None = None,
) -> tuple[int, list[ScanError], int]: ...
def _paths() -> tuple[str, ...]: ...
def _set_path(name: str, /) -> str: ...
