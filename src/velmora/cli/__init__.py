"""The ``velmora`` command: redact JSON documents and JSON Lines streams, and
mask secrets found inside any text (``--text``).

The text is redacted as text (:mod:`velmora.scan`): what is written is the
input, byte for byte, except that each string the omitter hides is replaced
by its mask. ``--indent``/``--compact`` change white space between tokens
only.

Exit status: 0 on success, 2 for bad input or usage, 1 for anything else
(an unreadable file, a full disk, ...), 128 + the signal number when
interrupted (130 for SIGINT, 143 for SIGTERM). Messages go to standard
error with the prefix ``velmora:`` and never as a traceback.

The concerns live in modules of their own: ``args`` (arguments, keys files,
the omitter), ``reading`` (inputs, in reused buffers), ``outfile`` (an
output file replaced only on success), ``signals``, ``progress`` and
``runs`` (the loops over documents and lines).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys

from velmora.cli import signals
from velmora.cli.args import make_omitter, parse_args
from velmora.cli.detection import make_detector
from velmora.cli.errors import EXIT_FAILURE, EXIT_OK, CliError
from velmora.cli.outfile import open_output
from velmora.cli.progress import make_progress
from velmora.cli.runs import Output, run_documents, run_lines, run_text

__all__ = ["main"]


def run(args: argparse.Namespace) -> None:
    detector = make_detector(args)
    omitter = make_omitter(args) if not args.text else None
    progress = make_progress(args)
    try:
        with open_output(args.output) as stream, \
                open_output(args.rejects, private=True) if args.rejects else contextlib.nullcontext() as rejects:
            out = Output(stream)
            if args.text:
                assert detector is not None
                run_text(args, detector, out, progress)
            else:
                assert omitter is not None
                if args.lines:
                    run_lines(args, omitter, out, progress, rejects, detector)
                else:
                    run_documents(args, omitter, out, progress, detector)
    finally:
        progress.close()


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        with signals.interruptible():
            run(args)
    except CliError as exc:
        print(f"velmora: {exc}", file=sys.stderr)
        return exc.status
    except signals.Interrupted as exc:
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
