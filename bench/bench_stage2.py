"""A validating stage 2 over a structural index: the probe in
bench/stage2_probe.cpp (stage 1 indexes the text by 64-byte blocks; stage 2
walks the index checking grammar, escapes, scalars and UTF-8 while it masks)
against velmora.scan.scan_lines, pysimdjson's parse of the same lines and a
cc -O2 loop counting quotes.

    python bench/bench_stage2.py --check-only        # differential check only
    python bench/bench_stage2.py --size-mb 64 --rounds 5
    python bench/bench_stage2.py --callgrind --size-mb 8

First, always, a differential check: on the corpora of bench/corpora.py and
on generated JSON (every spelling: escapes, surrogates, numbers, NaN and
Infinity, white space, byte order marks) and byte mutations of it, the
probe's output must equal velmora.scan's byte for byte, and it must say "bad"
exactly where velmora.scan raises ScanError (documents) or for exactly the
lines scan_lines(skip_invalid=True) reports. Any disagreement is printed and
the script exits with status 1 before timing anything.
"""

import argparse
import ctypes
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import corpora  # noqa: E402
from bench_scan import count_loop, pieces, rotated_rounds  # noqa: E402

SOURCE = os.path.join(HERE, "stage2_probe.cpp")
PATHS = {"avx2": 0, "sse2": 1}
FLAGS = ["-std=c++20", "-O2", "-mavx2", "-mpclmul", "-mbmi", "-mbmi2", "-mpopcnt", "-shared", "-fPIC"]


def build(debug=False):
    """The probe as a ctypes library, built under a name of this process's
    own and removed once loaded; with `debug`, built with -g and kept (a
    profiler reads its symbols from the file), as bench/.cache/stage2_probe.so."""
    library = os.path.join(corpora.CACHE, "stage2_probe.so" if debug else f"stage2_probe-{os.getpid()}.so")
    os.makedirs(corpora.CACHE, exist_ok=True)
    subprocess.run(["g++", *FLAGS, *(["-g"] if debug else []), "-o", library, SOURCE], check=True)
    try:
        lib = ctypes.CDLL(library)
    finally:
        if not debug:
            os.unlink(library)
    lib.probe_new.restype = ctypes.c_void_p
    lib.probe_new.argtypes = [ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(ctypes.c_size_t), ctypes.c_int]
    lib.probe_free.argtypes = [ctypes.c_void_p]
    lib.probe_run.restype = ctypes.c_longlong
    lib.probe_run.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                              ctypes.c_size_t, ctypes.c_void_p, ctypes.POINTER(ctypes.c_size_t),
                              ctypes.POINTER(ctypes.c_uint), ctypes.c_size_t]
    return lib


def address(data):
    return ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value


class Probe:
    """The probe with its hidden keys and a reused output buffer."""

    def __init__(self, lib, keys, chunk=64 << 10):
        raw = [k.encode() for k in keys]
        self.lib, self.chunk = lib, chunk
        self.handle = lib.probe_new((ctypes.c_char_p * len(raw))(*raw),
                                    (ctypes.c_size_t * len(raw))(*map(len, raw)), len(raw))
        self.length = ctypes.c_size_t()
        self.out = ctypes.create_string_buffer(1)
        self.bad = (ctypes.c_uint * 4096)()

    def __del__(self):
        if getattr(self, "handle", None):
            self.lib.probe_free(self.handle)

    def room(self, n):
        if len(self.out) < n + 1:
            self.out = ctypes.create_string_buffer(n + 1)
        return self.out

    def raw(self, base, n, lines, path="avx2", chunk=None):
        """The call itself, on memory at `base`: what probe_run returns. lines:
        0 a document, 1 JSON Lines, 3 stage 1 alone over lines (its entries)."""
        return self.lib.probe_run(self.handle, base, n, PATHS[path], int(lines), chunk or self.chunk,
                                  self.room(n), ctypes.byref(self.length), self.bad, len(self.bad))

    def document(self, data, path="avx2", chunk=None):
        """The masked document, or None when the probe says it is bad."""
        found = self.raw(address(data), len(data), False, path, chunk)
        if found == -1:
            return None
        assert found == 0, found
        return self.out.raw[:self.length.value]

    def lines(self, data, path="avx2", chunk=None):
        """(masked lines without the bad ones, 1-based numbers of the bad lines)."""
        found = self.raw(address(data), len(data), True, path, chunk)
        assert 0 <= found <= len(self.bad), found
        return self.out.raw[:self.length.value], list(self.bad[:found])


