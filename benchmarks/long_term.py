"""Long queries and long terms. ``long_query_section``: queries of tens of thousands of
characters against an index that holds a term of 100,000, time and the growth of the
resident peak. ``long_term_section``: one long term with one video, the chain of single
children it makes, timed through build, save, load and stats. Each step runs once (cold,
as a user meets it); the lengths double, so a step whose cost is linear about doubles
from one line to the next.

    PYTHONPATH=build/release:python python3 benchmarks/long_term.py [LENGTH ...]
"""

from __future__ import annotations

import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import benchutil as bu
import brindlex
from benchconfig import MB

LENGTHS = (250_000, 500_000, 1_000_000)


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


def _timed(step: Any) -> tuple[Any, float]:
    started = time.perf_counter()
    got = step()
    return got, time.perf_counter() - started


def chain_figures(length: int, folder: Path) -> dict[str, float]:
    """Seconds per step for a term of `length` characters (mixed case and non-ASCII, so
    that folding has work to do)."""
    term = ("Aé" * (length // 2 + 1))[:length]
    path = folder / f"chain-{length}.brindlex"
    index, build_s = _timed(lambda: brindlex.Index.build([(term, 1, [(1, 1)])]))
    _, save_s = _timed(lambda: index.save(path))
    del index
    _, load_s = _timed(lambda: brindlex.Index.load(path))
    # stats as the command runs it, interpreter start included; the start alone beside it.
    cmd = [sys.executable, "-m", "brindlex", "stats", str(path)]
    done, stats_s = _timed(lambda: subprocess.run(cmd, capture_output=True, check=False))
    _, start_s = _timed(lambda: subprocess.run([sys.executable, "-c", "import brindlex"], check=False))
    if done.returncode != 0:
        raise SystemExit(f"brindlex stats failed on {path}: {done.stderr.decode(errors='replace')}")
    return {"chars": length, "build_s": build_s, "save_s": save_s, "load_s": load_s, "stats_s": stats_s,
            "start_s": start_s, "bytes": path.stat().st_size}


def long_term_section(lengths: tuple[int, ...] = LENGTHS) -> list[dict[str, float]]:
    """Prints one line per length and returns the figures."""
    print(f"{'chars':>10} {'build s':>8} {'save s':>8} {'load s':>8} {'stats s':>8} {'(start s)':>10} {'file MB':>8}")
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for length in lengths:
            f = chain_figures(length, Path(tmp))
            rows.append(f)
            print(f"{length:>10,} {f['build_s']:>8.3f} {f['save_s']:>8.3f} {f['load_s']:>8.3f} "
                  f"{f['stats_s']:>8.3f} {f['start_s']:>10.3f} {f['bytes'] / 1e6:>8.1f}", flush=True)
    return rows


if __name__ == "__main__":
    long_term_section(tuple(int(a) for a in sys.argv[1:]) or LENGTHS)
