"""Tests of the index builder (flatten, build_index) and the sample data."""

from __future__ import annotations

import gc
import os
import subprocess
import sys
import uuid
from collections import Counter
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brindlex import U32_MAX, FlatIndex, build_index, flatten

ROOT = Path(__file__).resolve().parents[2]

# A long base with repeats, so that terms cut from it share long prefixes.
LONG = "abcé😀" * 20
ALPHABET = "abzé\u4e2d😀 "

terms_st = st.one_of(
    st.text(ALPHABET, min_size=1, max_size=6),
    st.builds(
        lambda n, tail: LONG[:n] + tail, st.integers(1, len(LONG)), st.text(ALPHABET, max_size=3)
    ),
)
counts_st = st.one_of(st.integers(0, 20), st.just(U32_MAX), st.integers(0, U32_MAX))


def entries_st(ids: st.SearchStrategy) -> st.SearchStrategy:
    videos = st.lists(st.tuples(ids, counts_st), max_size=4)
    return st.lists(st.tuples(terms_st, counts_st, videos), max_size=25)


int_ids = st.integers(0, 6).map(lambda n: n * 1_000_003)
uuid_ids = st.integers(0, 6).map(lambda n: uuid.UUID(int=n * 0x1234567890ABCDEF1))


def decode(flat: FlatIndex) -> dict[str, int]:
    """Checks the layout and returns {term: node} for the nodes with a payload."""
    shifts, labels, payloads, children, _ = flat
    n = len(labels)
    assert len(shifts) == len(payloads) == n >= 1
    assert labels[0] == ""
    assert all(a <= b for a, b in zip(shifts, shifts[1:]))
    assert shifts[0] == 0 and sorted(children) == list(range(1, n))  # a tree over all nodes

    def kids(v: int) -> list[int]:
        return children[shifts[v] : shifts[v + 1] if v + 1 < n else len(children)]

    found: dict[str, int] = {}
    preorder = []
    stack = [(0, "")]
    while stack:
        v, term = stack.pop()
        preorder.append(v)
        if payloads[v] is not None:
            found[term] = v
        ks = kids(v)
        assert all(k > v and len(labels[k]) == 1 for k in ks)
        assert [labels[k] for k in ks] == sorted(labels[k] for k in ks)
        stack.extend((k, term + labels[k]) for k in reversed(ks))
        if not ks:
            assert payloads[v] is not None or v == 0, "a leaf without a term"
    assert preorder == list(range(n))
    return found


def model(entries: list) -> tuple[dict[str, tuple[int, Counter]], list]:
    """Merged terms by plain summing, and the video keys in first-seen order."""
    merged: dict[str, tuple[int, Counter]] = {}
    order: list = []
    for term, count, videos in entries:
        total, per_video = merged.get(term, (0, Counter()))
        for vid, vcount in videos:
            per_video[vid] += vcount
            if vid not in order:
                order.append(vid)
        merged[term] = (total + count, per_video)
    return merged, order


def id_bytes(vid) -> bytes:
    return vid.bytes if isinstance(vid, uuid.UUID) else vid.to_bytes(4, "little")


@settings(max_examples=200, deadline=None)
@given(st.one_of(entries_st(int_ids), entries_st(uuid_ids)))
def test_flatten_layout_and_payloads_match_a_plain_model(entries):
    flat = flatten(entries)
    found = decode(flat)
    merged, order = model(entries)

    assert set(found) == set(merged)
    assert len(flat.child_labels) == len({t[:i] for t in merged for i in range(len(t) + 1)} | {""})
    assert flat.video_index == [id_bytes(v) for v in order]
    for term, (total, per_video) in merged.items():
        count, nums, vcounts = flat.payloads[found[term]]
        assert count == min(total, U32_MAX)
        assert {flat.video_index[n]: c for n, c in zip(nums, vcounts)} == {
            id_bytes(v): min(c, U32_MAX) for v, c in per_video.items()
        }
        assert vcounts == sorted(vcounts, reverse=True)
    assert sum(p is not None for p in flat.payloads) == len(merged)


def test_long_term_needs_no_recursion():
    term = "x" * 200_000
    flat = flatten([(term, 1, []), (term[:-1] + "y", 1, [])])
    assert len(flat.child_labels) == 200_002
    assert decode(flat) == {term: 200_000, term[:-1] + "y": 200_001}


