"""The layout of a PrefixSearch in Python: the model the native builder is tested against
(test_native_build.py). Entries and catalogue rows are built natively by the package;
this is the straightforward version of the same work, kept only as that model.

Turning (term, count, videos) entries into the flat arrays of a PrefixSearch.

The native store is a trie laid out as flat arrays. This module builds them:

* node 0 is the root; its label is the empty string and it carries no payload
  (the empty term is refused: no query ever reports the root);
* nodes are numbered in depth-first pre-order and the children of every node are
  ordered by code point, so a node's number is its rank among all prefixes in
  code point order, every child is numbered after its parent (which the native
  aggregation pass needs) and ``node_shifts`` never decreases;
* the children of node v are ``child_transitions[node_shifts[v]:node_shifts[v + 1]]``
  (up to the end of ``child_transitions`` for the last node);
* a payload is ``(count, [video numbers], [counts])``, its videos ordered by count,
  largest first (first seen first among equal counts), so that cutting a leaf's
  list to ``video_top_n`` entries keeps its strongest videos, as it does on inner
  nodes, whose lists the native pass sorts;
* video numbers index ``video_index`` and are given in the order the videos are
  first seen in the entries.
"""

from __future__ import annotations

import operator
import uuid
from bisect import bisect_left
from collections.abc import Callable, Iterable, Iterator, Sequence
from functools import partial
from itertools import repeat
from typing import TYPE_CHECKING, Any, NamedTuple, overload

# The checks of one entry and the wording of their errors are the package's own; the
# model stands apart in how it merges entries and lays the trie out.
from brindlex._build import _INT32, _UUID, _shown, _u32, _video_key, _where

if TYPE_CHECKING:
    from _brindlex import PrefixSearch

__all__ = ["DEFAULT_VIDEO_TOP_N", "FlatIndex", "U32_MAX", "build_index", "flatten"]

U32_MAX = 0xFFFF_FFFF

Payload = tuple[int, list[int], list[int]]


# Common prefixes longer than this are measured by halving slices, which runs in C,
# instead of comparing character by character.
_SHORT_PREFIX = 32


class FlatIndex(NamedTuple):
    """The five arrays that ``PrefixSearch.from_internal_data_v2`` takes before
    ``video_top_n``: ``PrefixSearch.from_internal_data_v2(*flat, video_top_n)``."""

    node_shifts: list[int]
    child_labels: list[str]
    payloads: list[Payload | None]
    child_transitions: list[int]
    video_index: list[bytes]


def _common_prefix_len(a: str, b: str) -> int:
    m = min(len(a), len(b))
    if a[:m] == b[:m]:
        return m
    lo, hi = 0, m  # a[:lo] == b[:lo] and a[:hi] != b[:hi]
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if a[lo:mid] == b[lo:mid]:
            lo = mid
        else:
            hi = mid
    return lo


