"""``save`` and ``load``: an engine (or an ``Index``) kept in an index file.

The file is written as ``_files.write_file`` writes every index file (replaced whole or
not at all) and opened as ``_opening`` opens it: in place for the current format,
decoded for older ones.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

from ._files import StrPath, write_file
from ._format import EMPTY_NOTES, IndexFile
from ._index import Index
from ._opening import _open_bytes, engine_of, index_chunks, open_in_place
from ._results import Completion, Suggestion

if TYPE_CHECKING:
    from _brindlex import PrefixSearch

    from ._native import Lookup

__all__ = ["load", "save"]


def save(index: Any, path: StrPath) -> None:
    """Writes ``index`` (a ``PrefixSearch`` or an ``Index``) to the index file ``path``,
    the way ``brindlex build`` writes its output: an existing file is replaced whole or
    not at all. A ``PrefixSearch`` is written with exact text comparison. Raises
    TypeError for anything else and OSError naming ``path``."""
    if isinstance(index, Index):
        index.save(path)
        return
    from _brindlex import PrefixSearch

    if not isinstance(index, PrefixSearch):
        raise TypeError(f"save() takes a PrefixSearch or an Index, not {type(index).__name__}")
    from ._native import Lookup

    try:
        lookup: Lookup | None = Lookup(index, EMPTY_NOTES, Suggestion, Completion)
    except ValueError:  # no tree from the root: kept as a snapshot (version 1)
        lookup = None
    write_file(path, index_chunks(lookup, index, EMPTY_NOTES, "exact", None))



def load(path: StrPath, *, mmap: bool = True, verify: bool = True) -> PrefixSearch:
    """Restores the engine of an index file written by ``save``, ``Index.save`` or
    ``brindlex build`` (or of a bare snapshot, ``to_bytes``), with everything a query
    may need made, so that workers forked afterwards share it all. A file of the
    current format is used in place, as ``Index.load`` says. Raises OSError when the
    file cannot be read and ValueError naming the file when it is damaged or holds no
    index."""
    opened = open_in_place(path, mmap, verify)
    if not isinstance(opened, IndexFile):
        return opened[0].engine
    if opened.whole is not None:  # read from a pipe, say
        return _open_bytes(opened.whole, str(os.fspath(path)), verify)[0].engine
    return engine_of(opened, path)
