"""Index files: a header, the engine's snapshot and the term notes, checksummed.

Layout (integers little-endian)::

    offset  size  field
         0     8  magic b"\\x89BRX\\r\\n\\x1a\\n" (a non-ASCII first byte and line ends
                  that text-mode copies and line-ending conversion change)
         8     2  format version, 1
        10     1  text mode: 0 exact, 1 nfc, 2 fold (see _fold)
        11     1  reserved, 0
        12     4  reserved, 0
        16     8  video_top_n the index was built with (2**64 - 1: not known)
        24     8  snapshot length S
        32     8  notes length T
        40     4  CRC-32C of the S + T bytes that follow the header
        44     4  CRC-32C of bytes 0..43
        48     S  the snapshot (PrefixSearch.to_bytes)
    48 + S     T  the term notes (src/core/lookup/spellings.hpp)

The file ends exactly after the notes. A reader checks the header's checksum, then
the length against the file's size, then the payload's checksum, and only then
decodes anything. A file without the magic is taken as a bare snapshot, which
carries no checksum, unless it is empty or text (a catalogue, say): those are refused
saying what they are.

Version 2 (what ``save`` writes) opens with the same magic, version field and
header checksum, and holds the store as the queries read it, to be used in place:
src/core/mapped/layout.hpp and docs/index-file-format.md describe it, and the
package's native module reads and writes it (``open_index``, ``write_index``).
"""

from __future__ import annotations

import codecs
import io
import os
import stat
import struct
import sys
from array import array
from dataclasses import dataclass
from typing import IO, NoReturn

from ._fold import MODES, TextMode

__all__ = [
    "EMPTY_NOTES", "HEADER_SIZE", "IndexFile", "IndexFileError", "MAGIC", "MAPPED_VERSION", "STREAM_LIMIT", "UNKNOWN_TOP_N",
    "clipped", "encode_notes", "file_chunks", "is_mapped", "no_snapshot_error", "read_index_file", "regular_size",
]

MAGIC = b"\x89BRX\r\n\x1a\n"
VERSION = 1
MAPPED_VERSION = 2
UNKNOWN_TOP_N = 2**64 - 1
_HEADER = struct.Struct("<8sHBBIQQQII")
HEADER_SIZE = _HEADER.size  # 48
EMPTY_NOTES = bytes(8)  # no spellings, no count fixes
# At most this much is read from a pipe or a device, where no size bounds the read
# (a bare snapshot, or the payload an index file's header claims): 1 GiB.
STREAM_LIMIT = 2**30
_PIECE = 1 << 20
# What is read of a file without the magic number to tell whether it is text.
_SNIFF_SIZE = 1 << 16


class IndexFileError(ValueError):
    """A file that is no index, or a damaged one; the message names the file."""


@dataclass(frozen=True)
class IndexFile:
    snapshot: bytes
    notes: bytes
    mode: TextMode
    video_top_n: int | None
    checksummed: bool  # False for a bare snapshot
    # A version 2 file, whole (read from a stream): opened by the native module, which
    # checks it; snapshot, notes, mode and video_top_n are then left empty.
    whole: bytes | None = None


def is_mapped(head: bytes) -> bool:
    """Whether a file's first bytes are the header of a version 2 file (nothing checked)."""
    return head.startswith(MAGIC) and len(head) >= 10 and int.from_bytes(head[8:10], "little") == MAPPED_VERSION


def clipped(text: str, width: int = 80) -> str:
    """``text`` cut to about ``width`` characters, for quoting what a file or a caller
    gave in a message: a field of megabytes would drown the message."""
    return text if len(text) <= width else f"{text[: width - 3]}... ({len(text)} characters)"


def _crc32c(data: bytes | memoryview, value: int = 0) -> int:
    from ._native import crc32c

    return crc32c(data, value)


def file_chunks(snapshot: bytes, notes: bytes, mode: TextMode, video_top_n: int | None) -> list[bytes]:
    """The pieces of an index file, in order, to be written one after another."""
    payload_crc = _crc32c(notes, _crc32c(snapshot))
    top_n = UNKNOWN_TOP_N if video_top_n is None else video_top_n
    head = _HEADER.pack(MAGIC, VERSION, MODES.index(mode), 0, 0, top_n, len(snapshot), len(notes), payload_crc, 0)
    header = head[:-4] + _crc32c(head[:-4]).to_bytes(4, "little")
    return [header, snapshot, notes]


