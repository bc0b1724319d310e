"""Views and exceptions handed to the integrations, against a small model of
what must never be rendered.

The model: a value under a hidden key (``password``) is SECRET, and a str
holding the detector's token TOKEN is found by the detector wherever it
stands. A view shows the mapping it was made from (an OrderedDict's views,
the views a Mapping that is not a dict hands out, ``collections.abc``'s
views of a dict), and an exception shows its args: each must be decided as
that mapping or those args would be, and neither SECRET nor TOKEN may reach
the rendered output of the logging filter, the formatter, structlog's
processor or the Sentry hooks. The caller's objects stay as they were, and
what holds nothing to mask comes back as the very object given."""

import collections
import collections.abc
import io
import logging
import logging.handlers
import pickle
import queue
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velmora.detect import Detector
from velmora.integrations.logging import RedactingFilter, RedactingFormatter
from velmora.integrations.sentry import SentryRedactor
from velmora.integrations.structlog import RedactingProcessor

SECRET = "Kv7-leak"
TOKEN = "ghp_" + "a1B2c3D4e5F6g7H8i9J0k1L2m3N4o5P6q7R8"
SHOWN = "shown-value"


def generated(examples):
    return settings(max_examples=examples, derandomize=True, deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))


# ---- Views that show a mapping ------------------------------------------------------

# Each makes a view that shows `mapping`'s values (and keys) in its repr.
VIEWS = {
    "odict-items": lambda mapping: collections.OrderedDict(mapping).items(),
    "odict-values": lambda mapping: collections.OrderedDict(mapping).values(),
    "userdict-items": lambda mapping: collections.UserDict(mapping).items(),
    "userdict-values": lambda mapping: collections.UserDict(mapping).values(),
    "abc-items": lambda mapping: collections.abc.ItemsView(dict(mapping)),
    "abc-values": lambda mapping: collections.abc.ValuesView(dict(mapping)),
    "abc-of-odict": lambda mapping: collections.abc.ItemsView(collections.OrderedDict(mapping)),
    "chainmap-items": lambda mapping: collections.ChainMap(dict(mapping)).items(),
    "moved-odict-items": lambda mapping: _moved(collections.OrderedDict(mapping)).items(),
}


def _moved(od):
    # An OrderedDict whose order is no longer the one its dict stores.
    if od:
        od.move_to_end(next(iter(od)))
    return od


keys = st.lists(st.sampled_from(["password", "user", "note", "id"]), min_size=1, max_size=4, unique=True)


def _mapping(names):
    return [(name, SECRET if name == "password" else f"{SHOWN}-{name}") for name in names]


def _log(sink, *args, **kwargs):
    stream = io.StringIO()
    handler = logging.StreamHandler(stream)
    logger = logging.getLogger(f"review3.{id(stream)}")
    logger.propagate = False
    fmt = "%(message)s" + "".join(f" %({name})s" for name in kwargs.get("extra", {}))
    if sink == "formatter":
        handler.setFormatter(RedactingFormatter(fmt, hide=["password"]))
    else:
        handler.setFormatter(logging.Formatter(fmt))
        logger.addFilter(RedactingFilter(hide=["password"]))
    logger.addHandler(handler)
    try:
        logger.warning(*args, **kwargs)
    finally:
        logger.removeHandler(handler)
    return stream.getvalue()


def _rendered_by(sink, value):
    if sink in ("filter", "formatter"):
        return _log(sink, "%s", value) + _log(sink, "%s", [value]) + _log(sink, "x", extra={"data": value})
    if sink == "structlog":
        event = RedactingProcessor(hide=["password"])(None, "info", {"event": "x", "data": value, "more": [value]})
        return repr(event)
    sentry = SentryRedactor(hide=["password"])
    crumb = sentry.before_breadcrumb({"message": "x", "data": {"value": value}}, {})
    event = sentry.before_send({"extra": {"value": value, "more": [value]}}, {})
    return repr(crumb) + repr(event) + str(sentry.custom_repr(value))


