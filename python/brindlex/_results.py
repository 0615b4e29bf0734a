"""The results of ``Index.suggest`` and ``Index.complete``, as the native lookups make
them."""

from __future__ import annotations

from typing import NamedTuple

__all__ = ["Completion", "Suggestion"]


class Suggestion(NamedTuple):
    """A term near the query: its distance in edits and its own count."""

    term: str
    distance: int
    count: int  # type: ignore[assignment]  # shadows tuple.count, as the name says best


class Completion(NamedTuple):
    """A term that begins with a text within ``distance`` edits of the prefix, and its
    own count."""

    term: str
    distance: int
    count: int  # type: ignore[assignment]
