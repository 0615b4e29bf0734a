"""Text video ids against integer ids: the words + videos of the benchmark written as a
TSV catalogue twice, once with integer ids and once with text ids (11 characters, as
short video ids are), then `brindlex build` of each (cold: the first run, its file just
written; warm: median of the runs after), the index file's size, and `videos()` on the
mapped file: cold (each query once, in sequence, as a server meets them) with warm
(median of repeated calls) beside.

Called by bench.py; alone:

    PYTHONPATH=build/release:python python3 benchmarks/text_ids.py [--words N]
"""

from __future__ import annotations

import argparse
import base64
import statistics
import sys
import tempfile
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchdata as bd  # noqa: E402
import benchutil as bu  # noqa: E402

SEED = 20240611
WARM_BUILDS = 2
QUERIES = 1000


def write_forms(entries: list[Any], folder: Path) -> dict[str, tuple[Path, int]]:
    """The entries as two TSV catalogues, ids numbered in the order first seen: "int"
    (decimal) and "text" (the number's bytes in URL-safe base 64, with a letter first so
    that no id reads as a number). Returns form -> (path, rows)."""
    numbers: dict[bytes, int] = {}
    out = {}
    for form in ("int", "text"):
        path = folder / f"catalogue-{form}.tsv"
        rows = 0
        with path.open("w", encoding="utf-8") as f:
            f.write("term\tcount\tvideo_id\tvideo_count\n")
            for term, count, videos in entries:
                merged: dict[bytes, int] = {}
                for vid, c in videos:
                    merged[vid] = merged.get(vid, 0) + c
                for vid, c in merged.items():
                    n = numbers.setdefault(vid, len(numbers))
                    shown = str(n) if form == "int" else "v" + base64.urlsafe_b64encode(n.to_bytes(8, "little")).decode()[:10]
                    f.write(f"{term}\t{count}\t{shown}\t{c}\n")
                    rows += 1
                if not merged:
                    f.write(f"{term}\t{count}\t\t\n")
                    rows += 1
        out[form] = (path, rows)
    return out


def text_ids_section(words: list[str], out: dict[str, Any]) -> None:
    from building import cli_build_s

    import brindlex

    entries = bd.payload_entries(words, SEED)
    queries = [(q,) for q, _, _ in bd.make_queries(words, QUERIES, SEED + 7)]
    rows = []
    out["text_ids"] = {}
    with tempfile.TemporaryDirectory() as folder:
        forms = write_forms(entries, Path(folder))
        del entries
        for form, (path, nrows) in forms.items():
            index_path = Path(folder) / f"{form}.brx"
            builds = [cli_build_s(path, index_path) for _ in range(WARM_BUILDS + 1)]
            size = index_path.stat().st_size
            index = brindlex.Index.load(index_path)
            assert index.id_form == ("text" if form == "text" else "int32"), index.id_form
            cold, sizes = bu.cold_ns(index.videos, queries)
            warm, _ = bu.per_query_ns(index.videos, queries, min_reps=3, max_reps=50, target_ns=2_000_000)
            fig = {
                "rows": nrows, "build_cold_s": builds[0], "build_warm_s": statistics.median(builds[1:]),
                "file_bytes": size, "videos_cold_us": bu.summary_us(cold), "videos_warm_us": bu.summary_us(warm),
                "results": sum(sizes),
            }
            out["text_ids"][form] = fig
            rows.append([form, nrows, fig["build_cold_s"], fig["build_warm_s"], size / 1e6,
                         fig["videos_cold_us"]["median_us"], fig["videos_cold_us"]["p99_us"],
                         fig["videos_warm_us"]["median_us"], fig["videos_warm_us"]["p99_us"]])
            del index
    print(bu.table(["ids", "rows", "build cold s", f"build warm s (median of {WARM_BUILDS})", "file MB",
                    "videos() cold p50 us", "cold p99 us", "warm p50 us", "warm p99 us"], rows, digits=2))
    t, i = out["text_ids"]["text"], out["text_ids"]["int"]
    print(f"text ids / int ids: build {t['build_cold_s'] / i['build_cold_s']:.2f}x cold, "
          f"{t['build_warm_s'] / i['build_warm_s']:.2f}x warm; file {t['file_bytes'] / i['file_bytes']:.2f}x; "
          f"videos() cold p50 {t['videos_cold_us']['median_us'] / i['videos_cold_us']['median_us']:.2f}x "
          f"({len(queries)} misspelt queries, each once, limit 10).")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--words", type=int, default=0, help="use only the first N words (0: all)")
    args = parser.parse_args()
    words = bd.load_words()
    if args.words:
        words = words[: args.words]
    bu.section("Text video ids against integer ids")
    text_ids_section(words, {})


if __name__ == "__main__":
    main()
