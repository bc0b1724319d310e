"""velmora.integrations.logging with real handlers, caplog and dictConfig:
what is emitted is masked, and the caller's objects are left as they were."""

import collections
import copy
import io
import logging
import logging.config
import sys
import types

import pytest

from leaky import OMITTERS, SECRET, BadList, Unreadable, deep, leaking, looped
from velmora.integrations.logging import RedactingFilter, RedactingFormatter
from velmora.omit import NoTrustOmitter, Omitter

KEYS = ["password", "token", "card"]


@pytest.fixture
def logger():
    log = logging.getLogger("velmora.test.integration")
    log.setLevel(logging.DEBUG)
    log.propagate = True
    yield log
    log.filters.clear()
    log.handlers.clear()


def stream_handler(fmt="%(message)s"):
    stream = io.StringIO()
    handler = logging.StreamHandler(stream)
    handler.setFormatter(logging.Formatter(fmt))
    return handler, stream


def payload():
    return {"user": "ann", "password": "hunter2", "profile": {"token": "abc", "age": 41},
            "cards": [{"card": "4111"}], "tags": ["a"]}


@pytest.mark.parametrize("how", ["msg", "mapping_arg", "tuple_args", "list_arg"])
def test_filter_on_the_logger_masks_messages_and_arguments(logger, how):
    handler, stream = stream_handler()
    logger.addHandler(handler)
    logger.addFilter(RedactingFilter(Omitter(KEYS)))
    data = payload()
    snapshot = copy.deepcopy(data)
    if how == "msg":
        logger.info(data)
    elif how == "mapping_arg":
        logger.info("user=%(user)s password=%(password)s profile=%(profile)s", data)
    elif how == "tuple_args":
        logger.info("%s and %d and %s", data, 7, "password")
    else:
        logger.info("rows %s", [data])
    out = stream.getvalue()
    assert "hunter2" not in out and "abc" not in out and "4111" not in out
    assert "*******" in out and "ann" in out
    assert data == snapshot


def test_extra_attributes_are_redacted_by_name(logger):
    handler, stream = stream_handler("%(message)s|%(token)s|%(request)s|%(count)s")
    logger.addHandler(handler)
    logger.addFilter(RedactingFilter(hide=KEYS))
    request = {"path": "/login", "headers": {"token": "t-123"}}
    logger.warning("login", extra={"token": "t-999", "request": request, "count": 3})
    assert stream.getvalue() == "login|*****|{'path': '/login', 'headers': {'token': '*****'}}|3\n"
    assert request == {"path": "/login", "headers": {"token": "t-123"}}


def test_no_trust_filter_and_caplog(logger, caplog):
    logger.addFilter(RedactingFilter(trust=["user", "age"]))
    data = payload()
    with caplog.at_level(logging.INFO, logger=logger.name):
        logger.info(data, extra={"user": "ann", "session": "s-1"})
    record = caplog.records[-1]
    assert record.msg == {"user": "ann", "password": "*******", "profile": {"token": "***", "age": 41},
                          "cards": [{"card": "****"}], "tags": ["*"]}
    assert (record.user, record.session) == ("ann", "***")
    assert data == payload()
    assert "hunter2" not in caplog.text


def test_values_the_walk_refuses_are_withheld_not_raised(logger):
    # An int key over a str value cannot be decided; an OrderedDict inside
    # is redacted as a plain copy.
    handler, stream = stream_handler("%(message)s|%(odd)s|%(fine)s")
    logger.addHandler(handler)
    logger.addFilter(RedactingFilter(hide=KEYS))
    odd = {"nested": collections.OrderedDict(password="hunter2")}
    logger.info({"password": "pw", 1: "int key"}, extra={"odd": odd, "fine": {"token": "x", 2: "y"}})
    assert stream.getvalue() == ("<withheld: TypeError while redacting>|{'nested': {'password': '*******'}}|"
                                 "<withheld: TypeError while redacting>\n")
    assert odd["nested"]["password"] == "hunter2"


