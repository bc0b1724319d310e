"""Cost of key rules: velmora.rules against the exact Omitter and a Python walk.

    python bench/bench_rules.py            # 40 interleaved rounds
    python bench/bench_rules.py --rounds 8 # a short run

On bench.py's 1,000-record payload, sampled round robin in one process:

- exact:  Omitter with the 12 hidden keys of bench.py;
- rules:  RuleOmitter with case folding and ten contained words (plus the
          two hidden keys no word covers, also folded), which masks exactly
          the same values;
- python: the same rules as a Python user would write the walk:
          `k.casefold()` then `in` a set of folded keys and
          `any(w in k for w in words)`, per key met.

Each walk meets a fresh json.loads copy, so every key object is new to it
(the module remembers a verdict per key object within one walk only).
"""

import argparse
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench import HIDDEN, count_values, machine, make_records, python_walker, run_interleaved  # noqa: E402

from velmora.omit import Omitter, reset_omissions, reset_trusted  # noqa: E402
from velmora.rules import RuleOmitter  # noqa: E402

WORDS = ["password", "token", "ssn", "email", "phone", "api_key", "secret", "card_number", "address", "session"]
EXACT = ["dob", "recovery_codes"]  # the hidden keys no word covers
assert len(WORDS) == 10 and set(HIDDEN) - {"session_id"} - set(WORDS) == set(EXACT)


def python_rules_walker(exact, words):
    """python_walker's walk with the verdict of the rules instead of `k in keys`."""
    folded = frozenset(k.casefold() for k in exact)
    words = tuple(w.casefold() for w in words)

    def hidden(k):
        if not isinstance(k, str):
            return False
        k = k.casefold()
        return k in folded or any(w in k for w in words)

    def omit(d):
        for k, v in d.items():
            if isinstance(v, str):
                if hidden(k):
                    d[k] = "*" * len(v)
            elif isinstance(v, dict):
                omit(v)
            elif isinstance(v, list):
                omit_recurse(v, hidden(k))
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

    return omit


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rounds", type=int, default=40, help="interleaved rounds (default 40)")
    opts = ap.parse_args(argv)
    reset_omissions()
    reset_trusted()
    info = machine()
    print(f"# {info['cpu']}, {info['cores']} cores, Python {info['python']}\n"
          f"# velmora.omit sha256 {info['module_sha256']}, built {info['module_built']}")

    text = json.dumps(make_records(1000))
    values = count_values(json.loads(text))
    walks = {
        "exact": Omitter(list(HIDDEN)).omit,
        "rules": RuleOmitter(EXACT, ignore_case=True, contains=WORDS).omit,
        "python": python_rules_walker(EXACT, WORDS),
    }
    results = [walk(json.loads(text)) for walk in walks.values()]
    assert results[0] == results[1] == results[2] == python_walker(HIDDEN)[0](json.loads(text))
    assert results[0] != json.loads(text)

    def fresh():
        return json.loads(text)

    entries = [(label, walk, fresh, max(1, 20_000 // values), values) for label, walk in walks.items()]
    med = run_interleaved(entries, opts.rounds)
    print(f"1,000 records ({values:,} values), {opts.rounds} rounds, median ns/value: "
          + ", ".join(f"{label} {ns:.1f}" for label, ns in med.items()))
    print(f"rules / exact: {med['rules'] / med['exact']:.2f}x (target <= 1.5x); "
          f"python / rules: {med['python'] / med['rules']:.1f}x (target >= 10x)")


if __name__ == "__main__":
    main()