# ---- Generated JSON in every spelling -----------------------------------------------

ALPHABET = "abcxyz019 _-/é東🙂\"\\\b\f\n\r\t\x00\x1f\x7f\u2028\ufeff"
SHORT = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t", "/": "\\/"}
NUMBERS = ["0", "-0", "1", "-12", "3.5", "0.25", "1e5", "1E+5", "2e-3", "-0.0E-0", "123456789012345678901234567890",
           "1.5e308", "1e400", "NaN", "Infinity", "-Infinity", "9" * 50]


def spell_char(rng, ch):
    """One character as JSON may write it inside a string."""
    code = ord(ch)
    must = ch in '"\\' or code < 0x20
    r = rng.random()
    if not must and r < 0.8:
        return ch
    if ch in SHORT and r < 0.9:
        return SHORT[ch]
    hexes = (lambda v: f"\\u{v:04x}") if rng.random() < 0.5 else (lambda v: f"\\u{v:04X}")
    if code >= 0x10000:
        v = code - 0x10000
        return hexes(0xD800 + (v >> 10)) + hexes(0xDC00 + (v & 0x3FF))
    return hexes(code)


def spell_string(rng, text):
    body = "".join(spell_char(rng, c) for c in text)
    if rng.random() < 0.1:  # a lone surrogate, which Python's json accepts
        body += rng.choice(["\\ud800", "\\uDBFF", "\\udc00", "\\uDFFF", "\\ud83d x"])
    return '"' + body + '"'


def word(rng, keys):
    r = rng.random()
    if r < 0.4 and keys:
        key = rng.choice(keys)
        return key.upper() if rng.random() < 0.1 else key
    return "".join(rng.choice(ALPHABET) for _ in range(rng.randint(0, 12)))


def space(rng, newlines):
    if rng.random() < 0.7:
        return ""
    return "".join(rng.choice(" \t\r\n" if newlines else " \t\r") for _ in range(rng.randint(1, 3)))


def spell_value(rng, keys, depth, newlines):
    """A random JSON value as text, in a random but valid spelling."""
    def w():
        return space(rng, newlines)

    r = rng.random()
    if depth > 5 or r < 0.4:
        r = rng.random()
        if r < 0.5:
            return spell_string(rng, word(rng, keys))
        if r < 0.8:
            return rng.choice(NUMBERS)
        return rng.choice(["true", "false", "null"])
    if r < 0.7:
        items = [spell_value(rng, keys, depth + 1, newlines) for _ in range(rng.randint(0, 5))]
        return "[" + w() + ("," + w()).join(i + w() for i in items) + "]"
    members = [spell_string(rng, word(rng, keys)) + w() + ":" + w() + spell_value(rng, keys, depth + 1, newlines)
               for _ in range(rng.randint(0, 5))]
    return "{" + w() + ("," + w()).join(m + w() for m in members) + "}"


def document(rng, keys, newlines=True):
    text = space(rng, newlines) + spell_value(rng, keys, 0, newlines) + space(rng, newlines)
    data = text.encode("utf-8", "surrogatepass")
    return (b"\xef\xbb\xbf" if rng.random() < 0.05 else b"") + data


def lines_text(rng, keys):
    lines = []
    for _ in range(rng.randint(1, 8)):
        r = rng.random()
        line = b"" if r < 0.1 else b" \t" if r < 0.15 else document(rng, keys, newlines=False)
        lines.append(line + (b"\r" if rng.random() < 0.1 else b""))
    return b"\n".join(lines) + (b"\n" if rng.random() < 0.5 else b"")


