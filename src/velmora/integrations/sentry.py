"""Redaction for sentry-sdk: ``before_send`` and ``before_breadcrumb`` hooks.

::

    redactor = SentryRedactor()  # or SentryRedactor(hide=[...]), or an omitter
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


def _default_omitter():
    """What a SentryRedactor made without arguments redacts by: the rules'
    default denylist, matched ignoring case and inside longer key names, and
    what stands under a denied key hidden whole as "[Filtered]", whatever its
    type (as sentry-sdk's own scrubber does)."""
    from velmora.rules import RuleOmitter

    return RuleOmitter(defaults=True, mask="[Filtered]", whole=True)



class SentryRedactor:
    """Hooks that redact what sentry-sdk is about to send.

    Give at most one of ``omitter``, ``hide`` or ``trust`` (see
    :mod:`velmora.integrations.logging`); with none, the rules' case-folding
    default denylist hides whole values as "[Filtered]".
    """

    def __init__(self, omitter=None, *, hide=None, trust=None):
        if omitter is None and hide is None and trust is None:
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
