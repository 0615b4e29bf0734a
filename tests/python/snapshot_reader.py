"""A second reader of snapshots (``PrefixSearch.to_bytes``), written in Python as the
tests' oracle: it decodes the same bytes into plain lists, accepts exactly what
``PrefixSearch.from_bytes`` accepts and fails with the same "decode error: ..." text.
docs/snapshot-format.md describes the layout. It decodes every value in Python: about
a second per few million values."""

from __future__ import annotations

import re
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import NoReturn

from brindlex.cli._check import SnapshotDecodeError

__all__ = ["ID_MODE_INT32", "ID_MODE_UUID", "Snapshot", "SnapshotDecodeError", "read_snapshot"]

ID_MODE_UUID = 0
ID_MODE_INT32 = 1

# Varint forms: a value up to VARINT_MAX_SINGLE is its own byte; a larger one is a
# marker byte and the value in the width the marker names.
VARINT_MAX_SINGLE = 250
VARINT_MARKER_16 = 251
VARINT_MARKER_32 = 252
VARINT_MARKER_64 = 253
VARINT_MARKER_128 = 254  # never written; an error when read, as 255 is

PAYLOAD_TYPE_NAME = "core::option::Option<brindlex::payload::Payload>"
ID_MODE_TYPE_NAME = "IdMode"

Payload = tuple[int, list[int], list[int]]


@dataclass(frozen=True, eq=False)
class Snapshot:
    """The eight fields of a store as a snapshot holds them, in their order."""

    node_shifts: list[int]
    child_labels: list[int]  # code points; 0 is an edge without a label
    child_transitions: list[int]
    payloads: list[Payload | None]
    video_uuids: list[bytes]
    video_int_ids: list[int]
    id_mode: int
    has_payload: list[bool]
    size: int  # bytes the fields take; anything after them is ignored
    trailing_bytes: int = field(default=0)

    @property
    def nodes(self) -> int:
        return len(self.child_labels)

    @property
    def terms(self) -> int:
        """Nodes that were given a payload of their own: the indexed terms."""
        return sum(self.has_payload)

    @property
    def videos(self) -> int:
        """Length of the video id list that ``id_mode`` names."""
        return len(self.video_uuids if self.id_mode == ID_MODE_UUID else self.video_int_ids)

    @property
    def id_mode_name(self) -> str:
        return "uuid" if self.id_mode == ID_MODE_UUID else "int32"


