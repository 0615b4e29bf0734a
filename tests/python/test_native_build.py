"""The native builder against the Python model of the layout (layout_model.py): entries,
Index.build and catalogues at random, valid and not, must give the same arrays, the same
snapshot and index file bytes, or the same error with the same text."""

from __future__ import annotations

import io
import json
import random
import uuid
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import layout_model as model

pytest.importorskip("_brindlex")

from brindlex import Index, build_index, flatten  # noqa: E402
from brindlex._fold import normaliser  # noqa: E402
from brindlex._format import encode_notes, file_chunks  # noqa: E402
from brindlex._native import read_catalogue  # noqa: E402
from brindlex._rows import RowError, read_rows, row_of  # noqa: E402

U32_MAX = 2**32 - 1

# Shared prefixes, case and accents that fold together, astral characters, a combining
# mark alone (empty once folded), a term past the 40 characters that messages show;
# whitespace at the ends and inside, ASCII and not, and terms that are nothing else.
TERMS = ["cat", "Cat", "cart", "car", "c", "crème", "Crème", "CRÈME", "creme", "naïve", "ﬁn", "日本", "日本語",
         "😀x", "😀", "ß", "SS", "\u0301", "a" * 45, "a" * 45 + "b", "tab\\t", 'q"uote', " cat", "Cat  ", "c  at",
         "c\x0b\x1fat", "C at\u3000", " crème ", "\u2003", "  ", "\u00a8x"]
COUNTS = [0, 1, 2, 7, 1000, U32_MAX - 1, U32_MAX]
INT_IDS = [0, 1, 7, 1001, U32_MAX]
UUIDS = [uuid.UUID(int=n * 0x1234567890ABCDEF1) for n in range(1, 5)]


def outcome(run: Any) -> tuple[str, Any]:
    try:
        return "ok", run()
    except RowError as exc:
        return "RowError", (exc.line, exc.message, exc.json_like)
    except (TypeError, ValueError, OverflowError) as exc:
        return type(exc).__name__, str(exc)


# -- entries ------------------------------------------------------------------------------

BAD_ENTRIES = [("a", 1), 5, (b"a", 1, []), ("a\0b", 1, []), ("\ud800", 1, []), ("", 1, []), ("a", -1, []),
               ("a", U32_MAX + 1, []), ("a", 1.0, []), ("a", True, []), ("a", 1, None), ("a", 1, "ab"),
               ("a", 1, [(1, 1), 7]), ("a", 1, [(1, 1, 1)]), ("a", 1, [(1, -2)]), ("a", 1, [(b"abc", 1)]),
               ("a", 1, [(-1, 1)]), ("a", 1, [(2**32, 1)]), ("a", 1, [("1", 1)]), ("a", 1, [(True, 1)]),
               ("\u0301", 1, [])]


def video_ids(form: str) -> st.SearchStrategy[Any]:
    if form == "int":
        return st.one_of(st.sampled_from(INT_IDS), st.sampled_from(INT_IDS).map(lambda n: n.to_bytes(4, "little")))
    return st.one_of(st.sampled_from(UUIDS), st.sampled_from(UUIDS).map(lambda u: u.bytes))


class OneShot(tuple):  # type: ignore[type-arg]
    """Videos given as a one-shot iterator; fresh() makes a new one for each run."""


def entry_st(form: str) -> st.SearchStrategy[Any]:
    counts = st.sampled_from(COUNTS)
    videos = st.lists(st.tuples(video_ids(form), counts), max_size=4)
    # Lists and iterators where tuples and lists are usual: the slow path takes them.
    shaped = st.sampled_from([list, tuple, OneShot])
    return st.builds(lambda t, c, v, shape, as_list: [t, c, shape(v)] if as_list else (t, c, shape(v)),
                     st.sampled_from(TERMS), counts, videos, shaped, st.booleans())


def entries_st() -> st.SearchStrategy[list[Any]]:
    def spoil(entries: list[Any], bad: Any, at: int) -> list[Any]:
        return entries[:at] + [bad] + entries[at:]

    plain = st.sampled_from(["int", "uuid"]).flatmap(lambda form: st.lists(entry_st(form), max_size=30))
    mixed = st.lists(st.one_of(entry_st("int"), entry_st("uuid")), min_size=2, max_size=8)
    bad = st.builds(spoil, plain, st.sampled_from(BAD_ENTRIES), st.integers(0, 30))
    return st.one_of(plain, plain, mixed, bad)


