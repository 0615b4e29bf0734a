"""The peers the benchmark carries or Debian packages, on the queries fuzzy_match is
timed on: a symmetric-delete index in Python (benchmarks/symdelete.py), brute-force scans
with rapidfuzz and python-Levenshtein, and the symmetric-delete index in C++
(benchmarks/symdelete_bench.cpp) timed natively beside the walk, answers compared."""

from __future__ import annotations

import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

import benchutil as bu
from benchconfig import MB, Config, as_dict
from symdelete import SymmetricDelete

WALK_OVER_PEER = 0.6  # the walk's cold median over the compiled peer's, at every bound: the target


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
    print("All latencies are cold: each query called once, in sequence (brindlex as in the fuzzy_match section).")
    print("symmetric-delete index: deletions of up to 2 of the first 7 characters of every word, in a")
    print("dict; a query looks up its own deletions and checks candidates with Levenshtein.distance")
    print("(benchmarks/symdelete.py). Its memory is the resident growth while building it.")
    print(f"rapidfuzz: process.cdist(scorer=Levenshtein.distance, score_cutoff=k, workers=1), then the "
          f"entries <= k; first {len(rf_subset)} queries.")
    print(f"python-Levenshtein: a Python loop of Levenshtein.distance(q, w, score_cutoff=k) over all "
          f"{len(words):,} words; too slow for every query, so only the first {len(lev_subset)}.")
    print("Ratios compare with brindlex's figures over the same first queries. Peer memory is the")
    print("vocabulary list they scan (str objects and list); brindlex memory is the instance without")
    print("videos (RSS growth from from_bytes, the build section), which holds no Python strings; its")
    print("build time is build_index (the build section).")
    print(f"Result check: {checked} (query, k, peer) results compared as {{term: distance}} with "
          f"fuzzy_match: {len(mismatches)} mismatches.")
    for m in mismatches[:10]:
        print("  MISMATCH", m)


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
        verdict = bu.target(wm / pm, WALK_OVER_PEER, "x")
        out["compiled_peer"]["rows"][-1]["target"] = verdict
        rows.append([f"k={k}", len(queries), wm, wp, pm, pp, f"{wm / pm:.2f}x", verdict, mismatches.get(k)])
    print(f"symmetric-delete index in C++ ({build}): deletions of up to 2 of the first 7 code points, "
          "64-bit hashed keys, open addressing, banded verification.")
    print(bu.table(["max_dist", "queries", "walk median us", "walk p99 us", "peer median us", "peer p99 us",
                    "walk/peer median", "target", "answers differing"], rows, digits=2))
