"""Redaction for the standard :mod:`logging` module.

``RedactingFilter`` redacts what a record carries from the caller: its
message when that is not a format string (a dict, a list, any mapping or
sequence, a dataclass instance), its arguments, and the attributes given
with ``extra=`` (each decided by its attribute name, as a key). The record
gets redacted versions; the caller's objects are never changed. An
argument stands under no key: a dict argument is decided by its own keys, a
dataclass instance by its field names, and a str argument (or the str
items of a list or tuple argument) is masked when the omitter hides what
has no key, as an allowlist (``trust=``) does.

Where it goes:

- on a logger, or on a handler (it changes the record that later handlers
  see too);
- behind a :class:`logging.handlers.QueueHandler`, on the QueueHandler (or
  its logger): the QueueHandler merges the arguments into the message text
  before the record crosses the queue, and nothing after that can tell them
  apart.

``RedactingFormatter`` redacts a copy of each record for one handler alone.
It cannot redact a record whose arguments were merged into its message
before it came (one from a ``QueueListener`` or a ``SocketHandler``): such a
message is withheld, unless a RedactingFilter redacted the record first and
the message is the one merged from what it left: the message alone (as a
``SocketHandler`` sends it), or with the traceback and stack in the layout
of a plain :class:`logging.Formatter` (as a ``QueueHandler`` without a
formatter of its own merges it). The filter seals the record with a digest
of those texts; a mark given with ``extra=`` is not one of them.

From :func:`logging.config.dictConfig`::

    "filters": {"redact": {"()": "velmora.integrations.logging.RedactingFilter",
                           "hide": ["password", "token"]}}

``trust=[...]`` makes a :class:`~velmora.omit.NoTrustOmitter` instead, and
``omitter="ext://package.module.NAME"`` uses an omitter of your own.

``detect=`` (a :class:`velmora.detect.Detector`) also masks what the
detector finds in the text the record makes: the final message (the
arguments merged into it; the record then carries that text, with no
arguments), the traceback text (``exc_text``, made here with the standard
layout when the record has ``exc_info``; when something in it is masked,
``exc_info`` is dropped so that no handler renders the exception again),
``stack_info``, and the str values of the extra attributes. With
``detect=`` alone, no key is hidden.
"""

from __future__ import annotations

import hashlib
import logging
from collections.abc import Iterable, Mapping
from typing import Any, Literal

from velmora.detect import Detector
from velmora.omit import Omitter

from ._common import (check_detector, detected, hides_unkeyed, make_omitter, redact_mapping, redact_unkeyed,
                      redactable, withheld)

__all__ = ["RedactingFilter", "RedactingFormatter", "redact_record"]

# What every record has; anything else on a record came from extra=.
_RECORD_ATTRIBUTES = frozenset(vars(logging.LogRecord("", 0, "", 0, "", None, None))) | {"message", "asctime"}
# Set on a record this module redacted; it travels with the record's
# attributes (through a queue, or pickled by a SocketHandler). Its value is
# the seal of the texts the record's message may be merged into (see
# `_seal`): extra= data may give this attribute, but not the digest of a
# message made after it was given.
_REDACTED = "_velmora_redacted"
_SEAL = "velmora:"
_MERGED = "<withheld: message formatted before redaction; put a RedactingFilter on the QueueHandler>"
# The traceback layout of a formatter that does not change it.
_TRACEBACKS = logging.Formatter()


class _WithheldArgs(dict[str, str]):
    """What stands for a mapping argument that could not be read: every
    field it is asked for is withheld."""

    def __init__(self, text: str) -> None:
        super().__init__()
        self.text = text

    def __missing__(self, key: str) -> str:
        return self.text

    def __bool__(self) -> bool:  # logging formats only with arguments
        return True

    def __repr__(self) -> str:
        return self.text


def _redact_args(omitter: Omitter, args: Any) -> Any:
    """The record's arguments, redacted; never raises."""
    try:
        if isinstance(args, Mapping):
            # logging keeps a lone mapping argument as the record's args; it
            # is read by name, so its keys decide.
            return redact_mapping(omitter, args)
        if type(args) is tuple:
            if not args:
                return args
            hides = hides_unkeyed(omitter)
            clean = tuple(redact_unkeyed(omitter, arg, hides) for arg in args)
            return args if all(new is old for new, old in zip(clean, args)) else clean
        if args is None:
            return None
        return redact_unkeyed(omitter, args, hides_unkeyed(omitter))
    except Exception as exc:  # noqa: BLE001
        return _WithheldArgs(withheld(exc))


