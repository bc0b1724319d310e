"""Compare two builds of velmora.scan in one process, interleaved.

    python bench/ab_scan.py OLD.so NEW.so [--size-mb 16] [--pairs 20] [--paths scalar,sse2,avx2]
    python bench/ab_scan.py OLD.so NEW.so --corpus documents
    python bench/ab_scan.py OLD.so NEW.so --per-call [--calls 20000]
    python bench/ab_scan.py OLD.so NEW.so --planned
    python bench/ab_scan.py --callgrind BUILD.so [BUILD.so ...]
    python bench/ab_scan.py BUILD.so --with-paths [--pairs 20]
    python bench/ab_scan.py --callgrind --with-paths BUILD.so [BUILD.so ...]
    python bench/ab_scan.py --callgrind --branch-sim BUILD.so [BUILD.so ...]

Each build's extension file is loaded as its own module (each library has
its own statics, the chosen vector path among them), both bound to the
installed velmora.omit. A pair times `scan_lines` over the corpus in calls
of about 1 MiB once with each build, in alternating order, in CPU time of
the process; the result per path is the median of the per-pair ratios
NEW/OLD (below 1: NEW is faster), with the quartiles of the ratios. Drift
of the machine's speed hits both builds of a pair alike. Both builds must
give the same output, or the comparison stops.

--per-call does the same for `scan` of the API-log record nearest 1 KB,
called --calls times per sample.

--planned compares two builds on a RuleOmitter with bench_scan_plan's ten
JSON paths instead of an Omitter: the scanner's planned grammar, old
against new.

--with-paths takes one build and compares, the same way, a RuleOmitter
with bench_scan_plan's ten JSON paths (NEW) against the same RuleOmitter
without them (OLD): what following paths costs the scanner.

--callgrind counts instructions per MB of the corpus under valgrind's
callgrind, repeatable on a loaded machine: a run that scans the corpus
twice minus one that scans it once, on each path. With --with-paths, it
counts them for the RuleOmitter without paths ("rules"), with a policy for
one key and no paths (a plan that follows no path: "policy") and with the
ten paths ("paths"), for each build. With --branch-sim, callgrind also
simulates the branch predictor and reports its mispredicted conditional
(Bcm) and indirect (Bim) branches per MB beside the instructions: the
scanner's time goes as much to those as to the instructions.
"""

import argparse
import gc
import importlib.util
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import corpora  # noqa: E402

from velmora.omit import Omitter  # noqa: E402


