"""What a structural index of JSON text would cost on this machine: the
probe in bench/stage1_probe.cpp (stage 1: bitmasks per 64-byte block and
the positions of structural characters and quotes; stage 2: keys looked up,
hidden string values masked, over those positions only) against the count
loop of bench_scan.py and velmora.scan.scan_lines, in 1 MiB calls over the
same memory, in interleaved rounds.

    python bench/bench_stage1.py                 # 256 MiB of each corpus, 5 rounds
    python bench/bench_stage1.py --size-mb 64 --rounds 3

The probe is built here with g++ -O2 (AVX2, PCLMUL, BMI2 allowed). It checks
no grammar and no UTF-8: it does less work than velmora.scan, which does.
Before timing, its masked output is compared with scan_lines' on each corpus.
"""

import argparse
import ctypes
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import corpora  # noqa: E402
from bench_scan import count_loop, pieces, rotated_rounds  # noqa: E402

from bench import HIDDEN  # noqa: E402

PATHS = {"avx2": 0, "sse2": 1, "avx512": 2}


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            return f.read()
    except OSError:
        return ""


STAGE1, COUNT, WRITE, CLASSES = range(4)
MASKS_ONLY = STAGE1 | 8  # stage 1 without writing the index: its masks and carries
# The lean index leaves ',' and ':' out; stage 2 tells a key by the byte
# after its closing quote.
VARIANTS = {"avx2": ("avx2", False), "avx2 lean": ("avx2", True), "sse2": ("sse2", False),
            "sse2 lean": ("sse2", True)}
if " avx512bw " in cpu_flags():
    VARIANTS.update({"avx512": ("avx512", False), "avx512 lean": ("avx512", True)})
SOURCE = os.path.join(HERE, "stage1_probe.cpp")


def build():
    """The probe as a ctypes library, built into bench/.cache under a name of
    this process's own (a build by another process cannot rewrite a library
    this one has loaded), removed once loaded."""
    library = os.path.join(corpora.CACHE, f"stage1_probe-{os.getpid()}.so")
    os.makedirs(corpora.CACHE, exist_ok=True)
    subprocess.run(["g++", "-std=c++20", "-O2", "-mavx2", "-mpclmul", "-mbmi", "-mbmi2", "-mpopcnt", "-shared",
                    "-fPIC", "-o", library, SOURCE], check=True)
    try:
        lib = ctypes.CDLL(library)
    finally:
        os.unlink(library)
    lib.probe_new.restype = ctypes.c_void_p
    lib.probe_new.argtypes = [ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(ctypes.c_size_t), ctypes.c_int]
    lib.probe_free.argtypes = [ctypes.c_void_p]
    lib.probe_run.restype = ctypes.c_longlong
    lib.probe_run.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                              ctypes.c_size_t, ctypes.c_void_p, ctypes.POINTER(ctypes.c_size_t), ctypes.c_void_p]
    lib.probe_masked_escaped.restype = ctypes.c_ulonglong
    lib.probe_masked_escaped.argtypes = [ctypes.c_void_p]
    lib.probe_entries.restype = ctypes.c_ulonglong
    lib.probe_entries.argtypes = [ctypes.c_void_p]
    return lib


class Probe:
    """One probe with its hidden keys; calls take the address of the text."""

    def __init__(self, lib, keys, chunk=64 << 10):
        raw = [k.encode() for k in keys]
        self.lib, self.chunk = lib, chunk
        self.handle = lib.probe_new((ctypes.c_char_p * len(raw))(*raw),
                                    (ctypes.c_size_t * len(raw))(*map(len, raw)), len(raw))
        if not self.handle:
            raise ValueError("a key the probe's table cannot hold")
        self.length = ctypes.c_size_t()

    def __del__(self):
        if getattr(self, "handle", None):
            self.lib.probe_free(self.handle)

    def run(self, address, n, variant="avx2", mode=COUNT, out=None, aux=None):
        path, lean = VARIANTS[variant]
        return self.lib.probe_run(self.handle, address, n, PATHS[path], mode | (4 if lean else 0), self.chunk, out,
                                  ctypes.byref(self.length), aux)

    def masked(self, data, variant="avx2"):
        """(masked text, masked strings, masked strings with escapes) of `data` (bytes)."""
        out = ctypes.create_string_buffer(len(data) + 1)
        found = self.run(address(data), len(data), variant, WRITE, out)
        if found < 0:
            raise ValueError(f"the probe refused the text ({found})")
        return out.raw[:self.length.value], found, self.lib.probe_masked_escaped(self.handle)

    def in_string(self, data, variant="avx2"):
        """The in-string flag of every byte: 1 from a string's opening quote
        to the byte before its closing one (stage 1 alone)."""
        aux = ctypes.create_string_buffer(len(data) + 1)
        self.run(address(data), len(data), variant, STAGE1, None, aux)
        return aux.raw[:len(data)]

    def classes(self, data, variant="avx2"):
        """The class of every string in order: 0 value, 1 key, 2 hidden value,
        3 hidden key; None when the probe refuses the text."""
        aux = ctypes.create_string_buffer(len(data) + 1)
        if self.run(address(data), len(data), variant, CLASSES, None, aux) < 0:
            return None
        return list(aux.raw[:self.length.value])


