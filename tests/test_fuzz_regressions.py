"""Inputs of the walk fuzzer (fuzz/fuzz_walk.py) replayed through its one-input
function in a subprocess: crashing or mismatching inputs that it found, and
seeds that reach each of its paths. A new crashing input from fuzz/artifacts/
goes into INPUTS as base64. Found so far: a key list walked as data that the
key index went on answering for as it was before the walk masked it.
SCAN_INPUTS does the same for the scanner's target (fuzz/fuzz_scan.py)."""

import os

import pytest

from conftest import assert_runs_clean, run_python

pytest.importorskip("atheris")

FUZZ_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz")

INPUTS = {
    "seed_int_key_refused": "////////BACR/wE=",
    "seed_override_no_trust_dict_masked": "8hdZ4v8DASv/ASl2NnZ2dnZ2BQAAAHZ2dhAQEHZ2dqBZA1kBAAA=",
    "seed_override_omitter_list_masked": "Hykp1tbW1tbWN2RkZGRkZGRkZGRkZGRkZGRkZGRkZGRkZGRk1tbW1tbW1tbW1tbWLdYAAA==",
    "seed_override_no_trust_list_masked": "8hfg4ODg4ODiLaSoWFlA4ODg4ODg4HFxcXFxcXFxAAAAcXFxcXFxcWpIAQDg4ODg4ODg4ODg4DFZAQAA",
    "seed_override_omitter_dict_masked": "FyMf////////1tbW1tbW1tbW1tbW1tbW1tbW1tbU1vr6+vr6+gP0AAABANbW1tbW1vr6+vr6+gP0"
                                         "AAABAAAA1vo=",
    "seed_omitter_dict_masked": "/yr//3X//SUHBwcHBwfa2tra2tra2tra2gcHBwcHBwcHBwcHBwEAAAAAAAAABwcHBwcHBwcHBwcHBwcH"
                                "BwcHBwcHBwcHBwcHBw==",
    "found_stale_index_key_list_in_data": "ggBTxcXFAQAAGRkAABkZAPEBAPoGampqamoBAGpqampqampqAAAAAAAA1cUrxT3x1cUHxT3/8NMAxQ==",
}

SCAN_INPUTS = {
    # A rule whose policy masks only booleans changes a `true` outside any
    # string: the target had counted only policies of two or more entries.
    "found_boolean_only_policy": "IMyE9FMAvf//sSIiIiIiIgAAa2VlcAAAIiIiIiKxIiIiIiIiIiIiIiIiIiIiIiJTIiJiIhk=",
}


def replay(name, prelude="", target="fuzz_walk"):
    data = (INPUTS if target == "fuzz_walk" else SCAN_INPUTS)[name]
    return (f"import base64, sys\nsys.path.insert(0, {FUZZ_DIR!r})\nimport {target}\n{prelude}\n"
            f"{target}.TestOneInput(base64.b64decode({data!r}))\n")


@pytest.mark.parametrize("name", list(INPUTS))
def test_fuzz_input_replays_clean(name):
    assert_runs_clean(replay(name))


@pytest.mark.parametrize("name", [n for n in INPUTS if "masked" in n])
def test_target_reports_a_wrong_answer(name):
    proc = run_python(replay(name, 'fuzz_walk.model._mask = lambda text: "#" * len(text)'))
    assert proc.returncode == 1 and "AssertionError" in proc.stderr, proc.stderr[-2000:]


@pytest.mark.parametrize("name", list(SCAN_INPUTS))
def test_scan_fuzz_input_replays_clean(name):
    assert_runs_clean(replay(name, target="fuzz_scan"))


def test_scan_target_sees_a_policy_that_is_not_applied():
    # The same input with booleans left as they are by the scanner must be
    # reported: the walk's answer has `false` where the scan wrote `true`.
    prelude = ("import velmora.scan as vs\nreal = vs.scan\n"
               "fuzz_scan.scan = lambda o, d: real(fuzz_scan.Omitter([]), d) if b'true' in d else real(o, d)")
    proc = run_python(replay("found_boolean_only_policy", prelude, target="fuzz_scan"))
    assert proc.returncode == 1 and "AssertionError" in proc.stderr, proc.stderr[-2000:]
