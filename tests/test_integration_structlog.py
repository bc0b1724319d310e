"""velmora.integrations.structlog in a real structlog pipeline."""

import collections
import copy
import io
import json

import pytest

structlog = pytest.importorskip("structlog", reason="structlog is not installed (pip install '.[test]')")

from velmora.integrations.structlog import RedactingProcessor  # noqa: E402
from velmora.omit import Omitter  # noqa: E402


@pytest.fixture
def capture():
    """A logger whose pipeline ends in the processor under test and JSON
    written to a StringIO; yields (make_logger, output)."""
    out = io.StringIO()

    def make(processor):
        return structlog.wrap_logger(
            structlog.PrintLogger(out),
            processors=[structlog.processors.add_log_level, processor, structlog.processors.JSONRenderer(sort_keys=True)],
        )

    yield make, out


def lines(out):
    return [json.loads(line) for line in out.getvalue().splitlines()]


def test_event_dict_is_redacted_and_the_caller_keeps_its_objects(capture):
    make, out = capture
    user = {"name": "ann", "password": "hunter2", "cards": [{"pan": "4111"}]}
    snapshot = copy.deepcopy(user)
    log = make(RedactingProcessor(Omitter(["password", "pan", "token"]))).bind(user=user, request_id="r1")
    log.info("login", token="abc123", attempts=[{"token": "t"}])
    log.info("again")  # the bound context is still the caller's, unmasked
    first, second = lines(out)
    assert first == {"event": "login", "level": "info", "request_id": "r1", "token": "******",
                     "attempts": [{"token": "*"}],
                     "user": {"name": "ann", "password": "*******", "cards": [{"pan": "****"}]}}
    assert second["user"]["password"] == "*******"
    assert user == snapshot


def test_trust_list_and_withheld_values(capture):
    make, out = capture
    log = make(RedactingProcessor(trust=["event", "level", "id"]))
    odd = collections.OrderedDict(secret="s")
    log.warning("payment", id="p-1", amount=12.5, note="call me", odd={"inner": odd}, bad={3: "x"})
    (line,) = lines(out)
    assert line == {"event": "payment", "level": "warning", "id": "p-1", "amount": 12.5, "note": "*******",
                    "odd": {"inner": {"secret": "*"}}, "bad": "<withheld: TypeError while redacting>"}
    assert odd == {"secret": "s"}


def test_processor_returns_the_event_dict_it_was_given():
    processor = RedactingProcessor(hide=["pw"])
    event = {"event": "x", "pw": "secret", "nested": {"pw": "y"}}
    nested = event["nested"]
    assert processor(None, "info", event) is event
    assert event == {"event": "x", "pw": "******", "nested": {"pw": "*"}}
    assert nested == {"pw": "y"}
