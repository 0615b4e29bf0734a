"""Text video ids: an index built with str ids answers as the same index built with int
ids, mapped through the id table, however it was kept; bad ids are refused naming the
entry; catalogues of text ids go through the command line; and a crafted id table is
refused at load."""

from __future__ import annotations

import json
import pickle
import random
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import brindlex
from brindlex import Index

from test_cli import brindlex as run_cli
from test_mapped import ENTRY, HEADER, poke, reseal, run_child, sections

TEXT_ENDS, TEXT = 23, 24  # section ids of the id table (src/core/mapped/layout.hpp)
VIDEO_INT_IDS = 15


def random_catalogue(seed: int) -> tuple[list[tuple[str, int, list[tuple[int, int]]]], list[str]]:
    """Entries with int ids, and a text id for each int: names that look alike, share
    prefixes, hold non-ASCII text, or read like numbers."""
    rng = random.Random(seed)
    names = sorted({
        rng.choice(["pkg-", "SKU ", "dQw4", "ü", "", "0"]) + "".join(rng.choice("ab9é-_ .") for _ in range(rng.randint(1, 12)))
        for _ in range(120)
    } - {""})
    letters = "abcdeé"
    terms = {"".join(rng.choice(letters) for _ in range(rng.randint(1, 7))) for _ in range(300)}
    ids = rng.sample(range(2**32), len(names))  # the int form's ids, unrelated to the names' order
    entries = []
    for term in sorted(terms):
        videos = rng.sample(range(len(names)), rng.randint(0, 5))
        entries.append((term, rng.randint(0, 50), [(ids[v], rng.randint(1, 30)) for v in videos]))
    rng.shuffle(entries)
    return entries, dict(zip(ids, names))  # type: ignore[return-value]


def kept(index: Index, tmp_path: Path) -> dict[str, Index]:
    path = tmp_path / "text.brx"
    index.save(path)
    return {
        "built": index,
        "mapped": Index.load(path),
        "read": Index.load(path, mmap=False),
        "pickled": pickle.loads(pickle.dumps(index)),
    }


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_text_ids_answer_as_the_int_ids_mapped_through_the_table(tmp_path, seed):
    entries, name = random_catalogue(seed)
    with_ints = Index.build(entries, video_top_n=4)
    with_texts = Index.build(
        [(t, c, [(name[v], n) for v, n in vs]) for t, c, vs in entries], video_top_n=4
    )
    rng = random.Random(seed)
    queries = ["", "a", "é", "ab", "abc", "bcd", "e", "zz"] + [t for t, _, _ in rng.sample(entries, 40)]
    answers = 0
    for how, index in kept(with_texts, tmp_path).items():
        assert index.id_form == "text", how
        for q in queries:
            for dist in (0, 1, 2):
                want = [(name[int(v)], s) for v, s in with_ints.videos(q, None, max_dist=dist)]
                assert index.videos(q, None, max_dist=dist) == want, (how, q, dist)
                answers += len(want)
    assert answers > 0
    assert with_ints.id_form == "int32"


@pytest.mark.parametrize(
    "videos, message",
    [
        ([("", 1)], "the video id is empty"),
        ([("x" * 256, 1)], "is 256 bytes of UTF-8, more than 255"),
        ([("é" * 128, 1)], "is 256 bytes of UTF-8, more than 255"),
        ([("tab\there", 1)], "holds a control character"),
        ([("del\x7f", 1)], "holds a control character"),
        ([("c1\x85", 1)], "holds a control character"),
        ([("\ud800", 1)], "holds a lone surrogate"),
        ([("a", 1), (7, 1)], "a 4-byte (int32) video id among text ones (the first was entry 1 ('t'), video 0)"),
        ([(7, 1), ("a", 1)], "a text video id among 4-byte (int32) ones (the first was entry 1 ('t'), video 0)"),
        ([(b"\0" * 16, 1), ("a", 1)], "a text video id among 16-byte (UUID) ones"),
    ],
)
@pytest.mark.parametrize("path", ["plain", "slow"])
def test_bad_text_ids_are_refused_naming_the_entry_and_video(videos, message, path):
    # The native reader takes the plain form; a list pair goes the slow way: both say the same.
    pairs = [tuple(p) if path == "plain" else list(p) for p in videos]
    with pytest.raises(ValueError) as err:
        Index.build([("ok", 1, []), ("t", 1, pairs)])
    assert message in str(err.value)
    where = "entry 1 ('t'), video " + ("1" if len(videos) > 1 else "0")
    assert str(err.value).startswith(where + ": "), str(err.value)


