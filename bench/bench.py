"""Benchmark of velmora.omit against the same walk written in plain Python.

    python bench/bench.py                 # full run, a few minutes
    python bench/bench.py --quick         # short run (largest payload 10k records)
    python bench/bench.py --filter wide   # only cases whose name contains "wide"
    python bench/bench.py --json out.json # also save the results
    python bench/bench.py --per-line      # the README's figures for this interpreter line

Every repetition walks fresh data: the payload is rebuilt with json.loads of a
pre-dumped string outside the timed region, so each walk meets cold objects as
a freshly parsed request would. Small payloads are walked several times per
sample (each time on its own copy) so that the timer's own cost stays small.
"""

import argparse
import gc
import hashlib
import importlib.util
import json
import os
import platform
import random
import statistics
import string
import subprocess
import sys
import sysconfig
import tempfile
import time

from velmora.omit import NoTrustOmitter, Omitter, reset_omissions, reset_trusted

HIDDEN = ["password", "token", "ssn", "email", "phone", "api_key", "secret",
          "card_number", "address", "dob", "recovery_codes", "session_id"]
DECOYS = [f"{w}_{n}" for n in range(8) for w in (
    "passphrase", "pin", "iban", "swift", "cvv", "otp", "salary",
    "passport", "licence", "tax_id", "private_key")]  # 88 keys absent from the data
KEYSETS = {"1": ["password"], "12": list(HIDDEN),
           "100": random.Random(7).sample(HIDDEN + DECOYS, len(HIDDEN) + len(DECOYS))}
assert len(DECOYS) == 88 and len(KEYSETS["100"]) == 100

_ALNUM = string.ascii_letters + string.digits


def _word(rng, lo=4, hi=12):
    return "".join(rng.choices(string.ascii_lowercase, k=rng.randint(lo, hi)))


def make_record(rng, i):
    """One API-like user record: 45 values, 12 of them under hidden keys."""
    return {
        "id": i,
        "username": _word(rng),
        "email": f"{_word(rng)}@{_word(rng, 3, 8)}.com",
        "password": "".join(rng.choices(_ALNUM, k=rng.randint(10, 24))),
        "active": rng.random() < 0.8,
        "dob": f"19{rng.randint(50, 99)}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}",
        "ssn": f"{rng.randint(100, 999)}-{rng.randint(10, 99)}-{rng.randint(1000, 9999)}",
        "manager_id": None,
        "profile": {
            "display_name": f"{_word(rng).title()} {_word(rng).title()}",
            "contact": {
                "phone": f"+1-555-{rng.randint(1000000, 9999999)}",
                "address": f"{rng.randint(1, 999)} {_word(rng).title()} Street",
            },
            "preferences": {
                "newsletter": rng.random() < 0.3,
                "channels": rng.sample(["email", "sms", "push", "post"], 2),
            },
        },
        "auth": {
            "token": "".join(rng.choices(_ALNUM, k=32)),
            "api_key": "".join(rng.choices(_ALNUM, k=40)),
            "secret": "".join(rng.choices(_ALNUM, k=16)),
            "session_id": "".join(rng.choices(_ALNUM, k=24)),
            "expires_in": rng.randint(60, 86400),
            "scopes": rng.sample(["read", "write", "admin", "billing"], 2),
            "recovery_codes": [_word(rng, 8, 8) for _ in range(2)],
        },
        "payment": {
            "card_number": "".join(rng.choices(string.digits, k=16)),
            "exp_year": rng.randint(2025, 2032),
        },
        "tags": [_word(rng) for _ in range(2)],
        "orders": [{"order_id": f"ord-{rng.randint(0, 10**9)}",
                    "amount": round(rng.uniform(1, 500), 2),
                    "status": rng.choice(["paid", "open", "refunded"])} for _ in range(2)],
    }


def make_records(n, seed=1):
    rng = random.Random(seed)
    return {"records": [make_record(rng, i) for i in range(n)], "count": n}


def make_wide(n=10_000, seed=2):
    rng = random.Random(seed)
    keys = [f"field_{i:05d}" for i in range(n - len(HIDDEN))] + HIDDEN
    rng.shuffle(keys)
    kinds = rng.choices(["str", "int", "float", "bool", "none"], [70, 15, 10, 3, 2], k=n)
    makers = {"str": lambda: _word(rng, 3, 16), "int": lambda: rng.randint(0, 10**6),
              "float": lambda: rng.random(), "bool": lambda: rng.random() < 0.5,
              "none": lambda: None}
    return {k: makers[kind]() for k, kind in zip(keys, kinds)}


