"""Benchmark of the command line on JSON Lines: ``velmora --lines`` against
the plain Python pipeline (json.loads + a Python walk + json.dumps per line).

    python bench/bench_cli.py                 # 512 MiB file, 3 rounds
    python bench/bench_cli.py --size-mb 64    # a smaller file
    python bench/bench_cli.py --keep          # keep the generated file (printed)

The file is generated into a temporary directory (API-log records: nested
request/response objects, lists, unicode, escapes, numbers in every form)
and deleted at the end. In each round, in this order: the Python pipeline
over a fixed slice of the file (in this process), then ``velmora --lines``
over the whole file with ``--jobs 1`` and ``--jobs 2`` (output to
/dev/null); medians of the rounds are reported, and the ratio of
``--jobs 1`` to Python from the same rounds. Peak RSS comes from
``/usr/bin/time -v`` on the whole file and on a quarter of it. Last, on
the first 128 MiB held in memory, scan_lines over 1 MiB chunks in one
thread, two threads and two worker processes (the omitter pickled once,
chunks and results pickled both ways), interleaved: whether worker
processes would still win.
"""

import argparse
import json
import pickle
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import python_walker  # noqa: E402

HIDDEN = ["password", "token", "authorization", "cookie", "email", "phone", "card_number", "ssn", "api_key",
          "secret"]
WORDS = ["alpha", "bravo", "café", "Gdańsk", "naïve", "Zürich", "東京", "данные", "ñandú", "smörgåsbord", "ok",
         "résumé", "🙂", "déjà vu", "Łódź"]
PATHS = ["/v1/users", "/v1/orders/{id}", "/v2/search", "/v1/login", "/health", "/v1/payments"]


def _word(rng):
    return rng.choice(WORDS) if rng.random() < 0.3 else "".join(rng.choices("abcdefghijklmnopqrstuvwxyz", k=rng.randint(3, 10)))


def make_record(rng, i):
    """One API-log record: 81 values (dict values and list items), 10 of its 55 keys hidden."""
    user = {"id": rng.randint(1, 10**6), "name": f"{_word(rng).title()} {_word(rng).title()}",
            "email": f"{_word(rng)}@example.com", "phone": f"+1-555-{rng.randint(1000000, 9999999)}",
            "roles": rng.sample(["admin", "billing", "support", "viewer"], 2),
            "address": {"street": f"{rng.randint(1, 999)} {_word(rng)} St", "city": rng.choice(WORDS),
                        "zip": f"{rng.randint(10000, 99999)}"}}
    return {
        "ts": f"2024-05-{rng.randint(1, 28):02d}T{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:00Z",
        "level": rng.choice(["info", "warn", "error"]), "seq": i, "latency_ms": round(rng.random() * 900, 3),
        "ratio": rng.choice([1e-7, 2.5e10, 0.5, -3.25, 1e300]),
        "request": {
            "method": rng.choice(["GET", "POST", "PUT"]), "path": rng.choice(PATHS),
            "query": {"q": _word(rng), "page": rng.randint(1, 50), "tags": [_word(rng) for _ in range(3)]},
            "headers": {"authorization": "Bearer " + "".join(rng.choices("ABCDEFabcdef0123456789", k=40)),
                        "cookie": f"sid={rng.getrandbits(64):x}", "user-agent": "curl/8.5.0",
                        "accept": "application/json", "x-request-id": f"{rng.getrandbits(96):x}"},
            "body": {"password": "".join(rng.choices("abcdefXYZ0123!#", k=rng.randint(8, 20))),
                     "card_number": "".join(rng.choices("0123456789", k=16)), "note": " ".join(_word(rng) for _ in range(4))},
        },
        "response": {"status": rng.choice([200, 201, 400, 404, 500]), "bytes": rng.randint(0, 10**6),
                     "token": "".join(rng.choices("abcdef0123456789", k=32)),
                     "items": [{"id": rng.randint(1, 10**9), "label": _word(rng), "price": round(rng.random() * 100, 2),
                                "ssn": f"{rng.randint(100, 999)}-{rng.randint(10, 99)}-{rng.randint(1000, 9999)}"}
                               for _ in range(3)]},
        "user": user,
        "client": {"ip": f"10.{rng.randint(0, 255)}.{rng.randint(0, 255)}.{rng.randint(0, 255)}",
                   "api_key": "".join(rng.choices("ABCDEFGHIJKLMNOP", k=24)), "secret": None,
                   "geo": {"lat": rng.uniform(-90, 90), "lon": rng.uniform(-180, 180), "country": rng.choice(WORDS)}},
        "flags": [rng.random() < 0.5 for _ in range(4)],
        "trace": {"span": f"{rng.getrandbits(64):016x}", "parent": None, "sampled": True,
                  "events": [{"name": _word(rng), "t": rng.randint(0, 10**6)} for _ in range(2)]},
    }


