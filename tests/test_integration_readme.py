"""The README's integration examples run as written, each in a fresh
interpreter, and print what the README says they print."""

import pathlib
import re

import pytest

from conftest import assert_runs_clean

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def examples():
    """(title, code, expected output) for each ```py block of the
    Integrations section that a ```text block follows. (They are not
    ```python blocks, which test_readme.py runs as one doctest session.)"""
    text = README.read_text(encoding="utf-8")
    section = text.split("\n## Integrations\n", 1)[1].split("\n## ", 1)[0]
    found = []
    for title, body in re.findall(r"\n### (.+?)\n(.*?)(?=\n### |\Z)", section, re.S):
        for code, output in re.findall(r"```py\n(.*?)```\s*```text\n(.*?)```", body, re.S):
            found.append(pytest.param(code, output, id=f"{title.strip('`')}-{len(found)}"))
    return found


EXAMPLES = examples()


def test_every_integration_has_an_example():
    names = " ".join(p.id for p in EXAMPLES)
    assert len(EXAMPLES) == 7 and all(n in names for n in ("logging", "structlog", "Sentry", "Dask"))
    # The supported wirings have their example: behind a queue, and structlog's stdlib chain.
    codes = [p.values[0] for p in EXAMPLES]
    assert any("QueueHandler" in code and "QueueListener" in code for code in codes)
    assert any("PositionalArgumentsFormatter" in code for code in codes)


@pytest.mark.parametrize("code, output", EXAMPLES)
def test_example_prints_what_the_readme_says(code, output):
    needs = {"structlog": "structlog", "sentry_sdk": "sentry_sdk", "distributed": "distributed"}
    for module, name in needs.items():
        if f"import {module}" in code or f"from {module} import" in code:
            pytest.importorskip(name, reason=f"{name} is not installed (pip install '.[test]')")
    assert assert_runs_clean(code).stdout == output
