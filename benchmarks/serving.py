"""Serving from forked workers: one process loads an index file, then forks workers that
answer queries, as a pre-forking server does. Run by the benchmark in a fresh
interpreter, so that the parent holds what a server holds (the index and little else)
and not the benchmark's own lists:

    python3 benchmarks/serving.py INDEX QUERIES WORKERS [--no-freeze] [--engine-only]

QUERIES holds one query a line, `s TEXT` (Index.suggest), `v TEXT` (Index.videos) or
`c TEXT` (Index.complete); each worker reads the file itself, a line at a time, as a
server reads its requests, and answers every line. Printed as JSON: the wall time from
the start signal until the last worker finished, and each worker's own wall and CPU
time and memory from /proc/PID/smaps_rollup after its last query (Private_Clean, Private_Dirty,
Pss, Rss, in bytes).

--no-freeze    fork without gc.freeze(), leaving the parent's objects to the
               collector of every worker
--engine-only  load with PrefixSearch.from_bytes alone (nothing made in advance; INDEX a
               bare snapshot or a version 1 file, which hold one) and
               answer every query with fuzzy_match(text, 2): the reversed-term index
               is then made by each worker's first query
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import sys
import time
import traceback
from typing import Any

FIELDS = ("Private_Clean", "Private_Dirty", "Pss", "Rss")


def smaps_rollup(pid: int | str = "self") -> dict[str, int]:
    """The fields above of /proc/PID/smaps_rollup, in bytes."""
    found: dict[str, int] = {}
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in FIELDS:
                found[key] = int(rest.split()[0]) * 1024
    return found


def answer_all(answer: dict[str, Any], path: str) -> int:
    """Answers every line of the query file; returns how many."""
    done = 0
    with open(path, encoding="utf-8") as f:
        for line in f:
            kind, text = line[0], line[2:].rstrip("\n")
            answer[kind](text)
            done += 1
    return done


def worker(answer: dict[str, Any], path: str, start: int, report: int) -> None:
    os.read(start, 1)  # every worker starts at once, when the parent says so
    began, cpu = time.perf_counter(), time.process_time()
    done = answer_all(answer, path)
    elapsed, cpu = time.perf_counter() - began, time.process_time() - cpu
    figures = {"queries": done, "seconds": elapsed, "cpu_seconds": cpu, **smaps_rollup()}
    os.write(report, (json.dumps(figures) + "\n").encode())


def serve(answer: dict[str, Any], path: str, workers: int) -> dict[str, Any]:
    start_r, start_w = os.pipe()
    report_r, report_w = os.pipe()
    pids = []
    for _ in range(workers):
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                os.close(start_w)
                os.close(report_r)
                worker(answer, path, start_r, report_w)
                status = 0
            except BaseException:
                traceback.print_exc()
            finally:
                os._exit(status)
        pids.append(pid)
    os.close(start_r)
    os.close(report_w)
    time.sleep(0.2)  # let every child finish forking before the clock starts
    parent_before = smaps_rollup()
    began = time.perf_counter()
    os.write(start_w, b"x" * workers)
    with os.fdopen(report_r) as reports:
        results = [json.loads(line) for line in reports]
    wall = time.perf_counter() - began
    for pid in pids:
        _, status = os.waitpid(pid, 0)
        if status != 0:
            raise SystemExit(f"a worker failed (status {status})")
    os.close(start_w)
    if len(results) != workers:
        raise SystemExit(f"{len(results)} of {workers} workers reported")
    return {"workers": results, "wall_s": wall, "parent": parent_before}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("index")
    parser.add_argument("queries")
    parser.add_argument("workers", type=int)
    parser.add_argument("--no-freeze", action="store_true")
    parser.add_argument("--engine-only", action="store_true")
    args = parser.parse_args()

    began = time.perf_counter()
    if args.engine_only:
        from _brindlex import PrefixSearch

        from brindlex._files import read_file

        engine = PrefixSearch.from_bytes(read_file(args.index).snapshot)
        answer = dict.fromkeys("svc", lambda text: engine.fuzzy_match(text, 2))
    else:
        from brindlex import Index

        index = Index.load(args.index)
        answer = {"s": index.suggest, "v": index.videos, "c": index.complete}
    load_s = time.perf_counter() - began
    gc.collect()
    if not args.no_freeze:
        # Objects made before the fork are left out of every later collection: a
        # collection writes to the header of each object it looks at, which would
        # copy every page of the parent's objects into each worker.
        gc.freeze()
    figures = serve(answer, args.queries, args.workers)
    figures["load_s"] = load_s
    json.dump(figures, sys.stdout)
    print()


if __name__ == "__main__":
    main()
