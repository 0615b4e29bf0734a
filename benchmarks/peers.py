"""The peers a user would pick instead of brindlex, installed from the package index into
a virtual environment of the build and timed beside it on the same queries, cold, in one
process: marisa-trie (exact lookup, keys of a prefix), symspellpy and rapidfuzz (suggest),
fuzzyfst (fuzzy search). Their answers are compared with brindlex's where the two mean
the same thing.

    python3 benchmarks/peers.py [--queries N] [--rapidfuzz N]   the section on its own

bench.py calls run(); it installs what benchmarks/peers-requirements.txt pins into
build/peers-venv (made with the system's site packages, for numpy), one peer at a time,
skipping with one line a peer that cannot be had, then runs this file there as the worker
(--worker), which prints the tables.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
REQUIREMENTS = HERE / "peers-requirements.txt"
VENV = Path(os.environ.get("BRINDLEX_PEERS_VENV", HERE.parent / "build" / "peers-venv"))
MB = 1e6

# -- installing (runs under the benchmark's interpreter) -------------------------------------


def pinned() -> list[tuple[str, str]]:
    """(distribution name, requirement line) for each pinned peer."""
    lines = [line.split("#")[0].strip() for line in REQUIREMENTS.read_text().splitlines()]
    return [(re.split(r"[\[=]", line)[0], line) for line in lines if line]


def _installed(python: Path, names: list[str]) -> dict[str, str]:
    """Versions of the named distributions installed in the environment itself (not those
    its system site packages lend it)."""
    probe = (
        "import json, sys\nfrom importlib import metadata\nfound = {}\nfor n in sys.argv[2:]:\n"
        "    try:\n        d = metadata.distribution(n)\n    except metadata.PackageNotFoundError:\n"
        "        continue\n    if str(d.locate_file('')).startswith(sys.argv[1]):\n"
        "        found[n] = d.version\nprint(json.dumps(found))\n"
    )
    out = subprocess.run([str(python), "-c", probe, str(VENV), *names], capture_output=True, text=True)
    return json.loads(out.stdout) if out.returncode == 0 else {}


def prepare(install: bool) -> Path | None:
    """The environment's interpreter with every peer that could be installed, or None."""
    python = VENV / "bin" / "python"
    if not python.exists():
        if not install:
            print("peers: no build/peers-venv yet (a default run of make bench makes it)")
            return None
        made = subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(VENV)],
                              capture_output=True, text=True)
        if made.returncode != 0:
            print(f"peers: skipped, no virtual environment ({(made.stderr.strip().splitlines() or ['?'])[-1]})")
            return None
    peers = pinned()
    have = _installed(python, [name for name, _ in peers])
    for name, line in peers:
        if have.get(name) == line.split("==")[1]:
            continue
        if not install:
            print(f"peers: {name} skipped (not installed; a default run of make bench installs {line})")
            continue
        t0 = time.perf_counter()
        got = subprocess.run([str(python), "-m", "pip", "install", "--quiet", "--timeout", "20", "--retries", "1",
                              line], capture_output=True, text=True)
        if got.returncode == 0:
            print(f"peers: installed {line} ({time.perf_counter() - t0:.0f} s)", flush=True)
        else:
            reason = [ln for ln in got.stderr.splitlines() if ln.strip() and not ln.startswith("WARNING")]
            print(f"peers: {name} skipped, pip could not install {line}: {(reason or ['?'])[-1].strip()}")
    return python


