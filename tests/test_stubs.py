"""The type stubs describe the installed extension modules."""

import subprocess
import sys

import pytest


@pytest.mark.parametrize("module", ["velmora.omit", "velmora.redact", "velmora.rules", "velmora.scan"])
def test_stubtest_finds_no_differences(module):
    pytest.importorskip("mypy")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module], capture_output=True, text=True, timeout=600
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
