"""End-to-end tests of the command line, each run in its own interpreter."""

import json
import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")


def console_script():
    beside = os.path.join(os.path.dirname(sys.executable), "velmora")
    found = beside if os.path.exists(beside) else shutil.which("velmora")
    if not found:
        pytest.skip("the velmora console script is not installed")
    return [found]


def velmora(*args, stdin="", cwd=None, script=False):
    command = console_script() if script else [sys.executable, "-m", "velmora"]
    proc = subprocess.run(command + [str(a) for a in args], input=stdin.encode(), cwd=cwd,
                          capture_output=True, timeout=120)
    assert b"Traceback" not in proc.stderr, proc.stderr.decode()
    return proc.returncode, proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8")


def write(path, text):
    path.write_text(text, encoding="utf-8")
    return path


def test_bundled_example_document():
    code, out, err = velmora("--keys-file", "examples/keys.txt", "examples/records.json", cwd=ROOT)
    assert (code, err) == (0, "")
    with open(os.path.join(EXAMPLES, "records.json"), encoding="utf-8") as f:
        original = json.load(f)
    result = json.loads(out)
    for before, after in zip(original["users"], result["users"]):
        assert after["password"] == "*" * len(before["password"]) != before["password"]
        assert after["phone_numbers"] == ["*" * len(p) for p in before["phone_numbers"]]
        assert after["address"]["street"] == "*" * len(before["address"]["street"])
        for key in ("id", "verified", "balance", "tags", "full_name", "last_login"):
            assert after[key] == before[key]
        assert after["address"]["city"] == before["address"]["city"]
    assert result["users"][1]["api_token"] is None
    assert result["session"] == {"token": "*" * 17, "expires_in": 3600, "refresh_token": "*" * 15}
    assert "Gdańsk" in out and '\n  "users": [' in out  # raw non-ASCII, indented by default


def test_several_inputs_stdin_and_top_level_shapes(tmp_path):
    write(tmp_path / "list.json", '[{"pw": "ab", "n": [{"pw": ["xy", 3]}]}, "pw", ["pw"]]')
    write(tmp_path / "scalar.json", '"a top-level string"')
    code, out, err = velmora("--hide", "pw", "--compact", "list.json", "-", "scalar.json",
                             stdin='{"pw": "€uro", "ok": true}', cwd=tmp_path)
    assert (code, err) == (0, "")
    assert out.splitlines() == [
        '[{"pw":"**","n":[{"pw":["**",3]}]},"pw",["pw"]]',
        '{"pw":"****","ok":true}',
        '"a top-level string"',
    ]


def test_trust_with_keys_file(tmp_path):
    write(tmp_path / "keys.txt", "\n  name \n\nok\n")
    write(tmp_path / "doc.json", '{"id": "7", "name": "Ann", "ok": "yes", "n": 5, "b": false,'
                                 ' "tags": ["x", "yz"], "sub": {"name": "Bo", "pin": "1234"}}')
    code, out, err = velmora("--trust", "id", "--keys-file", "keys.txt", "--indent", "0",
                             "doc.json", cwd=tmp_path)
    assert (code, err) == (0, "")
    assert json.loads(out) == {"id": "7", "name": "Ann", "ok": "yes", "n": 5, "b": False,
                               "tags": ["*", "**"], "sub": {"name": "Bo", "pin": "****"}}


def test_json_lines_from_stdin_to_file(tmp_path):
    records = '{"k": "secret", "v": 1}\n\n[{"k": "ab"}, "k"]\r\n{"k": ["ü", null]}'
    code, out, err = velmora("--lines", "--hide", "k", "-o", "out.jsonl", "-", stdin=records,
                             cwd=tmp_path)
    assert (code, out, err) == (0, "", "")
    # Byte for byte but the masks: the blank line, the CRLF, the spacing and
    # the missing final line break are all kept.
    assert (tmp_path / "out.jsonl").read_bytes() == \
        '{"k": "******", "v": 1}\n\n[{"k": "**"}, "k"]\r\n{"k": ["*", null]}'.encode()
    assert sorted(os.listdir(tmp_path)) == ["out.jsonl"]


