"""Redaction for sentry-sdk: ``before_send`` and ``before_breadcrumb`` hooks,
and a ``custom_repr``.

::

    redactor = SentryRedactor()  # or SentryRedactor(hide=[...]), or an omitter
    sentry_sdk.init(dsn=..., before_send=redactor.before_send,
                    before_breadcrumb=redactor.before_breadcrumb,
                    custom_repr=redactor.custom_repr)

The whole event is redacted, at any depth: frame locals, request data,
extra, contexts, breadcrumbs. sentry-sdk hands ``before_send`` an event it
has serialised into dicts and lists of its own, but not only of its own:
what an object's ``__sentry_repr__`` returns goes into the event as it is,
the object's own dict perhaps. Events are therefore redacted copy-on-write,
as breadcrumbs are (a breadcrumb is a shallow copy of what the caller
passed, its ``data`` the caller's dict).

``detect=`` (a :class:`velmora.detect.Detector`) also masks what the
detector finds inside every str value of the event, at any depth:
exception values, messages, breadcrumb messages, frame variables, request
data. Keys are never changed.

What sentry-sdk's serialiser turns into text before ``before_send`` runs
(any object that is not a dict or list, a frame variable's value, what
``set_extra`` was given) is text to the hooks: a dataclass instance's repr
is one str. ``custom_repr`` is asked for that text first: it gives a
dataclass instance's repr with its fields decided by name, and a container
that the serialiser does not walk (past its depth limit, a ``deque``)
redacted by its own keys. The key the value stands under is then the
hooks' to decide, as for any str.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from velmora.detect import Detector
from velmora.omit import Omitter
from velmora.redact import redacted

from ._common import (_holds_fields, _redacted_copy, check_detector, detected, make_omitter, redact_mapping,
                      redact_unkeyed, redactable, withheld)

# What custom_repr leaves to sentry-sdk's own repr at once: its most
# frequent callers are frame variables, each of them one of these.
_SCALARS = frozenset({str, int, float, bool, type(None), bytes})

__all__ = ["DEFAULT_KEYS", "SentryRedactor"]

# The key names sentry-sdk 2 scrubs by default (its default denylist, and the
# personal data it scrubs unless told to send it), hidden by the hooks made
# without arguments whatever sentry-sdk is installed: sentry-sdk 3 scrubs
# nothing itself.
DEFAULT_KEYS: tuple[str, ...] = (
    "password", "passwd", "secret", "api_key", "apikey", "auth", "credentials", "mysql_pwd", "privatekey",
    "private_key", "token", "session", "csrftoken", "sessionid", "x_csrftoken", "set_cookie", "cookie",
    "authorization", "proxy-authorization", "x_api_key", "aiohttp_session", "connect.sid", "csrf_token", "csrf",
    "_csrf", "_csrf_token", "PHPSESSID", "_session", "symfony", "user_session", "_xsrf", "XSRF-TOKEN",
    "x_forwarded_for", "x_real_ip", "ip_address", "remote_addr",
)


def _default_omitter() -> Omitter:
    """What a SentryRedactor made without arguments redacts by: the names
    above, compared ignoring case, and the rules' default denylist, matched
    ignoring case inside longer key names; what stands under a denied key is
    hidden whole as "[Filtered]", whatever its type."""
    from velmora.rules import RuleOmitter

    return RuleOmitter(list(DEFAULT_KEYS), ignore_case=True, defaults=True, mask="[Filtered]", whole=True)


class SentryRedactor:
    """Hooks that redact what sentry-sdk is about to send.

    Give at most one of ``omitter``, ``hide`` or ``trust`` (see
    :mod:`velmora.integrations.logging`); with none, `DEFAULT_KEYS` and the
    rules' default denylist hide whole values as "[Filtered]", matched
    ignoring case. ``detect`` (a :class:`velmora.detect.Detector`) also
    masks its finds inside every str value.
    """

    omitter: Omitter
    detect: Detector | None

    def __init__(self, omitter: Omitter | None = None, *, hide: Iterable[Any] | None = None,
                 trust: Iterable[Any] | None = None, detect: Detector | None = None) -> None:
        self.detect = check_detector("SentryRedactor", detect)
        if omitter is None and hide is None and trust is None:
            omitter = _default_omitter()
        self.omitter = make_omitter("SentryRedactor", omitter, hide, trust)

    def before_send(self, event: Any, hint: Any) -> Any:
        """A redacted version of an error event; the containers in it are
        left as they were (sentry-sdk serialises the event first, but puts
        what ``__sentry_repr__`` returns into it as it is). An event that
        cannot be redacted is dropped (None) rather than sent
        half-redacted, as is one holding what the walk would pass over (a
        tuple, a dict subclass: sentry-sdk serialises those into lists and
        dicts, but not what ``__sentry_repr__`` returns)."""
        try:
            clean = redacted(self.omitter, event, True, strict=True)
            # The walk passes over a dataclass instance even in strict mode
            # (what __sentry_repr__ returns may hold one): its fields are
            # decided by name on a copy, as the other hooks do.
            if _holds_fields(event):
                clean = _redacted_copy(self.omitter, event)
            return clean if self.detect is None else detected(self.detect, clean)
        except Exception:  # noqa: BLE001 - sentry-sdk would send nothing better
            return None

    # Transactions carry span data and request data too.
    before_send_transaction = before_send

    def custom_repr(self, value: Any) -> str | None:
        """For ``sentry_sdk.init(custom_repr=...)``: the text that stands for
        `value` in the event, for the values sentry-sdk turns into text
        before ``before_send`` sees them. A dataclass instance whose repr
        shows its fields is shown with them decided by name, and a container
        by its own keys; None (sentry-sdk's own repr) when nothing in it is
        masked, and for anything else. Never raises: sentry-sdk would show
        the value's own repr instead."""
        if type(value) in _SCALARS:
            return None
        try:
            if not redactable(value):
                return None
            # The key above it is not known here: the hooks decide it on
            # the text, which they mask whole under a hidden key.
            clean = redact_unkeyed(self.omitter, value, False)
            if clean is value:
                return None
            # A container or instance becomes text only when withheld.
            return clean if type(clean) is str else repr(clean)
        except Exception as exc:  # noqa: BLE001
            return withheld(exc)

    def before_breadcrumb(self, crumb: Any, hint: Any) -> Any:
        """A redacted version of the breadcrumb; the caller's data is left
        alone. What the walk refuses is withheld, and a breadcrumb that
        cannot be read is dropped."""
        try:
            clean = redact_mapping(self.omitter, crumb)
            return clean if self.detect is None else detected(self.detect, clean)
        except Exception:  # noqa: BLE001
            return None