INTERESTING = b'"\\{}[],:\n\r\t 0123456789-+.eEnulltruefalseNI\x00\x1f\x7f\x80\xbf\xc0\xc3\xe0\xed\xef\xf0\xf4\xf5\xff'


def mutate(rng, data):
    """A few byte edits: replace, insert, delete, duplicate a span, cut."""
    data = bytearray(data)
    for _ in range(rng.randint(1, 3)):
        at = rng.randint(0, len(data))
        r = rng.random()
        if r < 0.35 and at < len(data):
            data[at] = rng.choice(INTERESTING) if rng.random() < 0.8 else rng.randrange(256)
        elif r < 0.6:
            data[at:at] = bytes([rng.choice(INTERESTING)])
        elif r < 0.8 and at < len(data):
            del data[at]
        elif r < 0.95:
            end = min(len(data), at + rng.randint(1, 8))
            data[at:at] = data[at:end]
        else:
            del data[at:]
    return bytes(data)


# Texts the generator seldom makes: deep nesting, strings longer than a
# stage 1 pass with escapes throughout, blank and near-blank texts, lines
# that end inside a string.
EDGES = [
    b"", b" ", b"\xef\xbb\xbf", b"\xef\xbb\xbf\xef\xbb\xbf1", b"\xef\xbb\xbf1", b" \xef\xbb\xbf1", b"\n\n", b"\r\n",
    b"[" * 10000 + b"]" * 10000, b"[" * 10000 + b"]" * 9999,
    b'{"a":' * 5000 + b'{"password":["x",[[["\\u00e9\xc3\xa9"]]]]}' + b"}" * 5000,
    b'{"password":"' + b'a\\"\\\\\xe6\x9d\xb1' * 40000 + b'"}',
    b'{"password":"' + b'\\ud83d\\ude00' * 30000 + b'\\ud83d"}',
    b'["' + b"x" * 200000 + b'"]', b'["' + b"x" * 200000,
    b'"a\nb"\n"c"\n', b'"a\n"b"\n"c"', b'{"password":"a\\\n"}\n{"password":"b"}', b'1\\\n"x"',
    b"1 2", b"-", b"01", b"1.", b".5", b"1e", b"1e+", b"-Infinity", b"-NaN", b"infinity", b"nul", b"truex",
    b'"\\u12"', b'"\\u12G4"', b'"\\x"', b'"\x7f"', b'"\xed\xa0\x80"', b'"\xf4\x90\x80\x80"', b'"\xc0\xaf"',
    b'{"a" : 1 , "b" :[ ] , "c":{ } }', b"[1,]", b"[,1]", b'{"a":1,}', b'{"a"}', b"{1:2}", b"[1}", b"{]",
]


# ---- The differential check ---------------------------------------------------------

class Check:
    """Counts the cases; keeps the first few disagreements."""

    VARIANTS = (("avx2", None), ("sse2", None), ("avx2", 64), ("sse2", 128))

    def __init__(self, lib):
        self.lib, self.cases, self.bad_cases, self.failures, self.disagreements = lib, 0, 0, [], 0

    def fail(self, what, data, got, expected):
        self.disagreements += 1
        if len(self.failures) < 10:
            self.failures.append(f"{what}: {data[:300]!r}\n    probe:   {got!r:.300}\n    velmora: {expected!r:.300}")

    def document(self, vscan, omitter, probe, data, variants=None):
        try:
            expected = vscan.scan(omitter, data)
        except vscan.ScanError:
            expected = None
        self.cases += 1
        self.bad_cases += expected is None
        for path, chunk in variants or self.VARIANTS:
            got = probe.document(data, path, chunk)
            if got != expected:
                self.fail(f"document, {path}, chunk {chunk}", data, got, expected)

    def lines(self, vscan, omitter, probe, data, variants=None):
        out, errors, _ = vscan.scan_lines(omitter, data, skip_invalid=True)
        expected = (out, [e.lineno for e in errors])
        self.cases += 1
        self.bad_cases += bool(errors)
        for path, chunk in variants or self.VARIANTS:
            got = probe.lines(data, path, chunk)
            if got != expected:
                self.fail(f"lines, {path}, chunk {chunk}", data, got, expected)


