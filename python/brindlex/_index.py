"""``Index``: the face of brindlex that a search back end calls.

An ``Index`` owns a ``PrefixSearch`` (the engine) and what the index was built with:
its text mode (see _fold), the catalogue's spellings of folded terms, and
``video_top_n``. Queries are normalised as the terms were; the term lookups the
engine's methods do not give (counts, best-first suggestions, completion) are read
natively from the engine's own store (``brindlex._native.Lookup``).
"""

from __future__ import annotations

import io
import math
import os
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, Literal, NamedTuple

from ._files import StrPath, engine_of, read_file, write_file
from ._fold import TextMode, normaliser
from ._format import EMPTY_NOTES, IndexFile, IndexFileError, encode_notes, file_chunks, read_index_file
from ._build import DEFAULT_VIDEO_TOP_N, U32_MAX, _entry

if TYPE_CHECKING:
    from _brindlex import PrefixSearch

    from ._native import Lookup

__all__ = ["Completion", "Index", "Suggestion"]

U64_MAX = 2**64 - 1


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


def _bounded(value: Any, name: str, high: int) -> int:
    if type(value) is int and 0 <= value <= high:
        return value
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    raise ValueError(f"{name} must be in 0..{high}, not {value}")


def _edit_bound(value: Any, text: str) -> int:
    """``max_dist`` as a number of edits: "auto" picks it from the length of the
    normalised ``text`` (0 edits for 1-2 characters, 1 for 3-5, 2 beyond)."""
    if type(value) is int and 0 <= value <= U32_MAX:
        return value
    if type(value) is str:
        if value == "auto":
            return _auto_max_dist(text)
        raise ValueError(f'max_dist must be an int or "auto", not {value!r}')
    return _bounded(value, "max_dist", U32_MAX)


def _auto_max_dist(text: str) -> int:
    """The edit bound ``max_dist="auto"`` gives a normalised text: 0 for 1-2 scalar
    values (and the empty text), 1 for 3-5, 2 for 6 and more."""
    length = len(text)
    return 0 if length <= 2 else 1 if length <= 5 else 2


def _switch(value: Any, name: str) -> bool:
    if type(value) is bool:
        return value
    raise TypeError(f"{name} must be a bool, not {type(value).__name__}")


def _text(value: Any, name: str) -> str:
    if type(value) is str:
        return value
    if isinstance(value, str):
        return str(value)
    raise TypeError(f"{name} must be a str, not {type(value).__name__}")


