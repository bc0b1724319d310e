"""Dataclass instances handed to the logging, structlog and Sentry
integrations: their fields get the omitter's verdict by name, what stands
for them prints what their own repr would print with the hidden values
masked, and the caller's objects are left as they were.

The data is built to leak: every str that must be hidden holds SECRET. The
expected text is built beside it by a plain-Python model of the omitter's
verdicts (`build`) and of the repr that dataclasses generates (`Shown`,
itself checked against the real repr of the unmasked data)."""

import collections
import dataclasses
import io
import json
import logging
import logging.handlers
import pickle
import random
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import SENTRY_CAPTURE, assert_runs_clean
from velmora.detect import Detector
from velmora.integrations._common import MaskedDataclass
from velmora.integrations.logging import RedactingFilter, RedactingFormatter
from velmora.omit import NoTrustOmitter, Omitter

SECRET = "s3cr3t"
KEYS = ["password", "token", "user", "note"]
# name -> (the omitter, the model of its verdict for a key; None: no key)
TRUSTED = ("user", "note", "event")  # structlog's event name too
OMITTERS = {"hide": (lambda: Omitter(["password", "token"]), lambda key: key in ("password", "token")),
            "trust": (lambda: NoTrustOmitter(list(TRUSTED)), lambda key: key not in TRUSTED)}


class Shown:
    """The model of what a generated dataclass repr prints."""

    def __init__(self, name, pairs):
        self.name, self.pairs = name, pairs

    def __repr__(self):
        return f"{self.name}(" + ", ".join(f"{field}={value!r}" for field, value in self.pairs) + ")"


class Drawn:
    """Choices drawn by hypothesis."""

    def __init__(self, draw):
        self.draw = draw

    def pick(self, options):
        return self.draw(st.sampled_from(options))

    def number(self, low, high):
        return self.draw(st.integers(low, high))

    def some(self, options, low, high):
        return self.draw(st.lists(st.sampled_from(options), min_size=low, max_size=high, unique=True))


class Seeded(Drawn):
    """The same choices from a seeded generator (for a script of its own)."""

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def pick(self, options):
        return self.rng.choice(options)

    def number(self, low, high):
        return self.rng.randint(low, high)

    def some(self, options, low, high):
        return self.rng.sample(options, self.rng.randint(low, high))


def make_class(src, serial):
    """A dataclass drawn from `src`: 1 to 3 fields named from KEYS, perhaps a
    field the repr leaves out, an InitVar, frozen, slots, a base class whose
    repr the class may inherit. Returns the class, the names its repr shows
    (in its order) and the other arguments it takes."""
    names = src.some(KEYS, 1, 3)
    frozen, slots = src.pick([False, True]), src.pick([False, True])
    quiet = [("quiet", str, dataclasses.field(repr=False))] if src.pick([False, True]) else []
    seed = [("seed", dataclasses.InitVar[int])] if src.pick([False, True]) else []
    extra = {"quiet": f"quiet-{SECRET}"} if quiet else {}
    extra.update({"seed": 7} if seed else {})
    if len(names) > 1 and src.pick([False, True]):
        cut = src.number(1, len(names) - 1)
        base = dataclasses.make_dataclass(f"Base{serial}", names[:cut], frozen=frozen, slots=slots)
        own_repr = src.pick([False, True])
        cls = dataclasses.make_dataclass(f"Model{serial}", names[cut:] + quiet + seed, bases=(base,),
                                         frozen=frozen, slots=slots, repr=own_repr)
        return cls, names if own_repr else names[:cut], extra
    return dataclasses.make_dataclass(f"Model{serial}", names + quiet + seed, frozen=frozen, slots=slots), names, extra


