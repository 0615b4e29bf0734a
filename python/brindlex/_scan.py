"""A quick reading of a snapshot for its checks, fast enough for tens of megabytes.

It reads what writers write: sequence lengths below 2**32 (below 251 for video
lists), varints of at most 5 bytes, the id mode and the flags as single bytes. Long
lists of varints are decoded a run of one width at a time with slices (node numbers
and shifts grow along their lists, so their widths change a few times only); the
video lists are walked, and their values decoded only where the checks need them.
Anything else, a decode error included, raises Unexpected, and the caller reads the
bytes with the reference reader instead, which decodes the same values wherever
both succeed.
"""

from __future__ import annotations

import re
import sys
from array import array
from dataclasses import dataclass

from ._check import ListFacts, Outline

__all__ = ["Scanned", "Unexpected", "scan"]


class Unexpected(Exception):
    """Bytes that the scan leaves to the reference reader."""


@dataclass
class Scanned:
    outline: Outline
    terms: int
    id_mode: int
    size: int  # bytes the eight fields take


_ONE_BYTE_VALUES = re.compile(rb"[\x00-\xfa]*")
# Bytes a 32-bit varint takes, by its first byte. An invalid first byte jumps past any
# input, so that the next read fails.
_WIDTH = [1] * 251 + [3, 5] + [1 << 62] * 3
_CONTINUATION = bytes(range(0x80, 0xC0))
_U16 = next(code for code in "HIL" if array(code).itemsize == 2)
_U32 = next(code for code in "HIL" if array(code).itemsize == 4)


def _length(data: bytes, pos: int) -> tuple[int, int]:
    b = data[pos]
    if b < 251:
        return b, pos + 1
    if b == 251:
        return data[pos + 1] | data[pos + 2] << 8, pos + 3
    if b == 252:
        return data[pos + 1] | data[pos + 2] << 8 | data[pos + 3] << 16 | data[pos + 4] << 24, pos + 5
    raise Unexpected


