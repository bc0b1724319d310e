"""The integrations under hostile data, checked against a reference model of
what each must emit.

The model: a key is decided by its text (``str.__str__`` of it, whatever a
subclass says of itself); a mapping or a dataclass instance decides its
values by their keys or field names; a sequence or set passes the verdict
of its own place on to its items; a value under no key (a positional
argument) is hidden when the omitter hides the key None. Every str that the
model hides holds SECRET, and only those do: a hostile str subclass in a
hidden place also says SECRET from its __str__, __repr__ and __format__, so
that any rendering that trusts it shows it. For each generated case the
rendered output (the formatted log line and every attribute of the record,
structlog's rendered line, what the Sentry hooks return) must not hold
SECRET, the caller's objects must be as they were (same objects, same text,
at every depth), and the call must return."""

import collections
import contextlib
import dataclasses
import enum
import io
import logging
import logging.handlers
import sys
import textwrap
import threading
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import assert_runs_clean
from velmora.integrations.logging import RedactingFilter, RedactingFormatter
from velmora.integrations.sentry import SentryRedactor
from velmora.integrations.structlog import RedactingProcessor
from velmora.omit import NoTrustOmitter, Omitter
from velmora.rules import RuleOmitter

SECRET = "Kv7-leak"
KEYS = ["password", "user", "note"]

OMITTERS = {
    "hide": (lambda: Omitter(["password"]), lambda key: key == "password"),
    "trust": (lambda: NoTrustOmitter(["user", "event"]), lambda key: key not in ("user", "event")),
}


def generated(examples):
    return settings(max_examples=examples, derandomize=True, deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))


# ---- Hostile objects ---------------------------------------------------------------


class Loud(str):
    """A str whose every rendering says something other than its text."""

    said = "ok"

    def __str__(self):
        return f"<{self.said}>"

    def __repr__(self):
        return f"<{self.said}>"

    def __format__(self, spec):
        return f"<{self.said}>"


class LoudSecret(Loud):
    said = SECRET


class OddKey(str):
    """A key that claims to equal anything and hashes as another text."""

    def __eq__(self, other):
        return True

    def __hash__(self):
        return hash("password")

    def __ne__(self, other):
        return False


class Shy(dict):
    """A dict whose repr differs from its items."""

    def __repr__(self):
        return "Shy" + dict.__repr__(self)


class Masquerade:
    """An object that claims through __class__ to be a dict."""

    @property
    def __class__(self):
        return dict

    def __repr__(self):
        return "Masquerade()"


@dataclasses.dataclass
class Account:
    user: object
    password: object


@dataclasses.dataclass(frozen=True, slots=True)
class Token:
    password: object
    note: object = "ok"


@dataclasses.dataclass
class Holder:
    note: object
    inner: object = None


Pair = collections.namedtuple("Pair", "left right")


def text(draw, hidden_here):
    tail = draw(st.integers(0, 99))
    kind = draw(st.sampled_from(["str", "loud"]))
    if hidden_here:
        return f"{SECRET}{tail}" if kind == "str" else LoudSecret(f"{SECRET}{tail}")
    return f"ok{tail}" if kind == "str" else Loud(f"ok{tail}")


def build(draw, hidden_here, hidden, depth=0):
    """A value in which every str the model hides holds SECRET."""
    kinds = ["text", "int", "bytes", "none", "masquerade"]
    if depth < 4:
        kinds += ["dict", "ordered", "default", "shy", "proxy", "userdict", "list", "tuple", "deque", "set",
                  "pair", "account", "token", "holder", "cycle"]
    kind = draw(st.sampled_from(kinds))
    if kind == "text":
        return text(draw, hidden_here)
    if kind == "int":
        return draw(st.integers(-5, 5))
    if kind == "bytes":
        return b"ok"
    if kind == "none":
        return None
    if kind == "masquerade":
        return Masquerade()
    if kind == "set":
        return {f"{SECRET}{i}" if hidden_here else f"ok{i}" for i in range(draw(st.integers(0, 3)))}
    if kind in ("list", "tuple", "deque"):
        items = [build(draw, hidden_here, hidden, depth + 1) for _ in range(draw(st.integers(0, 3)))]
        return {"list": list, "tuple": tuple, "deque": collections.deque}[kind](items)
    if kind == "pair":
        # A namedtuple's items are decided by the field names its repr shows.
        return Pair(build(draw, hidden("left"), hidden, depth + 1), build(draw, hidden("right"), hidden, depth + 1))
    if kind == "account":
        return Account(build(draw, hidden("user"), hidden, depth + 1),
                       build(draw, hidden("password"), hidden, depth + 1))
    if kind == "token":
        return Token(text(draw, hidden("password")), text(draw, hidden("note")))
    if kind == "holder":
        return Holder(text(draw, hidden("note")), build(draw, hidden("inner"), hidden, depth + 1))
    if kind == "cycle":
        # Data that contains itself: whatever is done with it, no hidden
        # value may show.
        loop = {"password": text(draw, hidden("password")), "note": text(draw, hidden("note"))}
        loop["user"] = [loop]
        return loop
    names = draw(st.lists(st.sampled_from(KEYS), max_size=3, unique=True))
    # At most one OddKey: two of them (or one and "password") are one key.
    odd = draw(st.sampled_from([None, *names]))
    if odd is not None and odd != "password" and "password" in names:
        odd = None
    items = {OddKey(k) if k == odd else k: build(draw, hidden(k), hidden, depth + 1) for k in names}
    return {"dict": dict, "ordered": collections.OrderedDict, "shy": Shy, "userdict": collections.UserDict,
            "default": lambda pairs: collections.defaultdict(list, pairs),
            "proxy": lambda pairs: types.MappingProxyType(dict(pairs))}[kind](items)


