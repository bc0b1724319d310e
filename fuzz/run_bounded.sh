#!/usr/bin/env bash
# Fuzz the walk for a bounded time: $1 seconds (default 60); further
# arguments go to libFuzzer. FUZZ_TARGET picks the target (default
# fuzz_walk.py; fuzz_hostile.py keeps its corpus in corpus-hostile/).
# Exits non-zero on
# a crash or a mismatch with the model; crashing inputs land in fuzz/artifacts/.
# Prints libFuzzer's final stats line (executions, coverage).
# FUZZ_TARGET=fuzz_scan fuzzes the JSON text scanner instead (its corpus:
# fuzz/corpus_scan).
set -uo pipefail
cd "$(dirname "$0")"
seconds=${1:-60}
shift || true
target=${FUZZ_TARGET:-fuzz_walk}
target=${target%.py}
corpus=corpus
if [ "$target" != fuzz_walk ]; then corpus=corpus_${target#fuzz_}; fi
mkdir -p "$corpus" artifacts
log=$(mktemp)
python "$target.py" -max_total_time="$seconds" -artifact_prefix=artifacts/ "$@" "$corpus" >"$log" 2>&1
rc=$?
grep -E '^#[0-9]+' "$log" | tail -n 1
grep -E '^Done [0-9]+ runs' "$log"
if [ "$rc" -ne 0 ]; then
    tail -n 40 "$log"
    echo "fuzzing failed with exit status $rc" >&2
fi
rm -f "$log"
exit "$rc"
