"""Shared fixtures and helpers for the velmora test suite."""

import gc
import os
import subprocess
import sys
import textwrap
import traceback
from contextlib import contextmanager

import pytest

import velmora.omit as omit

# File names that the module's own traceback entries carry.
SOURCE_FILE = "src\\\\velmora\\\\omit"  # two backslash characters between parts
STRINGSOURCE = "<stringsource>"
CODE_FILE = "src\\velmora\\omit"  # the code objects behind __code__

SANITIZED = bool(os.environ.get("VELMORA_SANITIZED"))


@pytest.fixture(autouse=True)
def clean_registries():
    """Every test starts and ends with empty module-wide key lists."""
    omit.reset_omissions()
    omit.reset_trusted()
    yield
    omit.reset_omissions()
    omit.reset_trusted()


def module_entries(exc):
    """The traceback entries an exception gathered inside the module, as
    (name, file, line) triples, outermost first."""
    if isinstance(exc, pytest.ExceptionInfo):
        exc = exc.value
    return [
        (frame.name, frame.filename, frame.lineno)
        for frame in traceback.extract_tb(exc.__traceback__)
        if frame.filename in (SOURCE_FILE, STRINGSOURCE)
    ]


def run_python(code, *, env=None, timeout=120):
    """Run code in a fresh interpreter; a crash shows as a non-zero return
    code instead of taking the test run down with it."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
        cwd=os.path.dirname(os.path.abspath(__file__)),
    )


# The start of a script run under sentry-sdk (run_python): `Capture`, a
# transport that keeps the events it would send, and `own_scrubber`, options
# for sentry_sdk.init() that switch sentry-sdk 2's own scrubber off. That one
# runs before the event is serialised and writes into the caller's dicts;
# with it off, what a script sees is the hooks alone (sentry-sdk 3 has none).
SENTRY_CAPTURE = """
import sentry_sdk
from sentry_sdk.transport import Transport

class Capture(Transport):
    def __init__(self, options=None):
        super().__init__(options)
        self.events = []
    def capture_envelope(self, envelope):
        self.events += [item.payload.json for item in envelope.items if item.type == "event"]

try:
    from sentry_sdk.scrubber import EventScrubber
except ImportError:
    own_scrubber = {}
else:
    class Off(EventScrubber):
        def scrub_event(self, event):
            pass
    own_scrubber = {"event_scrubber": Off()}
"""


def assert_runs_clean(code, **kwargs):
    """Run code in a subprocess and require a zero exit status; returns the
    completed process for further checks on its output."""
    proc = run_python(code, **kwargs)
    assert proc.returncode == 0, (
        f"subprocess exited with {proc.returncode}\n"
        f"--- stdout ---\n{proc.stdout}\n--- stderr ---\n{proc.stderr}"
    )
    return proc


@contextmanager
def other_threads_held():
    """Keep the GIL from other Python threads while counting blocks: threads
    that earlier tests left winding down (an event loop, a client's workers)
    would otherwise allocate and free between two counts. This thread keeps
    the GIL until it gives it up itself or the switch interval ends."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(60.0)
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


def allocated_blocks_delta(operation, repeat=2000, warmup=200):
    """Net change of the interpreter's allocated block count over `repeat`
    calls of `operation`, after `warmup` calls to fill caches. Measured over
    three rounds and the smallest change kept: a leak grows the count in
    every round, while a cache of the interpreter's that happens to resize
    during a round does not (on 3.13, pickling round trips were seen to
    leave about 60 blocks in two rounds running, and none in longer runs)."""
    for _ in range(warmup):
        operation()
    deltas = []
    for _ in range(3):
        with other_threads_held():
            gc.collect()
            before = sys.getallocatedblocks()
            for _ in range(repeat):
                operation()
            gc.collect()
            deltas.append(sys.getallocatedblocks() - before)
    return min(deltas)


def assert_no_leak(operation, repeat=2000, tolerance=50):
    """Fail when repeated calls of `operation` keep allocating blocks.
    Under PYTHONMALLOC=malloc (the sanitized run) the count is not kept, so
    the check cannot see anything and is skipped."""
    if SANITIZED:
        pytest.skip("allocated block counts are not kept without pymalloc")
    delta = allocated_blocks_delta(operation, repeat=repeat)
    assert delta < tolerance, f"{delta} blocks left behind after {repeat} calls"


def call_raising(fn, *args, **kwargs):
    """Call fn and return the exception it raises (fails if none)."""
    try:
        fn(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - any exception is the result
        return exc
    raise AssertionError(f"{fn!r} did not raise")