def snapshot(value, seen=None):
    """Every object in `value` with its identity and type, and the exact
    text of each str: the same afterwards means nothing was changed."""
    seen = set() if seen is None else seen
    out = [(id(value), type(value))]
    if isinstance(value, str):
        return [*out, str.__str__(value)]
    if id(value) in seen:
        return out
    seen.add(id(value))
    t = type(value)
    if t is Masquerade:
        return out
    if isinstance(value, (dict, types.MappingProxyType, collections.UserDict)):
        for k, item in value.items():
            out += [snapshot(k, seen), snapshot(item, seen)]
    elif isinstance(value, (list, tuple, collections.deque)):
        out += [snapshot(item, seen) for item in value]
    elif isinstance(value, (set, frozenset)):
        out += sorted(str.__str__(item) for item in value)
    elif dataclasses.is_dataclass(value):
        out += [snapshot(getattr(value, f.name), seen) for f in dataclasses.fields(value)]
    else:
        out.append(value)
    return out


# ---- Rendering ------------------------------------------------------------------


class Dump(logging.Handler):
    """Keeps what it formats and every attribute of the record."""

    def __init__(self, formatter, whole):
        super().__init__()
        self.setFormatter(formatter)
        self.seen, self.whole = [], whole

    def emit(self, record):
        self.seen.append(self.format(record))
        if self.whole:  # a filter redacted the record itself, for every handler
            self.seen.append(repr(sorted(vars(record).items(), key=lambda item: str(item[0]))))


def a_logger(name, *filters, handler):
    log = logging.getLogger(f"velmora.review.leaks.{name}")
    log.handlers, log.filters, log.propagate = [handler], list(filters), False
    log.setLevel(logging.DEBUG)
    return log


def logged(make, wiring, call):
    """Everything a handler would render after `call(logger)`."""
    if wiring == "filter":
        handler = Dump(logging.Formatter("%(message)s %(note)s"), whole=True)
        log = a_logger("filter", RedactingFilter(make()), handler=handler)
    else:
        handler = Dump(RedactingFormatter("%(message)s %(note)s", omitter=make()), whole=False)
        log = a_logger("formatter", handler=handler)
    call(log)
    return "\n".join(handler.seen)


def structlog_rendered(processor, event):
    structlog = pytest.importorskip("structlog")
    out = processor(None, "info", event)
    kv = structlog.processors.KeyValueRenderer(sort_keys=True)(None, "info", dict(out))
    as_json = structlog.processors.JSONRenderer(default=repr)(None, "info", dict(out))
    return kv + "\n" + as_json


# ---- Generated hostile data ---------------------------------------------------------


@pytest.mark.parametrize("wiring", ["filter", "formatter"])
@pytest.mark.parametrize("kind", sorted(OMITTERS))
def test_logging_shows_no_hidden_value_and_leaves_the_callers_objects(kind, wiring):
    make, hidden = OMITTERS[kind]

    @generated(120)
    @given(st.data())
    def run(data):
        draw = data.draw
        arg = build(draw, hidden(None), hidden)
        mapping = build(draw, False, hidden)
        extra = build(draw, hidden("note"), hidden)
        before = [snapshot(v) for v in (arg, mapping, extra)]

        def call(log):
            log.info("a=%s b=%r", arg, arg, extra={"note": extra})
            if isinstance(mapping, dict) and mapping:
                log.info("%s", mapping, extra={"note": extra})
            log.info(mapping, extra={"note": "ok"})

        out = logged(make, wiring, call)
        assert SECRET not in out
        assert [snapshot(v) for v in (arg, mapping, extra)] == before

    run()


@pytest.mark.parametrize("kind", sorted(OMITTERS))
def test_structlog_shows_no_hidden_value_and_leaves_the_callers_objects(kind):
    make, hidden = OMITTERS[kind]
    processor = RedactingProcessor(make())

    @generated(120)
    @given(st.data())
    def run(data):
        draw = data.draw
        fields = {name: build(draw, hidden(name), hidden) for name in draw(st.lists(st.sampled_from(KEYS),
                                                                                     unique=True))}
        positional = tuple(build(draw, hidden(None), hidden) for _ in range(draw(st.integers(0, 2))))
        before = [snapshot(v) for v in (fields, positional)]
        event = {"event": "ok", **fields}
        if positional:
            event["positional_args"] = positional
        out = structlog_rendered(processor, event)
        assert SECRET not in out
        assert [snapshot(v) for v in (fields, positional)] == before

    run()


@pytest.mark.parametrize("kind", sorted(OMITTERS))
def test_sentry_hooks_show_no_hidden_value_and_leave_the_callers_objects(kind):
    make, hidden = OMITTERS[kind]
    redactor = SentryRedactor(make())

    @generated(120)
    @given(st.data())
    def run(data):
        draw = data.draw
        crumb_data = build(draw, False, hidden)
        value = build(draw, False, hidden)
        before = [snapshot(v) for v in (crumb_data, value)]
        crumb = redactor.before_breadcrumb({"message": "ok", "data": crumb_data}, {})
        shown = redactor.custom_repr(value)
        event = redactor.before_send({"extra": {"note": value, "password": text(draw, hidden("password"))}}, {})
        for out in (crumb, shown, event):
            assert SECRET not in repr(out)
        assert [snapshot(v) for v in (crumb_data, value)] == before

    run()


