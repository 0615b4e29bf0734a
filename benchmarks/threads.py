"""Threads: Index.suggest from one thread and from two, on the word list (348k terms),
as a threaded server meets its queries. The package's queries walk the store without
the interpreter lock, so two threads should answer nearly twice as many queries a second
as one on two cores.

Cold order: the misspelt queries of bench.py's section 2, each once, in sequence; with
two threads each takes every other query, so both runs answer the same queries. The
figure of a run is the queries answered over the wall time from the start to the last
answer; best of a few runs, every run printed.

    python3 benchmarks/threads.py [--queries N] [--runs R]
"""

from __future__ import annotations

import argparse
import os
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any

import benchdata as bd

TARGET_SPEEDUP = 1.8  # two threads against one, on two cores
SEED = 20240611  # bench.py's seed: the same misspelt queries


def queries_per_second(call: Callable[[str], Any], queries: Sequence[str], threads: int) -> float:
    """Queries answered a second by `threads` threads, each taking every threads-th query
    once, in sequence."""
    parts = [queries[t::threads] for t in range(threads)]
    start = threading.Barrier(threads + 1)
    ends = [0.0] * threads

    def worker(t: int) -> None:
        start.wait()
        for q in parts[t]:
            call(q)
        ends[t] = time.perf_counter()

    workers = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    start.wait()
    began = time.perf_counter()
    for w in workers:
        w.join()
    return len(queries) / (max(ends) - began)


def threads_section(index: Any, queries: Sequence[str], runs: int, max_dist: int = 1) -> dict[str, Any]:
    call = lambda q: index.suggest(q, 10, max_dist=max_dist)  # noqa: E731
    figures: dict[int, list[float]] = {1: [], 2: []}
    for _ in range(runs):
        for n in (1, 2):  # interleaved, so that a change of load meets both alike
            figures[n].append(queries_per_second(call, queries, n))
    one, two = max(figures[1]), max(figures[2])
    print(f"suggest(q, 10, max_dist={max_dist}), {len(queries):,} misspelt queries, best of {runs} run(s):")
    for n in (1, 2):
        print(f"  {n} thread{'s' if n > 1 else ' '}: {max(figures[n]):>10,.0f} queries/s   "
              f"(runs: {', '.join(f'{f:,.0f}' for f in figures[n])})")
    speedup = two / one
    met = "met" if speedup >= TARGET_SPEEDUP else "MISSED"
    print(f"  2 threads / 1 thread: {speedup:.2f}x (target >= {TARGET_SPEEDUP}x: {met}; "
          f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f})")
    return {"one": one, "two": two, "speedup": speedup, "runs": figures}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--queries", type=int, default=20_000)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    import brindlex

    words = bd.load_words()
    queries = [q for q, _, _ in bd.make_queries(words, args.queries, SEED)]
    index = brindlex.Index.build(bd.plain_entries(words, SEED))
    print(f"module {brindlex.__file__}; {len(index):,} terms")
    for max_dist in (1, 2):
        threads_section(index, queries, args.runs, max_dist)


if __name__ == "__main__":
    main()
