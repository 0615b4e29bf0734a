"""Builds an index of the sample catalogue and answers a few misspelt queries with it:
suggestions best first with their counts, completions of what was typed so far, and the
videos that best match.

Run from the repository root once the native module is built:

    PYTHONPATH=build/release:python python3 examples/demo.py
"""

from __future__ import annotations

import sys
import tempfile
import uuid
from pathlib import Path

try:
    from brindlex import Index
except ImportError as exc:
    sys.exit(f"{exc}: build the native module and set PYTHONPATH=build/release:python")

CATALOGUE = Path(__file__).resolve().parent.parent / "samples" / "catalogue.tsv"
# The index folds case and accents: 'Creme Brulee' meets 'crème brûlée'.
QUERIES = [
    "chiken curri", "guitr", "Pyhton", "Creme Brulee", "jalapeno popers", "barcelna",
]
VIDEO_TOP_N = 10
SHOWN = 5


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


def main() -> None:
    catalogue = read_catalogue(CATALOGUE)
    entries = [(term, count, videos) for term, (count, videos) in catalogue.items()]
    index = Index.build(entries, video_top_n=VIDEO_TOP_N)

    videos = len({video for _, vids in catalogue.values() for video, _ in vids})
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "catalogue.brx"
        index.save(path)
        size = path.stat().st_size
        again = Index.load(path)
    same = again.engine.to_bytes() == index.engine.to_bytes() and again.complete("") == index.complete("")
    print(f"catalogue: {CATALOGUE.name}, {len(catalogue)} terms, {videos} videos")
    print(f"index: {len(index)} terms once folded, file {size} bytes (video_top_n {VIDEO_TOP_N})")
    print(f"saved and loaded again: {'the same' if same else 'DIFFERENT'}")
    labels = video_labels(catalogue)

    for query in QUERIES:
        print(f"\nquery {query!r}")
        suggestions = index.suggest(query, SHOWN, max_dist=2)
        shown = ", ".join(f"{s.term!r} ({s.distance}, {s.count:,})" for s in suggestions)
        print(f"  suggestions (edits, searches): {shown or '(none)'}")
        typed = query[: max(2, len(query) * 2 // 3)]  # as typed so far, typos and all
        completions = ", ".join(f"{c.term!r} ({c.distance})" for c in index.complete(typed, 3))
        print(f"  completions of {typed!r} (edits): {completions or '(none)'}")
        ranked = index.videos(query, SHOWN, max_dist=2)
        print("  top videos (max_dist 2):" if ranked else "  top videos (max_dist 2): (none)")
        for video, score in ranked:
            print(f"    {score:6.3f}  {video}  {labels.get(video, '?')}")


if __name__ == "__main__":
    main()
