"""Typed use of brindlex, checked with mypy --strict and also run as a script.

Each ``assert_type`` pins a result type of the stubs; each ``type: ignore`` marks a
call the stubs must refuse (under --strict an ignore that is not needed is an
error, so a stub that turns too permissive fails the check).
"""

from __future__ import annotations

import uuid
from typing import assert_type

import brindlex
from _brindlex import PrefixSearch
from brindlex import FlatIndex, build_index, flatten

ENTRIES = [
    ("cat", 10, [(1001, 6), (1002, 4)]),
    ("car", 5, [(1002, 5)]),
    ("cart", 2, [(1003, 2)]),
    ("dog", 3, [(1004, 3)]),
]


def terms_near(index: PrefixSearch, term: str) -> list[str]:
    return [found for found, _, _ in index.fuzzy_match(term, max_dist=1, limit=None)]


def best_video(index: PrefixSearch, term: str) -> str | None:
    ranked = index.fuzzy_match_video(term, 1, 5, include_prefix_nodes=None, min_score=0.02)
    return ranked[0][0] if ranked else None


def main() -> None:
    index = build_index(ENTRIES, video_top_n=10)
    assert_type(index, PrefixSearch)
    assert_type(brindlex.PrefixSearch, type[PrefixSearch])

    flat = flatten(ENTRIES)
    assert_type(flat, FlatIndex)
    again = PrefixSearch.from_internal_data_v2(*flat, video_top_n=10)
    assert_type(again, PrefixSearch)
    by_keyword = PrefixSearch.from_internal_data_v2(
        node_shifts=flat.node_shifts,
        child_labels=flat.child_labels,
        payloads=flat.payloads,
        child_transitions=flat.child_transitions,
        video_index=[uuid.UUID(int=1).bytes],
        video_top_n=0,
    )
    assert_type(by_keyword, PrefixSearch)

    assert_type(index.fuzzy_match("cat"), list[tuple[str, int, int]])
    assert_type(index.fuzzy_match_video("cat"), list[tuple[str, float]])
    # min_score takes what float() takes; ints and bools are accepted where ints are.
    index.fuzzy_match_video("cat", min_score=0)
    index.fuzzy_match_video("cat", include_prefix_nodes=True, min_score=None)
    index.fuzzy_match("cat", True, 3)

    blob = index.to_bytes()
    assert_type(blob, bytes)
    restored = PrefixSearch.from_bytes(b=blob)
    assert_type(restored, PrefixSearch)

    searched = brindlex.Index.build(ENTRIES)
    assert_type(searched.complete("cta"), list[brindlex.Completion])
    assert_type(searched.complete("ca", 3, max_dist=0, transpositions=False)[0].distance, int)
    assert_type(searched.suggest("cta", 3, max_dist="auto"), list[brindlex.Suggestion])
    assert_type(searched.videos("cat", 5, max_dist="auto"), list[tuple[str, float]])
    assert searched.complete("cta", max_dist=1)[0] == ("cat", 1, 10)

    assert terms_near(restored, "cat") == ["car", "cart", "cat"]
    assert best_video(restored, "cat") == "1001"


def refused(index: PrefixSearch) -> None:
    """Never run: calls that the runtime rejects and the stubs must reject too."""
    index.fuzzy_match(5)  # type: ignore[arg-type]
    index.fuzzy_match("cat", None)  # type: ignore[arg-type]
    index.fuzzy_match("cat", 1.5)  # type: ignore[arg-type]
    index.fuzzy_match("cat", 1, None, None)  # type: ignore[call-arg]
    index.fuzzy_match_video("cat", min_score="0.5")  # type: ignore[arg-type]
    searched = brindlex.Index.build(ENTRIES)
    searched.suggest("cat", 3, 2)  # type: ignore[call-arg]
    searched.complete("cat", 3, max_dist="some")  # type: ignore[arg-type]
    searched.videos("cat", 5, 1)  # type: ignore[call-arg]
    index.fuzzy_match_video("cat", include_prefix_nodes="yes")  # type: ignore[arg-type]
    index.to_bytes(1)  # type: ignore[call-arg]
    PrefixSearch.from_bytes(bytearray(b""))  # type: ignore[arg-type]
    PrefixSearch.from_bytes("")  # type: ignore[arg-type]
    ranked: list[tuple[str, int]] = index.fuzzy_match_video("cat")  # type: ignore[assignment]
    del ranked


if __name__ == "__main__":
    main()
    print("ok")
