"""velmora: redact nested data in place.

The work is done by the native extension :mod:`velmora.omit`.
"""