# ---- Leaks found here ----------------------------------------------------------


@pytest.mark.parametrize("shape", [
    lambda leak: (ValueError, ValueError("boom"), leak),
    lambda leak: (leak, ValueError("boom"), None),
    lambda leak: (KeyError, ValueError("boom"), leak),
])
def test_structlog_redacts_a_three_tuple_that_only_looks_like_an_exception(shape):
    # A tuple with an exception in the middle went through untouched as if
    # it were (type, exception, traceback), with a hidden value beside it.
    leak = {"password": SECRET}
    event = {"event": "ok", "exc_info": shape(leak)}
    out = structlog_rendered(RedactingProcessor(hide=["password"]), event)
    assert SECRET not in out
    assert leak == {"password": SECRET}


def test_structlog_keeps_a_real_exception_tuple_as_it_was():
    try:
        raise ValueError("boom")
    except ValueError:
        info = sys.exc_info()
    event = RedactingProcessor(hide=["password"])(None, "info", {"event": "ok", "exc_info": info,
                                                                 "password": SECRET})
    assert event["exc_info"] is info
    assert event["password"] != SECRET


@pytest.mark.parametrize("make, kept", [
    (lambda: Account("ann", SECRET), "Account(user='ann', password="),
    (lambda: Token(SECRET), "Token(password="),
    (lambda: [Holder("ok", Account("ann", SECRET))], "[Holder(note='ok', inner=Account(user='ann', password="),
    (lambda: {"deep": Account("ann", {"password": SECRET})}, "{'deep': Account(user='ann', password={'password': "),
])
def test_sentry_before_send_decides_dataclass_fields_by_name(make, kept):
    # What __sentry_repr__ returns goes into the event as it is; an instance
    # there was passed over by the walk and its field sent as it was.
    value = make()
    before = snapshot(value)
    event = SentryRedactor(hide=["password"]).before_send({"extra": {"value": value}}, {})
    assert event is not None
    assert SECRET not in repr(event)
    assert repr(event["extra"]["value"]).startswith(kept)
    assert snapshot(value) == before


def test_sentry_before_send_keeps_an_instance_in_which_nothing_is_masked():
    value = Account("ann", None)
    event = {"extra": {"value": value}}
    assert SentryRedactor(hide=["password"]).before_send(event, {})["extra"]["value"] is value


def changing_field(kind):
    """An Account whose password reads None twice (what a redaction looks
    at) and SECRET from then on (what a later repr reads)."""
    reads = iter([None, None])

    def read(self):
        return next(reads, SECRET)

    if kind == "property":
        class Changing(Account):
            password = property(read, lambda self, value: None)
    else:
        class Changing(Account):
            def __getattribute__(self, name):
                return read(self) if name == "password" else object.__getattribute__(self, name)
    return Changing("ann", None)


@pytest.mark.parametrize("kind", ["property", "getattribute"])
@pytest.mark.parametrize("where", ["logging", "structlog", "breadcrumb", "custom_repr", "before_send"])
def test_an_instance_whose_fields_may_change_is_handed_on_as_it_was_read(kind, where):
    # The instance was checked (nothing to mask) and handed on as it is; its
    # repr, made later, read the field again and showed what it said then.
    value = changing_field(kind)
    if where == "logging":
        record = logging.LogRecord("x", logging.INFO, __file__, 1, "%s", (value,), None)
        RedactingFilter(hide=["password"]).filter(record)
        shown = record.getMessage()
    elif where == "structlog":
        shown = repr(RedactingProcessor(hide=["password"])(None, "info", {"event": "ok", "a": value}))
    elif where == "breadcrumb":
        shown = repr(SentryRedactor(hide=["password"]).before_breadcrumb({"data": {"a": value}}, {}))
    elif where == "custom_repr":
        shown = SentryRedactor(hide=["password"]).custom_repr({"a": value}) or repr({"a": value})
    else:
        shown = repr(SentryRedactor(hide=["password"]).before_send({"extra": {"a": [value]}}, {}))
    assert SECRET not in shown
    assert "user='ann', password=None" in shown


def test_an_instance_with_stored_fields_is_still_handed_on_as_it_is():
    # Slots and plain attributes: what the repr reads later is what was read.
    token, accounts = Token("ok-token"), [Account("ann", None)]
    processor = RedactingProcessor(hide=["other"])
    out = processor(None, "info", {"event": "ok", "token": token, "accounts": accounts})
    assert out["token"] is token and out["accounts"] is accounts
    assert SentryRedactor(hide=["other"]).custom_repr(accounts) is None


# ---- Hostile objects that must not break a call -------------------------------


class Raises:
    def __repr__(self):
        raise RuntimeError("no repr")

    __str__ = __repr__


