"""Queries through Python: the engine's fuzzy_match, what an Index answers (suggest,
complete, count, membership) and fuzzy_match_video; cold figures first (each query once,
in sequence), warm ones beside them, each with its target where it has one."""

from __future__ import annotations

from typing import Any

import numpy as np

import benchdata as bd
import benchutil as bu
import brindlex
from benchconfig import MB, SEED, VIDEO_LIMIT, Config, mean

# Targets, cold medians in microseconds.
FUZZY_MATCH_US = {0: 0.8, 1: 3.0, 2: 20.0}
LOOKUP_US = {"count": 0.7, "in (other queries)": 0.7}
VIDEO_PREFIX_US = 10.0  # fuzzy_match_video at max_dist 1 on prefixes
VIDEO_MISSPELT_US = 6.0  # and on misspelt terms


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
        verdict = bu.target(cold["median_us"], FUZZY_MATCH_US[k], " us")
        out["fuzzy_match"][str(k)] = {"cold": cold, "warm": warm, "mean_results": mean(sizes), "with_results": hit,
                                      "target": verdict}
        rows.append([f"k={k}", len(queries), cold["median_us"], cold["p99_us"], warm["median_us"], warm["p99_us"],
                     mean(sizes), f"{hit * 100:.1f}%", verdict])
    print(bu.table(["max_dist", "queries", "cold median us", "cold p99 us", "warm median us", "warm p99 us",
                    "mean results", "with results", "target (cold median)"], rows, digits=2))
    return per_k


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
        # Levenshtein, as fuzzy_match counts (the search box section times swaps)
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
        verdict = bu.target(c["median_us"], LOOKUP_US[label], " us") if label in LOOKUP_US else ""
        out["index"]["cases"].append({"case": label, "queries": len(args), "cold": c, "warm": w,
                                      "mean_results": mean(sizes), "target": verdict})
        rows.append([label, len(args), c["median_us"], c["p99_us"], w["median_us"], w["p99_us"],
                     mean(sizes) if sized else "", verdict])
    print(bu.table(["call", "queries", "cold median us", "cold p99 us", "warm median us", "warm p99 us",
                    "mean results", "target (cold median)"], rows, digits=2))
    for k in (1, 2):
        ratio = medians[f"suggest n=10 k={k}"] / medians[f"fuzzy_match k={k} (folded query)"]
        out["index"][f"suggest_over_fuzzy_k{k}"] = ratio
        print(f"suggest / fuzzy_match, cold medians, k={k}: {ratio:.2f}x")
    return index


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
        limit = None if k != 1 else VIDEO_MISSPELT_US if label == "misspelt" else VIDEO_PREFIX_US
        verdict = "" if limit is None else bu.target(c["median_us"], limit, " us")
        out["fuzzy_match_video"][-1]["target"] = verdict
        rows.append([label, f"k={k}", len(terms), c["median_us"], c["p99_us"], v["median_us"], mean(vsizes),
                     m["median_us"], mean(msizes), f"{ratio:.2f}x", verdict])
    print(bu.table(["terms", "max_dist", "queries", "cold median us", "cold p99 us", "warm median us",
                    "mean videos", "fuzzy_match warm us", "mean terms", "video/match warm", "target (cold median)"],
                   rows, digits=2))