def _extra(record: logging.LogRecord) -> dict[str, Any]:
    # The seal is this module's; anything else under its name came with
    # extra= and is redacted as any extra attribute is.
    return {name: value for name, value in vars(record).items()
            if name not in _RECORD_ATTRIBUTES and (name != _REDACTED or not _is_seal(value))}


def _digest(text: str) -> str:
    return hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=16).hexdigest()


def _is_seal(value: Any) -> bool:
    return type(value) is str and value.startswith(_SEAL)


def _seal(record: logging.LogRecord) -> str:
    """The seal of a redacted record: the digests of its final message,
    and of that message with its traceback and stack as a plain Formatter
    lays them out (what a QueueHandler without a formatter merges). Made
    without changing the record (a traceback text is not cached on it)."""
    message = record.getMessage()
    text = message
    exc_text = record.exc_text or (_TRACEBACKS.formatException(record.exc_info) if record.exc_info else None)
    if exc_text:
        text += ("" if text[-1:] == "\n" else "\n") + exc_text
    if record.stack_info:
        text += ("" if text[-1:] == "\n" else "\n") + _TRACEBACKS.formatStack(record.stack_info)
    return _SEAL + _digest(message) + ("" if text == message else ":" + _digest(text))


def _merged_after_redaction(record: logging.LogRecord) -> bool:
    """Whether the message of a record that came merged (``args`` None) is
    one that a filter's seal on it vouches for."""
    mark = vars(record).get(_REDACTED)
    if type(record.msg) is not str or type(mark) is not str or not mark.startswith(_SEAL):
        return False
    return _digest(record.msg) in mark[len(_SEAL):].split(":")


def _detect_in_record(detector: Detector, record: logging.LogRecord) -> None:
    """Mask what ``detector`` finds in the text of the record: its final
    message, its traceback and stack, and its extra attributes' str values.
    Each part that cannot be read is withheld."""
    try:
        message = record.getMessage()
        masked = detector.mask(message)
        if masked is not message:
            record.msg, record.args = masked, ()
    except Exception as exc:  # noqa: BLE001
        record.msg, record.args = withheld(exc), ()
    if record.exc_info or record.exc_text:
        try:
            text = record.exc_text or _TRACEBACKS.formatException(record.exc_info)  # type: ignore[arg-type]
            masked = detector.mask(text)
            if masked is not text:
                record.exc_text, record.exc_info = masked, None
        except Exception as exc:  # noqa: BLE001
            record.exc_text, record.exc_info = withheld(exc), None
    if record.stack_info:
        try:
            record.stack_info = detector.mask(record.stack_info)
        except Exception as exc:  # noqa: BLE001
            record.stack_info = withheld(exc)
    attributes = vars(record)
    for name, value in _extra(record).items():
        try:
            new = detected(detector, value)
        except Exception as exc:  # noqa: BLE001
            new = withheld(exc)
        if new is not value:
            attributes[name] = new


def redact_record(omitter: Omitter, record: logging.LogRecord, detector: Detector | None = None,
                  seal: bool = True) -> None:
    """Give ``record`` redacted versions of its message, arguments and
    extra attributes, and with a detector, its text masked where the
    detector finds something. Only the record's own attributes are
    replaced; what cannot be redacted is withheld. With `seal`, the record
    is sealed for a formatter that gets it merged (see the module's
    docstring)."""
    # A record that came merged (args None) holds what was merged into its
    # message before any redaction, unless a seal vouches for that text: it
    # is not sealed here (a filter cannot tell its arguments apart), and
    # stays merged, so that a formatter withholds it.
    unvouched = record.args is None and isinstance(record.msg, str) and not _merged_after_redaction(record)
    try:
        msg = record.msg
        if type(msg) is not str and redactable(msg):
            record.msg = redact_unkeyed(omitter, record.msg, hides_unkeyed(omitter))
    except Exception as exc:  # noqa: BLE001
        record.msg = withheld(exc)
    record.args = _redact_args(omitter, record.args)
    extra = _extra(record)
    if extra:
        attributes = vars(record)
        for name, value in redact_mapping(omitter, extra, own_keys=True).items():
            if value is not extra.get(name):
                attributes[name] = value
    if detector is not None:
        _detect_in_record(detector, record)
    # The message a handler before this one formatted from the record as it
    # was; formatters make it again from what is left here, but handlers
    # that send the record's attributes as they stand (HTTPHandler) would
    # send it.
    vars(record).pop("message", None)
    if unvouched:
        record.args = None
        if _is_seal(vars(record).get(_REDACTED)):
            del vars(record)[_REDACTED]
        return
    if not seal:
        return
    try:
        vars(record)[_REDACTED] = _seal(record)
    except Exception:  # noqa: BLE001 - unsealed: merged, its message is withheld
        vars(record).pop(_REDACTED, None)


