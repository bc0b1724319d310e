"""The ``velmora`` command: redact JSON documents and JSON Lines streams.

The text is redacted as text (:mod:`velmora.scan`): what is written is the
input, byte for byte, except that each string the omitter hides is replaced
by its mask. ``--indent``/``--compact`` change white space between tokens
only.

Exit status: 0 on success, 2 for bad input or usage, 1 for anything else
(an unreadable file, a full disk, ...), 128 + the signal number when
interrupted (130 for SIGINT, 143 for SIGTERM). Messages go to standard
error with the prefix ``velmora:`` and never as a traceback.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import importlib.metadata
import os
import re
import select
import signal
import stat
import sys
import tempfile
import time
from collections import deque
from collections.abc import Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from typing import IO, Any, NamedTuple

from velmora.omit import NoTrustOmitter, Omitter
from velmora.rules import RuleNoTrustOmitter, RuleOmitter
from velmora.scan import ScanError, scan, scan_lines

EXIT_OK, EXIT_FAILURE, EXIT_BAD_INPUT = 0, 1, 2
BLOCK = 1 << 20  # bytes read at a time, and about the size of a chunk of lines


class CliError(Exception):
    """A failure reported as one message and an exit status."""

    def __init__(self, message: str, status: int = EXIT_FAILURE) -> None:
        super().__init__(message)
        self.status = status


class Interrupted(BaseException):
    """SIGINT or SIGTERM arrived: clean up, then exit with 128 + signal."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def display_name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def where(name: str, error: ScanError, line: int) -> str:
    return (f"{name}:{line}:{error.colno}: invalid JSON at line {line}, column {error.colno}: "
            f"{error.msg}")


# ---- Progress ------------------------------------------------------------------


class Progress:
    """One line on standard error: bytes read (of the total, when known) and
    the rate. Shown on a terminal only, from half a second into the run."""

    def __init__(self, total: int | None, enabled: bool) -> None:
        self.total, self.enabled = total, enabled
        self.done, self.shown = 0, False
        self.start = self.last = time.monotonic()

    def update(self, nbytes: int) -> None:
        self.done += nbytes
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self.start < 0.5 or now - self.last < 0.1:
            return
        self.last = now
        rate = self.done / max(now - self.start, 1e-9) / 1e6
        text = f"velmora: {self.done / 1e6:,.1f} MB"
        if self.total:
            text += f" of {self.total / 1e6:,.1f} MB ({min(100, 100 * self.done // self.total)}%)"
        sys.stderr.write(f"\r{text}, {rate:,.0f} MB/s\x1b[K")
        sys.stderr.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self.shown = False


def make_progress(args: argparse.Namespace) -> Progress:
    enabled = not args.quiet and sys.stderr.isatty()
    total: int | None = 0
    for path in args.inputs:
        try:
            info = os.stat(path) if path != "-" else None
        except OSError:
            info = None
        if info is None or not stat.S_ISREG(info.st_mode):
            total = None
            break
        total = (total or 0) + info.st_size
    return Progress(total, enabled)


# ---- Input ---------------------------------------------------------------------


@contextlib.contextmanager
def open_input(path: str) -> Iterator[IO[bytes]]:
    try:
        with contextlib.nullcontext(sys.stdin.buffer) if path == "-" else open(path, "rb") as f:
            yield f
    except OSError as exc:
        raise CliError(f"cannot read {display_name(path)}: {exc.strerror}") from None


# The read end of the signal wake-up pipe while main() runs (see
# signals_interrupt), or None.
_waker: int | None = None


def block_reader(stream: IO[bytes], size: int) -> Any:
    """A function giving the next block of ``stream`` (b"" at its end). A
    pipe or terminal is read as data arrives, waiting on it and on the
    signal wake-up pipe at once: a signal that lands just before a read of
    an idle pipe would otherwise wait for more data before its handler ran.
    While more data is ready at once, the block is filled up to ``size``."""
    try:
        fd = stream.fileno()
        regular = stat.S_ISREG(os.fstat(fd).st_mode)
    except (OSError, ValueError):
        regular = True
    if regular or _waker is None:
        return lambda: stream.read(size)
    waker = _waker
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    poller.register(waker, select.POLLIN)

    def read() -> bytes:
        while True:
            ready = {ready_fd for ready_fd, _ in poller.poll()}
            if fd in ready:
                break
            # A signal: a handler that ends the run has raised by now.
            with contextlib.suppress(BlockingIOError):
                os.read(waker, 512)
        parts = [os.read(fd, size)]
        got = len(parts[0])
        while 0 < got < size and {ready_fd for ready_fd, _ in poller.poll(0)} == {fd}:
            more = os.read(fd, size - got)
            if not more:
                break  # the end: the next call gives b""
            parts.append(more)
            got += len(more)
        return parts[0] if len(parts) == 1 else b"".join(parts)
    return read


