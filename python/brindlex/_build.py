"""Building a ``PrefixSearch`` from ``(term, count, videos)`` entries.

The work is native (``brindlex._native.build``): entries are merged by term, laid out as
a trie and built by the engine's own construction, without a Python object per entry or
per node. The trie it lays out:

* node 0 is the root; its label is the empty string and it carries no payload
  (the empty term is refused: no query ever reports the root);
* nodes are numbered in depth-first pre-order and the children of every node are
  ordered by code point, so a node's number is its rank among all prefixes in
  code point order, every child is numbered after its parent and ``node_shifts``
  never decreases;
* a payload is ``(count, [video numbers], [counts])``, its videos ordered by count,
  largest first (first seen first among equal counts), so that cutting a leaf's
  list to ``video_top_n`` entries keeps its strongest videos, as it does on inner
  nodes;
* video numbers index ``video_index`` and are given in the order the videos are
  first seen in the entries.

Entries in their plain form (a tuple of a str, an int and a list of (bytes or int, int)
pairs) are read natively; any other entry comes to ``_entry`` here, which checks it and
words the error that names it.
"""

from __future__ import annotations

import functools
import operator
import unicodedata
import uuid
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, NamedTuple

from ._fold import fold, shown_spelling

if TYPE_CHECKING:
    from _brindlex import PrefixSearch

__all__ = ["DEFAULT_VIDEO_TOP_N", "FlatIndex", "U32_MAX", "build_index", "flatten"]

U32_MAX = 0xFFFF_FFFF
DEFAULT_VIDEO_TOP_N = 10

Payload = tuple[int, list[int], list[int]]

_UUID = "16-byte (UUID)"
_INT32 = "4-byte (int32)"
_TEXT = "text"
MAX_TEXT_ID = 255  # bytes of UTF-8


class FlatIndex(NamedTuple):
    """The five arrays that ``PrefixSearch.from_internal_data_v2`` takes before
    ``video_top_n``: ``PrefixSearch.from_internal_data_v2(*flat, video_top_n)``."""

    node_shifts: list[int]
    child_labels: list[str]
    payloads: list[Payload | None]
    child_transitions: list[int]
    video_index: list[bytes]


def _shown(term: str) -> str:
    return repr(term if len(term) <= 40 else term[:40] + "...")


def _where(i: int, term: str, j: int) -> str:
    return f"entry {i} ({_shown(term)}), video {j}"


def _u32(value: Any, where: str, what: str) -> int:
    """Counts: int subclasses and index-protocol objects (numpy integers, for one) are
    accepted, bools and everything else are not."""
    if isinstance(value, bool):
        raise TypeError(f"{where}: {what} must be an int, not bool")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{where}: {what} must be an int, not {type(value).__name__}") from None
    if not 0 <= number <= U32_MAX:
        raise ValueError(f"{where}: {what} {number} is outside 0..{U32_MAX}")
    return number


def _text_id(vid: str, where: str) -> str:
    """A text video id as it is kept, or the ValueError that says what is wrong with it."""
    text = str.__str__(vid)
    if not text:
        raise ValueError(f"{where}: the video id is empty")
    try:
        size = len(text.encode("utf-8"))
    except UnicodeEncodeError:
        raise ValueError(f"{where}: video id {_shown(text)} holds a lone surrogate and is not valid text") from None
    if size > MAX_TEXT_ID:
        raise ValueError(f"{where}: video id {_shown(text)} is {size} bytes of UTF-8, more than {MAX_TEXT_ID}")
    if not text.isprintable() and any(unicodedata.category(c) == "Cc" for c in text):
        raise ValueError(f"{where}: video id {_shown(text)} holds a control character")
    return text


def _video_key(vid: Any, i: int, term: str, j: int, text: bool = False) -> tuple[str, bytes | int | str]:
    """The id's form and a key that is equal for equal ids: the 16 bytes of a UUID-form
    id, the unsigned value of an int32-form id (so 1 and b"\\x01\\0\\0\\0" name the same
    video), the str of a text id (with ``text``: an index that keeps an id table)."""
    if isinstance(vid, str):
        if text:
            return _TEXT, _text_id(vid, _where(i, term, j))
        raise TypeError(
            f"{_where(i, term, j)}: video id must be bytes, a uuid.UUID or an int, not str "
            "(text ids need Index.build, whose index keeps the id table)"
        )
    if isinstance(vid, (bytes, bytearray, memoryview)):
        raw = bytes(vid)
        if len(raw) == 16:
            return _UUID, raw
        if len(raw) == 4:
            return _INT32, int.from_bytes(raw, "little")
        raise ValueError(f"{_where(i, term, j)}: video id must be 16 or 4 bytes long, not {len(raw)}")
    if isinstance(vid, uuid.UUID):
        return _UUID, vid.bytes
    if isinstance(vid, bool):
        raise TypeError(f"{_where(i, term, j)}: video id must be bytes, a uuid.UUID or an int, not bool")
    try:
        number = operator.index(vid)
    except TypeError:
        raise TypeError(
            f"{_where(i, term, j)}: video id must be bytes, a uuid.UUID or an int, not {type(vid).__name__}"
        ) from None
    if not 0 <= number <= U32_MAX:
        raise ValueError(f"{_where(i, term, j)}: int video id {number} is outside 0..{U32_MAX}")
    return _INT32, number


