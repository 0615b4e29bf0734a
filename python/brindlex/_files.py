"""Indexes in files: ``save`` and ``load``, and the writer the command line shares.

An index file (see _format) is written so that its name never shows a cut file: the bytes go to a
temporary file beside the target, which is then renamed over it. The target is what
the name leads to: a symbolic link is followed and its target replaced, and a name
that leads to something other than a regular file (``/dev/null``, a named pipe) is
written through, since renaming over it would replace the device or pipe with a file.

A temporary file is named ``.brindlex-PID-RANDOM.tmp`` after the process writing it. A
writer killed before it could remove its own (SIGKILL, a power cut) leaves it behind;
the next write into the same folder removes those whose process no longer exists.
"""

from __future__ import annotations

import contextlib
import errno
import os
import re
import secrets
import stat
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from ._format import EMPTY_NOTES, IndexFile, IndexFileError, no_snapshot_error, read_index_file

if TYPE_CHECKING:
    from _brindlex import PrefixSearch

__all__ = ["StrPath", "load", "read_file", "save", "write_file"]

StrPath = str | os.PathLike[str]


def write_file(path: StrPath, data: bytes | Iterable[bytes]) -> None:
    """Writes ``data`` (bytes, or pieces written one after another) to ``path`` as
    described above. Raises OSError naming ``path``."""
    try:
        _write_file(path, [data] if isinstance(data, bytes) else data)
    except OSError as exc:
        if exc.filename == os.fspath(path) or exc.errno is None:
            raise
        # Name the file the caller gave, not the temporary one beside it.
        raise type(exc)(exc.errno, exc.strerror, os.fspath(path)) from None


def _write_file(path: StrPath, chunks: Iterable[bytes]) -> None:
    target = os.path.realpath(path)
    try:
        old: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        old = None
    mode = None if old is None else old.st_mode
    if mode is not None and stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
    if mode is not None and not stat.S_ISREG(mode):
        fd = os.open(target, os.O_WRONLY)
        with os.fdopen(fd, "wb") as f:
            for chunk in chunks:
                f.write(chunk)
        return

    fd, tmp = _temporary_beside(target)
    try:
        with os.fdopen(fd, "wb") as f:
            # A replaced file keeps its owner, group and permissions; a new one has the
            # usual ones already, 0o666 less the umask, which the system applied when it
            # made the file.
            if old is not None:
                _keep_owner(f.fileno(), old)
                os.fchmod(f.fileno(), stat.S_IMODE(old.st_mode))
            for chunk in chunks:
                f.write(chunk)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _keep_owner(fd: int, old: os.stat_result) -> None:
    """Gives the new file the owner and group of the one it replaces, as far as this
    process may (the superuser any, others a group they belong to); before the mode,
    which a change of owner may clear bits of."""
    new = os.fstat(fd)
    if (old.st_uid, old.st_gid) == (new.st_uid, new.st_gid):
        return
    for uid, gid in ((old.st_uid, old.st_gid), (-1, old.st_gid)):
        try:
            os.fchown(fd, uid, gid)
            return
        except PermissionError:
            continue


_TEMPORARY = re.compile(r"\.brindlex-([0-9]+)-[0-9a-f]{16}\.tmp")


def _temporary_beside(target: str) -> tuple[int, str]:
    """A new file of an unused name in the target's folder, open for writing, after
    removing the temporary files there whose writer is gone."""
    folder = os.path.dirname(target)
    _remove_abandoned(folder)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    for _ in range(100):
        name = os.path.join(folder, f".brindlex-{os.getpid()}-{secrets.token_hex(8)}.tmp")
        try:
            return os.open(name, flags, 0o666), name
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no unused temporary name", folder)


def _remove_abandoned(folder: str) -> None:
    """Removes the temporary files of writers that no longer run. Best effort: a folder
    that cannot be listed, or a file another process removes first, is left be."""
    try:
        with os.scandir(folder or ".") as entries:
            names = [(e.name, int(m.group(1))) for e in entries if (m := _TEMPORARY.fullmatch(e.name))]
    except OSError:
        return
    for name, pid in names:
        if pid != os.getpid() and not _running(pid):
            with contextlib.suppress(OSError):
                os.unlink(os.path.join(folder, name))


def _running(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError, ValueError):
        return True  # another user's process, or a number no process has: keep it
    return True


def save(index: Any, path: StrPath) -> None:
    """Writes ``index`` (a ``PrefixSearch`` or an ``Index``) to the index file ``path``,
    the way ``brindlex build`` writes its output: an existing file is replaced whole or
    not at all. A ``PrefixSearch`` is written with exact text comparison. Raises
    TypeError for anything else and OSError naming ``path``."""
    from ._index import Index

    if isinstance(index, Index):
        index.save(path)
        return
    from _brindlex import PrefixSearch

    if not isinstance(index, PrefixSearch):
        raise TypeError(f"save() takes a PrefixSearch or an Index, not {type(index).__name__}")
    from ._index import Completion, Suggestion, index_chunks
    from ._native import Lookup

    try:
        lookup: Lookup | None = Lookup(index, EMPTY_NOTES, Suggestion, Completion)
    except ValueError:  # no tree from the root: kept as a snapshot (version 1)
        lookup = None
    write_file(path, index_chunks(lookup, index, EMPTY_NOTES, "exact", None))


def read_file(path: StrPath) -> IndexFile:
    """Reads and verifies the index file (or bare snapshot) ``path``. Raises OSError,
    or ValueError naming ``path`` when the file is damaged or no index."""
    name = os.fspath(path)
    with open(path, "rb") as f:
        return read_index_file(f, name if isinstance(name, str) else os.fsdecode(name))


def load(path: StrPath, *, mmap: bool = True, verify: bool = True) -> PrefixSearch:
    """Restores the engine of an index file written by ``save``, ``Index.save`` or
    ``brindlex build`` (or of a bare snapshot, ``to_bytes``), with everything a query
    may need made, so that workers forked afterwards share it all. A file of the
    current format is used in place, as ``Index.load`` says. Raises OSError when the
    file cannot be read and ValueError naming the file when it is damaged or holds no
    index."""
    from ._index import open_in_place

    from ._index import _open_bytes

    opened = open_in_place(path, mmap, verify)
    if not isinstance(opened, IndexFile):
        return opened[0].engine
    if opened.whole is not None:  # read from a pipe, say
        return _open_bytes(opened.whole, str(os.fspath(path)), verify)[0].engine
    return engine_of(opened, path)


def engine_of(file: IndexFile, path: StrPath) -> PrefixSearch:
    """The engine of a file read, with everything its queries need made (see
    ``brindlex._native.prepare``)."""
    from _brindlex import PrefixSearch

    from ._native import prepare

    try:
        engine = PrefixSearch.from_bytes(file.snapshot)
    except ValueError as exc:
        if file.checksummed:
            raise IndexFileError(f"{os.fspath(path)!s}: the snapshot in the file cannot be read ({exc})") from None
        raise no_snapshot_error(f"{os.fspath(path)!s}", exc) from None
    prepare(engine)
    return engine


def engine_of_file(file: IndexFile, path: StrPath) -> PrefixSearch:
    """The engine of a file read, of either version."""
    if file.whole is not None:
        from ._index import Index

        return Index._from_file(file, path).engine
    return engine_of(file, path)


def _restore(data: bytes) -> PrefixSearch:
    """Unpickles an index (see ``brindlex.__init__``): importing this module on the
    way registers pickling in the receiving process too."""
    from _brindlex import PrefixSearch

    return PrefixSearch.from_bytes(data)