class _Reader:
    """A cursor over the snapshot. Every read either returns a value or raises
    SnapshotDecodeError for the value that starts at the cursor."""

    __slots__ = ("data", "pos")

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def fail(self, rendering: str, at: int) -> NoReturn:
        raise SnapshotDecodeError(rendering, at)

    def end(self, additional: int, at: int) -> NoReturn:
        self.fail(f"UnexpectedEnd {{ additional: {additional} }}", at)

    def varint(self, wide: bool) -> int:
        data, pos = self.data, self.pos
        if pos >= len(data):
            self.end(1, pos)
        m = data[pos]
        if m <= VARINT_MAX_SINGLE:
            self.pos = pos + 1
            return m
        if m == VARINT_MARKER_16:
            width = 2
        elif m == VARINT_MARKER_32:
            width = 4
        elif m == VARINT_MARKER_64 and wide:
            width = 8
        else:
            found = "U64" if m == VARINT_MARKER_64 else "U128" if m == VARINT_MARKER_128 else "Reserved"
            expected = "U64" if wide else "U32"
            self.fail(f"InvalidIntegerType {{ expected: {expected}, found: {found} }}", pos)
        left = len(data) - pos - 1
        if left < width:
            self.end(width - left, pos)
        self.pos = pos + 1 + width
        return int.from_bytes(data[pos + 1 : pos + 1 + width], "little")

    def u32_list(self) -> list[int]:
        n = self.varint(True)
        data, pos = self.data, self.pos
        # Fast route: one regular expression match finds the n values, and only a
        # list that holds multi-byte values is decoded value by value.
        if n <= min(len(data) - pos, _LONGEST_RUN):
            found = _u32_run(n).match(data, pos)
            if found is not None:
                self.pos = end = found.end()
                if end - pos == n:
                    return list(data[pos:end])
                return [
                    t[0] if len(t) == 1 else int.from_bytes(t, "little") >> 8
                    for t in _U32_TOKEN.findall(data, pos, end)
                ]
        # Careful route, which also finds the error. Every value takes at least one
        # byte, so a length that the input cannot back ends in UnexpectedEnd when
        # the bytes run out.
        out: list[int] = []
        append = out.append
        for _ in range(n):
            append(self.varint(False))
        return out

    def char(self) -> int:
        data, pos = self.data, self.pos
        if pos >= len(data):
            self.end(1, pos)
        b0 = data[pos]
        if b0 < 0x80:
            self.pos = pos + 1
            return b0
        if 0xC2 <= b0 <= 0xDF:
            width = 2
        elif 0xE0 <= b0 <= 0xEF:
            width = 3
        elif 0xF0 <= b0 <= 0xF4:
            width = 4
        else:
            self.fail(f"InvalidCharEncoding([{b0}, 0, 0, 0])", pos)
        left = len(data) - pos - 1
        if left < width - 1:
            self.end(width - 1 - left, pos)
        raw = data[pos : pos + width]
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            shown = ", ".join(str(b) for b in raw.ljust(4, b"\0"))
            self.fail(f"InvalidCharEncoding([{shown}])", pos)
        self.pos = pos + width
        return ord(text)

    def raw_byte(self) -> int:
        pos = self.pos
        if pos >= len(self.data):
            self.end(1, pos)
        self.pos = pos + 1
        return self.data[pos]

    def boolean(self) -> bool:
        pos = self.pos
        b = self.raw_byte()
        if b > 1:
            self.fail(f"InvalidBooleanValue({b})", pos)
        return b == 1

    def tag(self, type_name: str, found: int, at: int) -> NoReturn:
        self.fail(
            f'UnexpectedVariant {{ type_name: "{type_name}", '
            f"allowed: Range {{ min: 0, max: 1 }}, found: {found} }}",
            at,
        )

    def payload(self) -> Payload | None:
        pos = self.pos
        present = self.raw_byte()
        if present == 0:
            return None
        if present != 1:
            self.tag(PAYLOAD_TYPE_NAME, present, pos)
        count = self.varint(False)
        return count, self.u32_list(), self.u32_list()

    def uuid(self) -> bytes:
        pos = self.pos
        left = len(self.data) - pos
        if left < 16:
            self.end(16 - left, pos)
        self.pos = pos + 16
        return self.data[pos : pos + 16]

    def id_mode(self) -> int:
        pos = self.pos
        mode = self.varint(False)
        if mode > 1:
            self.tag(ID_MODE_TYPE_NAME, mode, pos)
        return mode

    def sequence[T](self, read: Callable[[], T]) -> list[T]:
        return [read() for _ in range(self.varint(True))]

    def labels(self) -> list[int]:
        pos = self.pos
        n = self.varint(True)
        start = self.pos
        region = self.data[start : start + n]
        if len(region) == n and region.isascii():
            self.pos = start + n
            return list(region)
        self.pos = pos
        return self.sequence(self.char)

    def flags(self) -> list[bool]:
        pos = self.pos
        n = self.varint(True)
        start = self.pos
        region = self.data[start : start + n]
        if len(region) == n and not region.translate(None, b"\0\1"):
            self.pos = start + n
            return [b == 1 for b in region]
        self.pos = pos
        return self.sequence(self.boolean)


_U32_VALUE = rb"(?:[\x00-\xfa]|\xfb[\x00-\xff]{2}|\xfc[\x00-\xff]{4})"
_U32_TOKEN = re.compile(_U32_VALUE)
_U32_RUNS: dict[int, re.Pattern[bytes]] = {}
_LONGEST_RUN = 2**31 - 1  # beyond this a repeat count is too large for a pattern


def _u32_run(n: int) -> re.Pattern[bytes]:
    """A pattern for exactly n 32-bit varints; kept for the short lengths that
    payload lists repeat, made afresh for the long ones."""
    pattern = _U32_RUNS.get(n)
    if pattern is None:
        pattern = re.compile(_U32_VALUE + b"{%d}" % n)
        if n <= 256:
            _U32_RUNS[n] = pattern
    return pattern


def read_snapshot(data: bytes | bytearray | memoryview) -> Snapshot:
    """Decodes a snapshot. Raises SnapshotDecodeError (a ValueError) where
    ``PrefixSearch.from_bytes`` would fail, with the same message."""
    r = _Reader(bytes(data))
    node_shifts = r.u32_list()
    child_labels = r.labels()
    child_transitions = r.u32_list()
    payloads = r.sequence(r.payload)
    video_uuids = r.sequence(r.uuid)
    video_int_ids = r.u32_list()
    id_mode = r.id_mode()
    has_payload = r.flags()
    return Snapshot(
        node_shifts,
        child_labels,
        child_transitions,
        payloads,
        video_uuids,
        video_int_ids,
        id_mode,
        has_payload,
        size=r.pos,
        trailing_bytes=len(r.data) - r.pos,
    )