def _merge_entries(
    entries: Iterable[Any], texts: list[str] | None = None,
) -> tuple[dict[str, int], dict[str, dict[int, int]], list[bytes]]:
    """Validates the entries and merges duplicate terms; with ``texts``, text ids are
    taken and numbered in the order first seen (``texts`` gets them, the engine's int
    id n naming text n).

    Returns {term: count}, {term: {video number: count}} and the video ids by number."""
    text_numbers: dict[str, int] = {}
    # Counts and video lists in two maps, not a record per term: a dict of ints is never
    # tracked by the cycle collector, so merging leaves it nothing to rescan.
    counts: dict[str, int] = {}
    listed: dict[str, dict[int, int]] = {}
    counts_get = counts.get
    listed_get = listed.get
    numbers: dict[bytes | int, int] = {}
    video_index: list[bytes] = []
    mode: str | None = None
    mode_from: tuple[int, str, int] = (0, "", 0)
    numbers_get = numbers.get

    try:
        iterator = iter(entries)
    except TypeError:
        raise TypeError(f"entries must be an iterable, not {type(entries).__name__}") from None

    for i, entry in enumerate(iterator):
        try:
            term, count, videos = entry
        except TypeError:
            raise TypeError(
                f"entry {i}: expected a (term, count, videos) triple, not {type(entry).__name__}"
            ) from None
        except ValueError:
            raise ValueError(f"entry {i}: expected a (term, count, videos) triple") from None

        if type(term) is not str:
            if not isinstance(term, str):
                raise TypeError(f"entry {i}: term must be a str, not {type(term).__name__}")
            term = str(term)
        if not term:
            raise ValueError(f"entry {i}: the term is empty; no query can find it")
        if "\0" in term:
            raise ValueError(
                f"entry {i}: term {_shown(term)} contains U+0000, which cannot label an edge"
            )
        if not term.isascii():
            try:
                term.encode("utf-8")
            except UnicodeEncodeError:
                raise ValueError(
                    f"entry {i}: term {_shown(term)} holds a lone surrogate and is not valid text"
                ) from None
        if type(count) is not int or not 0 <= count <= U32_MAX:
            count = _u32(count, f"entry {i}", "count")
        if type(videos) is not list and isinstance(videos, (str, bytes, bytearray)):
            raise TypeError(
                f"entry {i}: videos must be an iterable of (video id, count) pairs, "
                f"not {type(videos).__name__}"
            )
        try:
            video_iter = iter(videos)
        except TypeError:
            raise TypeError(
                f"entry {i}: videos must be an iterable of (video id, count) pairs, "
                f"not {type(videos).__name__}"
            ) from None

        total = counts_get(term, 0) + count
        counts[term] = total if total <= U32_MAX else U32_MAX
        per_video = listed_get(term)  # made at the first video: most terms have none

        for j, pair in enumerate(video_iter):
            try:
                vid, vcount = pair
            except TypeError:
                raise TypeError(
                    f"{_where(i, term, j)}: expected a (video id, count) pair, "
                    f"not {type(pair).__name__}"
                ) from None
            except ValueError:
                raise ValueError(
                    f"{_where(i, term, j)}: expected a (video id, count) pair"
                ) from None
            if type(vcount) is not int or not 0 <= vcount <= U32_MAX:
                vcount = _u32(vcount, _where(i, term, j), "video count")

            # The common forms first; _video_key handles the rest and the errors.
            key: bytes | int
            if type(vid) is bytes and len(vid) == 16:
                form, key = _UUID, vid
            elif type(vid) is int and 0 <= vid <= U32_MAX:
                form, key = _INT32, vid
            elif type(vid) is uuid.UUID:
                form, key = _UUID, vid.bytes
            else:
                form, key = _video_key(vid, i, term, j, texts is not None)  # type: ignore[assignment]
                if isinstance(key, str):
                    assert texts is not None
                    key = text_numbers.setdefault(key, len(text_numbers))
                    if key == len(texts):
                        texts.append(str(vid))
            if form != mode:
                if mode is not None:
                    raise ValueError(
                        f"{_where(i, term, j)}: a {form} video id among {mode} ones "
                        f"(the first was {_where(*mode_from)}); all video ids must have one form"
                    )
                mode, mode_from = form, (i, term, j)

            number = numbers_get(key)
            if number is None:
                number = numbers[key] = len(video_index)
                video_index.append(key if isinstance(key, bytes) else key.to_bytes(4, "little"))
            if per_video is None:
                per_video = listed[term] = {}
            summed = per_video.get(number, 0) + vcount
            per_video[number] = summed if summed <= U32_MAX else U32_MAX

    return counts, listed, video_index


def flatten(entries: Iterable[Any]) -> FlatIndex:
    """Lays out a trie of the given entries as the arrays of ``FlatIndex``.

    ``entries`` is an iterable of ``(term, count, videos)``: ``term`` a non-empty str,
    ``count`` an int in 0..4294967295, ``videos`` an iterable of ``(video id, count)`` pairs. A video
    id is either 16 bytes or a ``uuid.UUID``, or 4 bytes (little-endian) or an int
    in 0..4294967295; all ids of one index must have the same form. Entries with
    the same term are merged: counts are summed, saturating at 4294967295, and so
    are the counts of a video named more than once.

    Raises TypeError or ValueError naming the entry at fault.
    """
    flat = _laid_out(entries)[0]
    # Each payload its own lists: the lazy ones share the empty pair.
    payloads = [p if p is None or p[1] else (p[0], [], []) for p in flat.payloads]
    return flat._replace(payloads=payloads)


