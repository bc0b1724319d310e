"""SIGINT and SIGTERM: how they end a run, where they wait, and the wake-up
pipe that lets a read of an idle pipe notice them."""

from __future__ import annotations

import contextlib
import os
import signal
import sys
from collections.abc import Iterator
from typing import Any

HELD = frozenset({signal.SIGINT, signal.SIGTERM})


class Interrupted(BaseException):
    """SIGINT or SIGTERM arrived: clean up, then exit with 128 + signal."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


# The read end of the signal wake-up pipe while a run is interruptible (see
# interruptible), or None.
_waker: int | None = None


# The signal that came while the run was interruptible, or None. The
# handler raises Interrupted wherever the main thread happens to be, and
# that may be inside a finaliser or a weakref callback, where Python prints
# the exception and goes on: code about to make a run's result final asks
# check_interrupted() first, so a swallowed signal still ends the run.
_arrived: int | None = None


def _quiet_when_swallowed(previous: Any) -> Any:
    """An unraisable hook that lets an Interrupted swallowed by a finaliser
    go unprinted (the run ends all the same, through check_interrupted, and
    a person who pressed Ctrl-C should not read a traceback from a library's
    __del__); anything else goes to `previous`."""
    def hook(unraisable: Any) -> None:
        if isinstance(unraisable.exc_value, Interrupted) and _arrived is not None:
            return
        previous(unraisable)
    return hook


def check_interrupted() -> None:
    """Raise Interrupted if a signal came whose exception was swallowed."""
    if _arrived is not None:
        raise Interrupted(_arrived)


def waker() -> int | None:
    """The descriptor that becomes readable when a signal arrives, or None."""
    return _waker


@contextlib.contextmanager
def held() -> Iterator[None]:
    """SIGINT and SIGTERM wait (in this thread) until the block is done, so
    that a temporary is never made or named without its clean-up in place;
    one that came meanwhile is handled right after. Other threads must
    block them for good (block_in_this_thread), or a signal delivered to
    one of them would run the handler in the main thread inside the block."""
    check_interrupted()
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, HELD)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def block_in_this_thread() -> None:
    """For worker threads: SIGINT and SIGTERM are for the main thread alone."""
    signal.pthread_sigmask(signal.SIG_BLOCK, HELD)


@contextlib.contextmanager
def interruptible() -> Iterator[None]:
    """SIGINT and SIGTERM end the run the same way: the exception unwinds,
    temporaries are removed, and the exit status is 128 + the signal."""
    global _waker, _arrived

    def interrupt(signum: int, _frame: Any) -> None:
        global _arrived
        _arrived = signum
        raise Interrupted(signum)
    previous: dict[int, Any] = {}
    wake_read, wake_write = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
    previous_wakeup = None
    previous_unraisable = sys.unraisablehook
    try:
        previous_wakeup = signal.set_wakeup_fd(wake_write, warn_on_full_buffer=False)
        for signum in (signal.SIGINT, signal.SIGTERM):
            previous[signum] = signal.signal(signum, interrupt)
        _waker = wake_read
        _arrived = None
        sys.unraisablehook = _quiet_when_swallowed(previous_unraisable)
    except ValueError:  # not the main thread: leave signals alone
        pass
    try:
        yield
        check_interrupted()
    finally:
        _waker = None
        _arrived = None
        sys.unraisablehook = previous_unraisable
        for number, handler in previous.items():
            signal.signal(number, handler)
        if previous_wakeup is not None:
            signal.set_wakeup_fd(previous_wakeup)
        os.close(wake_read)
        os.close(wake_write)
