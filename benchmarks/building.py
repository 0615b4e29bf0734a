"""Building: build_index and Index.build from Python entries, the former Python layout
beside them, `brindlex build` from catalogue files, and (with --big) the synthetic
vocabulary of 2 million terms."""

from __future__ import annotations

import json
import os
import statistics
import sys
import time
from dataclasses import asdict
from pathlib import Path
from typing import Any

import benchdata as bd
import benchutil as bu
import brindlex
from benchconfig import MB, SEED, VIDEO_TOP_N, Config, mean

# Targets of the build (cold figures are beside them in the tables).
BUILD_INDEX_S = 0.4  # build_index of the words + videos
CATALOGUE_M_ROWS_S = 1.0  # brindlex build, rows per second


def build_section(words: list[str], cfg: Config, out: dict[str, Any]) -> tuple[Any, dict[str, Any], Any, list[Any]]:
    """Both vocabularies built and measured; returns the index without videos and its
    figures, the index with videos and the entries it was built from."""
    print(f"Word list {bd.WORDLIST} ({len(words):,} terms); video_top_n {VIDEO_TOP_N}; median of "
          f"{cfg.build_runs} run(s).")
    print(f"Videos: 1-4 per term from a pool of {bd.VIDEO_POOL:,} random 16-byte UUIDs, Zipf(a={bd.ZIPF_A}) "
          f"counts; a term's count is the sum of its video counts (no videos: Zipf counts alone).")
    plain_index, plain_fig = build_one("words, no videos", bd.plain_entries(words, SEED), cfg)
    video_entries = bd.payload_entries(words, SEED)
    video_index, video_fig = build_one("words + videos", video_entries, cfg)
    out["build"] = [plain_fig, video_fig]
    out["_nodes"] = {plain_fig["name"]: plain_fig["nodes"], video_fig["name"]: video_fig["nodes"]}
    print(build_table([plain_fig, video_fig]))
    build_notes()
    verdict = bu.target(video_fig["build_index_s"], BUILD_INDEX_S, " s")
    video_fig["target"] = verdict
    print(f"build_index of the words + videos: {video_fig['build_index_s']:.2f} s ({verdict}); "
          f"cold {video_fig['build_index_cold_s']:.2f} s.")
    former = former_layout_s(video_entries)
    out["former_python_layout_s"] = former
    print("The former Python layout (now the tests' model, tests/python/layout_model.py) and")
    print(f"from_internal_data_v2 on the words + videos, in this run: {former:.2f} s, "
          f"{former / video_fig['build_index_s']:.1f}x build_index.")
    return plain_index, plain_fig, video_index, video_entries


def build_one(name: str, entries: list[Any], cfg: Config) -> tuple[Any, dict[str, Any]]:
    """Times build_index end to end (Python entries in, a PrefixSearch out): cold (the
    first call in the process) and plain (the median of the runs that follow), and
    Index.build once; measures the instance and the peak while building. Returns the
    last instance built and the figures."""
    build_s = []
    index = None
    rss_growth = 0
    peak_growth: int | None = None
    for run in range(cfg.build_runs + 1):
        index = None
        bu.settle()
        can_peak = bu.reset_peak()
        before = bu.rss_bytes()
        dt, index = bu.timed(lambda: brindlex.build_index(entries, VIDEO_TOP_N))
        build_s.append(dt)
        if run == 0:
            peak_growth = bu.peak_bytes() - before if can_peak else None
            bu.settle()
            rss_growth = bu.rss_bytes() - before
    assert index is not None
    bu.settle()
    index_s, built = bu.timed(lambda: brindlex.Index.build(entries, video_top_n=VIDEO_TOP_N))
    del built
    bu.settle()

    blob = index.to_bytes()
    probe = bu.from_bytes_rss(blob)
    figures = {
        "name": name,
        "terms": len(entries),
        "nodes": bd.count_nodes([term for term, _, _ in entries]),
        "build_index_cold_s": build_s[0],
        "build_index_s": statistics.median(build_s[1:]),
        "build_index_runs_s": build_s,
        "index_build_s": index_s,
        "rss_growth_build_bytes": rss_growth,
        "peak_growth_build_bytes": peak_growth,
        "rss_growth_from_bytes_bytes": probe["rss_growth"],
        "peak_growth_from_bytes_bytes": probe["peak_growth"],
        "snapshot_bytes": len(blob),
    }
    return index, figures


