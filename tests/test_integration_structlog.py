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


def stdlib_chain(processor, out):
    """structlog's standard-library chain, writing through a logging handler."""
    import logging

    handler = logging.StreamHandler(out)
    handler.setFormatter(logging.Formatter("%(message)s"))
    backend = logging.getLogger(f"velmora.test.structlog.{id(out)}")
    backend.handlers, backend.propagate = [handler], False
    backend.setLevel(logging.INFO)
    return structlog.wrap_logger(backend, wrapper_class=structlog.stdlib.BoundLogger, processors=[
        structlog.stdlib.filter_by_level, processor, structlog.stdlib.PositionalArgumentsFormatter(),
        structlog.processors.JSONRenderer()])


@pytest.mark.parametrize("args, shown", [
    (({"user": "ann", "password": "hunter2"},), "login {'user': 'ann', 'password': '*******'}"),
    ((collections.OrderedDict(password="hunter2"),), "login {'password': '*******'}"),
    (([{"password": "hunter2"}], 7), "login [{'password': '*******'}] 7"),
    ((({"password": "hunter2"},), "ann"), "login [{'password': '*******'}] ann"),
])
def test_positional_arguments_of_the_stdlib_chain_are_redacted(args, shown):
    out = io.StringIO()
    log = stdlib_chain(RedactingProcessor(hide=["password"]), out)
    before = repr(args)
    log.info("login" + " %s" * len(args), *args)
    assert json.loads(out.getvalue()) == {"event": shown}
    assert repr(args) == before


def test_positional_arguments_stand_under_no_key():
    out = io.StringIO()
    log = stdlib_chain(RedactingProcessor(trust=["event", "user"]), out)
    log.info("login %s", "hunter2", user="ann")
    log.info("user %(user)s", {"user": "ann", "pin": "1234"})
    first, second = (json.loads(line) for line in out.getvalue().splitlines())
    assert first["event"].startswith("login *******") and first["user"] == "ann"
    assert second == {"event": "user ann"}


@pytest.mark.parametrize("kind", ["hide", "trust"])
def test_nothing_hidden_reaches_the_output_whatever_holds_it(kind):
    from hypothesis import given, settings, strategies as st

    from leaky import OMITTERS, SECRET, leaking

    make, hidden = OMITTERS[kind]

    @settings(max_examples=60, derandomize=True, deadline=None, database=None)
    @given(st.data())
    def check(draw):
        data = leaking(draw.draw, hidden)
        fields = {"password": leaking(draw.draw, hidden, hides=True),
                 "note": leaking(draw.draw, hidden, hides=hidden("note"))}
        before = repr((data, fields))
        out = io.StringIO()
        processor = RedactingProcessor(make())
        if kind == "trust":  # the event name itself is a value like any other
            processor.omitter.__init__(["event", "user"])
        stdlib_chain(processor, out).warning("got %s", data, **fields)
        assert SECRET not in out.getvalue(), out.getvalue()
        assert repr((data, fields)) == before

    check()


@pytest.mark.parametrize("make", ["unreadable", "bad_list", "deep", "looped"])
def test_the_processor_never_raises(make):
    from leaky import BadList, Unreadable, deep, looped

    value = {"unreadable": Unreadable, "bad_list": lambda: BadList(["hunter2"]), "deep": lambda: deep(100_000),
             "looped": looped}[make]()
    processor = RedactingProcessor(hide=["password"])
    event = processor(None, "info", {"event": "e", "value": value, "positional_args": (value,)})
    assert "hunter2" not in repr(event["value"]) + repr(event["positional_args"])
    assert event["event"] == "e" and "<withheld: " in repr(event)
