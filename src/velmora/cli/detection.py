"""Secrets inside text for the command line: the secrets files, the formats
asked for, and the detector they make.

Secret values are only ever read from files (``--secrets-file``): on the
command line, ``ps`` and the shell's history would show them. No message
ever quotes a value: a refused one is named by its file and line."""

from __future__ import annotations

import argparse

from velmora.cli.errors import EXIT_BAD_INPUT, CliError
from velmora.detect import FORMATS, Detector

ALL = "all"

# A keys or secrets file read as UTF-8 but written as UTF-16 or UTF-32
# without a byte order mark has a NUL byte beside each ASCII one: its
# values and keys would match nothing, so what they name would go out in
# clear. No text of that kind holds a NUL.
NUL_IN_FILE = "a line with a NUL character was refused (is the file UTF-16 or UTF-32? velmora reads UTF-8)"


def format_name(text: str) -> str:
    """A --detect argument: a format name, or ``all`` (every default format)."""
    if text != ALL and text not in FORMATS:
        raise argparse.ArgumentTypeError(
            f"unknown format {text!r} (choose from {ALL}, {', '.join(FORMATS)})")
    return text


def wanted(args: argparse.Namespace) -> bool:
    """Whether the options ask for detection at all."""
    return bool(args.detect or args.secrets_file)


def read_secrets(path: str) -> list[tuple[int, str]]:
    """The values of a secrets file with their line numbers: one value per
    line, taken as it is but for the line break (CRLF too); lines of white
    space alone are skipped. No comments: a value may start with '#'. A line
    with a NUL character is refused (see NUL_IN_FILE)."""
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except OSError as exc:
        raise CliError(f"cannot read secrets file {path}: {exc.strerror}") from None
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise CliError(f"secrets file {path} is not UTF-8 text", EXIT_BAD_INPUT) from None
    values = []
    for number, line in enumerate(text.split("\n"), 1):
        line = line.removesuffix("\r")
        if "\0" in line:  # a value that would match nothing: never taken silently
            raise CliError(f"{path}:{number}: {NUL_IN_FILE}", EXIT_BAD_INPUT)
        if line.strip():
            values.append((number, line))
    return values


def make_detector(args: argparse.Namespace) -> Detector | None:
    """The detector the options describe, or None when none is asked for.
    Its masks follow --mask and --keep-last, as the key rules' do."""
    if not wanted(args):
        return None
    formats = list(dict.fromkeys(args.detect))
    try:
        detector = Detector(formats=formats, min_length=args.min_length if args.min_length is not None else 5,
                            mask=args.mask, keep_last=args.keep_last)
    except OverflowError:
        raise CliError(f"--min-length {args.min_length} is too large", EXIT_BAD_INPUT) from None
    except (TypeError, ValueError) as exc:
        raise CliError(str(exc), EXIT_BAD_INPUT) from None
    for path in args.secrets_file:
        values = read_secrets(path)
        if not values:
            raise CliError(f"secrets file {path} holds no value", EXIT_BAD_INPUT)
        for number, value in values:
            try:
                detector.add(value)
            except ValueError as exc:  # the message names the rule broken, never the value
                raise CliError(f"{path}:{number}: {exc}", EXIT_BAD_INPUT) from None
    return detector
