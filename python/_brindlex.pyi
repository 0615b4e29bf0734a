"""Type stubs of the native module ``_brindlex``.

Installed twice: beside the extension (for editors that read ``.pyi`` files next to
modules) and as ``_brindlex-stubs/__init__.pyi`` (mypy only takes top-level modules
from site-packages through a stub package).
"""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

__all__ = ["PrefixSearch"]

# (count, video numbers, video counts); video numbers index ``video_index``.
_PayloadTuple = tuple[SupportsIndex, Sequence[SupportsIndex], Sequence[SupportsIndex]]

@final
class PrefixSearch:
    """A read-only prefix trie of terms with video payloads.

    There is no constructor: instances come from ``from_internal_data_v2`` and
    ``from_bytes`` only, and never change afterwards.
    """

    @staticmethod
    def from_internal_data_v2(
        node_shifts: Sequence[SupportsIndex],
        child_labels: Sequence[str],
        payloads: Sequence[_PayloadTuple | None],
        child_transitions: Sequence[SupportsIndex],
        video_index: Sequence[Sequence[SupportsIndex]],
        video_top_n: SupportsIndex,
    ) -> PrefixSearch:
        """Builds a store from flat trie arrays (``brindlex.flatten`` makes them).

        Raises TypeError for values of the wrong type, OverflowError for integers
        out of range and ValueError for arrays that do not fit together.
        """

    def to_bytes(self) -> bytes:
        """The snapshot of this store; ``from_bytes`` restores it."""

    @staticmethod
    def from_bytes(b: bytes) -> PrefixSearch:
        """Restores a store from a snapshot. Raises ValueError ("decode error: ...")
        for bytes that are not a snapshot and TypeError for anything but bytes."""

    def fuzzy_match(
        self, term: str, max_dist: SupportsIndex = 1, limit: SupportsIndex | None = None
    ) -> list[tuple[str, int, int]]:
        """Indexed terms within ``max_dist`` edits of ``term``, as
        ``(term, 1, distance)`` in trie order; with a limit, the first ``limit``."""

    def fuzzy_match_video(
        self,
        term: str,
        max_dist: SupportsIndex = 1,
        limit: SupportsIndex | None = None,
        include_prefix_nodes: bool | None = None,
        min_score: SupportsFloat | SupportsIndex | None = None,
    ) -> list[tuple[str, float]]:
        """Videos for ``term`` as ``(video id, score)``, best first.

        ``include_prefix_nodes`` None lets prefix-only matches count when no
        indexed term is within reach; ``min_score`` None means 0.01.
        """