def _withhold_record(record: logging.LogRecord, exc: BaseException, detector: Detector | None = None) -> None:
    """Withhold all that a record carries from the caller (with a detector,
    its traceback and stack too)."""
    text = withheld(exc)
    record.msg, record.args = text, ()
    for name in _extra(record):
        setattr(record, name, text)
    if detector is not None:
        record.exc_info, record.exc_text, record.stack_info = None, text if record.exc_info else None, None


class RedactingFilter(logging.Filter):
    """A filter that redacts every record it sees and lets it pass.

    Give exactly one of ``omitter`` (a :class:`velmora.omit.Omitter` or
    :class:`~velmora.omit.NoTrustOmitter`), ``hide`` (keys to hide) or
    ``trust`` (the only keys to trust).

    Attached to a logger, it redacts records before any handler sees them;
    attached to a handler, it changes the record that later handlers see too
    (use :class:`RedactingFormatter` to redact for one handler alone). Behind
    a queue, attach it to the QueueHandler.

    ``detect`` (a :class:`velmora.detect.Detector`) also masks the secrets
    it finds in the final message, the traceback and the stack; with it,
    the key arguments may be left out.
    """

    omitter: Omitter
    detect: Detector | None

    def __init__(self, omitter: Omitter | None = None, *, hide: Iterable[Any] | None = None,
                 trust: Iterable[Any] | None = None, detect: Detector | None = None) -> None:
        super().__init__()
        self.detect = check_detector("RedactingFilter", detect)
        self.omitter = make_omitter("RedactingFilter", omitter, hide, trust, detect)

    def filter(self, record: logging.LogRecord) -> bool:
        try:
            redact_record(self.omitter, record, self.detect)
        except Exception as exc:  # noqa: BLE001 - a logging call never fails for its data
            _withhold_record(record, exc, self.detect)
        return True


class RedactingFormatter(logging.Formatter):
    """A formatter that formats a redacted copy of each record, leaving the
    record itself as it was for other handlers. Takes the arguments of
    :class:`logging.Formatter` and one of ``omitter``, ``hide``, ``trust``.

    A record whose arguments were merged into its message before it came
    (``args`` None: a QueueHandler or SocketHandler did that) is formatted
    with its message withheld, unless a :class:`RedactingFilter` redacted it
    before the merge and sealed the message it was merged into (see the
    module's docstring). A record a filter redacted is redacted again by this
    formatter's own omitter (and detector)."""

    omitter: Omitter
    detect: Detector | None

    def __init__(self, fmt: str | None = None, datefmt: str | None = None,
                 style: Literal["%", "{", "$"] = "%", validate: bool = True, *,
                 omitter: Omitter | None = None, hide: Iterable[Any] | None = None,
                 trust: Iterable[Any] | None = None, detect: Detector | None = None, **kwargs: Any) -> None:
        super().__init__(fmt, datefmt, style, validate, **kwargs)
        self.detect = check_detector("RedactingFormatter", detect)
        self.omitter = make_omitter("RedactingFormatter", omitter, hide, trust, detect)

    def format(self, record: logging.LogRecord) -> str:
        copy = logging.makeLogRecord(vars(record))
        # A message merged before it came is withheld unless a filter's
        # seal vouches for it. What the record still carries apart is
        # redacted here in any case: a filter before this one may hide other
        # keys.
        if record.args is None and isinstance(record.msg, str) and not _merged_after_redaction(record):
            copy.msg, copy.args = _MERGED, ()
        try:
            redact_record(self.omitter, copy, self.detect, seal=False)
        except Exception as exc:  # noqa: BLE001
            _withhold_record(copy, exc, self.detect)
        return super().format(copy)
