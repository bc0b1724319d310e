"""Benchmark of velmora.integrations.dask against ``velmora --lines`` on the
same JSON Lines file (bench_cli.py's API-log records).

    python bench/bench_dask.py                   # 256 MiB file, 3 rounds
    python bench/bench_dask.py --size-mb 64 --blocksize "8 MiB"

One local cluster of two worker processes (one thread each) is started
once; its start-up is timed on its own. In each round, in this order:
``velmora --lines --jobs 1``, ``--jobs 2``, ``redact_lines`` into one file
and ``redact_lines`` into one file per block, all writing into the same
temporary directory; medians of the rounds are reported, with each one's
ratio to ``--jobs 1`` in the same rounds. Before timing, the four outputs
are checked to be the same bytes.

    python bench/bench_dask.py --against OLD_DASK_PY --size-mb 64 --blocksize "4 MiB" --rounds 5

compares another version of ``velmora/integrations/dask.py`` (a file, such
as ``git show main:src/velmora/integrations/dask.py > /tmp/old.py``) with
the installed one instead, in both modes, on the same cluster: the two
alternate, in alternating order, and the result is the median of the
per-round time ratios installed/other. (The other version is uploaded to
the workers as the module ``velmora_dask_other``.)
"""

import argparse
import importlib.util
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_cli import HIDDEN, generate  # noqa: E402

from distributed import Client, LocalCluster  # noqa: E402

from velmora.integrations.dask import redact_lines  # noqa: E402
from velmora.omit import Omitter  # noqa: E402


def command(path, output, jobs):
    hides = [arg for key in HIDDEN for arg in ("--hide", key)]
    return [sys.executable, "-m", "velmora", "--lines", "--quiet", "--jobs", str(jobs), *hides, "-o", output, path]


def timed(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def load_other(path, tmp, client):
    """``path`` as the module velmora_dask_other, here and on the workers."""
    copy = os.path.join(tmp, "velmora_dask_other.py")
    shutil.copyfile(path, copy)
    client.upload_file(copy)
    spec = importlib.util.spec_from_file_location("velmora_dask_other", copy)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def against(other, omitter, path, tmp, blocksize, rounds, size):
    """Interleaved rounds of the installed redact_lines and ``other``'s, into
    one file and into parts; the median of the per-round ratios."""
    def case(function, output):
        def run():
            shutil.rmtree(os.path.join(tmp, "parts"), ignore_errors=True)
            return function(omitter, path, os.path.join(tmp, output), blocksize=blocksize)
        return run
    for output in ("out.jsonl", os.path.join("parts", "part-*.jsonl")):
        this, that = case(redact_lines, output), case(other.redact_lines, output)
        this(), that()  # warm: both versions' first tasks, imports on the workers
        ratios = []
        for r in range(rounds):
            if r % 2:
                b, a = timed(that), timed(this)
            else:
                a, b = timed(this), timed(that)
            ratios.append(a / b)
            print(f"{output}: installed {size / a / 1e6:.0f} MB/s, other {size / b / 1e6:.0f} MB/s, "
                  f"time ratio {a / b:.3f}")
        print(f"{output}: median time ratio installed/other {statistics.median(ratios):.3f} "
              f"(rounds: {', '.join(f'{x:.3f}' for x in ratios)})")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=256)
    parser.add_argument("--blocksize", default="32 MiB")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--against", metavar="DASK_PY", help="another version of the integration to compare")
    args = parser.parse_args()
    tmp = tempfile.mkdtemp(prefix="velmora-bench-dask-")
    try:
        path = os.path.join(tmp, "api-log.jsonl")
        size, lines = generate(path, args.size_mb << 20)
        print(f"file: {size / 1e6:.1f} MB, {lines} lines; blocks of {args.blocksize}; hidden keys: {len(HIDDEN)}")
        omitter = Omitter(HIDDEN)
        out = os.path.join(tmp, "out.jsonl")
        parts = os.path.join(tmp, "parts", "part-*.jsonl")

        def cli(jobs):
            subprocess.run(command(path, out, jobs), check=True)

        def one_file():
            redact_lines(omitter, path, out, blocksize=args.blocksize)

        def per_block():
            shutil.rmtree(os.path.dirname(parts), ignore_errors=True)
            return redact_lines(omitter, path, parts, blocksize=args.blocksize)

        start = time.perf_counter()
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
                Client(cluster) as client:
            client.wait_for_workers(2)
            print(f"cluster start-up: {time.perf_counter() - start:.2f} s")
            if args.against:
                other = load_other(args.against, tmp, client)
                against(other, omitter, path, tmp, args.blocksize, args.rounds, size)
                return
            cli(1)
            with open(out, "rb") as f:
                expected = f.read()
            one_file()
            with open(out, "rb") as f:
                assert f.read() == expected, "one file differs from velmora --lines"
            files = per_block().files
            assert b"".join(open(name, "rb").read() for name in files) == expected, "parts differ"
            del expected
            cases = {"--jobs 1": lambda: cli(1), "--jobs 2": lambda: cli(2),
                     "dask, one file": one_file, f"dask, {len(files)} part files": per_block}
            rates = {name: [] for name in cases}
            for r in range(args.rounds):
                for name, case in cases.items():
                    rates[name].append(size / timed(case) / 1e6)
                print(f"round {r + 1}: " + ", ".join(f"{name} {values[-1]:.0f} MB/s" for name, values in rates.items()))
        base = rates["--jobs 1"]
        print("median: " + ", ".join(
            f"{name} {statistics.median(values):.0f} MB/s "
            f"({statistics.median(a / b for a, b in zip(values, base)):.2f}x)"
            for name, values in rates.items()))
    finally:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    main()
