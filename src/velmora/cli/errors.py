"""How the command ends: exit statuses and the one-message failure."""

from __future__ import annotations

EXIT_OK, EXIT_FAILURE, EXIT_BAD_INPUT = 0, 1, 2


class CliError(Exception):
    """A failure reported as one message and an exit status."""

    def __init__(self, message: str, status: int = EXIT_FAILURE) -> None:
        super().__init__(message)
        self.status = status


# Messages of Python's json that end by pointing at a place ("Unterminated
# string starting at"): the place is named after them.
POINTING = (" at",)


def invalid_json(name: str, line: int, column: int, msg: str) -> str:
    """The message for invalid JSON at a place of a named input:
    ``in.jsonl:3:7: invalid JSON at line 3, column 7: Expecting value``."""
    if msg.endswith(POINTING):
        msg += f" line {line}, column {column}"
    return f"{name}:{line}:{column}: invalid JSON at line {line}, column {column}: {msg}"