def fresh(entries: list[Any]) -> list[Any]:
    def one(e: Any) -> Any:
        if isinstance(e, (tuple, list)) and len(e) == 3 and isinstance(e[2], OneShot):
            return type(e)((e[0], e[1], iter(e[2])))
        return e

    return [one(e) for e in entries]


@settings(max_examples=300, deadline=None)
@given(entries_st(), st.sampled_from([0, 1, 3, 10]))
def test_entries_build_as_the_model_lays_them_out(entries, top_n):
    assert outcome(lambda: flatten(fresh(entries))) == outcome(lambda: model.flatten(fresh(entries)))
    native = outcome(lambda: build_index(fresh(entries), top_n).to_bytes())
    assert native == outcome(lambda: model.build_index(fresh(entries), top_n).to_bytes())
    for mode in ("fold", "nfc"):
        got = outcome(lambda: Index.build(fresh(entries), video_top_n=top_n, fold=mode == "fold")._chunks())

        def want() -> list[bytes]:
            engine, notes, ids = model.index_parts(fresh(entries), mode, top_n)
            return Index._make(engine, mode, notes, top_n, ids)._chunks()  # type: ignore[arg-type]

        assert got == outcome(want), mode


# -- catalogues ---------------------------------------------------------------------------


# Text ids, good and bad: a number's digits with zeros, a UUID's text, control
# characters, one too long, one the slow path alone takes (an escape in JSON).
TEXT_IDS = ["AB-1", "dQw4w9WgXcQ", "pâtisserie/42", "007", "a b", "x" * 255, "x" * 256, "tab\x01", "c1\x85",
            "12345678-1234-5678-1234-567812345678", "\u00a0", "s\\t", "\"q\""]


def id_text(rng: random.Random, kind: str) -> Any:
    if kind == "int":
        return rng.choice(INT_IDS)
    if kind == "text":
        return rng.choice(TEXT_IDS)
    text = str(rng.choice(UUIDS))
    return text.upper() if rng.random() < 0.2 else text


# A bad or odd line of each format: the native reader leaves each to the slow path.
ODD_TSV = ["", "cat", "cat\t1\t\t", "cat\tten\t\t", "cat\t-1\t\t", "cat\t4294967296\t\t", "cat\t1\t7", "\t1\t\t",
           "cat\t1\t\t5", "cat\t1\t\t0", "cat\t1\tabc\t1", "cat\t1\t7\t-1", "cat\t1\t99999999999\t1",
           "cat\t1\t0000000000007\t1", "a\0b\t1\t\t", "cat\t01\t\t", "\tcat\t1\t7\t1"]
ODD_JSON = ['{"term": "cat", "count": 1,}', '["cat", 1]', '{"term": "cat", "count": 1, "videos": []}', '{"term": "cat"}',
            '{"term": "cat", "count": true}', '{"term": "cat", "count": 1, "video_id": 7}', '{"count": 1, "term": "cat"}',
            '{"term": "cat", "count": 1, "video_id": 1.5, "video_count": 1}', '{"term": "\\ud800", "count": 1}',
            '{"term": "a\\u0000b", "count": 1}', '{"term": "c\\u00e9\\ud83d\\ude00\\"", "count": 3}', '  {"term":"cat","count":1} ',
            '{"term": "cat", "count": 1, "term": "dog"}', '{"term": "cat", "count": 1.0}', '{"term": "cat", "count": 01}',
            '{"term": "cat", "count": 1, "video_id": null, "video_count": null}', '{"term": "cat", "count": 1, "video_id": ""}',
            '{"term": "cat", "count": 1, "video_id": "", "video_count": 0}', '{"term": "cat", "count": 1, "video_count": 2}',
            '{"term": "cat", "count": 1, "video_id": -1, "video_count": 1}', '\u00a0', '\x0c', 'null', '{}', '{"term": 5, "count": 1}',
            '{"term": "cat", "count": 1, "video_id": "7", "video_count": "1"}', '{"term": "cat", "count": 99999999999999999999999}']