def build(src, hidden, hides, depth=0, deepest=3):
    """(value, expected, unmasked): data under a key whose verdict is
    `hides`, what it must show once redacted, and what it shows as it is,
    with containers `deepest` levels deep at most. A dict and a dataclass
    instance are decided by their own keys and field names, a list by the
    key above it."""
    kind = src.pick(["str", "int", "dict", "list", "dataclass"] if depth < deepest else ["str", "int"])
    if kind == "str":
        text = f"{SECRET}{src.number(0, 9)}" if hides else f"v{src.number(0, 9)}"
        return text, "*" * len(text) if hides else text, text
    if kind == "int":
        number = src.number(0, 9)
        return number, number, number
    if kind == "list":
        items = [build(src, hidden, hides, depth + 1, deepest) for _ in range(src.number(0, 3))]
        return tuple([item[i] for item in items] for i in range(3))
    if kind == "dict":
        items = {key: build(src, hidden, hidden(key), depth + 1, deepest) for key in src.some(KEYS, 0, 3)}
        return tuple({key: item[i] for key, item in items.items()} for i in range(3))
    cls, shown, extra = make_class(src, src.number(0, 10**6))
    fields = {f.name: build(src, hidden, hidden(f.name), depth + 1, deepest)
              for f in dataclasses.fields(cls) if f.name != "quiet"}
    value = cls(**{name: item[0] for name, item in fields.items()}, **extra)
    name = type(value).__qualname__
    return (value, Shown(name, [(field, fields[field][1]) for field in shown]),
            Shown(name, [(field, fields[field][2]) for field in shown]))


@st.composite
def cases(draw):
    """(omitter name, key, (arg, expected, unmasked), (under key, expected, unmasked))."""
    src = Drawn(draw)
    name = src.pick(list(OMITTERS))
    hidden = OMITTERS[name][1]
    key = src.pick(KEYS)
    return name, key, build(src, hidden, hidden(None)), build(src, hidden, hidden(key))


def fingerprint(value):
    """What `value` holds, and which objects hold it: equal before and after
    only if nothing in it was changed or replaced."""
    if dataclasses.is_dataclass(value):
        return type(value), id(value), [(f.name, fingerprint(getattr(value, f.name)))
                                        for f in dataclasses.fields(value)]
    if isinstance(value, dict):
        return dict, id(value), [(key, fingerprint(item)) for key, item in value.items()]
    if isinstance(value, list):
        return list, id(value), [fingerprint(item) for item in value]
    return value


def check_model(*built):
    # The model of the repr against the real one, on the data as it is.
    for value, _, unmasked in built:
        assert repr(unmasked) == repr(value)


PROPERTY = settings(max_examples=60, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])


@pytest.fixture
def logger():
    log = logging.getLogger("velmora.test.dataclasses")
    log.setLevel(logging.DEBUG)
    log.propagate = False
    yield log
    log.filters.clear()
    log.handlers.clear()


def emitted(logger, formatter, *args, **kwargs):
    stream = io.StringIO()
    handler = logging.StreamHandler(stream)
    handler.setFormatter(formatter)
    logger.handlers[:] = [handler]
    logger.info(*args, **kwargs)
    return stream.getvalue()


@PROPERTY
@given(case=cases(), wiring=st.sampled_from(["filter", "formatter"]))
def test_logging_shows_dataclasses_as_their_repr_with_hidden_fields_masked(logger, case, wiring):
    name, key, arg, under_key = case
    check_model(arg, under_key)
    snapshot = (fingerprint(arg[0]), fingerprint(under_key[0]))
    fmt = f"%(message)s|%({key})s"
    logger.filters.clear()
    if wiring == "filter":
        logger.addFilter(RedactingFilter(OMITTERS[name][0]()))
        formatter = logging.Formatter(fmt)
    else:
        formatter = RedactingFormatter(fmt, omitter=OMITTERS[name][0]())
    out = emitted(logger, formatter, "%s %r", arg[0], arg[0], extra={key: under_key[0]})
    assert out == f"{arg[1]!s} {arg[1]!r}|{under_key[1]!s}\n"
    assert SECRET not in out
    assert (fingerprint(arg[0]), fingerprint(under_key[0])) == snapshot


