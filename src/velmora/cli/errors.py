"""How the command ends: exit statuses and the one-message failure."""

from __future__ import annotations

EXIT_OK, EXIT_FAILURE, EXIT_BAD_INPUT = 0, 1, 2


class CliError(Exception):
    """A failure reported as one message and an exit status."""

    def __init__(self, message: str, status: int = EXIT_FAILURE) -> None:
        super().__init__(message)
        self.status = status