def test_jobs_keep_order_and_match_a_single_process(tmp_path):
    lines = [json.dumps({"id": i, "token": "t" * (i % 7), "nested": [{"token": str(i)}]})
             for i in range(60)]
    lines[13] = '{"id": 13, "token": '
    lines[41] = "not json"
    write(tmp_path / "in.jsonl", "\n".join(lines) + "\n")
    runs = [velmora("--lines", "--skip-invalid", "--hide", "token", "--jobs", jobs,
                    "--batch-size", 4, "in.jsonl", cwd=tmp_path) for jobs in (1, 2)]
    assert runs[0] == runs[1]
    code, out, err = runs[0]
    assert code == 0
    assert "skipped 2 invalid lines" in err and "in.jsonl:14" in err
    records = [json.loads(line) for line in out.splitlines()]
    assert [r["id"] for r in records] == [i for i in range(60) if i not in (13, 41)]
    assert all(r["token"] == "*" * (r["id"] % 7) for r in records)
    assert all(r["nested"] == [{"token": "*" * len(str(r["id"]))}] for r in records)


def test_bad_document_names_the_place_and_leaves_output_alone(tmp_path):
    write(tmp_path / "good.json", '{"a": "b"}')
    write(tmp_path / "bad.json", '{"a": 1,\n "b": [1,\n  2 x]}')
    write(tmp_path / "out.json", "previous contents")
    code, out, err = velmora("--hide", "a", "-o", "out.json", "good.json", "bad.json",
                             cwd=tmp_path)
    assert code == 2
    assert "bad.json" in err and "line 3, column 5" in err and "Expecting ',' delimiter" in err
    assert (tmp_path / "out.json").read_text() == "previous contents"
    assert sorted(os.listdir(tmp_path)) == ["bad.json", "good.json", "out.json"]


def test_bad_line_is_named_and_stops_the_run(tmp_path):
    write(tmp_path / "in.jsonl", '{"a": "x"}\n{"a": "y"}\n{"a": tru}\n{"a": "z"}\n')
    write(tmp_path / "out.jsonl", "kept")
    code, out, err = velmora("--lines", "--hide", "a", "-o", "out.jsonl", "in.jsonl",
                             cwd=tmp_path)
    assert code == 2
    assert "in.jsonl:3:" in err and "column 7" in err
    assert (tmp_path / "out.jsonl").read_text() == "kept"
    assert sorted(os.listdir(tmp_path)) == ["in.jsonl", "out.jsonl"]


@pytest.mark.parametrize("args, stdin, status, message", [
    (["--hide", "a", "--trust", "b"], "{}", 2, "not allowed with argument"),
    (["examples/records.json"], "", 2, "say which keys to mask"),
    (["--hide", "a", "--lines", "--indent", "2"], "", 2, "--indent cannot be used with --lines"),
    (["--hide", "a"], "[" * 100_000, 2,
     "<stdin>:1:100001: invalid JSON at line 1, column 100001: Expecting value"),
    (["--hide", "a", "missing.json"], "", 1, "cannot read missing.json: No such file"),
])
def test_usage_and_failures(args, stdin, status, message):
    # The last case goes through the installed console script.
    code, out, err = velmora(*args, stdin=stdin, cwd=ROOT, script="missing.json" in args)
    assert (code, out) == (status, "")
    assert message in err


SAMPLE = {"Authorization": "Bearer x", "X-Api-Key": "k1", "db_password": 3, "user": "ann", "ID": "7",
          "n": {"StripeSecretKey": "sk_live_1234", "pin": "0000", "tags": ["a", "bb"]},
          "cards": ["4111111111114242"], "session": {"id": 9}, "Token_2": "tok"}


