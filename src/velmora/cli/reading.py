"""Reading the inputs: whole documents, or chunks of whole lines in buffers
that are reused from block to block."""

from __future__ import annotations

import contextlib
import os
import select
import stat
import sys
from collections.abc import Callable, Iterator
from typing import IO, NamedTuple

from velmora.cli import signals
from velmora.cli.errors import CliError
from velmora.cli.progress import Progress

BLOCK = 1 << 20  # bytes read at a time, and about the size of a chunk of lines
QUIET_MS = 50  # how long a pipe has nothing to read before what came so far is finished


def display_name(path: str) -> str:
    return "<stdin>" if path == "-" else path


@contextlib.contextmanager
def open_input(path: str) -> Iterator[IO[bytes]]:
    try:
        with contextlib.nullcontext(sys.stdin.buffer) if path == "-" else open(path, "rb") as f:
            yield f
    except OSError as exc:
        raise CliError(f"cannot read {display_name(path)}: {exc.strerror}") from None


def reader(stream: IO[bytes], idle: Callable[[], None] | None = None) -> Callable[[memoryview], int]:
    """A function that reads the next bytes of ``stream`` into the view it
    is given and says how many (0 at the end). A file is read until the
    view is full. A pipe or terminal is read as data arrives, waiting on it
    and on the signal wake-up pipe at once: a signal that lands just before
    a read of an idle pipe would otherwise wait for more data before its
    handler ran. While more data is ready at once, the view is filled.
    ``idle()`` is called when a pipe or terminal has had nothing to read for
    QUIET_MS, before the wait goes on: what was read so far can be finished
    meanwhile."""
    try:
        fd = stream.fileno()
        regular = stat.S_ISREG(os.fstat(fd).st_mode)
    except (OSError, ValueError):
        return lambda view: _copy_into(view, stream.read(len(view)))
    waker = signals.waker()
    if regular or waker is None:
        return lambda view: _fill_from(fd, view)
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    poller.register(waker, select.POLLIN)

    def read(view: memoryview) -> int:
        while True:
            ready = {ready_fd for ready_fd, _ in poller.poll(0)}
            if not ready and idle is not None:
                # A writer a little slower than the reader refills the pipe
                # within this: only a pipe that stays quiet makes work wait.
                ready = {ready_fd for ready_fd, _ in poller.poll(QUIET_MS)}
                if not ready:
                    idle()
            if not ready:
                ready = {ready_fd for ready_fd, _ in poller.poll()}
            if fd in ready:
                break
            # A signal: a handler that ends the run has raised by now.
            with contextlib.suppress(BlockingIOError):
                os.read(waker, 512)
        got = os.readv(fd, [view])
        while 0 < got < len(view) and {ready_fd for ready_fd, _ in poller.poll(0)} == {fd}:
            more = os.readv(fd, [view[got:]])
            if not more:
                break  # the end: the next call gives 0
            got += more
        return got
    return read


def _copy_into(view: memoryview, data: bytes) -> int:
    view[:len(data)] = data
    return len(data)


def _fill_from(fd: int, view: memoryview) -> int:
    got = 0
    while got < len(view):
        n = os.readv(fd, [view[got:]])
        if not n:
            break
        got += n
    return got


def read_all(stream: IO[bytes], progress: Progress) -> bytearray:
    data = bytearray(BLOCK * 8)
    got = 0
    read = reader(stream)
    while True:
        if got == len(data):
            data += bytes(len(data))
        with memoryview(data) as view:
            n = read(view[got:])
        if not n:
            break
        got += n
        progress.update(n)
    del data[got:]
    return data


class Block:
    """A buffer of bytes read, lent to the chunks cut from it: it goes back
    to the pool once the last of them is done."""

    def __init__(self, pool: list[bytearray], buffer: bytearray) -> None:
        self.pool, self.buffer, self.users = pool, buffer, 1  # the reader's own hold

    def done(self) -> None:
        self.users -= 1
        if self.users == 0:
            self.pool.append(self.buffer)


class Chunk(NamedTuple):
    """Whole lines of one input: ``source[start:stop]``; ``first`` tells
    whether they start the input (lines are numbered as results come in).
    Call ``done()`` once the lines are written: the buffer is then reused."""
    name: str
    first: bool
    source: bytearray
    start: int
    stop: int
    block: Block

    def view(self) -> memoryview:
        return memoryview(self.source)[self.start:self.stop]

    def done(self) -> None:
        self.block.done()


def _fill(read: Callable[[memoryview], int], buffer: bytearray, filled: int,
          progress: Progress) -> tuple[bytearray, int, bool]:
    """Read into ``buffer`` past ``filled`` until a line break comes or the
    input ends: (buffer, filled, at the end). A line longer than the buffer
    moves it to one twice as large."""
    while True:
        if filled == len(buffer):
            larger = bytearray(2 * len(buffer))
            larger[:filled] = buffer
            buffer = larger
        with memoryview(buffer) as view:
            n = read(view[filled:])
        if not n:
            return buffer, filled, True
        progress.update(n)
        filled += n
        if buffer.find(b"\n", filled - n, filled) >= 0:
            return buffer, filled, False


def read_chunks(path: str, progress: Progress, batch_lines: int | None, pool: list[bytearray],
                idle: Callable[[], None] | None = None) -> Iterator[Chunk]:
    """The lines of one input in chunks of whole lines, read into buffers
    taken from ``pool`` (and given back there); only the start of a line cut
    by a block's end is copied, to the front of the next buffer. ``idle``:
    see :func:`reader`."""
    name, first = display_name(path), True
    with open_input(path) as stream:
        read = reader(stream, idle)
        carry = b""
        at_end = False
        while not at_end:
            buffer = pool.pop() if pool else bytearray(BLOCK)
            if len(buffer) < len(carry) + BLOCK:
                buffer = bytearray(len(carry) + BLOCK)
            buffer[:len(carry)] = carry
            buffer, filled, at_end = _fill(read, buffer, len(carry), progress)
            stop = filled if at_end else buffer.rfind(b"\n", 0, filled) + 1
            carry = bytes(buffer[stop:filled])
            block = Block(pool, buffer)
            if stop > 0:
                for chunk in split_chunk(Chunk(name, first, buffer, 0, stop, block), batch_lines):
                    block.users += 1
                    yield chunk
                first = False
            block.done()


def split_chunk(chunk: Chunk, batch_lines: int | None) -> Iterator[Chunk]:
    """A chunk cut into pieces of at most ``batch_lines`` lines (--batch-size)."""
    if batch_lines is None:
        yield chunk
        return
    name, first, source, start, stop, block = chunk
    while start < stop:
        end = start
        for _ in range(batch_lines):
            end = source.find(b"\n", end, stop) + 1
            if end == 0 or end >= stop:
                end = stop
                break
        yield Chunk(name, first, source, start, end, block)
        first, start = False, end
