"""Redaction for the standard :mod:`logging` module.

``RedactingFilter`` redacts what a record carries from the caller: a dict (or
list) message, dict and list arguments, and the attributes given with
``extra=`` (each decided by its attribute name, as a key). The record gets
redacted versions; the caller's objects are never changed.

From :func:`logging.config.dictConfig`::

    "filters": {"redact": {"()": "velmora.integrations.logging.RedactingFilter",
                           "hide": ["password", "token"]}}

``trust=[...]`` makes a :class:`~velmora.omit.NoTrustOmitter` instead, and
``omitter="ext://package.module.NAME"`` uses an omitter of your own.
"""

import collections.abc
import logging

from ._common import make_omitter, redact_mapping, redact_value

__all__ = ["RedactingFilter", "RedactingFormatter", "redact_record"]

# What every record has; anything else on a record came from extra=.
_RECORD_ATTRIBUTES = frozenset(vars(logging.LogRecord("", 0, "", 0, "", None, None))) | {"message", "asctime"}


def redact_record(omitter, record):
    """Give ``record`` redacted versions of its message, arguments and
    extra attributes. Only the record's own attributes are replaced."""
    msg = record.msg
    if type(msg) is dict or type(msg) is list:
        record.msg = redact_value(omitter, msg)
    args = record.args
    if isinstance(args, collections.abc.Mapping):
        # logging keeps a lone mapping argument as the record's args.
        record.args = redact_mapping(omitter, dict(args))
    elif type(args) is tuple:
        clean = tuple(redact_value(omitter, arg) for arg in args)
        if any(new is not old for new, old in zip(clean, args)):
            record.args = clean
    attributes = vars(record)
    extra = {name: value for name, value in attributes.items() if name not in _RECORD_ATTRIBUTES}
    if extra:
        clean = redact_mapping(omitter, extra)
        if clean is not extra:
            for name, value in clean.items():
                if value is not extra[name]:
                    attributes[name] = value


class RedactingFilter(logging.Filter):
    """A filter that redacts every record it sees and lets it pass.

    Give exactly one of ``omitter`` (a :class:`velmora.omit.Omitter` or
    :class:`~velmora.omit.NoTrustOmitter`), ``hide`` (keys to hide) or
    ``trust`` (the only keys to trust).

    Attached to a logger, it redacts records before any handler sees them;
    attached to a handler, it changes the record that later handlers see too
    (use :class:`RedactingFormatter` to redact for one handler alone).
    """

    def __init__(self, omitter=None, *, hide=None, trust=None):
        super().__init__()
        self.omitter = make_omitter("RedactingFilter", omitter, hide, trust)

    def filter(self, record):
        redact_record(self.omitter, record)
        return True


class RedactingFormatter(logging.Formatter):
    """A formatter that formats a redacted copy of each record, leaving the
    record itself as it was for other handlers. Takes the arguments of
    :class:`logging.Formatter` and one of ``omitter``, ``hide``, ``trust``."""

    def __init__(self, fmt=None, datefmt=None, style="%", validate=True, *, omitter=None, hide=None, trust=None,
                 **kwargs):
        super().__init__(fmt, datefmt, style, validate, **kwargs)
        self.omitter = make_omitter("RedactingFormatter", omitter, hide, trust)

    def format(self, record):
        copy = logging.makeLogRecord(vars(record))
        redact_record(self.omitter, copy)
        return super().format(copy)