class Index:
    """A read-only index of search terms with counts and videos.

    Make one with ``Index.build(entries)`` or ``Index.load(path)``; ``Index(engine)``
    wraps an existing ``PrefixSearch`` and compares text exactly.
    """

    __slots__ = ("_engine", "_lookup", "_mode", "_normal", "_notes", "_video_top_n")

    _engine: PrefixSearch
    _lookup: Lookup
    _mode: TextMode
    _normal: Callable[[str], str]
    _notes: bytes
    _video_top_n: int | None

    def __init__(self, engine: PrefixSearch) -> None:
        self._setup(engine, "exact", EMPTY_NOTES, None)

    def _setup(self, engine: PrefixSearch, mode: TextMode, notes: bytes, video_top_n: int | None) -> None:
        from ._native import Lookup

        self._engine = engine
        self._lookup = Lookup(engine, notes, Suggestion, Completion)
        self._mode = mode
        self._normal = normaliser(mode)
        self._notes = notes
        self._video_top_n = video_top_n

    @classmethod
    def _make(cls, engine: PrefixSearch, mode: TextMode, notes: bytes, video_top_n: int | None) -> Index:
        index = cls.__new__(cls)
        index._setup(engine, mode, notes, video_top_n)
        return index

    # -- making and keeping -------------------------------------------------------------

    @classmethod
    def build(cls, entries: Iterable[Any], *, video_top_n: int = DEFAULT_VIDEO_TOP_N, fold: bool = True) -> Index:
        """Builds an index of ``(term, count, videos)`` entries (as ``build_index``
        takes them). With ``fold`` (the default) terms and queries are compared
        case-folded, without accents and compatibility forms; without it, in NFC.
        Entries whose terms compare equal are merged; a term is shown as the entry
        with the largest count spelt it. Raises TypeError or ValueError naming the
        entry at fault."""
        from ._native import build

        mode: TextMode = "fold" if fold else "nfc"
        engine, shown, fixes = build(entries, video_top_n, mode, normaliser(mode), _entry)
        return cls._built(engine, mode, shown, fixes, video_top_n)

    @classmethod
    def _built(
        cls, engine: PrefixSearch, mode: TextMode, shown: list[tuple[int, str]], fixes: list[tuple[int, int]],
        video_top_n: int,
    ) -> Index:
        """The index of an engine the native builder made: ``shown`` holds (node, spelling)
        for each term to show otherwise than itself, ``fixes`` (node, count) for the terms
        whose own count a saturated total hides."""
        return cls._make(engine, mode, encode_notes(shown, fixes), video_top_n)

    @classmethod
    def load(cls, path: StrPath) -> Index:
        """Reads an index file written by ``save``, ``brindlex.save`` or ``brindlex
        build`` (a bare snapshot too, compared exactly). The file is verified before
        anything is decoded. Raises OSError, or ValueError naming the file."""
        return cls._from_file(read_file(path), path)

    @classmethod
    def _from_file(cls, file: IndexFile, path: StrPath) -> Index:
        engine = engine_of(file, path)
        try:
            return cls._make(engine, file.mode, file.notes, file.video_top_n)
        except ValueError as exc:
            raise IndexFileError(f"{os.fspath(path)!s}: {exc}") from None

    def save(self, path: StrPath) -> None:
        """Writes the index to ``path`` with its text mode and spellings; an existing
        file is replaced whole or not at all. Raises OSError naming ``path``."""
        write_file(path, self._chunks())

    def _chunks(self) -> list[bytes]:
        return file_chunks(self._engine.to_bytes(), self._notes, self._mode, self._video_top_n)

    def __reduce__(self) -> tuple[Any, tuple[bytes]]:
        return _from_file_bytes, (b"".join(self._chunks()),)

    # -- what it is ---------------------------------------------------------------------

    @property
    def engine(self) -> PrefixSearch:
        """The ``PrefixSearch`` beneath, for ``fuzzy_match`` and ``fuzzy_match_video``
        on text normalised with ``normalize``."""
        return self._engine

    @property
    def fold(self) -> bool:
        """Whether terms and queries are folded (case, accents, compatibility forms)."""
        return self._mode == "fold"

    @property
    def text_mode(self) -> TextMode:
        """How text is compared: "fold", "nfc" or "exact" (a bare snapshot)."""
        return self._mode

    @property
    def video_top_n(self) -> int | None:
        """The videos each trie node keeps, or None when the file did not say."""
        return self._video_top_n

    def normalize(self, text: str) -> str:
        """``text`` as this index compares it."""
        return self._normal(_text(text, "text"))

    def __len__(self) -> int:
        return len(self._lookup)

    def __contains__(self, text: object) -> bool:
        return type(text) is str and self._lookup.contains(self._normal(text))

    def __repr__(self) -> str:
        return f"<brindlex.Index: {len(self)} terms, {self._mode} text>"

    # -- queries --------------------------------------------------------------------------

    def count(self, text: str) -> int:
        """The term's own count (how often it was searched, say), 0 when it is no term."""
        if type(text) is not str:
            text = _text(text, "text")
        return self._lookup.count(self._normal(text))

    def suggest(
        self, text: str, limit: int = 10, *, max_dist: int | Literal["auto"] = 2, transpositions: bool = True
    ) -> list[Suggestion]:
        """At most ``limit`` terms within ``max_dist`` edits of ``text``, best first:
        fewer edits, then larger count, then code-point order. With ``transpositions``
        (the default) a swap of two neighbouring characters is one edit (optimal string
        alignment); without, edits are Levenshtein's. ``max_dist="auto"`` picks the
        bound from the length of the normalised text (see ``complete``)."""
        if type(text) is not str:
            text = _text(text, "text")
        if type(limit) is not int or not 0 <= limit <= U64_MAX:
            limit = _bounded(limit, "limit", U64_MAX)
        normal = self._normal(text)
        bound = _edit_bound(max_dist, normal)
        return self._lookup.suggest(normal, limit, bound, _switch(transpositions, "transpositions"))

    def complete(
        self, prefix: str, limit: int = 10, *, max_dist: int | Literal["auto"] = "auto", transpositions: bool = True
    ) -> list[Completion]:
        """At most ``limit`` terms that begin with a text within ``max_dist`` edits of
        ``prefix`` (what a search box holds while someone types), best first: fewer
        edits, then larger count, then code-point order. A term's distance is the
        smallest from ``prefix`` to any beginning of it, the whole term included.
        ``max_dist="auto"`` (the default) allows 0 edits for a normalised prefix of 1-2
        characters, 1 for 3-5 and 2 for longer ones; ``max_dist=0`` is plain prefix
        completion. ``transpositions`` as in ``suggest``."""
        if type(prefix) is not str:
            prefix = _text(prefix, "prefix")
        if type(limit) is not int or not 0 <= limit <= U64_MAX:
            limit = _bounded(limit, "limit", U64_MAX)
        normal = self._normal(prefix)
        bound = _edit_bound(max_dist, normal)
        return self._lookup.complete(normal, limit, bound, _switch(transpositions, "transpositions"))

    def videos(
        self,
        text: str,
        limit: int | None = 10,
        *,
        max_dist: int | Literal["auto"] = 1,
        include_prefix_nodes: bool | None = None,
        min_score: float | None = None,
    ) -> list[tuple[str, float]]:
        """The videos that best match ``text``, best first, as (video id, score):
        ``fuzzy_match_video`` on the normalised text (see its description);
        ``max_dist="auto"`` as in ``complete``."""
        if min_score is not None and _is_nan(min_score):
            raise ValueError("min_score is NaN, which no score compares with")
        normal = self._normal(_text(text, "text"))
        # Any other value goes to the engine as given: it names what is wrong with it.
        bound = _edit_bound(max_dist, normal) if isinstance(max_dist, str) else max_dist
        return self._engine.fuzzy_match_video(normal, bound, limit, include_prefix_nodes, min_score)

    def _matches(self, text: str, max_dist: int, limit: int | None) -> list[tuple[str, int]]:
        """``fuzzy_match`` on the normalised text, in trie order, terms as shown."""
        spelling = self._lookup.spelling
        found = self._engine.fuzzy_match(self._normal(text), max_dist, limit)
        return [(spelling(term), distance) for term, _, distance in found]


def _is_nan(value: Any) -> bool:
    try:
        return math.isnan(float(value))
    except (TypeError, ValueError, OverflowError):
        return False  # the engine names the argument and what is wrong with it


def _from_file_bytes(data: bytes) -> Index:
    return Index._from_file(read_index_file(io.BytesIO(data), "<pickled index>"), "<pickled index>")
