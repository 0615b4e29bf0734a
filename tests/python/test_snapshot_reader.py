"""snapshot_reader, the tests' Python reader of snapshots, against the native reader."""

from __future__ import annotations

import random
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _brindlex import PrefixSearch
from brindlex import build_index
from brindlex.cli._check import check_snapshot
from snapshot_reader import Snapshot, SnapshotDecodeError, read_snapshot
from conftest import example_store
from snapshot_model import label, seq, snapshot, varint

CATALOGUE = Path(__file__).resolve().parents[2] / "samples" / "catalogue.tsv"

# Two nodes with a UUID, a multi-byte label and a 5-byte varint: every kind of value.
SMALL = snapshot(
    [0, 300],
    ["a", "\u00e9"],
    [1],
    [None, (2, [0], [70000])],
    video_uuids=[bytes(range(0, 256, 17))],
    has_payload=[False, True],
)


def rewritten(s: Snapshot) -> bytes:
    """The canonical bytes of what the Python reader decoded."""
    return snapshot(
        s.node_shifts,
        s.child_labels,
        s.child_transitions,
        s.payloads,
        s.video_uuids,
        s.video_int_ids,
        s.id_mode,
        s.has_payload,
    )


def native_outcome(data: bytes) -> tuple[str, str | bytes]:
    try:
        return "ok", PrefixSearch.from_bytes(data).to_bytes()
    except ValueError as exc:
        return "error", str(exc)


def python_outcome(data: bytes) -> tuple[str, str | bytes]:
    try:
        return "ok", rewritten(read_snapshot(data))
    except SnapshotDecodeError as exc:
        return "error", str(exc)


def test_reads_the_small_snapshot_field_by_field():
    s = read_snapshot(SMALL)
    assert s.node_shifts == [0, 300]
    assert s.child_labels == [ord("a"), 0xE9]
    assert s.payloads == [None, (2, [0], [70000])]
    assert s.video_uuids == [bytes(range(0, 256, 17))]
    assert (s.id_mode, s.has_payload, s.size, s.trailing_bytes) == (0, [False, True], len(SMALL), 0)
    assert (s.nodes, s.terms, s.videos, s.id_mode_name) == (2, 1, 1, "uuid")
    longer = read_snapshot(SMALL + b"\xff\xff")
    assert (longer.size, longer.trailing_bytes) == (len(SMALL), 2)


def catalogue_entries() -> list[tuple[str, int, list[tuple[bytes, int]]]]:
    entries: dict[str, tuple[int, list[tuple[bytes, int]]]] = {}
    with CATALOGUE.open(encoding="utf-8") as f:
        next(f)
        for row in f:
            term, count, video, video_count = row.rstrip("\n").split("\t")
            entries.setdefault(term, (int(count), []))[1].append(
                (bytes.fromhex(video.replace("-", "")), int(video_count))
            )
    return [(t, c, v) for t, (c, v) in entries.items()]


def test_catalogue_snapshot_decodes_to_what_the_native_store_holds():
    entries = catalogue_entries()
    blob = build_index(entries, 10).to_bytes()
    s = read_snapshot(blob)
    assert rewritten(s) == blob
    assert s.terms == len(entries)
    assert s.nodes == len({t[:i] for t, _, _ in entries for i in range(len(t) + 1)})
    assert s.videos == len({vid for _, _, vids in entries for vid, _ in vids})
    checked = check_snapshot(blob)
    assert checked.damage == checked.notes == []
    assert (checked.nodes, checked.terms, checked.videos, checked.size) == (s.nodes, s.terms, s.videos, s.size)


def reference_check(data: bytes) -> tuple:
    """The figures through the Python reader."""
    try:
        s = read_snapshot(data)
    except SnapshotDecodeError as exc:
        return "error", str(exc)
    return "ok", s.nodes, s.terms, s.videos, s.id_mode_name, s.size, s.trailing_bytes


def quick_check(data: bytes) -> tuple:
    """The same through check_snapshot, which decodes natively."""
    try:
        c = check_snapshot(data)
    except SnapshotDecodeError as exc:
        return "error", str(exc)
    return "ok", c.nodes, c.terms, c.videos, c.id_mode_name, c.size, c.trailing_bytes