def make_strlist(n=100_000, seed=3):
    rng = random.Random(seed)
    return [_word(rng, 3, 12) for _ in range(n)]


def make_deep(depth=500, seed=4):
    rng = random.Random(seed)
    node = {"id": depth, "label": "leaf", "token": _word(rng)}
    for i in range(depth - 1, 0, -1):
        node = {"id": i, "label": f"level-{i}", "token": _word(rng),
                "tags": [_word(rng), _word(rng)], "child": node}
    return node


def _children(obj):
    return obj.values() if isinstance(obj, dict) else obj if isinstance(obj, list) else ()


def count_values(obj):
    """Values a walk visits: every dict value and every list item."""
    return sum(1 + count_values(v) for v in _children(obj))


def all_keys(obj, into=None):
    """Every dict key anywhere in obj."""
    into = set() if into is None else into
    for v in _children(obj):
        all_keys(v, into)
    if isinstance(obj, dict):
        into.update(obj)
    return into


def python_walker(keys, invert=False):
    """The walk as a Python user would write it: returns (omit, omit_recurse)."""
    keys = frozenset(keys)

    def omit(d):
        for k, v in d.items():
            if isinstance(v, str):
                if (k in keys) != invert:
                    d[k] = "*" * len(v)
            elif isinstance(v, dict):
                omit(v)
            elif isinstance(v, list):
                omit_recurse(v, (k in keys) != invert)
        return d

    def omit_recurse(lst, do=True):
        for i, v in enumerate(lst):
            if isinstance(v, dict):
                omit(v)
            elif isinstance(v, list):
                omit_recurse(v, do)
            elif do and isinstance(v, str):
                lst[i] = "*" * len(v)
        return lst

    return omit, omit_recurse


def build_cases(big):
    """(case name, payload name, payload maker, omitter kind, key set) for every case."""
    cases = []
    for n in (10, 1000, big):
        label = f"records-{n // 1000}k" if n >= 1000 else f"records-{n}"
        maker = lambda n=n: make_records(n)
        cases += [(f"{label}/omit-{k}", label, maker, "omit", k)
                  for k in (("1", "12", "100") if n <= 1000 else ("12",))]
        cases.append((f"{label}/notrust", label, maker, "notrust", "12"))
    cases += [("wide-10k/omit-12", "wide-10k", make_wide, "omit", "12"),
              ("wide-10k/notrust", "wide-10k", make_wide, "notrust", "12"),
              ("strlist-100k/recurse", "strlist-100k", make_strlist, "recurse", "12"),
              ("deep-500/omit-12", "deep-500", make_deep, "omit", "12"),
              ("deep-500/notrust", "deep-500", make_deep, "notrust", "12")]
    return cases


_payloads = {}


def load_payload(label, maker):
    """(json text, values visited, keys present) of a payload; one payload kept at a time."""
    if label not in _payloads:
        _payloads.clear()
        payload = maker()
        _payloads[label] = (json.dumps(payload), count_values(payload), all_keys(payload))
    return _payloads[label]


def walkers(kind, keyset, present):
    """The module's walk and the Python baseline for one case."""
    keys = KEYSETS[keyset]
    if kind == "notrust":  # trust every key of the payload that is not a secret
        trusted = sorted(present - set(HIDDEN))
        return NoTrustOmitter(trusted).omit, python_walker(trusted, invert=True)[0]
    if kind == "recurse":
        mod, py = Omitter(keys).omit_recurse, python_walker(keys)[1]
        return (lambda lst: mod(lst, True)), (lambda lst: py(lst, True))
    return Omitter(keys).omit, python_walker(keys)[0]


def sample(fn, fresh, inner):
    """Time one sample: `inner` walks, each on its own fresh copy made beforehand."""
    copies = [fresh() for _ in range(inner)]
    gc.disable()
    t0 = time.perf_counter_ns()
    for c in copies:
        fn(c)
    t1 = time.perf_counter_ns()
    gc.enable()
    return (t1 - t0) / inner


def summarize(ns):
    q1, med, q3 = statistics.quantiles(ns, n=4, method="inclusive")
    return {"median_ns": med, "iqr_ns": q3 - q1, "min_ns": min(ns), "samples": len(ns)}


