"""Redaction of a JSON Lines dataset on a Dask cluster.

The file is cut into blocks of ``blocksize`` bytes that end at line ends;
each worker reads its blocks itself and redacts them with
:func:`velmora.scan.scan_lines`, using the omitter it was sent by pickle;
the results are put back in the file's order. The output is the one
``velmora --lines`` writes for the same file and omitter, byte for byte:
blank lines, CRLF, spacing and a last line without a line break are kept,
and only masked strings change::

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

The run rides out what Dask rides out: the omitter is a task of the run,
which the scheduler computes again when the workers holding it are gone, so
that blocks go on once workers are back. A run that fails, or that is
interrupted, removes what it wrote (see :func:`redact_lines`).
"""

from __future__ import annotations

import contextlib
import errno
import os
import signal
import threading
import time
import uuid
from collections import deque
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

import distributed
import fsspec
from dask.utils import parse_bytes
from distributed import CancelledError, Client, Event, Future, KilledWorker, get_client
from distributed.comm.core import CommClosedError

from velmora.cli.errors import invalid_json
from velmora.cli.outfile import named, replacing
from velmora.cli.signals import check_interrupted
from velmora.omit import Omitter
from velmora.scan import ScanError, scan_lines

__all__ = ["ClusterError", "InvalidLine", "Redacted", "redact_lines"]

# How long a failed run waits for the blocks being redacted to end before it
# removes what they wrote (and gives up on them: they withdraw their parts).
CLEAN_UP_SECONDS = 10.0


class InvalidLine(ValueError):
    """A line that is not JSON, placed in the whole file. ``str()`` is the
    command line's message: ``in.jsonl:3:7: invalid JSON at line 3, column
    7: Expecting value``. ``pos`` is the byte offset in the file."""

    def __init__(self, path: str, lineno: int, colno: int, pos: int, msg: str) -> None:
        super().__init__(invalid_json(path, lineno, colno, msg))
        self.path, self.lineno, self.colno, self.pos, self.msg = path, lineno, colno, pos, msg

    def __reduce__(self) -> Any:
        return type(self), (self.path, self.lineno, self.colno, self.pos, self.msg)


class ClusterError(RuntimeError):
    """The cluster could not finish the run: the scheduler was lost, no block
    finished within ``timeout``, or the workers running a block kept dying.
    ``str()`` is one line, for an operator."""


@dataclass
class Redacted:
    """What a run did: ``lines`` read, ``errors`` (the lines skipped, with
    ``skip_invalid=True``) and the files written, in order."""
    lines: int = 0
    errors: list[InvalidLine] = field(default_factory=list)
    files: list[str] = field(default_factory=list)


class _Withdrawn(Exception):
    """The run was called off while a block was being written: discard it."""


# ---- On a worker ----------------------------------------------------------------


def _the(omitter: Omitter) -> Omitter:
    return omitter


def _called_off(run: str) -> bool:
    """Whether run ``run`` was called off. A part is written only while the
    run is known to go on: a worker that cannot ask the scheduler gives up
    the block."""
    try:
        return bool(Event(run).is_set())
    except Exception as exc:  # noqa: BLE001 - the scheduler is gone or unreachable
        raise ClusterError(f"a worker could not reach the scheduler: {type(exc).__name__}: {exc}") from None


def _redact_block(omitter: Omitter, source: Any, shown: str, offset: int, length: int, skip_invalid: bool,
                  part: tuple[Any, str, str] | None) -> tuple[Any, ...] | None:
    """On a worker: read the lines that start in ``length`` bytes of the
    file from ``offset`` (``source``: an fsspec file system and a path),
    redact them, and write them to ``part`` (a file system, a path, the
    run's name) when given. Gives (the redacted bytes, or None once written;
    the errors, placed in the block; lines read; bytes read), or None for a
    block of a run called off."""
    if part is not None and _called_off(part[2]):
        return None
    fs, path = source
    try:
        block = fs.read_block(path, offset, length, delimiter=b"\n")
    except OSError as exc:
        raise named(exc, shown) from None
    redacted, errors, lines = scan_lines(omitter, block, skip_invalid=skip_invalid)
    if part is None:
        return redacted, errors, lines, len(block)
    if not errors or skip_invalid:  # else the run stops at this block: nothing to write
        try:
            _write_part(*part, redacted)
        except _Withdrawn:
            return None
    return None, errors, lines, len(block)


