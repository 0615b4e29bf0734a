"""Section 2c of bench.py: the search box. Completion of half-typed, misspelt prefixes
(the prefix edit distance, swaps as one edit, the automatic bound) and suggest with
swaps beside the engine's fuzzy_match; cold (each query once, in sequence, as a server
meets them), warm beside."""

from __future__ import annotations

import random
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

import benchutil as bu

# The targets this section is held to, printed beside each figure (microseconds, or a
# ratio of cold medians).
TARGETS = {
    "complete(p), auto": ("median", 20.0),
    "complete(p), auto, p99": ("p99", 200.0),
    "complete(p, max_dist=2), 6+ chars": ("median", 50.0),
    "suggest(q, max_dist=1)": ("median", 10.0),
}
RATIO_TARGET = 1.5


def search_box_prefixes(queries: Sequence[str], n: int, seed: int) -> list[str]:
    """n prefixes of 1 to 12 characters cut from the misspelt queries, each length about
    as often as the queries allow."""
    rng = random.Random(seed)
    out: list[str] = []
    while len(out) < n:
        q = rng.choice(queries)
        length = rng.randint(1, 12)
        if len(q) >= length:
            out.append(q[:length])
    return out


def _run(label: str, fn: Callable[..., Any], args: list[tuple[Any, ...]], cfg: Any, rows: list[Any],
         out: dict[str, Any]) -> dict[str, float]:
    cns, sizes = bu.cold_ns(fn, args)
    wns, _ = bu.per_query_ns(fn, args, min_reps=cfg.min_reps, max_reps=cfg.max_reps, target_ns=cfg.target_ns)
    c, w = bu.summary_us(cns), bu.summary_us(wns)
    mean = float(np.mean(sizes)) if sizes else float("nan")
    target = ""
    if label in TARGETS:
        target = bu.target(c["median_us"], TARGETS[label][1], " us")
        if label + ", p99" in TARGETS:
            target = f"median {target}; p99 {bu.target(c['p99_us'], TARGETS[label + ', p99'][1], ' us')}"
    rows.append([label, len(args), c["median_us"], c["p99_us"], w["median_us"], w["p99_us"], mean, target])
    out["cases"].append({"case": label, "queries": len(args), "cold": c, "warm": w, "mean_results": mean,
                         "target": target})
    return c


def search_box_section(index: Any, queries: Sequence[str], cfg: Any, seed: int, out: dict[str, Any]) -> None:
    prefixes = search_box_prefixes(queries, cfg.queries, seed)
    long_prefixes = [p for p in prefixes if len(p) >= 6]
    fold = index.normalize
    folded = [fold(q) for q in queries]
    engine = index.engine
    lengths = np.bincount([len(p) for p in prefixes], minlength=13)[1:]
    print(f"{len(prefixes):,} prefixes cut from the misspelt queries of the fuzzy_match section, lengths 1-12 "
          f"(counts by length: {' '.join(str(int(x)) for x in lengths)}); {len(long_prefixes)} of them "
          f"of 6 or more characters. Limit 10 throughout.")
    section: dict[str, Any] = {"cases": []}
    out["search_box"] = section
    rows: list[Any] = []
    cold: dict[str, dict[str, float]] = {}
    cases: list[tuple[str, Callable[..., Any], list[tuple[Any, ...]]]] = [
        ("complete(p), auto", index.complete, [(p,) for p in prefixes]),
        ("complete(p, max_dist=0)", lambda p: index.complete(p, max_dist=0), [(p,) for p in prefixes]),
        ("complete(p, max_dist=2), 6+ chars", lambda p: index.complete(p, max_dist=2), [(p,) for p in long_prefixes]),
        ("complete(p, max_dist=0), 6+ chars", lambda p: index.complete(p, max_dist=0), [(p,) for p in long_prefixes]),
        ("complete(p), auto, Levenshtein", lambda p: index.complete(p, transpositions=False), [(p,) for p in prefixes]),
        ("fuzzy_match(q, 2) (folded query)", engine.fuzzy_match, [(q, 2) for q in folded]),
        ("suggest(q, max_dist=2)", lambda q: index.suggest(q, max_dist=2), [(q,) for q in queries]),
        ("suggest(q, max_dist=2), Levenshtein", lambda q: index.suggest(q, max_dist=2, transpositions=False),
         [(q,) for q in queries]),
        ("fuzzy_match(q, 1) (folded query)", engine.fuzzy_match, [(q, 1) for q in folded]),
        ("suggest(q, max_dist=1)", lambda q: index.suggest(q, max_dist=1), [(q,) for q in queries]),
    ]
    for label, fn, args in cases:
        cold[label] = _run(label, fn, args, cfg, rows, section)
    print(bu.table(["call", "queries", "cold median us", "cold p99 us", "warm median us", "warm p99 us",
                    "mean results", "target (cold)"], rows, digits=2))
    for k in (2, 1):
        ratio = cold[f"suggest(q, max_dist={k})"]["median_us"] / cold[f"fuzzy_match(q, {k}) (folded query)"]["median_us"]
        section[f"suggest_over_fuzzy_k{k}"] = ratio
        verdict = f" ({bu.target(ratio, RATIO_TARGET, 'x')})" if k == 2 else ""
        print(f"suggest with swaps / fuzzy_match, cold medians, k={k}: {ratio:.2f}x{verdict}")