@pytest.mark.parametrize("length", [1, 33, 100, 257])
def test_terms_differing_at_any_one_position(length):
    # Long shared prefixes are measured by halving; a mismatch at any position,
    # including the last before a halving point, must split the path there.
    base = "".join(chr(0x61 + i % 26) for i in range(length))
    for i in range(length):
        other = base[:i] + "~" + base[i + 1 :]
        shorter = [base[:i]] if i else []  # no empty term
        flat = flatten([(base, 1, []), (other, 1, []), *((t, 1, []) for t in shorter)])
        assert set(decode(flat)) == {base, other, *shorter}
        assert len(flat.child_labels) == 1 + length + (length - i)


def test_equal_counts_keep_first_seen_order_and_duplicates_sum():
    flat = flatten([("t", 1, [(5, 2), (6, 3), (7, 2)]), ("t", 2, [(5, 1), (8, 3)])])
    # video numbers 0..3 are 5, 6, 7, 8; 5 sums to 3 and ties with 6 and 8
    assert flat.payloads[1] == (3, [0, 1, 3, 2], [3, 3, 3, 2])


@pytest.mark.parametrize(
    "entries, payload",
    [
        ([("a", U32_MAX - 1, [(1, 1)]), ("a", 5, [])], (U32_MAX, [0], [1])),
        ([("a", 0, [(1, U32_MAX)]), ("a", 0, [(1, 1)])], (0, [0], [U32_MAX])),
        ([("a", 0, [(1, U32_MAX), (1, U32_MAX)])], (0, [0], [U32_MAX])),
        # Two spellings of one id are one video.
        ([("a", 0, [(1, 2), (b"\x01\0\0\0", 3), (bytearray(b"\x01\0\0\0"), 4)])], (0, [0], [9])),
    ],
)
def test_merging_saturates_and_unifies_id_forms(entries, payload):
    flat = flatten(entries)
    assert flat.payloads[1] == payload and len(flat.video_index) == 1


U = uuid.UUID("00010203-0405-0607-0809-0a0b0c0d0e0f")


@pytest.mark.parametrize(
    "vid, stored",
    [
        (1, b"\x01\0\0\0"),
        (U32_MAX, b"\xff\xff\xff\xff"),
        (b"\xff\0\0\x01", b"\xff\0\0\x01"),
        (U, bytes(range(16))),
        (bytes(range(16)), bytes(range(16))),
        (memoryview(bytes(range(16))), bytes(range(16))),
    ],
)
def test_video_id_forms(vid, stored):
    assert flatten([("a", 1, [(vid, 1)])]).video_index == [stored]


@pytest.mark.parametrize(
    "first, second", [(1, U), (U, 1), (b"\0" * 4, b"\0" * 16), (U, b"\0" * 4)]
)
def test_mixed_id_forms_are_refused_naming_the_entry(first, second):
    expected = r"entry 2 \('c'\), video 1: .* \(the first was entry 0 \('a'\), video 0\)"
    with pytest.raises(ValueError, match=expected):
        flatten([("a", 1, [(first, 1)]), ("b", 1, []), ("c", 1, [(first, 1), (second, 1)])])


@pytest.mark.parametrize(
    "entry, error, message",
    [
        (("a", 1), ValueError, r"entry 1: expected a \(term, count, videos\) triple"),
        (5, TypeError, "entry 1: expected a .* not int"),
        ((b"a", 1, []), TypeError, "entry 1: term must be a str, not bytes"),
        (("a\0b", 1, []), ValueError, "entry 1: term 'a\\\\x00b' contains U\\+0000"),
        (("\ud800", 1, []), ValueError, "entry 1: .*lone surrogate"),
        (("a", -1, []), ValueError, "entry 1: count -1 is outside 0..4294967295"),
        (("a", U32_MAX + 1, []), ValueError, "entry 1: count 4294967296 is outside"),
        (("a", 1.0, []), TypeError, "entry 1: count must be an int, not float"),
        (("a", True, []), TypeError, "entry 1: count must be an int, not bool"),
        (("a", 1, None), TypeError, "entry 1: videos must be an iterable"),
        (("a", 1, "ab"), TypeError, "entry 1: videos must be an iterable .* not str"),
        (("a", 1, [(1, 1), 7]), TypeError, r"entry 1 \('a'\), video 1: expected a \(video id"),
        (("a", 1, [(1, 1, 1)]), ValueError, r"entry 1 \('a'\), video 0: expected a \(video id, co"),
        (("a", 1, [(1, -2)]), ValueError, r"video 0: video count -2 is outside"),
        (("a", 1, [(b"abc", 1)]), ValueError, "video 0: video id must be 16 or 4 bytes .* not 3"),
        (("a", 1, [(-1, 1)]), ValueError, "video 0: int video id -1 is outside"),
        (("a", 1, [(2**32, 1)]), ValueError, "video 0: int video id 4294967296 is outside"),
        (("a", 1, [("1", 1)]), TypeError, "video 0: video id must be bytes, .* not str"),
        (("a", 1, [(True, 1)]), TypeError, "video 0: video id .* not bool"),
    ],
)
def test_bad_entries_are_refused_naming_the_entry(entry, error, message):
    with pytest.raises(error, match=message):
        flatten([("ok", 1, [(3, 1)]), entry])


