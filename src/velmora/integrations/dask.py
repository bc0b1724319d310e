"""Redaction of a JSON Lines dataset on a Dask cluster.

The file is read as bytes in blocks that end at line ends
(:func:`dask.bytes.read_bytes` with ``delimiter=b"\\n"``); each worker
redacts its blocks with :func:`velmora.scan.scan_lines`, using the omitter
it was sent by pickle; the results are put back in the file's order. The
output is the one ``velmora --lines`` writes for the same file and omitter,
byte for byte: blank lines, CRLF, spacing and a last line without a line
break are kept, and only masked strings change::

    from distributed import Client
    from velmora.integrations.dask import redact_lines
    from velmora.omit import Omitter

    with Client("tcp://scheduler:8786"):
        redact_lines(Omitter(["password"]), "s3://logs/day.jsonl", "s3://clean/day/part-*.jsonl")

Two kinds of output:

- a file name (``clean.jsonl``): the client gathers the redacted blocks in
  order, a few at a time, and writes one file, replaced only once
  everything succeeded;
- a name with a ``*`` (``clean/part-*.jsonl``): each worker writes the
  blocks it redacted to files of their own, the ``*`` replaced by the
  block's number, zero-padded so that name order is file order: ``cat
  clean/part-*.jsonl`` is the whole output. Nothing passes through the
  client but line counts.

Invalid lines follow the command line's two policies: by default the first
one stops the run with :class:`InvalidLine` (and no output is left behind);
with ``skip_invalid=True`` every bad line is left out and reported. Either
way a line is placed in the whole file (``path:line:column``), not in its
block: each block reports how many lines and bytes it read, and the client
adds up those of the blocks before it.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import tempfile
from dataclasses import dataclass, field
from typing import Any

import fsspec
from dask import delayed
from dask.bytes import read_bytes
from distributed import Client, get_client, wait

from velmora.cli.errors import invalid_json
from velmora.omit import Omitter
from velmora.scan import ScanError, scan_lines

__all__ = ["InvalidLine", "Redacted", "redact_lines"]


class InvalidLine(ValueError):
    """A line that is not JSON, placed in the whole file. ``str()`` is the
    command line's message: ``in.jsonl:3:7: invalid JSON at line 3, column
    7: Expecting value``. ``pos`` is the byte offset in the file."""

    def __init__(self, path: str, lineno: int, colno: int, pos: int, msg: str) -> None:
        super().__init__(invalid_json(path, lineno, colno, msg))
        self.path, self.lineno, self.colno, self.pos, self.msg = path, lineno, colno, pos, msg

    def __reduce__(self) -> Any:
        return type(self), (self.path, self.lineno, self.colno, self.pos, self.msg)


@dataclass
class Redacted:
    """What a run did: ``lines`` read, ``errors`` (the lines skipped, with
    ``skip_invalid=True``) and the files written, in order."""
    lines: int = 0
    errors: list[InvalidLine] = field(default_factory=list)
    files: list[str] = field(default_factory=list)


def _redact_block(omitter: Omitter, block: bytes, skip_invalid: bool, part: Any) -> tuple[Any, ...]:
    """On a worker: redact one block, and write it to ``part`` (an fsspec
    OpenFile) when given. Gives (the redacted bytes, or None once written;
    the errors, placed in the block; lines read; bytes read)."""
    redacted, errors, lines = scan_lines(omitter, block, skip_invalid=skip_invalid)
    if part is None:
        return redacted, errors, lines, len(block)
    with part as stream:
        stream.write(redacted)
    return None, errors, lines, len(block)


class _Place:
    """Where the next block starts in the file, to place its errors."""

    def __init__(self, path: str) -> None:
        self.path, self.line, self.pos = path, 1, 0

    def take(self, errors: list[ScanError], lines: int, size: int) -> list[InvalidLine]:
        placed = [InvalidLine(self.path, self.line + e.lineno - 1, e.colno, self.pos + e.pos, e.msg)
                  for e in errors]
        self.line += lines
        self.pos += size
        return placed


@contextlib.contextmanager
def _replacing(path: str) -> Any:
    """A stream to a temporary beside ``path``, renamed over it only when
    the block ends without an exception (and removed otherwise). The file
    keeps the mode it had, or gets the one a new file would. A symbolic
    link is followed; a FIFO or a device (``/dev/null``) is written to
    directly, never replaced."""
    target = os.path.realpath(path)
    try:
        info = os.stat(target)
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    else:
        if stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(errno.EISDIR, "Is a directory", path)
        if not stat.S_ISREG(info.st_mode):
            with open(target, "wb") as stream:
                yield stream
            return
        mode = info.st_mode & 0o7777
    fd, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".tmp",
                                     dir=os.path.dirname(target))
    try:
        with os.fdopen(fd, "wb") as stream:
            yield stream
            os.fchmod(stream.fileno(), mode)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def redact_lines(omitter: Omitter, source: str | os.PathLike[str], output: str | os.PathLike[str], *,
                 skip_invalid: bool = False, blocksize: int | str = "64 MiB", client: Client | None = None,
                 storage_options: dict[str, Any] | None = None) -> Redacted:
    """Redact the JSON Lines file ``source`` on the cluster of ``client``
    (default: the current client) into ``output``: one file, or one file
    per block where ``output`` has a ``*`` (see the module's documentation).

    ``source`` is a path or an fsspec URL that the client (for the file's
    size) and the workers can read; a ``*`` output likewise for the client
    and the workers, while a single output file is written by the client.
    ``blocksize`` is the size of a block, which every worker holds in
    memory (with its output) while it redacts it. ``storage_options`` go to
    fsspec for both.

    Raises :class:`InvalidLine` for the first bad line unless
    ``skip_invalid``; the omitter's own exceptions (``TypeError`` for a
    subclass whose ``omit`` is written in Python) propagate. A failed run
    leaves no output: a single file is not replaced, block files written are
    removed. Output files already matching a ``*`` name are refused
    (``FileExistsError``): stale ones would join the output."""
    if not isinstance(omitter, Omitter):
        raise TypeError(f"redact_lines: omitter must be a velmora.omit.Omitter, not {type(omitter).__name__}")
    scan_lines(omitter, b"")  # refuses omitters the scanner cannot follow, before any work
    output = os.fspath(output)
    if "*" not in output and fsspec.utils.get_protocol(output) not in ("file", "local"):
        raise ValueError(f"redact_lines: one output file is written by the client, to a local path; "
                         f"for {output!r} give a name with a '*' (one file per block, written by the workers)")
    options = storage_options or {}
    client = client or get_client()
    _, per_file = read_bytes(source, delimiter=b"\n", blocksize=blocksize, sample=False, **options)
    if len(per_file) != 1:
        raise ValueError(f"redact_lines: {source!r} names {len(per_file)} files; give one")
    blocks: list[Any] = per_file[0] or [b""]  # an empty file still makes an (empty) output
    # Pickled once, sent once to each worker.
    shipped = client.scatter(omitter, broadcast=True, hash=False)
    task = delayed(_redact_block)
    place = _Place(os.fspath(source))
    if "*" in output:
        return _to_files(client, shipped, task, blocks, place, output, skip_invalid, options)
    return _to_one_file(client, shipped, task, blocks, place, output, skip_invalid)


def _to_one_file(client: Client, shipped: Any, task: Any, blocks: list[Any], place: _Place, output: str,
                 skip_invalid: bool) -> Redacted:
    # At most two blocks per worker thread are in flight or waiting to be
    # taken, so the client holds a bounded share of the data.
    window = 2 * max(1, sum(client.nthreads().values()))
    result = Redacted(files=[output])
    pending: list[Any] = []
    try:
        with _replacing(output) as stream:
            for block in blocks:
                pending.append(client.compute(task(shipped, block, skip_invalid, None)))
                if len(pending) < window:
                    continue
                _take_into(result, pending.pop(0).result(), place, stream, skip_invalid)
            while pending:
                _take_into(result, pending.pop(0).result(), place, stream, skip_invalid)
    finally:
        if pending:
            client.cancel(pending)
    return result


def _take_into(result: Redacted, outcome: tuple[Any, ...], place: _Place, stream: Any,
               skip_invalid: bool) -> None:
    redacted, errors, lines, size = outcome
    stream.write(redacted)
    result.lines += lines
    result.errors += place.take(errors, lines, size)
    if result.errors and not skip_invalid:
        raise result.errors[0]


def _to_files(client: Client, shipped: Any, task: Any, blocks: list[Any], place: _Place, output: str,
              skip_invalid: bool, options: dict[str, Any]) -> Redacted:
    fs, pattern = fsspec.core.url_to_fs(output, **options)
    stale = fs.glob(pattern)
    if stale:
        raise FileExistsError(f"redact_lines: {output!r} already matches {len(stale)} file(s), "
                              f"such as {stale[0]!r}: remove them first")
    width = max(5, len(str(len(blocks) - 1)))
    parts = fsspec.open_files(output, mode="wb", num=len(blocks), name_function=lambda i: f"{i:0{width}d}",
                              **options)
    futures = client.compute([task(shipped, block, skip_invalid, part)
                              for block, part in zip(blocks, parts, strict=True)])
    local = "file" in fs.protocol
    result = Redacted(files=[part.path if local else part.full_name for part in parts])
    try:
        for future in futures:
            _, errors, lines, size = future.result()
            result.lines += lines
            result.errors += place.take(errors, lines, size)
            if result.errors and not skip_invalid:
                raise result.errors[0]
    except BaseException:
        # A running task cannot be stopped and would write after a removal:
        # let every task end, then remove what they wrote.
        wait(futures)
        for part in parts:
            with contextlib.suppress(FileNotFoundError):
                fs.rm(part.path)
        raise
    return result