def build_table(rows: list[dict[str, Any]]) -> str:
    def mb(v: int | None) -> float | None:
        return None if v is None else v / MB

    def ratio(peak: int | None, built: int) -> str:
        return "-" if peak is None or built <= 0 else f"{peak / built:.2f}x"

    return bu.table(
        ["vocabulary", "terms", "nodes", "build_index cold s", "build_index s", "Index.build s", "built MB",
         "build peak MB", "peak/built", "restored MB", "restore peak MB", "restored B/node", "snapshot MB"],
        [
            [r["name"], r["terms"], r["nodes"], r["build_index_cold_s"], r["build_index_s"], r["index_build_s"],
             mb(r["rss_growth_build_bytes"]), mb(r["peak_growth_build_bytes"]),
             ratio(r["peak_growth_build_bytes"], r["rss_growth_build_bytes"]),
             mb(r["rss_growth_from_bytes_bytes"]), mb(r["peak_growth_from_bytes_bytes"]),
             r["rss_growth_from_bytes_bytes"] / r["nodes"], r["snapshot_bytes"] / MB]
            for r in rows
        ],
        digits=2,
    )


def build_notes() -> None:
    print("build_index: entries (Python objects) to a PrefixSearch, end to end; cold: the first call in")
    print("  this process, then the median of the runs after it. Index.build: the same with folding and")
    print("  the lookups an Index prepares, once. built MB / build peak MB: resident growth across the")
    print("  cold build_index (entries alive), after the call and at its peak; peak/built: their ratio.")
    print("  restored MB / restore peak MB: the same across from_bytes of the instance's snapshot in a")
    print("  fresh process. snapshot MB: to_bytes size. MB = 10^6 bytes.")


def former_layout_s(entries: list[Any]) -> float:
    """The build as it was before it was native: the Python layout, kept as the tests' model."""
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
    try:
        import layout_model
    finally:
        sys.path.pop(0)
    bu.settle()
    seconds, index = bu.timed(lambda: layout_model.build_index(entries, VIDEO_TOP_N))
    del index
    bu.settle()
    return seconds


def write_catalogue(entries: list[Any], path: Path, fmt: str) -> int:
    """Writes the entries as catalogue rows (one per video, or one without); returns the
    number of rows."""
    import uuid

    rows = 0
    with path.open("w", encoding="utf-8") as f:
        if fmt == "tsv":
            f.write("term\tcount\tvideo_id\tvideo_count\n")
        for term, count, videos in entries:
            merged: dict[bytes, int] = {}
            for vid, c in videos:
                merged[vid] = merged.get(vid, 0) + c
            listed = [(str(uuid.UUID(bytes=v)), c) for v, c in merged.items()] or [("", 0)]
            for vid, c in listed:
                if fmt == "tsv":
                    f.write(f"{term}\t{count}\t{vid}\t{c if vid else ''}\n")
                else:
                    row = {"term": term, "count": count, **({"video_id": vid, "video_count": c} if vid else {})}
                    f.write(json.dumps(row, ensure_ascii=False) + "\n")
                rows += 1
    return rows


def cli_build_s(path: Path, out_path: Path) -> float:
    """Wall time of `brindlex build` in a new interpreter, start-up included."""
    import subprocess

    env = dict(os.environ)
    t0 = time.perf_counter()
    subprocess.run([sys.executable, "-m", "brindlex", "build", str(path), "-o", str(out_path)], env=env, check=True,
                   stdout=subprocess.DEVNULL)
    return time.perf_counter() - t0


def catalogue_section(entries: list[Any], cfg: Config, out: dict[str, Any]) -> None:
    """`brindlex build` on the words + videos written as TSV and as JSON lines: cold (the
    first run, its file just written) and plain (median of the runs after), rows per
    second end to end; and the peak while reading and building in this process."""
    import io
    import tempfile

    from brindlex._fold import normaliser
    from brindlex._native import read_catalogue
    from brindlex._rows import RowError, row_of

    rows_out = []
    out["catalogue"] = {}
    with tempfile.TemporaryDirectory() as folder:
        for fmt in ("tsv", "jsonl"):
            path = Path(folder) / f"words.{fmt}"
            rows = write_catalogue(entries, path, fmt)
            times = [cli_build_s(path, Path(folder) / "words.brx") for _ in range(cfg.build_runs + 1)]
            data = path.read_bytes()
            bu.settle()
            can_peak = bu.reset_peak()
            before = bu.rss_bytes()
            built = read_catalogue(io.BytesIO(data), fmt, VIDEO_TOP_N, "fold", normaliser("fold"), row_of, RowError, None, False)
            peak = bu.peak_bytes() - before if can_peak else None
            bu.settle()
            kept = bu.rss_bytes() - before
            del built
            bu.settle()
            fig = {"rows": rows, "bytes": len(data), "cold_s": times[0], "plain_s": statistics.median(times[1:]),
                   "runs_s": times, "peak_growth_bytes": peak, "rss_growth_bytes": kept}
            del data
            out["catalogue"][fmt] = fig
            fig["target"] = bu.target(rows / fig["plain_s"] / 1e6, CATALOGUE_M_ROWS_S, "M rows/s", at_least=True)
            rows_out.append([fmt, rows, fig["bytes"] / MB, fig["cold_s"], rows / fig["cold_s"], fig["plain_s"],
                             rows / fig["plain_s"], None if peak is None else peak / MB, kept / MB,
                             "-" if peak is None or kept <= 0 else f"{peak / kept:.2f}x", fig["target"]])
    print(bu.table(["format", "rows", "file MB", "cold s", "cold rows/s", "plain s", "plain rows/s",
                    "peak MB", "built MB", "peak/built", "target (plain)"], rows_out, digits=2))
    print("s: `brindlex build FILE -o INDEX` in a new interpreter (start-up, folding, writing the file")
    print("  included). peak MB / built MB: resident growth at the peak of read_catalogue on the file's")
    print("  bytes in this process (the bytes already read, not counted) and after it (the instance).")


