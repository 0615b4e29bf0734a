"""The benchmark of brindlex: build cost, query latency, snapshot throughput, index files,
serving and peers, printed as plain text tables, one section a concern, each figure
that has a target printed beside it ("target ≤ X: met" or "missed").

    PYTHONPATH=build/release:python python3 benchmarks/bench.py [--quick] [--big] [--json PATH]

--quick    fewer queries and repetitions: a smoke run of well under a minute
           (also chosen by BRINDLEX_BENCH_QUICK=1 in the environment)
--big      adds a synthetic vocabulary of 2 million terms (several GB, a few minutes)
--json     also writes every figure to PATH

Latencies are per call (time.perf_counter_ns around each call). Cold figures: each
query called once, in sequence, as a server meets them; warm ones: each query called
once to warm up, then repeatedly, a query's figure the median of its calls. Tables give
the median and the 99th percentile over all queries. benchmarks/README.md explains
every column. The sections live in modules named after them: building, term_queries,
search_box, listing, snapshots, forked_workers, in_place, local_peers, long_term, peers.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import sys
import time
from dataclasses import asdict
from pathlib import Path
from typing import Any

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchdata as bd  # noqa: E402
import benchutil as bu  # noqa: E402
from benchconfig import FULL, QUICK, SEED, VIDEO_LIMIT, VIDEO_TOP_N  # noqa: E402

try:
    import brindlex
    import building
    import forked_workers
    import in_place
    import local_peers
    import peers
    import snapshots
    import term_queries
    from listing import listing_section
    from long_term import long_query_section, long_term_section
    from search_box import search_box_section
    from text_ids import text_ids_section
    from threads import threads_section
    from words import words_section
except ImportError as exc:  # reported after the arguments, so that --help always works
    missing: ImportError | None = exc
else:
    missing = None


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smoke run: fewer queries and repetitions")
    parser.add_argument("--big", action="store_true", help="add the 2-million-term synthetic vocabulary")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON to PATH")
    parser.add_argument("--targets", action="store_true",
                        help="only the sections that print speed targets (what compare.py runs)")
    args = parser.parse_args()
    if missing is not None:
        sys.exit(f"{missing}: build the module (tools/build release) and set PYTHONPATH=build/release:python")
    quick = args.quick or os.environ.get("BRINDLEX_BENCH_QUICK", "") not in ("", "0")
    cfg = QUICK if quick else FULL
    started = time.perf_counter()

    import _brindlex
    import Levenshtein
    import rapidfuzz

    out: dict[str, Any] = {"config": asdict(cfg), "big": None, "_nodes": {}, "section_s": {}}
    mark = [time.perf_counter()]

    def lap(name: str) -> None:
        now = time.perf_counter()
        out["section_s"][name] = now - mark[0]
        mark[0] = now

    every = not args.targets
    print(f"brindlex benchmark ({cfg.mode} run{', with --big' if args.big else ''}"
          f"{', targets only' if args.targets else ''})")
    print(f"python {platform.python_version()}, module {_brindlex.__file__}")
    print(f"numpy {np.__version__}, rapidfuzz {rapidfuzz.__version__}, python-Levenshtein {Levenshtein.__version__}")
    load = os.getloadavg()
    print(f"{os.cpu_count()} CPUs, load average at start {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
    floor = bu.timer_floor_ns()
    print(f"timer floor (empty timed region, included in every per-call figure): {floor} ns")
    out["machine"] = {"cpus": os.cpu_count(), "loadavg_start": load, "timer_floor_ns": floor,
                      "python": platform.python_version()}

    words = bd.load_words()
    query_triples = bd.make_queries(words, cfg.queries, SEED)
    queries = [q for q, _, _ in query_triples]
    edits = [e for _, _, e in query_triples]

    bu.section("Build")
    plain_index, plain_fig, video_index, video_entries = building.build_section(words, cfg, out)
    bu.section("brindlex build: a catalogue file to an index file")
    print("The words + videos of the build section as catalogue rows: one per (term, video), a term without")
    print(f"videos on one row of its own; median of {cfg.build_runs} run(s) after the cold one.")
    building.catalogue_section(video_entries, cfg, out)
    del video_entries
    if every:
        bu.section("Text video ids: a catalogue of text ids against the same of int ids")
        text_ids_section(words, out)
        bu.settle()
        building.synthetic_catalogue_section(words, cfg, out)
        bu.settle()
    if args.big:
        building.big_section(words, cfg, out)
    else:
        print("(the 2-million-term synthetic vocabulary runs with --big)")
    lap("build")

    gc.collect()
    gc.freeze()  # the word list and entries are settled: keep them out of later collections

    bu.section("fuzzy_match")
    print(f"{len(queries):,} queries: random indexed words with 0/1/2 random edits "
          f"({edits.count(0)}/{edits.count(1)}/{edits.count(2)} queries), characters drawn from the "
          f"word list's alphabet by frequency.")
    print(f"Each query: 1 warm-up call, then {cfg.min_reps}-{cfg.max_reps} timed calls (about "
          f"{cfg.target_ns / 1e6:.1f} ms in all); figure per query = median call. Index without videos.")
    module_ns = term_queries.fuzzy_section(plain_index, queries, cfg, out)
    lap("fuzzy_match")

    bu.section("Index: suggest, complete, count")
    print("The queries of the fuzzy_match section as typed (Index folds them) against the word list, folded, with its "
          "Zipf counts; complete: prefixes of 1-5 characters of random words.")
    searched = term_queries.index_section(words, queries, cfg, out)
    lap("index")

    if every:
        bu.section("The search box: complete with typos, suggest with swaps")
        search_box_section(searched, queries, cfg, SEED + 11, out)
    bu.section("Threads: suggest from one and two threads")
    print("The index of the Index section; the misspelt queries, each thread taking its share in turn.")
    out["threads"] = {k: threads_section(searched, queries, 1 if quick else 3, k) for k in (1, 2)}
    del searched
    lap("search_box")
    if every:
        bu.section("Index: listing the terms")
        print("The folded word list of the Index section; each case first once (cold), then timed again. A plain "
              "loop takes the terms.")
        listing_section(words, out)
        lap("listing")
        bu.section("Matching inside titles: what words=True costs")
        words_section(words, cfg, out)
        lap("words")

    bu.section("fuzzy_match_video")
    print(f"Index with videos; limit {VIDEO_LIMIT}, video_top_n {VIDEO_TOP_N}, include_prefix_nodes and "
          f"min_score left out. Prefixes: the first 1-5 characters of {cfg.queries:,} random words")
    print("(max_dist 1, the default); misspelt: the queries of the fuzzy_match section. fuzzy_match: same "
          "index, terms and bound, no limit.")
    term_queries.video_section(video_index, words, queries, cfg, out)
    lap("fuzzy_match_video")

    bu.section("Snapshots")
    print(f"Median of {cfg.snapshot_runs} runs each; MB = 10^6 bytes.")
    snapshots.snapshot_section([("words, no videos", plain_index, len(words)),
                      ("words + videos", video_index, len(words))], cfg, out)
    if every:
        bu.section("Index files")
        snapshots.index_file_section(video_index, cfg, out)
        bu.section("Serving from forked workers")
        print(f"A fresh process loads the index with videos (Index.load), then forks workers, each answering "
              f"{forked_workers.SERVING_QUERIES[cfg.mode]:,} queries once, in sequence, read from a file: suggest(text), "
              f"videos(text) and complete(prefix) in turn.")
        forked_workers.serving_section(video_index, words, cfg, out)
        bu.section("Index files used in place")
        in_place.section(brindlex.Index(video_index), words, queries, cfg, out)
    del video_index
    bu.settle()
    lap("snapshots")

    if every:
        bu.section("Peers: a symmetric-delete index and brute force over the word list")
        local_peers.peers_section(plain_index, words, queries, module_ns, plain_fig["rss_growth_from_bytes_bytes"],
                      plain_fig["build_index_s"], cfg, out)
        lap("peers")

    bu.section("The compiled peer, timed natively")
    print("Both without Python: walk_terms on the snapshot of the fuzzy_match section's index, and the peer, "
          "on its queries, each query once, in sequence.")
    local_peers.compiled_peer_section(plain_index, words, queries, out)
    lap("compiled_peer")

    if every:
        bu.section("Long queries")
        print("An index of 'a' x 100,000 and 'b'; each query once, in turn; peak growth: the resident "
              "high-water mark during the call above the resident size before it.")
        long_query_section(out)
        bu.section("One long term")
        print("A term of 250,000 to 1,000,000 characters with one video: each step once; stats is the command, "
              "the interpreter's start (beside it) included.")
        out["long_term"] = long_term_section()
        lap("long_queries")

        bu.section("Peers installed from the package index, in one process with brindlex")
        peers.run(quick, cfg.queries, cfg.rapidfuzz_queries, SEED, out)
        lap("installed_peers")

    elapsed = time.perf_counter() - started
    load = os.getloadavg()
    out["machine"]["loadavg_end"] = load
    out["elapsed_s"] = elapsed
    print()
    laps = ", ".join(f"{name}: {t:.0f}" for name, t in out["section_s"].items())
    print(f"Finished in {elapsed:.0f} s (per section, s: {laps}); load average at end "
          f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f}; peak RSS {bu.process_peak_rss_bytes() / 1e9:.2f} GB.")
    if args.json:
        del out["_nodes"]
        Path(args.json).write_text(json.dumps(out, indent=1, default=float) + "\n")
        print(f"Figures written to {args.json}")


if __name__ == "__main__":
    main()
