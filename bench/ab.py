"""Compare two builds of velmora.omit in one process, interleaved.

    python bench/ab.py OLD.so NEW.so [--records 1000] [--pairs 400]

Each build's extension file is loaded as its own module (the builds share
no state: each library has its own statics). Walks alternate between the
two builds, in alternating order, each on a fresh copy of bench.py's record
payload parsed outside the timed region; the result is the median of the
per-pair time ratios NEW/OLD, for the exact Omitter with 1, 12 and 100 keys
and the NoTrustOmitter. Drift of the machine's speed hits both builds alike.

    python bench/ab.py BUILD.so BUILD.so --closed dict_entries

loads NEW with the named private-layout gates closed (VELMORA_CLOSE_GATES,
"all" for every one; a copy of the file when both are the same, so that
each has its own statics): what that gate's public-API fallback costs.

    python bench/ab.py OLD.so NEW.so --rules

does the same for velmora.rules' RuleOmitter (12 exact keys, and the same
with contained words) and RuleNoTrustOmitter, none with a detector: each
build's rules library is the one beside its omit library, loaded against it.

    python bench/ab.py NEW.so NEW.so --plan

times a RuleOmitter with 10 paths and 10 policies per rule (numbers="zero")
against the exact Omitter with the same 12 keys, both of NEW's build; and
one whose paths select only what the keys hide anyway ("plan-same": as
many values masked as by the exact Omitter, numbers kept).

    python bench/ab.py --callgrind NEW.so

counts instructions per walk of a 200-record payload instead, under
valgrind's callgrind: a run that walks 2N payloads minus one that walks N
of the same 2N parsed payloads, divided by N (with --closed, with those
gates closed; with --rules or --plan, for those omitters: each build's
rules library beside its omit library).
"""

import argparse
import gc
import importlib.machinery
import importlib.util
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402


def load_build(path):
    loader = importlib.machinery.ExtensionFileLoader("velmora.omit", path)
    spec = importlib.util.spec_from_file_location("velmora.omit", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def load_rules(omit_path, omit_module):
    """The velmora.rules library beside `omit_path`, bound to `omit_module`
    (it finds velmora.omit through sys.modules when it is loaded)."""
    folder = os.path.dirname(omit_path)
    path = os.path.join(folder, next(f for f in os.listdir(folder) if f.startswith("rules.") and f.endswith(".so")))
    saved = sys.modules.get("velmora.omit")
    sys.modules["velmora.omit"] = omit_module
    try:
        loader = importlib.machinery.ExtensionFileLoader("velmora.rules", path)
        spec = importlib.util.spec_from_file_location("velmora.rules", path, loader=loader)
        module = importlib.util.module_from_spec(spec)
        loader.exec_module(module)
        return module
    finally:
        if saved is not None:
            sys.modules["velmora.omit"] = saved


def rule_omitters(module, present):
    trusted = sorted(present - set(bench.HIDDEN))
    return {"rule-12": module.RuleOmitter(list(bench.HIDDEN)).omit,
            "rule-words": module.RuleOmitter(["password"], ignore_case=True, contains=["token", "secret"]).omit,
            "rule-notrust": module.RuleNoTrustOmitter(trusted).omit}


# Ten paths and ten policies per rule over bench.py's records: what a plan
# costs against the exact Omitter (`--plan`: both in NEW, interleaved).
PLAN_PATHS = ["$.records[*].profile.display_name", "$.records[*].profile.contact", "$..ssn", "$..dob",
              "$.records[*].payment.exp_year", "$.records[*].orders[*].amount", "$..scopes[0]",
              "$.records[*].auth", "$['count']", "$.records[*].tags[1]"]


# Ten paths that select only values the keys hide anyway, and ten policies:
# the same values masked as by the exact Omitter (some by other masks), so
# the cost is that of following paths and choosing policies, not of masking
# more (PLAN_PATHS select 30% more strings, and zero 800 numbers).
SAME_PATHS = ["$.records[*].password", "$.records[*].email", "$..ssn", "$..phone", "$.records[*].auth.token",
              "$.records[*].auth.api_key", "$..secret", "$.records[*].payment.card_number", "$..token",
              "$['records'][0]['email']"]


def plan_omitter(module, paths=PLAN_PATHS, numbers="zero"):
    policies = {p: {"mask": "[p]"} for p in paths[:5]}
    policies.update({k: {"keep_last": 2} for k in bench.HIDDEN[:5]})
    return module.RuleOmitter(list(bench.HIDDEN), paths=paths, policies=policies, numbers=numbers).omit


def plan_omitters(module):
    return {"plan": plan_omitter(module), "plan-same": plan_omitter(module, SAME_PATHS, "keep")}


def omitters(module, present):
    trusted = sorted(present - set(bench.HIDDEN))
    return {f"omit-{k}": module.Omitter(list(keys)).omit for k, keys in bench.KEYSETS.items()} | {
        "notrust": module.NoTrustOmitter(trusted).omit}


def timed(fn, payload):
    gc.disable()
    t0 = time.perf_counter_ns()
    fn(payload)
    t1 = time.perf_counter_ns()
    gc.enable()
    return t1 - t0


def load_closed(path, closed):
    """The build at `path`, loaded from a copy of its own with the gates
    `closed` (comma-separated) closed at import."""
    tmp = tempfile.mkdtemp()
    copy = os.path.join(tmp, os.path.basename(path))
    shutil.copy(path, copy)
    os.environ["VELMORA_CLOSE_GATES"] = closed
    try:
        return load_build(copy)
    finally:
        del os.environ["VELMORA_CLOSE_GATES"]
        shutil.rmtree(tmp)  # the loaded library stays mapped


def compare(old_path, new_path, records, pairs, closed=None, rules=False, plan=False):
    dumped = json.dumps(bench.make_records(records))
    present = bench.all_keys(json.loads(dumped))
    old_build = load_build(old_path)
    new_build = load_closed(new_path, closed) if closed else load_build(new_path)
    if plan:  # the exact Omitter (as OLD) against a plan (as NEW), both of NEW's build
        exact = new_build.Omitter(list(bench.HIDDEN)).omit
        plans = plan_omitters(load_rules(new_path, new_build))
        old = {f"{name}/exact": exact for name in plans}
        new = {f"{name}/exact": plans[name] for name in plans}
    elif rules:
        old = rule_omitters(load_rules(old_path, old_build), present)
        new = rule_omitters(load_rules(new_path, new_build), present)
    else:
        old, new = omitters(old_build, present), omitters(new_build, present)
    check_a, check_b = json.loads(dumped), json.loads(dumped)
    for name in old:
        assert plan or old[name](json.loads(dumped)) == new[name](json.loads(dumped)), f"{name}: builds disagree"
    del check_a, check_b
    print(f"{records} records, {pairs} pairs per case; ratio NEW/OLD (median of per-pair ratios)")
    for name in old:
        ratios = []
        for i in range(pairs):
            a, b = json.loads(dumped), json.loads(dumped)
            if i % 2:
                t_new, t_old = timed(new[name], b), timed(old[name], a)
            else:
                t_old, t_new = timed(old[name], a), timed(new[name], b)
            ratios.append(t_new / t_old)
        q1, med, q3 = statistics.quantiles(ratios, n=4, method="inclusive")
        print(f"  {name:10s} {med:.3f}  (IQR {q1:.3f}-{q3:.3f})")


def cases(path, module, present, kind):
    """The omitters of one kind of comparison ("omit", "rules" or "plan"),
    by case name, of the build at `path` loaded as `module`."""
    if kind == "plan":
        return plan_omitters(load_rules(path, module))
    if kind == "rules":
        return rule_omitters(load_rules(path, module), present)
    return omitters(module, present)


def callgrind_child(path, case, records, parsed, walked, kind="omit"):
    """Runs under callgrind: parses `parsed` payloads and walks the first
    `walked` of them with one case's omitter."""
    module = load_build(path)
    dumped = json.dumps(bench.make_records(records))
    fn = cases(path, module, bench.all_keys(json.loads(dumped)), kind)[case]
    payloads = [json.loads(dumped) for _ in range(parsed)]
    for p in payloads[:walked]:
        fn(p)


def instructions(path, case, records, parsed, walked, closed=None, kind="omit"):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        code = (f"import sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r}); "
                f"import ab; ab.callgrind_child({path!r}, {case!r}, {records}, {parsed}, {walked}, {kind!r})")
        # A fixed hash seed: str hashes decide dict layouts and collisions.
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c", code],
                       check=True, capture_output=True,
                       env={**os.environ, "PYTHONHASHSEED": "0", **({"VELMORA_CLOSE_GATES": closed} if closed else {})})
        with open(out) as f:
            return next(int(line.split()[1]) for line in f if line.startswith(("summary:", "totals:")))


