"""What ends a command early, and the exit status it ends with."""

from __future__ import annotations

import signal

PROG = "brindlex"

EXIT_OK = 0
EXIT_BAD_INPUT = 1
EXIT_USAGE = 2
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE


class Failure(Exception):
    """A problem with the user's input or files: printed as one line, exit 1."""


class UsageError(Exception):
    """Arguments that parse but do not go together: reported as argparse does, exit 2."""