@pytest.mark.parametrize("sink", ["filter", "formatter", "structlog", "sentry"])
@pytest.mark.parametrize("view", sorted(VIEWS))
@generated(15)
@given(names=keys)
def test_a_view_of_a_mapping_shows_no_hidden_value(view, sink, names):
    pairs = _mapping(names)
    value = VIEWS[view](pairs)
    before = repr(value)
    out = _rendered_by(sink, value)
    assert SECRET not in out
    # What is not hidden is still shown, and the caller's view is as it was.
    for name, item in pairs:
        if name != "password" and "values" not in view and sink != "sentry":
            assert item in out
    assert repr(value) == before


# A ChainMap shows the values it shadows too: it is always copied.
@pytest.mark.parametrize("view", sorted(set(VIEWS) - {"chainmap-items"}))
@generated(10)
@given(names=keys)
def test_a_view_is_passed_on_itself_only_with_nothing_hidden(view, names):
    clear = VIEWS[view](_mapping([name for name in names if name != "password"] or ["user"]))
    hidden = VIEWS[view](_mapping(["password", *names]))
    record = logging.LogRecord("x", logging.INFO, __file__, 1, "%s %s", (clear, hidden), None)
    RedactingFilter(hide=["password"]).filter(record)
    assert record.args[0] is clear
    assert record.args[1] is not hidden


@pytest.mark.parametrize("view", ["odict-items", "moved-odict-items", "abc-items", "userdict-items"])
@generated(10)
@given(names=keys)
def test_a_masked_view_keeps_the_order_and_kind_it_showed(view, names):
    value = VIEWS[view](_mapping(names))
    record = logging.LogRecord("x", logging.INFO, __file__, 1, "%s", (value,), None)
    RedactingFilter(hide=["password"]).filter(record)
    shown = record.args[0]
    assert SECRET not in repr(shown)
    assert type(shown) is type(value)
    assert [key for key, _ in shown] == [key for key, _ in value]
    assert [item for key, item in shown if key != "password"] == [item for key, item in value if key != "password"]


# ---- What the detector finds in views and exceptions -----------------------------------


class OwnStr(Exception):
    def __str__(self):
        return "own: " + " ".join(map(str, self.args))


def _in_exception(text):
    return ValueError(text)


def _in_own_str(text):
    return OwnStr("x", text)


def _in_key_error(text):
    return KeyError(text)


def _in_cycle(text):
    exc = ValueError(text)
    exc.args = (text, exc)
    return exc


def _in_chained_args(text):
    return RuntimeError("outer", ValueError({"note": text}))


HOLDERS = {
    "dict-items": lambda text: {"note": text}.items(),
    "dict-values": lambda text: {"note": text}.values(),
    "odict-values": lambda text: collections.OrderedDict(note=text).values(),
    "abc-items": lambda text: collections.abc.ItemsView({"note": text}),
    "userdict-values": lambda text: collections.UserDict(note=text).values(),
    "exception": _in_exception,
    "exception-own-str": _in_own_str,
    "key-error": _in_key_error,
    "exception-holding-itself": _in_cycle,
    "exception-in-args": _in_chained_args,
    "exception-in-namespace": lambda text: types.SimpleNamespace(error=ValueError(text)),
}


def _rendered(sink, value, log, **kw):
    """What a sink renders of `value` through hooks made with a detector and
    `kw`: the logging filter (`log(logger)` makes its records), structlog's
    processor, or Sentry's before_send."""
    detector = Detector()
    if sink == "filter":
        stream = io.StringIO()
        handler = logging.StreamHandler(stream)
        handler.setFormatter(logging.Formatter("%(message)s %(data)s"))
        logger = logging.getLogger(f"review3.rendered.{id(stream)}")
        # A name may come again (an id is reused): nothing of an earlier test stays on it.
        logger.propagate, logger.handlers, logger.filters = False, [handler], []
        logger.addFilter(RedactingFilter(detect=detector, **kw))
        log(logger)
        return stream.getvalue()
    if sink == "structlog":
        return repr(RedactingProcessor(detect=detector, **kw)(None, "info", {"event": "x", "data": value}))
    return repr(SentryRedactor(detect=detector, **kw).before_send({"extra": {"value": value}}, {}))


