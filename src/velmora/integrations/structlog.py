"""Redaction for structlog: a processor.

structlog hands each processor an event dict of its own, but only the dict
is its own: the values in it are the caller's objects (and those bound with
``bind()`` stay in the logger's context for later events). The processor
therefore replaces the values it redacts in the event dict and never
changes a value in place (a dataclass instance whose fields are masked is
replaced by what prints as it would, see :mod:`velmora.integrations.logging`)::

    structlog.configure(processors=[
        RedactingProcessor(hide=["password", "token"]),
        structlog.processors.JSONRenderer(),
    ])

With structlog's standard-library chain, the positional arguments of a call
such as ``log.info("login %s", payload)`` travel in the event dict under
``positional_args`` until ``PositionalArgumentsFormatter`` merges them into
the message: put the processor before that formatter. They stand under no
key, as logging's arguments do (see :mod:`velmora.integrations.logging`)::

    structlog.configure(processors=[
        structlog.stdlib.filter_by_level,
        RedactingProcessor(hide=["password"]),
        structlog.stdlib.PositionalArgumentsFormatter(),
        structlog.processors.JSONRenderer(),
    ], logger_factory=structlog.stdlib.LoggerFactory(),
       wrapper_class=structlog.stdlib.BoundLogger)

``detect=`` (a :class:`velmora.detect.Detector`) also masks what the
detector finds inside the event string and every other str value, at any
depth, positional arguments included (keys are never changed). A secret
in an exception is found once it is text: put the processor after
``format_exc_info`` (or ``dict_tracebacks``) for that. With ``detect=``
alone, no key is hidden.
"""

from __future__ import annotations

import types
from collections.abc import Iterable, MutableMapping
from typing import Any

from velmora.detect import Detector
from velmora.omit import Omitter

from ._common import (check_detector, detected, hides_unkeyed, make_omitter, redact_mapping, redact_unkeyed,
                      update_in_place, withheld)

__all__ = ["RedactingProcessor"]

# Where structlog's standard-library chain keeps a call's positional
# arguments until PositionalArgumentsFormatter merges them.
_POSITIONAL = "positional_args"
# Where a call's exception waits for format_exc_info, which takes a tuple of
# (type, exception, traceback) there as it is (a list it would not know).
_EXC_INFO = "exc_info"


def _is_exc_info(value: Any) -> bool:
    """Whether `value` is an exception, or an exception's (type, exception,
    traceback), which format_exc_info renders as a traceback: what stands
    for it would lose the traceback. All three are checked: a tuple that
    only holds an exception in the middle may hold anything else around it,
    which is redacted as any other value is."""
    if isinstance(value, BaseException):
        return True
    if type(value) is not tuple or len(value) != 3:
        return False
    kind, exc, tb = value
    return (isinstance(kind, type) and issubclass(kind, BaseException) and isinstance(exc, kind)
            and (tb is None or type(tb) is types.TracebackType))


class RedactingProcessor:
    """Redact the event dict. Give exactly one of ``omitter``, ``hide`` or
    ``trust`` (see :mod:`velmora.integrations.logging`), or none of them
    with ``detect``, a :class:`velmora.detect.Detector` whose finds are
    masked inside every str value."""

    omitter: Omitter
    detect: Detector | None

    def __init__(self, omitter: Omitter | None = None, *, hide: Iterable[Any] | None = None,
                 trust: Iterable[Any] | None = None, detect: Detector | None = None) -> None:
        self.detect = check_detector("RedactingProcessor", detect)
        self.omitter = make_omitter("RedactingProcessor", omitter, hide, trust, detect)

    def __call__(self, logger: Any, method_name: str, event_dict: MutableMapping[str, Any]) -> MutableMapping[str, Any]:
        try:
            positional = event_dict.get(_POSITIONAL)
            # Left out of the fields: what is redacted on its own, and an
            # exception's tuple, which has nothing to mask.
            apart = (_POSITIONAL, _EXC_INFO) if _is_exc_info(event_dict.get(_EXC_INFO)) else (_POSITIONAL,)
            fields = (event_dict if positional is None and len(apart) == 1
                      else {k: v for k, v in event_dict.items() if k not in apart})
            update_in_place(event_dict, redact_mapping(self.omitter, fields, own_keys=True))
            if type(positional) is tuple and positional:
                hides = hides_unkeyed(self.omitter)
                clean = tuple(redact_unkeyed(self.omitter, arg, hides) for arg in positional)
                if any(new is not old for new, old in zip(clean, positional)):
                    event_dict[_POSITIONAL] = clean
            elif positional is not None:
                event_dict[_POSITIONAL] = redact_unkeyed(self.omitter, positional, hides_unkeyed(self.omitter))
            if self.detect is not None:
                self._detect_in(event_dict)
        except Exception as exc:  # noqa: BLE001 - a logging call never fails for its data
            text = withheld(exc)
            for key in list(event_dict):
                event_dict[key] = text
        return event_dict

    def _detect_in(self, event_dict: MutableMapping[str, Any]) -> None:
        """Mask the detector's finds in every value; a value that cannot be
        read is withheld on its own."""
        assert self.detect is not None
        for key, value in list(event_dict.items()):
            try:
                new = detected(self.detect, value)
            except Exception as exc:  # noqa: BLE001
                new = withheld(exc)
            if new is not value:
                event_dict[key] = new