class _Payloads(Sequence[Payload | None]):
    """The payloads of a layout, made one at a time as they are read. Construction takes
    them in one pass, so no list of hundreds of thousands of payload tuples and lists
    ever lives at once, for the cycle collector to rescan while building."""

    def __init__(self, n_nodes: int, term_nodes: list[int], ordered: list[str],
                 counts: dict[str, int], listed: dict[str, dict[int, int]]) -> None:
        self._n = n_nodes
        # Terms without videos share one empty pair: construction only reads them.
        self._none: tuple[list[int], list[int]] = ([], [])
        self._nodes = term_nodes  # ascending: pre-order numbers of terms in code point order
        self._terms = ordered
        self._counts = counts
        self._listed = listed

    def __len__(self) -> int:
        return self._n

    def _payload(self, term: str) -> Payload:
        per_video = self._listed.get(term)
        if per_video is None:
            return (self._counts[term], *self._none)
        if len(per_video) > 1:
            ids = sorted(per_video, key=per_video.__getitem__, reverse=True)
            return (self._counts[term], ids, [per_video[v] for v in ids])
        return (self._counts[term], list(per_video), list(per_video.values()))

    @overload
    def __getitem__(self, i: int) -> Payload | None: ...
    @overload
    def __getitem__(self, i: slice) -> list[Payload | None]: ...
    def __getitem__(self, i: int | slice) -> Payload | None | list[Payload | None]:
        if isinstance(i, slice):
            return [self[j] for j in range(*i.indices(self._n))]
        v = range(self._n)[i]
        at = bisect_left(self._nodes, v)
        return self._payload(self._terms[at]) if at < len(self._nodes) and self._nodes[at] == v else None

    def __iter__(self) -> Iterator[Payload | None]:
        v = 0
        for node, term in zip(self._nodes, self._terms):
            if node > v:
                yield from repeat(None, node - v)
            yield self._payload(term)
            v = node + 1
        yield from repeat(None, self._n - v)


LaidOut = tuple[FlatIndex, dict[str, int], list[str], list[int]]


def _laid_out(entries: Iterable[Any], texts: list[str] | None = None) -> LaidOut:
    """The arrays of ``flatten`` with the payloads made as they are read, and beside
    them each term's merged count, the terms in code point order and each one's node
    number."""
    terms, listed, video_index = _merge_entries(entries, texts)

    # In code point order, each term shares with its predecessor exactly the
    # prefix that is already in the trie; its remaining characters are new nodes
    # in pre-order. `path[d]` is the node of the current term's first d characters.
    ordered = sorted(terms)
    labels: list[str] = [""]
    parents: list[int] = [0]  # the root's entry is a placeholder
    path = [0]
    term_nodes: list[int] = []
    prev = ""
    for term in ordered:
        m = min(len(prev), len(term))
        if m <= _SHORT_PREFIX:
            common = 0
            while common < m and prev[common] == term[common]:
                common += 1
        else:
            common = _common_prefix_len(prev, term)
        del path[common + 1 :]
        new = len(term) - common
        if new:
            first = len(labels)
            parents.append(path[-1])
            parents.extend(range(first, first + new - 1))
            path.extend(range(first, first + new))
            labels.extend(term[common:])
        term_nodes.append(path[-1])
        prev = term

    n_nodes = len(labels)
    if n_nodes > U32_MAX or len(video_index) > U32_MAX + 1:
        raise ValueError(f"index too large: {n_nodes} nodes, {len(video_index)} videos")

    # Grouping the nodes by parent, stably, keeps each child list in node order,
    # which is code point order. Node v's list starts after the children of all
    # nodes numbered below v.
    child_transitions = sorted(range(1, n_nodes), key=parents.__getitem__)
    child_parents = [parents[c] for c in child_transitions]
    node_shifts = list(map(partial(bisect_left, child_parents), range(n_nodes)))

    payloads = _Payloads(n_nodes, term_nodes, ordered, terms, listed)
    return FlatIndex(node_shifts, labels, payloads, child_transitions, video_index), terms, ordered, term_nodes  # type: ignore[arg-type]


DEFAULT_VIDEO_TOP_N = 10


def build_index(entries: Iterable[Any], video_top_n: int = DEFAULT_VIDEO_TOP_N) -> PrefixSearch:
    """Builds a ``PrefixSearch`` over the entries (see ``flatten``); every node
    keeps at most ``video_top_n`` videos for ranking."""
    from _brindlex import PrefixSearch

    return PrefixSearch.from_internal_data_v2(*_laid_out(entries)[0], video_top_n)


