"""Catalogue rows (term, count, video id, video count) from TSV or JSON lines: the
rules, and the slow path of the native reader.

A catalogue repeats a term's count on each of its video rows, so rows of one term
are merged into one entry: they must agree on the count (or, with ``sum_counts``,
their counts are added up, saturating at 4294967295), and each names a different
video. A row with an empty video id gives a term with no video of its own.
Video ids are UUIDs, unsigned 32-bit integers or text (at most 255 bytes of UTF-8,
no control characters), one kind per catalogue, which its first id decides: once
that is text (neither a UUID nor an integer), every later id is text as written, so
"007" stays "007"; after a first UUID or integer id, a text id is refused (``brindlex
build --text-ids`` takes every id as text from the start).
A catalogue has two forms, which its TSV header decides: ``term, count`` (no videos)
and ``term, count, video_id, video_count``; a JSON line gives ``video_id`` and
``video_count`` together or neither. Every problem is reported as a RowError with
its 1-based line number.

``brindlex._native.read_catalogue`` reads the rows in their plain form natively; each
other line (the TSV header, a bad row, JSON it does not take at once) comes to
``row_of`` here, which reads it the long way and words the error. ``read_rows`` reads a
whole catalogue in Python: the model the native reader is tested against.
"""

from __future__ import annotations

import re
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

from ._build import MAX_TEXT_ID, U32_MAX

__all__ = ["COLUMNS", "Catalogue", "RowError", "read_rows", "row_of"]

COLUMNS = ("term", "count", "video_id", "video_count")
TERM_COLUMNS = COLUMNS[:2]  # the form without videos
_SUM_HINT = " (brindlex build --sum-counts adds them up)"

_UUID_TEXT = re.compile(r"[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}")
_DIGITS = re.compile(r"[0-9]+")

_EMPTY = "the file is empty; expected the header line: " + "\\t".join(COLUMNS)

_UUID = "UUID"
_INT = "integer"
_TEXT = "text"
_KIND_PHRASE = {_UUID: "a UUID", _INT: "an integer", _TEXT: "text"}
_KIND_PLURAL = {_UUID: "UUIDs", _INT: "integers", _TEXT: "text"}


class RowError(Exception):
    def __init__(self, line: int, message: str, json_like: bool = False) -> None:
        super().__init__(f"line {line}: {message}")
        self.line = line
        self.message = message
        self.json_like = json_like  # the TSV header looks like JSON


@dataclass
class _Term:
    count: int
    line: int
    videos: dict[bytes | int | str, tuple[int, int]] = field(default_factory=dict)  # id -> (count, line)


@dataclass
class Catalogue:
    terms: dict[str, _Term] = field(default_factory=dict)
    rows: int = 0
    id_kind: str | None = None
    id_kind_line: int = 0
    # The index's normaliser, when given: a term it leaves empty is an error at its line.
    normal: Callable[[str], str] | None = None
    # Rows of one term with different counts: added up instead of refused.
    sum_counts: bool = False
    _videos: set[bytes | int | str] = field(default_factory=set)

    @property
    def video_count(self) -> int:
        return len(self._videos)

    def entries(self) -> Iterator[tuple[str, int, list[tuple[bytes | int | str, int]]]]:
        """(term, count, [(video id, count), ...]) for ``brindlex.flatten``."""
        for term, t in self.terms.items():
            yield term, t.count, [(vid, c) for vid, (c, _) in t.videos.items()]

    def add(self, line: int, term: str, count: int, video: bytes | int | str | None, video_count: int | None) -> None:
        self.rows += 1
        known = self.terms.get(term)
        if known is None:
            if self.normal is not None and not self.normal(term):
                raise RowError(line, f"the term {_shown(term)} is empty once normalised; no query can find it")
            known = self.terms[term] = _Term(count, line)
        elif self.sum_counts:
            known.count = min(known.count + count, U32_MAX)
        elif known.count != count:
            raise RowError(
                line,
                f"term {_shown(term)} has count {count} here but {known.count} on line {known.line}{_SUM_HINT}",
            )
        if video is None:
            return
        assert video_count is not None
        first = known.videos.get(video)
        if first is not None:
            raise RowError(
                line, f"term {_shown(term)} lists video {_id_text(video)} again (first on line {first[1]})"
            )
        known.videos[video] = (video_count, line)
        self._videos.add(video)

    def kind_of(self, line: int, kind: str, text: str) -> None:
        if self.id_kind is None:
            self.id_kind, self.id_kind_line = kind, line
        elif kind != self.id_kind:
            hint = " (its first id decides: brindlex build --text-ids reads every id as text)" if kind == _TEXT else ""
            raise RowError(
                line,
                f"video id '{_cut(text)}' is {_KIND_PHRASE[kind]}, but the ids before it are "
                f"{_KIND_PLURAL[self.id_kind]} (from line {self.id_kind_line}); a catalogue uses one kind{hint}",
            )


