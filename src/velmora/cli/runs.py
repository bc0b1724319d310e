"""The run loops: whole documents, and JSON Lines in one thread or many."""

from __future__ import annotations

import argparse
import queue
import sys
import threading
from collections import deque
from collections.abc import Iterator
from typing import IO, Any

from velmora.cli import signals
from velmora.cli.errors import EXIT_BAD_INPUT, CliError, invalid_json
from velmora.cli.progress import Progress
from velmora.cli.reading import BLOCK, Chunk, display_name, open_input, read_all, read_chunks, reader
from velmora.cli.sniffing import FEW, SNIFF, unreadable
from velmora.detect import Detector
from velmora.omit import Omitter
from velmora.scan import ScanError, _scan_lines_into, scan


def where(name: str, error: ScanError, line: int) -> str:
    return invalid_json(name, line, error.colno, error.msg)


class Output:
    """Where redacted bytes go, remembering whether the last byte written ends
    a line (inputs are joined so that each starts on a line of its own)."""

    def __init__(self, stream: IO[bytes]) -> None:
        self.stream = stream
        self.at_line_start = True
        self.written = False

    def write(self, data: bytes | bytearray | memoryview) -> None:
        if data:
            self.stream.write(data)
            self.at_line_start = data[-1] == 10
            self.written = True

    def start_input(self) -> None:
        if self.written and not self.at_line_start:
            self.write(b"\n")

    def flush(self) -> None:
        self.stream.flush()


# ---- Documents -------------------------------------------------------------------


def document_error(name: str, data: bytes | bytearray, error: ScanError) -> CliError:
    message = where(name, error, error.lineno)
    if error.msg == "Extra data" and b"\n" in data[:error.pos]:
        message += " (one JSON value per line? use --lines for JSON Lines)"
    if data[:2] in (b"\xff\xfe", b"\xfe\xff") or b"\x00" in data[:4]:
        message += " (this looks like UTF-16 or UTF-32 text: velmora reads UTF-8)"
    return CliError(message, EXIT_BAD_INPUT)


def run_documents(args: argparse.Namespace, omitter: Omitter, out: Output, progress: Progress,
                  detector: Detector | None = None) -> None:
    layout: dict[str, Any] = {"indent": args.indent} if args.indent is not None else \
        {"compact": True} if args.compact else {}
    for path in args.inputs:
        name = display_name(path)
        with open_input(path) as stream:
            data = read_all(stream, progress)
        try:
            redacted = scan(omitter, data, **layout, detect=detector)
        except ScanError as exc:
            raise document_error(name, data, exc) from None
        except ValueError as exc:  # too deep to indent
            raise CliError(f"{name}: {exc}", EXIT_BAD_INPUT) from None
        del data
        out.start_input()
        out.write(redacted)
        if layout:  # a laid-out document ends its last line
            out.write(b"\n")


# ---- JSON Lines -----------------------------------------------------------------------


class LineRun:
    """Counts, reports and keeps the bad lines of a --lines run. Rejected
    lines are kept apart as the output keeps its lines apart: the last line
    of an input may have no line break."""

    def __init__(self, args: argparse.Namespace, rejects: IO[bytes] | None) -> None:
        self.skip = args.skip_invalid
        self.rejects = Output(rejects) if rejects is not None else None
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
                self.rejects.start_input()
                self.rejects.write(chunk.source[max(begin, chunk.start):end])

    def summary(self) -> None:
        if self.skipped:
            noun = "line" if self.skipped == 1 else "lines"
            print(f"velmora: skipped {self.skipped} invalid {noun}", file=sys.stderr)


Result = tuple[int, list[ScanError], int]


class Scan:
    """One chunk handed to the scan threads: its result once ``done()``.
    The lock is held from the hand-over until the result (or the error) is
    in place, so waiting for it is one acquire, which a signal interrupts."""

    __slots__ = ("buffers", "ready", "value", "error")

    def __init__(self, data: memoryview, out: bytearray) -> None:
        # Dropped once scanned: a view left alive would keep its buffer from
        # being resized when the reader reuses it.
        self.buffers: tuple[memoryview, bytearray] | None = (data, out)
        self.ready = threading.Lock()
        self.ready.acquire()
        self.value: Result | None = None
        self.error: BaseException | None = None

    def done(self) -> bool:
        return not self.ready.locked()

    def result(self) -> Result:
        with self.ready:
            pass
        if self.error is not None:
            raise self.error
        assert self.value is not None
        return self.value


