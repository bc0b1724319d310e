"""velmora.detect's stub file describes the installed extension module."""

import subprocess
import sys

import pytest


def test_stubtest_finds_no_differences():
    pytest.importorskip("mypy")
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "velmora.detect"], capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_the_stub_serves_a_strict_user(tmp_path):
    pytest.importorskip("mypy")
    user = tmp_path / "user.py"
    user.write_text(
        "from velmora.detect import Detector\n"
        "d = Detector(['s3cret-value'], formats=['aws', 'card'], keep_last=4)\n"
        "text: str = d.mask('x')\n"
        "data: bytes = d.mask(b'x')\n"
        "spans: list[tuple[int, int, tuple[str, ...]]] = d.find('x')\n"
        "out: bytes = d.masker().feed(b'x') + d.masker().finish()\n"
        "wrong: str = d.mask(b'x')\n"
    )
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", str(user)], capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 1 and proc.stdout.count("error:") == 1, proc.stdout
    assert "user.py:7:" in proc.stdout, proc.stdout