def read_all(stream: IO[bytes], progress: Progress) -> bytes:
    blocks = []
    read = block_reader(stream, BLOCK * 8)
    while block := read():
        blocks.append(block)
        progress.update(len(block))
    return b"".join(blocks)


class Chunk(NamedTuple):
    """Whole lines of one input: ``source[start:stop]``; ``first`` tells
    whether they start the input (lines are numbered as results come in)."""
    name: str
    first: bool
    source: bytes
    start: int
    stop: int

    def view(self) -> memoryview:
        return memoryview(self.source)[self.start:self.stop]


def read_chunks(path: str, progress: Progress, batch_lines: int | None) -> Iterator[Chunk]:
    """The lines of one input in chunks of whole lines, without copying the
    blocks read (only a line cut by a block's end is put together)."""
    name, first = display_name(path), True
    with open_input(path) as stream:
        carry: list[bytes] = []  # the start of a line cut by a block's end
        read = block_reader(stream, BLOCK)
        while block := read():
            progress.update(len(block))
            start = 0
            if carry:
                newline = block.find(b"\n")
                if newline < 0:
                    carry.append(block)
                    continue
                carry.append(block[:newline + 1])
                joined, carry = b"".join(carry), []
                yield Chunk(name, first, joined, 0, len(joined))
                first, start = False, newline + 1
            stop = block.rfind(b"\n", start) + 1
            if stop <= start:
                if start < len(block):
                    carry.append(block[start:])
                continue
            if stop < len(block):
                carry.append(block[stop:])
            yield from split_chunk(Chunk(name, first, block, start, stop), batch_lines)
            first = False
        if carry:
            joined = b"".join(carry)
            yield Chunk(name, first, joined, 0, len(joined))


def split_chunk(chunk: Chunk, batch_lines: int | None) -> Iterator[Chunk]:
    """A chunk cut into pieces of at most ``batch_lines`` lines (--batch-size)."""
    if batch_lines is None:
        yield chunk
        return
    name, first, source, start, stop = chunk
    while start < stop:
        end = start
        for _ in range(batch_lines):
            end = source.find(b"\n", end, stop) + 1
            if end == 0 or end >= stop:
                end = stop
                break
        yield Chunk(name, first, source, start, end)
        first, start = False, end


# ---- Output --------------------------------------------------------------------


class Output:
    """Where redacted bytes go, remembering whether the last byte written ends
    a line (inputs are joined so that each starts on a line of its own)."""

    def __init__(self, stream: IO[bytes]) -> None:
        self.stream = stream
        self.at_line_start = True
        self.written = False

    def write(self, data: bytes) -> None:
        if data:
            self.stream.write(data)
            self.at_line_start = data.endswith(b"\n")
            self.written = True

    def start_input(self) -> None:
        if self.written and not self.at_line_start:
            self.write(b"\n")


@contextlib.contextmanager
def signals_held() -> Iterator[None]:
    """SIGINT and SIGTERM wait (in this thread) until the block is done, so
    that a temporary is never made or named without its clean-up in place;
    one that came meanwhile is handled right after."""
    held = {signal.SIGINT, signal.SIGTERM}
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _anonymous_file(directory: str) -> int | None:
    """An unnamed file in ``directory`` (Linux O_TMPFILE): nothing to clean up
    if the process dies, even by SIGKILL. None where it is not supported."""
    flag = getattr(os, "O_TMPFILE", 0)
    if not flag or not os.path.isdir("/proc/self/fd"):  # naming it needs /proc
        return None
    try:
        return os.open(directory, flag | os.O_WRONLY | os.O_CLOEXEC, 0o666)
    except OSError as exc:
        if exc.errno in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL, errno.ENOENT):
            return None  # this file system (or kernel) has none
        raise


def _link_into_place(fd: int, target: str) -> None:
    """Give the unnamed file ``fd`` the name ``target``, replacing what is
    there: link it under a fresh name beside it, then rename over. (The link
    goes through /proc, which needs linkat with AT_SYMLINK_FOLLOW: os.link
    makes that call only when given a directory descriptor.)"""
    directory, base = os.path.split(target)
    directory_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        for attempt in range(100):
            temporary = f".{base}.{os.getpid()}.{attempt}.tmp"
            try:
                os.link(f"/proc/self/fd/{fd}", temporary, src_dir_fd=directory_fd, dst_dir_fd=directory_fd,
                        follow_symlinks=True)
            except FileExistsError:
                continue
            try:
                os.replace(temporary, base, src_dir_fd=directory_fd, dst_dir_fd=directory_fd)
            except BaseException:
                with contextlib.suppress(OSError):
                    os.unlink(temporary, dir_fd=directory_fd)
                raise
            return
        raise OSError(errno.EEXIST, "no free temporary name", target)
    finally:
        os.close(directory_fd)