# -- the index of a catalogue, as Index.build made it -------------------------------------


def index_parts(entries: Iterable[Any], mode: str, video_top_n: int) -> tuple[PrefixSearch, bytes, Any]:
    """The engine, the notes (shown spellings, count fixes) and the text ids (None, or
    the native builder's (UTF-8, u32 ends) pair) of ``Index.build``."""
    import struct

    from _brindlex import PrefixSearch

    from brindlex import Completion, Suggestion
    from brindlex._fold import normaliser
    from brindlex._format import encode_notes
    from brindlex._native import Lookup

    spelled: dict[str, dict[str, int]] = {}
    plain: dict[str, int] = {}
    texts: list[str] = []
    flat, terms, ordered, nodes = _laid_out(_normalised(entries, normaliser(mode), spelled, plain), texts)  # type: ignore[arg-type]
    ids = None
    if texts:
        encoded = [t.encode("utf-8") for t in texts]
        ends = [sum(map(len, encoded[: k + 1])) for k in range(len(encoded))]
        ids = (b"".join(encoded), struct.pack(f"<{len(ends)}I", *ends))
    engine = PrefixSearch.from_internal_data_v2(*flat, video_top_n)
    shown = _shown_spellings(spelled, plain)
    node_of = dict(zip(ordered, nodes)) if shown else {}
    spellings = sorted((node_of[term], text) for term, text in shown.items())
    notes = encode_notes(spellings, [])
    lookup = Lookup(engine, notes, Suggestion, Completion, ids)
    if lookup.saturated:
        fixes = [(node, terms[t]) for t, node in zip(ordered, nodes) if lookup.count(t) != terms[t]]
        if fixes:
            notes = encode_notes(spellings, sorted(fixes))
    return engine, notes, ids


def _value(count: Any) -> int:
    """What a count adds to its spelling: its value, for an int subclass too (a bad
    count passes through for the layout to report)."""
    if isinstance(count, bool):
        return 0
    try:
        return max(operator.index(count), 0)
    except TypeError:
        return 0


def _normalised(
    entries: Iterable[Any], normal: Callable[[str], str], spelled: dict[str, dict[str, int]], plain: dict[str, int]
) -> Iterator[Any]:
    """The entries with their terms normalised; a term spelt otherwise than its
    normal form has that spelling's count added to ``spelled[normal][spelling]``, one
    spelt as its normal form to ``plain[normal]`` (exact sums, never saturated).
    Anything malformed passes through for the layout to report."""
    from brindlex._fold import fold

    try:
        iterator = iter(entries)
    except TypeError:
        raise TypeError(f"entries must be an iterable, not {type(entries).__name__}") from None
    for i, entry in enumerate(iterator):
        if type(entry) is tuple and len(entry) == 3:
            term, count, videos = entry
        else:
            try:
                term, count, videos = entry
            except (TypeError, ValueError):
                yield entry
                continue
        if not isinstance(term, str):
            yield entry
            continue
        key = normal(term)
        if key == term:
            plain[key] = plain.get(key, 0) + _value(count)
            yield entry
            continue
        if not key:
            raise ValueError(f"entry {i}: the term {_shown(term)} is empty once normalised; no query can find it")
        # A folding index shows spellings with their whitespace squeezed as the key's is.
        shown = " ".join(term.split()) if normal is fold else term
        if shown == key:
            plain[key] = plain.get(key, 0) + _value(count)
        else:
            per = spelled.setdefault(key, {})
            per[shown] = per.get(shown, 0) + _value(count)
        yield (key, count, videos)


def _shown_spellings(spelled: dict[str, dict[str, int]], plain: dict[str, int]) -> dict[str, str]:
    """For each normalised term, the spelling to show where it is not the term itself:
    the spelling with the largest count, the earliest in code-point order among equal
    counts. The term's own spelling counts for the entries spelt as the term."""
    shown: dict[str, str] = {}
    for key, spellings in spelled.items():
        candidates = dict(spellings)
        if plain.get(key, 0) > 0:
            candidates[key] = plain[key]
        best = min(candidates.items(), key=lambda kv: (-kv[1], kv[0]))[0]
        if best != key:
            shown[key] = best
    return shown