@pytest.mark.parametrize("flags, kind, rules", [
    (["--defaults"], "hide", {"defaults": True}),
    (["--defaults", "--whole"], "hide", {"defaults": True, "whole": True}),
    (["--defaults", "--whole", "--mask", "<x>"], "hide", {"defaults": True, "whole": True, "mask": "<x>"}),
    (["--defaults", "--mask", "[Filtered]"], "hide", {"defaults": True, "mask": "[Filtered]"}),
    (["--hide", "cards", "--keep-last", "4"], "hide", {"keep_last": 4}),
    (["--hide", "PIN", "--hide", "id", "--ignore-case"], "hide", {"ignore_case": True}),
    (["--contains", "KEY", "--contains", "token"], "hide", {"contains": ["KEY", "token"]}),
    (["--pattern", "(?i)secret|^id$", "--pattern", r"_\d$"], "hide", {"patterns": ["(?i)secret|^id$", r"_\d$"]}),
    (["--trust", "user", "--trust", "tags", "--defaults"], "trust", {"defaults": True}),
    (["--trust", "USER", "--ignore-case", "--contains", "n", "--whole"], "trust",
     {"ignore_case": True, "contains": ["n"], "whole": True}),
], ids=lambda v: " ".join(v) if isinstance(v, list) else None)
@pytest.mark.parametrize("lines", [False, True], ids=["document", "lines"])
def test_rule_flags_give_the_verdicts_of_the_rule_omitters(flags, kind, rules, lines):
    from velmora.rules import RuleNoTrustOmitter, RuleOmitter

    keys = [flags[i + 1] for i, f in enumerate(flags) if f in ("--hide", "--trust")]
    omitter = (RuleNoTrustOmitter if kind == "trust" else RuleOmitter)(keys, **rules)
    text = json.dumps(SAMPLE, ensure_ascii=False)
    code, out, err = velmora(*flags, *(["--lines"] if lines else []), stdin=text + "\n")
    assert (code, err) == (0, "")
    assert json.loads(out) == omitter.omit(json.loads(text))


@pytest.mark.parametrize("args, message", [
    (["--pattern", "x("], "velmora: --pattern 'x(': invalid regular expression: "
                          "missing ), unterminated subpattern at position 1\n"),
    (["--hide", "a", "--keep-last", "2", "--mask", "z"], "--keep-last cannot be used with --mask"),
    (["--hide", "a", "--keep-last", "2", "--whole"], "--keep-last cannot be used with --whole"),
    (["--hide", "a", "--keep-last", "0"], "argument --keep-last: expected a whole number >= 1, got '0'"),
    (["--contains", ""], "argument --contains: an empty WORD would match every key"),
], ids=["pattern", "keep-mask", "keep-whole", "keep-zero", "empty-word"])
def test_bad_rule_flags_are_refused_before_reading(args, message):
    code, out, err = velmora(*args, stdin='{"a": "b"}')
    assert code == 2 and out == "" and message in err, err


def test_version_is_shown_and_only_then_looked_up():
    import importlib.metadata
    code, out, err = velmora("--version", "--hide", "a")
    assert (code, out, err) == (0, f"velmora {importlib.metadata.version('velmora')}\n", "")
    # A run does without the metadata machinery (and, in one thread, the
    # thread pool): both cost start-up time.
    probe = ("import sys, runpy; sys.argv = ['velmora', '--lines', '--quiet', '--hide', 'a', '-'];\n"
             "try:\n    runpy.run_module('velmora', run_name='__main__')\n"
             "except SystemExit:\n    pass\n"
             "print(sorted(m for m in ('importlib.metadata', 'concurrent.futures') if m in sys.modules))")
    proc = subprocess.run([sys.executable, "-c", probe], input=b'{"a": "b"}\n', capture_output=True, timeout=120)
    assert proc.stdout.decode().splitlines() == ['{"a": "*"}', "[]"], proc.stderr.decode()


@pytest.mark.parametrize("args, loaded", [
    (["--hide", "password", "--lines"], False),
    (["--hide", "password", "-o", "{out}"], False),
    (["--rules", "{rules}"], True),
])
def test_start_up_loads_the_rules_reader_only_for_a_rules_file(tmp_path, args, loaded):
    # A run without a rules file must not pay for the TOML reader (nor for
    # uuid, which the replaced-file names once took): start-up is what a
    # short input costs.
    rules = write(tmp_path / "rules.toml", 'keys = ["password"]\n')
    args = [a.format(out=tmp_path / "out.json", rules=rules) for a in args]
    probe = ("import runpy, sys, atexit\n"
             "atexit.register(lambda: sys.stderr.write(repr(sorted({'tomllib', 'uuid'} & set(sys.modules)))))\n"
             f"sys.argv = ['velmora', *{args!r}]\n"
             "runpy.run_module('velmora', run_name='__main__')\n")
    proc = subprocess.run([sys.executable, "-c", probe], input=b'{"password": "hunter2"}\n',
                          capture_output=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert b"*******" in proc.stdout or (tmp_path / "out.json").read_bytes().count(b"*") == 7
    assert proc.stderr.decode().endswith("['tomllib']" if loaded else "[]")
