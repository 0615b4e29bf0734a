"""Index files read for the commands: refused with one line that says what is wrong,
unless they are sound."""

from __future__ import annotations

import sys
from collections.abc import Callable
from typing import TYPE_CHECKING

from .._files import read_file
from .._format import IndexFile
from .._index import Index
from .._opening import engine_of
from ._errors import Failure
from ._output import writing

if TYPE_CHECKING:
    from _brindlex import PrefixSearch


def native() -> type[PrefixSearch]:
    try:
        from _brindlex import PrefixSearch

        from .. import _native  # noqa: F401
    except ImportError as exc:
        raise Failure(f"the native modules cannot be loaded: {exc}") from None
    return PrefixSearch


def read_index_file(path: str) -> IndexFile:
    try:
        return read_file(path)
    except OSError as exc:
        raise Failure(f"cannot read {path}: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise Failure(str(exc)) from None


def refuse_damage(path: str, damage: list[str]) -> None:
    """Stops the command (exit 1) at the first damage the check found."""
    if damage:
        with writing():
            sys.stdout.flush()  # the figures before the message
        raise Failure(f"{path}: the snapshot is damaged: {damage[0]}")


def load(path: str, file: IndexFile | None = None) -> Index:
    """The index of a file that is sound, or Failure with what is wrong: the checks of
    stats, on the engine decoded once. Queries and stats load through here alike, so
    that no query answers from a file stats passes, nor stats passes one queries refuse.
    A file used in place was checked so before it was written, and is checked on open
    for what keeps every read inside it."""
    native()
    from .._native import check_engine

    if file is not None and file.whole is None:
        # Already read (by stats), and decoded on load: no second read of the file.
        try:
            engine = engine_of(file, path)
        except ValueError as exc:
            raise Failure(str(exc)) from None
        try:
            index = Index._make(engine, file.mode, file.notes, file.video_top_n)
        except ValueError as exc:  # as Index.load words it
            raise Failure(f"{path}: {exc}") from None
        refuse_damage(path, check_engine(engine)[0])
        return index
    try:
        index = Index.load(path)
    except OSError as exc:
        raise Failure(f"cannot read {path}: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise Failure(str(exc)) from None
    if not index.in_place:
        refuse_damage(path, check_engine(index.engine)[0])
    return index


def run_query[T](path: str, run: Callable[[], T]) -> T:
    try:
        return run()
    except Exception:
        raise
    except BaseException as exc:
        # The module's InternalFailure derives from BaseException on purpose, to get
        # past careless handlers; here it only means the snapshot is damaged.
        if type(exc).__name__ != "InternalFailure":
            raise
        raise Failure(f"{path}: the snapshot is damaged ({exc})") from None
