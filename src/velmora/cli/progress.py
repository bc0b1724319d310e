"""The progress line on a terminal."""

from __future__ import annotations

import argparse
import os
import stat
import sys
import time


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
