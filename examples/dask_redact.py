"""Redact a JSON Lines file on a Dask cluster: what ``velmora --lines``
does on one machine, spread over worker processes (or machines).

    pip install 'velmora[dask]'
    python examples/dask_redact.py --keys-file examples/keys.txt examples/records.jsonl clean.jsonl
    python examples/dask_redact.py --hide password --skip-invalid --workers 4 big.jsonl 'clean/part-*.jsonl'
    python examples/dask_redact.py --trust id --scheduler tcp://scheduler.example:8786 \\
        s3://logs/2024-05-02.jsonl 's3://clean/2024-05-02/part-*.jsonl'

Without ``--scheduler`` a local cluster of ``--workers`` processes is
started (and stopped at the end). With it, the workers must have velmora
installed and be able to read the input (and write the output, for a name
with ``*``): a path on a shared file system or a URL such as ``s3://``.

The output is the command line's, byte for byte. Bad lines stop the run
(exit status 2) or, with ``--skip-invalid``, are left out and reported on
standard error with their file, line and column, as the command line does.
"""

import argparse
import sys

from distributed import Client, LocalCluster

from velmora.integrations.dask import InvalidLine, redact_lines
from velmora.omit import NoTrustOmitter, Omitter


def read_keys(path):
    """As the command line reads them: one key per line, blank lines and
    lines starting with '#' ignored, a leading backslash dropped."""
    with open(path, encoding="utf-8-sig") as stream:
        lines = [line.strip() for line in stream]
    return [line[1:] if line.startswith("\\") else line for line in lines if line and not line.startswith("#")]


def main(argv=None):
    parser = argparse.ArgumentParser(description="Redact a JSON Lines file with Dask.")
    parser.add_argument("source", help="the JSON Lines file (a path or a URL)")
    parser.add_argument("output", help="the output file, or a name with '*': one file per block")
    keys = parser.add_mutually_exclusive_group()
    keys.add_argument("--hide", action="append", default=[], metavar="KEY", help="mask values under KEY")
    keys.add_argument("--trust", action="append", default=[], metavar="KEY", help="mask all but KEY's values")
    parser.add_argument("--keys-file", action="append", default=[], metavar="FILE", help="more keys, one a line")
    parser.add_argument("--skip-invalid", action="store_true", help="leave bad lines out, and report them")
    parser.add_argument("--blocksize", default="64 MiB", help="bytes per block (default: 64 MiB)")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes (default: 2)")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="a running cluster's scheduler instead")
    args = parser.parse_args(argv)
    extra = [key for path in args.keys_file for key in read_keys(path)]
    if not (args.hide or args.trust or extra):
        parser.error("say which keys to mask: --hide KEY, --trust KEY or --keys-file FILE")
    omitter = NoTrustOmitter(args.trust + extra) if args.trust else Omitter(args.hide + extra)

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        client = Client(LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                     dashboard_address=None))
    try:
        result = redact_lines(omitter, args.source, args.output, skip_invalid=args.skip_invalid,
                              blocksize=args.blocksize, client=client)
    except InvalidLine as exc:
        print(f"velmora: {exc}", file=sys.stderr)
        return 2
    finally:
        cluster = client.cluster
        client.close()
        if cluster is not None:
            cluster.close()
    for error in result.errors:
        print(f"velmora: skipped {error}", file=sys.stderr)
    if result.errors:
        noun = "line" if len(result.errors) == 1 else "lines"
        print(f"velmora: skipped {len(result.errors)} invalid {noun}", file=sys.stderr)
    return 0


if __name__ == "__main__":  # worker processes import this file again: start nothing there
    sys.exit(main())
