"""Index files used in place (a section of bench.py): loading a version 2 file in a fresh
process, with and without verification, and what it keeps privately; workers spawned
over one file and the memory they share; queries from the mapping against the decoded
index of a version 1 file; a one-shot ``brindlex suggest``; and what each section of the
file costs beside version 1.

Run by bench.py (``in_place.section``); the children run this file:

    python3 benchmarks/in_place.py load INDEX VERIFY   the load's time and private memory
    python3 benchmarks/in_place.py spawn INDEX QUERIES WORKERS
                                                        WORKERS spawned processes, each
                                                        loading INDEX and answering QUERIES
"""

from __future__ import annotations

import json
import multiprocessing
import os
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

MB = 1e6
SECTION_NAMES = {
    1: "figures", 2: "node_shifts", 3: "child_labels", 4: "child_transitions", 5: "has_payload",
    6: "slot presence", 7: "slot totals", 8: "slot aliases", 9: "slot list ends", 10: "slot list ends (64-bit)",
    11: "slot count ends", 12: "video numbers", 13: "video counts", 14: "video UUIDs", 15: "video int ids",
    16: "walk entries", 17: "reversed-term index", 18: "completion bounds", 19: "count fixes",
    20: "spelling nodes", 21: "spelling ends", 22: "spelling text", 23: "video text ends", 24: "video texts",
    27: "word nodes", 28: "word terms", 29: "term parents", 32: "exact-term slots", 33: "exact-term texts",
}


def private_bytes() -> dict[str, int]:
    """Private_Clean and Private_Dirty of this process (/proc/self/smaps_rollup), bytes.
    Pages of a mapped file that no other process maps count as Private_Clean: page cache
    that any process mapping the file shares, and the system can drop."""
    found = {}
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("Private_Clean", "Private_Dirty"):
                found[key] = int(rest.split()[0]) * 1024
    return found


def pss_bytes() -> int:
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key == "Pss":
                return int(rest.split()[0]) * 1024
    return 0


# -- children -------------------------------------------------------------------------------


def child_load(path: str, verify: bool) -> None:
    import brindlex  # noqa: F401  (the import is not what is timed)
    from brindlex import Index

    before = private_bytes()
    t0 = time.perf_counter()
    index = Index.load(path, verify=verify)
    elapsed = time.perf_counter() - t0
    after = private_bytes()
    grown = {k: after[k] - before[k] for k in after}
    print(json.dumps({"load_s": elapsed, "dirty_bytes": grown["Private_Dirty"], "clean_bytes": grown["Private_Clean"],
                      "terms": len(index)}))


def answer(path: str, queries: list[str], report: Any) -> None:
    from brindlex import Index

    index = Index.load(path)
    for i, q in enumerate(queries):
        kind = i % 3
        if kind == 0:
            index.suggest(q)
        elif kind == 1:
            index.videos(q)
        else:
            index.complete(q[:3])
    report.put(pss_bytes())


def idle(report: Any) -> None:
    import brindlex  # noqa: F401

    report.put(pss_bytes())


def child_spawn(path: str, query_path: str, workers: int) -> None:
    queries = Path(query_path).read_text(encoding="utf-8").splitlines()
    ctx = multiprocessing.get_context("spawn")
    report = ctx.Queue()

    def run(target: Any, args: tuple[Any, ...], n: int) -> list[int]:
        procs = [ctx.Process(target=target, args=args) for _ in range(n)]
        for p in procs:
            p.start()
        found = [report.get(timeout=600) for _ in procs]
        for p in procs:
            p.join()
        return found

    one = run(answer, (path, queries, report), 1)[0]
    many = run(answer, (path, queries, report), workers)
    bare = run(idle, (report,), 1)[0]
    print(json.dumps({"one_pss": one, "pss": many, "bare_pss": bare}))


# -- the section ------------------------------------------------------------------------------


