"""The check behind ``brindlex stats``: a snapshot (``PrefixSearch.to_bytes``) decoded
and checked natively (``brindlex._native.check_snapshot``), in tens of milliseconds for
tens of megabytes; its figures and what it found."""

from __future__ import annotations

from dataclasses import dataclass

__all__ = ["SnapshotCheck", "SnapshotDecodeError", "check_snapshot"]


class SnapshotDecodeError(ValueError):
    """Bytes that are not a snapshot. ``str(error)`` is the text that
    ``PrefixSearch.from_bytes`` raises for the same bytes; ``offset`` is where the
    value that could not be read begins (-1 here: the native reader does not say)."""

    def __init__(self, rendering: str, offset: int) -> None:
        super().__init__(f"decode error: {rendering}")
        self.rendering = rendering
        self.offset = offset


@dataclass(frozen=True)
class SnapshotCheck:
    """The figures of a snapshot and what its check found: what ``brindlex stats``
    prints. ``damage`` lists what makes answers wrong or what construction from
    sequences would never make, one message a rule; ``notes`` what is unusual but
    answered as it stands (an unreachable node, an edge without a label, a payload on
    the root, bytes after the snapshot). src/core/check/check.hpp lists the rules."""

    nodes: int
    terms: int
    videos: int
    id_mode_name: str
    size: int  # bytes the fields take
    trailing_bytes: int
    damage: list[str]
    notes: list[str]

    @property
    def problem(self) -> str | None:
        """The first damage found, or None for a sound snapshot."""
        return self.damage[0] if self.damage else None


def check_snapshot(data: bytes | bytearray | memoryview) -> SnapshotCheck:
    """Decodes a snapshot and checks it. Raises SnapshotDecodeError (a ValueError)
    where ``PrefixSearch.from_bytes`` would fail, with its text."""
    from .._native import check_snapshot as native_check

    try:
        nodes, terms, videos, mode, size, damage, notes = native_check(data)
    except ValueError as exc:
        raise SnapshotDecodeError(str(exc).removeprefix("decode error: "), -1) from None
    trailing = len(memoryview(data).cast("B")) - size
    if trailing:
        notes.append(f"{trailing} bytes after the snapshot, which queries ignore")
    return SnapshotCheck(nodes, terms, videos, mode, size, trailing, damage, notes)
