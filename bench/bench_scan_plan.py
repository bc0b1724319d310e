"""What rule plans cost velmora.scan: the same API-log JSON Lines scanned by
omitters with and without paths and policies per rule, interleaved.

    python bench/bench_scan_plan.py [--size-mb 32] [--rounds 15] [--path scalar|sse2|avx2]

Omitters (bench_cli's ten hidden keys in each):
  exact     velmora.omit.Omitter
  rules     RuleOmitter: no plan
  paths     RuleOmitter with 10 paths (they select values no key hides: more
            is masked, so this includes the cost of masking it)
  following RuleOmitter with 10 paths that select only values its keys hide
            anyway: the same output as `rules`, so the ratio is the cost of
            following paths alone
  planned   RuleOmitter with 10 paths, 10 policies per rule, numbers="zero"

Each round scans once with each omitter, in a rotating order; times are this
process's CPU time; the figures are the medians of the per-round ratios.
"""

import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import corpora  # noqa: E402

import velmora.scan as vscan  # noqa: E402

from velmora.omit import Omitter  # noqa: E402
from velmora.rules import RuleOmitter  # noqa: E402
from velmora.scan import scan_lines  # noqa: E402

PATHS = ["$.request.headers.authorization", "$.request.query.q", "$.response.body.user.name", "$..ssn",
         "$.request.body.card_number", "$.request.query.tags[0]", "$.user.*", "$..email", "$.response.headers.*",
         "$['request']['body']['note']"]

# Each selects a value that one of bench_cli's hidden keys hides anyway.
FOLLOWING = ["$.request.headers.authorization", "$.request.headers.cookie", "$..ssn", "$..email",
             "$.request.body.card_number", "$.request.body.password", "$..api_key", "$..token",
             "$.response.body.user.phone", "$['request']['body']['secret']"]


def omitters(hidden):
    policies = {p: {"mask": "[p]"} for p in PATHS[:5]}
    policies.update({k: {"keep_last": 2} for k in hidden[:5]})
    return {
        "exact": Omitter(list(hidden)),
        "rules": RuleOmitter(list(hidden)),
        "paths": RuleOmitter(list(hidden), paths=PATHS),
        "following": RuleOmitter(list(hidden), paths=FOLLOWING),
        "planned": RuleOmitter(list(hidden), paths=PATHS, policies=policies, numbers="zero"),
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mb", type=int, default=32)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--path", choices=vscan._paths(), help="the scanner's vector path (default: the best)")
    args = parser.parse_args()
    if args.path:
        vscan._set_path(args.path)
    data, hidden = corpora.api_log(args.size_mb << 20)
    made = omitters(hidden)
    assert scan_lines(made["following"], data) == scan_lines(made["rules"], data)
    names = list(made)
    times = {name: [] for name in names}
    for r in range(args.rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:
            start = time.process_time()
            scan_lines(made[name], data)
            times[name].append(time.process_time() - start)
    mb = len(data) / 1e6
    for name in names:
        print(f"{name:8} {mb / statistics.median(times[name]):8.0f} MB/s")
    for a, b in [("rules", "exact"), ("paths", "rules"), ("following", "rules"), ("planned", "rules"), ("planned", "exact")]:
        ratio = statistics.median(x / y for x, y in zip(times[a], times[b]))
        print(f"{a}/{b}: time ratio {ratio:.3f} (speed {1 / ratio:.2f}x)")


if __name__ == "__main__":
    main()
