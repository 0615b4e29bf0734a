"""What matching inside titles costs (``Index.build(..., words=True)``): file size,
memory, build time and suggest/complete/videos latency beside the same index without words,
on three catalogues: the bundled sample catalogue (titles of a few words), the 348k word
list of section 1 (single words: few word starts) and 348k titles of 2 to 4 of its words.

Latencies are cold first (each query once, in sequence, as a server meets them), warm
beside. Run alone with ``python3 benchmarks/words.py [--quick]``; ``words_section`` is
what the main benchmark calls."""

from __future__ import annotations

import csv
import json
import os
import random
import subprocess
import sys
import tempfile
import uuid
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchdata as bd  # noqa: E402
import benchutil as bu  # noqa: E402
from search_box import search_box_prefixes  # noqa: E402

SEED = 20260
SAMPLE = Path(__file__).resolve().parents[1] / "samples" / "catalogue.tsv"

# Loads an index in a fresh interpreter and prints how resident memory grew, and what
# the index says it holds (its own memory and the file bytes it views).
PROBE = """
import json, sys
from benchutil import rss_bytes, settle
import brindlex
settle()
before = rss_bytes()
index = brindlex.Index.load(sys.argv[1], mmap=sys.argv[2] == "1")
index.complete("a")
settle()
print(json.dumps({"rss_growth": rss_bytes() - before, "memory_bytes": index._lookup.memory_bytes,
                  "file_bytes": index._lookup.file_bytes}))
"""


def sample_entries() -> list[tuple[str, int, list[tuple[uuid.UUID, int]]]]:
    terms: dict[str, tuple[int, list[tuple[uuid.UUID, int]]]] = {}
    with SAMPLE.open(encoding="utf-8", newline="") as f:
        rows = csv.reader(f, delimiter="\t")
        next(rows)
        for term, count, video, video_count in rows:
            terms.setdefault(term, (int(count), []))[1].append((uuid.UUID(video), int(video_count)))
    return [(t, c, v) for t, (c, v) in terms.items()]


def title_entries(words: Sequence[str], n: int, seed: int) -> list[tuple[str, int, list[Any]]]:
    """n distinct titles of 2 to 4 words of the list, Zipf counts, no videos."""
    rng = random.Random(seed)
    titles: set[str] = set()
    while len(titles) < n:
        titles.add(" ".join(rng.choice(words) for _ in range(rng.randint(2, 4))))
    counts = bd.term_counts(n, seed + 1)
    return [(t, c, []) for t, c in zip(sorted(titles), counts)]


def probe(path: str, mmap: bool) -> dict[str, int]:
    here = str(Path(__file__).resolve().parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([here, *sys.path]))
    done = subprocess.run([sys.executable, "-c", PROBE, path, "1" if mmap else "0"], env=env, check=True,
                          capture_output=True, text=True)
    return json.loads(done.stdout)


def latency(fn: Callable[..., Any], args: list[tuple[Any, ...]], cfg: Any) -> tuple[dict[str, float], dict[str, float]]:
    cns, _ = bu.cold_ns(fn, args)
    wns, _ = bu.per_query_ns(fn, args, min_reps=cfg.min_reps, max_reps=cfg.max_reps, target_ns=cfg.target_ns)
    return bu.summary_us(cns), bu.summary_us(wns)


def one_catalogue(name: str, entries: list[Any], texts: Sequence[str], cfg: Any, out: dict[str, Any]) -> None:
    import brindlex

    prefixes = search_box_prefixes(texts, cfg.queries, SEED)
    queries = [q for q, _, _ in bd.make_queries(list(texts), cfg.queries, SEED + 1)]
    figures: dict[str, Any] = {}
    rows: list[list[Any]] = []
    lat_rows: list[list[Any]] = []
    with tempfile.TemporaryDirectory() as folder:
        for words in (False, True):
            seconds, index = bu.timed(lambda: brindlex.Index.build(entries, words=words))
            path = os.path.join(folder, f"{words}.brx")
            index.save(path)
            size = os.path.getsize(path)
            mapped, read = probe(path, True), probe(path, False)
            loaded = brindlex.Index.load(path)
            calls = [
                ("complete(p), auto", lambda p: loaded.complete(p), [(p,) for p in prefixes]),
                ("complete(p, max_dist=0)", lambda p: loaded.complete(p, max_dist=0), [(p,) for p in prefixes]),
                ("suggest(q, max_dist=2)", lambda q: loaded.suggest(q, max_dist=2), [(q,) for q in queries]),
                ("suggest(q, max_dist=1)", lambda q: loaded.suggest(q, max_dist=1), [(q,) for q in queries]),
                ("videos(q)", lambda q: loaded.videos(q), [(q,) for q in queries]),
                # Fan-out: two typed letters begin a word of thousands of titles.
                ("videos(p[:2], max_dist=0, prefixes)", lambda p: loaded.videos(p, max_dist=0, include_prefix_nodes=True),
                 [(p[:2],) for p in prefixes]),
            ]
            cases = {}
            for label, fn, args in calls:
                cold, warm = latency(fn, args, cfg)
                cases[label] = {"cold": cold, "warm": warm}
                lat_rows.append([label, "yes" if words else "no", cold["median_us"], cold["p99_us"],
                                 warm["median_us"], warm["p99_us"]])
            figures[str(words)] = {"build_s": seconds, "file_bytes": size, "rss_mapped": mapped, "rss_read": read,
                                   "cases": cases}
            rows.append(["yes" if words else "no", len(index), seconds, size / 1e6, mapped["rss_growth"] / 1e6,
                         read["rss_growth"] / 1e6])
            del index, loaded
    bu.section(f"words: {name}")
    # Loading verifies the checksum, which reads every page: mapped, they count in the
    # resident figure too (shared with every process that maps the file).
    print(bu.table(["words", "terms", "build s", "file MB", "RSS after load MB (mapped)", "RSS after load MB (read)"],
                   rows, digits=2))
    print(bu.table(["call", "words", "cold median us", "cold p99 us", "warm median us", "warm p99 us"], lat_rows,
                   digits=2))
    off, on = figures["False"], figures["True"]
    ratios = {label: on["cases"][label]["cold"]["median_us"] / off["cases"][label]["cold"]["median_us"]
              for label in on["cases"]}
    print(f"words / no words: file {on['file_bytes'] / off['file_bytes']:.2f}x, build {on['build_s'] / off['build_s']:.2f}x; "
          "cold medians " + ", ".join(f"{k} {v:.2f}x" for k, v in ratios.items()) + " (target: latencies within 2x)")
    figures["ratios"] = ratios
    out[name] = figures


def words_section(words: list[str], cfg: Any, out: dict[str, Any]) -> None:
    section: dict[str, Any] = {}
    out["words"] = section
    sample = sample_entries()
    one_catalogue("sample catalogue", sample, [t for t, _, _ in sample], cfg, section)
    one_catalogue("348k word list", bd.plain_entries(words, SEED), words, cfg, section)
    titles = title_entries(words, len(words), SEED + 2)
    # Queries and prefixes are cut from single words: a word typed from the middle of a title.
    one_catalogue("348k titles of 2-4 words", titles, words, cfg, section)


def main() -> None:
    from bench import FULL, QUICK

    cfg = QUICK if "--quick" in sys.argv else FULL
    out: dict[str, Any] = {}
    words_section(bd.load_words(), cfg, out)


if __name__ == "__main__":
    main()