def _shown(term: str) -> str:
    return repr(term if len(term) <= 40 else term[:40] + "...")


def _quoted(text: str) -> str:
    """A field as messages quote it: at most 80 characters of it, then "..."."""
    return repr(_cut(text))


def _cut(text: str) -> str:
    return text if len(text) <= 80 else text[:80] + "..."


def _id_text(video: bytes | int | str) -> str:
    if isinstance(video, str):
        return f"'{video}'"
    if isinstance(video, int):
        return str(video)
    h = video.hex()
    return f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"


def _check_term(line: int, term: str) -> str:
    if not term:
        raise RowError(line, "the term is empty")
    if "\0" in term:
        raise RowError(line, f"term {_shown(term)} contains the character U+0000")
    if not term.isascii():
        try:
            term.encode("utf-8")
        except UnicodeEncodeError:
            raise RowError(line, f"term {_shown(term)} contains a lone surrogate") from None
    return term


def _digits_value(line: int, text: str, what: str) -> int:
    """The value of a string of digits, which Python converts only up to a few
    thousand digits: anything longer is far beyond 32 bits anyway."""
    limit = sys.get_int_max_str_digits()
    text = text.lstrip("0") or "0"  # leading zeros add nothing, however many
    if limit and len(text) > limit:
        raise RowError(line, f"{what} of {len(text)} digits is larger than {U32_MAX}")
    return int(text)


def _u32_text(line: int, text: str, what: str) -> int:
    if not _DIGITS.fullmatch(text):
        raise RowError(line, f"{what} {_quoted(text)} is not an unsigned integer")
    value = _digits_value(line, text, what)
    if value > U32_MAX:
        raise RowError(line, f"{what} {_cut(str(value))} is larger than {U32_MAX}")
    return value


def _u32_json(line: int, value: Any, what: str) -> int:
    if type(value) is not int:
        import json

        raise RowError(line, f"{what} must be an unsigned integer, not {_cut(json.dumps(value))}")
    if not 0 <= value <= U32_MAX:
        raise RowError(line, f"{what} {_cut(str(value))} is outside 0..{U32_MAX}")
    return value


def _is_zero(value: Any) -> bool:
    return type(value) is int and value == 0


def _text_id(line: int, text: str) -> str:
    try:
        size = len(text.encode("utf-8"))
    except UnicodeEncodeError:
        raise RowError(line, f"video id {_quoted(text)} holds a lone surrogate") from None
    if size > MAX_TEXT_ID:
        raise RowError(line, f"video id {_quoted(text)} is {size} bytes of UTF-8, more than {MAX_TEXT_ID}")
    if any(c < " " or "\x7f" <= c <= "\x9f" for c in text):
        raise RowError(line, f"video id {_quoted(text)} holds a control character")
    return text


def _video_text(cat: Catalogue, line: int, text: str) -> bytes | int | str:
    if cat.id_kind == _TEXT:
        return _text_id(line, text)
    if _UUID_TEXT.fullmatch(text):
        cat.kind_of(line, _UUID, text)
        return bytes.fromhex(text.replace("-", ""))
    if _DIGITS.fullmatch(text):
        value = _digits_value(line, text, "integer video id")
        if value > U32_MAX:
            raise RowError(line, f"integer video id {_cut(str(value))} is larger than {U32_MAX}")
        cat.kind_of(line, _INT, text)
        return value
    text = _text_id(line, text)
    cat.kind_of(line, _TEXT, text)
    return text