@contextlib.contextmanager
def open_output(path: str | None) -> Iterator[IO[bytes]]:
    """Standard output, or ``path``. A regular file (or a new one) is
    replaced only once everything is written: the bytes go to an unnamed
    temporary in its directory (a named one, removed on failure and on
    SIGINT/SIGTERM, where the file system has no unnamed files), which is
    then renamed over it. A symbolic link is followed: the file it points to
    is replaced, the link stays. A FIFO, a device or any other file that is
    not regular is written directly."""
    if path in (None, "-"):
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
        return
    target = os.path.realpath(path)
    try:
        info: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        info = None
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror}") from None
    if info is not None and stat.S_ISDIR(info.st_mode):
        raise CliError(f"cannot write {path}: Is a directory")
    if info is not None and not stat.S_ISREG(info.st_mode):
        try:
            stream = open(target, "wb")
        except OSError as exc:
            raise CliError(f"cannot write {path}: {exc.strerror}") from None
        with stream:
            yield stream
        return

    mode = info.st_mode & 0o7777 if info is not None else 0o666 & ~_umask()
    directory = os.path.dirname(target)
    named: str | None = None
    fd = -1
    try:
        with signals_held():
            try:
                anonymous = _anonymous_file(directory)
                if anonymous is not None:
                    fd = anonymous
                else:
                    fd, named = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".tmp",
                                                 dir=directory)
            except OSError as exc:
                raise CliError(f"cannot write {path}: {exc.strerror}") from None
        with os.fdopen(fd, "wb", closefd=False) as stream:
            yield stream
        with signals_held():
            try:
                os.fchmod(fd, mode)
                if named is None:
                    _link_into_place(fd, target)
                else:
                    os.replace(named, target)
                    named = None
            except OSError as exc:
                raise CliError(f"cannot write {path}: {exc.strerror}") from None
    finally:
        if fd >= 0:
            os.close(fd)
        if named is not None:
            with contextlib.suppress(OSError):
                os.unlink(named)


# ---- Documents -------------------------------------------------------------------


def document_error(name: str, data: bytes, error: ScanError) -> CliError:
    message = where(name, error, error.lineno)
    if error.msg == "Extra data" and b"\n" in data[:error.pos]:
        message += " (one JSON value per line? use --lines for JSON Lines)"
    if data[:2] in (b"\xff\xfe", b"\xfe\xff") or b"\x00" in data[:4]:
        message += " (this looks like UTF-16 or UTF-32 text: velmora reads UTF-8)"
    return CliError(message, EXIT_BAD_INPUT)


def run_documents(args: argparse.Namespace, omitter: Omitter, out: Output, progress: Progress) -> None:
    layout: dict[str, Any] = {"indent": args.indent} if args.indent is not None else \
        {"compact": True} if args.compact else {}
    for path in args.inputs:
        name = display_name(path)
        with open_input(path) as stream:
            data = read_all(stream, progress)
        try:
            redacted = scan(omitter, data, **layout)
        except ScanError as exc:
            raise document_error(name, data, exc) from None
        except ValueError as exc:  # too deep to indent
            raise CliError(f"{name}: {exc}", EXIT_BAD_INPUT) from None
        out.start_input()
        out.write(redacted)
        if layout:  # a laid-out document ends its last line
            out.write(b"\n")


# ---- JSON Lines -----------------------------------------------------------------------


class LineRun:
    """Counts, reports and keeps the bad lines of a --lines run."""

    def __init__(self, args: argparse.Namespace, rejects: IO[bytes] | None) -> None:
        self.skip = args.skip_invalid
        self.rejects = rejects
        self.skipped = 0

    def bad_lines(self, chunk: Chunk, first_line: int, errors: list[ScanError]) -> None:
        for error in errors:
            line = first_line + error.lineno - 1
            message = where(chunk.name, error, line)
            if not self.skip:
                raise CliError(message, EXIT_BAD_INPUT)
            self.skipped += 1
            print(f"velmora: skipped {message}", file=sys.stderr)
            if self.rejects is not None:
                at = chunk.start + error.pos
                begin = chunk.source.rfind(b"\n", chunk.start, at) + 1 or chunk.start
                end = chunk.source.find(b"\n", at, chunk.stop) + 1 or chunk.stop
                self.rejects.write(chunk.source[max(begin, chunk.start):end])

    def summary(self) -> None:
        if self.skipped:
            noun = "line" if self.skipped == 1 else "lines"
            print(f"velmora: skipped {self.skipped} invalid {noun}", file=sys.stderr)


