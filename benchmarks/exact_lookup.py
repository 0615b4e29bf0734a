"""Whole-term lookups and snapshots on the 348k word list with videos: fuzzy_match at
bounds 0, 1 and 2 and fuzzy_match_video through Python, `in` and `count` on an Index,
to_bytes and from_bytes. Headline figures cold (each query once, in sequence, after the
first query that makes the derived tables); warm medians beside them, the targets between.

    PYTHONPATH=build/release:python python3 benchmarks/exact_lookup.py [--queries N]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchdata as bd  # noqa: E402
import benchutil as bu  # noqa: E402

SEED = 20240607
MB = 1e6


def median_us(ns) -> float:
    return float(statistics.median(ns)) / 1000


def lookups(index, engine, words, n: int) -> None:
    queries = [q for q, _, _ in bd.make_queries(words, n, SEED)]
    others = [q for q, _, _ in bd.make_queries(words, n, SEED + 1)]
    prefixes = [p for k in range(1, 6) for p in bd.make_prefixes(words, k, max(n // 5, 20), SEED + 7 * k)]
    # The tables made on first use, made before timing (each is one call's cost, once).
    for k in (0, 1, 2):
        engine.fuzzy_match(queries[0], k)
    index.count(queries[0])
    cases = [(f"fuzzy_match k={k}", target, engine.fuzzy_match, [(q, k) for q in queries], True)
             for k, target in ((0, 0.8), (1, 3.0), (2, 20.0))]
    cases += [
        ("fuzzy_match_video prefixes", 10.0, engine.fuzzy_match_video, [(p, 1, 10) for p in prefixes], True),
        ("fuzzy_match_video misspelt", 6.0, engine.fuzzy_match_video, [(q, 1, 10) for q in queries], True),
        ("count", 0.7, index.count, [(q,) for q in others], False),
        ("in", 0.7, index.__contains__, [(q,) for q in queries], False),
    ]
    print(f"{'query':32} {'cold median us':>15} {'target us':>10} {'warm median us':>15}")
    for label, target, fn, args, sized in cases:
        cold, _ = bu.cold_ns(fn, args, sized)
        warm, _ = bu.per_query_ns(fn, args, min_reps=5, max_reps=50, target_ns=500_000, sized=sized)
        print(f"{label:32} {median_us(cold):15.2f} {target:10.1f} {median_us(warm):15.2f}")


def snapshots(engine, cls, rounds: int) -> None:
    blob = engine.to_bytes()
    to_s, from_s = [], []
    for _ in range(rounds):
        t0 = time.perf_counter()
        engine.to_bytes()
        to_s.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        cls.from_bytes(blob)
        from_s.append(time.perf_counter() - t0)
    size = len(blob) / MB
    print(f"snapshot {size:.1f} MB: to_bytes best {size / min(to_s):,.0f} MB/s (median {size / statistics.median(to_s):,.0f}), "
          f"from_bytes best {size / min(from_s):,.0f} MB/s (median {size / statistics.median(from_s):,.0f}); "
          "target 1,000 MB/s each way")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", choices=("lookups", "snapshots"))
    args = parser.parse_args()
    import brindlex
    from _brindlex import PrefixSearch

    words = bd.load_words()
    entries = bd.payload_entries(words, SEED)
    seconds, engine = bu.timed(lambda: brindlex.build_index(entries, 10))
    print(f"build_index: {seconds:.2f} s")
    if args.only != "snapshots":
        lookups(brindlex.Index(engine), engine, words, args.queries)
    if args.only != "lookups":
        snapshots(engine, PrefixSearch, args.rounds)


if __name__ == "__main__":
    main()