def random_catalogue(rng: random.Random, fmt: str) -> bytes:
    kind = rng.choice(["int", "uuid", "text"])
    count_of = {t: rng.choice(COUNTS) for t in TERMS}
    lines: list[bytes] = []
    # TSV in either form: with the video columns, or only term and count.
    with_videos = fmt == "jsonl" or rng.random() < 0.7
    if fmt == "tsv":
        columns = ["term", "count", "video_id", "video_count"] if with_videos else ["term", "count"]
        rng.shuffle(columns)
        lines.append("\t".join(columns).encode())
    for _ in range(rng.randrange(0, 25)):
        term = rng.choice(TERMS)
        count = count_of[term] if rng.random() < 0.95 else rng.choice(COUNTS)
        if fmt == "tsv" and rng.random() < 0.1:
            term = term.replace("\\t", "\t")  # a tab in a TSV term: five fields
        vid = id_text(rng, kind if rng.random() < 0.95 else rng.choice(["int", "uuid", "text"])) if rng.random() < 0.8 else None
        vid = vid if with_videos else None
        vcount = rng.choice(COUNTS)
        roll = rng.random()
        if roll < 0.08:
            lines.append((rng.choice(ODD_TSV) if fmt == "tsv" else rng.choice(ODD_JSON)).encode())
            continue
        if roll < 0.1:
            lines.append(b"")
            continue
        if roll < 0.11:
            lines.append(b"caf\xe9\t1\t\t" if fmt == "tsv" else b'{"term": "caf\xe9", "count": 1}')
            continue
        if fmt == "tsv":
            fields = {"term": term, "count": str(count), "video_id": "" if vid is None else str(vid),
                      "video_count": "" if vid is None else str(vcount)}
            lines.append("\t".join(fields[c] for c in columns).encode())
        else:
            row: dict[str, Any] = {"term": term, "count": count}
            if vid is not None:
                row["video_id"], row["video_count"] = vid, vcount
            lines.append(json.dumps(row, ensure_ascii=rng.random() < 0.5).encode())
    ending = rng.choice([b"\n", b"\r\n"])
    data = ending.join(lines) + (ending if rng.random() < 0.8 else b"")
    if rng.random() < 0.1:
        data = b"\xef\xbb\xbf" + data
    return data


def native_file(data: bytes, fmt: str, mode: str, top_n: int, sum_counts: bool = False) -> tuple[list[bytes], int, int, Any]:
    engine, shown, fixes, rows, videos, _, _, ids = read_catalogue(
        io.BytesIO(data), fmt, top_n, mode, normaliser(mode), row_of, RowError, None, sum_counts  # type: ignore[arg-type]
    )
    return file_chunks(engine.to_bytes(), encode_notes(shown, fixes), mode, top_n), rows, videos, ids  # type: ignore[arg-type]


def model_file(data: bytes, fmt: str, mode: str, top_n: int, sum_counts: bool = False) -> tuple[list[bytes], int, int, Any]:
    cat = read_rows(io.BytesIO(data), fmt, normaliser(mode), sum_counts)
    engine, notes, ids = model.index_parts(cat.entries(), mode, top_n)
    return file_chunks(engine.to_bytes(), notes, mode, top_n), cat.rows, cat.video_count, ids  # type: ignore[arg-type]


@pytest.mark.parametrize("fmt", ["tsv", "jsonl"])
def test_catalogues_read_as_the_python_reader_reads_them(fmt):
    rng = random.Random(20261209)
    seen = set()
    texts = 0
    for _ in range(400):
        data = random_catalogue(rng, fmt)
        mode = rng.choice(["fold", "nfc"])
        top_n = rng.choice([0, 2, 10])
        sum_counts = rng.random() < 0.3
        got = outcome(lambda: native_file(data, fmt, mode, top_n, sum_counts))
        want = outcome(lambda: model_file(data, fmt, mode, top_n, sum_counts))
        assert got == want, data
        seen.add(got[0] if got[0] != "RowError" else got[1][1].split(" ")[0])
        texts += got[0] == "ok" and got[1][3] is not None
    # The catalogues reach both good builds (of text ids too) and errors of several kinds.
    assert "ok" in seen and len(seen) >= 5 and texts > 0, (seen, texts)