def generate(path, size_bytes, seed=20240502):
    """Write JSON Lines of about `size_bytes` to `path`: a block of distinct
    records, repeated (with fresh sequence numbers) until the size is reached.
    A few lines are written with ASCII escapes (\\u00e9, \\/) as other
    producers write them. Returns (bytes, lines)."""
    rng = random.Random(seed)
    block = []
    for i in range(2000):
        text = json.dumps(make_record(rng, i), ensure_ascii=i % 5 == 0, separators=(",", ":") if i % 2 else None)
        if i % 7 == 0:
            text = text.replace('"/v', '"\\/v')
        block.append(text.encode("utf-8") + (b"\r\n" if i % 50 == 0 else b"\n"))
    written = lines = 0
    with open(path, "wb") as f:
        while written < size_bytes:
            for raw in block:
                f.write(raw)
                written += len(raw)
                lines += 1
                if written >= size_bytes:
                    break
    return written, lines


def python_pipeline(path, limit, keys):
    """The plain pipeline over the first `limit` bytes: seconds and bytes read."""
    omit, omit_recurse = python_walker(keys)
    done = 0
    start = time.perf_counter()
    with open(path, "rb") as f, open(os.devnull, "wb") as out:
        for raw in f:
            value = json.loads(raw)
            value = omit(value) if type(value) is dict else omit_recurse(value, False) if type(value) is list else value
            out.write(json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode("utf-8") + b"\n")
            done += len(raw)
            if done >= limit:
                break
    return time.perf_counter() - start, done


def velmora_command(path, jobs, keys):
    hides = [arg for key in keys for arg in ("--hide", key)]
    return [sys.executable, "-m", "velmora", "--lines", "--quiet", "--jobs", str(jobs), *hides, "-o", os.devnull, path]


def run_velmora(path, jobs, keys):
    start = time.perf_counter()
    subprocess.run(velmora_command(path, jobs, keys), check=True)
    return time.perf_counter() - start


def peak_rss_kb(path, keys):
    proc = subprocess.run(["/usr/bin/time", "-v", *velmora_command(path, 1, keys)], capture_output=True, text=True,
                          check=True)
    for line in proc.stderr.splitlines():
        if "Maximum resident set size" in line:
            return int(line.rsplit(":", 1)[1])
    raise RuntimeError("no peak RSS in /usr/bin/time -v output")


_pool_omitter = None


def _pool_init(blob):
    global _pool_omitter
    _pool_omitter = pickle.loads(blob)


def _pool_scan(chunk):
    from velmora.scan import scan_lines
    return scan_lines(_pool_omitter, chunk)[0]


