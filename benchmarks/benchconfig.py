"""What every section of the benchmark shares: the run's sizes (default or --quick), the
seed, the index's parameters and two small helpers."""

from __future__ import annotations

from dataclasses import dataclass

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
