"""velmora.scan against a floor: a C loop (cc -O2) that counts '"' bytes over
the same memory, on each vector path; one whole-buffer call against the
same bytes in 1 MiB calls; peak memory of one call; the cost of a call.

    python bench/bench_scan.py                  # 256 MiB of each corpus, 5 rounds
    python bench/bench_scan.py --size-mb 512    # as the issue measured it

Corpora (bench/corpora.py): API-log JSON Lines, and JSON Lines made of the
usual benchmark documents (canada, ctm, github, tweet). Times are the CPU
time of this process (single-threaded work; a shared machine disturbs it
less than wall time), sampled in interleaved rounds in a rotating order;
medians are reported, and ratios are taken within each round.
"""

import argparse
import ctypes
import gc
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import corpora  # noqa: E402

import velmora.scan as vscan  # noqa: E402
from velmora.omit import Omitter  # noqa: E402

COUNT_LOOP = r"""
#include <stddef.h>
#include <sys/mman.h>
size_t count_quotes(const unsigned char* p, size_t n) {
    size_t c = 0;
    for (size_t i = 0; i < n; i++) c += p[i] == '"';
    return c;
}
/* What the system charges for n bytes of fresh memory, asked for as a large
   result of velmora.scan asks for it: mapped, in huge pages where given,
   populated for writing (Linux 5.14), unmapped again. */
int fresh_memory(size_t n) {
    size_t huge = (size_t)2 << 20;
    char* p = mmap(NULL, n + huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return -1;
    char* from = (char*)(((size_t)p + huge - 1) & ~(huge - 1));
    madvise(from, n, MADV_HUGEPAGE);
    int failed = madvise(from, n, 23);
    munmap(p, n + huge);
    return failed;
}
"""


def count_loop():
    """The floor: count_quotes(pointer, length), built with cc -O2 (and
    fresh_memory(length) beside it)."""
    source = os.path.join(corpora.CACHE, "count_quotes.c")
    library = os.path.join(corpora.CACHE, "count_quotes.so")
    os.makedirs(corpora.CACHE, exist_ok=True)
    with open(source, "w") as f:
        f.write(COUNT_LOOP)
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", library, source], check=True)
    lib = ctypes.CDLL(library)
    lib.count_quotes.restype = ctypes.c_size_t
    lib.count_quotes.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    lib.fresh_memory.argtypes = [ctypes.c_size_t]
    count_loop.fresh_memory = lib.fresh_memory
    return lib.count_quotes


def pieces(data, size=1 << 20):
    """(start, stop) of pieces of about `size` bytes that end at line ends."""
    cuts, pos = [], 0
    while pos < len(data):
        # A line longer than `size` is a piece of its own.
        stop = data.rfind(b"\n", pos, pos + size) + 1 or data.find(b"\n", pos) + 1 or len(data)
        cuts.append((pos, stop))
        pos = stop
    return cuts


def cpu(run):
    gc.disable()
    try:
        start = time.process_time()
        run()
        return time.process_time() - start
    finally:
        gc.enable()


def rotated_rounds(contenders, rounds):
    """CPU seconds of each contender per round, run round robin in an order
    that rotates from round to round, so that drift in the machine's speed
    falls on all of them alike."""
    names = list(contenders)
    times = {n: [] for n in names}
    for r in range(rounds):
        for n in names[r % len(names):] + names[:r % len(names)]:
            times[n].append(cpu(contenders[n]))
    return times


