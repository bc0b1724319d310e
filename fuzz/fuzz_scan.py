"""Fuzz target for velmora.scan.

Half the inputs are arbitrary bytes, half are JSON documents built from the
fuzzer's bytes with every spelling JSON allows (escapes, surrogates, number
forms, white space). Either way:

* scan() and scan_lines() never crash, and fail only with ScanError whose
  position is inside the text;
* the scanner accepts exactly what Python's json accepts (UTF-8, a leading
  BOM allowed), with the same message where json names the fault;
* what it writes parses to what the object walk makes of the parsed input,
  differs from the input only inside string tokens, and is the input itself
  for an omitter that hides nothing;
* scan_lines() on the text's lines agrees with scan() line by line;
* every vector path of the scanner (scalar, SSE2, AVX2: those this machine
  runs) does all of the above and gives the very same bytes and errors.

A third of the omitters are RuleOmitters (a quarter of them trusting:
RuleNoTrustOmitter) with a plan made from the fuzzer's bytes: JSON paths over the same keys (members, `*`, indexes, `..name`),
policies per rule, number and boolean policies, `whole`. Their scans must
accept and refuse exactly what a scan that hides nothing does, with the
same error, and write what the object walk of the same omitter makes of the
parsed input.

    python fuzz/fuzz_scan.py -max_total_time=60 fuzz/corpus_scan
"""

import json
import os
import re
import sys

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
with atheris.instrument_imports():
    import model

import velmora.scan as vscan
from velmora.omit import NoTrustOmitter, Omitter
from velmora.rules import RuleNoTrustOmitter, RuleOmitter
from velmora.scan import ScanError, scan, scan_lines

PATHS = vscan._paths()

KEYS = ["a", "b", "pw", "é", "\U0001f600", "", "\ud800"]
SPACES = ["", " ", "\t", "\n", "\r\n", "\r"]
NUMBERS = ["0", "-0", "1.5", "1e5", "1E+5", "-2.5e-7", "1e400", "NaN", "Infinity", "-Infinity", "123456789012345678901"]
STRING = re.compile(rb'"(?:[^"\\]|\\.)*"', re.S)
BOM = b"\xef\xbb\xbf"
# From 3.13 json names a trailing comma itself; the scanner keeps the names
# json gave before, the same on every line.
TRAILING_COMMA = {"Illegal trailing comma before end of array": "Expecting value",
                  "Illegal trailing comma before end of object": "Expecting property name enclosed in double quotes"}


def string_token(fdp, text):
    out = []
    for c in text:
        code = ord(c)
        if c in '"\\' or code < 0x20 or 0xD800 <= code <= 0xDFFF or fdp.ConsumeIntInRange(0, 4) == 0:
            if code > 0xFFFF:
                v = code - 0x10000
                out.append(f"\\u{0xD800 + (v >> 10):04x}\\u{0xDC00 + (v & 0x3FF):04x}")
            else:
                out.append({'"': '\\"', "\\": "\\\\", "\n": "\\n", "/": "\\/"}.get(c, f"\\u{code:04X}"))
        else:
            out.append(c)
    return '"' + "".join(out) + '"'