def test_one_shot_iterables_are_read_once():
    gen = (t for t in [("b", 1, iter([(2, 1)])), ("a", 2, ((3, 4) for _ in range(1)))])
    flat = flatten(gen)
    assert decode(flat) == {"a": 1, "b": 2} and flat.video_index == [b"\x02\0\0\0", b"\x03\0\0\0"]


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("entries", [[("a", 1, [])], [("a", -1, [])]])
def test_collector_state_is_restored(enabled, entries):
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        try:
            flatten(entries)
        except ValueError:
            pass
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()


def test_committed_catalogue_is_what_the_generator_writes(tmp_path):
    out = tmp_path / "catalogue.tsv"
    script = ROOT / "samples" / "make_catalogue.py"
    subprocess.run([sys.executable, str(script), str(out)], check=True, capture_output=True)
    committed = (ROOT / "samples" / "catalogue.tsv").read_bytes()
    assert out.read_bytes() == committed
    assert len(committed) < 300_000


# --- with the native module ---------------------------------------------------


@pytest.fixture(scope="module")
def native():
    return pytest.importorskip("_brindlex")


def read_catalogue() -> list:
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        from demo import read_catalogue as read
    finally:
        sys.path.pop(0)
    return [(t, c, v) for t, (c, v) in read(ROOT / "samples" / "catalogue.tsv").items()]


@settings(max_examples=60, deadline=None)
@given(st.one_of(entries_st(int_ids), entries_st(uuid_ids)))
def test_built_index_finds_every_term_exactly(native, entries):
    index = build_index(entries, 3)
    for term in {t for t, _, _ in entries if t}:
        assert (term, 1, 0) in index.fuzzy_match(term, 0)


def test_sample_catalogue_index_finds_every_term_and_names_its_videos(native):
    entries = read_catalogue()
    index = build_index(entries, 10)
    terms = sorted(t for t, _, _ in entries)
    for term, count, videos in entries:
        assert index.fuzzy_match(term, 0) == [(term, 1, 0)]
        i = terms.index(term)
        if i + 1 == len(terms) or not terms[i + 1].startswith(term):
            # A term with nothing below it: each video scores its share of the count.
            ranked = dict(index.fuzzy_match_video(term, 0))
            expected = {str(v): c / count for v, c in videos if c / count >= 0.01}
            assert ranked == pytest.approx(expected)


def test_int_ids_come_back_as_decimal_text(native):
    index = build_index([("cat", 10, [(1001, 6), (1002, 4)]), ("car", 5, [(1002, 5)]),
                         ("cart", 2, [(1003, 2)]), ("dog", 3, [(U32_MAX, 3)])], 10)
    assert index.fuzzy_match("car") == [("car", 1, 0), ("cart", 1, 1), ("cat", 1, 1)]
    assert index.fuzzy_match_video("dog") == [(str(U32_MAX), 1.0)]
    scores = dict(index.fuzzy_match_video("cat"))
    assert scores.keys() == {"1001", "1002", "1003"}
    assert scores["1001"] == pytest.approx(6 / 10.3)


def test_demo_runs(native):
    env_path = f"{ROOT / 'python'}:{':'.join(p for p in sys.path if p)}"
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py")], cwd=ROOT,
                          capture_output=True, text=True, env={**os.environ, "PYTHONPATH": env_path})
    assert done.returncode == 0, done.stderr
    assert "'chicken curry' (2, " in done.stdout and "'crème brûlée' (0, " in done.stdout
