"""Typo-tolerant lookup of search terms and their videos.

``build_index(entries, video_top_n)`` makes a ``PrefixSearch`` from
``(term, count, [(video id, count), ...])`` entries; ``flatten(entries)`` gives the
flat arrays it is made from. ``PrefixSearch`` lives in the native module
``_brindlex``; it is loaded on first use, so that ``flatten`` also works where
the native module is not built.
"""

from typing import TYPE_CHECKING, Any

from ._index import U32_MAX, FlatIndex, build_index, flatten

if TYPE_CHECKING:
    from _brindlex import PrefixSearch

__all__ = ["FlatIndex", "PrefixSearch", "U32_MAX", "build_index", "flatten"]


def __getattr__(name: str) -> Any:
    if name == "PrefixSearch":
        from _brindlex import PrefixSearch

        globals()["PrefixSearch"] = PrefixSearch
        return PrefixSearch
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