class Scans:
    """Threads that scan the chunks handed to them, for --jobs N. They are
    started with SIGINT and SIGTERM blocked, so that those are never theirs,
    and joined when the block ends, before the output is put in place;
    chunks still waiting then are dropped."""

    def __init__(self, jobs: int, omitter: Omitter, skip: bool, detector: Detector | None) -> None:
        self.omitter, self.skip, self.detector = omitter, skip, detector
        self.queue: queue.SimpleQueue[Scan | None] = queue.SimpleQueue()
        self.stopping = False
        self.threads = [threading.Thread(target=self.work, name=f"velmora-scan_{i}") for i in range(jobs)]

    def __enter__(self) -> Scans:
        with signals.held():
            try:
                for thread in self.threads:
                    thread.start()
            except BaseException:
                self.close()
                raise
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def submit(self, data: memoryview, out: bytearray) -> Scan:
        scan = Scan(data, out)
        self.queue.put(scan)
        return scan

    def close(self) -> None:
        self.stopping = True
        for _ in self.threads:
            self.queue.put(None)
        for thread in self.threads:
            if thread.ident is not None:
                thread.join()

    def work(self) -> None:
        while (scan := self.queue.get()) is not None:
            buffers, scan.buffers = scan.buffers, None
            try:
                if not self.stopping and buffers is not None:
                    scan.value = _scan_lines_into(self.omitter, *buffers, skip_invalid=self.skip,
                                                  detect=self.detector)
            except BaseException as exc:
                scan.error = exc
            finally:
                del buffers
                scan.ready.release()


def run_lines(args: argparse.Namespace, omitter: Omitter, out: Output, progress: Progress,
              rejects: IO[bytes] | None, detector: Detector | None = None) -> None:
    """Chunks of lines are read into reused buffers and redacted into reused
    output buffers, one pair per chunk in flight."""
    run = LineRun(args, rejects)
    skip = args.skip_invalid
    blocks: list[bytearray] = []
    outputs: list[bytearray] = []

    pending: deque[tuple[Chunk, bytearray, Scan]] = deque()  # handed to the threads, in order

    def take_first() -> None:
        done, buffer, scan = pending.popleft()
        take(done, buffer, scan.result())

    def finish_pending() -> None:
        while pending:
            take_first()

    def quiet() -> None:
        # The input is a pipe with nothing to read yet: what was read so far
        # is written out meanwhile (the results of the threads, and what the
        # output's buffer holds), or a log followed with `tail -f` would wait
        # in them for as long as it is quiet.
        finish_pending()
        out.flush()

    def chunks() -> Iterator[Chunk]:
        for path in args.inputs:
            yield from read_chunks(path, progress, args.batch_size, blocks, quiet)

    def output_for(chunk: Chunk) -> bytearray:
        # As large as the chunk: masks and left-out lines only shrink it
        # (the scanner grows it for masks longer than what they hide).
        buffer = outputs.pop() if outputs else bytearray(BLOCK)
        if len(buffer) < chunk.stop - chunk.start:
            buffer = bytearray(chunk.stop - chunk.start)
        return buffer

    line = 1  # of the current input, at the start of the next chunk

    def take(chunk: Chunk, buffer: bytearray, result: Result) -> None:
        nonlocal line
        if chunk.first:
            out.start_input()
            line = 1
        size, errors, lines = result
        with memoryview(buffer)[:size] as redacted:
            out.write(redacted)
        outputs.append(buffer)
        if errors:
            run.bad_lines(chunk, line, errors)
        chunk.done()
        line += lines

    if args.jobs == 1:
        for chunk in chunks():
            buffer = output_for(chunk)
            take(chunk, buffer, _scan_lines_into(omitter, chunk.view(), buffer, skip_invalid=skip,
                                                 detect=detector))
    else:
        # Threads: the scanner runs without the interpreter lock. At most two
        # chunks per thread are in flight, and results are taken in order.
        with Scans(args.jobs, omitter, skip, detector) as scans:
            for chunk in chunks():
                buffer = output_for(chunk)
                pending.append((chunk, buffer, scans.submit(chunk.view(), buffer)))
                while len(pending) >= 2 * args.jobs or (pending and pending[0][2].done()):
                    take_first()
            finish_pending()
    run.summary()


# ---- Plain text -----------------------------------------------------------------------


def run_text(args: argparse.Namespace, detector: Detector, out: Output, progress: Progress) -> None:
    """Each input streamed through a masker block by block: a line cut by a
    block's end waits for the next block, and a private key block is
    followed across lines and blocks. Bytes outside what is found pass
    through as they are, invalid UTF-8 and line ends included. The start of
    each input is held back until it shows that the input is text velmora
    can mask (see sniffing.unreadable)."""
    buffer = bytearray(BLOCK)

    def blocks(path: str) -> Iterator[memoryview]:
        # A generator, so that errors of the writes are never taken for
        # errors of the input.
        with open_input(path) as stream, memoryview(buffer) as view:
            read = reader(stream, out.flush)  # a quiet pipe: what was masked so far goes out
            while n := read(view):
                progress.update(n)
                yield view[:n]

    def check(name: str, head: bytes | bytearray) -> None:
        why = unreadable(head)
        if why is not None:
            raise CliError(f"{name}: {why}", EXIT_BAD_INPUT)

    for path in args.inputs:
        masker = detector.masker()
        out.start_input()
        held = bytearray()  # the start of the input, until it is known to be text
        known = False
        for block in blocks(path):
            if not known:
                head = held + block[:SNIFF - len(held)]
                if len(head) < SNIFF and (0 in head or (len(head) < FEW and 10 not in head)):
                    held = head
                    continue
                check(display_name(path), head)
                known = True
                if held:
                    out.write(masker.feed(held))
            out.write(masker.feed(block))
        if not known:
            check(display_name(path), held)
            out.write(masker.feed(held))
        out.write(masker.finish())
