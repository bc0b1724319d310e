"""The logging integration's cost per record, this tree against another
version of its sources, interleaved in one process.

    git show REV:src/velmora/integrations/_common.py > OLD/_common.py   # and logging.py, __init__.py
    python bench/ab_logging.py --old OLD [--pairs 200]

For each case, the median over pairs of the time ratio NEW/OLD of a batch
of calls (both sides run in the same pair, in alternating order):
`RedactingFormatter.format` on records with a dict argument, with str
arguments, and merged by a QueueHandler after a filter redacted them; and
`RedactingFilter.filter` (with the making of the record it redacts, which
both sides pay alike).
"""

import argparse
import importlib.util
import logging
import logging.handlers
import statistics
import sys
import time


def load(name, path):
    spec = importlib.util.spec_from_file_location(name, f"{path}/__init__.py", submodule_search_locations=[path])
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return importlib.import_module(f"{name}.logging")


def cases(mod):
    fmt = mod.RedactingFormatter("%(levelname)s %(message)s", hide=["password"])
    flt = mod.RedactingFilter(hide=["password"])
    payload = {"user": "ann", "password": "Kv7-secret", "rows": [{"id": 1, "note": "ok"}]}

    def record(msg, args):
        return logging.LogRecord("bench", logging.INFO, __file__, 1, msg, args, None)

    with_dict = record("login %s", (payload,))
    with_str = record("user %s from %s", ("ann", "10.0.0.1"))
    front = logging.handlers.QueueHandler(None)
    merged = record("login %s", (payload,))
    flt.filter(merged)
    merged = front.prepare(merged)
    return {
        "format, dict argument": lambda: fmt.format(with_dict),
        "format, str arguments": lambda: fmt.format(with_str),
        "format, merged after a filter": lambda: fmt.format(merged),
        "filter, dict argument": lambda: flt.filter(record("login %s", (payload,))),
        "filter, str arguments": lambda: flt.filter(record("user %s from %s", ("ann", "10.0.0.1"))),
    }


def batch(fn, inner):
    start = time.perf_counter_ns()
    for _ in range(inner):
        fn()
    return (time.perf_counter_ns() - start) / inner


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--old", required=True)
    parser.add_argument("--pairs", type=int, default=200)
    parser.add_argument("--inner", type=int, default=200)
    args = parser.parse_args(argv)
    import velmora.integrations.logging as new

    old, ours = cases(load("_old_integrations", args.old)), cases(new)
    print(f"| case | old ns | new ns | new/old (median of {args.pairs} pairs) |\n|---|---|---|---|")
    for label in ours:
        a, b = old[label], ours[label]
        batch(a, args.inner), batch(b, args.inner)
        olds, news, ratios = [], [], []
        for i in range(args.pairs):
            if i % 2:
                t_new, t_old = batch(b, args.inner), batch(a, args.inner)
            else:
                t_old, t_new = batch(a, args.inner), batch(b, args.inner)
            olds.append(t_old), news.append(t_new), ratios.append(t_new / t_old)
        print(f"| {label} | {statistics.median(olds):.0f} | {statistics.median(news):.0f} | "
              f"{statistics.median(ratios):.3f} |")


if __name__ == "__main__":
    main()