@PROPERTY
@given(case=cases())
def test_structlog_shows_dataclasses_as_their_repr_with_hidden_fields_masked(case):
    structlog = pytest.importorskip("structlog")
    from velmora.integrations.structlog import RedactingProcessor

    name, key, arg, under_key = case
    snapshot = (fingerprint(arg[0]), fingerprint(under_key[0]))
    processor = RedactingProcessor(OMITTERS[name][0]())
    log = structlog.wrap_logger(structlog.ReturnLogger(), processors=[
        processor, structlog.stdlib.PositionalArgumentsFormatter(),
        structlog.processors.KeyValueRenderer(key_order=["event"])])
    out = log.info("login %s", **{key: under_key[0], "positional_args": (arg[0],)})
    assert out == f"event={f'login {arg[1]!s}'!r} {key}={under_key[1]!r}"
    assert SECRET not in out
    assert (fingerprint(arg[0]), fingerprint(under_key[0])) == snapshot


@dataclasses.dataclass
class User:
    name: str
    password: str
    meta: dict = dataclasses.field(default_factory=dict)


@pytest.mark.parametrize("renderer", ["JSONRenderer", "KeyValueRenderer", "LogfmtRenderer", "ConsoleRenderer"])
def test_structlog_renderers_print_what_they_print_of_the_instance_itself(renderer):
    structlog = pytest.importorskip("structlog")
    from velmora.integrations.structlog import RedactingProcessor

    make = getattr(structlog.processors, renderer, None) or getattr(structlog.dev, renderer)
    render = make(colors=False) if renderer == "ConsoleRenderer" else make()

    def logged(*processors):
        return structlog.wrap_logger(structlog.ReturnLogger(), processors=[*processors, render]).info(
            "e", user=User("ann", SECRET, {"token": SECRET}))

    assert logged(RedactingProcessor(hide=["password", "token"])) == logged().replace(SECRET, "*" * len(SECRET))


@pytest.mark.parametrize("wiring", ["filter", "formatter"])
def test_a_dataclass_as_the_message_is_redacted(logger, wiring):
    if wiring == "filter":
        logger.addFilter(RedactingFilter(trust=["name"]))
        formatter = logging.Formatter("%(message)s")
    else:
        formatter = RedactingFormatter("%(message)s", trust=["name"])
    out = emitted(logger, formatter, User("ann", SECRET, {"note": SECRET}))
    assert out == "User(name='ann', password='******', meta={'note': '******'})\n"


def test_what_needs_no_mask_is_the_callers_own_object(logger):
    records = []
    logger.addFilter(RedactingFilter(hide=["token"]))
    logger.addFilter(lambda record: records.append(record) or True)
    user = User("ann", "pw", {"tags": ("a",)})
    logger.info("%s", user, extra={"who": {"user": user}})
    assert records[0].args[0] is user and records[0].who["user"] is user


class CustomRepr(User):
    def __repr__(self):
        return "CustomRepr(...)"


@dataclasses.dataclass
class Narrow:
    name: str


@dataclasses.dataclass
class Wide:
    name: str
    password: str


Wide.__repr__ = Narrow.__repr__  # a generated repr, but not for these fields


@pytest.mark.parametrize("make, shown", [
    (lambda: CustomRepr("ann", SECRET), "CustomRepr(...)"),
    (lambda: dataclasses.make_dataclass("Quiet", ["password"], repr=False)(SECRET), None),
    (lambda: Wide("ann", SECRET), "Wide(name='ann')"),
], ids=["own __repr__", "repr=False", "a repr generated for other fields"])
def test_a_dataclass_with_a_repr_of_its_own_is_left_as_it_is(logger, make, shown):
    records = []
    logger.addFilter(RedactingFilter(hide=["password"]))
    logger.addFilter(lambda record: records.append(record) or True)
    value = make()
    out = emitted(logger, logging.Formatter("%(message)s"), "%r", value)
    assert records[0].args[0] is value
    assert out == f"{shown or object.__repr__(value)}\n"


