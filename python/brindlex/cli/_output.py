"""What the commands write: index files, and text on standard output that may fail to
be written."""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Iterator

from .._files import write_file
from ._errors import Failure
from ._signals import stopped_by_signals


def write_output(path: str, chunks: list[bytes]) -> None:
    if path == "-":
        with writing():
            for chunk in chunks:
                sys.stdout.buffer.write(chunk)
            sys.stdout.buffer.flush()
        return
    try:
        with stopped_by_signals():
            write_file(path, chunks)
    except OSError as exc:
        raise Failure(f"cannot write {path}: {exc.strerror or exc}") from None


@contextlib.contextmanager
def writing() -> Iterator[None]:
    """Turns a failed write to standard output (a full device, a closed descriptor)
    into a Failure; a reader gone away (BrokenPipeError) is left to main."""
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as exc:
        silence_stdout()
        raise Failure(f"cannot write <stdout>: {exc.strerror or exc}") from None


def silence_stdout() -> None:
    """Points standard output at /dev/null, so that the interpreter's own flush at exit
    of what could not be written fails no more (and prints no traceback)."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def print_json(value: object) -> None:
    import json  # kept out of the start-up of the commands that print no JSON

    print(json.dumps(value, ensure_ascii=False))