def _tsv_header(header: str) -> list[int]:
    """The positions of term, count, video_id and video_count (-1 for the last two in
    the form without videos)."""
    names = header.split("\t")
    if sorted(names) == sorted(TERM_COLUMNS):
        return [names.index(c) for c in TERM_COLUMNS] + [-1, -1]
    if sorted(names) != sorted(COLUMNS):
        raise RowError(
            1,
            f"the header must name the columns {', '.join(COLUMNS)} (or only {', '.join(TERM_COLUMNS)}), "
            f"separated by tabs; found {_quoted(header)}",
            json_like=header.lstrip().startswith(("{", "[")),
        )
    return [names.index(c) for c in COLUMNS]


def _tsv_row(cat: Catalogue, line: int, text: str, at: Sequence[int]) -> None:
    fields = text.split("\t")
    width = 2 if at[2] < 0 else len(COLUMNS)
    if len(fields) != width:
        raise RowError(line, f"expected {width} tab-separated fields, found {len(fields)}")
    term, count_text = fields[at[0]], fields[at[1]]
    video_text, video_count_text = ("", "") if width == 2 else (fields[at[2]], fields[at[3]])
    term = _check_term(line, term)
    count = _u32_text(line, count_text, "count")
    if video_text == "":
        if video_count_text not in ("", "0"):
            raise RowError(line, "a video count without a video id")
        cat.add(line, term, count, None, None)
        return
    video = _video_text(cat, line, video_text)
    cat.add(line, term, count, video, _u32_text(line, video_count_text, "video count"))


def _tsv_rows(cat: Catalogue, lines: Iterator[tuple[int, str]]) -> None:
    try:
        _, header = next(lines)
    except StopIteration:
        raise RowError(1, _EMPTY) from None
    at = _tsv_header(header)
    for line, text in lines:
        if text:
            _tsv_row(cat, line, text, at)


def _jsonl_rows(cat: Catalogue, lines: Iterator[tuple[int, str]]) -> None:
    for line, text in lines:
        if text.strip():
            _jsonl_row(cat, line, text)


class _DuplicateKey(Exception):
    pass


def _no_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    """An object's keys, each once: a key given twice would silently take its last value."""
    row = dict(pairs)
    if len(row) != len(pairs):
        seen: set[str] = set()
        for key, _ in pairs:
            if key in seen:
                raise _DuplicateKey(key)
            seen.add(key)
    return row


def _jsonl_row(cat: Catalogue, line: int, text: str) -> None:
    # Imported where JSON is read (the slow path and the model), not at every command's start.
    import json

    try:
        row = json.loads(text, object_pairs_hook=_no_duplicates)
    except json.JSONDecodeError as exc:
        raise RowError(line, f"not valid JSON: {exc.msg} at column {exc.colno}") from None
    except _DuplicateKey as exc:
        raise RowError(line, f"the key {_quoted(exc.args[0])} is given twice") from None
    except RecursionError:
        raise RowError(line, "not valid JSON: nested too deeply") from None
    except ValueError as exc:  # an integer of more digits than Python converts
        raise RowError(line, f"not valid JSON: {exc}") from None
    if not isinstance(row, dict):
        raise RowError(line, "expected a JSON object with the keys " + ", ".join(COLUMNS))
    unknown = sorted(set(row) - set(COLUMNS))
    if unknown:
        raise RowError(line, f"unknown key {_quoted(unknown[0])}; the keys are " + ", ".join(COLUMNS))
    for key in ("term", "count"):
        if key not in row:
            raise RowError(line, f"the key {key!r} is missing")
    term = row["term"]
    if not isinstance(term, str):
        raise RowError(line, f"term must be a string, not {_cut(json.dumps(term))}")
    term = _check_term(line, term)
    count = _u32_json(line, row["count"], "count")
    vid = row.get("video_id")
    if vid is None or vid == "":
        if row.get("video_count") is not None and not _is_zero(row["video_count"]):
            raise RowError(line, "a video count without a video id")
        cat.add(line, term, count, None, None)
        return
    if isinstance(vid, str):
        video = _video_text(cat, line, vid)
    elif type(vid) is int and cat.id_kind == _TEXT:
        video = _text_id(line, str(vid))
    elif type(vid) is int:
        if not 0 <= vid <= U32_MAX:
            raise RowError(line, f"integer video id {_cut(str(vid))} is outside 0..{U32_MAX}")
        cat.kind_of(line, _INT, str(vid))
        video = vid
    else:
        raise RowError(line, f"video_id must be a string or an integer, not {_cut(json.dumps(vid))}")
    if "video_count" not in row:
        raise RowError(line, "the key 'video_count' is missing")
    cat.add(line, term, count, video, _u32_json(line, row["video_count"], "video count"))