def test_catalogue_read_in_pieces_across_lines():
    # A stream that gives a few bytes at a time splits lines and characters anywhere.
    rng = random.Random(7)
    data = b"\n".join(random_catalogue(rng, "tsv") for _ in range(1)) or b"term\tcount\tvideo_id\tvideo_count\n"

    class Trickle(io.BytesIO):
        def read(self, size: int | None = -1) -> bytes:
            return super().read(rng.randrange(1, 4))

    for _ in range(20):
        data = random_catalogue(rng, "tsv")
        got = outcome(lambda: native_file(data, "tsv", "fold", 10))
        trickled = outcome(lambda: read_catalogue(Trickle(data), "tsv", 10, "fold", normaliser("fold"), row_of, RowError, None, False))
        if got[0] == "ok":
            engine, shown, fixes, rows, videos, _, _, _ = trickled[1]
            assert file_chunks(engine.to_bytes(), encode_notes(shown, fixes), "fold", 10) == got[1][0]
        else:
            assert trickled == got


@pytest.mark.parametrize("alphabet", ["abcdefgh", "aéb😀c"])
def test_the_reversed_index_made_beside_the_aggregation_is_the_one_made_on_first_use(alphabet):
    # Big enough for the builder to make the reversed-term index on a second core while it
    # aggregates; the same store restored from its snapshot makes it on first use. Their
    # index files (which hold it) and their answers that walk it must agree.
    from _brindlex import PrefixSearch

    from brindlex._native import Lookup, write_index
    from brindlex._results import Completion, Suggestion

    rng = random.Random(len(alphabet))
    terms = {"".join(rng.choice(alphabet) for _ in range(rng.randint(3, 12))) for _ in range(50000)}
    entries = [(t, rng.randint(0, 9), [(rng.randrange(500), rng.randint(1, 9))]) for t in sorted(terms)]
    assert len(flatten(entries).node_shifts) >= 2**16
    built = build_index(entries, 4)
    restored = PrefixSearch.from_bytes(built.to_bytes())
    files = [write_index(Lookup(engine, encode_notes([], []), Suggestion, Completion, None), 0, 4)
             for engine in (built, restored)]
    assert files[0] is not None and files[0] == files[1]
    for q in rng.sample(sorted(terms), 40):
        q = q[:-1] + rng.choice(alphabet) + q[-1:]
        assert built.fuzzy_match(q, 2) == restored.fuzzy_match(q, 2)


def test_builds_big_enough_for_a_second_core_lay_out_as_the_model_does():
    # Past 65536 video rows the video lists are made beside the trie's layout, and past
    # 65536 nodes the reversed-term index beside the aggregation: repeated terms, videos
    # named twice, long lists with equal counts, and counts that saturate.
    rng = random.Random(65536)
    terms = ["".join(rng.choice("abcdé") for _ in range(rng.randint(1, 11))) for _ in range(30000)]
    entries = [(t, rng.choice([1, 2, U32_MAX]) if i % 997 == 0 else rng.randint(0, 9),
                [(rng.randrange(3000), rng.choice([1, 1, 2, U32_MAX // 2])) for _ in range(rng.choice([0, 1, 3, 4, 20]))])
               for i, t in enumerate(terms)]
    assert sum(len(v) for _, _, v in entries) >= 2**16
    for top_n in (3, 10):
        assert build_index(entries, top_n).to_bytes() == model.build_index(entries, top_n).to_bytes()


@pytest.mark.parametrize("first", [True, False])
def test_uuid_ids_with_any_one_character_changed_read_as_the_python_reader_reads_them(first):
    # The native reader takes a UUID's 32 digits eight at a time: each character of the
    # id, changed into the neighbours of every range of hex digits (and into a dash,
    # space, DEL, a letter beyond f, UTF-8 and a stray byte), must read as the model reads it.
    good = "0123abcd-ef45-6789-ABCD-EF0123456789"
    changes = ["/", "0", "9", ":", "@", "A", "F", "G", "`", "a", "f", "g", "-", " ", "\x7f", "z", "é"]
    for at in range(len(good)):
        for c in changes:
            vid = (good[:at] + c + good[at + 1:]).encode()
            for raw in (vid, vid[:at] + b"\x80" + vid[at + 1:]) if c == "é" else (vid,):
                rows = [b"cat\t1\t" + raw + b"\t2", b"cat\t1\t" + good.encode() + b"\t3"]
                data = b"term\tcount\tvideo_id\tvideo_count\n" + b"\n".join(rows if first else rows[::-1]) + b"\n"
                got = outcome(lambda: native_file(data, "tsv", "nfc", 10))
                assert got == outcome(lambda: model_file(data, "tsv", "nfc", 10)), data