def test_inherited_reprs_and_qualified_names_are_followed(logger):
    class Plain(User):  # no dataclass: User's repr, under its own name
        pass

    @dataclasses.dataclass(repr=False)
    class Silent(User):  # User's repr too: `extra` is not shown
        extra: str = SECRET

    logger.addFilter(RedactingFilter(hide=["password"]))
    out = emitted(logger, logging.Formatter("%(message)s"), "%s %s", Plain("a", SECRET), Silent("b", SECRET))
    prefix = "test_inherited_reprs_and_qualified_names_are_followed.<locals>."
    assert out == f"{prefix}Plain(name='a', password='******', meta={{}}) " \
                  f"{prefix}Silent(name='b', password='******', meta={{}})\n"


def test_a_dataclass_deep_in_wide_data_is_found(logger):
    # Past a few containers a level, the look for dataclasses goes on in C;
    # other objects beside them are sifted out.
    import datetime
    import types

    rows = [{"id": i, "at": datetime.date(2024, 1, 1), "tags": [types.SimpleNamespace(a=i)], "who": {"n": {"m": i}}}
            for i in range(20)]
    rows[13]["who"]["n"]["m"] = User("ann", SECRET)
    logger.addFilter(RedactingFilter(hide=["password"]))
    out = emitted(logger, logging.Formatter("%(message)s"), "%s", {"rows": rows})
    assert SECRET not in out and "User(name='ann', password='******', meta={})" in out


@dataclasses.dataclass(slots=True)
class Slotted:
    password: str
    token: str


@dataclasses.dataclass
class Node:
    password: str
    next: Any = None


def unreadable():
    value = Slotted(SECRET, SECRET)
    del value.token
    return value


def raising():
    value = User("ann", SECRET)
    broken = type("Broken", (User,), {"name": property(lambda self: 1 / 0)})
    object.__setattr__(value, "__class__", broken)
    return value


def looped():
    node = Node(SECRET)
    node.next = node
    return node


@pytest.mark.parametrize("make, error", [(unreadable, "AttributeError"), (raising, "ZeroDivisionError"),
                                         (looped, "RecursionError")])
def test_what_cannot_be_read_is_withheld_and_raises_nothing(logger, make, error):
    import structlog

    from velmora.integrations.sentry import SentryRedactor
    from velmora.integrations.structlog import RedactingProcessor

    logger.addFilter(RedactingFilter(hide=["token"]))
    out = emitted(logger, logging.Formatter("%(message)s|%(x)s"), "%s", make(), extra={"x": [make()]})
    assert out == f"<withheld: {error} while redacting>|<withheld: {error} while redacting>\n"
    log = structlog.wrap_logger(structlog.ReturnLogger(), processors=[
        RedactingProcessor(hide=["token"]), structlog.processors.KeyValueRenderer(key_order=["event"])])
    assert log.info("e", x=make()) == f"event='e' x='<withheld: {error} while redacting>'"
    assert SentryRedactor(hide=["token"]).custom_repr(make()) == f"<withheld: {error} while redacting>"


def test_a_failure_while_a_class_is_checked_withholds_and_is_not_remembered(logger, monkeypatch):
    # As when the first record of a class comes from deep in a recursion. Field names no other test
    # uses: what the check found for a set of names is kept for the process, and the README's
    # examples, run in the same worker, log a (user, password) dataclass.
    fresh = dataclasses.make_dataclass("Fresh", ["fresh_user", "password"])
    real = dataclasses.make_dataclass

    def failing(*args, **kwargs):
        monkeypatch.setattr(dataclasses, "make_dataclass", real)
        raise RecursionError

    monkeypatch.setattr(dataclasses, "make_dataclass", failing)
    logger.addFilter(RedactingFilter(hide=["password"]))
    first = emitted(logger, logging.Formatter("%(message)s"), "%s", fresh("ann", SECRET))
    then = emitted(logger, logging.Formatter("%(message)s"), "%s", fresh("ann", SECRET))
    assert (first, then) == ("<withheld: RecursionError while redacting>\n", "Fresh(fresh_user='ann', password='******')\n")


