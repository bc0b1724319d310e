"""Loaded into the test cluster's workers (``dask worker --preload``): each
block takes at least VELMORA_TEST_PACE seconds more, and each block a
worker is done with leaves a file in VELMORA_TEST_MARKS. A test then acts
mid-run, and counts the blocks that ran, on a machine of any speed.

Tasks name the block function by reference, so the wrapper set here is the
one the workers run. (A worker may load this file twice: the wrapper wraps
the module's own function, never itself.)"""

import os
import time

import velmora.integrations.dask as integration

_redact_block = getattr(integration, "_unpaced_redact_block", integration._redact_block)
integration._unpaced_redact_block = _redact_block


def _paced(*args, **kwargs):
    time.sleep(float(os.environ["VELMORA_TEST_PACE"]))
    try:
        return _redact_block(*args, **kwargs)
    finally:
        mark = os.path.join(os.environ["VELMORA_TEST_MARKS"], f"{os.getpid()}-{time.monotonic_ns()}")
        open(mark, "x").close()


integration._redact_block = _paced
