"""Builds an index of the sample catalogue and runs a few misspelt queries on it.

Run from the repository root once the native module is built:

    PYTHONPATH=build/release:python python3 examples/demo.py
"""

from __future__ import annotations

import sys
import uuid
from pathlib import Path

try:
    from brindlex import PrefixSearch, build_index
except ImportError as exc:
    sys.exit(f"{exc}: build the native module and set PYTHONPATH=build/release:python")

CATALOGUE = Path(__file__).resolve().parent.parent / "samples" / "catalogue.tsv"
# Accents are compared exactly: 'creme brulee' is three edits from 'crème brûlée',
# 'crème brulee' two.
QUERIES = [
    "chiken curri", "guitr", "pyhton", "creme brulee", "crème brulee", "jalapeno popers",
    "barcelna",
]
VIDEO_TOP_N = 10
SHOWN_TERMS = 6


def read_catalogue(path: Path) -> dict[str, tuple[int, list[tuple[uuid.UUID, int]]]]:
    """{term: (count, [(video id, video count), ...])} from the rows of the TSV,
    which repeat a term's count on each of its video rows."""
    terms: dict[str, tuple[int, list[tuple[uuid.UUID, int]]]] = {}
    with path.open(encoding="utf-8") as f:
        header = f.readline().rstrip("\n")
        if header != "term\tcount\tvideo_id\tvideo_count":
            raise ValueError(f"{path}: unexpected header {header!r}")
        for line_no, line in enumerate(f, start=2):
            term, count, video, video_count = line.rstrip("\n").split("\t")
            known = terms.setdefault(term, (int(count), []))
            if known[0] != int(count):
                raise ValueError(f"{path}:{line_no}: count of {term!r} differs from an earlier row")
            known[1].append((uuid.UUID(video), int(video_count)))
    return terms


def video_labels(catalogue: dict[str, tuple[int, list[tuple[uuid.UUID, int]]]]) -> dict[str, str]:
    """A readable name for each video: the catalogue term that sends it the most views."""
    best: dict[str, tuple[int, str]] = {}
    for term, (_, videos) in catalogue.items():
        for video, count in videos:
            key = str(video)
            if key not in best or count > best[key][0]:
                best[key] = (count, term)
    return {key: term for key, (_, term) in best.items()}


def show_terms(index: "PrefixSearch", query: str, max_dist: int) -> None:
    matches = sorted(index.fuzzy_match(query, max_dist), key=lambda m: (m[2], m[0]))
    shown = ", ".join(f"{term!r} ({dist})" for term, _, dist in matches[:SHOWN_TERMS])
    more = f" and {len(matches) - SHOWN_TERMS} more" if len(matches) > SHOWN_TERMS else ""
    print(f"  terms within {max_dist}: {shown or '(none)'}{more}")


def main() -> None:
    catalogue = read_catalogue(CATALOGUE)
    entries = [(term, count, videos) for term, (count, videos) in catalogue.items()]
    index = build_index(entries, VIDEO_TOP_N)

    nodes = len({term[:i] for term in catalogue for i in range(len(term) + 1)})
    videos = len({video for _, vids in catalogue.values() for video, _ in vids})
    snapshot = index.to_bytes()
    print(f"catalogue: {CATALOGUE.name}")
    print(
        f"index: {nodes} nodes, {len(catalogue)} terms, {videos} videos, "
        f"snapshot {len(snapshot)} bytes (video_top_n {VIDEO_TOP_N})"
    )
    same = PrefixSearch.from_bytes(snapshot).to_bytes() == snapshot
    print(f"snapshot read back and written again: {'identical' if same else 'DIFFERENT'}")
    labels = video_labels(catalogue)

    for query in QUERIES:
        print(f"\nquery {query!r}")
        show_terms(index, query, 1)
        show_terms(index, query, 2)
        ranked = index.fuzzy_match_video(query, max_dist=2, limit=5)
        print("  top videos (max_dist 2):" if ranked else "  top videos (max_dist 2): (none)")
        for video, score in ranked:
            print(f"    {score:6.3f}  {video}  {labels.get(video, '?')}")


if __name__ == "__main__":
    main()
