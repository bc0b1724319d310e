"""The command line's paths, number and boolean policies and rules files,
as a person meets them: files and pipes, JSON Lines, and one-line errors
for every malformed rules file."""

import json

import pytest

from test_cli import velmora, write

DOC = {"user": {"name": "Ann", "email": "ann@example.com", "age": 41, "vip": True},
       "product": {"name": "tea", "price": 3.5}, "iban": "DE89370400440532013000", "pin": 1234}

RULES = """
keys = ["iban", "pin"]
paths = ["$.user.email", "$.user.name"]
numbers = "zero"
booleans = "false"

[policies]
iban = { keep_last = 4 }
"$.user.email" = { mask = "[email]" }
"""


def test_a_rules_file_from_a_file_into_a_file(tmp_path):
    rules = write(tmp_path / "rules.toml", RULES)
    source = write(tmp_path / "in.json", json.dumps(DOC, indent=2))
    code, out, err = velmora("--rules", rules, source, "-o", tmp_path / "out.json")
    assert (code, out, err) == (0, "", "")
    assert json.loads((tmp_path / "out.json").read_text()) == {
        "user": {"name": "***", "email": "[email]", "age": 41, "vip": True},
        "product": {"name": "tea", "price": 3.5}, "iban": "******************3000", "pin": 0}
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.json", "out.json", "rules.toml"]


def test_options_given_win_over_the_file_and_add_to_it(tmp_path):
    rules = write(tmp_path / "rules.toml", RULES)
    code, out, _ = velmora("--rules", rules, "--numbers", "digits", "--path", "$.product", stdin=json.dumps(DOC))
    assert code == 0
    assert json.loads(out)["pin"] == 8888 and json.loads(out)["product"] == {"name": "***", "price": 8.8}


def test_paths_numbers_and_booleans_on_a_pipe_keep_every_other_byte():
    text = '{ "a" : [1, -2.5e3 ,"x", true],\n  "b":{"c":false , "d": null}, "e": 7 }'
    code, out, err = velmora("--path", "$.a", "--path", "$..c", "--numbers", "zero", "--booleans", "string",
                             stdin=text)
    assert (code, err) == (0, "")
    assert out == '{ "a" : [0, 0.0 ,"*", "[Filtered]"],\n  "b":{"c":"[Filtered]" , "d": null}, "e": 7 }'


def test_lines_and_trust():
    lines = '{"id": 1, "pub": {"n": "x", "k": [true]}, "s": "y"}\n\n{"pub": 5, "id": "z"}\n'
    code, out, _ = velmora("--lines", "--trust", "id", "--path", "$.pub", "--booleans", "false", stdin=lines)
    assert code == 0
    assert out == '{"id": 1, "pub": {"n": "x", "k": [true]}, "s": "*"}\n\n{"pub": 5, "id": "z"}\n'


@pytest.mark.parametrize("text, message", [
    ("paths = [\n", "invalid TOML: "),
    ("keys = 'pw'\n", "keys must be a list of strings"),
    ("paths = [1]\n", "paths must be a list of strings"),
    ("colour = 'red'\n", "unknown item 'colour' (expected keys, contains, patterns, paths, numbers, booleans, "
                         "policies)"),
    ("numbers = 'ten'\n", "numbers must be one of keep, zero, digits, string, not 'ten'"),
    ("booleans = true\n", "booleans must be one of keep, false, string, not True"),
    ("contains = ['']\n", "an empty word in contains would match every key"),
    ("patterns = ['(']\n", "pattern '(': invalid regular expression: missing ), unterminated subpattern at position 0"),
    ("paths = ['$.a', '$..']\n", "paths[1] '$..': a name is expected at position 3"),
    ("policies = { pw = 4 }\n", "policies must be a table of tables, one per rule"),
    ("[policies]\nzz = { mask = 'm' }\n",
     "policies names 'zz', which is none of the omitter's exact keys, words, patterns or paths"),
    ("keys = ['pw']\n[policies]\npw = { keep = 4 }\n", "policies['pw'] has an unknown item 'keep'"),
    (b"keys = ['\xff']\n", "is not UTF-8 text"),
])
def test_a_malformed_rules_file_is_one_line_naming_it(tmp_path, text, message):
    path = tmp_path / "r.toml"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    code, out, err = velmora("--rules", path, stdin="{}")
    assert code == 2 and out == ""
    assert err.count("\n") == 1 and err.startswith(f"velmora: rules file {path}") and message in err, err


def test_a_missing_rules_file_and_misplaced_options(tmp_path):
    code, _, err = velmora("--rules", tmp_path / "none.toml", stdin="{}")
    assert code == 1 and err == f"velmora: cannot read rules file {tmp_path / 'none.toml'}: No such file or directory\n"
    code, _, err = velmora("--path", "$[", stdin="{}")
    assert code == 2 and err == "velmora: paths[0] '$[': a quoted name, an index or '*' is expected at position 2\n"
    code, _, err = velmora("--text", "--path", "$.a", "--detect", "jwt", stdin="x")
    assert code == 2 and "--path cannot be used with --text" in err
    code, _, err = velmora("--numbers", "zero", "--whole", "--hide", "a", stdin="{}")
    assert code == 2 and "numbers cannot be combined with whole" in err