def test_every_cut_fails_as_the_native_reader_does():
    for cut in range(len(SMALL)):
        assert python_outcome(SMALL[:cut]) == native_outcome(SMALL[:cut]), cut
    assert python_outcome(SMALL) == native_outcome(SMALL) == ("ok", SMALL)


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"\xfe",
        b"\xff",
        b"\x01\xfd",  # a 64-bit marker where a 32-bit value belongs
        b"\x01\xfb\x05\x00",  # a long form of 5, then the end
        b"\x00\x01\xc0",  # a label byte that starts no character
        b"\x00\x01\xed\xa0\x80",  # a surrogate
        b"\x00\x01\xf4\x90\x80\x80",  # above U+10FFFF
        b"\x00\x01\xf0\x9f",
        b"\x00\x00\x00\x01\x02",  # a payload tag of 2
        b"\x00\x00\x00\x00\x00\x00\x02\x00",  # id mode 2
        b"\x00\x00\x00\x00\x00\x00\xfb\x01\x00\x00",  # id mode 1 in a long form
        b"\x00\x00\x00\x00\x00\x00\x00\x01\x02",  # a boolean byte of 2
        b"\x00" * 6 + b"\x00\xfd\xff\xff\xff\xff\xff\xff\xff\xff",  # a length no input can back
        bytes(8) + b"trailing",
    ],
)
def test_hand_made_bytes_decode_as_the_native_reader_does(data):
    assert python_outcome(data) == native_outcome(data)
    assert quick_check(data) == reference_check(data)


@settings(max_examples=300, deadline=None)
@given(st.data())
def test_damaged_snapshots_decode_as_the_native_reader_does(data):
    blob = example_store().to_bytes()
    pos = data.draw(st.integers(0, len(blob) - 1))
    byte = data.draw(st.integers(0, 255))
    cut = data.draw(st.integers(pos + 1, len(blob)))
    damaged = blob[:pos] + bytes([byte]) + blob[pos + 1 : cut]
    assert python_outcome(damaged) == native_outcome(damaged)


@pytest.mark.parametrize(
    "fields, kind, problem",
    [
        (dict(node_shifts=[0, 1], child_labels=[0, "a"], child_transitions=[1], payloads=[None]), "damage",
         "payloads has 1"),
        (dict(node_shifts=[0], child_labels=[0], child_transitions=[5], payloads=[None]), "damage",
         "child_transitions[0] is 5"),
        (dict(node_shifts=[0, 9], child_labels=[0, "a"], child_transitions=[1], payloads=[None, None]), "damage",
         "run past"),
        (dict(node_shifts=[0, 1], child_labels=[0, "a"], child_transitions=[1, 1], payloads=[(1, [], [])] * 2),
         "notes", "no higher"),
        (dict(node_shifts=[0], child_labels=[0], child_transitions=[], payloads=[(1, [0], [])]), "damage",
         "1 videos but 0"),
        (dict(node_shifts=[0], child_labels=[0], child_transitions=[], payloads=[(1, [3], [1])]), "notes",
         "beyond the 0"),
        (dict(node_shifts=[], child_labels=[], child_transitions=[], payloads=[]), "notes", "no nodes"),
        (dict(node_shifts=[0], child_labels=[0], child_transitions=[], payloads=[None], video_uuids=[bytes(16)],
              video_int_ids=[7], id_mode=1), "damage", "1 ids of the kind that id mode int32 does not use"),
    ],
)
def test_problems_name_a_broken_invariant(fields, kind, problem):
    n = len(fields["child_labels"])
    found = check_snapshot(snapshot(**fields, has_payload=[False] * n))
    assert any(problem in p for p in getattr(found, kind)), found


def mid_sized_snapshot() -> bytes:
    """Hundreds of nodes, video numbers and counts of every width, 4-byte ids."""
    rng = random.Random(14)
    letters = "abcdeé"
    entries = []
    for _ in range(150):
        term = "".join(rng.choice(letters) for _ in range(rng.randrange(1, 7)))
        videos = [(rng.randrange(400), rng.choice([1, 300, 70_000])) for _ in range(rng.randrange(5))]
        entries.append((term, rng.choice([0, 5, 400, 80_000, 2**32 - 1]), videos))
    return build_index(entries, 6).to_bytes()


MID_SIZED = mid_sized_snapshot()


@settings(max_examples=300, deadline=None)
@given(st.integers(0, len(MID_SIZED) - 1), st.integers(0, 255), st.booleans())
def test_check_agrees_with_the_reference_reader_on_damaged_snapshots(pos, byte, cut):
    damaged = MID_SIZED[:pos] + bytes([byte]) + (b"" if cut else MID_SIZED[pos + 1 :])
    assert quick_check(damaged) == reference_check(damaged)