def run_lines(args: argparse.Namespace, omitter: Omitter, out: Output, progress: Progress,
              rejects: IO[bytes] | None) -> None:
    run = LineRun(args, rejects)
    skip = args.skip_invalid

    def chunks() -> Iterator[Chunk]:
        for path in args.inputs:
            yield from read_chunks(path, progress, args.batch_size)

    line = 1  # of the current input, at the start of the next chunk

    def take(chunk: Chunk, result: tuple[bytes, list[ScanError], int]) -> None:
        nonlocal line
        if chunk.first:
            out.start_input()
            line = 1
        redacted, errors, lines = result
        out.write(redacted)
        if errors:
            run.bad_lines(chunk, line, errors)
        line += lines

    if args.jobs == 1:
        for chunk in chunks():
            take(chunk, scan_lines(omitter, chunk.view(), skip_invalid=skip))
    else:
        # Threads: the scanner runs without the interpreter lock. At most two
        # chunks per thread are in flight, and results are taken in order.
        pool = ThreadPoolExecutor(args.jobs, thread_name_prefix="velmora-scan")
        pending: deque[tuple[Chunk, Future[tuple[bytes, list[ScanError], int]]]] = deque()
        try:
            for chunk in chunks():
                pending.append((chunk, pool.submit(scan_lines, omitter, chunk.view(), skip_invalid=skip)))
                while len(pending) >= 2 * args.jobs or (pending and pending[0][1].done()):
                    done, future = pending.popleft()
                    take(done, future.result())
            while pending:
                done, future = pending.popleft()
                take(done, future.result())
        finally:
            pool.shutdown(wait=False, cancel_futures=True)
    run.summary()


# ---- Keys and arguments ------------------------------------------------------------


def read_keys(path: str) -> list[str]:
    """One key per line, white space around it ignored. Blank lines and lines
    whose first non-blank character is '#' are ignored; a leading backslash
    is dropped and the rest taken as it is (``\\#tag`` is the key ``#tag``)."""
    try:
        with open(path, encoding="utf-8-sig") as stream:
            lines = [line.strip() for line in stream]
    except OSError as exc:
        raise CliError(f"cannot read keys file {path}: {exc.strerror}") from None
    except UnicodeDecodeError:
        raise CliError(f"keys file {path} is not UTF-8 text", EXIT_BAD_INPUT) from None
    return [line[1:] if line.startswith("\\") else line for line in lines if line and not line.startswith("#")]


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
                    "becomes a run of '*' as long as the value. Everything else is written\n"
                    "back byte for byte: numbers, escapes, white space, key order.",
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
        help="more keys, one per line ('#' starts a comment line; '\\#' a key), "
             "for --hide (default) or --trust")
    rules = parser.add_argument_group(
        "key rules and masks", "match keys more loosely than exactly, and choose what a mask shows "
        "(with --trust, the rules decide which keys are trusted)")
    rules.add_argument("--ignore-case", action="store_true", help="compare the keys given ignoring case")
    rules.add_argument("--contains", action="append", default=[], metavar="WORD",
                       help="also match every key that contains WORD, ignoring case (repeatable)")
    rules.add_argument("--pattern", action="append", default=[], metavar="REGEX",
                       help="also match every key in which REGEX finds a match (Python re; repeatable)")
    rules.add_argument("--defaults", action="store_true",
                       help="also match the default list of sensitive words (password, secret, token, "
                            "authorization, cookie, session, ...), ignoring case, inside longer keys")
    rules.add_argument("--mask", metavar="TEXT", help="mask with TEXT instead of one '*' per character")
    rules.add_argument("--keep-last", type=number(1), metavar="N",
                       help="keep the last N characters of each masked string")
    rules.add_argument("--whole", action="store_true",
                       help="hide the whole value under a matching key, whatever its type, with the "
                            "--mask text (default: [Filtered])")
    add("-o", "--output", metavar="FILE",
        help="write to FILE, replacing it only once everything succeeded")
    add("--indent", type=number(0), metavar="N",
        help="lay documents out indented by N spaces (white space only)")
    add("--compact", action="store_true", help="lay documents out without white space")
    add("--lines", action="store_true",
        help="read JSON Lines: one record per line, streamed; blank lines are kept")
    add("--skip-invalid", action="store_true",
        help="skip invalid lines, reporting each on standard error")
    add("--rejects", metavar="FILE", help="with --skip-invalid: write the skipped lines to FILE")
    add("--jobs", type=number(0), metavar="N", help="redact lines in N threads (0: one per CPU)")
    add("--batch-size", type=number(1), metavar="N",
        help="lines per batch (default: whole lines of about 1 MiB)")
    add("-q", "--quiet", action="store_true", help="never show progress")
    add("--version", action="version",
        version=f"%(prog)s {importlib.metadata.version('velmora')}")
    args = parser.parse_args(argv)
    if not (args.hide or args.trust or args.keys_file or args.contains or args.pattern or args.defaults):
        parser.error("say which keys to mask: --hide KEY, --trust KEY, --keys-file FILE, "
                     "--contains WORD, --pattern REGEX or --defaults")
    if args.keep_last is not None and (args.mask is not None or args.whole):
        parser.error(f"--keep-last cannot be used with {'--mask' if args.mask is not None else '--whole'}")
    misplaced = [flag for flag, used in [
        ("--indent", args.lines and args.indent is not None),
        ("--compact", args.lines and args.compact),
        ("--skip-invalid", not args.lines and args.skip_invalid),
        ("--rejects", not args.lines and args.rejects is not None),
        ("--jobs", not args.lines and args.jobs is not None),
        ("--batch-size", not args.lines and args.batch_size is not None)] if used]
    if misplaced:
        parser.error(f"{', '.join(misplaced)} cannot be used {'with' if args.lines else 'without'}"
                     " --lines")
    if args.indent is not None and args.compact:
        parser.error("--indent and --compact cannot be used together")
    if args.rejects is not None and not args.skip_invalid:
        parser.error("--rejects needs --skip-invalid")
    args.inputs = args.inputs or ["-"]
    args.jobs = (os.cpu_count() or 1) if args.jobs == 0 else (args.jobs or 1)
    return args