def _write_part(fs: Any, path: str, run: str, data: bytes) -> None:
    """Write a part so that it appears only whole, and only while the run
    goes on: under a temporary name (none at all on a local file system),
    put in place once written."""
    if "file" in fs.protocol:
        with replacing(path, path) as stream:
            stream.write(data)
            if _called_off(run):
                raise _Withdrawn
    else:
        directory, base = path.rsplit("/", 1) if "/" in path else ("", path)
        temporary = f"{directory}/.{base}.{uuid.uuid4().hex}.tmp" if directory else f".{base}.{uuid.uuid4().hex}.tmp"
        try:
            with fs.open(temporary, "wb") as stream:
                stream.write(data)
            if _called_off(run):
                raise _Withdrawn
            fs.mv(temporary, path)
        finally:
            with contextlib.suppress(OSError):
                if fs.exists(temporary):
                    fs.rm(temporary)
    # The run may have been called off between the look above and the part
    # taking its name, and the client's removal pass may have run already:
    # look again, and take the part back. (Called off before this look, the
    # part was named before the client set the event, so its removal pass,
    # which comes after, finds it.)
    try:
        withdrawn = _called_off(run)
    except ClusterError:
        _take_back(fs, path)
        raise
    if withdrawn:
        _take_back(fs, path)
        raise _Withdrawn


def _take_back(fs: Any, path: str) -> None:
    with contextlib.suppress(FileNotFoundError):
        fs.rm(path)