def encode_notes(spellings: list[tuple[int, str]], fixes: list[tuple[int, int]]) -> bytes:
    """Term notes from (node, spelling) and (node, own count) pairs, each list sorted
    by node."""
    texts = [text.encode("utf-8") for _, text in spellings]
    ends = array("I")
    end = 0
    for t in texts:
        end += len(t)
        ends.append(end)
    nodes = array("I", (node for node, _ in spellings))
    pairs = array("I", (v for pair in fixes for v in pair))
    if sys.byteorder == "big":
        for a in (ends, nodes, pairs):
            a.byteswap()
    return b"".join(
        [
            len(spellings).to_bytes(4, "little"),
            nodes.tobytes(),
            ends.tobytes(),
            *texts,
            len(fixes).to_bytes(4, "little"),
            pairs.tobytes(),
        ]
    )


def read_index_file(f: IO[bytes], name: str) -> IndexFile:
    """Reads and verifies an index file (or a bare snapshot) from ``f``; ``name`` is
    how errors name it. Raises IndexFileError, or OSError from reading.

    No more is read than the file can hold: a regular file's size bounds it, checked
    against the header before the payload is read; from a pipe or a device the payload
    is read in pieces, never past what the header claims nor past STREAM_LIMIT."""
    size = regular_size(f)
    head = f.read(HEADER_SIZE)
    if not head.startswith(MAGIC):
        if len(head) == HEADER_SIZE and _crc32c(MAGIC + head[len(MAGIC) : -4]) == int.from_bytes(head[-4:], "little"):
            raise IndexFileError(f"{name}: the magic number is damaged")
        # No magic: a bare snapshot, unless its first bytes show it to be something else
        # (which is told before the rest of a large catalogue is read).
        if size is not None:
            head += _read_known(f, min(max(size - len(head), 0), _SNIFF_SIZE - len(head)), name)
            _refuse_what_is_no_snapshot(head, len(head) >= size, name)
            rest = _read_known(f, max(size - len(head), 0), name)
            return IndexFile(head + rest, EMPTY_NOTES, "exact", None, False)
        head += _read_stream(f, _SNIFF_SIZE - len(head))
        _refuse_what_is_no_snapshot(head, len(head) < _SNIFF_SIZE, name)
        rest = _read_stream(f, STREAM_LIMIT + 1 - len(head))
        if len(head) + len(rest) > STREAM_LIMIT:
            raise IndexFileError(
                f"{name}: too large: a snapshot read from a pipe or device may hold at most {STREAM_LIMIT} bytes"
            )
        return IndexFile(head + rest, EMPTY_NOTES, "exact", None, False)
    if len(head) < HEADER_SIZE:
        raise IndexFileError(f"{name}: the file is cut short inside its header ({len(head)} of {HEADER_SIZE} bytes)")
    _, version, mode, reserved8, reserved32, top_n, snap_len, notes_len, payload_crc, header_crc = _HEADER.unpack(head)
    if _crc32c(head[:-4]) != header_crc:
        raise IndexFileError(f"{name}: the header's checksum does not match: the file is damaged")
    if version == MAPPED_VERSION:
        # Used in place when mapped; read whole here (from a pipe, say), as bounded as
        # any other read.
        if size is not None:
            whole = _read_known(f, max(size - HEADER_SIZE, 0), name)
        else:
            whole = _read_stream(f, STREAM_LIMIT + 1)
            if len(whole) > STREAM_LIMIT:
                raise IndexFileError(
                    f"{name}: too large: at most {STREAM_LIMIT + HEADER_SIZE} bytes are read from a pipe or device"
                )
        return IndexFile(b"", b"", "exact", None, True, head + whole)
    if version != VERSION:
        raise IndexFileError(
            f"{name}: index file format {version} is not known to this brindlex (it reads {VERSION} and {MAPPED_VERSION})"
        )
    if mode >= len(MODES) or reserved8 or reserved32:
        raise IndexFileError(f"{name}: the header holds values this brindlex does not know")
    expected = HEADER_SIZE + snap_len + notes_len
    if size is not None:
        if size != expected:
            _wrong_size(name, size, expected)
        snapshot = _read_known(f, snap_len, name)
        notes = _read_known(f, notes_len, name)
    else:
        if expected - HEADER_SIZE > STREAM_LIMIT:
            raise IndexFileError(
                f"{name}: too large: its header promises {expected} bytes, and at most "
                f"{STREAM_LIMIT + HEADER_SIZE} are read from a pipe or device"
            )
        snapshot = _read_stream(f, snap_len)
        notes = _read_stream(f, notes_len) if len(snapshot) == snap_len else b""
    if len(snapshot) != snap_len or len(notes) != notes_len:
        raise IndexFileError(
            f"{name}: the file is cut short: it holds {HEADER_SIZE + len(snapshot) + len(notes)} bytes "
            f"of the {expected} its header promises"
        )
    extra = len(f.read(1))
    if extra:
        raise IndexFileError(f"{name}: bytes follow the {expected} its header promises: the file is damaged")
    if _crc32c(notes, _crc32c(snapshot)) != payload_crc:
        raise IndexFileError(f"{name}: the checksum does not match: the file is damaged")
    return IndexFile(snapshot, notes, MODES[mode], None if top_n == UNKNOWN_TOP_N else top_n, True)