# ---- Main ----------------------------------------------------------------------


@contextlib.contextmanager
def signals_interrupt() -> Iterator[None]:
    """SIGINT and SIGTERM end the run the same way: the exception unwinds,
    temporaries are removed, and the exit status is 128 + the signal."""
    global _waker

    def interrupt(signum: int, _frame: Any) -> None:
        raise Interrupted(signum)
    previous: dict[int, Any] = {}
    wake_read, wake_write = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
    previous_wakeup = None
    try:
        previous_wakeup = signal.set_wakeup_fd(wake_write, warn_on_full_buffer=False)
        for signum in (signal.SIGINT, signal.SIGTERM):
            previous[signum] = signal.signal(signum, interrupt)
        _waker = wake_read
    except ValueError:  # not the main thread: leave signals alone
        pass
    try:
        yield
    finally:
        _waker = None
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        if previous_wakeup is not None:
            signal.set_wakeup_fd(previous_wakeup)
        os.close(wake_read)
        os.close(wake_write)


def make_omitter(args: argparse.Namespace) -> Omitter:
    """The omitter the options describe: the exact Omitter or NoTrustOmitter
    unless a key rule or a mask is asked for."""
    keys = (args.trust or args.hide) + [key for path in args.keys_file for key in read_keys(path)]
    rules = {"ignore_case": args.ignore_case, "contains": args.contains, "patterns": args.pattern,
             "defaults": args.defaults, "mask": args.mask, "keep_last": args.keep_last, "whole": args.whole}
    if not any(value not in (False, [], None) for value in rules.values()):
        return NoTrustOmitter(keys) if args.trust else Omitter(keys)
    try:
        return RuleNoTrustOmitter(keys, **rules) if args.trust else RuleOmitter(keys, **rules)
    except re.error as exc:
        raise CliError(f"--pattern {exc.pattern!r}: invalid regular expression: {exc}", EXIT_BAD_INPUT) from None
    except (TypeError, ValueError) as exc:  # an argument the rules refuse, such as an empty word
        raise CliError(str(exc), EXIT_BAD_INPUT) from None


def run(args: argparse.Namespace) -> None:
    omitter = make_omitter(args)
    progress = make_progress(args)
    try:
        with open_output(args.output) as stream, \
                open_output(args.rejects) if args.rejects else contextlib.nullcontext() as rejects:
            out = Output(stream)
            if args.lines:
                run_lines(args, omitter, out, progress, rejects)
            else:
                run_documents(args, omitter, out, progress)
    finally:
        progress.close()


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        with signals_interrupt():
            run(args)
    except CliError as exc:
        print(f"velmora: {exc}", file=sys.stderr)
        return exc.status
    except Interrupted as exc:
        return 128 + exc.signum
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
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
