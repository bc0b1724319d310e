"""The README's detection section says what the code does: the log excerpt
is what `velmora --text` writes, and every row of the formats table is
caught by its format and missed by the key rules."""

import pathlib
import re
import subprocess
import sys

import pytest

from velmora.detect import FORMATS, Detector
from velmora.rules import RuleOmitter

README = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")


def section(marker):
    start = README.index(f"<!-- {marker}:")
    return README[start:README.index("\n### ", start) if "\n### " in README[start:] else None]


def table_rows():
    rows = []
    for line in section("detect-formats").splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if len(cells) == 4 and cells[0] not in ("format", "---"):
            name = cells[0].split("`")[1] if cells[0].startswith("`") else None
            rows.append((name, cells[2].strip("`")))
    return rows


def test_the_log_excerpt_is_what_the_command_writes(tmp_path):
    before, after = re.findall(r"```text\n(.*?)```", section("detect-excerpt"), re.S)[:2]
    (tmp_path / "app.log").write_text(before, encoding="utf-8")
    (tmp_path / "secrets.txt").write_text("relay-pass-2026\n", encoding="utf-8")
    proc = subprocess.run([sys.executable, "-m", "velmora", "--text", "--detect", "all", "--secrets-file",
                           "secrets.txt", "app.log"], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert (proc.returncode, proc.stderr, proc.stdout) == (0, "", after)
    assert before != after and len(before) == len(after)


def test_every_format_has_rows_and_each_row_is_caught_by_it_alone():
    rows = table_rows()
    # Rows in the order of FORMATS, a format's rows together, one at least each.
    order = list(FORMATS) + [None]
    names = [name for name, _ in rows]
    assert names == sorted(names, key=order.index) and set(names) == set(order)
    rules = RuleOmitter(defaults=True)
    for name, line in rows:
        detector = Detector(["relay-pass-2026"], formats=[]) if name is None else Detector(formats=[name])
        masked = detector.mask(line)
        assert masked != line and "*" in masked, (name, line)
        assert rules.omit({"msg": line}) == {"msg": line}


@pytest.mark.parametrize("name, line", [row for row in table_rows() if row[0] not in ("card", "private-key", None)])
def test_the_table_samples_are_clean_of_other_formats(name, line):
    # Each sample shows its own format: no other default format finds it.
    others = [other for other in FORMATS if other not in (name, "card")]
    assert Detector(formats=others).find(line) == []
