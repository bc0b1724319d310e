"""Benchmark of the command line on JSON Lines: ``velmora --lines`` against
its peers and floors, as a table and a chart.

    python bench/bench_cli.py                 # 512 MiB file, 3 rounds, chart to bench/cli-throughput.png
    python bench/bench_cli.py --size-mb 64    # a smaller file
    python bench/bench_cli.py --pools         # also scan_lines in threads against worker processes

Needs, besides velmora: orjson, pysimdjson and matplotlib (a benchmark
environment: ``pip install orjson pysimdjson matplotlib``), and
/usr/bin/time. The file is generated into a temporary directory (API-log
records: nested request/response objects, lists, unicode, escapes, numbers
in every form) and deleted at the end.

Contenders, in each round in a rotating order (medians of the rounds are
reported, and every ratio is taken within a round):

- ``velmora --lines -o /dev/null`` over the whole file with ``--jobs 1``
  and ``--jobs 2`` (a process each, start-up included);
- peers, in this process, over the first ``--slice-mb`` of the file: the
  plain Python pipeline (json.loads, a Python walk, json.dumps per line),
  orjson.loads + ``Omitter.omit`` + orjson.dumps per line, and pysimdjson
  parsing each line (parse only: no redaction, no output);
- floors: ``wc -l`` and ``cat`` over the whole file (reading it, and
  reading and writing it through a pipe).

Then peak RSS and minor page faults of ``velmora --lines --jobs 1``
(``/usr/bin/time -v``) on the whole file and on a quarter of it.
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


def orjson_pipeline(path, limit, keys):
    """orjson.loads + Omitter.omit + orjson.dumps per line, over the first `limit` bytes."""
    import orjson

    from velmora.omit import Omitter
    omitter = Omitter(keys)
    done = 0
    start = time.perf_counter()
    with open(path, "rb") as f, open(os.devnull, "wb") as out:
        for raw in f:
            value = orjson.loads(raw)
            if type(value) is dict:
                omitter.omit(value)
            out.write(orjson.dumps(value) + b"\n")
            done += len(raw)
            if done >= limit:
                break
    return time.perf_counter() - start, done


def simdjson_parse(path, limit, _keys):
    """pysimdjson parsing each line of the first `limit` bytes, nothing more."""
    import simdjson
    parser = simdjson.Parser()
    done = 0
    start = time.perf_counter()
    with open(path, "rb") as f:
        for raw in f:
            parser.parse(raw)
            done += len(raw)
            if done >= limit:
                break
    return time.perf_counter() - start, done


def run_command(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, shell=isinstance(command, str))
    return time.perf_counter() - start


def time_v(command):
    """Peak RSS (KiB) and minor page faults of `command`, from /usr/bin/time -v."""
    proc = subprocess.run(["/usr/bin/time", "-v", *command], capture_output=True, text=True, check=True)
    found = {}
    for line in proc.stderr.splitlines():
        for key, name in (("Maximum resident set size", "rss"), ("Minor (reclaiming a frame) page faults", "minor")):
            if key in line:
                found[name] = int(line.rsplit(":", 1)[1])
    return found["rss"], found["minor"]


KINDS = {"velmora": "#1f6fb4", "peer": "#e0823a", "floor": "#9a9a9a"}


def draw(rates, kinds, path, title):
    """A horizontal bar chart of MB/s, slowest at the bottom."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    names = sorted(rates, key=rates.get)
    fig, ax = plt.subplots(figsize=(8, 0.45 * len(names) + 1.4), dpi=110)
    bars = ax.barh(names, [rates[n] for n in names], color=[KINDS[kinds[n]] for n in names])
    for bar, name in zip(bars, names):
        ax.text(bar.get_width(), bar.get_y() + bar.get_height() / 2, f" {rates[name]:,.0f}", va="center", fontsize=9)
    ax.set_xlabel("MB/s (median of interleaved rounds)")
    ax.set_title(title, fontsize=10)
    ax.set_xlim(0, max(rates.values()) * 1.15)
    for side in ("top", "right"):
        ax.spines[side].set_visible(False)
    handles = [plt.Rectangle((0, 0), 1, 1, color=c) for c in KINDS.values()]
    ax.legend(handles, ["velmora", "peers", "floors"], loc="lower right", frameon=False, fontsize=9)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=512)
    parser.add_argument("--slice-mb", type=int, default=32, help="slice run through the in-process peers")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--chart", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                        "cli-throughput.png"))
    parser.add_argument("--pools", action="store_true", help="also compare threads and worker processes")
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
        print(f"file: {size / 1e6:.1f} MB, {lines} lines, {size / lines:.0f} bytes/line; hidden keys: {len(HIDDEN)}; "
              f"load average {os.getloadavg()[0]:.1f}")
        with open(path, "rb") as f:  # check that velmora and the Python walk agree on what they mask
            sample = f.readline()
        mine = subprocess.run(velmora_command("-", 1, HIDDEN)[:-2] + ["-"], input=sample, capture_output=True,
                              check=True).stdout
        omit, _ = python_walker(HIDDEN)
        assert json.loads(mine) == omit(json.loads(sample)), "velmora and the Python walk disagree"
        limit = args.slice_mb << 20
        contenders = {
            "velmora --lines --jobs 1": ("velmora", lambda: (run_command(velmora_command(path, 1, HIDDEN)), size)),
            "velmora --lines --jobs 2": ("velmora", lambda: (run_command(velmora_command(path, 2, HIDDEN)), size)),
            "Python: json + walk + json": ("peer", lambda: python_pipeline(path, limit, HIDDEN)),
            "orjson + Omitter.omit + orjson": ("peer", lambda: orjson_pipeline(path, limit, HIDDEN)),
            "pysimdjson, parse only": ("peer", lambda: simdjson_parse(path, limit, HIDDEN)),
            "floor: wc -l": ("floor", lambda: (run_command(["wc", "-l", path]), size)),
            "floor: cat | cat": ("floor", lambda: (run_command(f"cat {path} | cat"), size)),
        }
        names = list(contenders)
        rates = {n: [] for n in names}
        for r in range(args.rounds):
            for n in names[r % len(names):] + names[:r % len(names)]:
                seconds, done = contenders[n][1]()
                rates[n].append(done / seconds / 1e6)
            print(f"round {r + 1}: " + ", ".join(f"{n} {rates[n][-1]:,.0f}" for n in names))
        median = {n: statistics.median(v) for n, v in rates.items()}
        jobs1 = rates["velmora --lines --jobs 1"]

        def ratio(name):
            return statistics.median(a / b for a, b in zip(jobs1, rates[name]))
        print("\n| | MB/s | `--jobs 1` against it |")
        print("|---|---:|---:|")
        for n in sorted(names, key=median.get, reverse=True):
            print(f"| {n} | {median[n]:,.0f} | {ratio(n):.2f}x |")
        two = statistics.median(b / a for a, b in zip(jobs1, rates["velmora --lines --jobs 2"]))
        print(f"\n--jobs 2 against --jobs 1: {two:.2f}x (load average {os.getloadavg()[0]:.1f})")
        for jobs in (1, 2):
            full, part = time_v(velmora_command(path, jobs, HIDDEN)), time_v(velmora_command(quarter, jobs, HIDDEN))
            per_mb = (full[1] - part[1]) / ((size - os.path.getsize(quarter)) / 1e6)
            print(f"--jobs {jobs}: peak RSS {full[0] / 1024:.1f} MiB on {size / 1e6:.0f} MB, {part[0] / 1024:.1f} MiB "
                  f"on {os.path.getsize(quarter) / 1e6:.0f} MB; minor faults {full[1]} and {part[1]}: "
                  f"{per_mb:.1f} per MB of input")
        draw(median, {n: contenders[n][0] for n in names}, args.chart,
             f"JSON Lines, {size / 1e6:.0f} MB of API logs ({args.rounds} rounds; peers on {args.slice_mb} MiB)")
        print(f"chart: {args.chart}")
        if args.pools:
            pools = compare_pools(path, HIDDEN, args.rounds)
            print("scan_lines on 128 MiB in memory: " + ", ".join(f"{k} {v:.0f} MB/s" for k, v in pools.items()))
    finally:
        if args.keep:
            print(f"kept {tmp}")
        else:
            shutil.rmtree(tmp)


if __name__ == "__main__":
    main()