def check(lib, size_mb, generated, seed):
    import velmora.scan as vscan
    from velmora.omit import Omitter

    c = Check(lib)
    big = [("avx2", None), ("sse2", None), ("avx2", 4096)]
    api, api_keys = corpora.api_log(size_mb << 20)
    c.lines(vscan, Omitter(api_keys), Probe(lib, api_keys), api, big)
    docs, doc_keys = corpora.documents_as_lines(size_mb << 20)
    c.lines(vscan, Omitter(doc_keys), Probe(lib, doc_keys), docs, big)
    for name, text in corpora.documents().items():
        keys = corpora.DOCUMENT_KEYS[name]
        c.document(vscan, Omitter(keys), Probe(lib, keys), text, big)
        c.lines(vscan, Omitter(keys), Probe(lib, keys), json.dumps(json.loads(text)).encode() + b"\n", big)
    corpus_cases = c.cases
    omitter, probe = Omitter(["password"]), Probe(lib, ["password"])
    for data in EDGES:
        c.document(vscan, omitter, probe, data)
        c.lines(vscan, omitter, probe, data)
    rng = random.Random(seed)
    key_sets = [["password", "token"], ["secret", "é", "東京", "a"], ["x"]]
    probes = [(Omitter(k), Probe(lib, k), k) for k in key_sets]
    for n in range(generated):
        omitter, probe, keys = probes[n % len(probes)]
        data = document(rng, keys)
        c.document(vscan, omitter, probe, data)
        c.document(vscan, omitter, probe, mutate(rng, data))
        text = lines_text(rng, keys)
        c.lines(vscan, omitter, probe, text)
        c.lines(vscan, omitter, probe, mutate(rng, text))
    print(f"differential check: {c.cases} cases ({corpus_cases} from the corpora, {c.bad_cases} with faults), "
          f"each on {len(Check.VARIANTS)} path/chunk variants; {c.disagreements} disagreements")
    for f in c.failures:
        print("  " + f)
    return not c.failures


# ---- Timing -------------------------------------------------------------------------

def measure(name, data, keys, rounds, count, lib):
    import simdjson

    import velmora.scan as vscan
    from velmora.omit import Omitter

    omitter = Omitter(keys)
    probe = Probe(lib, keys)
    view = memoryview(data)
    cuts = pieces(data)
    base = address(data)
    out = bytearray(max(e - a for a, e in cuts) + 64)
    parser = simdjson.Parser()
    lines = [bytes(line) for line in data.splitlines()]

    def parse():
        for line in lines:
            parser.parse(line)

    contenders = {"count loop (cc -O2)": lambda: [count(base + a, e - a) for a, e in cuts]}
    for path in PATHS:
        contenders[f"probe, {path}"] = lambda p=path: [probe.raw(base + a, e - a, True, p) for a, e in cuts]
        contenders[f"probe stage 1 alone, {path}"] = lambda p=path: [probe.raw(base + a, e - a, 3, p) for a, e in cuts]
    for path in vscan._paths():
        def scan(path=path):
            vscan._set_path(path)
            for a, e in cuts:
                vscan.scan_lines(omitter, view[a:e])

        def into(path=path):
            vscan._set_path(path)
            for a, e in cuts:
                vscan._scan_lines_into(omitter, view[a:e], out)
        contenders[f"velmora.scan.scan_lines, {path}"] = scan
        contenders[f"velmora.scan._scan_lines_into, {path}"] = into
    contenders["pysimdjson parse per line"] = parse
    times = rotated_rounds(contenders, rounds)
    print(f"\n### {name}: {len(data) / 1e6:.0f} MB, {len(cuts)} calls of about 1 MiB, {rounds} rounds\n")
    print("| contender | MB/s | / count loop | / pysimdjson | / scan_lines avx2 |")
    print("|---|---:|---:|---:|---:|")
    refs = [times["count loop (cc -O2)"], times["pysimdjson parse per line"], times["velmora.scan.scan_lines, avx2"]]
    for n, t in times.items():
        rate = len(data) / statistics.median(t) / 1e6
        ratios = [statistics.median(r / x for r, x in zip(ref, t)) for ref in refs]
        print(f"| {n} | {rate:.0f} | " + " | ".join(f"{x:.2f}x" for x in ratios) + " |")