def test_formatter_redacts_for_its_handler_alone(logger):
    plain, plain_stream = stream_handler()
    redacting, redacting_stream = stream_handler()
    redacting.setFormatter(RedactingFormatter("%(levelname)s %(message)s", hide=KEYS))
    logger.addHandler(redacting)
    logger.addHandler(plain)
    logger.error("%s", payload())
    assert redacting_stream.getvalue().startswith("ERROR {'user': 'ann', 'password': '*******'")
    assert "hunter2" in plain_stream.getvalue()


def test_dict_config_with_keys_and_with_an_omitter_of_ones_own(monkeypatch):
    stream = io.StringIO()
    module = types.ModuleType("velmora_test_settings")
    module.OMITTER = NoTrustOmitter(["user"])
    module.STREAM = stream
    monkeypatch.setitem(sys.modules, module.__name__, module)
    root = logging.getLogger()
    saved = root.handlers[:], root.level
    try:
        logging.config.dictConfig({
            "version": 1,
            "incremental": False,
            "disable_existing_loggers": False,
            "filters": {
                "hide": {"()": "velmora.integrations.logging.RedactingFilter", "hide": ["password"]},
                "own": {"()": "velmora.integrations.logging.RedactingFilter",
                        "omitter": "ext://velmora_test_settings.OMITTER"},
            },
            "formatters": {"bare": {"format": "%(name)s %(message)s"}},
            "handlers": {"out": {"class": "logging.StreamHandler", "stream": "ext://velmora_test_settings.STREAM",
                                 "formatter": "bare", "filters": ["hide", "own"]}},
            "root": {"handlers": ["out"], "level": "INFO"},
        })
        data = {"user": "ann", "password": "hunter2", "city": "Oslo"}
        logging.getLogger("configured").info(data)
        assert stream.getvalue() == "configured {'user': 'ann', 'password': '*******', 'city': '****'}\n"
        assert data == {"user": "ann", "password": "hunter2", "city": "Oslo"}
    finally:
        for handler in root.handlers[:]:
            root.removeHandler(handler)
        for handler in saved[0]:
            root.addHandler(handler)
        root.setLevel(saved[1])


@pytest.mark.parametrize("kwargs, message", [
    ({}, "RedactingFilter takes exactly one of omitter=, hide= or trust= (got 0)"),
    ({"hide": ["a"], "trust": ["b"]}, "RedactingFilter takes exactly one of omitter=, hide= or trust= (got 2)"),
    ({"hide": "password"}, "RedactingFilter: hide= takes a list of keys, not one str"),
    ({"omitter": {"password"}}, "RedactingFilter: omitter must be a velmora.omit.Omitter, not set"),
])
def test_configuration_errors(kwargs, message):
    with pytest.raises(TypeError) as caught:
        RedactingFilter(**kwargs)
    assert str(caught.value) == message


# ---- Data built to leak (tests/leaky.py) ----------------------------------------------

def run_wiring(wiring, omitter, data, extra):
    """Log `data` the way `wiring` says and return what reached the stream."""
    import logging.handlers
    import queue

    stream = io.StringIO()
    handler = logging.StreamHandler(stream)
    handler.setFormatter(logging.Formatter("%(message)s|%(password)s|%(note)s", defaults={"password": "", "note": ""}))
    log = logging.getLogger(f"velmora.test.leak.{wiring}")
    log.propagate, log.handlers, log.filters = False, [], []
    listener = None
    if wiring.startswith("queue"):
        q = queue.SimpleQueue()
        front = logging.handlers.QueueHandler(q)
        if wiring == "queue_filter":
            front.addFilter(RedactingFilter(omitter))
        else:
            handler.setFormatter(RedactingFormatter("%(message)s", omitter=omitter))
        listener = logging.handlers.QueueListener(q, handler)
        listener.start()
        log.addHandler(front)
    elif wiring == "formatter":
        handler.setFormatter(RedactingFormatter("%(message)s|%(password)s|%(note)s", omitter=omitter,
                                                defaults={"password": "", "note": ""}))
        log.addHandler(handler)
    else:
        log.addFilter(RedactingFilter(omitter))
        log.addHandler(handler)
    try:
        if not isinstance(data, str):  # a str message is the format, never data
            log.warning(data)
        log.warning("%s and %r", data, [data])
        log.warning("%(password)s %(note)s", {"password": data, "note": data})
        log.warning("extra", extra=extra)
    finally:
        if listener is not None:
            listener.stop()
    return stream.getvalue()


