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
    got = {c.term: c.count for c in index.complete("", limit=len(terms) + 1)}
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
                                                      normaliser("fold"), row_of, RowError, None, False)
        assert [s for _, s in spellings] == ([] if shown == shown.lower() else [shown])


# -- catalogue rows: the error each reader gives ------------------------------------------

HEADER = "term\tcount\tvideo_id\tvideo_count"


def both_readers(text: bytes, fmt: str, mode: str = "fold"):
    """(line, message) of the RowError of the native reader and of the Python one, or
    None for a catalogue both take."""
    import io

    from brindlex._fold import normaliser
    from brindlex._native import read_catalogue
    from brindlex._rows import RowError, read_rows, row_of

    got = []
    for read in (lambda: read_catalogue(io.BytesIO(text), fmt, 10, mode, normaliser(mode), row_of, RowError, None, False),
                 lambda: read_rows(io.BytesIO(text), fmt, normaliser(mode))):
        try:
            read()
            got.append(None)
        except RowError as exc:
            got.append((exc.line, exc.message))
    assert got[0] == got[1]
    return got[0]


@pytest.mark.parametrize(
    "fmt, rows, line, words",
    [
        pytest.param("tsv", [HEADER, "cat\t1\t\t", "\u0301\t2\t\t", "dog\tx\t\t"], 3, "empty once normalised",
                     id="empty term before a bad count"),
        pytest.param("tsv", [HEADER, "cat\t1\t1\t1", "\u0301\t2\t\t", "cat\t1\t1\t2"], 3, "empty once normalised",
                     id="empty term before a repeated video"),
        pytest.param("tsv", [HEADER, "cat\t1\t1\t1", "cat\t1\t1\t2", "\u0301\t2\t\t"], 3, "lists video 1 again",
                     id="repeated video before an empty term"),
        pytest.param("tsv", [HEADER, "cat\t1\t\t", "\u0301\t2\t\t"], 3, "empty once normalised",
                     id="empty term, last row"),
        pytest.param("jsonl", ['{"term": "a", "count": 1}', '{"term": "b", "count": 1, "term": "c"}'], 2,
                     "the key 'term' is given twice", id="duplicate key"),
        pytest.param("jsonl", ['{"count": 1, "count": 1, "term": "c"}'], 1, "the key 'count' is given twice",
                     id="duplicate key, same value"),
        pytest.param("jsonl", ['{"term": "a", "count": 1}', "[" * 100_000], 2, "nested too deeply",
                     id="deeply nested"),
        pytest.param("jsonl", ['{"term": "a", "count": ' + "[" * 100_000 + "]" * 100_000 + "}"], 1,
                     "nested too deeply", id="deeply nested value"),
    ],
)
def test_first_bad_row_in_file_order(fmt, rows, line, words):
    error = both_readers(("\n".join(rows) + "\n").encode(), fmt)
    assert error is not None and error[0] == line and words in error[1], error


LONG = 1_000_000


@pytest.mark.parametrize(
    "fmt, rows",
    [
        pytest.param("tsv", ["term\tcount\tvideo_id\t" + "x" * LONG], id="header"),
        pytest.param("tsv", [HEADER, "cat\t" + "7" * LONG + "\t\t"], id="count of many digits"),
        pytest.param("tsv", [HEADER, "cat\t1" + "x" * LONG + "\t\t"], id="count not a number"),
        pytest.param("tsv", [HEADER, "cat\t1\t" + "z" * LONG + "\t1"], id="video id"),
        pytest.param("tsv", [HEADER, "cat\t1\t" + "7" * LONG + "\t1"], id="video id of many digits"),
        pytest.param("tsv", [HEADER, "cat\t1\t7\t1", "dog\t1\t" + "0" * LONG + "1-2\t1"], id="odd video id"),
        pytest.param("tsv", [HEADER, "cat\t1\t7\t1", "dog\t1\t" + "0" * LONG + "1\t1",
                             "eel\t1\t12345678-1234-1234-1234-123456789abc\t1"], id="id of another kind"),
        pytest.param("tsv", [HEADER, "cat\t1\t12345678-1234-1234-1234-123456789abc\t1", "dog\t1\t" + "0" * LONG + "1\t1"],
                     id="zero-padded id after UUIDs"),
        pytest.param("jsonl", ['{"term": "a", "count": "' + "x" * LONG + '"}'], id="json count"),
        pytest.param("jsonl", ['{"term": "a", "count": 1, "video_id": [' + "1," * LONG + '1], "video_count": 1}'],
                     id="json video id"),
        pytest.param("jsonl", ['{"term": "a", "' + "k" * LONG + '": 1}'], id="json key"),
    ],
)
def test_bad_fields_are_quoted_short(fmt, rows):
    error = both_readers(("\n".join(rows) + "\n").encode(), fmt)
    assert error is not None and len(error[1]) < 300, (error[0], error[1][:400])


# -- notes and stores: what the check calls damage is what the lookups refuse -------------