def address(data):
    return ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value


def agree(name, data, probe, omitter, vscan):
    """The probe's masked text against scan_lines'; prints what differs."""
    expected = vscan.scan_lines(omitter, data)[0]
    for variant in VARIANTS:
        mine, found, escaped = probe.masked(data, variant)
        same = mine == expected
        print(f"{name}, {variant}: {found} strings masked ({escaped} with escapes); output "
              f"{'byte-identical to' if same else 'DIFFERENT from'} scan_lines'")
        if not same:
            at = next((k for k, (a, b) in enumerate(zip(mine, expected)) if a != b), min(len(mine), len(expected)))
            print(f"  first difference at byte {at}: {mine[at - 40:at + 40]!r} / {expected[at - 40:at + 40]!r}")
    counted = sum(probe.run(address(data) + a, e - a, "avx2", COUNT) for a, e in pieces(data))
    stars = expected.count(b'"*')  # scan_lines' masked strings (the corpora hold no '"*' of their own)
    print(f"  in 1 MiB calls the probe counts {counted} masked strings; scan_lines' output opens {stars} "
          f"strings with '*'")


def measure(name, data, rounds, count, lib, with_simdjson, chunk=64 << 10):
    import velmora.scan as vscan
    from velmora.omit import Omitter

    omitter = Omitter(HIDDEN)
    probe = Probe(lib, HIDDEN, chunk)
    agree(name, data, probe, omitter, vscan)
    view = memoryview(data)
    cuts = pieces(data)
    base = address(data)
    out = ctypes.create_string_buffer(max(e - a for a, e in cuts) + 64)
    contenders = {"count loop (cc -O2)": lambda: [count(base + a, e - a) for a, e in cuts]}
    for variant in VARIANTS:
        for mode, what in ((MASKS_ONLY, "stage 1 without the index"), (STAGE1, "stage 1"),
                           (COUNT, "stages 1+2 counting"), (WRITE, "stages 1+2 writing")):
            contenders[f"{what}, {variant}"] = lambda v=variant, m=mode: [probe.run(base + a, e - a, v, m, out)
                                                                          for a, e in cuts]
    for path in vscan._paths():
        def scan(path=path):
            vscan._set_path(path)
            for a, e in cuts:
                vscan.scan_lines(omitter, view[a:e])
        contenders[f"velmora.scan.scan_lines, {path}"] = scan
    if with_simdjson:
        import simdjson
        parser = simdjson.Parser()
        lines = [bytes(line) for line in data.splitlines()]

        def parse():
            for line in lines:
                parser.parse(line)
        contenders["pysimdjson parse per line"] = parse
    names = list(contenders)
    times = rotated_rounds(contenders, rounds)
    floor = times["count loop (cc -O2)"]
    print(f"\n### {name}: {len(data) / 1e6:.0f} MB, {len(cuts)} calls of about 1 MiB, {rounds} rounds\n")
    print("| contender | MB/s | of the count loop (median of per-round ratios) |")
    print("|---|---:|---:|")
    for n in names:
        rate = len(data) / statistics.median(times[n]) / 1e6
        share = statistics.median(f / t for f, t in zip(floor, times[n]))
        print(f"| {n} | {rate:.0f} | {share:.0%} |")
    print()
    for variant in VARIANTS:
        s1, s12 = times[f"stage 1, {variant}"], times[f"stages 1+2 writing, {variant}"]
        entries = sum(probe.run(base + a, e - a, variant, STAGE1) for a, e in cuts)
        print(f"- {variant}: stage 1 takes {statistics.median(a / b for a, b in zip(s1, s12)):.0%} of the time of "
              f"stages 1+2 writing; {entries / len(data):.3f} index entries per byte")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=256)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--no-documents", action="store_true", help="the API-log corpus only")
    parser.add_argument("--chunk-kb", type=int, default=64, help="text per stage 1 pass before stage 2 reads it")
    args = parser.parse_args()
    count = count_loop()
    lib = build()
    try:
        import simdjson  # noqa: F401
        with_simdjson = True
    except ImportError:
        with_simdjson = False
    import velmora.scan as vscan
    print(f"paths: {', '.join(vscan._paths())}; hidden keys: {len(HIDDEN)} (bench.HIDDEN); "
          f"stage 1 passes of {args.chunk_kb} KiB; "
          f"load average {os.getloadavg()[0]:.1f}")
    api, _ = corpora.api_log(args.size_mb << 20)
    measure("API-log JSON Lines", api, args.rounds, count, lib, with_simdjson, args.chunk_kb << 10)
    del api
    if not args.no_documents:
        docs, _ = corpora.documents_as_lines(args.size_mb << 20)
        measure("documents as JSON Lines (canada, ctm, github, tweet)", docs, args.rounds, count, lib,
                with_simdjson, args.chunk_kb << 10)
    print(f"\nload average at the end {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
