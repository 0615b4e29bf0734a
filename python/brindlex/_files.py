"""Snapshots in files: ``save`` and ``load``, and the writer the command line shares.

A snapshot is written so that its name never shows a cut file: the bytes go to a
temporary file beside the target, which is then renamed over it. The target is what
the name leads to: a symbolic link is followed and its target replaced, and a name
that leads to something other than a regular file (``/dev/null``, a named pipe) is
written through, since renaming over it would replace the device or pipe with a file.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import tempfile
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from _brindlex import PrefixSearch

__all__ = ["load", "save", "write_file"]

StrPath = str | os.PathLike[str]


def write_file(path: StrPath, data: bytes) -> None:
    """Writes ``data`` to ``path`` as described above. Raises OSError."""
    target = os.path.realpath(path)
    try:
        mode: int | None = os.stat(target).st_mode
    except FileNotFoundError:
        mode = None
    if mode is not None and stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
    if mode is not None and not stat.S_ISREG(mode):
        fd = os.open(target, os.O_WRONLY)
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        return

    fd, tmp = tempfile.mkstemp(prefix=".brindlex-", suffix=".tmp", dir=os.path.dirname(target))
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        # A replaced file keeps its permissions; a new one gets the usual ones.
        os.chmod(tmp, stat.S_IMODE(mode) if mode is not None else 0o666 & ~_umask())
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def save(index: PrefixSearch, path: StrPath) -> None:
    """Writes the snapshot of ``index`` (``index.to_bytes()``) to ``path``, the way
    ``brindlex build`` writes its output: an existing file is replaced whole or not at
    all. Raises OSError."""
    write_file(path, index.to_bytes())


def load(path: StrPath) -> PrefixSearch:
    """Restores an index from a snapshot file written by ``save`` or ``brindlex
    build``. Raises OSError when the file cannot be read and ValueError ("decode
    error: ...") when it holds no snapshot."""
    from _brindlex import PrefixSearch

    with open(path, "rb") as f:
        data = f.read()
    return PrefixSearch.from_bytes(data)


def _restore(data: bytes) -> PrefixSearch:
    """Unpickles an index (see ``brindlex.__init__``): importing this module on the
    way registers pickling in the receiving process too."""
    from _brindlex import PrefixSearch

    return PrefixSearch.from_bytes(data)
