# The package's own native module: term lookups over a PrefixSearch's store, checksums.
from collections.abc import Buffer, Callable, Iterable, Sequence
from typing import IO, Any, Generic, Literal, Protocol, TypeVar, final, overload

_T = TypeVar("_T")

from _brindlex import PrefixSearch

from ._fold import TextMode
from ._results import Completion, Suggestion

# (node, spelling): a term to show otherwise than itself.
_Shown = tuple[int, str]
# (node, count): a term whose own count a saturated total hides.
_Fix = tuple[int, int]
_SlowEntry = Callable[
    [int, Any, Callable[[str], str] | None, str | None, tuple[int, str, int] | None],
    tuple[str, int, list[tuple[bytes | int | str, int]], str | None, int],
]
# Text video ids: (UTF-8 bytes, u32 end offsets as little-endian bytes), or None.
_Ids = tuple[bytes, bytes] | None
_SlowRow = Callable[
    [str, int, bytes | None, Any, str | None, int],
    tuple[str, int, bytes | int | str | None, int | None] | tuple[int, ...] | None,
]

def build(
    entries: Iterable[Any],
    video_top_n: int,
    mode: TextMode,
    normal: Callable[[str], str] | None,
    slow_entry: _SlowEntry,
    text_ids: bool = False,
    /,
) -> tuple[PrefixSearch, list[_Shown], list[_Fix], _Ids]: ...
def lay_out(
    entries: Iterable[Any], slow_entry: _SlowEntry, /
) -> tuple[list[int], list[str], list[tuple[int, list[int], list[int]] | None], list[int], list[bytes]]: ...
class _Readable(Protocol):
    def read(self, n: int, /) -> bytes: ...

def read_catalogue(
    stream: _Readable,
    fmt: str,
    video_top_n: int,
    mode: TextMode,
    normal: Callable[[str], str] | None,
    slow_row: _SlowRow,
    row_error: Callable[[int, str], BaseException],
    progress: Callable[[int], object] | None,
    sum_counts: bool,
    text_ids: bool = False,
    /,
) -> tuple[PrefixSearch, list[_Shown], list[_Fix], int, int, int, int, _Ids]: ...

def write_index(lookup: Lookup, text_mode: int, video_top_n: int, /) -> bytes | None: ...
def open_index(
    source: int | Buffer, verify: bool, map: bool, suggestion: type[Suggestion], completion: type[Completion], /
) -> tuple[Lookup, int, int, bool]: ...
def add_words(lookup: Lookup, separators: Callable[[list[int]], Sequence[int]], /) -> None: ...
def crc32c(data: Buffer, value: int = 0, /) -> int: ...
def prepare(engine: PrefixSearch, /) -> None: ...
def check_snapshot(data: Buffer, notes: Buffer | None = None, /) -> tuple[int, int, int, str, int, list[str], list[str]]: ...
def check_engine(engine: PrefixSearch, notes: Buffer | None = None, /) -> tuple[list[str], list[str]]: ...
@final
class Lookup:
    def __new__(
        cls,
        engine: PrefixSearch,
        notes: bytes,
        suggestion: type[Suggestion],
        completion: type[Completion],
        ids: _Ids = None,
        /,
    ) -> Lookup: ...
    def video_ids(self, found: list[tuple[str, float]], /) -> list[tuple[str, float]]: ...
    def videos(
        self, term: str, max_dist: int, limit: int | None, include_prefix_nodes: bool | None, min_score: float | None, /
    ) -> list[tuple[str, float]]: ...
    def suggest(self, text: str, limit: int, max_dist: int, transpositions: bool, /) -> list[Suggestion]: ...
    def complete(self, prefix: str, limit: int, max_dist: int, transpositions: bool, /) -> list[Completion]: ...
    def count(self, text: str, /) -> int: ...
    def contains(self, text: str, /) -> bool: ...
    def spelling(self, term: str, /) -> str: ...
    @overload
    def terms(self, prefix: str, items: Literal[False], /) -> Listing[str]: ...
    @overload
    def terms(self, prefix: str, items: Literal[True], /) -> Listing[tuple[str, int]]: ...
    def __len__(self) -> int: ...
    @property
    def engine(self) -> PrefixSearch: ...
    @property
    def id_form(self) -> Literal["int32", "uuid", "text"]: ...
    @property
    def saturated(self) -> bool: ...
    @property
    def node_count(self) -> int: ...
    @property
    def memory_bytes(self) -> int: ...
    @property
    def words(self) -> bool: ...
    @property
    def file_bytes(self) -> int: ...

@final
class Listing(Generic[_T]):
    def __iter__(self) -> Listing[_T]: ...
    def __next__(self) -> _T: ...
