"""Engines handed out ready to serve.

Everything a query may need beyond the store (the reversed-term index of the split
search) is made before ``build_index``, ``load``, ``Index.build`` and ``Index.load``
return, not by the first query that needs it: no query pays for it, and worker
processes forked afterwards share its pages with their parent instead of each making
a copy of its own.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from . import _layout

if TYPE_CHECKING:
    from _brindlex import PrefixSearch

__all__ = ["build_index", "prepared"]


def prepared(engine: PrefixSearch) -> PrefixSearch:
    """``engine``, with what its queries would make on first use made now."""
    from ._native import prepare

    prepare(engine)
    return engine


def build_index(entries: Iterable[Any], video_top_n: int = _layout.DEFAULT_VIDEO_TOP_N) -> PrefixSearch:
    """Builds a ``PrefixSearch`` over the entries (see ``flatten``); every node keeps
    at most ``video_top_n`` videos for ranking. The engine is ready to serve: what
    its queries would make on first use is made before it is returned."""
    return prepared(_layout.build_index(entries, video_top_n))