def _decoded_line(number: int, raw: bytes) -> str:
    # The last line of a file may lack its line feed, a CRLF file's too.
    raw = raw.removesuffix(b"\n").removesuffix(b"\r")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise RowError(number, f"not valid UTF-8 (byte 0x{raw[exc.start]:02x} at byte {exc.start + 1})") from None
    if number == 1 and text.startswith("\ufeff"):
        text = text[1:]
    return text


def _decoded(lines: Iterable[bytes]) -> Iterator[tuple[int, str]]:
    for number, raw in enumerate(lines, start=1):
        yield number, _decoded_line(number, raw)


class _OneRow(Catalogue):
    """A catalogue that keeps the one row it is given, checking only the id kind."""

    row: tuple[str, int, bytes | int | str | None, int | None] | None = None

    def add(self, line: int, term: str, count: int, video: bytes | int | str | None, video_count: int | None) -> None:
        self.row = (term, count, video, video_count)


Row = tuple[str, int, bytes | int | str | None, int | None]


def row_of(
    fmt: str, line: int, raw: bytes | None, columns: Sequence[int] | None, id_kind: str | None, id_kind_line: int
) -> Row | tuple[int, ...] | None:
    """One line the native reader did not take: the TSV header's column positions (for
    line 1 of a TSV file), None for a line without a row, or the row (term, count, video
    id or None, video count or None). Raises RowError as ``read_rows`` would at this
    line, given the id kind of the rows before (``id_kind``, from ``id_kind_line``).
    ``raw`` is None for an empty file."""
    if raw is None:
        raise RowError(1, _EMPTY)
    text = _decoded_line(line, raw)
    if fmt == "tsv" and columns is None:
        return tuple(_tsv_header(text))
    cat = _OneRow(id_kind=id_kind, id_kind_line=id_kind_line)
    if fmt == "tsv":
        if not text:
            return None
        assert columns is not None
        _tsv_row(cat, line, text, columns)
    else:
        if not text.strip():
            return None
        _jsonl_row(cat, line, text)
    return cat.row


def read_rows(
    lines: Iterable[bytes], fmt: str, normal: Callable[[str], str] | None = None, sum_counts: bool = False,
    text_ids: bool = False,
) -> Catalogue:
    """Reads catalogue rows from raw lines (as a binary file yields them).

    ``fmt`` is "tsv" (a header line naming the columns, then one row per line) or
    "jsonl" (one JSON object per line with the column names as keys). Raises
    RowError for the first bad line; with ``normal`` (the index's normaliser), a term
    it leaves empty is one. With ``sum_counts``, rows of one term add up their counts;
    with ``text_ids``, every video id is text as written.
    """
    cat = Catalogue(normal=normal, sum_counts=sum_counts, id_kind=_TEXT if text_ids else None)
    if fmt == "tsv":
        _tsv_rows(cat, _decoded(lines))
    elif fmt == "jsonl":
        _jsonl_rows(cat, _decoded(lines))
    else:
        raise ValueError(f"unknown format {fmt!r}")
    return cat