def test_the_ids_at_the_edge_are_taken_and_the_engine_builder_keeps_its_own_forms():
    edge = ["x" * 255, "é" * 127 + "x", "a b", "007", "ß", "\u00a0nbsp"]
    index = Index.build([(f"t{i}", 1, [(vid, 1)]) for i, vid in enumerate(edge)])
    assert [index.videos(f"t{i}", max_dist=0) for i in range(len(edge))] == [[(vid, 1.0)] for vid in edge]
    with pytest.raises(TypeError, match=r"entry 0 \('a'\), video 0: .*text ids need Index.build"):
        brindlex.build_index([("a", 1, [("x", 1)])])
    with pytest.raises(TypeError, match="not str"):
        brindlex.flatten([("a", 1, [("x", 1)])])


TSV = (
    "term\tcount\tvideo_id\tvideo_count\n"
    "cat\t10\tdQw4w9WgXcQ\t6\n"
    "cat\t10\t007\t4\n"
    "car\t5\t007\t5\n"
    "Crème brûlée\t3\tpâtisserie/42\t3\n"
)
JSONL = "".join(
    json.dumps(row) + "\n"
    for row in [
        {"term": "cat", "count": 10, "video_id": "dQw4w9WgXcQ", "video_count": 6},
        {"term": "cat", "count": 10, "video_id": 7, "video_count": 4},
        {"term": "car", "count": 5, "video_id": "7", "video_count": 5},
        {"term": "Crème brûlée", "count": 3, "video_id": "pâtisserie/42", "video_count": 3},
    ]
)


@pytest.mark.parametrize("fmt, text, seven", [("tsv", TSV, "007"), ("jsonl", JSONL, "7")])
def test_a_catalogue_of_text_ids_round_trips_through_the_command_line(tmp_path, fmt, text, seven):
    source = tmp_path / f"catalogue.{fmt}"
    source.write_text(text, encoding="utf-8")
    out = tmp_path / "index.brx"
    built = run_cli("build", source, "-o", out)
    assert built.returncode == 0, built.stderr
    asked = run_cli("videos", "--json", out, "ca")
    assert asked.returncode == 0, asked.stderr
    got = {row["video_id"]: row["score"] for row in json.loads(asked.stdout)}
    # The file answers as the index built in Python from the same rows.
    from brindlex._rows import read_rows

    cat = read_rows(source.read_bytes().splitlines(keepends=True), fmt)
    assert dict(Index.build(cat.entries()).videos("ca")) == got
    assert set(got) == {seven, "dQw4w9WgXcQ"}
    assert run_cli("videos", out, "creme brulee").stdout == "pâtisserie/42\t1.000000\n"
    stats = json.loads(run_cli("stats", "--json", out).stdout)
    assert (stats["id_form"], stats["id_mode"]) == ("text", "int32")


@pytest.mark.parametrize(
    "rows, message",
    [
        (["cat\t1\t12\t1", "dog\t1\tAB-1\t1"], "video id 'AB-1' is text, but the ids before it are integers (from line 2)"),
        (["cat\t1\tAB-1\t1", "cat\t1\tAB-1\t2"], "term 'cat' lists video 'AB-1' again (first on line 2)"),
        (["cat\t1\tAB\x07\t1"], "holds a control character"),
        (["cat\t1\t" + "x" * 256 + "\t1"], "is 256 bytes of UTF-8, more than 255"),
    ],
)
def test_catalogue_refusals_name_the_line(tmp_path, rows, message):
    source = tmp_path / "bad.tsv"
    source.write_text("term\tcount\tvideo_id\tvideo_count\n" + "\n".join(rows) + "\n", encoding="utf-8")
    built = run_cli("build", source, "-o", tmp_path / "out.brx")
    assert built.returncode != 0
    assert message in built.stderr, built.stderr