def _detected_by(sink, value):
    def log(logger):
        logger.warning("x", extra={"data": value})
        logger.warning("x", extra={"data": [value]})
    return _rendered(sink, value, log)


@pytest.mark.parametrize("sink", ["filter", "structlog", "sentry"])
@pytest.mark.parametrize("holder", sorted(HOLDERS))
@generated(8)
@given(before=st.text(alphabet=" :=\"'", max_size=6), after=st.text(alphabet=" ,;\"'", max_size=6))
def test_the_detector_masks_inside_views_and_exceptions(holder, sink, before, after):
    text = before + TOKEN + after
    value = HOLDERS[holder](text)
    out = _detected_by(sink, value)
    assert TOKEN not in out
    assert TOKEN in repr(value) or TOKEN in str(value)  # the caller's object keeps it


@pytest.mark.parametrize("holder", sorted(HOLDERS))
def test_the_detector_passes_on_only_what_it_finds_nothing_in(holder):
    clear, found = HOLDERS[holder]("nothing here"), HOLDERS[holder](TOKEN)
    event = RedactingProcessor(detect=Detector())(None, "info", {"event": "x", "clear": clear, "found": found})
    if holder == "exception-holding-itself":
        # It holds itself: withheld whole, or passed on where nothing is found.
        assert event["clear"] is clear or "withheld" in str(event["clear"])
    else:
        assert event["clear"] is clear
    assert event["found"] is not found


@pytest.mark.parametrize("holder", ["exception", "exception-own-str", "key-error", "exception-in-args"])
def test_a_masked_exception_shows_as_its_kind_would(holder):
    value = HOLDERS[holder](TOKEN)
    event = RedactingProcessor(detect=Detector())(None, "info", {"event": "x", "data": value})
    shown = event["data"]
    assert TOKEN not in repr(shown) and TOKEN not in str(shown)
    if holder in ("exception", "exception-in-args"):
        # BaseException's str and repr, with the masked args.
        assert repr(shown).startswith(type(value).__name__ + "(")
        assert str(shown).count("*") >= len(TOKEN) - 4
    else:
        assert "withheld" in str(shown)


@pytest.mark.parametrize("sink", ["filter", "structlog", "sentry"])
@pytest.mark.parametrize("wrap", [lambda v: v, lambda v: [v], lambda v: {"inner": v}])
@pytest.mark.parametrize("args", [
    lambda: ({"password": SECRET, "note": TOKEN},),
    lambda: ("head", {"password": SECRET}, [TOKEN]),
])
def test_keys_and_detector_together_mask_an_exception(sink, wrap, args):
    # The omitter's stand-in for the exception is looked into by the detector.
    value = wrap(ValueError(*args()))
    out = _rendered(sink, value, lambda logger: logger.warning("%s", value, extra={"data": value}), hide=["password"])
    assert SECRET not in out and TOKEN not in out
    assert "head" in out or "note" in out


# ---- Records merged before they were redacted ------------------------------------------


def _merged_by_queue(logger_filter, *args):
    """The record a QueueListener hands on: merged by a QueueHandler (with
    `logger_filter` on it, or none)."""
    q = queue.Queue()
    handler = logging.handlers.QueueHandler(q)
    if logger_filter is not None:
        handler.addFilter(logger_filter)
    logger = logging.getLogger(f"review3.merge.{id(q)}")
    logger.propagate = False
    logger.addHandler(handler)
    logger.warning(*args)
    logger.removeHandler(handler)
    return q.get_nowait()