def compare_pools(path, keys, rounds):
    """MB/s of scan_lines over 1 MiB chunks: one thread, two threads, two
    processes (medians of interleaved rounds)."""
    from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

    from velmora.omit import Omitter
    from velmora.scan import scan_lines
    with open(path, "rb") as f:
        data = f.read(128 << 20)
    data = data[:data.rfind(b"\n") + 1]
    cuts, pos = [], 0
    while pos < len(data):
        end = data.rfind(b"\n", pos, pos + (1 << 20)) + 1 or len(data)
        cuts.append((pos, end))
        pos = end
    omitter = Omitter(keys)

    def one_thread():
        return [scan_lines(omitter, memoryview(data)[a:e])[0] for a, e in cuts]

    def two_threads():
        with ThreadPoolExecutor(2) as pool:
            return list(pool.map(lambda c: scan_lines(omitter, memoryview(data)[c[0]:c[1]])[0], cuts))

    def two_processes():
        with ProcessPoolExecutor(2, initializer=_pool_init, initargs=(pickle.dumps(omitter),)) as pool:
            return list(pool.map(_pool_scan, [data[a:e] for a, e in cuts]))

    rates = {"1 thread": [], "2 threads": [], "2 processes": []}
    expected = b"".join(one_thread())
    for _ in range(rounds):
        for name, run in zip(rates, (one_thread, two_threads, two_processes)):
            start = time.perf_counter()
            result = run()
            rates[name].append(len(data) / (time.perf_counter() - start) / 1e6)
            assert b"".join(result) == expected
    return {name: statistics.median(values) for name, values in rates.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=512)
    parser.add_argument("--python-mb", type=int, default=32, help="slice run through the Python pipeline")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    if not os.path.exists("/usr/bin/time"):
        sys.exit("needs /usr/bin/time (Debian package 'time')")
    tmp = tempfile.mkdtemp(prefix="velmora-bench-")
    try:
        path = os.path.join(tmp, "api-log.jsonl")
        quarter = os.path.join(tmp, "api-log-quarter.jsonl")
        size, lines = generate(path, args.size_mb << 20)
        generate(quarter, size // 4)
        print(f"file: {size / 1e6:.1f} MB, {lines} lines, {size / lines:.0f} bytes/line; hidden keys: {len(HIDDEN)}")
        with open(path, "rb") as f:  # check the two agree on what they mask
            sample = f.readline()
        mine = subprocess.run(velmora_command("-", 1, HIDDEN)[:-2] + ["-"], input=sample, capture_output=True,
                              check=True).stdout
        omit, _ = python_walker(HIDDEN)
        assert json.loads(mine) == omit(json.loads(sample)), "velmora and the Python walk disagree"
        py, j1, j2 = [], [], []
        for r in range(args.rounds):
            seconds, done = python_pipeline(path, args.python_mb << 20, HIDDEN)
            py.append(done / seconds / 1e6)
            j1.append(size / run_velmora(path, 1, HIDDEN) / 1e6)
            j2.append(size / run_velmora(path, 2, HIDDEN) / 1e6)
            print(f"round {r + 1}: python {py[-1]:.1f} MB/s, --jobs 1 {j1[-1]:.0f} MB/s, --jobs 2 {j2[-1]:.0f} MB/s "
                  f"({j1[-1] / py[-1]:.1f}x, {j2[-1] / py[-1]:.1f}x)")
        ratios1 = [a / b for a, b in zip(j1, py)]
        ratios2 = [a / b for a, b in zip(j2, py)]
        print(f"median: python {statistics.median(py):.1f} MB/s ({args.python_mb} MiB slice); "
              f"velmora --lines --jobs 1 {statistics.median(j1):.0f} MB/s ({statistics.median(ratios1):.1f}x), "
              f"--jobs 2 {statistics.median(j2):.0f} MB/s ({statistics.median(ratios2):.1f}x)")
        full_rss, quarter_rss = peak_rss_kb(path, HIDDEN), peak_rss_kb(quarter, HIDDEN)
        print(f"peak RSS (--jobs 1): {size / 1e6:.0f} MB file {full_rss / 1024:.1f} MiB, "
              f"{os.path.getsize(quarter) / 1e6:.0f} MB file {quarter_rss / 1024:.1f} MiB")
        pools = compare_pools(path, HIDDEN, args.rounds)
        print("scan_lines on 128 MiB in memory: " + ", ".join(f"{k} {v:.0f} MB/s" for k, v in pools.items()))
    finally:
        if args.keep:
            print(f"kept {tmp}")
        else:
            shutil.rmtree(tmp)


if __name__ == "__main__":
    main()
