"""Opening and writing the bytes of an index: the engine of a file read (version 1 or a
bare snapshot, decoded), a file of the current format opened in place (mapped, or read
whole), and the pieces an index file is written as."""

from __future__ import annotations

import os
import stat
from typing import TYPE_CHECKING

from ._files import StrPath
from ._fold import MODES, TextMode
from ._format import (
    HEADER_SIZE, UNKNOWN_TOP_N, IndexFile, IndexFileError, file_chunks, is_mapped, no_snapshot_error, read_index_file,
)
from ._results import Completion, Suggestion

if TYPE_CHECKING:
    from _brindlex import PrefixSearch

    from ._native import Lookup

__all__ = ["engine_of", "index_chunks", "open_in_place"]


def engine_of(file: IndexFile, path: StrPath) -> PrefixSearch:
    """The engine of a file read, with everything its queries need made (see
    ``brindlex._native.prepare``)."""
    from _brindlex import PrefixSearch

    from ._native import prepare

    try:
        engine = PrefixSearch.from_bytes(file.snapshot)
    except ValueError as exc:
        if file.checksummed:
            raise IndexFileError(f"{os.fspath(path)!s}: the snapshot in the file cannot be read ({exc})") from None
        raise no_snapshot_error(f"{os.fspath(path)!s}", exc) from None
    prepare(engine)
    return engine


def index_chunks(
    lookup: Lookup | None, engine: PrefixSearch, notes: bytes | None, mode: TextMode, video_top_n: int | None
) -> list[bytes]:
    """The pieces of the index file of an engine: version 2 when its store can be used
    in place (every index built by the package), version 1 otherwise."""
    from ._native import write_index

    if lookup is not None:
        data = write_index(lookup, MODES.index(mode), UNKNOWN_TOP_N if video_top_n is None else video_top_n)
        if data is not None:
            return [data]
    if notes is None:  # read from a version 2 file, which always writes one again
        raise ValueError("the index cannot be written")
    if lookup is not None and lookup.id_form == "text":
        raise ValueError("the index cannot be written: text video ids need an index file of version 2")
    return file_chunks(engine.to_bytes(), notes, mode, video_top_n)


def _open_bytes(data: bytes | int, name: str, verify: bool = True, mmap: bool = False) -> tuple[Lookup, int, int, bool]:
    from ._native import open_index

    try:
        return open_index(data, verify, mmap, Suggestion, Completion)
    except ValueError as exc:
        raise IndexFileError(f"{name}: {exc}") from None


def open_in_place(
    path: StrPath, mmap: bool = True, verify: bool = True
) -> tuple[Lookup, int, int, bool] | IndexFile:
    """The (lookup, text mode, video_top_n, mapped) of the version 2 file ``path``,
    mapped (or read, with ``mmap=False``); for an older format, or for what is not a
    regular file (a pipe, say, which can be opened and read only once), the file as read
    by ``read_index_file``, bounded as it bounds reads. Raises OSError, or
    IndexFileError naming the file."""
    fspath = os.fspath(path)
    name = fspath if isinstance(fspath, str) else os.fsdecode(fspath)
    with open(path, "rb") as f:
        if stat.S_ISREG(os.fstat(f.fileno()).st_mode):
            if is_mapped(f.read(HEADER_SIZE)):
                return _open_bytes(f.fileno(), name, verify, mmap)
            f.seek(0)
        return read_index_file(f, name)