def sound_fields() -> dict:
    """The fields of the example store's snapshot, which keeps every rule, as lists:
    nodes 1 'c', 2 'ca', 3 'cat', 4 'car', 5 'd', 6 'cart', 7 'do', 8 'dog'."""
    s = read_snapshot(example_store().to_bytes())
    names = ["node_shifts", "child_labels", "child_transitions", "payloads", "video_uuids", "video_int_ids"]
    fields = {name: list(getattr(s, name)) for name in names}
    return {**fields, "id_mode": s.id_mode, "has_payload": list(s.has_payload)}


@pytest.mark.parametrize(
    "change, damage, note",
    [
        ({}, None, None),
        # A node reached twice is damage: the index's lookups refuse it.
        ({"child_transitions": {5: 8}}, "node 8 is reached twice: the trie is not a tree",
         "1 node no child list names, never reached by a query (the first: node 6)"),
        ({"child_transitions": {6: 6}}, "node 5 is a prefix node counting 3, not the sum of its children's counts (2)",
         "1 node no child list names, never reached by a query (the first: node 7)"),
        ({"child_transitions": {3: 1}}, "node 1 is reached twice: the trie is not a tree",
         "node 2 has a child numbered no higher than itself: the counts there "
                                              "are not checked, and a walk may come back to a node"),
        # Node 1 takes node 3 from node 2.
        ({"node_shifts": {2: 4}}, "node 1 is a prefix node counting 17, not the sum of its children's counts (27)",
         None),
        ({"child_labels": {3: 0}}, None, "node 3 has no label: queries never reach it or what lies below it"),
        ({"payloads": {8: None}}, "node 8 has no payload", None),
        ({"payloads": {3: (10, [0, 1], [6])}}, "the payload of node 3 has 2 videos but 1 counts", None),
        ({"payloads": {3: (10, [0, 4], [6, 4])}}, None,
         "the payload of node 3 names a video beyond the 4 ids, which queries skip"),
        ({"payloads": {6: (8, [2], [2])}}, "node 4 counts 7, less than its child 6 (8)", None),
        (
            {"payloads": {0: (21, [1, 0, 3, 2], [9, 6, 3, 2])}},
            "node 0 is a prefix node counting 21, not the sum of its children's counts (20)",
            None,
        ),
        ({"payloads": {2: (17, [1, 0, 2], [6, 9, 2])}}, "the videos of node 2 are not in descending order of count",
         None),
        ({"payloads": {0: (21, [1, 0, 3, 2], [9, 6, 3, 2])}, "has_payload": {0: True}}, None,
         "the root has a payload of its own, which no query reports"),
        # A leaf keeps the order it was given.
        ({"payloads": {3: (10, [0, 1], [4, 6])}}, None, None),
    ],
)
def test_check_tells_damage_from_what_is_unusual(change, damage, note):
    fields = sound_fields()
    for name, entries in change.items():
        for i, value in entries.items():
            fields[name][i] = value
    found = check_snapshot(snapshot(**fields))
    assert found.problem == damage
    assert found.notes[:1] == ([note] if note else [])


def finds_every_term(data: bytes, terms: list[str]) -> bool:
    try:
        index = PrefixSearch.from_bytes(data)
        return all(index.fuzzy_match(t, 0) == [(t, 1, 0)] for t in terms)
    except BaseException:  # noqa: BLE001 - InternalFailure: a store that breaks its invariants
        return False


@pytest.mark.parametrize("seed", range(8))
def test_a_flipped_bit_in_the_child_lists_that_loses_terms_is_reported(seed):
    entries = random.Random(seed).sample(catalogue_entries(), 40)
    terms = [t for t, _, _ in entries]
    data = build_index(entries, 10).to_bytes()
    s = read_snapshot(data)
    shifts = len(seq(s.node_shifts, varint))
    labels = len(seq(s.child_labels, label))
    kids = len(seq(s.child_transitions, varint))
    fields = [*range(shifts), *range(shifts + labels, shifts + labels + kids)]
    lost = 0
    for pos in fields[:: max(1, len(fields) // 60)]:
        for bit in (1, 4, 128):
            damaged = data[:pos] + bytes([data[pos] ^ bit]) + data[pos + 1 :]
            try:
                found = check_snapshot(damaged)
            except SnapshotDecodeError:
                continue
            if not finds_every_term(damaged, terms):
                lost += 1
                assert found.damage or found.notes, (pos, bit)
    assert lost > 10