def run_child(*args: str) -> dict[str, Any]:
    done = subprocess.run([sys.executable, __file__, *args], capture_output=True, text=True, check=True,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    return json.loads(done.stdout.splitlines()[-1])


def section_sizes(data: bytes) -> dict[str, int]:
    (count,) = struct.unpack_from("<I", data, 12)
    sizes: dict[str, int] = {}
    for k in range(count):
        sid, width, _, n, _ = struct.unpack_from("<IIQQQ", data, 48 + 32 * k)
        sizes[SECTION_NAMES.get(sid, str(sid))] = width * n
    return sizes


def section(index: Any, words: list[str], queries: list[str], cfg: Any, out: dict[str, Any]) -> None:
    """`index` is the words + videos Index; `queries` the misspelt queries fuzzy_match is timed on."""
    import benchutil as bu

    from brindlex import Index
    from brindlex._format import file_chunks

    runs = 3 if cfg.mode == "quick" else 7
    with tempfile.TemporaryDirectory() as folder:
        v2 = Path(folder) / "words.brx"
        v1 = Path(folder) / "words-v1.brx"
        index.save(v2)
        v1.write_bytes(b"".join(file_chunks(index.engine.to_bytes(), index._notes or b"", index.text_mode,
                                            index.video_top_n)))
        data = v2.read_bytes()
        sizes = section_sizes(data)
        fig: dict[str, Any] = {"v1_bytes": v1.stat().st_size, "v2_bytes": len(data), "sections": sizes}

        # Loads in fresh processes, the file in the page cache (read just above).
        for name, path, verify in (("verified", v2, "1"), ("trusted", v2, "0"), ("version 1", v1, "1")):
            got = [run_child("load", str(path), verify) for _ in range(runs)]
            fig[name] = {"load_ms": statistics.median(g["load_s"] for g in got) * 1e3,
                         "dirty_mb": statistics.median(g["dirty_bytes"] for g in got) / MB,
                         "clean_mb": statistics.median(g["clean_bytes"] for g in got) / MB}

        # Queries from the mapping against the decoded version 1 index, cold, each once,
        # interleaved by halves so that neither gets the warmer machine.
        mapped, decoded = Index.load(v2), Index.load(v1)
        half = len(queries) // 2
        cold: dict[str, list[float]] = {"mapped": [], "decoded": []}
        for i, part in enumerate((queries[:half], queries[half:])):
            order = (("mapped", mapped), ("decoded", decoded))
            for name, ix in order if i == 0 else order[::-1]:
                for call in (ix.suggest, ix.videos, lambda q, ix=ix: ix.complete(q[:3])):
                    ns, _ = bu.cold_ns(call, [(q,) for q in part])
                    cold[name].extend(ns.tolist())
        mean_us = {k: statistics.fmean(v) / 1e3 for k, v in cold.items()}
        median_us = {k: statistics.median(v) / 1e3 for k, v in cold.items()}
        fig["cold_mean_us"], fig["cold_median_us"] = mean_us, median_us
        del mapped, decoded

        # One-shot command line, wall time.
        walls = {}
        for name, path in (("version 2", v2), ("version 1", v1)):
            times = []
            for _ in range(runs):
                t0 = time.perf_counter()
                subprocess.run([sys.executable, "-m", "brindlex", "suggest", str(path), "helo"], check=True,
                               capture_output=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
                times.append(time.perf_counter() - t0)
            walls[name] = statistics.median(times)
        fig["suggest_wall_s"] = walls

        # Spawned workers over one file.
        n_queries = 2_000 if cfg.mode == "quick" else 10_000
        query_path = Path(folder) / "queries.txt"
        query_path.write_text("\n".join((queries * (n_queries // max(len(queries), 1) + 1))[:n_queries]) + "\n",
                              encoding="utf-8")
        spawned = run_child("spawn", str(v2), str(query_path), "4")
        fig["spawn"] = spawned

    out["in_place"] = fig
    v1b, v2b = fig["v1_bytes"], fig["v2_bytes"]
    print(f"File: version 1 {v1b / MB:.1f} MB, version 2 {v2b / MB:.1f} MB ({v2b / v1b:.2f}x; "
          f"{bu.target(v2b / v1b, 2, 'x')}). Version 2 by section, MB:")
    print("  " + ", ".join(f"{k} {v / MB:.2f}" for k, v in sorted(sizes.items(), key=lambda kv: -kv[1]) if v))
    ver, tru, old = fig["verified"], fig["trusted"], fig["version 1"]
    print(f"Index.load in a fresh process (median of {runs}): verified {ver['load_ms']:.2f} ms ("
          f"{bu.target(ver['load_ms'], 20, ' ms')}), verify=False {tru['load_ms']:.2f} ms ("
          f"{bu.target(tru['load_ms'], 1, ' ms')}); version 1 (decoded) {old['load_ms']:.0f} ms.")
    print(f"Private memory the load adds, Private_Dirty (owned: heap, tables made): verified "
          f"{ver['dirty_mb']:.2f} MB, verify=False {tru['dirty_mb']:.2f} MB ("
          f"{bu.target(max(ver['dirty_mb'], tru['dirty_mb']), 5, ' MB')}); version 1 {old['dirty_mb']:.1f} MB.")
    print(f"  Private_Clean (file pages read, page cache no other process maps yet): verified "
          f"{ver['clean_mb']:.1f} MB, verify=False {tru['clean_mb']:.1f} MB; version 1 {old['clean_mb']:.1f} MB.")
    ratio = mean_us["mapped"] / mean_us["decoded"]
    print(f"Queries cold, each once ({len(cold['mapped']):,} calls each: suggest, videos, complete): mapped mean "
          f"{mean_us['mapped']:.1f} us, median {median_us['mapped']:.1f} us; decoded mean "
          f"{mean_us['decoded']:.1f} us, median {median_us['decoded']:.1f} us; mapped / decoded {ratio:.3f} "
          f"({bu.target(ratio, 1.05)}).")
    print(f"One-shot brindlex suggest FILE helo, wall (median of {runs}): version 2 "
          f"{walls['version 2']:.3f} s ({bu.target(walls['version 2'], 0.15, ' s')}), version 1 "
          f"{walls['version 1']:.3f} s.")
    pss, one, bare = sum(spawned["pss"]), spawned["one_pss"], spawned["bare_pss"]
    print(f"4 spawned workers x {n_queries:,} queries: sum of PSS {pss / MB:.1f} MB, one worker alone "
          f"{one / MB:.1f} MB: {pss / one:.2f}x ({bu.target(pss / one, 1.3, 'x')}). Less a bare "
          f"interpreter's {bare / MB:.1f} MB each: {(pss - 4 * bare) / MB:.1f} MB against "
          f"{(one - bare) / MB:.1f} MB, {(pss - 4 * bare) / max(one - bare, 1):.2f}x.")


if __name__ == "__main__":
    if sys.argv[1] == "load":
        child_load(sys.argv[2], sys.argv[3] == "1")
    elif sys.argv[1] == "spawn":
        child_spawn(sys.argv[2], sys.argv[3], int(sys.argv[4]))