_BUILD_HINT = "build one with brindlex build"


def _refuse_what_is_no_snapshot(start: bytes, whole: bool, name: str) -> None:
    """Raises IndexFileError saying what the file is when its first bytes (all of it
    when ``whole``) show that it is no snapshot: nothing at all, or text. Every
    snapshot holds a NUL byte within its first few (the root's label, and where its
    children start), so text without one is never a snapshot a builder wrote."""
    if not start:
        raise IndexFileError(f"{name}: the file is empty, not an index: {_BUILD_HINT}")
    text = _text_of(start, whole)
    if text is None:
        return
    # The first line that holds anything: blank lines before a header change nothing.
    first = next((line for line in map(str.strip, text.removeprefix("\ufeff").split("\n")) if line), "")
    if first.startswith("{"):
        raise IndexFileError(f"{name}: this is a catalogue (JSON lines), not an index: {_BUILD_HINT}")
    if "\t" in first:
        raise IndexFileError(f"{name}: this is a catalogue (tab-separated), not an index: {_BUILD_HINT}")
    raise IndexFileError(f"{name}: this is a text file, not an index: {_BUILD_HINT} from a catalogue")


def _text_of(start: bytes, whole: bool) -> str | None:
    """The text ``start`` holds when it is UTF-8 without NUL bytes (a character cut by
    the end of a part of the file is let be), else None."""
    if b"\0" in start:
        return None
    try:
        return codecs.getincrementaldecoder("utf-8")().decode(start, final=whole)
    except UnicodeDecodeError:
        return None


def no_snapshot_error(name: str, error: ValueError) -> IndexFileError:
    """The error for a file without the magic number that does not decode as a bare
    snapshot either; the decoder's text goes behind, for whoever wrote the bytes."""
    return IndexFileError(
        f"{name}: this is not an index: it does not start as an index file does, "
        f"nor does it read as a bare snapshot ({error})"
    )


def regular_size(f: IO[bytes]) -> int | None:
    """The bytes left in ``f`` when it is a regular file that says how long it is, or
    bytes in memory; None for a pipe, a device, or a file of size 0 such as those of /proc."""
    if isinstance(f, io.BytesIO):  # a pickled index, say: its length is known
        with f.getbuffer() as view:
            return max(view.nbytes - f.tell(), 0)
    try:
        st = os.fstat(f.fileno())
        if not stat.S_ISREG(st.st_mode) or st.st_size == 0:
            return None
        return max(st.st_size - f.tell(), 0)  # what is left from where reading starts
    except (OSError, AttributeError, ValueError):
        return None


def _read_known(f: IO[bytes], n: int, name: str) -> bytes:
    """``n`` bytes of a regular file whose size has been checked."""
    try:
        return f.read(n)
    except (MemoryError, OverflowError):
        raise IndexFileError(f"{name}: too large to be read into memory ({n} bytes)") from None


def _read_stream(f: IO[bytes], n: int) -> bytes:
    """At most ``n`` bytes, read in pieces, so that memory grows only with what the
    stream delivers, whatever ``n`` is."""
    parts = []
    left = n
    while left > 0:
        part = f.read(min(left, _PIECE))
        if not part:
            break
        parts.append(part)
        left -= len(part)
    return b"".join(parts)


def _wrong_size(name: str, size: int, expected: int) -> NoReturn:
    if size < expected:
        raise IndexFileError(f"{name}: the file is cut short: it holds {size} bytes of the {expected} its header promises")
    raise IndexFileError(f"{name}: {size - expected} bytes follow the {expected} its header promises: the file is damaged")