def with_table(data: bytes, *, ends: list[int] | None = None, text: bytes | None = None) -> bytes:
    """The file with its id table's offsets or text replaced in place (same length)."""
    out = bytearray(data)
    table = sections(data)
    if ends is not None:
        _, offset, n = table[TEXT_ENDS]
        assert len(ends) == n
        struct.pack_into(f"<{n}I", out, offset, *ends)
    if text is not None:
        _, offset, n = table[TEXT]
        assert len(text) == n
        out[offset:offset + n] = text
    return reseal(out)


def without_text(data: bytes) -> bytes:
    """The table entry of the text section gives it no bytes, the offsets stay."""
    out = bytearray(data)
    (count,) = struct.unpack_from("<I", data, 12)
    for k in range(count):
        if struct.unpack_from("<I", data, HEADER + ENTRY * k)[0] == TEXT:
            struct.pack_into("<Q", out, HEADER + ENTRY * k + 16, 0)
    return reseal(out)


CRAFTED = {
    "ends past the text": (lambda d: with_table(d, ends=[3, 8, 99]), "the offsets do not end the text"),
    "ends that fall": (lambda d: with_table(d, ends=[5, 3, 10]), "the offsets do not rise"),
    "an empty id": (lambda d: with_table(d, ends=[0, 8, 10]), "an id that is empty"),
    "not UTF-8": (lambda d: with_table(d, text=b"ab\xff" + b"cdefghi"), "not UTF-8"),
    "a control character": (lambda d: with_table(d, text=b"a\x01b" + b"cdefghi"), "control character"),
    "no text": (without_text, "the offsets do not end the text"),
    "an int id beyond the table": (lambda d: poke(d, VIDEO_INT_IDS, 0, 3), "beyond the id table"),
}


@pytest.mark.parametrize("mmap", [True, False], ids=["mapped", "read"])
@pytest.mark.parametrize("case", CRAFTED)
def test_a_crafted_id_table_is_refused_naming_the_file(tmp_path, case, mmap):
    good = tmp_path / "good.brx"
    Index.build([("ab", 2, [("ab1", 1), ("cdefg", 1)]), ("b", 1, [("hi", 1)])]).save(good)
    data = good.read_bytes()
    assert sections(data)[TEXT_ENDS][2] == 3 and sections(data)[TEXT][2] == 10
    assert run_child(good, mmap) == "answered"
    craft, refusal = CRAFTED[case]
    path = tmp_path / "crafted.brx"
    path.write_bytes(craft(data))
    outcome = run_child(path, mmap)
    assert outcome.startswith(f"refused {path}: the text video ids: ") and refusal in outcome, outcome


def test_files_without_text_ids_hold_no_id_table(tmp_path):
    path = tmp_path / "ints.brx"
    Index.build([("ab", 2, [(1, 1)])]).save(path)
    data = path.read_bytes()
    assert struct.unpack_from("<I", data, 12)[0] == len(sections(data)) and TEXT_ENDS not in sections(data)


def test_text_ids_reads_every_id_as_written(tmp_path):
    source = tmp_path / "skus.tsv"
    source.write_text("term\tcount\tvideo_id\tvideo_count\ncat\t3\t0012\t2\ncat\t3\tAB-1\t1\n", encoding="utf-8")
    out = tmp_path / "skus.brx"
    assert run_cli("build", source, "-o", out).returncode != 0  # the first id made it a file of integers
    built = run_cli("build", "--text-ids", source, "-o", out)
    assert built.returncode == 0, built.stderr
    assert run_cli("videos", out, "cat").stdout.splitlines() == ["0012\t0.666667", "AB-1\t0.333333"]