def _entry(
    i: int, entry: Any, normal: Callable[[str], str] | None, form: str | None, first: tuple[int, str, int] | None,
    text: bool = False,
) -> tuple[str, int, list[tuple[bytes | int | str, int]], str | None, int]:
    """Entry ``i`` as the native builder takes it, or the error that names it: (term,
    count, [(video key, count)], the spelling when ``normal`` changed the term, and the
    count that spelling adds). ``form`` and ``first`` are the form of the first video id
    of the entries before and where it was; ``text`` allows text ids."""
    try:
        term, count, videos = entry
    except TypeError:
        raise TypeError(f"entry {i}: expected a (term, count, videos) triple, not {type(entry).__name__}") from None
    except ValueError:
        raise ValueError(f"entry {i}: expected a (term, count, videos) triple") from None

    spelling = None
    if normal is not None and isinstance(term, str):
        key = normal(term)
        if key != term:
            if not key:
                raise ValueError(f"entry {i}: the term {_shown(term)} is empty once normalised; no query can find it")
            spelling, term = term, key
            if normal is fold:
                spelling = shown_spelling("fold", spelling)
                if spelling == term:  # only whitespace changed: spelt as the term itself
                    spelling = None

    if type(term) is not str:
        if not isinstance(term, str):
            raise TypeError(f"entry {i}: term must be a str, not {type(term).__name__}")
        term = str(term)
    if not term:
        raise ValueError(f"entry {i}: the term is empty; no query can find it")
    if "\0" in term:
        raise ValueError(f"entry {i}: term {_shown(term)} contains U+0000, which cannot label an edge")
    if not term.isascii():
        try:
            term.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"entry {i}: term {_shown(term)} holds a lone surrogate and is not valid text") from None
    if type(count) is not int or not 0 <= count <= U32_MAX:
        count = _u32(count, f"entry {i}", "count")
    # The spelling counts for the count's value, whatever type gave it.
    spelled = count
    if type(videos) is not list and isinstance(videos, (str, bytes, bytearray)):
        raise TypeError(
            f"entry {i}: videos must be an iterable of (video id, count) pairs, not {type(videos).__name__}"
        )
    try:
        video_iter = iter(videos)
    except TypeError:
        raise TypeError(
            f"entry {i}: videos must be an iterable of (video id, count) pairs, not {type(videos).__name__}"
        ) from None

    pairs: list[tuple[bytes | int | str, int]] = []
    for j, pair in enumerate(video_iter):
        try:
            vid, vcount = pair
        except TypeError:
            raise TypeError(f"{_where(i, term, j)}: expected a (video id, count) pair, not {type(pair).__name__}") from None
        except ValueError:
            raise ValueError(f"{_where(i, term, j)}: expected a (video id, count) pair") from None
        if type(vcount) is not int or not 0 <= vcount <= U32_MAX:
            vcount = _u32(vcount, _where(i, term, j), "video count")
        vform, vkey = _video_key(vid, i, term, j, text)
        if vform != form:
            if form is not None:
                assert first is not None
                raise ValueError(
                    f"{_where(i, term, j)}: a {vform} video id among {form} ones "
                    f"(the first was {_where(*first)}); all video ids must have one form"
                )
            form, first = vform, (i, term, j)
        pairs.append((vkey, vcount))
    return term, count, pairs, spelling, spelled


# The slow path of the builders whose index keeps an id table (Index.build).
_text_entry = functools.partial(_entry, text=True)


def build_index(entries: Iterable[Any], video_top_n: int = DEFAULT_VIDEO_TOP_N) -> PrefixSearch:
    """Builds a ``PrefixSearch`` over the entries; every node keeps at most
    ``video_top_n`` videos for ranking.

    ``entries`` is an iterable of ``(term, count, videos)``: ``term`` a non-empty str,
    ``count`` an int in 0..4294967295, ``videos`` an iterable of ``(video id, count)``
    pairs. A video id is either 16 bytes or a ``uuid.UUID``, or 4 bytes (little-endian)
    or an int in 0..4294967295; all ids of one index must have the same form (the
    engine's own: text ids need ``Index.build``, whose index keeps the id table). Entries
    with the same term are merged: counts are summed, saturating at 4294967295, and so
    are the counts of a video named more than once.

    The engine is ready to serve: what its queries would make on first use (the index
    of reversed terms) is made before it is returned, so that worker processes forked
    afterwards share it instead of each making its own.

    Raises TypeError or ValueError naming the entry at fault.
    """
    from ._native import build, prepare

    engine = build(entries, video_top_n, "exact", None, _entry)[0]
    prepare(engine)
    return engine


def flatten(entries: Iterable[Any]) -> FlatIndex:
    """Lays out a trie of the given entries (as ``build_index`` takes them) as the arrays
    of ``FlatIndex``. Raises TypeError or ValueError naming the entry at fault."""
    from ._native import lay_out

    return FlatIndex(*lay_out(entries, _entry))