class RaisingKey(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise RuntimeError(SECRET)


class RaisingItems(collections.abc.Mapping):
    def __getitem__(self, key):
        return SECRET

    def __iter__(self):
        yield "password"
        raise RuntimeError(SECRET)

    def __len__(self):
        return 1


@dataclasses.dataclass
class Lazy:
    password: object

    def __getattribute__(self, name):
        if name == "password":
            raise RuntimeError(SECRET)
        return object.__getattribute__(self, name)


class PosingAs:
    """Claims through __class__ to be of another type (str, a dataclass)."""

    def __init__(self, posed):
        self.posed = posed

    @property
    def __class__(self):
        return self.posed

    def __hash__(self):
        return hash("password")

    def __eq__(self, other):
        return other == "password"

    def __repr__(self):
        return "'password'"


def list_that_holds_itself():
    loop = [{"password": SECRET}]
    loop.append(loop)
    return loop


def instance_that_holds_itself():
    holder = Holder({"password": SECRET})
    holder.inner = holder
    return holder


HOSTILE = {
    "raising repr": lambda: {"note": Raises(), "password": SECRET},
    "raising key hash": lambda: {RaisingKey("password"): SECRET},
    "raising items": lambda: RaisingItems(),
    "unreadable field": lambda: Lazy(SECRET),
    "value posing as str": lambda: {"password": PosingAs(str), "note": "ok"},
    "key posing as str": lambda: {PosingAs(str): SECRET},
    "value posing as a dataclass": lambda: [PosingAs(Account), {"password": SECRET}],
    "list that holds itself": list_that_holds_itself,
    "instance that holds itself": instance_that_holds_itself,
}


@pytest.mark.parametrize("make", HOSTILE.values(), ids=list(HOSTILE))
def test_hostile_objects_never_raise_into_the_call_nor_show_a_hidden_value(make):
    value = make()
    processor, redactor = RedactingProcessor(hide=["password"]), SentryRedactor(hide=["password"])
    record = logging.LogRecord("x", logging.INFO, __file__, 1, "%s", (value,), None)
    RedactingFilter(hide=["password"]).filter(record)
    shown = [record.args, record.msg]
    shown.append(processor(None, "info", {"event": "ok", "note": value, "positional_args": (value,)}))
    shown.append(redactor.before_breadcrumb({"data": {"note": value}}, {}))
    shown.append(redactor.custom_repr(value))
    shown.append(redactor.before_send({"extra": {"note": value}}, {}))
    for out in shown:
        assert SECRET not in " ".join(texts(out))


def texts(value, seen=None):
    """Every str reachable in `value` (by its text), and the repr of each
    other object that has one."""
    seen = set() if seen is None else seen
    t = type(value)  # never what an object claims through __class__
    if issubclass(t, str):
        return [str.__str__(value)]
    if id(value) in seen:
        return []
    seen.add(id(value))
    out = []
    if issubclass(t, dict):
        for k, item in value.items():
            out += texts(k, seen) + texts(item, seen)
    elif issubclass(t, (list, tuple)):
        for item in value:
            out += texts(item, seen)
    elif hasattr(value, "fields") and hasattr(value, "name"):  # a MaskedDataclass
        for _, item in value.fields:
            out += texts(item, seen)
    else:
        with contextlib.suppress(Exception):  # what the caller's object does when shown
            out.append(repr(value))
    return out


def test_data_another_thread_changes_shows_no_hidden_value():
    # Whatever the other thread has done when a walk reads an entry, what
    # stands under "password" is hidden, and a container that changes size
    # under a copy is withheld.
    shared = {"password": SECRET, "rows": [], "ordered": collections.OrderedDict(password=SECRET),
              "account": Account("ann", SECRET)}
    stop = threading.Event()

    def change():
        n = 0
        while not stop.is_set():
            n += 1
            shared[f"k{n % 40}"] = {"password": SECRET, "also": Token(SECRET)}
            shared.pop(f"k{(n * 7) % 40}", None)
            rows = shared["rows"]
            rows.append({"password": SECRET}) if len(rows) < 30 else rows.clear()
            shared["ordered"][f"o{n % 9}"] = [Account("ann", SECRET)]
            shared["account"].password = f"{SECRET}{n}"

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    other = threading.Thread(target=change)
    other.start()
    try:
        processor, redactor = RedactingProcessor(hide=["password"]), SentryRedactor(hide=["password"])
        for _ in range(300):
            record = logging.LogRecord("x", logging.INFO, __file__, 1, "%s %s", (shared, shared["ordered"]), None)
            RedactingFilter(hide=["password"]).filter(record)
            assert SECRET not in record.getMessage()
            assert SECRET not in repr(processor(None, "info", {"event": "ok", "d": shared}))
            assert SECRET not in repr(redactor.before_breadcrumb({"data": shared}, {}))
            assert SECRET not in repr(redactor.custom_repr(shared["ordered"]))
    finally:
        stop.set()
        other.join()
        sys.setswitchinterval(interval)


def test_finalisers_that_change_the_data_mid_redaction_end_cleanly():
    # In a subprocess: collections are forced at every few allocations, and
    # each finaliser refills or empties the dict being redacted.
    code = textwrap.dedent(f"""
        import collections, dataclasses, gc, io, logging, random
        from velmora.integrations.logging import RedactingFilter
        from velmora.integrations.sentry import SentryRedactor
        from velmora.integrations.structlog import RedactingProcessor
        SECRET = {SECRET!r}

        @dataclasses.dataclass
        class Account:
            password: object
            note: object = "ok"

        class Changer:
            def __init__(self, target, rnd):
                self.target, self.rnd, self.me = target, rnd, self
            def __del__(self):
                if self.rnd.random() < 0.5:
                    self.target.clear()
                else:
                    for i in range(20):
                        self.target[f"k{{i}}"] = {{"password": SECRET, "l": [Account(SECRET)]}}

        rnd = random.Random(7)
        gc.set_threshold(3, 1, 1)
        out = io.StringIO()
        log = logging.getLogger("finalisers")
        log.handlers, log.propagate = [logging.StreamHandler(out)], False
        log.filters = [RedactingFilter(hide=["password"])]
        processor, redactor = RedactingProcessor(hide=["password"]), SentryRedactor(hide=["password"])
        for _ in range(400):
            data = {{f"a{{i}}": [{{"password": SECRET}}, collections.OrderedDict(password=SECRET), Account(SECRET)]
                    for i in range(4)}}
            for _ in range(3):
                Changer(data, rnd)
            log.warning("%s", data)
            shown = out.getvalue() + repr(processor(None, "info", {{"event": "ok", "d": data}}))
            shown += repr(redactor.before_breadcrumb({{"data": data}}, {{}})) + repr(redactor.custom_repr(data))
            assert SECRET not in shown, shown
            out.seek(0)
            out.truncate()
        print("done")
    """)
    assert "done" in assert_runs_clean(code, timeout=600).stdout


@pytest.mark.parametrize("depth", [100, 5_000, 200_000])
def test_deep_nesting_ends_without_a_crash_and_shows_no_hidden_value(depth):
    code = textwrap.dedent(f"""
        import dataclasses, io, logging
        from velmora.integrations.logging import RedactingFilter
        from velmora.integrations.sentry import SentryRedactor
        from velmora.integrations.structlog import RedactingProcessor
        SECRET = {SECRET!r}

        @dataclasses.dataclass
        class Holder:
            note: object

        value = {{"password": SECRET}}
        for i in range({depth}):
            value = [value] if i % 3 == 0 else (value,) if i % 3 == 1 else Holder(value)
        out = io.StringIO()
        log = logging.getLogger("deep")
        log.handlers, log.propagate = [logging.StreamHandler(out)], False
        log.filters = [RedactingFilter(hide=["password"])]
        record = logging.LogRecord("deep", logging.INFO, "", 1, "%s", (value,), None)
        log.filters[0].filter(record)
        processor, redactor = RedactingProcessor(hide=["password"]), SentryRedactor(hide=["password"])
        results = [record.args, processor(None, "info", {{"event": "ok", "note": value}}),
                   redactor.before_breadcrumb({{"data": {{"note": value}}}}, {{}}), redactor.custom_repr(value),
                   redactor.before_send({{"extra": {{"note": value}}}}, {{}})]
        for result in results:
            try:
                shown = repr(result)
            except RecursionError:  # too deep to print, redacted or not: look with a walk of our own
                stack, shown = [result], []
                while stack:
                    item = stack.pop()
                    if isinstance(item, str):
                        shown.append(item)
                    elif isinstance(item, dict):
                        stack.extend(item.values())
                    elif isinstance(item, (list, tuple)):
                        stack.extend(item)
                    elif hasattr(item, "fields"):
                        stack.extend(v for _, v in item.fields)
                    elif dataclasses.is_dataclass(item):
                        stack.append(item.note)
                shown = " ".join(shown)
            assert SECRET not in shown
        print("done")
    """)
    assert "done" in assert_runs_clean(code, timeout=600).stdout


# ---- Left open: what the integrations do not promise today ---------------------------


@pytest.mark.parametrize("value", [b"Kv7-leak", bytearray(b"Kv7-leak"), memoryview(b"Kv7-leak")])
@pytest.mark.parametrize("where", ["logging", "structlog", "breadcrumb", "before_send", "field"])
def test_an_omitter_that_hides_whole_values_hides_bytes_too(value, where):
    # What the integrations promise for bytes: what the omitter does with
    # them. One that hides whole values (the Sentry hooks' default) hides
    # them wherever they stand under a hidden key.
    omitter = RuleOmitter(["password"], whole=True, mask="[Filtered]")
    if where == "logging":
        record = logging.LogRecord("x", logging.INFO, __file__, 1, "%s %s", ({"password": value}, [{"password": value}]), None)
        RedactingFilter(omitter).filter(record)
        shown = record.getMessage()
    elif where == "structlog":
        shown = repr(RedactingProcessor(omitter)(None, "info", {"event": "ok", "password": value,
                                                                "rows": [{"password": value}]}))
    elif where == "breadcrumb":
        shown = repr(SentryRedactor().before_breadcrumb({"data": {"Password": value}}, {}))
    elif where == "before_send":
        shown = repr(SentryRedactor().before_send({"extra": {"PASSWORD": value}}, {}))
    else:
        shown = repr(RedactingProcessor(omitter)(None, "info", {"event": "ok", "a": Token(value)}))
    assert "Kv7" not in shown.replace("<memory at", "")
    assert "[Filtered]" in shown


class HidesKeys(dict):
    """A dict whose iteration and items() give nothing; dict's repr shows all."""

    def __iter__(self):
        return iter(())

    def items(self):
        return []


def user_dict_over(data):
    wrapper = collections.UserDict()
    wrapper.data = data
    return wrapper


@pytest.mark.parametrize("make", [lambda: user_dict_over(HidesKeys(password=SECRET)),
                                  lambda: types.MappingProxyType(HidesKeys(password=SECRET)),
                                  lambda: {"a": [user_dict_over(HidesKeys(password=SECRET))]}])
def test_a_wrapper_over_a_container_that_hides_its_items_is_replaced_by_its_copy(make):
    # A UserDict or mapping proxy shows the repr of what it wraps; it stood
    # for its (empty) copy and showed the hidden value.
    value = make()
    record = logging.LogRecord("x", logging.INFO, __file__, 1, "%s", (value,), None)
    RedactingFilter(hide=["password"]).filter(record)
    shown = [record.getMessage(), repr(RedactingProcessor(hide=["password"])(None, "info", {"event": "ok", "a": value})),
             repr(SentryRedactor(hide=["password"]).before_breadcrumb({"data": {"a": value}}, {})),
             repr(SentryRedactor(hide=["password"]).custom_repr(value))]
    assert all(SECRET not in text for text in shown), shown


def test_a_wrapper_over_an_exact_container_still_stands_for_itself():
    value, proxy = collections.UserDict(a="b"), types.MappingProxyType({"a": "b"})
    out = RedactingProcessor(hide=["password"])(None, "info", {"event": "ok", "u": value, "p": proxy})
    assert out["u"] is value and out["p"] is proxy


class Kind(enum.Enum):
    SECRET = SECRET


@pytest.mark.xfail(strict=True, reason="what is not a str under a hidden key (bytes, an enum member) is left as "
                                       "it is (only str values are masked); masking or withholding it is open")
@pytest.mark.parametrize("value", [b"Kv7-leak", bytearray(b"Kv7-leak"), Kind.SECRET])
def test_bytes_under_a_hidden_key_are_not_shown(value):
    out = logged(OMITTERS["hide"][0], "filter", lambda log: log.info("%s", {"password": value}, extra={"note": ""}))
    assert SECRET not in out


def test_namedtuple_fields_are_decided_by_name():
    Credentials = collections.namedtuple("Credentials", "user password")
    out = logged(OMITTERS["hide"][0], "filter",
                 lambda log: log.info("%s", Credentials("ann", SECRET), extra={"note": ""}))
    assert SECRET not in out


@pytest.mark.parametrize("make", [lambda: ValueError({"password": SECRET}),
                                  lambda: types.SimpleNamespace(password=SECRET),
                                  lambda: {"x": {"password": SECRET}}.values()])
def test_other_objects_holding_a_hidden_value(make):
    out = logged(OMITTERS["hide"][0], "filter", lambda log: log.info("%s", make(), extra={"note": ""}))
    assert SECRET not in out


class Meddler(logging.Handler):
    """A handler that changes the caller's data after the filter ran and
    before the next handler formats the record, as another thread may."""

    def __init__(self, rows):
        super().__init__()
        self.rows = rows

    def emit(self, record):
        self.rows.append({"password": SECRET})


@pytest.mark.xfail(strict=True, reason="what holds nothing masked is shared with the caller (copy-on-write), so a "
                                       "change made to it before the record is formatted shows; copying it all "
                                       "would cost the sharing its speed: open")
def test_a_change_made_between_the_filter_and_the_format_is_not_shown():
    rows = [{"note": "ok"}]
    buf = io.StringIO()
    log = a_logger("shared", RedactingFilter(hide=["password"]), handler=Meddler(rows))
    log.addHandler(logging.StreamHandler(buf))
    log.info("%s", {"rows": rows, "password": SECRET})
    assert SECRET not in buf.getvalue()


def test_a_mark_given_with_extra_does_not_let_a_merged_message_through():
    buf = io.StringIO()
    handler = logging.StreamHandler(buf)
    handler.setFormatter(RedactingFormatter(hide=["password"]))
    queue = []
    log = a_logger("queued", handler=logging.handlers.QueueHandler(_ListQueue(queue)))
    log.info("%s", {"password": SECRET}, extra={"_velmora_redacted": True})
    for record in queue:
        handler.handle(record)
    assert buf.getvalue() and SECRET not in buf.getvalue()


class _ListQueue:
    def __init__(self, items):
        self.items = items

    def put_nowait(self, item):
        self.items.append(item)


def test_keys_are_decided_by_their_text_not_by_what_they_claim():
    # A key that claims to equal every name is decided by its text; one whose
    # text is hidden is hidden whatever it says of itself.
    buf = io.StringIO()
    log = a_logger("keys", RedactingFilter(hide=["password"]), handler=logging.StreamHandler(buf))
    log.info("%s", {OddKey("password"): SECRET})
    log.info("%s", {OddKey("user"): "ok-user", "note": "ok-note"})
    assert SECRET not in buf.getvalue()
    assert "ok-user" in buf.getvalue() and "ok-note" in buf.getvalue()


# ---- Objects that show their values by name ----------------------------------------

MASK = "********"  # what Omitter(["password"]) makes of SECRET


def rendered(wiring, make_args, fmt="%s|%r"):
    """The line logged with `make_args()` through a filter or a formatter
    hiding "password", and through a plain handler (wiring "plain")."""
    buf = io.StringIO()
    handler = logging.StreamHandler(buf)
    filters = []
    if wiring == "filter":
        filters.append(RedactingFilter(hide=["password"]))
    elif wiring == "formatter":
        handler.setFormatter(RedactingFormatter(hide=["password"]))
    log = a_logger(f"named.{wiring}", *filters, handler=handler)
    log.info(fmt, *make_args())
    return buf.getvalue()


@pytest.mark.parametrize("wiring", ["filter", "formatter"])
def test_a_namedtuple_shows_as_the_dataclass_of_its_fields(wiring):
    # Its repr names each item as a dataclass's repr names a field: the
    # items are decided by those names, and shown as the instance of a
    # dataclass with the same fields would be.
    @generated(60)
    @given(names=st.lists(st.sampled_from(["user", "password", "note", "left"]), min_size=1, max_size=4, unique=True),
           data=st.data())
    def run(names, data):
        values = [data.draw(st.sampled_from([SECRET, "ok", None, 7, {"password": SECRET, "user": "ok"},
                                             [SECRET], ("ok", {"password": SECRET})])) for _ in names]
        shape = collections.namedtuple("Credentials", names)
        twin = dataclasses.make_dataclass("Credentials", names)
        value = shape(*values)
        before = snapshot(value)
        out = rendered(wiring, lambda: (value, value))
        assert out == rendered(wiring, lambda: (twin(*values), twin(*values)))
        if "password" not in names and all(v in ("ok", None, 7) for v in values):
            assert out == rendered("plain", lambda: (value, value))
        assert snapshot(value) == before
        processor = RedactingProcessor(hide=["password"])
        assert repr(processor(None, "info", {"event": "ok", "a": value})) == repr(
            processor(None, "info", {"event": "ok", "a": twin(*values)}))

    run()


Base = collections.namedtuple("Base", "user password")


class Overridden(Base):
    # What the class says of its items is not what its repr shows.
    password = property(lambda self: "ok")

    def __iter__(self):
        return iter(("ok", "ok"))

    def __getitem__(self, index):
        return "ok"

    def __len__(self):
        return 0


class LyingFields(Base):
    _fields = ("user", "note")


class OwnRepr(Base):
    def __repr__(self):
        return f"OwnRepr<{tuple.__repr__(self)}>"


class OwnStr(Base):
    def __str__(self):
        return f"OwnStr:{tuple.__repr__(self)}"


def renamed():
    shape = collections.namedtuple("Renamed", "user note")
    shape.__repr__.__closure__[0].cell_contents = "(note=%r, password=%r)"
    return shape("ok", SECRET)


def short():
    # Its repr fails: under a hidden key, it is a tuple like any other.
    return {"password": tuple.__new__(Base, (SECRET,))}


def holding_itself():
    rows = [{"password": SECRET}]
    value = Base("ok", rows)
    rows.append(value)
    return value


NAMEDTUPLES = {
    "overridden item access": lambda: Overridden("ok", SECRET),
    "lying _fields": lambda: LyingFields("ok", SECRET),
    # A tuple like any other: its items take the verdict of its place.
    "own repr": lambda: {"password": OwnRepr(SECRET, SECRET), "user": [OwnRepr("ok", "ok")]},
    "own str": lambda: OwnStr("ok", SECRET),
    "renamed in its closure": renamed,
    "too few items": short,
    "holding containers": lambda: Base({"password": SECRET, "user": ["ok"]}, {"note": "ok"}),
    "holding itself": holding_itself,
    "nested": lambda: {"rows": [Base("ok", SECRET)], "user": Base("ok", Base("ok", SECRET))},
}


@pytest.mark.parametrize("make", NAMEDTUPLES.values(), ids=list(NAMEDTUPLES))
def test_namedtuples_that_say_otherwise_of_their_items_show_no_hidden_value(make):
    value = make()
    before = snapshot(value)
    shown = [rendered(wiring, lambda: (value, value)) for wiring in ("filter", "formatter")]
    shown.append(repr(RedactingProcessor(hide=["password"])(None, "info", {"event": "ok", "a": value,
                                                                         "positional_args": (value,)})))
    redactor = SentryRedactor(hide=["password"])
    shown += [repr(redactor.before_send({"extra": {"a": value}}, {})), repr(redactor.custom_repr(value)),
              repr(redactor.before_breadcrumb({"data": {"a": value}}, {}))]
    assert all(SECRET not in text for text in shown), shown
    assert snapshot(value) == before


class Spaced(types.SimpleNamespace):
    pass


class Failed(ValueError):
    pass


class Quoting(ValueError):
    def __str__(self):
        return f"Quoting: {self.args!r}"


# Each makes an object around `inner` (the value under "password" in it, or
# the one an exception shows), and the same object with `inner` masked is
# what the rendering must be.
SHOWN_BY_NAME = {
    "namespace": lambda inner: types.SimpleNamespace(user="ann", password=inner),
    "namespace subclass": lambda inner: Spaced(password=inner, note=["ok"]),
    "namespace holding a dict": lambda inner: types.SimpleNamespace(user={"password": inner}),
    "values": lambda inner: {"user": "ann", "password": inner}.values(),
    "items": lambda inner: {"password": inner, "user": ["ann"]}.items(),
    "keys": lambda inner: {"password": inner, "user": "ann"}.keys(),
    "values of a dict subclass": lambda inner: HidesKeys(password=inner).values(),
    "exception": lambda inner: ValueError({"password": inner}),
    "exception with args": lambda inner: ValueError("bad", {"password": inner, "user": "ann"}),
    "exception subclass": lambda inner: Failed([{"password": inner}]),
    "in a list": lambda inner: [types.SimpleNamespace(password=inner), ValueError({"password": inner})],
    "in a dict": lambda inner: {"user": {"a": 1, "password": inner}.values()},
}


@pytest.mark.parametrize("wiring", ["filter", "formatter"])
@pytest.mark.parametrize("make", SHOWN_BY_NAME.values(), ids=list(SHOWN_BY_NAME))
def test_objects_that_show_values_by_name_show_them_redacted(make, wiring):
    value = make(SECRET)
    before = snapshot(value)
    out = rendered(wiring, lambda: (value, value))
    assert out == rendered("plain", lambda: (make(MASK), make(MASK)))
    assert snapshot(value) == before
    # As the message itself, and under an extra attribute.
    assert rendered(wiring, lambda: (), fmt=value) == rendered("plain", lambda: (), fmt=make(MASK))
    processor = RedactingProcessor(hide=["password"])
    assert repr(processor(None, "info", {"event": "ok", "a": value})["a"]) == repr(make(MASK))
    # Holding nothing hidden, it is shown as it is: the very object.
    kept = make(None)
    record = logging.LogRecord("x", logging.INFO, __file__, 1, "%s %s", (kept, 1), None)
    RedactingFilter(hide=["password"]).filter(record)
    assert record.args[0] is kept


@pytest.mark.parametrize("make", [lambda: Quoting({"password": SECRET}), lambda: KeyError({"password": SECRET}),
                                  lambda: {"note": [OSError(2, {"password": SECRET})]}])
def test_an_exception_showing_its_args_its_own_way_is_withheld(make):
    # It cannot be shown with its args masked: shown its own way, it would
    # show what they hold.
    value = make()
    for wiring in ("filter", "formatter"):
        out = rendered(wiring, lambda: (value, value))
        assert SECRET not in out and "<withheld: " in out
    kept = Quoting("ok")
    assert rendered("filter", lambda: (kept, kept)) == rendered("plain", lambda: (kept, kept))


def test_an_exception_logged_with_its_traceback_keeps_it():
    buf = io.StringIO()
    log = a_logger("traceback", RedactingFilter(hide=["password"]), handler=logging.StreamHandler(buf))
    try:
        raise ValueError({"password": SECRET})
    except ValueError as caught:
        exc = caught
        log.exception(exc)
        log.error("failed: %s", exc, exc_info=True)  # noqa: G201 - the traceback with a message of its own
        structlog_out = RedactingProcessor(hide=["password"])(None, "error", {"event": "x", "exc_info": exc,
                                                                             "error": exc})
    out = buf.getvalue()
    # The message is redacted; the traceback is the interpreter's, as before.
    assert out.count("Traceback (most recent call last)") == 2
    assert out.splitlines()[0] == "{'password': '********'}"
    assert "failed: {'password': '********'}" in out
    assert structlog_out["exc_info"] is exc and SECRET not in repr(structlog_out["error"])


# ---- The mark a filter leaves ----------------------------------------------------------


def through_queue(front_filter, extra, args=({"password": SECRET},), exc=False, pickled=False):
    """What a RedactingFormatter makes of records logged through a
    QueueHandler (optionally with a RedactingFilter on it), and optionally
    sent as a SocketHandler sends them."""
    import pickle

    buf = io.StringIO()
    handler = logging.StreamHandler(buf)
    handler.setFormatter(RedactingFormatter("%(message)s", hide=["password"]))
    queue = []
    front = logging.handlers.SocketHandler("localhost", None) if pickled else None
    log = a_logger(f"mark.{pickled}", *([front_filter] if front_filter else []),
                   handler=logging.handlers.QueueHandler(_ListQueue(queue)))
    if pickled:
        log.handlers = [Collect(queue)]
    try:
        raise ValueError("boom")
    except ValueError:
        log.info("got %s", *args, extra=extra, exc_info=exc)
    for record in queue:
        if pickled:
            record = logging.makeLogRecord(pickle.loads(front.makePickle(record)[4:]))
        handler.handle(record)
    return buf.getvalue()


class Collect(logging.Handler):
    def __init__(self, items):
        super().__init__()
        self.items = items

    def emit(self, record):
        self.items.append(record)


def a_sealed_mark():
    record = logging.LogRecord("x", logging.INFO, __file__, 1, "got %s", ({"password": "other"},), None)
    RedactingFilter(hide=["password"]).filter(record)
    return record._velmora_redacted


@pytest.mark.parametrize("pickled", [False, True])
def test_no_mark_given_with_extra_lets_a_merged_message_through(pickled):
    @generated(40)
    @given(mark=st.one_of(st.just(True), st.just(1), st.text(max_size=40), st.just("velmora:"),
                          st.builds(lambda: a_sealed_mark()), st.just({"password": SECRET})))
    def run(mark):
        out = through_queue(None, {"_velmora_redacted": mark}, pickled=pickled)
        assert out and SECRET not in out

    run()


@pytest.mark.parametrize("pickled", [False, True])
@pytest.mark.parametrize("exc", [False, True])
@pytest.mark.parametrize("args", [({"password": SECRET},), (Account("ann", SECRET),), ("ok",)], ids=repr)
def test_a_record_a_filter_sealed_is_formatted_after_the_queue_or_a_socket(args, exc, pickled):
    # A forged mark withholds the message; a filter's seal lets the very
    # message it vouches for through (with its traceback), once masked.
    forged = through_queue(None, {"_velmora_redacted": True}, args=args, exc=exc, pickled=pickled)
    assert SECRET not in forged and "withheld" in forged
    out = through_queue(RedactingFilter(hide=["password"]), {"note": "ok"}, args=args, exc=exc, pickled=pickled)
    expected = rendered("filter", lambda: args, fmt="got %s")
    assert out.startswith(expected.rstrip("\n")) and SECRET not in out
    assert ("Traceback (most recent call last)" in out) == exc
