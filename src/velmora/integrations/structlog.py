"""Redaction for structlog: a processor.

structlog hands each processor an event dict of its own, but only the dict
is its own: the values in it are the caller's objects (and those bound with
``bind()`` stay in the logger's context for later events). The processor
therefore replaces the values it redacts in the event dict and never
changes a value in place::

    structlog.configure(processors=[
        RedactingProcessor(hide=["password", "token"]),
        structlog.processors.JSONRenderer(),
    ])
"""

from ._common import make_omitter, redact_mapping

__all__ = ["RedactingProcessor"]


class RedactingProcessor:
    """Redact the event dict. Give exactly one of ``omitter``, ``hide`` or
    ``trust`` (see :mod:`velmora.integrations.logging`)."""

    def __init__(self, omitter=None, *, hide=None, trust=None):
        self.omitter = make_omitter("RedactingProcessor", omitter, hide, trust)

    def __call__(self, logger, method_name, event_dict):
        clean = redact_mapping(self.omitter, event_dict)
        if clean is not event_dict:
            event_dict.update(clean)
        return event_dict
