"""Benchmark of copy-on-write redaction and of the Sentry hook.

    python bench/bench_integrations.py            # about a minute
    python bench/bench_integrations.py --quick    # a few seconds
    python bench/bench_integrations.py --ab OLD.so [--pairs 400]

`--ab` compares the installed velmora.redact with another build of it (its
extension file), interleaved in this process: the median of per-pair time
ratios NEW/OLD of `redacted` on the 1,000-record payload, as it is and with
an object of a Python class in every record (for which the walk keeps a
record of what it reads, see src/velmora/redact/foreign.h).

1. `velmora.redact.redacted(o, payload)` against `o.omit(copy.deepcopy(payload))`
   (what a user must write to redact without changing the payload) and, for
   scale, the in-place `o.omit(payload)`, on bench.py's 1,000-record payload.
2. `SentryRedactor.before_send` against sentry-sdk 2's own
   `EventScrubber(recursive=True).scrub_event` (and its default, non-recursive
   mode) on one error event as sentry-sdk hands it to `before_send`.
3. `RedactingFilter.filter` on one log record, against making the record
   (what every logging call pays anyway), for arguments of several kinds:
   plain dicts and str go to the walk as they are, a tuple holding dicts is
   first copied into plain lists and dicts.

Every sample works on its own fresh copy made outside the timed region
(json.loads of a pre-dumped string). The contenders are sampled round robin
in a rotating order, so that drift in machine load hits all alike; medians
and their ratios are reported.
"""

import argparse
import copy
import json
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import HIDDEN, all_keys, count_values, fmt_ns, machine, make_records, sample  # noqa: E402

from velmora.omit import NoTrustOmitter, Omitter  # noqa: E402
from velmora.redact import redacted  # noqa: E402


def interleaved(entries, reps, inner):
    """Median ns per call of each (label, fn, fresh) entry."""
    times = {label: [] for label, _, _ in entries}
    for label, fn, fresh in entries:  # warm-up
        sample(fn, fresh, 1)
    for r in range(reps):
        shift = r % len(entries)
        for label, fn, fresh in entries[shift:] + entries[:shift]:
            times[label].append(sample(fn, fresh, inner))
    return {label: statistics.median(t) for label, t in times.items()}


