"""Redact a JSON Lines file on a Dask cluster: what ``velmora --lines``
does on one machine, spread over worker processes (or machines).

    pip install 'velmora[dask]'
    python examples/dask_redact.py --keys-file examples/keys.txt examples/records.jsonl clean.jsonl
    python examples/dask_redact.py --hide password --skip-invalid --workers 4 big.jsonl 'clean/part-*.jsonl'
    python examples/dask_redact.py --trust id --scheduler tcp://scheduler.example:8786 --timeout 600 \\
        s3://logs/2024-05-02.jsonl 's3://clean/2024-05-02/part-*.jsonl'

Without ``--scheduler`` a local cluster of ``--workers`` processes is
started (and stopped at the end). With it, the workers must have velmora
installed and be able to read the input (and write the output, for a name
with ``*``): a path on a shared file system or a URL such as ``s3://``.

The output is the command line's, byte for byte. Bad lines stop the run
(exit status 2) or, with ``--skip-invalid``, are left out and reported on
standard error with their file, line and column, as the command line does.
Like the command line, it answers other failures in one line on standard
error, with exit status 1 (2 for bad usage), and SIGINT or SIGTERM with
128 + the signal number (130, 143), after removing what the run wrote.
"""

import argparse
import logging
import os
import sys

from distributed import Client, LocalCluster

from velmora.cli.signals import Interrupted, interruptible
from velmora.integrations.dask import ClusterError, InvalidLine, redact_lines
from velmora.omit import NoTrustOmitter, Omitter


def read_keys(path):
    """As the command line reads them: one key per line, blank lines and
    lines starting with '#' ignored, a leading backslash dropped."""
    with open(path, encoding="utf-8-sig") as stream:
        lines = [line.strip() for line in stream]
    return [line[1:] if line.startswith("\\") else line for line in lines if line and not line.startswith("#")]


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Redact a JSON Lines file with Dask.")
    parser.add_argument("source", help="the JSON Lines file (a path or a URL)")
    parser.add_argument("output", help="the output file, or a name with '*': one file per block")
    keys = parser.add_mutually_exclusive_group()
    keys.add_argument("--hide", action="append", default=[], metavar="KEY", help="mask values under KEY")
    keys.add_argument("--trust", action="append", default=[], metavar="KEY", help="mask all but KEY's values")
    parser.add_argument("--keys-file", action="append", default=[], metavar="FILE", help="more keys, one a line")
    parser.add_argument("--skip-invalid", action="store_true", help="leave bad lines out, and report them")
    parser.add_argument("--blocksize", default="64 MiB",
                        help="bytes of the file per block (default: 64 MiB; a block ends with its last "
                             "whole line)")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes (default: 2)")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="a running cluster's scheduler instead")
    parser.add_argument("--timeout", type=float, metavar="SECONDS",
                        help="give up when no block finishes for SECONDS (no workers, say), or when the "
                             "scheduler cannot be reached in that time (default: wait as Dask does)")
    parser.add_argument("-v", "--verbose", action="store_true", help="show Dask's own log messages")
    args = parser.parse_args(argv)
    try:
        extra = [key for path in args.keys_file for key in read_keys(path)]
    except OSError as exc:
        parser.exit(1, f"velmora: cannot read keys file {exc.filename}: {exc.strerror}\n")
    if not (args.hide or args.trust or extra):
        parser.error("say which keys to mask: --hide KEY, --trust KEY or --keys-file FILE")
    if args.timeout is not None and not args.timeout > 0:
        parser.error(f"--timeout: expected a number of seconds > 0, got {args.timeout:g}")
    args.omitter = NoTrustOmitter(args.trust + extra) if args.trust else Omitter(args.hide + extra)
    return args


def redact(args):
    """The run; exceptions are the caller's to report."""
    if args.scheduler:
        try:
            client = Client(args.scheduler, **({"timeout": args.timeout} if args.timeout else {}))
        except OSError as exc:
            raise ClusterError(f"cannot reach the scheduler: {exc}") from None
    else:
        client = Client(LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                     dashboard_address=":0"))
    try:
        return redact_lines(args.omitter, args.source, args.output, skip_invalid=args.skip_invalid,
                            blocksize=args.blocksize, client=client, timeout=args.timeout)
    finally:
        cluster = client.cluster
        client.close()
        if cluster is not None:
            cluster.close()


def main(argv=None):
    args = parse_args(argv)
    if not args.verbose:  # messages come one line each, as the command line's do
        logging.disable(logging.CRITICAL)
        os.environ["DASK_LOGGING__DISTRIBUTED"] = "critical"  # for a local cluster's processes
    try:
        with interruptible():
            result = redact(args)
    except (Interrupted, KeyboardInterrupt) as exc:
        return 128 + getattr(exc, "signum", 2)
    except InvalidLine as exc:
        return fail(str(exc), 2)
    except ValueError as exc:  # a usage error: a remote single output, a blocksize, ...
        return fail(str(exc).removeprefix("redact_lines: "), 2)
    except OSError as exc:
        verb = "read" if exc.filename == args.source else "write"
        return fail(f"cannot {verb} {exc.filename}: {exc.strerror}" if exc.filename else str(exc), 1)
    except ClusterError as exc:
        return fail(str(exc), 1)
    except Exception as exc:  # noqa: BLE001 - a message, never a traceback
        return fail(f"unexpected error: {type(exc).__name__}: {exc}", 1)
    for error in result.errors:
        print(f"velmora: skipped {error}", file=sys.stderr)
    if result.errors:
        noun = "line" if len(result.errors) == 1 else "lines"
        print(f"velmora: skipped {len(result.errors)} invalid {noun}", file=sys.stderr)
    return 0


def fail(message, status):
    print(f"velmora: {message}", file=sys.stderr)
    return status


if __name__ == "__main__":  # worker processes import this file again: start nothing there
    sys.exit(main())
