"""The benchmark of brindlex: build cost, query latency, snapshot throughput and two
brute-force peers, printed as plain text tables.

    PYTHONPATH=build/release:python python3 benchmarks/bench.py [--quick] [--big] [--json PATH]

--quick    fewer queries and repetitions: a smoke run of well under a minute
           (also chosen by BRINDLEX_BENCH_QUICK=1 in the environment)
--big      adds a synthetic vocabulary of 2 million terms (several GB, a few minutes)
--json     also writes every figure to PATH

Latencies are per call (time.perf_counter_ns around each call): each query is called
once to warm up, then repeatedly; a query's figure is the median of its calls, and the
tables give the median and the 99th percentile of those figures over all queries.
benchmarks/README.md explains every column.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import statistics
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchdata as bd  # noqa: E402
import benchutil as bu  # noqa: E402
import in_place  # noqa: E402
import peers  # noqa: E402
from listing import listing_section  # noqa: E402
from long_term import long_term_section  # noqa: E402
from words import words_section  # noqa: E402
from search_box import search_box_section  # noqa: E402
from symdelete import SymmetricDelete  # noqa: E402

try:
    import brindlex
    from _brindlex import PrefixSearch
    from brindlex.snapshot import check_snapshot
except ImportError as exc:  # reported after the arguments, so that --help always works
    missing: ImportError | None = exc
else:
    missing = None

VIDEO_TOP_N = 10
VIDEO_LIMIT = 10
SEED = 20240611
MB = 1e6


@dataclass
class Config:
    mode: str
    queries: int  # misspelt queries, and prefixes per length
    min_reps: int
    max_reps: int
    target_ns: int  # timed calls per query aim at about this much time
    build_runs: int
    snapshot_runs: int
    rapidfuzz_queries: int
    rapidfuzz_batch: int
    levenshtein_queries: int
    big_terms: int
    big_queries: int


FULL = Config("default", 1000, 5, 100, 1_500_000, 3, 7, 1000, 100, 100, 2_000_000, 200)
QUICK = Config("quick", 100, 3, 20, 300_000, 1, 3, 30, 30, 5, 2_000_000, 50)


def mean(values: list[int]) -> float:
    return sum(values) / len(values) if values else float("nan")


def as_dict(results: list[tuple[str, int, int]]) -> dict[str, int]:
    return {term: dist for term, _, dist in results}


# -- 1. build ---------------------------------------------------------------------------


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
            rows_out.append([fmt, rows, fig["bytes"] / MB, fig["cold_s"], rows / fig["cold_s"], fig["plain_s"],
                             rows / fig["plain_s"], None if peak is None else peak / MB, kept / MB,
                             "-" if peak is None or kept <= 0 else f"{peak / kept:.2f}x"])
    print(bu.table(["format", "rows", "file MB", "cold s", "cold rows/s", "plain s", "plain rows/s",
                    "peak MB", "built MB", "peak/built"], rows_out, digits=2))
    print("s: `brindlex build FILE -o INDEX` in a new interpreter (start-up, folding, writing the file");
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
    print("fuzzy_match on the synthetic vocabulary (misspelt queries as in section 2; cold: each once, in sequence):")
    print(bu.table(["max_dist", "queries", "cold median us", "cold p99 us", "warm median us", "mean results"], rows))
    out["big"] = fig
    del index
    bu.settle()


# -- 2. fuzzy_match ---------------------------------------------------------------------


def fuzzy_section(index: Any, queries: list[str], cfg: Config, out: dict[str, Any]) -> dict[int, np.ndarray]:
    """Cold figures first (each query once, in sequence, before any warm-up), then warm
    ones. Returns the cold times per bound, which the peers are compared with."""
    per_k: dict[int, np.ndarray] = {}
    sizes_k: dict[int, list[int]] = {}
    for k in (0, 1, 2):
        per_k[k], sizes_k[k] = bu.cold_ns(index.fuzzy_match, [(q, k) for q in queries])
    rows = []
    out["fuzzy_match"] = {}
    for k in (0, 1, 2):
        ns, sizes = bu.per_query_ns(index.fuzzy_match, [(q, k) for q in queries],
                                    min_reps=cfg.min_reps, max_reps=cfg.max_reps, target_ns=cfg.target_ns)
        cold, warm = bu.summary_us(per_k[k]), bu.summary_us(ns)
        hit = sum(1 for n in sizes if n) / len(sizes)
        out["fuzzy_match"][str(k)] = {"cold": cold, "warm": warm, "mean_results": mean(sizes), "with_results": hit}
        rows.append([f"k={k}", len(queries), cold["median_us"], cold["p99_us"], warm["median_us"], warm["p99_us"],
                     mean(sizes), f"{hit * 100:.1f}%"])
    print(bu.table(["max_dist", "queries", "cold median us", "cold p99 us", "warm median us", "warm p99 us",
                    "mean results", "with results"], rows, digits=2))
    return per_k


# -- 2b. Index -----------------------------------------------------------------------------


def index_section(words: list[str], queries: list[str], cfg: Config, out: dict[str, Any]) -> Any:
    """What a search back end calls: suggest beside fuzzy_match at the same bound (the
    engine given the folded query), complete, count and membership; cold, then warm."""
    seconds, index = bu.timed(lambda: brindlex.Index.build(bd.plain_entries(words, SEED)))
    print(f"Index.build (folding) of the word list with Zipf counts: {seconds:.2f} s, {len(index):,} terms "
          f"after folding; lookups hold {index._lookup.memory_bytes / MB:.1f} MB beside the engine.")
    engine, fold = index.engine, index.normalize
    folded = [fold(q) for q in queries]
    prefixes = [p for n in range(1, 6) for p in bd.make_prefixes(words, n, max(cfg.queries // 10, 20), SEED + 7 * n)]
    cases: list[tuple[str, Any, list[tuple[Any, ...]], bool]] = []
    for k in (1, 2):
        cases.append((f"fuzzy_match k={k} (folded query)", engine.fuzzy_match, [(q, k) for q in folded], True))
        # Levenshtein, as fuzzy_match counts (section 2c times swaps)
        suggest = lambda q, k=k: index.suggest(q, 10, max_dist=k, transpositions=False)  # noqa: E731
        cases.append((f"suggest n=10 k={k}", suggest, [(q,) for q in queries], True))
    exact = lambda p: index.complete(p, 10, max_dist=0)  # noqa: E731
    cases.append(("complete n=10, prefixes of 1-5", exact, [(p,) for p in prefixes], True))
    # Each on queries of its own: the first to meet a query pays for bringing its path
    # into the cache, and a second would not.
    others = [q for q, _, _ in bd.make_queries(words, cfg.queries, SEED + 1)]
    cases.append(("count", index.count, [(q,) for q in queries], False))
    cases.append(("in (other queries)", index.__contains__, [(q,) for q in others], False))
    rows = []
    out["index"] = {"build_s": seconds, "terms": len(index), "cases": []}
    medians: dict[str, float] = {}
    for label, fn, args, sized in cases:
        cns, sizes = bu.cold_ns(fn, args, sized)
        wns, _ = bu.per_query_ns(fn, args, min_reps=cfg.min_reps, max_reps=cfg.max_reps,
                                 target_ns=cfg.target_ns, sized=sized)
        c, w = bu.summary_us(cns), bu.summary_us(wns)
        medians[label] = c["median_us"]
        out["index"]["cases"].append({"case": label, "queries": len(args), "cold": c, "warm": w,
                                      "mean_results": mean(sizes)})
        rows.append([label, len(args), c["median_us"], c["p99_us"], w["median_us"], w["p99_us"],
                     mean(sizes) if sized else ""])
    print(bu.table(["call", "queries", "cold median us", "cold p99 us", "warm median us", "warm p99 us",
                    "mean results"], rows, digits=2))
    for k in (1, 2):
        ratio = medians[f"suggest n=10 k={k}"] / medians[f"fuzzy_match k={k} (folded query)"]
        out["index"][f"suggest_over_fuzzy_k{k}"] = ratio
        print(f"suggest / fuzzy_match, cold medians, k={k}: {ratio:.2f}x")
    return index


# -- 3. fuzzy_match_video ---------------------------------------------------------------


def video_section(index: Any, words: list[str], queries: list[str], cfg: Config, out: dict[str, Any]) -> None:
    cases: list[tuple[str, list[str], int]] = [
        (f"prefix {n} char{'s' if n > 1 else ''}", bd.make_prefixes(words, n, cfg.queries, SEED + n), 1)
        for n in range(1, 6)
    ]
    cases += [("misspelt", queries, 1), ("misspelt", queries, 2)]
    rows = []
    out["fuzzy_match_video"] = []
    for label, terms, k in cases:
        cns, _ = bu.cold_ns(index.fuzzy_match_video, [(t, k, VIDEO_LIMIT) for t in terms])
        vns, vsizes = bu.per_query_ns(index.fuzzy_match_video, [(t, k, VIDEO_LIMIT) for t in terms],
                                      min_reps=cfg.min_reps, max_reps=cfg.max_reps, target_ns=cfg.target_ns)
        mns, msizes = bu.per_query_ns(index.fuzzy_match, [(t, k) for t in terms],
                                      min_reps=cfg.min_reps, max_reps=cfg.max_reps, target_ns=cfg.target_ns)
        c, v, m = bu.summary_us(cns), bu.summary_us(vns), bu.summary_us(mns)
        ratio = v["median_us"] / m["median_us"]
        out["fuzzy_match_video"].append({
            "terms": label, "max_dist": k, "queries": len(terms), "video_cold": c, "video": v, "fuzzy_match": m,
            "median_ratio": ratio, "mean_videos": mean(vsizes), "mean_terms": mean(msizes),
        })
        rows.append([label, f"k={k}", len(terms), c["median_us"], c["p99_us"], v["median_us"], mean(vsizes),
                     m["median_us"], mean(msizes), f"{ratio:.2f}x"])
    print(bu.table(["terms", "max_dist", "queries", "cold median us", "cold p99 us", "warm median us",
                    "mean videos", "fuzzy_match warm us", "mean terms", "video/match warm"], rows, digits=2))


# -- 4. snapshots -----------------------------------------------------------------------


def snapshot_section(indexes: list[tuple[str, Any, int]], cfg: Config, out: dict[str, Any]) -> None:
    rows = []
    out["snapshots"] = []
    for name, index, terms in indexes:
        to_s, from_s, check_s = [], [], []
        # One call each first: to_bytes on the instance as it is, from_bytes on new bytes.
        first_to, blob = bu.timed(index.to_bytes)
        first_from, restored = bu.timed(lambda: PrefixSearch.from_bytes(blob))
        del restored
        for _ in range(cfg.snapshot_runs):
            dt, b = bu.timed(index.to_bytes)
            to_s.append(dt)
            del b
            dt, restored = bu.timed(lambda: PrefixSearch.from_bytes(blob))
            from_s.append(dt)
            del restored
            dt, checked = bu.timed(lambda: check_snapshot(blob))
            check_s.append(dt)
            assert checked.problem is None, checked.problem
        same = PrefixSearch.from_bytes(blob).to_bytes() == blob
        nodes = out["_nodes"][name]
        fig = {
            "name": name, "bytes": len(blob), "to_bytes_MBps": len(blob) / MB / statistics.median(to_s),
            "from_bytes_MBps": len(blob) / MB / statistics.median(from_s),
            "to_bytes_s": to_s, "from_bytes_s": from_s, "check_snapshot_s": check_s,
            "to_bytes_first_MBps": len(blob) / MB / first_to, "from_bytes_first_MBps": len(blob) / MB / first_from,
            "bytes_per_term": len(blob) / terms, "bytes_per_node": len(blob) / nodes, "round_trip_equal": same,
        }
        out["snapshots"].append(fig)
        rows.append([name, len(blob) / MB, fig["to_bytes_first_MBps"], fig["from_bytes_first_MBps"],
                     fig["to_bytes_MBps"], fig["from_bytes_MBps"],
                     statistics.median(to_s) * 1e3, statistics.median(from_s) * 1e3,
                     statistics.median(check_s), fig["bytes_per_term"], fig["bytes_per_node"],
                     "yes" if same else "NO"])
    print(bu.table(["vocabulary", "snapshot MB", "to_bytes MB/s, 1st call", "from_bytes MB/s, 1st call",
                    "to_bytes MB/s, median", "from_bytes MB/s, median", "to_bytes ms", "from_bytes ms",
                    "check s", "B/term", "B/node", "round trip equal"], rows, digits=1))
    print("check s: brindlex.snapshot.check_snapshot, the decoding and checks of `brindlex stats` (native).")


# -- 5. peers ---------------------------------------------------------------------------


def peers_section(index: Any, words: list[str], queries: list[str], module_ns: dict[int, np.ndarray],
                  module_rss: int, module_build_s: float, cfg: Config, out: dict[str, Any]) -> None:
    import Levenshtein
    from rapidfuzz import process
    from rapidfuzz.distance import Levenshtein as RfLevenshtein

    rf_distance = RfLevenshtein.distance
    lev_distance = Levenshtein.distance
    vocab_bytes = sys.getsizeof(words) + sum(map(sys.getsizeof, words))

    def rapidfuzz_one(q: str, k: int) -> dict[str, int]:
        row = process.cdist([q], words, scorer=rf_distance, score_cutoff=k, dtype=np.int8, workers=1)[0]
        return {words[i]: int(row[i]) for i in np.flatnonzero(row <= k)}

    def levenshtein_loop(q: str, k: int) -> dict[str, int]:
        found = {}
        for w in words:
            d = lev_distance(q, w, score_cutoff=k)
            if d <= k:
                found[w] = d
        return found

    def run_peer(fn: Any, subset: list[str], k: int) -> tuple[np.ndarray, list[dict[str, int]]]:
        """One timed call per query (each takes milliseconds), after one warm-up call."""
        fn(subset[0], k)
        found: list[dict[str, int]] = []

        def keep(q: str) -> dict[str, int]:
            found.append(fn(q, k))
            return found[-1]

        ns, _ = bu.cold_ns(keep, [(q,) for q in subset])
        return ns, found

    def batch_peer(subset: list[str], k: int, size: int) -> np.ndarray:
        """Per-query time of cdist over chunks of `size` queries: the vocabulary is
        prepared once per call, so this is rapidfuzz at its best on a fixed query set."""
        per_query = []
        for a in range(0, len(subset), size):
            chunk = subset[a:a + size]
            t0 = time.perf_counter_ns()
            m = process.cdist(chunk, words, scorer=rf_distance, score_cutoff=k, dtype=np.int8, workers=1)
            [np.flatnonzero(row <= k) for row in m]
            per_query.append((time.perf_counter_ns() - t0) / len(chunk))
            del m
        return np.array(per_query)

    rf_subset = queries[: cfg.rapidfuzz_queries]
    lev_subset = queries[: cfg.levenshtein_queries]
    mismatches: list[str] = []
    checked = 0
    rows: list[tuple[str, int, list[str], dict[str, float]]] = []
    out["peers"] = {"vocabulary_bytes": vocab_bytes, "rows": [], "mismatches": mismatches}
    # The symmetric-delete index: built once, then every query once, cold, like brindlex.
    bu.settle()
    before = bu.rss_bytes()
    symdelete_build_s, symdel = bu.timed(lambda: SymmetricDelete(words))
    bu.settle()
    symdelete_bytes = bu.rss_bytes() - before
    symdelete_rows = []
    for k in (0, 1, 2):
        ns, _ = bu.cold_ns(lambda q, k: symdel.query(q, k), [(q, k) for q in queries])
        for q in queries:
            theirs, mine = symdel.query(q, k), as_dict(index.fuzzy_match(q, k))
            checked += 1
            if theirs != mine:
                mismatches.append(f"symmetric delete k={k} {q!r}: only peer {sorted(set(theirs.items()) - set(mine.items()))[:5]}, "
                                  f"only brindlex {sorted(set(mine.items()) - set(theirs.items()))[:5]}")
        symdelete_rows.append(("symmetric-delete index (Python)", k, queries, bu.summary_us(ns)))
    del symdel
    bu.settle()


    for k in (0, 1, 2):
        mine = {}
        for q in set(rf_subset) | set(lev_subset):
            results = index.fuzzy_match(q, k)
            mine[q] = as_dict(results)
            if len(mine[q]) != len(results):
                mismatches.append(f"brindlex k={k} {q!r}: a term listed twice")
        plan = [
            ("rapidfuzz cdist, 1 query/call", rf_subset, rapidfuzz_one),
            ("python-Levenshtein loop", lev_subset, levenshtein_loop),
        ]
        for peer, subset, fn in plan:
            ns, found = run_peer(fn, subset, k)
            for q, theirs in zip(subset, found):
                checked += 1
                if theirs != mine[q]:
                    only_peer = sorted(set(theirs.items()) - set(mine[q].items()))[:5]
                    only_mod = sorted(set(mine[q].items()) - set(theirs.items()))[:5]
                    mismatches.append(f"{peer} k={k} {q!r}: only peer {only_peer}, only brindlex {only_mod}")
            rows.append((peer, k, subset, bu.summary_us(ns)))
        ns = batch_peer(rf_subset, k, cfg.rapidfuzz_batch)
        rows.append((f"rapidfuzz cdist, {cfg.rapidfuzz_batch} queries/call", k, rf_subset,
                     {"median_us": float(np.median(ns)) / 1e3, "p99_us": float("nan"),
                      "mean_us": float(np.mean(ns)) / 1e3}))

    table_rows = []
    for k in (0, 1, 2):
        own = bu.summary_us(module_ns[k])
        table_rows.append(["brindlex fuzzy_match", f"k={k}", len(module_ns[k]), own["median_us"], own["p99_us"],
                           module_build_s, module_rss / MB, "1.0x", "1.0x"])
        for peer, pk, subset, s in symdelete_rows + rows:
            if pk != k:
                continue
            # The module's figures over the same queries as the peer, for a fair ratio.
            same = bu.summary_us(module_ns[k][: len(subset)])
            r_med = s["median_us"] / same["median_us"]
            r_p99 = s["p99_us"] / same["p99_us"] if s["p99_us"] == s["p99_us"] else float("nan")
            symmetric = peer.startswith("symmetric")
            table_rows.append([peer, f"k={k}", len(subset), s["median_us"], s["p99_us"],
                               symdelete_build_s if symmetric else "none",
                               (symdelete_bytes if symmetric else vocab_bytes) / MB,
                               f"{r_med:.1f}x", "-" if r_p99 != r_p99 else f"{r_p99:.1f}x"])
            out["peers"]["rows"].append({"peer": peer, "max_dist": k, "queries": len(subset), **s,
                                         "brindlex_same_queries": same, "ratio_median": r_med,
                                         "ratio_p99": r_p99})
    print(bu.table(["implementation", "max_dist", "queries", "median us", "p99 us", "build s", "memory MB",
                    "peer/brindlex median", "peer/brindlex p99"], table_rows, digits=1))
    print()
    print("All latencies are cold: each query called once, in sequence (brindlex as in section 2).")
    print("symmetric-delete index: deletions of up to 2 of the first 7 characters of every word, in a")
    print("dict; a query looks up its own deletions and checks candidates with Levenshtein.distance")
    print("(benchmarks/symdelete.py). Its memory is the resident growth while building it.")
    print(f"rapidfuzz: process.cdist(scorer=Levenshtein.distance, score_cutoff=k, workers=1), then the "
          f"entries <= k; first {len(rf_subset)} queries.")
    print(f"python-Levenshtein: a Python loop of Levenshtein.distance(q, w, score_cutoff=k) over all "
          f"{len(words):,} words; too slow for every query, so only the first {len(lev_subset)}.")
    print("Ratios compare with brindlex's figures over the same first queries. Peer memory is the")
    print("vocabulary list they scan (str objects and list); brindlex memory is the instance without")
    print("videos (RSS growth from from_bytes, section 1), which holds no Python strings; its build")
    print("time is build_index (section 1).")
    print(f"Result check: {checked} (query, k, peer) results compared as {{term: distance}} with "
          f"fuzzy_match: {len(mismatches)} mismatches.")
    for m in mismatches[:10]:
        print("  MISMATCH", m)


# -- 4b. index files -------------------------------------------------------------------


def index_file_section(engine: Any, cfg: Config, out: dict[str, Any]) -> None:
    """What verifying an index file costs beside decoding it, and whether damage is
    refused: sampled flipped bits, cuts and appended bytes of the saved index."""
    import random
    import tempfile

    from brindlex._files import read_file

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "words.brx"
        brindlex.save(engine, path)
        good = path.read_bytes()
        snapshot = engine.to_bytes()
        verify = statistics.median(bu.timed(lambda: read_file(path))[0] for _ in range(cfg.snapshot_runs))
        decode = statistics.median(bu.timed(lambda: PrefixSearch.from_bytes(snapshot))[0]
                                   for _ in range(cfg.snapshot_runs))
        rng = random.Random(SEED)
        trials = 20 if cfg.mode == "quick" else 200
        damaged = [bytearray(good) for _ in range(trials)]
        for data in damaged:
            bit = rng.randrange(len(good) * 8)
            data[bit // 8] ^= 1 << bit % 8
        damaged += [bytearray(good[: rng.randrange(len(good))]) for _ in range(trials // 10)]
        damaged += [bytearray(good + bytes([rng.randrange(256)])) for _ in range(trials // 10)]
        refused = 0
        for data in damaged:
            path.write_bytes(data)
            try:
                brindlex.load(path)
            except ValueError:
                refused += 1
    ratio = verify / decode
    out["index_file"] = {"bytes": len(good), "verify_s": verify, "from_bytes_s": decode, "verify_over_decode": ratio,
                         "damaged": len(damaged), "refused": refused}
    print(f"words + videos: {len(good) / MB:.1f} MB; reading and verifying the file {verify * 1e3:.1f} ms, "
          f"from_bytes {decode * 1e3:.1f} ms (verifying: {ratio * 100:.0f}% of decoding); "
          f"{trials} flipped bits, {trials // 10} cuts and {trials // 10} appended bytes at random: "
          f"{refused} of {len(damaged)} refused.")


# -- 4c. serving from forked workers ------------------------------------------------------

SERVING_QUERIES = {"default": 10_000, "quick": 2_000}
SERVING_RUNS = {"default": 3, "quick": 1}


def serving_queries(words: list[str], n: int) -> list[str]:
    """n query lines for benchmarks/serving.py: the queries of section 2's kind, turn
    about a suggestion, a video ranking and a completion of a 1-5 character prefix."""
    import random

    rng = random.Random(SEED + 3)
    lines = []
    for i, (text, _, _) in enumerate(bd.make_queries(words, n, SEED + 2)):
        kind = "svc"[i % 3]
        lines.append(f"{kind} {text[: rng.randint(1, 5)] if kind == 'c' else text}")
    return lines


def run_serving(index_path: Path, query_path: Path, workers: int, *flags: str) -> dict[str, Any]:
    """One run of benchmarks/serving.py in a fresh interpreter (see there)."""
    import subprocess

    script = Path(__file__).with_name("serving.py")
    result = subprocess.run([sys.executable, str(script), str(index_path), str(query_path), str(workers), *flags],
                            check=True, capture_output=True, text=True)
    return json.loads(result.stdout)


def serving_section(engine: Any, words: list[str], cfg: Config, out: dict[str, Any]) -> None:
    """Queries per second of 1 and 2 workers forked from one process that loaded the
    index, and what each worker holds privately once it has answered its queries."""
    import tempfile

    n, runs = SERVING_QUERIES[cfg.mode], SERVING_RUNS[cfg.mode]
    snapshot_bytes = len(engine.to_bytes())
    cases = [("loaded, gc.freeze()", 1, ()), ("loaded, gc.freeze()", 2, ()),
             ("loaded, no gc.freeze()", 2, ("--no-freeze",)),
             ("bare from_bytes, not prepared; fuzzy_match k=2 only", 2, ("--engine-only",))]
    found: dict[int, list[dict[str, Any]]] = {i: [] for i in range(len(cases))}
    with tempfile.TemporaryDirectory() as folder:
        index_path, query_path = Path(folder) / "videos.brx", Path(folder) / "queries.txt"
        brindlex.save(engine, index_path)
        query_path.write_text("".join(line + "\n" for line in serving_queries(words, n)), encoding="utf-8")
        # Runs interleaved, so that whatever else the machine does falls on every case alike.
        for _ in range(runs):
            for i, (_, workers, flags) in enumerate(cases):
                found[i].append(run_serving(index_path, query_path, workers, *flags))
    rows, figures = [], []
    single = None
    for i, (label, workers, flags) in enumerate(cases):
        wall = statistics.median(r["wall_s"] for r in found[i])
        qps = workers * n / wall
        last = [w for r in found[i] for w in r["workers"]]
        private = max(w["Private_Clean"] + w["Private_Dirty"] for w in last)
        pss = max(w["Pss"] for w in last)
        # Below 1 when the worker waited for a core: the machine was busy with more than this.
        core_share = statistics.median(w["cpu_seconds"] / w["seconds"] for w in last)
        # What a query costs its worker however busy the machine: with workers that scale,
        # the same for 1 and 2 workers.
        cpu_us = statistics.median(w["cpu_seconds"] / w["queries"] for w in last) * 1e6
        if i == 0:
            single = qps
        speedup = qps / single if single and "--engine-only" not in flags else None
        figures.append({"case": label, "workers": workers, "queries_per_worker": n, "wall_s": wall,
                        "queries_per_s": qps, "speedup": speedup, "max_private_bytes": private,
                        "max_pss_bytes": pss, "private_over_snapshot": private / snapshot_bytes,
                        "core_share": core_share, "cpu_us_per_query": cpu_us, "load_s": statistics.median(r["load_s"] for r in found[i]),
                        "parent_rss_bytes": found[i][0]["parent"]["Rss"], "runs": found[i]})
        rows.append([label, workers, round(qps), f"{speedup:.2f}x" if speedup else "", f"{core_share:.2f}", cpu_us,
                     private / MB, f"{private / snapshot_bytes * 100:.1f}%", pss / MB])
    out["serving"] = {"snapshot_bytes": snapshot_bytes, "queries_per_worker": n, "runs": runs, "cases": figures}
    load = os.getloadavg()[0]
    print(bu.table(["parent", "workers", "queries/s", "vs 1 worker", "CPU/wall a worker", "CPU us a query", "private MB a worker (max)",
                    "of snapshot", "Pss MB a worker (max)"], rows, digits=2))
    first = figures[0]
    print(f"Snapshot {snapshot_bytes / MB:.1f} MB. Private: Private_Clean + Private_Dirty of /proc/PID/smaps_rollup "
          f"after the worker's last query. Index.load in a fresh process: {first['load_s']:.2f} s, after which "
          f"it holds {first['parent_rss_bytes'] / MB:.0f} MB resident: what each spawned worker would pay. "
          f"queries/s: the median of {runs} run(s); CPU/wall below 1: a worker waited for a core (load "
          f"average {load:.2f} after the runs).")


# -- 5b. the compiled peer ----------------------------------------------------------------


def compiled_peer_section(index: Any, words: list[str], queries: list[str], out: dict[str, Any]) -> None:
    """The walk and a symmetric-delete index in C++ (benchmarks/symdelete_bench.cpp), both
    timed natively on the same queries, cold, and their answers compared."""
    import subprocess
    import tempfile

    import _brindlex

    binary = Path(_brindlex.__file__).resolve().parent / "symdelete_bench"
    if not binary.exists():
        print(f"(not built: cmake --build {binary.parent} --target symdelete_bench; make bench does)")
        return
    with tempfile.TemporaryDirectory() as folder:
        snap, word_file, query_file = (Path(folder) / name for name in ("words.snap", "words.txt", "queries.txt"))
        snap.write_bytes(index.to_bytes())
        word_file.write_text("".join(w + "\n" for w in words), encoding="utf-8")
        query_file.write_text("".join(q + "\n" for q in queries), encoding="utf-8")
        run = subprocess.run([str(binary), str(snap), str(word_file), str(query_file)], capture_output=True,
                             text=True, check=True, timeout=3600)
    figures: dict[str, dict[int, tuple[float, float]]] = {"walk": {}, "peer": {}}
    mismatches: dict[int, int] = {}
    build = ""
    for line in run.stdout.splitlines():
        f = line.split()
        if f[0] in figures and f[1].startswith("k="):
            figures[f[0]][int(f[1][2:])] = (float(f[3]), float(f[5]))
        elif f[0] == "compared":
            mismatches[int(f[1][2:])] = int(f[5])
        elif f[:2] == ["peer", "build_s"]:
            build = f"built in {float(f[2]):.2f} s, {float(f[4]):.0f} MB"
    rows = []
    out["compiled_peer"] = {"build": build, "rows": []}
    for k in sorted(figures["walk"]):
        (wm, wp), (pm, pp) = figures["walk"][k], figures["peer"][k]
        out["compiled_peer"]["rows"].append({"k": k, "walk_median_us": wm, "walk_p99_us": wp, "peer_median_us": pm,
                                             "peer_p99_us": pp, "mismatches": mismatches.get(k)})
        rows.append([f"k={k}", len(queries), wm, wp, pm, pp, f"{wm / pm:.2f}x", mismatches.get(k)])
    print(f"symmetric-delete index in C++ ({build}): deletions of up to 2 of the first 7 code points, "
          "64-bit hashed keys, open addressing, banded verification.")
    print(bu.table(["max_dist", "queries", "walk median us", "walk p99 us", "peer median us", "peer p99 us",
                    "walk/peer median", "answers differing"], rows, digits=2))


# -- 6. long queries -------------------------------------------------------------------


def long_query_section(out: dict[str, Any]) -> None:
    """Terms of tens of thousands of characters against an index that holds one of
    100,000: time and the growth of the resident peak, each query once."""
    index = brindlex.build_index([("a" * 100_000, 1, []), ("b", 1, [])])
    long = "a" * 99_990 + "b" * 10
    index.fuzzy_match(long, 40)  # what a walk makes once per process
    rows = []
    out["long_queries"] = []
    cases = [("'a' x 42,000", "a" * 42_000, [0])]
    cases += [("'a' x 99,990 + 'b' x 10", long, list(range(41)))]
    for label, term, bounds in cases:
        worst_s, worst_peak = 0.0, 0
        for k in bounds:
            bu.settle()
            base = bu.rss_bytes()
            bu.reset_peak()
            seconds, _ = bu.timed(lambda: index.fuzzy_match(term, k))
            worst_s = max(worst_s, seconds)
            worst_peak = max(worst_peak, bu.peak_bytes() - base)
        span = f"{bounds[0]}..{bounds[-1]}" if len(bounds) > 1 else str(bounds[0])
        out["long_queries"].append({"term": label, "max_dist": span, "worst_s": worst_s, "worst_peak_bytes": worst_peak})
        rows.append([label, span, worst_s * 1e3, worst_peak / MB])
    print(bu.table(["query", "max_dist", "slowest ms", "largest peak growth MB"], rows, digits=1))


# -- main -------------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smoke run: fewer queries and repetitions")
    parser.add_argument("--big", action="store_true", help="add the 2-million-term synthetic vocabulary")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON to PATH")
    args = parser.parse_args()
    if missing is not None:
        sys.exit(f"{missing}: build the module (tools/build release) and set PYTHONPATH=build/release:python")
    quick = args.quick or os.environ.get("BRINDLEX_BENCH_QUICK", "") not in ("", "0")
    cfg = QUICK if quick else FULL
    started = time.perf_counter()

    import _brindlex
    import Levenshtein
    import rapidfuzz

    out: dict[str, Any] = {"config": asdict(cfg), "big": None, "_nodes": {}, "section_s": {}}
    mark = [time.perf_counter()]

    def lap(name: str) -> None:
        now = time.perf_counter()
        out["section_s"][name] = now - mark[0]
        mark[0] = now

    print(f"brindlex benchmark ({cfg.mode} run{', with --big' if args.big else ''})")
    print(f"python {platform.python_version()}, module {_brindlex.__file__}")
    print(f"numpy {np.__version__}, rapidfuzz {rapidfuzz.__version__}, python-Levenshtein {Levenshtein.__version__}")
    load = os.getloadavg()
    print(f"{os.cpu_count()} CPUs, load average at start {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
    floor = bu.timer_floor_ns()
    print(f"timer floor (empty timed region, included in every per-call figure): {floor} ns")
    out["machine"] = {"cpus": os.cpu_count(), "loadavg_start": load, "timer_floor_ns": floor,
                      "python": platform.python_version()}

    words = bd.load_words()
    query_triples = bd.make_queries(words, cfg.queries, SEED)
    queries = [q for q, _, _ in query_triples]
    edits = [e for _, _, e in query_triples]

    # -- 1
    bu.section("1. Build")
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
    former = former_layout_s(video_entries)
    out["former_python_layout_s"] = former
    print(f"The former Python layout (now the tests' model, tests/python/layout_model.py) and")
    print(f"from_internal_data_v2 on the words + videos, in this run: {former:.2f} s, "
          f"{former / video_fig['build_index_s']:.1f}x build_index.")
    bu.section("1b. brindlex build: a catalogue file to an index file")
    print("The words + videos of section 1 as catalogue rows: one per (term, video), a term without videos")
    print(f"on one row of its own; median of {cfg.build_runs} run(s) after the cold one.")
    catalogue_section(video_entries, cfg, out)
    del video_entries
    bu.settle()
    synthetic_catalogue_section(words, cfg, out)
    bu.settle()
    if args.big:
        big_section(words, cfg, out)
    else:
        print("(the 2-million-term synthetic vocabulary runs with --big)")
    lap("1 build")

    gc.collect()
    gc.freeze()  # the word list and entries are settled: keep them out of later collections

    # -- 2
    bu.section("2. fuzzy_match")
    print(f"{len(queries):,} queries: random indexed words with 0/1/2 random edits "
          f"({edits.count(0)}/{edits.count(1)}/{edits.count(2)} queries), characters drawn from the "
          f"word list's alphabet by frequency.")
    print(f"Each query: 1 warm-up call, then {cfg.min_reps}-{cfg.max_reps} timed calls (about "
          f"{cfg.target_ns / 1e6:.1f} ms in all); figure per query = median call. Index without videos.")
    module_ns = fuzzy_section(plain_index, queries, cfg, out)
    lap("2 fuzzy_match")

    # -- 2b
    bu.section("2b. Index: suggest, complete, count")
    print("The queries of section 2 as typed (Index folds them) against the word list, folded, with its "
          "Zipf counts; complete: prefixes of 1-5 characters of random words.")
    searched = index_section(words, queries, cfg, out)
    lap("2b index")

    # -- 2c
    bu.section("2c. The search box: complete with typos, suggest with swaps")
    search_box_section(searched, queries, cfg, SEED + 11, out)
    del searched
    lap("2c search box")
    bu.section("2d. Index: listing the terms")
    print("The folded word list of section 2b; each case first once (cold), then timed again. A plain loop "
          "takes the terms.")
    listing_section(words, out)
    lap("2d listing")
    bu.section("2e. Matching inside titles: what words=True costs")
    words_section(words, cfg, out)
    lap("2e words")

    # -- 3
    bu.section("3. fuzzy_match_video")
    print(f"Index with videos; limit {VIDEO_LIMIT}, video_top_n {VIDEO_TOP_N}, include_prefix_nodes and "
          f"min_score left out. Prefixes: the first 1-5 characters of {cfg.queries:,} random words")
    print("(max_dist 1, the default); misspelt: the queries of section 2. fuzzy_match: same index, terms and "
          "bound, no limit.")
    video_section(video_index, words, queries, cfg, out)
    lap("3 fuzzy_match_video")

    # -- 4
    bu.section("4. Snapshots")
    print(f"Median of {cfg.snapshot_runs} runs each; MB = 10^6 bytes.")
    snapshot_section([("words, no videos", plain_index, len(words)),
                      ("words + videos", video_index, len(words))], cfg, out)
    bu.section("4b. Index files")
    index_file_section(video_index, cfg, out)
    bu.section("4c. Serving from forked workers")
    print(f"A fresh process loads the index with videos (Index.load), then forks workers, each answering "
          f"{SERVING_QUERIES[cfg.mode]:,} queries once, in sequence, read from a file: suggest(text), "
          f"videos(text) and complete(prefix) in turn.")
    serving_section(video_index, words, cfg, out)
    bu.section("4d. Index files used in place")
    in_place.section(brindlex.Index(video_index), words, queries, cfg, out)
    del video_index
    bu.settle()
    lap("4 snapshots")

    # -- 5
    bu.section("5. Peers: a symmetric-delete index and brute force over the word list")
    peers_section(plain_index, words, queries, module_ns, plain_fig["rss_growth_from_bytes_bytes"],
                  plain_fig["build_index_s"], cfg, out)
    lap("5 peers")

    # -- 5b
    bu.section("5b. The compiled peer, timed natively")
    print("Both without Python: walk_terms on the snapshot of section 2's index, and the peer, on the "
          "queries of section 2, each query once, in sequence.")
    compiled_peer_section(plain_index, words, queries, out)
    lap("5b compiled peer")

    # -- 6
    bu.section("6. Long queries")
    print("An index of 'a' x 100,000 and 'b'; each query once, in turn; peak growth: the resident "
          "high-water mark during the call above the resident size before it.")
    long_query_section(out)
    bu.section("6b. One long term")
    print("A term of 250,000 to 1,000,000 characters with one video: each step once; stats is the command, "
          "the interpreter's start (beside it) included.")
    out["long_term"] = long_term_section()
    lap("6 long queries")

    bu.section("7. Peers installed from the package index, in one process with brindlex")
    peers.run(quick, cfg.queries, cfg.rapidfuzz_queries, SEED, out)
    lap("7 installed peers")

    elapsed = time.perf_counter() - started
    load = os.getloadavg()
    out["machine"]["loadavg_end"] = load
    out["elapsed_s"] = elapsed
    print()
    laps = ", ".join(f"{name.split()[0]}: {t:.0f}" for name, t in out["section_s"].items())
    print(f"Finished in {elapsed:.0f} s (per section, s: {laps}); load average at end "
          f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f}; peak RSS {bu.process_peak_rss_bytes() / 1e9:.2f} GB.")
    if args.json:
        del out["_nodes"]
        Path(args.json).write_text(json.dumps(out, indent=1, default=float) + "\n")
        print(f"Figures written to {args.json}")


if __name__ == "__main__":
    main()
