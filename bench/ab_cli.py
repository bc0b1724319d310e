"""Compare two builds of the ``velmora`` command on JSON Lines, interleaved.

    python bench/ab_cli.py OLD NEW [--size-mb 512] [--rounds 10] [--jobs 1,2]

OLD and NEW are directories that hold a ``velmora`` package (the installed
one is ``installed``): each run is ``python -m velmora --lines`` with that
directory first on PYTHONPATH, over the same generated file of API-log
lines (``bench_cli.py``'s records), output to /dev/null. In each round every
build runs with each ``--jobs`` value once, in a rotating order, so that the
machine's drift hits them alike. Reported per build and ``--jobs``: the
medians (and ranges) of the wall time, the CPU time (user + system, from
wait4) and MB/s; then the ratios taken within each round: ``--jobs N``
against ``--jobs 1`` of the same build, and NEW against OLD. Both builds
must write the same bytes first.

A copy of an installed build to compare against later:
``cp -a $(python -c 'import velmora, os; print(os.path.dirname(velmora.__file__))') /tmp/old/``.
"""

import argparse
import hashlib
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench_cli import HIDDEN, generate  # noqa: E402


def command(jobs, path, output=os.devnull):
    hides = [arg for key in HIDDEN for arg in ("--hide", key)]
    return [sys.executable, "-m", "velmora", "--lines", "--quiet", "--jobs", str(jobs), *hides, "-o", output, path]


def environment(root):
    env = dict(os.environ)
    if root != "installed":
        env["PYTHONPATH"] = os.path.abspath(root) + os.pathsep + env.get("PYTHONPATH", "")
    return env


def run(argv, env):
    """(wall seconds, CPU seconds) of one run."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit(f"{argv} exited with {proc.returncode}")
    return wall, usage.ru_utime + usage.ru_stime


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            h.update(block)
    return h.hexdigest()


def spread(values, fmt="{:.3f}"):
    return f"{fmt.format(statistics.median(values))} ({fmt.format(min(values))}-{fmt.format(max(values))})"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--size-mb", type=int, default=512)
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--jobs", default="1,2", help="comma-separated --jobs values (default 1,2)")
    parser.add_argument("--file", help="an existing JSON Lines file instead of a generated one")
    opts = parser.parse_args()
    jobs = [int(j) for j in opts.jobs.split(",")]
    builds = {"old": environment(opts.old), "new": environment(opts.new)}
    with tempfile.TemporaryDirectory(prefix="velmora-ab-") as tmp:
        path = opts.file
        if path is None:
            path = os.path.join(tmp, "api-log.jsonl")
            generate(path, opts.size_mb << 20)
        size = os.path.getsize(path)
        outputs = set()
        for name, env in builds.items():
            for j in jobs:
                out = os.path.join(tmp, f"{name}-{j}.out")
                subprocess.run(command(j, path, out), env=env, check=True)
                outputs.add(digest(out))
                os.unlink(out)
        if len(outputs) != 1:
            raise SystemExit("the builds (or --jobs values) wrote different bytes")
        cases = [(name, j) for name in builds for j in jobs]
        walls = {c: [] for c in cases}
        cpus = {c: [] for c in cases}
        print(f"{size / 1e6:.1f} MB; load average {os.getloadavg()[0]:.1f}", flush=True)
        for r in range(opts.rounds):
            for case in cases[r % len(cases):] + cases[:r % len(cases)]:
                wall, cpu = run(command(case[1], path), builds[case[0]])
                walls[case].append(wall)
                cpus[case].append(cpu)
            print(f"round {r + 1}: " + ", ".join(f"{n} -j{j} {size / walls[n, j][-1] / 1e6:.0f} MB/s"
                                                 for n, j in cases) + f"; load {os.getloadavg()[0]:.1f}", flush=True)
        print("\n| build | --jobs | wall s | CPU s | MB/s |")
        print("|---|---:|---:|---:|---:|")
        for n, j in cases:
            rates = [size / w / 1e6 for w in walls[n, j]]
            print(f"| {n} | {j} | {spread(walls[n, j])} | {spread(cpus[n, j])} | {spread(rates, '{:.0f}')} |")
        print()
        for n in builds:
            for j in jobs[1:]:
                ratios = [a / b for a, b in zip(walls[n, jobs[0]], walls[n, j])]
                print(f"{n}: --jobs {j} against --jobs {jobs[0]}, speed {spread(ratios, '{:.2f}x')}")
        for j in jobs:
            ratios = [b / a for a, b in zip(walls["old", j], walls["new", j])]
            cpu = [b / a for a, b in zip(cpus["old", j], cpus["new", j])]
            print(f"--jobs {j}: new/old wall time {spread(ratios, '{:.3f}')}, CPU time {spread(cpu, '{:.3f}')}")
        print(f"load average at the end {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
