"""The type stubs describe the installed extension module."""

import subprocess
import sys

import pytest


def test_stubtest_finds_no_differences():
    pytest.importorskip("mypy")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "velmora.omit"], capture_output=True, text=True, timeout=600
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