def run_case(name, label, maker, kind, keyset, opts):
    dumped, values, present = load_payload(label, maker)

    def fresh():
        return json.loads(dumped)

    mod, py = walkers(kind, keyset, present)
    a, b, pristine = fresh(), fresh(), fresh()
    assert mod(a) is a and py(b) is b and a == b, f"{name}: module and Python disagree"
    assert a != pristine, f"{name}: nothing was masked"
    del a, b, pristine
    inner = max(1, 20_000 // values)
    t0 = time.perf_counter_ns()
    for _ in range(opts.warmup):
        sample(mod, fresh, inner), sample(py, fresh, inner)
    per_rep = (time.perf_counter_ns() - t0) / 1e9 / max(1, opts.warmup)
    reps = int(min(opts.max_reps, max(opts.min_reps, opts.budget / max(per_rep, 1e-9))))
    mod_ns, py_ns = [], []
    for r in range(reps):  # interleaved, alternating order, so drift hits both alike
        pair = [(mod_ns, mod), (py_ns, py)]
        for out, fn in (pair if r % 2 == 0 else pair[::-1]):
            out.append(sample(fn, fresh, inner))
    m, p = summarize(mod_ns), summarize(py_ns)
    return {"case": name, "values": values, "inner": inner, "module": m, "python": p,
            "ns_per_value": m["median_ns"] / values,
            "py_ns_per_value": p["median_ns"] / values,
            "speedup": p["median_ns"] / m["median_ns"]}


def run_interleaved(entries, reps):
    """Median ns per value of each (label, walk, fresh, inner, values) entry,
    sampled round robin in a rotating order: for comparisons across cases,
    which drift in machine speed would otherwise distort."""
    per_value = {label: [] for label, *_ in entries}
    for r in range(reps):
        shift = r % len(entries)
        for label, fn, fresh, inner, values in entries[shift:] + entries[:shift]:
            per_value[label].append(sample(fn, fresh, inner) / values)
    return {label: statistics.median(v) for label, v in per_value.items()}


def interleaved_checks(big, opts):
    """The cost of 100 keys against 1, and of growing payloads, each measured
    interleaved (module and Python baseline alike)."""
    out = {}
    payloads = {n: json.dumps(make_records(n)) for n in (10, 1000, big)}
    values = {n: count_values(json.loads(text)) for n, text in payloads.items()}

    def entry(label, n, fn):
        text = payloads[n]
        return (label, fn, lambda: json.loads(text), max(1, 20_000 // values[n]), values[n])

    keyed = []
    for k in ("1", "100"):
        keyed += [entry(f"module {k}", 1000, Omitter(KEYSETS[k]).omit),
                  entry(f"python {k}", 1000, python_walker(KEYSETS[k])[0])]
    med = run_interleaved(keyed, opts.interleaved_reps)
    out["keys_100_vs_1"] = {w: med[f"{w} 100"] / med[f"{w} 1"] for w in ("module", "python")}
    print("\ninterleaved, 1k records, ns/value with 1 and 100 keys: " + ", ".join(
        f"{w} {med[w + ' 1']:.1f} and {med[w + ' 100']:.1f} (x{out['keys_100_vs_1'][w]:.2f})"
        for w in ("module", "python")))

    walk = Omitter(KEYSETS["12"]).omit
    sized = [entry(f"{n:,}", n, walk) for n in (10, 1000, big)]
    med = run_interleaved(sized, max(3, opts.interleaved_reps // 4))
    base = med["10"]
    out["linearity_omit-12"] = med
    print("interleaved, omit-12, module ns/value by records: " + ", ".join(
        f"{label}: {v:.1f} (x{v / base:.2f})" for label, v in med.items()))
    return out


def fmt_x(x):
    return f"{x:.1f}x" if x >= 1 else f"{x:.3f}x"


def fmt_ns(ns):
    for unit, div in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= div:
            return f"{ns / div:.3g} {unit}"
    return f"{ns:.0f} ns"


def machine():
    model = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo")
                  if l.startswith("model name")), platform.processor())
    import velmora.omit as mod
    so = mod.__file__
    with open(so, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()[:12]
    return {"cpu": model, "cores": os.cpu_count(), "python": sys.version.split()[0],
            "platform": platform.platform(), "module": so, "module_sha256": digest,
            "module_built": time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(os.path.getmtime(so)))}


def report(results):
    rows = ["| case | values | module median | IQR | min | ns/value | python median | IQR "
            "| py ns/value | speedup |", "|---|" + "---:|" * 9]
    for r in results:
        rows.append(f"| {r['case']} | {r['values']:,} | {fmt_ns(r['module']['median_ns'])} | "
                    f"{fmt_ns(r['module']['iqr_ns'])} | {fmt_ns(r['module']['min_ns'])} | "
                    f"{r['ns_per_value']:.1f} | {fmt_ns(r['python']['median_ns'])} | "
                    f"{fmt_ns(r['python']['iqr_ns'])} | {r['py_ns_per_value']:.1f} | "
                    f"{fmt_x(r['speedup'])} |")
    print("\n".join(rows))
    by = {r["case"]: r for r in results}
    extra = {}
    k1, k100 = by.get("records-1k/omit-1"), by.get("records-1k/omit-100")
    if k1 and k100:  # medians, and minima (the least disturbed by other load)
        extra["keys_100_vs_1"] = {f"{w}_{stat}": k100[w][f"{stat}_ns"] / k1[w][f"{stat}_ns"]
                                  for w in ("module", "python") for stat in ("median", "min")}
        print("\n1k records, 100 keys vs 1 key (median; min): " + ", ".join(
            f"{w} x{extra['keys_100_vs_1'][w + '_median']:.2f}; x{extra['keys_100_vs_1'][w + '_min']:.2f}"
            for w in ("module", "python")))
    for kind in ("omit-12", "notrust"):
        sizes = {c.split("/")[0][8:]: (r["ns_per_value"], r["module"]["min_ns"] / r["values"])
                 for c, r in by.items() if c.startswith("records-") and c.endswith(kind)}
        if len(sizes) > 1:
            extra[f"linearity_{kind}"] = sizes
            med0, min0 = next(iter(sizes.values()))
            print(f"linearity {kind}, module ns/value by records (median; min): " + ", ".join(
                f"{s}: {md:.1f} (x{md / med0:.2f}); {mn:.1f} (x{mn / min0:.2f})"
                for s, (md, mn) in sizes.items()))
    return extra


def build_visitor():
    """bench/visit.cpp built for the running interpreter: the walk that only
    visits every value (its module; the file is gone once it is loaded)."""
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "visit.cpp")
    with tempfile.TemporaryDirectory() as tmp:
        built = os.path.join(tmp, "velmora_bench_visit" + sysconfig.get_config_var("EXT_SUFFIX"))
        subprocess.run([os.environ.get("CXX", "g++"), "-std=c++20", "-O3", "-shared", "-fPIC",
                        "-I", sysconfig.get_paths()["include"], source, "-o", built], check=True)
        spec = importlib.util.spec_from_file_location("velmora_bench_visit", built)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    return module


def layout_gates():
    """Which of velmora.omit's private-layout gates this interpreter opened."""
    import ctypes
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = get_pointer(Omitter.__dict__["__pyx_vtable__"], None)
    flags = ctypes.c_void_p.from_address(table + 6 * ctypes.sizeof(ctypes.c_void_p)).value
    names = ["dict versions", "cached str hash", "recursion budget", "dict entries", "entry writes", "dict watcher",
             "tag flips", "str fills"]
    return dict(zip(names, ctypes.cast(flags, ctypes.POINTER(ctypes.c_bool * len(names))).contents))


def per_line(opts):
    """The README's figures for the running interpreter line, in one process.

    On the 1,000-record payload, five walks are sampled round robin in a
    rotating order, each on a fresh copy: the walk with the 12 hidden keys,
    the NoTrustOmitter's, the walk that only visits every value (visit.cpp,
    public C API), the module's walk with nothing to hide (which visits
    every value and only asks), and the Python walk. Ratios are taken within
    each round and their medians reported, so that the machine's drift
    between rounds cancels. Then scan_lines' MB/s on the same records as
    JSON Lines held in memory."""
    from velmora.scan import scan_lines

    text = json.dumps(make_records(1000))
    values, present = count_values(json.loads(text)), all_keys(json.loads(text))
    visit = build_visitor().visit
    walks = {"omit-12": Omitter(HIDDEN).omit, "notrust": NoTrustOmitter(sorted(present - set(HIDDEN))).omit,
             "visit": visit, "hide-none": Omitter([]).omit, "python": python_walker(HIDDEN)[0]}
    pristine, expected = json.loads(text), walks["python"](json.loads(text))
    assert visit(pristine) == values and walks["hide-none"](pristine) == json.loads(text), "a visit changed a value"
    assert all(walks[w](json.loads(text)) == expected for w in ("omit-12", "notrust")), "the walks disagree"
    load_before = os.getloadavg()[0]
    rounds = {w: [] for w in walks}
    for r in range(opts.per_line_rounds):
        order = list(walks)[r % len(walks):] + list(walks)[:r % len(walks)]
        for w in order:
            rounds[w].append(sample(walks[w], lambda: json.loads(text), 1) / values)

    def ratio(a, b):
        return statistics.median(x / y for x, y in zip(rounds[a], rounds[b]))

    out = {"python": sys.version.split()[0], "rounds": opts.per_line_rounds,
           "ns_per_value": {w: statistics.median(v) for w, v in rounds.items()},
           "min_ns_per_value": {w: min(v) for w, v in rounds.items()},
           "vs_visit": {w: ratio(w, "visit") for w in ("omit-12", "notrust", "hide-none")},
           "vs_hide_none": {w: ratio(w, "hide-none") for w in ("omit-12", "notrust")},
           "python_vs": {w: ratio("python", w) for w in ("omit-12", "notrust")},
           "gates": layout_gates(), "load": [load_before, os.getloadavg()[0]]}
    records = make_records(opts.scan_records)["records"]
    lines = "".join(json.dumps(r) + "\n" for r in records).encode()
    omitter, rates = Omitter(HIDDEN), []
    assert scan_lines(omitter, lines)[0] == "".join(json.dumps(walks["omit-12"](r)) + "\n" for r in records).encode()
    for _ in range(opts.scan_rounds):
        t0 = time.perf_counter()
        scan_lines(omitter, lines)
        rates.append(len(lines) / (time.perf_counter() - t0) / 1e6)
    out |= {"scan_mb_s": statistics.median(rates), "scan_mb_s_max": max(rates), "scan_mb": len(lines) / 1e6,
            "load_after_scan": os.getloadavg()[0]}
    closed = [name for name, is_open in out["gates"].items() if not is_open]
    print(f"CPython {out['python']}; gates closed: {', '.join(closed) or 'none'}; "
          f"load average {out['load'][0]:.1f} before, {out['load'][1]:.1f} after the walks, "
          f"{out['load_after_scan']:.1f} after the scans")
    print(f"ns/value, median (min) of {opts.per_line_rounds} rounds: " + ", ".join(
        f"{w} {v:.1f} ({out['min_ns_per_value'][w]:.1f})" for w, v in out["ns_per_value"].items()))
    for w in ("omit-12", "notrust"):
        print(f"{w}: {out['vs_visit'][w]:.2f}x the visit-only walk, {out['vs_hide_none'][w]:.2f}x the walk "
              f"hiding nothing, {out['python_vs'][w]:.1f}x faster than the Python walk (medians of per-round ratios)")
    print(f"hide-none: {out['vs_visit']['hide-none']:.2f}x the visit-only walk")
    print(f"scan_lines: {out['scan_mb_s']:.0f} MB/s median, {out['scan_mb_s_max']:.0f} best "
          f"({opts.scan_rounds} runs on {out['scan_mb']:.1f} MB)")
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="short run")
    ap.add_argument("--filter", default="", metavar="SUBSTR", help="only cases containing SUBSTR")
    ap.add_argument("--json", metavar="FILE", help="save the results as JSON")
    ap.add_argument("--per-line", action="store_true",
                    help="only the figures of the README's table for this interpreter line")
    opts = ap.parse_args(argv)
    opts.warmup, opts.min_reps, opts.max_reps, opts.budget, opts.interleaved_reps = (
        (1, 3, 15, 0.25, 8) if opts.quick else (1, 5, 201, 3.5, 40))
    opts.scan_records, opts.scan_rounds, opts.per_line_rounds = (2_000, 5, 20) if opts.quick else (20_000, 21, 201)
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 10_000))  # deep-500 and its json round trip
    reset_omissions()
    reset_trusted()
    info = machine()
    print(f"# {info['cpu']}, {info['cores']} cores, Python {info['python']}\n"
          f"# module {info['module']} (sha256 {info['module_sha256']}, built {info['module_built']})",
          flush=True)
    if opts.per_line:
        extra = per_line(opts)
        if opts.json:
            with open(opts.json, "w") as f:
                json.dump({"machine": info, "quick": opts.quick, **extra}, f, indent=1)
        return
    results = []
    for name, label, maker, kind, keyset in build_cases(10_000 if opts.quick else 100_000):
        if opts.filter in name:
            t0 = time.perf_counter_ns()
            results.append(run_case(name, label, maker, kind, keyset, opts))
            r = results[-1]
            print(f"  {name}: {fmt_ns(r['module']['median_ns'])} ({r['module']['samples']} samples), "
                  f"{fmt_x(r['speedup'])} python [{(time.perf_counter_ns() - t0) / 1e9:.1f} s]", flush=True)
    extra = report(results)
    if not opts.filter:
        extra["interleaved"] = interleaved_checks(10_000 if opts.quick else 100_000, opts)
    if opts.json:
        with open(opts.json, "w") as f:
            json.dump({"machine": info, "quick": opts.quick, "results": results, **extra}, f, indent=1)


if __name__ == "__main__":
    main()
