"""Serving from forked workers: queries per second of 1 and 2 workers forked from one
process that loaded the index (benchmarks/serving.py runs them in a fresh interpreter),
and what each worker holds privately once it has answered its queries."""

from __future__ import annotations

import json
import os
import statistics
import sys
from pathlib import Path
from typing import Any

import benchdata as bd
import benchutil as bu
import brindlex
from benchconfig import MB, SEED, Config

SERVING_QUERIES = {"default": 10_000, "quick": 2_000}
SERVING_RUNS = {"default": 3, "quick": 1}


def serving_queries(words: list[str], n: int) -> list[str]:
    """n query lines for benchmarks/serving.py: misspelt queries as fuzzy_match is timed on, turn
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
        # The bare engine restores from a snapshot: a version 2 file holds none to restore.
        snapshot_path = Path(folder) / "videos.snap"
        snapshot_path.write_bytes(engine.to_bytes())
        query_path.write_text("".join(line + "\n" for line in serving_queries(words, n)), encoding="utf-8")
        # Runs interleaved, so that whatever else the machine does falls on every case alike.
        for _ in range(runs):
            for i, (_, workers, flags) in enumerate(cases):
                path = snapshot_path if "--engine-only" in flags else index_path
                found[i].append(run_serving(path, query_path, workers, *flags))
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