# ---- On the client ----------------------------------------------------------------


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
def _signals_deferred() -> Iterator[None]:
    """SIGINT and SIGTERM wait until the block is done (a clean-up that a
    second Ctrl-C cut short would leave part files behind), then reach the
    handlers they had. Only the main thread can set handlers: elsewhere this
    does nothing."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    arrived: list[int] = []
    previous = {held: signal.signal(held, lambda signum, _frame: arrived.append(signum))
                for held in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for held, handler in previous.items():
            signal.signal(held, signal.SIG_DFL if handler is None else handler)
        for signum in dict.fromkeys(arrived):
            signal.raise_signal(signum)


def _blocksize(value: int | str) -> int:
    try:
        size = parse_bytes(value) if isinstance(value, str) else value
    except ValueError:
        size = 0
    if isinstance(size, bool) or not isinstance(size, int) or size < 1:
        raise ValueError(f"redact_lines: blocksize must be a positive number of bytes, not {value!r}")
    return size


def _source(source: str, options: dict[str, Any]) -> tuple[Any, str, int]:
    """The file system, path and size of the one input file."""
    fs, _, paths = fsspec.core.get_fs_token_paths(source, mode="rb", storage_options=options)
    if len(paths) != 1:
        raise ValueError(f"redact_lines: {source!r} names {len(paths)} files; give one")
    try:
        info = fs.info(paths[0])
        if info["type"] == "directory":
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), source)
        if info["type"] != "file":  # blocks are read at offsets
            raise OSError(errno.ESPIPE, "not a regular file", source)
        with fs.open(paths[0], "rb"):  # unreadable: say so now, not from a worker
            pass
    except OSError as exc:
        raise named(exc, source) from None
    return fs, paths[0], int(info["size"])


class _Run:
    """One run: blocks submitted in order, at most two per worker thread in
    flight, their results taken in order."""

    def __init__(self, client: Client, omitter: Omitter, source: tuple[Any, str], shown: str, size: int,
                 blocksize: int, skip_invalid: bool, timeout: float | None) -> None:
        self.client, self.source, self.shown = client, source, shown
        self.skip_invalid, self.timeout = skip_invalid, timeout
        self.name = f"velmora-{uuid.uuid4().hex}"
        self.blocks = [(offset, blocksize) for offset in range(0, size, blocksize)] or [(0, 0)]
        self.place = _Place(shown)
        self.result = Redacted()
        self.pending: deque[tuple[int, Future[Any]]] = deque()
        self.address = getattr(client.scheduler, "address", "its address")
        self.submitted = 0
        self.lost = False  # the scheduler: nothing more can be asked of the cluster
        # A task of the run, not scattered data: the scheduler can compute it
        # again when every worker that held it is gone.
        self.omitter = client.submit(_the, omitter, key=f"{self.name}-omitter", pure=False)

    def run(self, part: Any, take: Any) -> None:
        """Submit every block (``part(i)``: where block i goes, or None) and
        hand each outcome to ``take`` in order."""
        try:
            for index, (offset, length) in enumerate(self.blocks):
                # A signal between a block's submission and its count would
                # leave it running unseen by the clean-up, which neither
                # waits for it nor removes its part: it comes after both.
                with _signals_deferred():
                    self.pending.append((index, self.client.submit(
                        _redact_block, self.omitter, self.source, self.shown, offset, length, self.skip_invalid,
                        part(index), key=f"{self.name}-block-{index}", pure=False)))
                    self.submitted += 1
                while len(self.pending) >= 2 * max(1, self._threads()):
                    self._take(take)
            while self.pending:
                self._take(take)
            check_interrupted()
        except CommClosedError:
            self.lost = True
            raise ClusterError(f"lost the scheduler at {self.address}") from None

    def _threads(self) -> int:
        # Asked of the scheduler: one that is gone may refuse the connection
        # until distributed gives up ("Timed out trying to connect"), an
        # OSError that is not a CommClosedError.
        try:
            return sum(self.client.nthreads().values())
        except CommClosedError:
            raise
        except OSError as exc:
            raise CommClosedError(str(exc)) from None

    def _take(self, take: Any) -> None:
        check_interrupted()
        index, future = self.pending[0]
        outcome = self._outcome(index, future)
        if outcome is None:
            raise ClusterError(f"block {index} was called off")
        redacted, errors, lines, size = outcome
        self.pending.popleft()
        self.result.lines += lines
        self.result.errors += self.place.take(errors, lines, size)
        if self.result.errors and not self.skip_invalid:
            raise self.result.errors[0]
        take(redacted)

    def _outcome(self, index: int, future: Future[Any]) -> Any:
        try:
            return future.result(timeout=self.timeout)
        except TimeoutError:
            if future.done():
                raise  # the task's own
            raise ClusterError(f"no block finished in {self.timeout:g} s "
                               f"({self._workers()} connected to the scheduler)") from None
        except KilledWorker as exc:
            raise ClusterError(f"{exc.allowed_failures + 1} workers died while they redacted block {index} "
                               f"(bytes {self.blocks[index][0]} on): see their logs") from None
        except CancelledError as exc:
            if self.client.status != "running" or "connection" in str(getattr(exc, "reason", "")):
                raise CommClosedError(str(exc)) from None
            raise ClusterError(f"block {index} was cancelled on the cluster") from None

    def _workers(self) -> str:
        try:
            count = len(self.client.nthreads())
        except Exception:  # noqa: BLE001 - only for the message
            return "workers unknown"
        return "no workers" if count == 0 else f"{count} worker{'s' * (count != 1)}"

    def abandon(self, wait: bool) -> bool:
        """Cancel the blocks in flight; with ``wait``, first let them end (a
        called-off block ends at once, unless it was running), up to
        CLEAN_UP_SECONDS, or until no worker is left to run them. Whether
        every block has ended."""
        futures = [future for _, future in self.pending]
        if self.lost:  # nothing to ask of a scheduler that is gone
            return False
        deadline = time.monotonic() + CLEAN_UP_SECONDS
        while wait and not all(future.done() for future in futures) and time.monotonic() < deadline:
            try:
                if not self.client.nthreads():
                    break
                distributed.wait([future for future in futures if not future.done()], timeout=0.5,
                                 return_when="FIRST_COMPLETED")
            except (TimeoutError, CancelledError):  # a cancelled block has ended too
                continue
            except Exception:  # noqa: BLE001 - the cluster cannot be asked: stop waiting
                break
        ended = all(future.done() for future in futures)
        with contextlib.suppress(Exception):
            self.client.cancel(futures + [self.omitter])
        return ended

    def close(self) -> None:
        with contextlib.suppress(Exception):
            self.client.cancel([self.omitter])


def redact_lines(omitter: Omitter, source: str | os.PathLike[str], output: str | os.PathLike[str], *,
                 skip_invalid: bool = False, blocksize: int | str = "64 MiB", client: Client | None = None,
                 storage_options: dict[str, Any] | None = None, timeout: float | None = None) -> Redacted:
    """Redact the JSON Lines file ``source`` on the cluster of ``client``
    (default: the current client) into ``output``: one file, or one file
    per block where ``output`` has a ``*`` (see the module's documentation).

    ``source`` is a path or an fsspec URL that the client (for the file's
    size) and the workers can read; a ``*`` output likewise for the client
    and the workers, while a single output file is written by the client.
    A block holds the lines that start in its ``blocksize`` bytes of the
    file: it ends with the whole of its last line, so it is at most
    ``blocksize`` plus that line's length. A worker holds a block and its
    output in memory while it redacts it. ``storage_options`` go to fsspec
    for both. ``timeout`` is the longest wait, in seconds, for the next
    block's result (no workers at all, for example); None waits as Dask
    does.

    Raises :class:`InvalidLine` for the first bad line unless
    ``skip_invalid``; :class:`ClusterError` when the cluster cannot finish;
    ``OSError`` (whose ``filename`` is the path as given) for a source or
    output that cannot be read or written; the omitter's own exceptions
    (``TypeError`` for a subclass whose ``omit`` is written in Python)
    propagate. Output files already matching a ``*`` name are refused
    (``FileExistsError``): stale ones would join the output.

    A failed run, or one interrupted by an exception such as
    ``KeyboardInterrupt``, leaves no output: a single file is not replaced,
    and nothing of its temporary stays even if the process is killed; a part
    appears only whole, and on failure the blocks not started are called
    off, the ones running end (up to ``CLEAN_UP_SECONDS``) and the parts
    written are removed, with SIGINT and SIGTERM held meanwhile."""
    if not isinstance(omitter, Omitter):
        raise TypeError(f"redact_lines: omitter must be a velmora.omit.Omitter, not {type(omitter).__name__}")
    scan_lines(omitter, b"")  # refuses omitters the scanner cannot follow, before any work
    shown, output = os.fspath(source), os.fspath(output)
    if "*" not in output and fsspec.utils.get_protocol(output) not in ("file", "local"):
        raise ValueError(f"redact_lines: one output file is written by the client, to a local path; "
                         f"for {output!r} give a name with a '*' (one file per block, written by the workers)")
    size_of_block = _blocksize(blocksize)
    if timeout is not None and not timeout > 0:
        raise ValueError(f"redact_lines: timeout must be a positive number of seconds, not {timeout!r}")
    options = storage_options or {}
    fs, path, size = _source(shown, options)
    client = client or get_client()
    if "*" in output:
        return _to_files(client, omitter, (fs, path), shown, size, size_of_block, skip_invalid, timeout,
                         output, options)
    return _to_one_file(client, omitter, (fs, path), shown, size, size_of_block, skip_invalid, timeout, output)


def _to_one_file(client: Client, omitter: Omitter, source: tuple[Any, str], shown: str, size: int,
                 blocksize: int, skip_invalid: bool, timeout: float | None, output: str) -> Redacted:
    local = fsspec.core.url_to_fs(output)[1] if "://" in output else output
    with replacing(local, output) as stream:
        def write(data: bytes) -> None:
            try:
                stream.write(data)
            except OSError as exc:  # a full disk, say
                raise named(exc, output) from None

        run = _Run(client, omitter, source, shown, size, blocksize, skip_invalid, timeout)
        try:
            run.run(lambda index: None, write)
        except BaseException:
            # The blocks in flight are only results: drop them.
            with _signals_deferred():
                run.abandon(wait=False)
            raise
        run.close()
    run.result.files = [output]
    return run.result


def _to_files(client: Client, omitter: Omitter, source: tuple[Any, str], shown: str, size: int,
              blocksize: int, skip_invalid: bool, timeout: float | None, output: str,
              options: dict[str, Any]) -> Redacted:
    fs, pattern = fsspec.core.url_to_fs(output, **options)
    stale = fs.glob(pattern)
    if stale:
        noun = "file matches" if len(stale) == 1 else "files match"
        raise FileExistsError(errno.EEXIST, f"{len(stale)} {noun} it already, such as {stale[0]}; "
                              "remove them first", output)
    run = _Run(client, omitter, source, shown, size, blocksize, skip_invalid, timeout)
    width = max(5, len(str(len(run.blocks) - 1)))
    _, _, names = fsspec.core.get_fs_token_paths(output, mode="wb", num=len(run.blocks),
                                                 name_function=lambda i: f"{i:0{width}d}",
                                                 storage_options=options)
    directory = names[0].rsplit("/", 1)[0]
    made = not fs.exists(directory)
    try:
        if made:
            fs.makedirs(directory, exist_ok=True)
        run.run(lambda index: (fs, names[index], run.name), lambda _: None)
    except BaseException:
        with _signals_deferred():
            called_off = False
            if not run.lost and client.status == "running":
                with contextlib.suppress(Exception):
                    Event(run.name, client=client).set()
                    called_off = True
            # A block already running cannot be stopped, and would write its
            # part after a removal: let it end (it withdraws its part).
            ended = run.abandon(wait=called_off)
            for name in names[:run.submitted]:
                with contextlib.suppress(FileNotFoundError):
                    fs.rm(name)
            if made:
                with contextlib.suppress(OSError):
                    fs.rmdir(directory)
            if called_off and ended:  # else the blocks still running must go on seeing it
                with contextlib.suppress(Exception):
                    Event(run.name, client=client).clear()
        raise
    run.close()
    local = "file" in fs.protocol
    run.result.files = [name if local else fs.unstrip_protocol(name) for name in names]
    return run.result