def test_a_formatter_hides_its_own_fields_after_a_filter_hid_others(logger):
    logger.addFilter(RedactingFilter(hide=["password"]))
    out = emitted(logger, RedactingFormatter("%(message)s", hide=["name"]), "%s", [User("ann", SECRET)])
    assert out == "[User(name='***', password='******', meta={})]\n"


def test_detect_masks_inside_the_fields_of_extra_values_and_structlog_values(logger):
    import structlog

    from velmora.integrations.structlog import RedactingProcessor

    detector = Detector(values=["hunter2x"])
    user = User("ann", "pw", {"note": "was hunter2x"})
    logger.addFilter(RedactingFilter(detect=detector))
    out = emitted(logger, logging.Formatter("%(message)s|%(user)s"), "%s", user, extra={"user": user})
    masked = "User(name='ann', password='pw', meta={'note': 'was ********'})"
    assert out == f"{masked}|{masked}\n"
    log = structlog.wrap_logger(structlog.ReturnLogger(), processors=[
        RedactingProcessor(detect=detector), structlog.processors.KeyValueRenderer(key_order=["event"])])
    assert log.info("e", user=user) == f"event='e' user={masked}"
    assert user.meta == {"note": "was hunter2x"}


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_what_stands_for_a_dataclass_pickles_for_a_socket_handler(protocol):
    record = logging.makeLogRecord({"msg": "m", "user": User("ann", SECRET, {"n": 1})})
    RedactingFilter(hide=["password"]).filter(record)
    assert type(record.user) is MaskedDataclass
    assert pickle.loads(pickle.dumps(record.user, protocol)) == record.user
    sent = pickle.loads(logging.handlers.SocketHandler("localhost", 0).makePickle(record)[4:])
    assert repr(sent["user"]) == "User(name='ann', password='******', meta={'n': 1})"


SENTRY_SCRIPT = SENTRY_CAPTURE + """
import collections, json, sys
from test_integration_dataclasses import OMITTERS, KEYS, Seeded, build, fingerprint, sentry_view
from velmora.integrations.sentry import SentryRedactor

name, seed = sys.argv[1], int(sys.argv[2])
omitter, hidden = OMITTERS[name]
redactor = SentryRedactor(omitter())
transport = Capture()
hooks = dict(before_send=redactor.before_send, before_breadcrumb=redactor.before_breadcrumb)
sentry_sdk.init(dsn="https://public@sentry.invalid/1", transport=transport, default_integrations=False,
                custom_repr=redactor.custom_repr, **own_scrubber, **hooks)
src, expected, mine = Seeded(seed), [], []
for case in range(8):
    with sentry_sdk.new_scope() as scope:
        key = src.pick(KEYS)
        # Shallow: sentry-sdk shows what is nested deeper as text.
        value, shown, _ = build(src, hidden, hidden(key), deepest=2)
        mine.append((value, fingerprint(value)))
        scope.set_extra(key, value)
        sentry_sdk.add_breadcrumb(message="m", data={key: value})
        expected.append({key: sentry_view(shown, hidden(key), hidden)})
        sentry_sdk.capture_message("m")
sentry_sdk.flush()
assert all(fingerprint(value) == before for value, before in mine)
print(json.dumps([[{k: v for k, v in event["extra"].items() if k in KEYS}, event["breadcrumbs"]["values"][-1]["data"]]
                  for event in transport.events]))
print(json.dumps(expected))
"""


def sentry_view(shown, hides, hidden):
    """What sentry-sdk sends for a value whose redacted form is `shown`: a
    dataclass instance as its text, masked whole under a hidden key."""
    if isinstance(shown, Shown):
        return "*" * len(repr(shown)) if hides else repr(shown)
    if isinstance(shown, dict):
        return {key: sentry_view(value, hidden(key), hidden) for key, value in shown.items()}
    if isinstance(shown, list):
        return [sentry_view(value, hides, hidden) for value in shown]
    return shown