def _fixed(data: bytes, start: int, end: int, step: int) -> list[int]:
    """The values of the varints of ``step`` bytes each between start and end."""
    size = step - 1
    raw = bytearray(size * ((end - start) // step))
    for k in range(size):
        raw[k::size] = data[start + 1 + k : end : step]
    values = array(_U16 if size == 2 else _U32, raw)
    if sys.byteorder == "big":
        values.byteswap()
    return values.tolist()


def _u32_list(data: bytes, pos: int) -> tuple[list[int], int]:
    n, pos = _length(data, pos)
    out: list[int] = []
    window = 16  # values looked at in one go; doubles while runs go on
    while len(out) < n:
        want = min(n - len(out), window)
        b = data[pos]
        if b < 251:
            run = _ONE_BYTE_VALUES.match(data, pos, pos + want).end() - pos  # type: ignore[union-attr]
            out += data[pos : pos + run]
            pos += run
        elif b == 251 or b == 252:
            step = 3 if b == 251 else 5
            marks = data[pos : pos + step * want : step]
            run = len(marks) - len(marks.lstrip(marks[:1]))
            end = pos + step * run
            if end > len(data):
                raise Unexpected
            out += _fixed(data, pos, end, step)
            pos = end
        else:
            raise Unexpected
        window = min(2 * window, 1 << 16) if run == want else 16
    return out, pos


def _labels(data: bytes, pos: int) -> tuple[list[int], int]:
    n, pos = _length(data, pos)
    # The bytes of n UTF-8 characters: grow the region by the characters it lacks
    # until it holds n first bytes, then take in the rest of the last character.
    size = n
    while n:
        region = data[pos : pos + size]
        leads = len(region.translate(None, _CONTINUATION))
        if leads == n or len(region) < size:
            last = len(region.rstrip(_CONTINUATION)) - 1
            lead = region[last] if last >= 0 else 0
            size = last + (1 if lead < 0xC0 else 2 if lead < 0xE0 else 3 if lead < 0xF0 else 4)
            break
        size += n - leads
    try:
        text = data[pos : pos + size].decode("utf-8")
    except UnicodeDecodeError:
        raise Unexpected from None
    if len(text) != n:
        raise Unexpected
    return list(map(ord, text)), pos + size


def _payloads(data: bytes, pos: int, merged: bytes) -> tuple[list[int | None], ListFacts, int]:
    """Each payload's count, and the facts of its video lists. Only values that may
    change a fact are decoded: a video number that may be the highest so far, the
    counts of a merged list while no unordered one is known."""
    n, pos = _length(data, pos)
    if n != len(merged):
        merged = merged[:n].ljust(n, b"\0")
    counts: list[int | None] = [None] * n
    facts = ListFacts()
    peaks = facts.peaks
    top = -1
    width = _WIDTH
    for v in range(n):
        tag = data[pos]
        if tag != 1:
            if tag:
                raise Unexpected
            pos += 1
            continue
        b = data[pos + 1]
        if b < 251:
            counts[v] = b
            pos += 2
        elif b == 251:
            counts[v] = data[pos + 2] | data[pos + 3] << 8
            pos += 4
        elif b == 252:
            counts[v] = data[pos + 2] | data[pos + 3] << 8 | data[pos + 4] << 16 | data[pos + 5] << 24
            pos += 6
        else:
            raise Unexpected

        k = data[pos]
        pos += 1
        if k > 250:
            raise Unexpected
        for _ in range(k):
            b = data[pos]
            if b < 251:
                if b > top:
                    top = b
                    peaks.append((v, b))
                pos += 1
            elif b == 251:
                if top < 0xFFFF:
                    x = data[pos + 1] | data[pos + 2] << 8
                    if x > top:
                        top = x
                        peaks.append((v, x))
                pos += 3
            elif b == 252:
                x = data[pos + 1] | data[pos + 2] << 8 | data[pos + 3] << 16 | data[pos + 4] << 24
                if x > top:
                    top = x
                    peaks.append((v, x))
                pos += 5
            else:
                raise Unexpected

        m = data[pos]
        pos += 1
        if m > 250:
            raise Unexpected
        if m != k and facts.uneven < 0:
            facts.uneven, facts.uneven_lengths = v, (k, m)
        if m > 1 and merged[v] and facts.unordered < 0:
            before = 1 << 32
            for _ in range(m):
                b = data[pos]
                if b < 251:
                    x = b
                    pos += 1
                elif b == 251:
                    x = data[pos + 1] | data[pos + 2] << 8
                    pos += 3
                elif b == 252:
                    x = data[pos + 1] | data[pos + 2] << 8 | data[pos + 3] << 16 | data[pos + 4] << 24
                    pos += 5
                else:
                    raise Unexpected
                if x > before:
                    facts.unordered = v
                before = x
        else:
            for _ in range(m):
                pos += width[data[pos]]
    return counts, facts, pos


def scan(data: bytes) -> Scanned:
    """Reads the snapshot; raises Unexpected where the reference reader must."""
    try:
        shifts, pos = _u32_list(data, 0)
        labels, pos = _labels(data, pos)
        kids, pos = _u32_list(data, pos)
        total = len(kids)
        ends = shifts[1:] + [total]
        merged = bytes(map(int.__lt__, shifts, ends))
        counts, facts, pos = _payloads(data, pos, merged)
        uuids, pos = _length(data, pos)
        pos += 16 * uuids
        ints, pos = _u32_list(data, pos)
        mode = data[pos]
        flags_len, pos = _length(data, pos + 1)
    except IndexError:
        raise Unexpected from None
    flags = data[pos : pos + flags_len]
    if mode > 1 or len(flags) != flags_len or flags.translate(None, b"\0\1"):
        raise Unexpected
    videos, unused = (uuids, len(ints)) if mode == 0 else (len(ints), uuids)
    outline = Outline(shifts, labels, kids, counts, flags, videos, unused, ("uuid", "int32")[mode], facts)
    return Scanned(outline, flags.count(1), mode, pos + flags_len)
