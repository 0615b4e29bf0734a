"""Listing the terms of an Index (items, keys, iter): terms a second over the word list,
and the resident peak growth of a whole pass, which stays small because the terms are
streamed a chunk at a time rather than gathered into one list.

Called by bench.py (its listing section); alone:

    PYTHONPATH=build/release:python python3 benchmarks/listing.py
"""

from __future__ import annotations

import statistics
import sys
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchdata as bd  # noqa: E402
import benchutil as bu  # noqa: E402

WARM_RUNS = 5
SEED = 20240611


def drain(make: Callable[[], Iterator[Any]]) -> tuple[float, float]:
    """Seconds to take every item of a fresh iterator in a plain loop, as a caller would:
    wall time, and this process's CPU time (which a machine shared with others inflates
    less)."""
    wall, cpu = time.perf_counter(), time.process_time()
    for _ in make():
        pass
    return time.perf_counter() - wall, time.process_time() - cpu


def listing_section(words: list[str], out: dict[str, Any], index: Any = None) -> None:
    import brindlex

    if index is None:
        index = brindlex.Index.build(bd.plain_entries(words, SEED))
    prefixes = bd.make_prefixes(words, 2, 200, SEED + 11)
    cases: list[tuple[str, Callable[[], Iterator[Any]]]] = [
        ("items()", index.items),
        ("keys()", index.keys),
        ("iter(index)", lambda: iter(index)),
        ("list(items())", lambda: iter(list(index.items()))),
    ]
    rows = []
    out["listing"] = {"terms": len(index), "cases": []}
    n = len(index)
    # The collector is left running, as a caller has it.
    for label, make in cases:
        bu.settle()
        base = bu.rss_bytes()
        bu.reset_peak()
        cold_s, _ = drain(make)  # the first pass of this kind: cold
        peak = bu.peak_bytes() - base
        warm = [drain(make) for _ in range(WARM_RUNS)]
        warm_s = statistics.median(w for w, _ in warm)
        warm_cpu_s = statistics.median(c for _, c in warm)
        fig = {"case": label, "terms": n, "cold_terms_per_s": n / cold_s, "warm_terms_per_s": n / warm_s,
               "warm_cpu_terms_per_s": n / warm_cpu_s, "peak_growth_bytes": peak}
        out["listing"]["cases"].append(fig)
        rows.append([label, n, n / cold_s / 1e6, n / warm_s / 1e6, n / warm_cpu_s / 1e6, peak / 1e6])
        assert sum(1 for _ in make()) == n, label
    # Many short listings, as a browsing client makes them: each prefix once, in sequence.
    start = time.perf_counter()
    for prefix in prefixes:
        for _ in index.items(prefix):
            pass
    seconds = time.perf_counter() - start
    short = sum(sum(1 for _ in index.items(p)) for p in prefixes)
    print(bu.table(["call", "terms", "cold M terms/s", f"warm M terms/s (median of {WARM_RUNS})",
                    "warm, by CPU time", "peak growth MB"], rows, digits=2))
    per_call_us = seconds / len(prefixes) * 1e6
    out["listing"]["two_letter_prefixes"] = {"calls": len(prefixes), "terms": short, "mean_us": per_call_us}
    print(f"items(prefix) for {len(prefixes)} two-letter prefixes of random words, each once: {short:,} terms, "
          f"{per_call_us:.0f} us a call on average ({short / seconds / 1e6:.2f} M terms/s).")
    print("list(items()) gathers the terms into one list first, for the memory it costs beside streaming.")


if __name__ == "__main__":
    listing_section(bd.load_words(), {})