@pytest.mark.parametrize("name", list(OMITTERS))
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_sentry_extra_and_breadcrumbs_show_dataclasses_masked(name, seed):
    pytest.importorskip("sentry_sdk")
    script = f"import sys; sys.argv[1:] = {[name, str(seed)]!r}\n" + SENTRY_SCRIPT
    sent, expected = assert_runs_clean(script).stdout.splitlines()
    events, expected = json.loads(sent), json.loads(expected)
    assert SECRET not in sent
    assert [extra for extra, _ in events] == expected
    assert [crumb for _, crumb in events] == expected


@pytest.mark.parametrize("wired", [True, False])
def test_sentry_needs_custom_repr_for_what_it_turns_into_text_first(wired):
    # The control: without custom_repr, before_send gets a dataclass as the
    # text sentry-sdk made of it.
    pytest.importorskip("sentry_sdk")
    script = SENTRY_CAPTURE + f"""
from test_integration_dataclasses import SECRET, User
from velmora.integrations.sentry import SentryRedactor

redactor = SentryRedactor(hide=["password"])
transport = Capture()
sentry_sdk.init(dsn="https://public@sentry.invalid/1", transport=transport, default_integrations=False,
                before_send=redactor.before_send, **own_scrubber,
                **({{"custom_repr": redactor.custom_repr}} if {wired} else {{}}))
sentry_sdk.set_extra("user", User("ann", SECRET))
sentry_sdk.capture_message("m")
sentry_sdk.flush()
print(transport.events[0]["extra"]["user"])
"""
    out = assert_runs_clean(script).stdout
    assert out == ("User(name='ann', password='******', meta={})\n" if wired else f"{User('ann', SECRET)!r}\n")


def test_sentry_frame_variables_and_what_sentry_sdk_does_not_walk():
    pytest.importorskip("sentry_sdk")
    script = SENTRY_CAPTURE + """
import collections, json
from test_integration_dataclasses import SECRET, User
from velmora.integrations.sentry import SentryRedactor

redactor = SentryRedactor()  # sentry-sdk 2's names, hidden whole
transport = Capture()
sentry_sdk.init(dsn="https://public@sentry.invalid/1", transport=transport, default_integrations=False,
                before_send=redactor.before_send, custom_repr=redactor.custom_repr, **own_scrubber)

def charge(user, queue, password):
    deep = {"a": {"b": {"c": {"d": {"e": {"password": SECRET}}}}}}
    raise ValueError("declined")

try:
    charge(User("ann", SECRET), collections.deque([{"token": SECRET}]), User("bob", "x"))
except ValueError:
    sentry_sdk.capture_exception()
sentry_sdk.flush()
print(json.dumps(transport.events[0]["exception"]["values"][0]["stacktrace"]["frames"][-1]["vars"]))
"""
    out = assert_runs_clean(script).stdout
    assert SECRET not in out
    frame = json.loads(out)
    assert frame["user"] == "User(name='ann', password='[Filtered]', meta={})"
    assert frame["queue"] == "[{'token': '[Filtered]'}]" and frame["password"] == "[Filtered]"
    assert "'password': '[Filtered]'" in json.dumps(frame["deep"])


def test_sentry_default_hooks_hide_a_dataclass_under_a_denied_name_whole():
    from velmora.integrations.sentry import SentryRedactor

    data = {"Session": User("ann", "x"), "user": User("bob", SECRET, {"api_key": SECRET})}
    crumb = SentryRedactor().before_breadcrumb({"message": "m", "data": data}, {})
    assert repr(crumb["data"]) == ("{'Session': '[Filtered]', 'user': User(name='bob', password='[Filtered]', "
                                   "meta={'api_key': '[Filtered]'})}")
    assert data["user"].password == SECRET


def test_custom_repr_leaves_what_it_need_not_show_to_sentry_sdk():
    from velmora.integrations.sentry import SentryRedactor

    redactor = SentryRedactor(hide=["password"])
    for value in ["password", 7, None, CustomRepr("a", SECRET), collections.deque(["a"]), User("ann", "")]:
        assert redactor.custom_repr(value) is None
    assert redactor.custom_repr(User("ann", "pw")) == "User(name='ann', password='**', meta={})"