def lookups_refuse(engine, notes: bytes) -> bool:
    from brindlex import Completion, Suggestion
    from brindlex._native import Lookup

    try:
        Lookup(engine, notes, Suggestion, Completion)
    except ValueError:
        return True
    return False


SATURATED = [("ab", 4_000_000_000, []), ("abc", 4_000_000_000, []), ("x", 3, [])]


@pytest.mark.parametrize(
    "entries, spellings, fixes, refused",
    [
        pytest.param([("ab", 1, [])], [(2, "AB")], [], False, id="spelling on a term"),
        pytest.param([("ab", 1, [])], [(1, "A")], [], True, id="spelling on a prefix node"),
        pytest.param([("ab", 1, []), ("x", 1, [])], [(2, "")], [], True, id="empty spelling"),
        pytest.param([("ab", 1, []), ("x", 1, [])], [(2, "AB"), (3, "")], [], True, id="empty spelling, last"),
        pytest.param([("ab", 5, [])], [], [(2, 3)], True, id="fix for a total that did not saturate"),
        pytest.param(SATURATED, [], [(2, 4_000_000_000)], False, id="fix for a saturated total"),
        pytest.param(SATURATED, [], [(4, 1)], True, id="fix beside a saturated total"),
    ],
)
def test_notes_checked_against_the_store(entries, spellings, fixes, refused):
    from brindlex._format import encode_notes
    from brindlex._native import check_engine

    engine = Index.build(entries, fold=False).engine
    notes = encode_notes(spellings, fixes)
    assert lookups_refuse(engine, notes) == refused
    damage, _ = check_engine(engine, notes)
    assert bool(damage) == refused, damage


def test_check_damage_covers_what_lookups_refuse():
    """Stores with child lists rewired at random: whenever the lookups refuse one,
    check_engine and check_snapshot report damage (stats then fails where queries do)."""
    import random

    from _brindlex import PrefixSearch

    from brindlex._format import encode_notes
    from brindlex._native import check_engine, check_snapshot

    rng = random.Random(24)
    notes = encode_notes([], [])
    refusals = 0
    for _ in range(300):
        args, _ = numbered_trie(rng, rng.randrange(2, 12))
        shifts, labels, payloads, transitions, videos, top_n = args
        for _ in range(rng.randrange(1, 3)):
            transitions[rng.randrange(len(transitions))] = rng.randrange(len(labels))
        try:
            engine = PrefixSearch.from_internal_data_v2(shifts, labels, payloads, transitions, videos, top_n)
        except ValueError:
            continue
        if lookups_refuse(engine, notes):
            refusals += 1
            assert check_engine(engine)[0] and check_engine(engine, notes)[0]
            assert check_snapshot(engine.to_bytes(), notes)[5] and check_snapshot(engine.to_bytes())[5]
    assert refusals > 20


# -- the fast catalogue path against the slow one ----------------------------------------

# Bytes that are not text (encoded surrogates, overlong forms, past U+10FFFF, cut
# sequences) and characters JSON strings may not hold raw.
ODD_BYTES = [b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xed\x9f\xbf", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xf4\x90\x80\x80",
             b"\xf0\x8f\xbf\xbf", b"\xe2\x82", b"\x80", b"\x01", b"\x1f", b"\t", b"\x7f", b"\\", b'"', b"\\u0000",
             b"\\ud800", b"\\udc00x", b"\\ud83d\\ude00", b"\xc3\xa9", b"\xf0\x9f\x98\x80", b" "]


def fixed_rows():
    for odd in ODD_BYTES:
        yield "tsv", HEADER.encode() + b"\n" + b"ca" + odd + b"t\t1\t7\t1\n"
        yield "jsonl", b'{"term": "ca' + odd + b't", "count": 1, "video_id": 7, "video_count": 1}\n'
        yield "jsonl", b'{"term": "cat", "count": 1, "video_id": "' + odd + b'", "video_count": 1}\n'
        yield "jsonl", b'{"term": "cat",' + odd + b'"count": 1}\n'


@pytest.mark.parametrize("fmt, data", list(fixed_rows()))
def test_fast_path_reads_odd_bytes_as_the_slow_path(fmt, data):
    both_readers(data, fmt)


def test_fast_path_reads_random_rows_as_the_slow_path():
    import random

    rng = random.Random(9)
    pieces = ODD_BYTES + [b"a", b"B", b"0", b"1", b"\t", b":", b",", b"{", b"}", b"null", b'"term"', b'"count"']
    for _ in range(3000):
        fmt = rng.choice(["tsv", "jsonl"])
        term = b"".join(rng.choice(pieces) for _ in range(rng.randrange(1, 4)))
        if fmt == "tsv":
            row = HEADER.encode() + b"\n" + term + b"\t" + rng.choice([b"1", b"01", b"x", b""]) + b"\t\t\n"
        else:
            row = b'{"term": "' + term + b'", "count": ' + rng.choice([b"1", b"01", b'"1"', b"1.0"]) + b"}\n"
        both_readers(row, fmt)