def measure(name, data, keys, rounds, count):
    """MB/s of the count loop, scan_lines in 1 MiB calls and in one call, per path."""
    omitter = Omitter(keys)
    view = memoryview(data)
    cuts = pieces(data)
    base = ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value
    expected = vscan.scan_lines(omitter, data)[0]
    contenders = {"count": lambda: [count(base + a, e - a) for a, e in cuts],
                  "fresh": lambda: count_loop.fresh_memory(len(expected))}
    for path in vscan._paths():
        def chunked(path=path):
            vscan._set_path(path)
            for a, e in cuts:
                vscan.scan_lines(omitter, view[a:e])

        def whole(path=path):
            vscan._set_path(path)
            vscan.scan_lines(omitter, data)
        vscan._set_path(path)
        assert vscan.scan_lines(omitter, data)[0] == expected, path
        contenders[f"{path} 1 MiB calls"] = chunked
        contenders[f"{path} one call"] = whole
    times = rotated_rounds(contenders, rounds)
    rate = {n: len(data) / statistics.median(t) / 1e6 for n, t in times.items()}
    lines = data.count(b"\n")
    print(f"\n### {name}: {len(data) / 1e6:.0f} MB, {lines} lines, {len(cuts)} calls of about 1 MiB\n")
    print("| path | 1 MiB calls | of the count loop | one call | one call / 1 MiB calls "
          "| the same, with fresh memory |")
    print("|---|---:|---:|---:|---:|---:|")
    fresh = statistics.median(times["fresh"])
    print(f"| count loop (cc -O2) | {rate['count']:.0f} MB/s | 100% | | | |")
    for path in vscan._paths():
        c, w = times[f"{path} 1 MiB calls"], times[f"{path} one call"]
        of_count = statistics.median(k / s for k, s in zip(times["count"], c))
        whole_ratio = statistics.median(s / x for s, x in zip(w, c))
        # The 1 MiB calls reuse the same memory for every result; one call
        # needs its whole result in memory the process did not have.
        with_fresh = statistics.median((s + f) / x for s, f, x in zip(c, times["fresh"], w))
        print(f"| {path} | {rate[f'{path} 1 MiB calls']:.0f} MB/s | {of_count:.0%} | "
              f"{rate[f'{path} one call']:.0f} MB/s | {1 / whole_ratio:.2f}x the speed | {with_fresh:.2f}x |")
    print(f"\nfresh memory for the {len(expected) / 1e6:.0f} MB result (mapped, populated, unmapped): "
          f"{fresh * 1e3:.0f} ms of CPU, median; range {min(times['fresh']) * 1e3:.0f}-"
          f"{max(times['fresh']) * 1e3:.0f} ms")
    return rate


PEAK = r"""
import sys
sys.path.insert(0, {here!r})
import corpora
from velmora.omit import Omitter
from velmora.scan import scan, scan_lines

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith(field + ":"))

data, keys = corpora.api_log_document({size}) if {document} else corpora.api_log({size})
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak (VmHWM) starts again from here
before = status("VmRSS")
out = scan(Omitter(keys), data) if {document} else scan_lines(Omitter(keys), data)[0]
print(len(data), len(out), status("VmHWM") - before)
"""


def peak_memory(size, document):
    """(input, output, growth of the peak RSS during the call) in a fresh process."""
    if document:
        corpora.api_log_document(size)  # made here, so that its making is not the peak
    code = PEAK.format(here=HERE, size=size, document=document)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return [int(x) for x in proc.stdout.split()]


def per_call(rounds):
    """µs per scan() of a 1 KB document (the record nearest that size)
    against the rate of 64-record documents."""
    data, keys = corpora.api_log(64 << 20)
    omitter = Omitter(keys)
    lines = data[:8 << 20].split(b"\n")[:-1]
    small = min(lines, key=lambda line: abs(len(line) - 1024))
    big = b"[" + b",".join(lines[:64]) + b"]"
    calls = 20_000
    t_small, t_big = [], []
    for _ in range(rounds):
        t_small.append(cpu(lambda: [vscan.scan(omitter, small) for _ in range(calls)]) / calls)
        t_big.append(cpu(lambda: [vscan.scan(omitter, big) for _ in range(calls // 64)]) / (calls // 64))
    per_byte = statistics.median(t_big) / len(big)
    one = statistics.median(t_small)
    print(f"\nper call: a {len(small)}-byte document takes {one * 1e6:.2f} us; its bytes cost "
          f"{per_byte * len(small) * 1e6:.2f} us at the rate of {len(big) // 1000} KB documents; "
          f"the call costs {(one - per_byte * len(small)) * 1e6:.2f} us above its bytes")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=256)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--peak-mb", type=int, nargs="*", default=[200, 500])
    args = parser.parse_args()
    count = count_loop()
    print(f"paths on this machine: {', '.join(vscan._paths())}; load average {os.getloadavg()[0]:.1f}")
    api, keys = corpora.api_log(args.size_mb << 20)
    measure("API-log JSON Lines", api, keys, args.rounds, count)
    del api
    docs, keys = corpora.documents_as_lines(args.size_mb << 20)
    measure("documents as JSON Lines (canada, ctm, github, tweet)", docs, keys, args.rounds, count)
    del docs
    per_call(args.rounds)
    print("\npeak RSS of one call on API-log data, above what the process held before it:\n")
    print("| call | input | output | peak growth | beyond the output |")
    print("|---|---:|---:|---:|---:|")
    for size in args.peak_mb:
        for document in (False, True):
            n, out, grown = peak_memory(size << 20, document)
            print(f"| {'scan (one array)' if document else 'scan_lines'} | {n / 2**20:.0f} MiB | "
                  f"{out / 2**20:.0f} MiB | {grown / 2**20:.0f} MiB | {(grown - out) / 2**20:+.0f} MiB |")
    print(f"\nload average at the end {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