def _merged_by_socket(logger_filter, *args):
    """The record a socket server rebuilds from what a SocketHandler sent."""
    record = logging.LogRecord("x", logging.WARNING, __file__, 1, args[0], args[1:], None)
    if logger_filter is not None:
        logger_filter.filter(record)
    sent = logging.handlers.SocketHandler("localhost", 0).makePickle(record)
    return logging.makeLogRecord(pickle.loads(sent[4:]))


TRANSPORTS = {"queue": _merged_by_queue, "socket": _merged_by_socket}
RECEIVERS = {
    "filter": lambda: RedactingFilter(hide=["password"]),
    "filter-detect": lambda: RedactingFilter(hide=["password"], detect=Detector()),
}


def _received(record, receiver):
    stream = io.StringIO()
    handler = logging.StreamHandler(stream)
    handler.setFormatter(RedactingFormatter("%(message)s", hide=["password"]))
    if receiver is not None:
        handler.addFilter(RECEIVERS[receiver]())
    handler.handle(record)
    return stream.getvalue()


argument = st.sampled_from([
    lambda: {"password": SECRET},
    lambda: [{"user": "u", "password": SECRET}],
    lambda: types.SimpleNamespace(password=SECRET),
    lambda: ValueError({"password": SECRET}),
    lambda: collections.OrderedDict(password=SECRET).items(),
])


@pytest.mark.parametrize("transport", sorted(TRANSPORTS))
@pytest.mark.parametrize("receiver", [None, *sorted(RECEIVERS)])
@generated(10)
@given(make=argument, forged=st.sampled_from(["none", "copied", "own-extra"]))
def test_a_filter_after_the_merge_does_not_vouch_for_it(transport, receiver, make, forged):
    # Merged with no filter before: the secret is in the message text.
    record = TRANSPORTS[transport](None, "login %s", make())
    assert record.args is None and SECRET in record.msg
    if forged == "copied":
        # The seal of another record, one that was redacted.
        other = TRANSPORTS[transport](RedactingFilter(hide=["password"]), "login %s", {"user": "u"})
        record._velmora_redacted = other._velmora_redacted
    elif forged == "own-extra":
        record._velmora_redacted = "velmora:not-a-digest"
    out = _received(record, receiver)
    assert SECRET not in out
    assert "withheld" in out
    # One a filter redacted before the merge still passes the receiver.
    vouched = TRANSPORTS[transport](RedactingFilter(hide=["password"]), "login %s", make())
    out = _received(vouched, receiver)
    assert SECRET not in out
    assert out.startswith("login ") and "withheld: message formatted" not in out



@pytest.mark.parametrize("first", [dict(detect=True), dict(hide=["note"])])
@pytest.mark.parametrize("value", [
    lambda: ValueError({"password": SECRET, "note": TOKEN}),
    lambda: {"inner": ValueError({"password": SECRET, "note": TOKEN})},
    lambda: [ValueError("head", {"password": SECRET, "note": TOKEN})],
])
def test_a_second_filter_decides_what_the_first_one_made_of_an_exception(first, value):
    # The first filter's stand-in for an exception (a MaskedException) is
    # still an exception's args to the next one: its keys are decided.
    stream = io.StringIO()
    handler = logging.StreamHandler(stream)
    handler.setFormatter(logging.Formatter("%(message)s %(data)s"))
    logger = logging.getLogger(f"review3.stacked.{id(stream)}")
    logger.propagate, logger.handlers, logger.filters = False, [handler], []
    kw = {"detect": Detector()} if first.get("detect") else first
    logger.addFilter(RedactingFilter(**kw))
    logger.addFilter(RedactingFilter(hide=["password"], detect=Detector()))
    data = value()
    logger.warning("x", extra={"data": data})
    out = stream.getvalue()
    assert SECRET not in out and TOKEN not in out
    assert "note" in out
