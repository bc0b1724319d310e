"""Redaction for sentry-sdk: ``before_send`` and ``before_breadcrumb`` hooks.

::

    redactor = SentryRedactor(hide=["password", "authorization", "card_number"])
    sentry_sdk.init(dsn=..., before_send=redactor.before_send,
                    before_breadcrumb=redactor.before_breadcrumb)

The whole event is redacted, at any depth: frame locals, request data,
extra, contexts, breadcrumbs. sentry-sdk hands ``before_send`` an event it
has just serialised into new dicts and lists of its own, so the event is
redacted in place. A breadcrumb is a shallow copy of what the caller passed
(its ``data`` is the caller's dict), so it is redacted copy-on-write.
"""

from ._common import make_omitter, redact_mapping

__all__ = ["SentryRedactor"]

# What a SentryRedactor made without arguments redacts by: a callable that
# makes an omitter. None until velmora.rules offers its case-folding default
# denylist; until then an omitter (or hide=/trust=) must be given.
_default_omitter = None


class SentryRedactor:
    """Hooks that redact what sentry-sdk is about to send.

    Give exactly one of ``omitter``, ``hide`` or ``trust`` (see
    :mod:`velmora.integrations.logging`).
    """

    def __init__(self, omitter=None, *, hide=None, trust=None):
        if omitter is None and hide is None and trust is None and _default_omitter is not None:
            omitter = _default_omitter()
        self.omitter = make_omitter("SentryRedactor", omitter, hide, trust)

    def before_send(self, event, hint):
        """Redact an error event in place. An event the walk refuses is
        dropped (None) rather than sent half-redacted."""
        try:
            return self.omitter.omit(event)
        except Exception:  # noqa: BLE001 - sentry-sdk would send nothing better
            return None

    # Transactions carry span data and request data too.
    before_send_transaction = before_send

    def before_breadcrumb(self, crumb, hint):
        """A redacted version of the breadcrumb; the caller's data is left
        alone. What the walk refuses is withheld."""
        return redact_mapping(self.omitter, crumb)
