"""Serving from forked workers: every way of making an index hands it out with what its
queries need already made, so a worker forked afterwards writes nothing of its own for
it. Seen from the worker: the pages it dirties answering queries that take the split
search (which needs the reversed-term index), against an engine that was not prepared."""

from __future__ import annotations

import gc
import json
import os
import random
import string
import sys
from pathlib import Path

import pytest

import brindlex
from _brindlex import PrefixSearch
from brindlex import Index
from brindlex._native import prepare

pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux") or not hasattr(os, "fork"), reason="needs fork and /proc"
)


def private_dirty() -> int:
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            if line.startswith("Private_Dirty:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no Private_Dirty in smaps_rollup")


def dirtied_by_queries(engine: PrefixSearch, queries: list[str]) -> int:
    """Bytes a child forked now dirties answering `queries` with fuzzy_match(q, 1)."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover (the child)
        status = 1
        try:
            # A collection would write to every object the parent's heap holds (how much
            # depends on the tests run before), which is not what the engine's queries cost.
            gc.disable()
            os.close(read)
            engine.fuzzy_match("warm", 0)  # the interpreter's own first-call costs
            before = private_dirty()
            answers = sum(len(engine.fuzzy_match(q, 1)) for q in queries)
            os.write(write, json.dumps([private_dirty() - before, answers]).encode())
            status = 0
        finally:
            os._exit(status)
    os.close(write)
    with os.fdopen(read) as f:
        report = f.read()
    _, status = os.waitpid(pid, 0)
    assert status == 0 and report, "the child failed"
    grown, answers = json.loads(report)
    assert answers >= len(queries)  # every query is a term: it finds itself at least
    return grown


@pytest.fixture(scope="module")
def vocabulary(tmp_path_factory) -> tuple[list[tuple[str, int, list[tuple[int, int]]]], list[str], Path, int, int]:
    """Entries, queries among their terms, their index file, and what a worker forked
    after restoring the engine dirties answering the queries: the engine prepared
    explicitly (what the worker's own calls cost, the allocator's habits included), and
    the bare engine (that, and the reversed-term index)."""
    rng = random.Random(7)
    words = {"".join(rng.choices(string.ascii_lowercase, k=rng.randint(6, 12))) for _ in range(25_000)}
    entries = [(w, rng.randint(1, 99), [(i % 500, 1)]) for i, w in enumerate(sorted(words))]
    # Long enough for the split search at bound 1 (at least 4 characters).
    queries = rng.sample(sorted(words), 30)
    path = tmp_path_factory.mktemp("serving") / "index.brx"
    Index.build(entries, fold=False).save(path)
    snapshot = Index.load(path, mmap=False).engine.to_bytes()
    ready = PrefixSearch.from_bytes(snapshot)
    prepare(ready)
    baseline = dirtied_by_queries(ready, queries)
    # The bare engine's first split query makes the reversed-term index in the worker
    # (a few MB for these 25,000 terms).
    unprepared = dirtied_by_queries(PrefixSearch.from_bytes(snapshot), queries)
    assert unprepared - baseline > 2_000_000, f"the control dirtied {unprepared} bytes, {baseline} prepared"
    return entries, queries, path, baseline, unprepared


MAKERS = {
    "build_index": lambda entries, path: brindlex.build_index(entries),
    "Index.build": lambda entries, path: Index.build(entries).engine,
    "brindlex.load": lambda entries, path: brindlex.load(path),
    "Index.load": lambda entries, path: Index.load(path).engine,
}


# Under AddressSanitizer freed memory waits in a quarantine instead of being reused, so a
# child dirties pages in proportion to all it ever allocated, whatever the engine shares.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="dirtied memory is not meaningful under AddressSanitizer")
@pytest.mark.parametrize("maker", MAKERS)
def test_workers_forked_after_making_share_what_queries_need(maker, vocabulary):
    entries, queries, path, baseline, unprepared = vocabulary
    made = dirtied_by_queries(MAKERS[maker](entries, path), queries)
    # Most of what the reversed-term index costs a worker is saved.
    assert made - baseline < (unprepared - baseline) / 2, (
        f"{maker}: a worker dirtied {made} bytes; prepared {baseline}, unprepared {unprepared}"
    )
