"""Index files written and read whole: the writer that ``save``, ``Index.save`` and the
command line share, and the reader of a file's bytes.

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
from typing import TYPE_CHECKING

from ._format import IndexFile, read_index_file

if TYPE_CHECKING:
    from _brindlex import PrefixSearch

__all__ = ["StrPath", "read_file", "write_file"]

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


def read_file(path: StrPath) -> IndexFile:
    """Reads and verifies the index file (or bare snapshot) ``path``. Raises OSError,
    or ValueError naming ``path`` when the file is damaged or no index."""
    name = os.fspath(path)
    with open(path, "rb") as f:
        return read_index_file(f, name if isinstance(name, str) else os.fsdecode(name))


def _restore(data: bytes) -> PrefixSearch:
    """Unpickles an index (see ``brindlex.__init__``): importing this module on the
    way registers pickling in the receiving process too."""
    from _brindlex import PrefixSearch

    return PrefixSearch.from_bytes(data)
