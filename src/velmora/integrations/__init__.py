"""Redaction where logs and error reports are made.

- :mod:`velmora.integrations.logging`: a filter (and a formatter) for the
  standard :mod:`logging` module.
- :mod:`velmora.integrations.structlog`: a structlog processor.
- :mod:`velmora.integrations.sentry`: ``before_send`` and
  ``before_breadcrumb`` hooks for sentry-sdk.
- :mod:`velmora.integrations.dask`: a JSON Lines file redacted on a Dask
  cluster, as text (with :mod:`velmora.scan`), as ``velmora --lines`` does.

Each takes an omitter of :mod:`velmora.omit` and never changes the caller's
objects: what a caller hands to a logging call is redacted with
:func:`velmora.redact.redacted`, which copies only what it masks.
"""
