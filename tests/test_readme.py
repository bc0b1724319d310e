"""The README's Python examples run as written, top to bottom, in one
session, as a reader would type them."""

import doctest
import pathlib
import re

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples(monkeypatch):
    monkeypatch.chdir(README.parent)  # the examples read the bundled files
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    test = doctest.DocTestParser().get_doctest("".join(blocks), {}, "README", str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert len(test.examples) >= 8 and runner.failures == 0