@pytest.mark.parametrize("wiring", ["logger", "formatter", "queue_filter", "queue_formatter"])
@pytest.mark.parametrize("kind", sorted(OMITTERS))
def test_nothing_hidden_reaches_the_log_whatever_holds_it(wiring, kind):
    from hypothesis import given, settings, strategies as st

    make, hidden = OMITTERS[kind]

    @settings(max_examples=40, derandomize=True, deadline=None, database=None)
    @given(st.data())
    def check(draw):
        data = leaking(draw.draw, hidden)
        extra = {"password": leaking(draw.draw, hidden, hides=True),
                "note": leaking(draw.draw, hidden, hides=hidden("note"))}
        before = repr((data, extra))
        out = run_wiring(wiring, make(), data, extra)
        assert SECRET not in out, out
        assert repr((data, extra)) == before
        if wiring == "queue_formatter":  # merged before it came: withheld, and said so
            assert "put a RedactingFilter on the QueueHandler" in out

    check()


def test_queue_filter_then_formatter_formats_what_the_filter_redacted():
    out = run_wiring("queue_filter", Omitter(["password"]), {"password": "hunter2", "user": "ann"}, {})
    assert "{'password': '*******', 'user': 'ann'}" in out and "hunter2" not in out


@pytest.mark.parametrize("how", ["msg", "list_arg", "str_arg", "tuple_arg", "set_arg"])
@pytest.mark.parametrize("kind", ["hide", "trust"])
def test_values_under_no_key_follow_the_omitters_verdict_for_none(logger, how, kind):
    # An allowlist has nothing that vouches for them; a denylist keeps them.
    handler, stream = stream_handler()
    logger.addHandler(handler)
    logger.addFilter(RedactingFilter(hide=["password"]) if kind == "hide" else RedactingFilter(trust=["user"]))
    call = {"msg": lambda: logger.warning(["hunter2"]), "list_arg": lambda: logger.warning("%s", ["hunter2"]),
            "str_arg": lambda: logger.warning("%s", "hunter2"),
            "tuple_arg": lambda: logger.warning("%s", ("hunter2", {"user": "ann"})),
            "set_arg": lambda: logger.warning("%s", {"hunter2"})}[how]
    call()
    assert ("hunter2" in stream.getvalue()) == (kind == "hide"), stream.getvalue()
    assert "ann" in stream.getvalue() or how != "tuple_arg"


@pytest.mark.parametrize("make, how", [
    (Unreadable, "mapping"), (lambda: BadList(["hunter2"]), "arg"), (lambda: BadList(["hunter2"]), "msg"),
    (lambda: deep(100_000), "arg"), (looped, "arg"), (lambda: {"x": Unreadable()}, "extra"),
])
def test_a_logging_call_never_raises_for_its_data(logger, make, how):
    handler, stream = stream_handler("%(message)s %(x)s" if how == "extra" else "%(message)s")
    logger.addHandler(handler)
    logger.addFilter(RedactingFilter(trust=["user"]))
    data = make()
    if how == "mapping":
        logger.warning("user=%(user)s", data)
    elif how == "arg":
        logger.warning("%s", data)
    elif how == "msg":
        logger.warning(data)
    else:
        logger.warning("m", extra=data)
    assert "hunter2" not in stream.getvalue() and "<withheld: " in stream.getvalue(), stream.getvalue()
