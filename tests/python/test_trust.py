"""Index.build, its notes and the catalogue readers under callers and files that try to
mislead them: entries changed while they are read, nodes numbered in any order, counts
of int subclasses and saturated totals, notes and rows crafted to pass a checksum."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("_brindlex")

from brindlex import Index  # noqa: E402

# Entries as lists whose terms need the Python normaliser; something replaces each
# list's term while the build runs. Only a crash (or a build that does not finish) fails.
MUTATED_CHILD = """
import gc, sys, threading
from brindlex import Index

def fresh(i):
    return "".join(["Crème", str(i)])  # held by its list alone

entries = [[fresh(i), 1, [(i, 1)]] for i in range(N)]
WAY
index = Index.build(entries)
print("built", len(index))
"""

BY_COLLECTOR = """
def replace(phase, info):
    if phase == "start":
        for e in entries:
            e[0] = fresh(-1)
gc.set_threshold(1)
gc.callbacks.append(replace)
"""

BY_THREAD = """
stop = False
def replace():
    while not stop:
        for e in entries:
            e[0] = fresh(-1)
sys.setswitchinterval(1e-6)
threading.Thread(target=replace, daemon=True).start()
"""


@pytest.mark.parametrize("way", [BY_COLLECTOR, BY_THREAD], ids=["collector callback", "thread"])
def test_entries_replaced_during_build_do_not_crash(way):
    code = MUTATED_CHILD.replace("WAY", textwrap.dedent(way)).replace("N", "3000")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p and os.path.isdir(p)))
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", code], env=env, capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.startswith("built ")


# -- own counts in any numbering ---------------------------------------------------------


def numbered_trie(rng, size):
    """A random trie of `size` nodes under the root, numbered in a random order (the
    root stays 0): (from_internal_data_v2 arguments, {term: own count})."""
    parents = [None] + [rng.randrange(v) for v in range(1, size + 1)]  # in creation order
    number = [0] + rng.sample(range(1, size + 1), size)
    labels = [""] * (size + 1)
    payloads = [None] * (size + 1)
    children = [[] for _ in range(size + 1)]
    terms = {}
    text = {0: ""}
    for v in range(1, size + 1):
        p = parents[v]
        used = {labels[c] for c in children[number[p]]}
        label = next(ch for ch in "abcdefghijklmnopqrstuvwxyz" if ch not in used)
        labels[number[v]] = label
        children[number[p]].append(number[v])
        text[v] = text[p] + label
        if rng.random() < 0.7:
            count = rng.randrange(1, 1000)
            payloads[number[v]] = (count, [], [])
            terms[text[v]] = count
    shifts, transitions = [], []
    for v in range(size + 1):
        shifts.append(len(transitions))
        transitions.extend(sorted(children[v], key=lambda c: labels[c]))
    return (shifts, labels, payloads, transitions, [], 10), terms


def test_issue_example_counts_a_child_numbered_below_its_parent():
    from _brindlex import PrefixSearch

    # root -> 2 'a' -> 1 'b' -> 3 'c', each counting 1, 2 and 2 of its own
    engine = PrefixSearch.from_internal_data_v2(
        [0, 1, 2, 3], ["", "b", "a", "c"], [None, (2, [], []), (1, [], []), (2, [], [])], [2, 3, 1], [], 10)
    index = Index(engine)
    assert [index.count(t) for t in ("a", "ab", "abc")] == [1, 2, 2]
    assert [c.term for c in index.complete("a")] == ["ab", "abc", "a"]


@pytest.mark.parametrize("seed", range(40))
def test_own_counts_match_the_input_in_any_numbering(seed):
    import random

    from _brindlex import PrefixSearch

    rng = random.Random(seed)
    args, terms = numbered_trie(rng, rng.randrange(1, 30))
    index = Index(PrefixSearch.from_internal_data_v2(*args))
    assert {t: index.count(t) for t in terms} == terms
    got = {c.term: c.count for c in index.complete("", n=len(terms) + 1)}
    assert got == terms


# -- the spelling shown ------------------------------------------------------------------


class C(int):
    pass


@pytest.mark.parametrize(
    "entries, shown",
    [
        pytest.param([("Foo", C(100), []), ("foo", 1, [])], "Foo", id="int subclass"),
        pytest.param([("foo", 1, []), ("Foo", C(2), [])], "Foo", id="int subclass, unspelt first"),
        pytest.param([("A", 4_000_000_000, []), ("a", 4_294_967_295, [])], "a", id="saturated total"),
        pytest.param([("a", 4_294_967_295, []), ("A", 4_000_000_000, []), ("A", 400_000_000, [])], "A",
                     id="saturated, spellings summed past it"),
        pytest.param([("fOO", 1, []), ("Foo", 1, [])], "Foo", id="tie between spellings"),
        pytest.param([("foo", 1, []), ("Foo", 1, [])], "Foo", id="tie with the term"),
        pytest.param([("Foo", 1, []), ("foo", 1, []), ("fOO", 2, [])], "fOO", id="largest count"),
    ],
)
def test_spelling_is_chosen_by_count_value(entries, shown):
    index = Index.build(entries)
    assert [c.term for c in index.complete(entries[0][0][0].lower())] == [shown]
    # the catalogue path chooses alike
    from brindlex._fold import normaliser
    from brindlex._native import read_catalogue
    from brindlex._rows import RowError, row_of
    import io

    text = "term\tcount\tvideo_id\tvideo_count\n" + "".join(f"{t}\t{int(c)}\t\t\n" for t, c, _ in entries)
    if len({t for t, _, _ in entries}) == len(entries):
        engine, spellings, fixes, *_ = read_catalogue(io.BytesIO(text.encode()), "tsv", 10, "fold",
                                                      normaliser("fold"), row_of, RowError, None)
        assert [s for _, s in spellings] == ([] if shown == shown.lower() else [shown])