def load_build(path):
    """The velmora.scan extension at `path`, as a module of its own."""
    spec = importlib.util.spec_from_file_location("velmora.scan", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def corpus(name, size):
    if name == "documents":
        return corpora.documents_as_lines(size)
    return corpora.api_log(size)


def pieces(data, size=1 << 20):
    """Memoryviews of about `size` bytes that end at line ends."""
    view, out, pos = memoryview(data), [], 0
    while pos < len(data):
        stop = data.rfind(b"\n", pos, pos + size) + 1 or data.find(b"\n", pos) + 1 or len(data)
        out.append(view[pos:stop])
        pos = stop
    return out


def cpu(run):
    start = time.process_time()
    run()
    return time.process_time() - start


def summary(ratios):
    q = statistics.quantiles(ratios, n=4) if len(ratios) > 1 else ratios * 3
    return f"{statistics.median(ratios):.3f}x (quartiles {q[0]:.3f}-{q[2]:.3f}, {len(ratios)} pairs)"


def compare_runs(path, runs, pairs):
    """Time runs[0] (OLD) and runs[1] (NEW) in `pairs` alternating pairs."""
    ratios = []
    gc.disable()
    try:
        for i in range(pairs):
            order = (0, 1) if i % 2 == 0 else (1, 0)
            t = [0.0, 0.0]
            for k in order:
                t[k] = cpu(runs[k])
            ratios.append(t[1] / t[0])
    finally:
        gc.enable()
    print(f"{path:7s} new/old time {summary(ratios)}", flush=True)


def compare(old, new, make_run, paths, pairs):
    for path in paths:
        compare_runs(path, (make_run(old, path), make_run(new, path)), pairs)


def scan_omitter(keys, kind="omitter"):
    """The omitter a run scans with: the Omitter of the keys, or a
    RuleOmitter of them with bench_scan_plan's ten paths ("paths"), with a
    policy for one key and no paths ("policy": a plan that follows no path),
    or with neither ("rules")."""
    if kind == "omitter":
        return Omitter(keys)
    from bench_scan_plan import PATHS
    from velmora.rules import RuleOmitter
    if kind == "paths":
        return RuleOmitter(list(keys), paths=PATHS)
    if kind == "policy":
        return RuleOmitter(list(keys), policies={keys[0]: {"mask": "[p]"}})
    return RuleOmitter(list(keys))


def lines_maker(chunks, omitter):
    """make_run for compare(): one pass of scan_lines over the chunks."""
    def make_run(module, path):
        def run():
            module._set_path(path)
            for chunk in chunks:
                module.scan_lines(omitter, chunk)
        return run
    return make_run


def lines_run(data, keys, planned=False):
    omitter = scan_omitter(keys, "paths" if planned else "omitter")
    return omitter, lines_maker(pieces(data), omitter)


def with_paths_run(data, keys):
    """RuleOmitters of the same keys without and with ten JSON paths."""
    chunks = pieces(data)
    return lines_maker(chunks, scan_omitter(keys, "rules")), lines_maker(chunks, scan_omitter(keys, "paths"))


def per_call_run(data, keys, calls):
    omitter = Omitter(keys)
    lines = data[:8 << 20].split(b"\n")[:-1]
    small = min(lines, key=lambda line: abs(len(line) - 1024))
    print(f"per call: a {len(small)}-byte record, {calls} calls a sample")

    def make(module, path):
        def run():
            module._set_path(path)
            scan = module.scan
            for _ in range(calls):
                scan(omitter, small)
        return run
    return omitter, small, make


def callgrind_child(build, corpus_name, size, path, times, omitter_kind="omitter"):
    module = load_build(build)
    data, keys = corpus(corpus_name, size)
    omitter = scan_omitter(keys, omitter_kind)
    chunks = pieces(data)
    module._set_path(path)
    for _ in range(times):
        for chunk in chunks:
            module.scan_lines(omitter, chunk)


def callgrind_counts(out):
    """The events callgrind counted in all, by name (Ir, Bc, Bcm, ...)."""
    with open(out) as f:
        lines = f.read().splitlines()
    names = next(line for line in lines if line.startswith("events:")).split()[1:]
    totals = next(line for line in lines if line.startswith("summary:") or line.startswith("totals:"))
    return dict(zip(names, (int(v) for v in totals.split()[1:])))


def callgrind(build, corpus_name, size, paths, omitter_kind="omitter", branch_sim=False):
    corpus(corpus_name, size)  # made and cached now, not inside the first counted run
    for path in paths:
        counts = []
        for times in (1, 2):
            with tempfile.TemporaryDirectory() as folder:
                out = os.path.join(folder, "cg.out")
                code = (f"import sys; sys.path.insert(0, {HERE!r}); import ab_scan; "
                        f"ab_scan.callgrind_child({build!r}, {corpus_name!r}, {size}, {path!r}, {times}, "
                        f"{omitter_kind!r})")
                sim = ["--branch-sim=yes"] if branch_sim else []
                subprocess.run(["valgrind", "--tool=callgrind", *sim, f"--callgrind-out-file={out}", sys.executable,
                                "-c", code], check=True, capture_output=True)
                counts.append(callgrind_counts(out))
        mb = size / 1e6
        per_mb = (counts[1]["Ir"] - counts[0]["Ir"]) / mb
        label = "" if omitter_kind == "omitter" else f" {omitter_kind:7s}"
        line = f"{os.path.basename(build)}{label} {path:7s} {per_mb / 1e6:.1f} M instructions per MB"
        if branch_sim:
            bcm, bim = ((counts[1][e] - counts[0][e]) / mb for e in ("Bcm", "Bim"))
            line += f", {bcm / 1e3:.1f} K Bcm, {bim / 1e3:.2f} K Bim per MB"
        print(line, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("builds", nargs="+", help="extension files (.so): OLD NEW, or any with --callgrind")
    parser.add_argument("--corpus", choices=("api-log", "documents"), default="api-log")
    parser.add_argument("--size-mb", type=float, default=16, help="of the corpus (default 16)")
    parser.add_argument("--paths", default="", help="comma-separated (default: every path the machine runs)")
    parser.add_argument("--pairs", type=int, default=20, help="samples of each build per path")
    parser.add_argument("--per-call", action="store_true", help="scan() of a 1 KB record instead")
    parser.add_argument("--calls", type=int, default=20000, help="with --per-call: calls per sample")
    parser.add_argument("--callgrind", action="store_true", help="count instructions instead")
    parser.add_argument("--branch-sim", action="store_true", help="with --callgrind: count mispredicts too")
    parser.add_argument("--with-paths", action="store_true", help="one build: ten JSON paths against none")
    parser.add_argument("--planned", action="store_true", help="two builds, on a RuleOmitter with ten JSON paths")
    opts = parser.parse_args()
    size = int(opts.size_mb * (1 << 20))
    if opts.with_paths and opts.callgrind:
        paths = opts.paths.split(",") if opts.paths else ["scalar", "sse2", "avx2"]
        for build in opts.builds:
            for kind in ("rules", "policy", "paths"):
                callgrind(os.path.abspath(build), opts.corpus, size, paths, kind, opts.branch_sim)
        return
    if opts.with_paths:
        module = load_build(os.path.abspath(opts.builds[0]))
        paths = opts.paths.split(",") if opts.paths else list(module._paths())
        data, keys = corpus(opts.corpus, size)
        print(f"load average {os.getloadavg()[0]:.1f}; {len(data) / 1e6:.1f} MB of {opts.corpus}; "
              "ratios: with paths / without")
        without, with_ = with_paths_run(data, keys)
        for path in paths:
            runs = (without(module, path), with_(module, path))
            compare_runs(path, runs, opts.pairs)
        print(f"load average {os.getloadavg()[0]:.1f}")
        return
    if opts.callgrind:
        paths = opts.paths.split(",") if opts.paths else ["scalar", "sse2", "avx2"]
        for build in opts.builds:
            callgrind(os.path.abspath(build), opts.corpus, size, paths, branch_sim=opts.branch_sim)
        return
    old, new = (load_build(os.path.abspath(b)) for b in opts.builds)
    paths = opts.paths.split(",") if opts.paths else list(new._paths())
    data, keys = corpus(opts.corpus, size)
    print(f"load average {os.getloadavg()[0]:.1f}; {len(data) / 1e6:.1f} MB of {opts.corpus}")
    if opts.per_call:
        omitter, small, make = per_call_run(data, keys, opts.calls)
        for path in paths:
            old._set_path(path)
            new._set_path(path)
            assert old.scan(omitter, small) == new.scan(omitter, small), path
    else:
        omitter, make = lines_run(data, keys, opts.planned)
        for path in paths:
            old._set_path(path)
            new._set_path(path)
            assert old.scan_lines(omitter, data) == new.scan_lines(omitter, data), path
    compare(old, new, make, paths, opts.pairs)
    print(f"load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
