"""The catalogue a build reads: its file or standard input, read no further than its
source can hold, and the format it is taken to be in."""

from __future__ import annotations

import os
import stat
import sys
from typing import IO

from .._format import MAGIC, STREAM_LIMIT, regular_size
from ._errors import Failure

# A catalogue read from a pipe or a device has no size to bound it: a line longer than
# this (/dev/zero holds a single endless one) stops the build, as does, from a device,
# more than STREAM_LIMIT bytes in all.
LINE_LIMIT = 2**28


def open_input(path: str) -> tuple[IO[bytes], Bounded, int | None]:
    """The catalogue's file, and the reader of its bytes that the build is given."""
    if path == "-":
        if sys.stdin is None:
            raise Failure("cannot read <stdin>: standard input is closed")
        f = sys.stdin.buffer
    else:
        try:
            f = open(path, "rb")
        except OSError as exc:
            raise Failure(f"cannot read {path}: {exc.strerror or exc}") from None
    size = regular_size(f)
    try:
        kind = os.fstat(f.fileno()).st_mode
    except (OSError, ValueError):
        kind = 0
    device = stat.S_ISCHR(kind) or stat.S_ISBLK(kind)
    return f, Bounded(f, "<stdin>" if path == "-" else path, size, device), size


class Bounded:
    """Reads a catalogue no further than its source can hold: a regular file up to the
    size it had when opened (one that grows meanwhile is refused rather than read
    half-written), a pipe or a device line by line up to LINE_LIMIT each, and a device
    up to STREAM_LIMIT in all."""

    __slots__ = ("device", "f", "line", "name", "read_so_far", "run", "size")

    def __init__(self, f: IO[bytes], name: str, size: int | None, device: bool) -> None:
        self.f = f
        self.name = name
        self.size = size
        self.device = device
        self.read_so_far = 0
        self.line = 1  # the line the current run of bytes belongs to
        self.run = 0  # bytes since the last line end

    def read(self, n: int) -> bytes:
        chunk = self.f.read(n)
        if self.read_so_far == 0 and chunk.startswith(MAGIC):
            raise Failure(f"{self.name}: this is an index file, not a catalogue: give a catalogue to build")
        self.read_so_far += len(chunk)
        if self.size is not None:
            if self.read_so_far > self.size:
                raise Failure(f"{self.name}: the file grew while it was read ({self.size} bytes when opened)")
            return chunk
        end = chunk.rfind(b"\n")
        if end < 0:
            self.run += len(chunk)
        else:
            self.line += chunk.count(b"\n", 0, end + 1)
            self.run = len(chunk) - end - 1
        if self.run > LINE_LIMIT:
            raise Failure(f"{self.name}:{self.line}: too large: a line read from a pipe or device may hold at most "
                          f"{LINE_LIMIT} bytes")
        if self.device and self.read_so_far > STREAM_LIMIT:
            raise Failure(f"{self.name}: too large: at most {STREAM_LIMIT} bytes are read from a device")
        return chunk


def input_format(path: str, given: str | None) -> str:
    if given:
        return given
    return "jsonl" if path.lower().endswith((".jsonl", ".ndjson")) else "tsv"


def same_regular_file(input_path: str, output: str) -> bool:
    """Whether the output names the very file the catalogue is read from (through a
    link, a second name or standard input), which writing would destroy."""
    if output == "-":
        return False
    try:
        out = os.stat(output)
        inp = os.fstat(sys.stdin.fileno()) if input_path == "-" else os.stat(input_path)
    except (OSError, ValueError):
        return False
    return stat.S_ISREG(out.st_mode) and (out.st_dev, out.st_ino) == (inp.st_dev, inp.st_ino)
