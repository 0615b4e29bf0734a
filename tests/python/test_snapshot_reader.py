"""brindlex.snapshot, the Python reader of snapshots, against the native reader."""

from __future__ import annotations

from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _brindlex import PrefixSearch
from brindlex import build_index
from brindlex.snapshot import Snapshot, SnapshotDecodeError, read_snapshot
from conftest import example_store
from snapshot_model import snapshot

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


def test_catalogue_snapshot_decodes_to_what_the_native_store_holds():
    entries: dict[str, tuple[int, list[tuple[bytes, int]]]] = {}
    with CATALOGUE.open(encoding="utf-8") as f:
        next(f)
        for row in f:
            term, count, video, video_count = row.rstrip("\n").split("\t")
            entries.setdefault(term, (int(count), []))[1].append(
                (bytes.fromhex(video.replace("-", "")), int(video_count))
            )
    blob = build_index([(t, c, v) for t, (c, v) in entries.items()], 10).to_bytes()
    s = read_snapshot(blob)
    assert rewritten(s) == blob
    assert s.terms == len(entries)
    assert s.nodes == len({t[:i] for t in entries for i in range(len(t) + 1)})
    assert s.videos == len({vid for _, vids in entries.values() for vid, _ in vids})
    assert s.problems() == []


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
    "fields, problem",
    [
        (dict(node_shifts=[0, 1], child_labels=[0, "a"], child_transitions=[1], payloads=[None]), "payloads has 1"),
        (dict(node_shifts=[0], child_labels=[0], child_transitions=[5], payloads=[None]), "child_transitions[0] is 5"),
        (dict(node_shifts=[0, 9], child_labels=[0, "a"], child_transitions=[1], payloads=[None, None]), "run past"),
        (dict(node_shifts=[0, 1], child_labels=[0, "a"], child_transitions=[1, 1], payloads=[None, None]), "no higher"),
        (dict(node_shifts=[0], child_labels=[0], child_transitions=[], payloads=[(1, [0], [])]), "1 videos but 0"),
        (dict(node_shifts=[0], child_labels=[0], child_transitions=[], payloads=[(1, [3], [1])]), "beyond the 0"),
        (dict(node_shifts=[], child_labels=[], child_transitions=[], payloads=[]), "no nodes"),
        (dict(node_shifts=[0], child_labels=[0], child_transitions=[], payloads=[None], video_uuids=[bytes(16)],
              video_int_ids=[7], id_mode=1), "1 ids of the kind that id mode int32 does not use"),
    ],
)
def test_problems_name_a_broken_invariant(fields, problem):
    n = len(fields["child_labels"])
    s = read_snapshot(snapshot(**fields, has_payload=[False] * n))
    assert any(problem in p for p in s.problems()), s.problems()
