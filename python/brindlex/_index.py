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
import operator
import os
from collections.abc import Callable, Iterable, Iterator
from typing import TYPE_CHECKING, Any, Literal

from ._files import StrPath, write_file
from ._fold import MODES, TextMode, normaliser
from ._format import EMPTY_NOTES, UNKNOWN_TOP_N, IndexFile, IndexFileError, encode_notes, read_index_file
from ._build import DEFAULT_VIDEO_TOP_N, U32_MAX, _text_entry
from ._opening import _open_bytes, engine_of, index_chunks, open_in_place
from ._results import Completion, Suggestion
from ._words import add_words

if TYPE_CHECKING:
    from _brindlex import PrefixSearch

    from ._native import Lookup

__all__ = ["Completion", "Index", "Suggestion"]

U64_MAX = 2**64 - 1


def _bounded(value: Any, name: str, high: int) -> int:
    """An integer argument taken as ``operator.index`` takes it (int subclasses and
    numbers of other kinds that are integers alike), bool excepted."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    if 0 <= number <= high:
        return number
    shown = str(number) if number.bit_length() <= 256 else f"a number of {number.bit_length()} bits"
    raise ValueError(f"{name} must be in 0..{high}, not {shown}")


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
        return str.__str__(value)  # its characters, whatever the subclass's __str__ says
    raise TypeError(f"{name} must be a str, not {type(value).__name__}")


def _no_term(text: str) -> bool:
    """Whether ``text`` cannot be a term without looking: terms are UTF-8 text, which
    a lone surrogate cannot be written in."""
    if text.isascii():
        return False
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return True
    return False


class Index:
    """A read-only index of search terms with counts and videos.

    Make one with ``Index.build(entries)`` or ``Index.load(path)``; ``Index(engine)``
    wraps an existing ``PrefixSearch`` and compares text exactly.
    """

    __slots__ = ("_engine", "_folds", "_lookup", "_mapped", "_mode", "_normal", "_notes", "_video_top_n")

    _engine: PrefixSearch
    _folds: bool  # mode "fold": the native lookups fold ASCII text themselves
    _lookup: Lookup
    _mapped: bool
    _mode: TextMode
    _normal: Callable[[str], str]
    _notes: bytes | None  # None for an index read from a version 2 file
    _video_top_n: int | None

    def __init__(self, engine: PrefixSearch) -> None:
        self._setup(engine, "exact", EMPTY_NOTES, None)

    def _setup(
        self, engine: PrefixSearch, mode: TextMode, notes: bytes, video_top_n: int | None, ids: Any = None
    ) -> None:
        from ._native import Lookup

        # Everything that may fail first, so that a failed call changes nothing.
        lookup = Lookup(engine, notes, Suggestion, Completion, ids)
        normal = normaliser(mode)
        self._engine = engine
        self._lookup = lookup
        self._mapped = False
        self._mode = mode
        self._folds = mode == "fold"
        self._normal = normal
        self._notes = notes
        self._video_top_n = video_top_n

    @classmethod
    def _make(
        cls, engine: PrefixSearch, mode: TextMode, notes: bytes, video_top_n: int | None, ids: Any = None
    ) -> Index:
        index = cls.__new__(cls)
        index._setup(engine, mode, notes, video_top_n, ids)
        return index

    # -- making and keeping -------------------------------------------------------------

    @classmethod
    def build(
        cls, entries: Iterable[Any], *, video_top_n: int = DEFAULT_VIDEO_TOP_N, fold: bool = True, words: bool = False
    ) -> Index:
        """Builds an index of ``(term, count, videos)`` entries (as ``build_index``
        takes them). With ``fold`` (the default) terms and queries are compared
        case-folded, without accents and compatibility forms; without it, in NFC.
        Entries whose terms compare equal are merged; a term is shown as the entry
        with the largest count spelt it. With ``words``, ``suggest``, ``complete`` and
        ``videos`` also match every word start of a term (see ``words``). Raises TypeError or
        ValueError naming the entry at fault.

        Beside the engine's forms of video id, an index takes text ids: any non-empty
        str of at most 255 bytes of UTF-8 without control characters (one form per
        index). The engine numbers them in the order first seen, the index keeps the
        table, and ``videos()`` answers with the ids as given."""
        from ._native import build

        words = _switch(words, "words")
        mode: TextMode = "fold" if fold else "nfc"
        engine, shown, fixes, ids = build(entries, video_top_n, mode, normaliser(mode), _text_entry, True)
        index = cls._built(engine, mode, shown, fixes, video_top_n, ids)
        if words:
            add_words(index._lookup)
        return index

    @classmethod
    def _built(
        cls, engine: PrefixSearch, mode: TextMode, shown: list[tuple[int, str]], fixes: list[tuple[int, int]],
        video_top_n: int, ids: Any = None,
    ) -> Index:
        """The index of an engine the native builder made: ``shown`` holds (node, spelling)
        for each term to show otherwise than itself, ``fixes`` (node, count) for the terms
        whose own count a saturated total hides, ``ids`` its text video ids (or None)."""
        return cls._make(engine, mode, encode_notes(shown, fixes), video_top_n, ids)

    @classmethod
    def _opened(cls, lookup: Lookup, mode: int, video_top_n: int, mapped: bool) -> Index:
        index = cls.__new__(cls)
        index._engine = lookup.engine
        index._lookup = lookup
        index._mapped = mapped
        index._mode = MODES[mode]
        index._folds = index._mode == "fold"
        index._normal = normaliser(index._mode)
        index._notes = None
        index._video_top_n = None if video_top_n == UNKNOWN_TOP_N else video_top_n
        return index

    @classmethod
    def load(cls, path: StrPath, *, mmap: bool = True, verify: bool = True) -> Index:
        """Reads an index file written by ``save``, ``brindlex.save`` or ``brindlex
        build`` (a bare snapshot too, compared exactly). The file is verified before
        anything is decoded. Raises OSError, or ValueError naming the file.

        A file of the current format (version 2) is used in place: mapped read-only,
        its pages shared by every process that maps it, the index holding the mapping
        for as long as it or its engine lives; with ``mmap=False`` it is read into
        memory instead. ``verify=False`` skips the checksum of its sections (the
        header and section table are still checked, and whatever the file holds no
        query reads outside it). Older files (version 1, bare snapshots) are decoded."""
        opened = open_in_place(path, mmap, verify)
        if isinstance(opened, IndexFile):
            return cls._from_file(opened, path, verify)
        return cls._opened(*opened)

    @classmethod
    def _from_file(cls, file: IndexFile, path: StrPath, verify: bool = True) -> Index:
        if file.whole is not None:
            return cls._opened(*_open_bytes(file.whole, str(os.fspath(path)), verify))
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
        return index_chunks(self._lookup, self._engine, self._notes, self._mode, self._video_top_n)

    @property
    def in_place(self) -> bool:
        """Whether the index was read from a file of the current format (version 2),
        used as it lies, mapped or read whole."""
        return self._notes is None

    @property
    def mapped(self) -> bool:
        """Whether the index answers from a mapped file (see ``load``)."""
        return self._mapped

    def __reduce__(self) -> tuple[Any, tuple[bytes]]:
        return _from_file_bytes, (b"".join(self._chunks()),)

    # -- what it is ---------------------------------------------------------------------

    @property
    def engine(self) -> PrefixSearch:
        """The ``PrefixSearch`` beneath, for ``fuzzy_match`` and ``fuzzy_match_video``
        on text normalised with ``normalize``. With text video ids (``id_form``
        "text") its ids are the numbers of the index's id table: ``videos`` gives the
        ids as built."""
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
    def id_form(self) -> str:
        """The form of the video ids ``videos()`` returns: "int32" (decimal text), "uuid"
        (36-character text) or "text" (the ids as given, from the index's id table)."""
        return self._lookup.id_form

    @property
    def words(self) -> bool:
        """Whether ``suggest`` and ``complete`` match inside titles: a term is also found
        through each of its words after the first (a word starts after a run of white
        space or punctuation in the compared text), at the distance of its best match,
        once, shown whole with its own count; ``videos`` weighs the videos of the terms
        so reached as the engine weighs a match at that distance. ``len``, ``in``,
        ``count`` and listing stay about whole terms."""
        return self._lookup.words

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
        found = self._lookup.typed_contains(text, self._folds)  # plain ASCII: no Python text made
        if found is not None:
            return found
        if type(text) is not str:
            if not isinstance(text, str):
                return False
            text = str.__str__(text)
        return not _no_term(text) and self._lookup.contains(self._normal(text))

    def __repr__(self) -> str:
        return f"<brindlex.Index: {len(self)} terms, {self._mode} text{', words' if self.words else ''}>"

    # -- queries --------------------------------------------------------------------------

    def count(self, text: str) -> int:
        """The term's own count (how often it was searched, say), 0 when it is no term."""
        found = self._lookup.typed_count(text, self._folds)  # plain ASCII: no Python text made
        if found is not None:
            return found
        if type(text) is not str:
            text = _text(text, "text")
        return 0 if _no_term(text) else self._lookup.count(self._normal(text))

    def suggest(
        self, text: str, limit: int = 10, *, max_dist: int | Literal["auto"] = 2, transpositions: bool = True
    ) -> list[Suggestion]:
        """At most ``limit`` terms within ``max_dist`` edits of ``text``, best first:
        fewer edits, then larger count, then code-point order. With ``transpositions``
        (the default) a swap of two neighbouring characters is one edit (optimal string
        alignment); without, edits are Levenshtein's. ``max_dist="auto"`` picks the
        bound from the length of the normalised text (see ``complete``)."""
        found = self._lookup.typed_suggest(text, limit, max_dist, transpositions, self._folds)
        if found is not None:  # plain ASCII and plain arguments: checked and folded natively
            return found
        return self._lookup.suggest(*self._search(text, "text", limit, max_dist, transpositions))

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
        found = self._lookup.typed_complete(prefix, limit, max_dist, transpositions, self._folds)
        if found is not None:  # plain ASCII and plain arguments: checked and folded natively
            return found
        return self._lookup.complete(*self._search(prefix, "prefix", limit, max_dist, transpositions))

    def _search(
        self, text: Any, name: str, limit: Any, max_dist: Any, transpositions: Any
    ) -> tuple[str, int, int, bool]:
        """The arguments of the native suggest and complete, each checked and named as the
        caller wrote it: the normalised text, the limit, the edit bound and the rule."""
        if type(text) is not str:
            text = _text(text, name)
        if type(limit) is not int or not 0 <= limit <= U64_MAX:
            limit = _bounded(limit, "limit", U64_MAX)
        normal = self._normal(text)
        return normal, limit, _edit_bound(max_dist, normal), _switch(transpositions, "transpositions")

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
        ``max_dist="auto"`` as in ``complete``. With ``words``, the terms reached through
        a word start weigh in too, each term once, at its best weight."""
        if min_score is not None and _is_nan(min_score):
            raise ValueError("min_score is NaN, which no score compares with")
        normal = self._normal(_text(text, "text"))
        # Any other value goes to the engine as given: it names what is wrong with it.
        bound = _edit_bound(max_dist, normal) if isinstance(max_dist, str) else max_dist
        if self._lookup.words:
            return self._lookup.videos(normal, bound, limit, include_prefix_nodes, min_score)
        found = self._engine.fuzzy_match_video(normal, bound, limit, include_prefix_nodes, min_score)
        return self._lookup.video_ids(found)  # the ids as given, when they are text

    def _matches(self, text: str, max_dist: int, limit: int | None) -> list[tuple[str, int]]:
        """``fuzzy_match`` on the normalised text, in trie order, terms as shown."""
        spelling = self._lookup.spelling
        found = self._engine.fuzzy_match(self._normal(text), max_dist, limit)
        return [(spelling(term), distance) for term, _, distance in found]

    # -- listing --------------------------------------------------------------------------
    # Terms come in code-point order of the text the index compares (folded, with folding),
    # each shown as the results show it: the catalogue's spelling. So ``key in index`` and
    # ``index.count(key)`` hold for every key, and a folded index lists "Zoë" between
    # "zoa" and "zof" as it lists "zoe". Streamed natively a chunk at a time: no list of
    # every term is made, and an iterator keeps the index's store alive.

    def __iter__(self) -> Iterator[str]:
        """The terms, as ``keys()``."""
        return self._lookup.terms("", False)

    def keys(self, prefix: str = "") -> Iterator[str]:
        """The terms that start with ``prefix`` (normalised as every query is; the prefix
        itself counts), in code-point order of the compared text, as results show them."""
        if type(prefix) is not str:
            prefix = _text(prefix, "prefix")
        return self._lookup.terms(self._normal(prefix), False)

    def items(self, prefix: str = "") -> Iterator[tuple[str, int]]:
        """``(term, count)`` for the terms of ``keys(prefix)``, in the same order."""
        if type(prefix) is not str:
            prefix = _text(prefix, "prefix")
        return self._lookup.terms(self._normal(prefix), True)


def _is_nan(value: Any) -> bool:
    try:
        return math.isnan(float(value))
    except (TypeError, ValueError, OverflowError):
        return False  # the engine names the argument and what is wrong with it


def _from_file_bytes(data: bytes) -> Index:
    return Index._from_file(read_index_file(io.BytesIO(data), "<pickled index>"), "<pickled index>")