def text_of(fdp, depth=0):
    space = SPACES[fdp.ConsumeIntInRange(0, len(SPACES) - 1)]
    pick = fdp.ConsumeIntInRange(0, 6 if depth < 8 else 4)
    if pick == 0:
        value = NUMBERS[fdp.ConsumeIntInRange(0, len(NUMBERS) - 1)]
    elif pick == 1:
        value = ["true", "false", "null"][fdp.ConsumeIntInRange(0, 2)]
    elif pick == 2:
        value = str(fdp.ConsumeInt(4))
    elif pick <= 4:
        text = KEYS[fdp.ConsumeIntInRange(0, len(KEYS) - 1)] if fdp.ConsumeBool() else \
            fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 6))
        value = string_token(fdp, text)
    elif pick == 5:
        items = [text_of(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
        value = "[" + ",".join(items) + "]"
    else:
        members = [string_token(fdp, KEYS[fdp.ConsumeIntInRange(0, len(KEYS) - 1)]) + ":" + text_of(fdp, depth + 1)
                   for _ in range(fdp.ConsumeIntInRange(0, 4))]
        value = "{" + ",".join(members) + "}"
    return space + value + space


def python_json(data):
    """What Python's json makes of the bytes: ("ok", value), ("bad", message)
    or ("skip", None) where it stops for reasons of its own."""
    body = data[3:] if data.startswith(BOM) else data
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError:
        return "bad", "Invalid UTF-8"
    try:
        return "ok", json.loads(text)
    except json.JSONDecodeError as exc:
        return "bad", TRAILING_COMMA.get(exc.msg, exc.msg)
    except (RecursionError, ValueError):  # depth, or a number with too many digits
        return "skip", None


# Path names: plain, and ones that need the bracket form or are not ASCII.
PATH_NAMES = ["a", "b", "pw", "é"]
MASKS = [{"mask": "[p]"}, {"keep_last": 1}, {"mask": "", "numbers": "string"}, {"booleans": "false"}]


def path_of(fdp):
    steps = []
    for _ in range(fdp.ConsumeIntInRange(1, 3)):
        name = PATH_NAMES[fdp.ConsumeIntInRange(0, len(PATH_NAMES) - 1)]
        kind = fdp.ConsumeIntInRange(0, 3)
        steps.append([f"['{name}']", ".*", f"[{fdp.ConsumeIntInRange(0, 2)}]", f"..['{name}']"][kind])
    return "$" + "".join(steps)


def planned_omitter(fdp, keys):
    """A RuleOmitter whose plan follows paths, with policies, from the input."""
    paths = list(dict.fromkeys(path_of(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))))
    whole = fdp.ConsumeIntInRange(0, 5) == 0
    rules = [k for k in keys if k] + paths
    policies = {}
    for _ in range(fdp.ConsumeIntInRange(0, 2) if rules else 0):
        mask = dict(MASKS[fdp.ConsumeIntInRange(0, 0 if whole else len(MASKS) - 1)])
        policies[rules[fdp.ConsumeIntInRange(0, len(rules) - 1)]] = mask
    # (not "digits": the walk sees a float where the scanner sees its text)
    numbers = "keep" if whole else ["keep", "zero"][fdp.ConsumeIntInRange(0, 1)]
    booleans = "keep" if whole else ["keep", "false"][fdp.ConsumeIntInRange(0, 1)]
    if fdp.ConsumeIntInRange(0, 3) == 0:  # a trusting plan: the paths select what is kept
        omitter = RuleNoTrustOmitter(keys, paths=paths, defaults=fdp.ConsumeBool(), numbers=numbers,
                                     booleans=booleans, whole=whole)
        return omitter, not (whole or numbers != "keep" or booleans != "keep")
    omitter = RuleOmitter(keys, paths=paths, policies=policies,
                          numbers=numbers, booleans=booleans, whole=whole)
    # Only strings change unless numbers, booleans or whole values are masked,
    # by the omitter or by any one rule's policy.
    typed = whole or numbers != "keep" or booleans != "keep" or \
        any(p.keys() & {"numbers", "booleans", "whole"} for p in policies.values())
    return omitter, not typed


def walk(omitter, value):
    """The object walk of the document, or SKIP: a value at the top that is
    no container, under a trusting plan, has no walk of its own to match
    (wrapped in a list, it would stand where the paths see an item)."""
    if isinstance(omitter, RuleNoTrustOmitter) and type(value) not in (dict, list):
        return SKIP
    return model.walk_document(omitter, value)


SKIP = object()


def check(data, omitter, strings_only=True):
    try:
        out = scan(omitter, data)
    except ScanError as exc:
        assert 0 <= exc.pos <= len(data) and exc.lineno >= 1 and exc.colno >= 1, exc
        verdict, message = python_json(data)
        assert verdict != "ok", f"scan refused what json accepts: {exc}"
        if verdict == "bad" and exc.msg != "Invalid UTF-8" and message != "Invalid UTF-8":
            assert exc.msg == message, (exc.msg, message)
        out = None
    if out is not None:
        verdict, value = python_json(data)
        assert verdict != "bad", f"scan accepted what json refuses: {value}"
        assert scan(Omitter([]), data) == data
        if strings_only:
            assert STRING.sub(b'""', out) == STRING.sub(b'""', data)
        if verdict == "ok":
            expected = walk(omitter, value)
            assert expected is SKIP or model.same_json(json.loads(out[3:] if out.startswith(BOM) else out), expected)
    # Lines: each line on its own as scan() sees it; a bad line goes with
    # its line break, a blank one stays as it is.
    lines = data.split(b"\n")
    expected, bad = [], 0
    for i, line in enumerate(lines):
        ending = b"\n" if i < len(lines) - 1 else b""
        if not line.removeprefix(BOM).strip(b" \t\r"):
            expected.append(line + ending)
            continue
        try:
            expected.append(scan(omitter, line) + ending)
        except ScanError:
            bad += 1
    joined, errors, count = scan_lines(omitter, data, skip_invalid=True)
    assert joined == b"".join(expected), (joined, expected)
    assert len(errors) == bad and all(1 <= e.lineno <= len(lines) for e in errors)
    assert count == len(lines) - (lines[-1] == b""), (count, lines)


def outcome(call):
    try:
        return call()
    except ScanError as exc:
        return ("ScanError", exc.msg, exc.pos, exc.lineno, exc.colno)


def check_every_path(data, omitter, strings_only=True, planned=False):
    seen = []
    for path in PATHS:
        vscan._set_path(path)
        check(data, omitter, strings_only)
        if planned:  # a plan changes values, never what is accepted, nor the error
            plain = outcome(lambda: scan(Omitter([]), data))
            mine = outcome(lambda: scan(omitter, data))
            assert (type(plain) is tuple) == (type(mine) is tuple) and \
                (type(plain) is not tuple or plain == mine), (plain, mine)
        seen.append((outcome(lambda: scan(omitter, data)), repr(outcome(lambda: scan_lines(omitter, data))),
                     repr(outcome(lambda: scan_lines(omitter, data, skip_invalid=True)))))
    assert all(s == seen[0] for s in seen), dict(zip(PATHS, seen))


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    keys = [KEYS[fdp.ConsumeIntInRange(0, len(KEYS) - 1)] for _ in range(fdp.ConsumeIntInRange(0, 3))]
    kind = fdp.ConsumeIntInRange(0, 2)
    strings_only = True
    if kind == 2:
        omitter, strings_only = planned_omitter(fdp, keys)
    else:
        omitter = Omitter(keys) if kind == 0 else NoTrustOmitter(keys)
    if fdp.ConsumeBool():
        text = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 512))
    else:
        text = text_of(fdp).encode("utf-8")
        if fdp.ConsumeIntInRange(0, 7) == 0:
            text = BOM + text
    check_every_path(text, omitter, strings_only, planned=kind == 2)


if __name__ == "__main__":
    atheris.instrument_all()
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
