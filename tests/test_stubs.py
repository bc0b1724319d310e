"""The type stubs describe the installed extension modules, and a program
that uses every integration type-checks under `mypy --strict`."""

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


# Every integration, as a user's program would use it.
USER_PROGRAM = """
import logging
import logging.handlers
import queue

import sentry_sdk
import structlog

from velmora.integrations.dask import Redacted, redact_lines
from velmora.integrations.logging import RedactingFilter, RedactingFormatter, redact_record
from velmora.integrations.sentry import DEFAULT_KEYS, SentryRedactor
from velmora.integrations.structlog import RedactingProcessor
from velmora.omit import NoTrustOmitter, Omitter
from velmora.rules import RuleOmitter

log = logging.getLogger("app")
log.addFilter(RedactingFilter(hide=["password"]))
log.addFilter(RedactingFilter(trust=("id", "user")))
handler = logging.StreamHandler()
handler.setFormatter(RedactingFormatter("%(message)s", omitter=NoTrustOmitter(["id"])))
handler.setFormatter(RedactingFormatter(fmt="%(message)s", style="{", hide=["token"], defaults={"x": 1}))
front = logging.handlers.QueueHandler(queue.SimpleQueue())
front.addFilter(RedactingFilter(RuleOmitter(defaults=True)))
record = logging.makeLogRecord({"msg": "x"})
redact_record(Omitter(["password"]), record)
kept: bool = RedactingFilter(hide=["a"]).filter(record)
text: str = RedactingFormatter(hide=["a"]).format(record)

structlog.configure(processors=[structlog.stdlib.filter_by_level, RedactingProcessor(hide=["password"]),
                                structlog.stdlib.PositionalArgumentsFormatter(),
                                structlog.processors.JSONRenderer()],
                    logger_factory=structlog.stdlib.LoggerFactory(), wrapper_class=structlog.stdlib.BoundLogger)

redactor = SentryRedactor()
SentryRedactor(RuleOmitter(list(DEFAULT_KEYS), ignore_case=True), hide=None)
sentry_sdk.init(dsn="https://public@sentry.invalid/1", before_send=redactor.before_send,
                before_send_transaction=redactor.before_send_transaction,
                before_breadcrumb=redactor.before_breadcrumb)
omitter: Omitter = redactor.omitter


def clean_dataset() -> Redacted:
    return redact_lines(Omitter(["password"]), "in.jsonl", "out.jsonl", skip_invalid=True)
"""

# The integrations' own modules, but Dask's, which calls into Dask's
# untyped functions.
TYPED_MODULES = ["velmora.integrations", "velmora.integrations._common", "velmora.integrations.logging",
                 "velmora.integrations.structlog", "velmora.integrations.sentry"]


@pytest.mark.parametrize("what", ["user_program", "modules"])
def test_the_integrations_type_check_strictly(what, tmp_path):
    pytest.importorskip("mypy")
    for module in ("structlog", "sentry_sdk", "distributed"):
        pytest.importorskip(module)
    if what == "user_program":
        (tmp_path / "program.py").write_text(USER_PROGRAM, encoding="utf-8")
        target = ["program.py"]
    else:
        target = [arg for module in TYPED_MODULES for arg in ("-m", module)]
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *target],
                          capture_output=True, text=True, timeout=600, cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
