"""What the integrations share: building an omitter from keyword arguments,
and redaction that withholds what cannot be redacted instead of raising into
a logging call."""

from velmora.omit import NoTrustOmitter, Omitter
from velmora.redact import redacted


def make_omitter(owner, omitter=None, hide=None, trust=None):
    """The omitter given, or one made from ``hide`` (keys to hide) or
    ``trust`` (the only keys to trust): exactly one of the three."""
    given = [name for name, value in (("omitter", omitter), ("hide", hide), ("trust", trust)) if value is not None]
    if len(given) != 1:
        raise TypeError(f"{owner} takes exactly one of omitter=, hide= or trust= (got {len(given)})")
    if omitter is not None:
        if not isinstance(omitter, Omitter):
            raise TypeError(f"{owner}: omitter must be a velmora.omit.Omitter, not {type(omitter).__name__}")
        return omitter
    keys = hide if hide is not None else trust
    if isinstance(keys, (str, bytes)):
        raise TypeError(f"{owner}: {given[0]}= takes a list of keys, not one {type(keys).__name__}")
    # list(): configuration loaders hand over list subclasses, which the
    # omitters refuse.
    return Omitter(list(keys)) if hide is not None else NoTrustOmitter(list(trust))


def withheld(exc):
    """What stands in for a value that could not be redacted. Only the
    exception's type is named: its message may quote the data."""
    return f"<withheld: {type(exc).__name__} while redacting>"


def redact_value(omitter, value, do=False):
    """A redacted version of a dict or list; anything else as it is. A value
    the walk refuses (an OrderedDict inside, a key of the wrong type) is
    withheld whole."""
    if type(value) is not dict and type(value) is not list:
        return value
    try:
        return redacted(omitter, value, do)
    except Exception as exc:  # noqa: BLE001 - never let data fail a logging call
        return withheld(exc)


def redact_mapping(omitter, mapping):
    """A redacted version of a dict whose keys are str (an event, a record's
    extra attributes). If the walk refuses something, the entries are
    redacted one by one and only those it refuses are withheld."""
    try:
        return redacted(omitter, mapping)
    except Exception:  # noqa: BLE001
        pass
    clean = {}
    for key, value in mapping.items():
        try:
            clean[key] = redacted(omitter, {key: value})[key]
        except Exception as exc:  # noqa: BLE001
            clean[key] = withheld(exc)
    return clean