def copy_on_write(reps):
    text = json.dumps(make_records(1000))
    values = count_values(json.loads(text))
    fresh = lambda: json.loads(text)  # noqa: E731
    rows = []
    trusted = sorted(all_keys(json.loads(text)) - set(HIDDEN))
    for name, omitter in (("`Omitter`, 12 keys (12 of 45 values masked)", Omitter(HIDDEN)),
                          (f"`NoTrustOmitter`, {len(trusted)} keys (the same 12 masked)", NoTrustOmitter(trusted)),
                          ("`NoTrustOmitter`, 2 keys (43 of 45 masked)", NoTrustOmitter(["id", "username"])),
                          ("`Omitter`, no key present (nothing masked)", Omitter(["nowhere"]))):
        payload, snapshot = fresh(), fresh()
        assert redacted(omitter, payload) == omitter.omit(copy.deepcopy(payload)) and payload == snapshot
        med = interleaved([
            ("redacted", lambda p, o=omitter: redacted(o, p), fresh),
            ("deepcopy+omit", lambda p, o=omitter: o.omit(copy.deepcopy(p)), fresh),
            ("omit in place", omitter.omit, fresh),
        ], reps, 1)
        rows.append((name, values, med))
    print(f"\n## Copy-on-write, 1,000 records ({values:,} values), median per call\n")
    print("| omitter | `redacted` | `deepcopy` + `omit` | ratio | `omit` in place | `redacted` / in place |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, values, med in rows:
        print(f"| {name} | {fmt_ns(med['redacted'])} | {fmt_ns(med['deepcopy+omit'])} | "
              f"{med['deepcopy+omit'] / med['redacted']:.1f}x | {fmt_ns(med['omit in place'])} | "
              f"{med['redacted'] / med['omit in place']:.2f}x |")
    return rows


def capture_event():
    """One error event as sentry-sdk hands it to before_send: an exception
    raised eight frames deep with locals, request data, extra, and the
    default 100 breadcrumbs, some from log records with extra data."""
    import logging

    import sentry_sdk
    from sentry_sdk.integrations.logging import LoggingIntegration

    captured = []

    def keep(event, hint):
        captured.append(json.dumps(event))
        return None  # nothing is sent

    sentry_sdk.init(dsn="https://public@sentry.invalid/1", before_send=keep, default_integrations=False,
                    integrations=[LoggingIntegration(level=logging.INFO, event_level=None)])
    log = logging.getLogger("bench")
    log.setLevel(logging.INFO)
    log.propagate = False
    for i in range(100):
        log.info("step %d", i, extra={"user": {"id": i, "email": f"u{i}@example.com", "password": "pw%d" % i},
                                      "api_key": "k" * 32})
    sentry_sdk.set_extra("billing", {"card_number": "4111111111111111", "address": "1 Main St", "plan": "pro"})
    scope = sentry_sdk.get_current_scope()
    scope.add_event_processor(lambda event, hint: {**event, "request": {
        "method": "POST", "url": "https://shop.example/api/pay", "query_string": "debug=0",
        "headers": {"Authorization": "Bearer " + "t" * 40, "Cookie": "session_id=abc", "Accept": "json",
                    "User-Agent": "bench"},
        "data": {"user": {"email": "ann@example.com", "password": "hunter2", "profile": {"phone": "+1-555"}},
                 "items": [{"sku": "A1", "qty": 2}, {"sku": "B2", "qty": 1}], "token": "x" * 24}}})

    def frame(depth, payload):
        password = "local-%d" % depth
        token = "tok-%d" % depth
        record = {"id": depth, "secret": "s%d" % depth, "nested": {"api_key": "k%d" % depth, "n": depth}}
        if depth == 0:
            raise ValueError("payment failed")
        return frame(depth - 1, payload) + len(password + token) + len(record)

    try:
        frame(8, {"card_number": "4111"})
    except ValueError:
        sentry_sdk.capture_exception()
    sentry_sdk.flush()
    sentry_sdk.get_client().close()
    (event,) = captured
    return event


def sentry_hook(reps):
    from sentry_sdk.scrubber import DEFAULT_DENYLIST, DEFAULT_PII_DENYLIST, EventScrubber

    from velmora.integrations.sentry import SentryRedactor

    text = capture_event()
    fresh = lambda: json.loads(text)  # noqa: E731
    values = count_values(fresh())
    # The same keys for both: sentry-sdk's default lists and card_number.
    # The scrubber compares keys case-folded, which velmora.omit's omitters
    # do not do: both spellings of the header names in the event are listed.
    keys = sorted(set(DEFAULT_DENYLIST + DEFAULT_PII_DENYLIST + ["card_number", "Authorization", "Cookie"]))
    hook = SentryRedactor(Omitter(keys)).before_send
    recursive = EventScrubber(recursive=True, denylist=keys, pii_denylist=[])
    flat = EventScrubber(denylist=keys, pii_denylist=[])
    by_hook, by_recursive, by_flat = hook(fresh(), {}), fresh(), fresh()
    recursive.scrub_event(by_recursive)
    flat.scrub_event(by_flat)
    secrets = ("hunter2", "4111111111111111", "local-3", "pw42", "Bearer", "k" * 32)
    for name, event in (("hook", by_hook), ("EventScrubber(recursive=True)", by_recursive),
                        ("EventScrubber()", by_flat)):
        left = [s for s in secrets if s in json.dumps(event, default=repr)]
        print(f"# {name}: secrets left in the event: {left or 'none'}")
    med = interleaved([
        ("hook", lambda e: hook(e, {}), fresh),
        ("recursive", recursive.scrub_event, fresh),
        ("default", flat.scrub_event, fresh),
    ], reps, 4)
    print(f"\n## Sentry event ({len(text):,} bytes of JSON, {values:,} values, {len(keys)} keys), median per event\n")
    print("| `SentryRedactor.before_send` | `EventScrubber(recursive=True)` | ratio | "
          "`EventScrubber()` (not recursive) | ratio |")
    print("|---:|---:|---:|---:|---:|")
    print(f"| {fmt_ns(med['hook'])} | {fmt_ns(med['recursive'])} | {med['recursive'] / med['hook']:.1f}x | "
          f"{fmt_ns(med['default'])} | {med['default'] / med['hook']:.1f}x |")
    return med


def logging_filter(reps):
    import logging

    from velmora.integrations.logging import RedactingFilter

    record = make_records(1)["records"][0]
    small = {"user": "ann", "password": "hunter2", "id": 7, "tags": ["a", "b"], "profile": {"email": "a@b.c"}}
    cases = {"a small dict": ("login %s", (small,)), f"a record ({count_values(record)} values)": ("%s", (record,)),
             "three str and an int": ("%s %s %s %d", ("a", "b", "c", 3)),
             "a tuple holding the small dict": ("%s", ((small, small),))}
    rows = []
    for name, (msg, args) in cases.items():
        for label, omitter in (("hide", Omitter(HIDDEN)), ("trust", NoTrustOmitter(["id", "user"]))):
            flt = RedactingFilter(omitter)
            make = lambda: logging.LogRecord("bench", logging.INFO, __file__, 1, msg, args, None)  # noqa: E731
            med = interleaved([("filter", flt.filter, make), ("record", lambda _: make(), lambda: None)], reps, 200)
            rows.append((name, label, med))
    print("\n## `RedactingFilter.filter`, median per record\n")
    print("| arguments | omitter | filter | making the record |")
    print("|---|---|---:|---:|")
    for name, label, med in rows:
        print(f"| {name} | {label} | {fmt_ns(med['filter'])} | {fmt_ns(med['record'])} |")
    return rows


class Stamp:
    """An object of a Python class: the number test may run code for it."""

    def __repr__(self):
        return "Stamp()"


def with_objects(records):
    for record in records["records"]:
        record["stamp"] = Stamp()
    return records


def ab_redact(old_path, pairs):
    import gc
    import importlib.machinery
    import importlib.util
    import time

    import velmora.redact

    loader = importlib.machinery.ExtensionFileLoader("velmora.redact", old_path)
    old = importlib.util.module_from_spec(importlib.util.spec_from_file_location("velmora.redact", old_path,
                                                                                 loader=loader))
    loader.exec_module(old)
    text = json.dumps(make_records(1000))
    trusted = sorted(all_keys(json.loads(text)) - set(HIDDEN))
    omitters = {"Omitter, 12 keys": Omitter(HIDDEN), "NoTrustOmitter, 22 keys": NoTrustOmitter(trusted),
                "NoTrustOmitter, 2 keys": NoTrustOmitter(["id", "username"]), "nothing masked": Omitter(["nowhere"])}
    payloads = {"plain": lambda: json.loads(text), "objects": lambda: with_objects(json.loads(text))}
    print(f"\n## velmora.redact, NEW/OLD, median of {pairs} interleaved pairs (IQR)\n")
    for (pname, fresh), (oname, omitter) in ((p, o) for p in payloads.items() for o in omitters.items()):
        data = fresh()
        assert repr(velmora.redact.redacted(omitter, data)) == repr(old.redacted(omitter, data))
        ratios = []
        for i in range(pairs):
            data = fresh()
            times = {}
            for name, fn in ((("old", old.redacted), ("new", velmora.redact.redacted))[::1 if i % 2 else -1]):
                gc.disable()
                t0 = time.perf_counter_ns()
                fn(omitter, data)
                times[name] = time.perf_counter_ns() - t0
                gc.enable()
            ratios.append(times["new"] / times["old"])
        q1, med, q3 = statistics.quantiles(ratios, n=4, method="inclusive")
        print(f"- {pname:7s} {oname:24s} {med:.3f} ({q1:.3f}-{q3:.3f})")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="short run")
    ap.add_argument("--ab", metavar="OLD.so", help="compare with another build of velmora.redact")
    ap.add_argument("--pairs", type=int, default=400)
    opts = ap.parse_args(argv)
    reps = 5 if opts.quick else 41
    info = machine()
    print(f"# {info['cpu']}, {info['cores']} cores, Python {info['python']}")
    if opts.ab:
        ab_redact(opts.ab, opts.pairs)
        return
    copy_on_write(reps)
    sentry_hook(reps * 3)
    logging_filter(reps)


if __name__ == "__main__":
    main()