# ---- Instruction counts -------------------------------------------------------------

CALLGRIND_CHILD = r"""
import ctypes, sys
sys.path.insert(0, {here!r})
import bench_stage2 as b
import velmora.scan as vscan
from velmora.omit import Omitter
data = open({path!r}, "rb").read()
keys = {keys!r}
if {which!r} == "probe":
    lib = b.build(debug=True)
    probe = b.Probe(lib, keys)
    for a, e in b.pieces(data):
        probe.raw(b.address(data) + a, e - a, True)
else:
    vscan._set_path("avx2")
    omitter, view = Omitter(keys), memoryview(data)
    out = bytearray(1 << 22)
    for a, e in b.pieces(data):
        vscan._scan_lines_into(omitter, view[a:e], out)
"""


def instructions(which, path, keys):
    """Instructions callgrind counts inside the probe's or the scanner's
    calls: the largest inclusive count of a function of that library (the
    scanner's library has no symbols to name, so callgrind's toggles by
    name cannot be used)."""
    # The probe's entry point is listed by its source file and address only.
    library = "stage2_probe." if which == "probe" else "velmora/scan."
    with tempfile.TemporaryDirectory() as folder:
        script = os.path.join(folder, "child.py")
        with open(script, "w") as f:
            f.write(CALLGRIND_CHILD.format(here=HERE, path=path, keys=keys, which=which))
        report = os.path.join(folder, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={report}", sys.executable, script],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        listing = subprocess.run(["callgrind_annotate", "--inclusive=yes", report], check=True,
                                 capture_output=True, text=True).stdout
    counts = [int(line.split()[0].replace(",", "")) for line in listing.splitlines()
              if library in line and line.strip()[:1].isdigit()]
    if not counts:
        raise RuntimeError(f"callgrind's report names nothing in {library}")
    return max(counts)


def callgrind(size_mb):
    for name, (data, keys) in {"API-log lines": corpora.api_log(size_mb << 20),
                               "documents as lines": corpora.documents_as_lines(size_mb << 20)}.items():
        with tempfile.NamedTemporaryFile(suffix=".jsonl") as f:
            f.write(data)
            f.flush()
            counts = {w: instructions(w, f.name, keys) for w in ("probe", "velmora")}
        mb = len(data) / 1e6
        print(f"- {name} ({mb:.0f} MB): probe {counts['probe'] / mb / 1e6:.2f} M instructions/MB, "
              f"velmora.scan (avx2) {counts['velmora'] / mb / 1e6:.2f} M/MB, "
              f"ratio {counts['velmora'] / counts['probe']:.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=64)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--check-mb", type=int, default=4, help="corpus size for the differential check")
    parser.add_argument("--generated", type=int, default=3000, help="generated texts (each also mutated)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--check-only", action="store_true")
    parser.add_argument("--callgrind", action="store_true", help="instruction counts instead of timing")
    args = parser.parse_args()
    lib = build()
    if not check(lib, args.check_mb, args.generated, args.seed):
        sys.exit(1)
    if args.check_only:
        return
    if args.callgrind:
        callgrind(args.size_mb)
        return
    count = count_loop()
    print(f"load average {os.getloadavg()[0]:.1f}")
    api, api_keys = corpora.api_log(args.size_mb << 20)
    measure("API-log JSON Lines", api, api_keys, args.rounds, count, lib)
    del api
    docs, doc_keys = corpora.documents_as_lines(args.size_mb << 20)
    measure("documents as JSON Lines (canada, ctm, github, tweet)", docs, doc_keys, args.rounds, count, lib)
    print(f"\nload average at the end {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
