"""Typo-tolerant lookup of search terms and their videos.

``Index.build(entries)`` and ``Index.load(path)`` make an ``Index``: best-first
suggestions with counts, completion, exact lookups and video ranking, with case and
accent folding. Beneath it, ``build_index(entries, video_top_n)`` makes the engine,
a ``PrefixSearch``, from ``(term, count, [(video id, count), ...])`` entries;
``flatten(entries)`` gives the flat arrays it is made from; ``save(index, path)`` and
``load(path)`` keep an engine in an index file. ``PrefixSearch`` lives in the native module ``_brindlex``
and building in ``brindlex._native``; the package imports without them, and only what
needs them then fails.

Importing this package makes indexes picklable (through their snapshot), so that
they can be handed to other processes, ``multiprocessing`` workers for one.
"""

import copyreg
from pkgutil import extend_path
from typing import TYPE_CHECKING, Any

# A build tree holds the package's native module in <build>/brindlex, beside the
# engine; with it on sys.path, the sources and the build import as one package.
__path__ = extend_path(__path__, __name__)

from ._files import _restore  # noqa: E402
from ._save_load import load, save  # noqa: E402
from ._index import Completion, Index, Suggestion  # noqa: E402
from ._build import U32_MAX, FlatIndex, build_index, flatten  # noqa: E402

if TYPE_CHECKING:
    from _brindlex import PrefixSearch

__version__ = "0.1.0"

__all__ = [
    "Completion",
    "FlatIndex",
    "Index",
    "PrefixSearch",
    "Suggestion",
    "U32_MAX",
    "__version__",
    "build_index",
    "flatten",
    "load",
    "save",
]


def _reduce(index: "PrefixSearch") -> tuple[Any, tuple[bytes]]:
    return _restore, (index.to_bytes(),)


def __getattr__(name: str) -> Any:
    if name == "PrefixSearch":
        from _brindlex import PrefixSearch

        globals()["PrefixSearch"] = PrefixSearch
        return PrefixSearch
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


try:
    from _brindlex import PrefixSearch as _PrefixSearch
except ImportError:  # not built, or refused in a subinterpreter: the package still imports
    pass
else:
    copyreg.pickle(_PrefixSearch, _reduce)