def synthetic_catalogue_section(words: list[str], cfg: Config, out: dict[str, Any]) -> None:
    """`brindlex build` on a catalogue of the 2 million synthetic words of --big (Zipf
    counts, no videos): cold, one run, its file just written."""
    import tempfile

    dt_gen, big_words = bu.timed(lambda: bd.LetterModel(words).generate(cfg.big_terms, SEED + 7))
    counts = bd.term_counts(len(big_words), SEED + 8)
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "synthetic.tsv"
        with path.open("w", encoding="utf-8") as f:
            f.write("term\tcount\tvideo_id\tvideo_count\n")
            f.writelines(f"{t}\t{c}\t\t\n" for t, c in zip(big_words, counts))
        size = path.stat().st_size
        del big_words, counts
        bu.settle()
        seconds = cli_build_s(path, Path(folder) / "synthetic.brx")
        index_bytes = (Path(folder) / "synthetic.brx").stat().st_size
    out["synthetic_catalogue"] = {"terms": cfg.big_terms, "bytes": size, "cold_s": seconds, "index_bytes": index_bytes,
                                  "generate_s": dt_gen}
    print()
    print(f"{cfg.big_terms:,} synthetic words (the vocabulary of --big: 9.1 million nodes; Zipf counts, no videos; "
          f"{size / MB:.0f} MB of TSV):")
    print(f"  `brindlex build` {seconds:.2f} s cold ({cfg.big_terms / seconds:,.0f} rows/s), index file "
          f"{index_bytes / MB:.0f} MB; generating the words took {dt_gen:.1f} s.")


def big_section(words: list[str], cfg: Config, out: dict[str, Any]) -> None:
    print()
    print(f"Synthetic vocabulary: {cfg.big_terms:,} distinct words from an order-3 letter model")
    print("trained on the word list (seed fixed), terms with Zipf counts and no videos.")
    dt_gen, big_words = bu.timed(lambda: bd.LetterModel(words).generate(cfg.big_terms, SEED + 7))
    entries = bd.plain_entries(big_words, SEED + 8)
    big_cfg = Config(**{**asdict(cfg), "build_runs": 1})
    index, fig = build_one("synthetic 2M", entries, big_cfg)
    fig["generate_s"] = dt_gen
    del entries
    bu.settle()
    print(build_table([fig]))
    print(f"(generating the words took {dt_gen:.1f} s; one build run; peak RSS of this process "
          f"so far {bu.process_peak_rss_bytes() / 1e9:.2f} GB)")

    queries = [q for q, _, _ in bd.make_queries(big_words, cfg.big_queries, SEED + 9)]
    rows = []
    fig["fuzzy_match"] = {}
    cold_k = {k: bu.cold_ns(index.fuzzy_match, [(q, k) for q in queries])[0] for k in (0, 1, 2)}
    for k in (0, 1, 2):
        ns, sizes = bu.per_query_ns(index.fuzzy_match, [(q, k) for q in queries],
                                    min_reps=cfg.min_reps, max_reps=cfg.max_reps, target_ns=cfg.target_ns)
        cold, warm = bu.summary_us(cold_k[k]), bu.summary_us(ns)
        fig["fuzzy_match"][str(k)] = {"cold": cold, "warm": warm, "mean_results": mean(sizes)}
        rows.append([f"k={k}", len(queries), cold["median_us"], cold["p99_us"], warm["median_us"], mean(sizes)])
    print()
    print("fuzzy_match on the synthetic vocabulary (misspelt queries as in the fuzzy_match section; cold: each once, in sequence):")
    print(bu.table(["max_dist", "queries", "cold median us", "cold p99 us", "warm median us", "mean results"], rows))
    out["big"] = fig
    del index
    bu.settle()
