"""The ``velmora`` command: redact JSON documents and JSON Lines streams.

Exit status: 0 on success, 2 for bad input or usage, 1 for anything else
(an unreadable file, a full disk, ...). Messages go to standard error with
the prefix ``velmora:`` and never as a traceback.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.metadata
import json
import os
import pickle
import signal
import sys
import tempfile
from collections import deque
from collections.abc import Generator, Iterable, Iterator
from concurrent.futures import Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from typing import IO, Any

from velmora.omit import NoTrustOmitter, Omitter

EXIT_OK, EXIT_FAILURE, EXIT_BAD_INPUT = 0, 1, 2
BOM = b"\xef\xbb\xbf"

# A batch of JSON Lines: (input name, number of its first line, raw lines, byte count),
# and what redacting it gives: the output, and (offset in batch, message) per bad line.
Batch = tuple[str, int, list[bytes], int]
BatchResult = tuple[bytes, list[tuple[int, str]]]
Results = Generator[tuple[Batch, BatchResult], None, None]


class CliError(Exception):
    """A failure reported as one message and an exit status."""

    def __init__(self, message: str, status: int = EXIT_FAILURE) -> None:
        super().__init__(message)
        self.status = status


def redact(omitter: Omitter, value: Any) -> Any:
    """Redact one parsed JSON value in place and return it. A top-level list
    is walked with ``do=False``: its own str items have no key to hide them,
    only the keys of the dicts inside it decide. A scalar passes through."""
    if type(value) is dict:
        return omitter.omit(value)
    if type(value) is list:
        return omitter.omit_recurse(value, False)
    return value


def dump(value: Any, indent: int | None = None, compact: bool = False) -> bytes:
    """Serialise as UTF-8 text with a final newline, keeping non-ASCII as is."""
    options: dict[str, Any] = {"indent": indent, "separators": (",", ":") if compact else None}
    try:
        return (json.dumps(value, ensure_ascii=False, **options) + "\n").encode("utf-8")
    except UnicodeEncodeError:  # a lone surrogate ("\ud800") has no UTF-8 form
        return (json.dumps(value, **options) + "\n").encode("ascii")


def redact_lines(omitter: Omitter, lines: list[bytes], stop_at_error: bool) -> BatchResult:
    """Redact a batch of JSON Lines. Blank lines are dropped; a bad line is
    reported by its offset and, with ``stop_at_error``, ends the batch."""
    out: list[bytes] = []
    errors: list[tuple[int, str]] = []
    for offset, raw in enumerate(lines):
        if not raw.strip():
            continue
        try:
            out.append(dump(redact(omitter, json.loads(raw.decode("utf-8"))), compact=True))
            continue
        except UnicodeDecodeError as exc:
            errors.append((offset, f"not valid UTF-8 (byte {exc.start + 1})"))
        except json.JSONDecodeError as exc:
            errors.append((offset, f"invalid JSON: {exc.msg} (column {exc.colno})"))
        except RecursionError:
            errors.append((offset, "invalid JSON: nested too deeply"))
        if stop_at_error:
            break
    return b"".join(out), errors


_worker_omitter: Omitter | None = None


def _init_worker(pickled_omitter: bytes) -> None:
    global _worker_omitter
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the parent's to handle
    _worker_omitter = pickle.loads(pickled_omitter)


def _redact_in_worker(lines: list[bytes], stop_at_error: bool) -> BatchResult:
    assert _worker_omitter is not None, "worker process was not initialised"
    return redact_lines(_worker_omitter, lines, stop_at_error)


def display_name(path: str) -> str:
    return "<stdin>" if path == "-" else path


@contextlib.contextmanager
def open_input(path: str) -> Iterator[IO[bytes]]:
    try:
        with contextlib.nullcontext(sys.stdin.buffer) if path == "-" else open(path, "rb") as f:
            yield f
    except OSError as exc:
        raise CliError(f"cannot read {display_name(path)}: {exc.strerror}") from None


@contextlib.contextmanager
def open_output(path: str | None) -> Iterator[IO[bytes]]:
    """Standard output, or a temporary file beside ``path`` that replaces it
    only once everything is written: a failed run leaves ``path`` as it was."""
    if path in (None, "-"):
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
        return
    target = os.path.abspath(path)
    directory, base = os.path.split(target)
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{base}.", suffix=".tmp", dir=directory)
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror}") from None
    try:
        with os.fdopen(fd, "wb") as stream:
            yield stream
        try:
            try:  # keep the mode of a file being replaced; a new one follows the umask
                mode = os.stat(target).st_mode & 0o7777
            except FileNotFoundError:
                mode = 0o666 & ~_umask()
            os.chmod(tmp, mode)
            os.replace(tmp, target)
        except OSError as exc:
            raise CliError(f"cannot write {path}: {exc.strerror}") from None
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def run_documents(args: argparse.Namespace, omitter: Omitter, out: IO[bytes]) -> None:
    for path in args.inputs:
        name = display_name(path)
        with open_input(path) as stream:
            data = stream.read()
        try:
            value = json.loads(data)
            out.write(dump(redact(omitter, value), indent=args.indent, compact=args.compact))
        except json.JSONDecodeError as exc:
            raise CliError(f"{name}: invalid JSON at line {exc.lineno}, column {exc.colno}: "
                           f"{exc.msg}", EXIT_BAD_INPUT) from None
        except UnicodeDecodeError as exc:
            raise CliError(f"{name}: cannot decode as {exc.encoding}: {exc.reason} "
                           f"(byte {exc.start + 1})", EXIT_BAD_INPUT) from None
        except RecursionError:
            raise CliError(f"{name}: invalid JSON: nested too deeply", EXIT_BAD_INPUT) from None


def read_batches(paths: list[str], size: int) -> Iterator[Batch]:
    for path in paths:
        name, first, lines, nbytes = display_name(path), 1, [], 0
        with open_input(path) as stream:
            for lineno, raw in enumerate(stream, 1):
                lines.append(raw[len(BOM):] if lineno == 1 and raw.startswith(BOM) else raw)
                nbytes += len(raw)
                if len(lines) == size:
                    yield name, first, lines, nbytes
                    first, lines, nbytes = lineno + 1, [], 0
        if lines:
            yield name, first, lines, nbytes


def results_in_pool(omitter: Omitter, batches: Iterable[Batch], stop_at_error: bool,
                    jobs: int) -> Results:
    """Redact batches in worker processes and yield the results in input
    order. At most two batches per worker are in flight: memory stays bounded."""
    pool = ProcessPoolExecutor(jobs, initializer=_init_worker, initargs=(pickle.dumps(omitter),))
    pending: deque[tuple[Batch, Future[BatchResult]]] = deque()
    try:
        for batch in batches:
            pending.append((batch, pool.submit(_redact_in_worker, batch[2], stop_at_error)))
            while len(pending) >= 2 * jobs or (pending and pending[0][1].done()):
                batch, future = pending.popleft()
                yield batch, future.result()
        for batch, future in pending:
            yield batch, future.result()
    except BrokenProcessPool:
        raise CliError("a worker process died unexpectedly") from None
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def make_progress(args: argparse.Namespace) -> Any:
    """A tqdm bar over the input bytes: on a terminal, unless --quiet, when installed."""
    if args.quiet or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        return None
    tqdm.monitor_interval = 0  # no monitor thread in a process that forks workers
    sizes = [os.path.getsize(p) if p != "-" and os.path.isfile(p) else None for p in args.inputs]
    total = None if None in sizes else sum(s or 0 for s in sizes)
    return tqdm(total=total, unit="B", unit_scale=True, file=sys.stderr, delay=0.5, leave=False)


def run_lines(args: argparse.Namespace, omitter: Omitter, out: IO[bytes]) -> None:
    stop = not args.skip_invalid
    batches = read_batches(args.inputs, args.batch_size)
    results: Results
    if args.jobs > 1:
        results = results_in_pool(omitter, batches, stop, args.jobs)
    else:
        results = ((batch, redact_lines(omitter, batch[2], stop)) for batch in batches)
    skipped, first_bad = 0, ""
    progress = make_progress(args)
    with contextlib.closing(results), progress or contextlib.nullcontext():
        for (name, first, _, nbytes), (chunk, errors) in results:
            out.write(chunk)
            for offset, message in errors:
                where = f"{name}:{first + offset}: {message}"
                if stop:
                    raise CliError(where, EXIT_BAD_INPUT)
                skipped, first_bad = skipped + 1, first_bad or where
            if progress is not None:
                progress.update(nbytes)
    if skipped:
        noun = "line" if skipped == 1 else "lines"
        print(f"velmora: skipped {skipped} invalid {noun} (first: {first_bad})", file=sys.stderr)


def read_keys(path: str) -> list[str]:
    """One key per line; surrounding whitespace and blank lines are ignored."""
    try:
        with open(path, encoding="utf-8-sig") as stream:
            return [line.strip() for line in stream if line.strip()]
    except OSError as exc:
        raise CliError(f"cannot read keys file {path}: {exc.strerror}") from None
    except UnicodeDecodeError:
        raise CliError(f"keys file {path} is not UTF-8 text", EXIT_BAD_INPUT) from None


def number(minimum: int) -> Any:
    def convert(text: str) -> int:
        if not text.strip().isdecimal() or int(text) < minimum:
            raise argparse.ArgumentTypeError(f"expected a whole number >= {minimum}, got {text!r}")
        return int(text)
    return convert


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="velmora", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Mask sensitive string values in JSON: every string under a hidden key\n"
                    "becomes a run of '*' as long as the value. Numbers, booleans and null\n"
                    "are kept; nested objects and lists are walked.",
        epilog="examples:\n"
               "  velmora --hide password --hide token users.json\n"
               "  velmora --keys-file keys.txt --lines events.jsonl -o clean.jsonl --jobs 4\n"
               "  curl -s URL | velmora --trust id --trust name --compact")
    add = parser.add_argument
    add("inputs", nargs="*", metavar="FILE", help="JSON files to read; '-' or none: standard input")
    keys = parser.add_mutually_exclusive_group()
    keys.add_argument("--hide", action="append", default=[], metavar="KEY",
                      help="mask string values under KEY (repeatable)")
    keys.add_argument("--trust", action="append", default=[], metavar="KEY",
                      help="mask string values under every key but KEY (repeatable)")
    add("--keys-file", action="append", default=[], metavar="FILE",
        help="more keys, one per line, for --hide (default) or --trust")
    add("-o", "--output", metavar="FILE",
        help="write to FILE, replacing it only once everything succeeded")
    add("--indent", type=number(0), metavar="N", help="indent documents by N spaces (default: 2)")
    add("--compact", action="store_true", help="write each document on one line")
    add("--lines", action="store_true",
        help="read JSON Lines: one record per line, streamed; blank lines are dropped")
    add("--skip-invalid", action="store_true", help="skip invalid lines, report how many")
    add("--jobs", type=number(0), metavar="N", help="redact lines in N processes (0: one per CPU)")
    add("--batch-size", type=number(1), metavar="N", help="lines per batch (default: 1000)")
    add("-q", "--quiet", action="store_true", help="never show progress")
    add("--version", action="version",
        version=f"%(prog)s {importlib.metadata.version('velmora')}")
    args = parser.parse_args(argv)
    if not (args.hide or args.trust or args.keys_file):
        parser.error("say which keys to mask: --hide KEY, --trust KEY or --keys-file FILE")
    misplaced = [flag for flag, used in [
        ("--indent", args.lines and args.indent is not None),
        ("--compact", args.lines and args.compact),
        ("--skip-invalid", not args.lines and args.skip_invalid),
        ("--jobs", not args.lines and args.jobs is not None),
        ("--batch-size", not args.lines and args.batch_size is not None)] if used]
    if misplaced:
        parser.error(f"{', '.join(misplaced)} cannot be used {'with' if args.lines else 'without'}"
                     " --lines")
    if args.indent is not None and args.compact:
        parser.error("--indent and --compact cannot be used together")
    args.inputs = args.inputs or ["-"]
    args.indent = None if args.compact else 2 if args.indent is None else args.indent
    args.jobs = (os.cpu_count() or 1) if args.jobs == 0 else (args.jobs or 1)
    args.batch_size = args.batch_size or 1000
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        file_keys = [key for path in args.keys_file for key in read_keys(path)]
        omitter = NoTrustOmitter(args.trust + file_keys) if args.trust else \
            Omitter(args.hide + file_keys)
        with open_output(args.output) as out:
            (run_lines if args.lines else run_documents)(args, omitter, out)
    except CliError as exc:
        print(f"velmora: {exc}", file=sys.stderr)
        return exc.status
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:  # the reader went away, as in ``velmora ... | head``
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILURE
    except OSError as exc:
        print(f"velmora: {exc.strerror or exc}" + (f": {exc.filename}" if exc.filename else ""),
              file=sys.stderr)
        return EXIT_FAILURE
    except Exception as exc:  # noqa: BLE001 - a message, never a traceback, for users
        print(f"velmora: unexpected error: {type(exc).__name__}: {exc}", file=sys.stderr)
        return EXIT_FAILURE
    return EXIT_OK