CALLGRIND_CASES = {"omit": ("omit-1", "omit-12", "omit-100", "notrust"),
                   "rules": ("rule-12", "rule-words", "rule-notrust"), "plan": ("plan", "plan-same")}


def callgrind(path, records, walks, closed=None, kind="omit"):
    """Instructions per walk of each case: two runs that parse the same
    payloads and differ only in how many they walk, so that loading, parsing
    and tearing down cancel out."""
    for case in CALLGRIND_CASES[kind]:
        more = instructions(path, case, records, 2 * walks, 2 * walks, closed, kind)
        fewer = instructions(path, case, records, 2 * walks, walks, closed, kind)
        print(f"  {case:10s} {(more - fewer) / walks / 1e6:.3f}M instructions per {records}-record walk")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("builds", nargs="+", help="extension files (.so): OLD NEW, or one with --callgrind")
    parser.add_argument("--records", type=int, default=1000)
    parser.add_argument("--pairs", type=int, default=400)
    parser.add_argument("--callgrind", action="store_true")
    parser.add_argument("--rules", action="store_true", help="compare velmora.rules' omitters instead")
    parser.add_argument("--plan", action="store_true",
                        help="NEW's RuleOmitter with 10 paths and 10 policies per rule against NEW's exact Omitter")
    parser.add_argument("--walks", type=int, default=20)
    parser.add_argument("--closed", metavar="GATES",
                        help="load NEW (with --callgrind: every build) with these gates closed (comma-separated)")
    opts = parser.parse_args()
    if opts.callgrind:
        for path in opts.builds:
            print(path)
            kind = "plan" if opts.plan else "rules" if opts.rules else "omit"
            callgrind(path, 200 if opts.records == 1000 else opts.records, opts.walks, opts.closed, kind)
    else:
        compare(*opts.builds, opts.records, opts.pairs, opts.closed, opts.rules, opts.plan)


if __name__ == "__main__":
    main()