def run(quick: bool, queries: int, rapidfuzz_queries: int, seed: int, out: dict[str, Any]) -> None:
    """The section, from bench.py: skipped in a quick run unless BRINDLEX_BENCH_PEERS=1,
    and never failing the benchmark."""
    if quick and os.environ.get("BRINDLEX_BENCH_PEERS", "") in ("", "0"):
        print("(a quick run leaves the peers out; BRINDLEX_BENCH_PEERS=1 runs them, without installing)")
        return
    python = prepare(install=not quick)
    if python is None:
        return
    sys.stdout.flush()  # what is printed so far comes before the worker's lines
    with tempfile.TemporaryDirectory() as folder:
        figures = Path(folder) / "peers.json"
        done = subprocess.run([str(python), __file__, "--worker", "--queries", str(queries), "--rapidfuzz",
                               str(rapidfuzz_queries), "--seed", str(seed), "--json", str(figures)])
        if done.returncode != 0 or not figures.exists():
            print(f"peers: the worker failed (exit status {done.returncode}); the benchmark goes on")
            return
        out["pypi_peers"] = json.loads(figures.read_text())


# -- measuring (runs in the environment) ------------------------------------------------------


def worker(queries_n: int, rapidfuzz_n: int, seed: int, folder: Path) -> dict[str, Any]:
    import importlib
    from importlib import metadata

    sys.path.insert(0, str(HERE))
    import benchdata as bd
    import benchutil as bu
    import brindlex

    words = bd.load_words()
    entries = bd.plain_entries(words, seed)
    counts = {term: count for term, count, _ in entries}
    queries = [q for q, _, _ in bd.make_queries(words, queries_n, seed)]
    others = [q for q, _, _ in bd.make_queries(words, queries_n, seed + 1)]  # for `in`
    prefixes = [p for n in range(1, 6) for p in bd.make_prefixes(words, n, max(queries_n // 10, 20), seed + 7 * n)]

    modules: dict[str, Any] = {}
    for name, line in pinned():
        module = name.replace("-", "_")
        try:
            modules[name] = importlib.import_module(module)
        except ImportError as exc:
            print(f"peers: {name} skipped ({exc})")
    versions = ", ".join(f"{n} {metadata.version(n)}" for n in modules)
    print(f"{len(words):,} words of {bd.WORDLIST} with the Zipf counts of the build section; peers: {versions or 'none'}.")

    structures: list[dict[str, Any]] = []

    def measure(label: str, build: Any, save: Any, load: Any) -> Any:
        """Builds, saves and loads one structure: time and resident growth of each step."""
        bu.settle()
        can_peak = bu.reset_peak()
        before = bu.rss_bytes()
        build_s, built = bu.timed(build)
        peak = bu.peak_bytes() - before if can_peak else None
        bu.settle()
        built_bytes = bu.rss_bytes() - before
        fig: dict[str, Any] = {"structure": label, "build_s": build_s, "build_peak_bytes": peak,
                               "built_bytes": built_bytes}
        if save is not None:
            path = folder / label.split()[0]
            save(built, path)
            fig["file_bytes"] = path.stat().st_size
            del built
            bu.settle()
            before = bu.rss_bytes()
            fig["load_s"], built = bu.timed(lambda: load(path))
            bu.settle()
            fig["loaded_bytes"] = bu.rss_bytes() - before
        structures.append(fig)
        return built

    index = measure("brindlex Index (no folding)", lambda: brindlex.Index.build(entries, fold=False),
                    lambda ix, p: ix.save(p), brindlex.Index.load)
    engine = index.engine
    peers: dict[str, Any] = {}
    if "marisa-trie" in modules:
        marisa = modules["marisa-trie"]
        peers["marisa"] = measure("marisa-trie Trie", lambda: marisa.Trie(words), lambda t, p: t.save(str(p)),
                                  lambda p: marisa.Trie().load(str(p)))
    if "fuzzyfst" in modules:
        fst_mod = modules["fuzzyfst"]

        def fst_build() -> str:
            # fuzzyfst builds straight into a file, which the "save" step then only moves.
            fst_mod.build(str(folder / "built.fst"), words)
            return str(folder / "built.fst")

        peers["fst"] = measure("fuzzyfst Fst (memory-mapped)", fst_build, os.replace, lambda p: fst_mod.Fst.open(str(p)))
    if "symspellpy" in modules:
        from symspellpy import SymSpell, Verbosity
        from symspellpy.editdistance import DistanceAlgorithm, EditDistance

        def symspell() -> Any:
            s = SymSpell(2, 7, distance_comparer=EditDistance(DistanceAlgorithm.LEVENSHTEIN_FAST))
            for term, count, _ in entries:
                s.create_dictionary_entry(term, count)
            return s

        def load_symspell(p: Path) -> Any:
            s = SymSpell(2, 7, distance_comparer=EditDistance(DistanceAlgorithm.LEVENSHTEIN_FAST))
            s.load_pickle(p, compressed=False)
            return s

        peers["symspell"] = measure("symspellpy SymSpell (pickle)", symspell,
                                    lambda s, p: s.save_pickle(p, compressed=False), load_symspell)
    if "rapidfuzz" in modules:
        # No index: it scans the list of words, which is what it holds.
        structures.append({"structure": "rapidfuzz (the word list)", "build_s": None, "build_peak_bytes": None,
                           "built_bytes": sys.getsizeof(words) + sum(map(sys.getsizeof, words))})

    # Each operation: brindlex once over its queries, cold, then each peer over the same.
    rows: list[dict[str, Any]] = []
    limit_all = len(index)

    def race(op: str, mine: Any, args: list[tuple[Any, ...]], theirs: list[tuple[str, Any, int]],
             sized: bool = True) -> None:
        own, _ = bu.cold_ns(mine, args, sized)
        for peer, fn, n in theirs:
            ns, _ = bu.cold_ns(fn, args[:n], sized)
            same, other = bu.summary_us(own[:n]), bu.summary_us(ns)
            rows.append({"operation": op, "peer": peer, "queries": n, "brindlex": same, "peer_figures": other,
                         "ratio_median": other["median_us"] / same["median_us"],
                         "ratio_p99": other["p99_us"] / same["p99_us"]})

    notes: dict[str, str] = {}

    def compare(key: str, triples: list[tuple[str, Any, Any]], explain: Any = None) -> None:
        """How many (query, brindlex's answer, the peer's) differ; `explain` tells the
        differences that the two semantics account for."""
        differing = [t for t in triples if t[1] != t[2]]
        unexplained = [t for t in differing if explain is None or not explain(*t)]
        notes[key] = f"{len(triples)} compared, {len(differing)} differ" + (
            f" ({len(differing) - len(unexplained)} explained, {len(unexplained)} not)" if explain else "")
        for q, a, b in unexplained[:3]:
            a, b = (a, b) if isinstance(a, set) else (set(a), set(b))
            notes[key] += f"\n    e.g. {q!r}: only brindlex {sorted(a - b)[:4]}, only the peer {sorted(b - a)[:4]}"

    membership = [(q,) for q in others]
    theirs_in = []
    if "marisa" in peers:
        theirs_in.append(("marisa-trie `in`", peers["marisa"].__contains__, len(others)))
    if "fst" in peers:
        theirs_in.append(("fuzzyfst contains", peers["fst"].contains, len(others)))
    if theirs_in:
        race("exact lookup (`in`)", index.__contains__, membership, theirs_in, sized=False)
        for peer, fn, _ in theirs_in:
            compare(peer, [(q, {q in index}, {fn(q)}) for q in others])
    if "marisa" in peers:
        trie = peers["marisa"]
        race("all keys of a prefix", lambda p: index.complete(p, limit_all, max_dist=0), [(p,) for p in prefixes],
             [("marisa-trie keys(prefix)", trie.keys, len(prefixes))])
        compare("marisa-trie keys(prefix)", [(p, {c.term for c in index.complete(p, limit_all, max_dist=0)}, set(trie.keys(p)))
                                             for p in prefixes])

        def top10(p: str) -> list[str]:
            # What a marisa-trie user writes for the most frequent completions: every key,
            # ranked by the counts kept beside the trie.
            return sorted(trie.keys(p), key=lambda t: (-counts[t], t))[:10]

        others_p = [p for n in range(1, 6) for p in bd.make_prefixes(words, n, max(queries_n // 10, 20), seed + 11 * n)]
        race("10 most frequent keys of a prefix", lambda p: index.complete(p, 10, max_dist=0), [(p,) for p in others_p],
             [("marisa-trie keys, sorted by count", top10, len(others_p))])
        compare("marisa-trie keys, sorted by count", [(p, [c.term for c in index.complete(p, 10, max_dist=0)], top10(p))
                                                      for p in others_p])

    def shown(found: list[Any]) -> set[tuple[str, int]]:
        return {(s.term, s.distance) for s in found}

    theirs_suggest = []
    if "symspell" in peers:
        sym = peers["symspell"]
        theirs_suggest.append(("symspellpy lookup ALL", lambda q: sym.lookup(q, Verbosity.ALL, 2)[:10], len(queries)))
    if "rapidfuzz" in modules:
        from rapidfuzz import process
        from rapidfuzz.distance import Levenshtein

        def extract(q: str, limit: int | None = 10) -> list[Any]:
            return process.extract(q, words, scorer=Levenshtein.distance, score_cutoff=2, limit=limit)

        theirs_suggest.append(("rapidfuzz process.extract", extract, min(rapidfuzz_n, len(queries))))
    if theirs_suggest:
        race("suggest, 10 best within 2 edits", lambda q: index.suggest(q, 10, max_dist=2, transpositions=False), [(q,) for q in queries],
             theirs_suggest)
        if "symspell" in peers:
            def listed_twice(q: str, mine: set[tuple[str, int]], peer: set[tuple[str, int]]) -> bool:
                # symspellpy may list a term it found a second time, at a larger distance.
                near = dict(sorted(mine, key=lambda pair: -pair[1]))
                return mine <= peer and all(near.get(t, d) < d for t, d in peer - mine)

            compare("symspellpy lookup ALL", [(q, shown(index.suggest(q, limit_all, max_dist=2, transpositions=False)),
                                               {(s.term, s.distance) for s in sym.lookup(q, Verbosity.ALL, 2)})
                                              for q in queries], listed_twice)
        if "rapidfuzz" in modules:
            compare("rapidfuzz process.extract", [(q, shown(index.suggest(q, limit_all, max_dist=2, transpositions=False)),
                                                   {(w, int(d)) for w, d, _ in extract(q, None)})
                                                  for q in queries[:rapidfuzz_n]])
    if "fst" in peers:
        fst = peers["fst"]

        def non_ascii(q: str, mine: set[tuple[str, int]], peer: set[tuple[str, int]]) -> bool:
            # fuzzyfst counts edits of UTF-8 bytes, which differ from edits of code points
            # only where the query or the term goes beyond ASCII.
            return not q.isascii() or all(not t.isascii() for t, _ in mine ^ peer)

        for k in (1, 2):
            race(f"fuzzy search within {k} edit{'s' if k > 1 else ''}", lambda q, k=k: engine.fuzzy_match(q, k),
                 [(q,) for q in queries],
                 [(f"fuzzyfst fuzzy_search {algo}", lambda q, k=k, a=algo: fst.fuzzy_search(q, k, algorithm=a),
                   len(queries)) for algo in ("bit-parallel", "dfa")])
            compare(f"fuzzyfst k={k}", [(q, {(t, d) for t, _, d in engine.fuzzy_match(q, k)}, set(fst.fuzzy_search(q, k)))
                                        for q in queries], non_ascii)
        print("peers: fuzzyfst 0.2.0 offers no prefix search (Fst: contains, fuzzy_search, open): no fuzzy-prefix row")

    print_tables(rows, structures, notes, bu)
    return {"rows": rows, "structures": structures, "answers": notes, "versions": versions}


def print_tables(rows: list[dict[str, Any]], structures: list[dict[str, Any]], notes: dict[str, str], bu: Any) -> None:
    print(bu.table(["operation", "peer", "queries", "brindlex median us", "peer median us", "peer/brindlex median",
                    "brindlex p99 us", "peer p99 us", "peer/brindlex p99"],
                   [[r["operation"], r["peer"], r["queries"], r["brindlex"]["median_us"],
                     r["peer_figures"]["median_us"], f"{r['ratio_median']:.2f}x", r["brindlex"]["p99_us"],
                     r["peer_figures"]["p99_us"], f"{r['ratio_p99']:.2f}x"] for r in rows], digits=2))
    print()

    def mb(value: int | None) -> float | None:
        return None if value is None else value / MB

    def ms(value: float | None) -> float | None:
        return None if value is None else value * 1e3

    print(bu.table(["structure", "build s", "build peak MB", "built MB", "file MB", "load ms", "loaded MB"],
                   [[s["structure"], s["build_s"], mb(s["build_peak_bytes"]), mb(s["built_bytes"]),
                     mb(s.get("file_bytes")), ms(s.get("load_s")), mb(s.get("loaded_bytes"))] for s in structures],
                   digits=2))
    print()
    print("Cold: each query once, in sequence; brindlex first over the operation's queries, then each peer")
    print("over the same (a peer with fewer queries is compared with brindlex's figures over those). MB:")
    print("resident growth (10^6 bytes) across the build, after it, and after loading the saved file in this")
    print("process; a memory-mapped file counts only the pages touched so far.")
    print("brindlex: Index (no folding) with `in`, complete(prefix, n=all terms) for the keys of a prefix")
    print("  (the listing of the keys is coming on another branch), suggest(text, 10, 2), and the engine's")
    print("  fuzzy_match(text, k); all edits count code points.")
    print("Answers compared where the semantics agree:")
    semantics = {
        "marisa-trie `in`": "the same membership",
        "fuzzyfst contains": "the same membership",
        "marisa-trie keys(prefix)": "the same set of keys (marisa lists them in its order, brindlex by count)",
        "marisa-trie keys, sorted by count": "the same list (most frequent first, then code-point order)",
        "symspellpy lookup ALL": "the same (term, distance) sets within 2 edits, symspellpy made with its "
                                 "Levenshtein comparer\n    (its default is Damerau OSA, where a transposition is "
                                 "one edit); timed: the 10 first of ALL;\n    explained: it lists a term it found a "
                                 "second time, at a larger distance (seen with one-letter terms)",
        "rapidfuzz process.extract": "the same (term, distance) sets: scorer Levenshtein.distance, score_cutoff 2,"
                                     " limit None\n    (its default scorers give normalised similarities, not edits);"
                                     " timed: limit 10, ties in word list order",
        "fuzzyfst k=1": "fuzzyfst counts edits of UTF-8 bytes: terms or queries beyond ASCII differ, as explained",
        "fuzzyfst k=2": "as for k=1",
    }
    for key, note in notes.items():
        print(f"  {key}: {semantics.get(key, '')}; {note}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--rapidfuzz", type=int, default=1000, help="queries for rapidfuzz, which scans the list")
    parser.add_argument("--seed", type=int, default=20240611)
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON to PATH")
    args = parser.parse_args()
    if not args.worker:
        out: dict[str, Any] = {}
        run(False, args.queries, args.rapidfuzz, args.seed, out)
        if args.json:
            Path(args.json).write_text(json.dumps(out.get("pypi_peers"), indent=1) + "\n")
        return
    with tempfile.TemporaryDirectory() as folder:  # the structures' files
        figures = worker(args.queries, args.rapidfuzz, args.seed, Path(folder))
    if args.json:
        Path(args.json).write_text(json.dumps(figures, indent=1, default=float) + "\n")


if __name__ == "__main__":
    main()
