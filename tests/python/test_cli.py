"""The command line, run as users run it: ``python -m brindlex`` in a subprocess."""

from __future__ import annotations

import io
import json
import os
import stat
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import _brindlex
from _brindlex import PrefixSearch
from brindlex import Index, __version__, load
from brindlex._rows import read_rows
from brindlex.cli._progress import Progress
from snapshot_model import snapshot

ROOT = Path(__file__).resolve().parents[2]
CATALOGUE = ROOT / "samples" / "catalogue.tsv"
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(_brindlex.__file__).parent), str(ROOT / "python")]))


def brindlex(
    *args: object, stdin: str | bytes | None = None, cwd: Path | None = None, text: bool = True
) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "brindlex", *map(str, args)],
        input=stdin,
        capture_output=True,
        text=text,
        env=ENV,
        cwd=cwd,
        timeout=120,
    )


def read_catalogue() -> dict[str, tuple[int, list[tuple[str, int]]]]:
    terms: dict[str, tuple[int, list[tuple[str, int]]]] = {}
    with CATALOGUE.open(encoding="utf-8") as f:
        next(f)
        for row in f:
            term, count, video, video_count = row.rstrip("\n").split("\t")
            terms.setdefault(term, (int(count), []))[1].append((video, int(video_count)))
    return terms


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    # Unfolded, so that the engine's answers are the catalogue's terms as written.
    out = tmp_path_factory.mktemp("cli") / "catalogue.snap"
    result = brindlex("build", CATALOGUE, "-o", out, "--no-fold")
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""  # no progress display when stderr is not a terminal
    return out, result.stdout


def test_build_then_stats_count_the_catalogue(built):
    out, summary = built
    terms = read_catalogue()
    nodes = len({t[:i] for t in terms for i in range(len(t) + 1)})
    videos = len({v for _, vids in terms.values() for v, _ in vids})
    assert f"{len(terms)} terms, {videos} videos, {nodes} nodes, {out.stat().st_size} bytes" in summary

    figures = json.loads(brindlex("stats", out, "--json").stdout)
    assert figures == {
        "nodes": nodes,
        "terms": len(terms),
        "videos": videos,
        "id_mode": "uuid",
        "id_form": "uuid",
        "text_mode": "nfc",
        "checksum": True,
        "format": 2,
        "mappable": True,
        "size": out.stat().st_size,
        "snapshot_bytes": len(Index.load(out).engine.to_bytes()),
        "words": False,
        "trailing_bytes": 0,
        "notes": [],
        "damage": [],
    }
    text = brindlex("stats", out)
    assert text.returncode == 0
    assert text.stdout == (
        f"nodes     {nodes}\nterms     {len(terms)}\nvideos    {videos}\n"
        f"id mode   uuid\ntext mode nfc\nchecksum  verified\nformat    2 (mapped in place)\n"
        f"size      {out.stat().st_size} bytes\n"
    )


@pytest.mark.parametrize(
    "term, options",
    [
        ("pyhton", ["--max-dist", "2"]),
        ("chiken curri", ["--max-dist", "3", "--limit", "2"]),
        ("python", ["--max-dist", "0"]),
        ("zqzqzqzq", []),
    ],
)
def test_match_prints_what_fuzzy_match_returns(built, term, options):
    out, _ = built
    index = load(out)
    max_dist = int(options[options.index("--max-dist") + 1]) if "--max-dist" in options else 1
    limit = int(options[options.index("--limit") + 1]) if "--limit" in options else None
    expected = [(t, d) for t, _, d in index.fuzzy_match(term, max_dist, limit)]

    as_json = brindlex("match", out, term, *options, "--json")
    assert as_json.returncode == 0, as_json.stderr
    assert [(r["term"], r["distance"]) for r in json.loads(as_json.stdout)] == expected
    as_text = brindlex("match", out, term, *options)
    assert as_text.stdout == "".join(f"{t}\t{d}\n" for t, d in expected)
    if term == "pyhton":
        assert ("python", 2) in expected


@pytest.mark.parametrize(
    "term, options, kwargs",
    [
        ("python tutorial", [], {}),
        ("pyth", [], {}),
        ("pyth", ["--include-prefix-nodes", "yes"], {"include_prefix_nodes": True}),
        ("pyth", ["--include-prefix-nodes", "no"], {"include_prefix_nodes": False}),
        ("chiken curry", ["--max-dist", "2", "--min-score", "0.2"], {"max_dist": 2, "min_score": 0.2}),
        ("tokio", ["--limit", "2", "--min-score", "0"], {"limit": 2, "min_score": 0.0}),
    ],
)
def test_videos_prints_what_fuzzy_match_video_returns(built, term, options, kwargs):
    out, _ = built
    index = load(out)
    expected = index.fuzzy_match_video(term, **kwargs)
    if "include_prefix_nodes" not in kwargs or kwargs["include_prefix_nodes"]:
        assert expected, "a query that finds nothing would test nothing"

    result = brindlex("videos", out, term, *options, "--json")
    assert result.returncode == 0, result.stderr
    got = [(r["video_id"], r["score"]) for r in json.loads(result.stdout)]
    assert got == expected
    if "limit" in kwargs:
        unlimited = index.fuzzy_match_video(term, **{**kwargs, "limit": None})
        assert len(unlimited) > kwargs["limit"], "the limit should cut something"

    text = brindlex("videos", out, term, *options).stdout.splitlines()
    assert len(text) == len(expected)
    for line, (video, score) in zip(text, expected):
        shown_video, shown = line.split("\t")
        assert shown_video == video and float(shown) == pytest.approx(score, abs=5e-7)


@pytest.fixture(scope="module")
def folded(tmp_path_factory):
    out = tmp_path_factory.mktemp("cli") / "folded.brx"
    result = brindlex("build", CATALOGUE, "-o", out)
    assert result.returncode == 0, result.stderr
    return out


@pytest.mark.parametrize(
    "command, queries, options, call",
    [
        ("suggest", ["PYHTON", "Chiken Curri"], [], lambda i, q: i.suggest(q)),
        ("suggest", ["Buter Chiken", "butter chicken recipie"], ["-n", "3", "--max-dist", "3"], lambda i, q: i.suggest(q, 3, max_dist=3)),
        ("complete", ["PY", "ch", "zz"], ["-n", "4"], lambda i, q: i.complete(q, 4)),
        ("complete", ["chiken cur", "chikcen"], [], lambda i, q: i.complete(q)),
        (
            "complete", ["chikcen", "Buter"], ["--max-dist", "2", "--no-transpositions"],
            lambda i, q: i.complete(q, max_dist=2, transpositions=False),
        ),
        ("suggest", ["chikcen", "PYHTON"], ["--no-transpositions"], lambda i, q: i.suggest(q, transpositions=False)),
    ],
)
def test_suggest_and_complete_print_what_the_index_answers(folded, command, queries, options, call):
    index = Index.load(folded)
    assert index.fold
    expected = {q: [r._asdict() for r in call(index, q)] for q in queries}
    assert any(expected.values()), "queries that find nothing would test nothing"

    single = brindlex(command, folded, queries[0], *options, "--json")
    assert single.returncode == 0, single.stderr
    assert json.loads(single.stdout) == expected[queries[0]]
    batch = brindlex(command, folded, "--stdin", *options, stdin="".join(q + "\n" for q in queries))
    # Each answer ends with an empty line.
    lines = [line for q in queries for line in [*(f"{q}\t" + "\t".join(map(str, r.values())) for r in expected[q]), ""]]
    assert batch.stdout.splitlines() == lines


@pytest.mark.parametrize("command", ["match", "videos"])
def test_stdin_answers_every_line_as_a_query(built, command):
    out, _ = built
    index = load(out)
    if command == "match":
        def answer(q):
            return [{"term": t, "distance": d} for t, _, d in index.fuzzy_match(q, 2)]

        def line(r):
            return f"{r['term']}\t{r['distance']}"
    else:
        def answer(q):
            return [{"video_id": v, "score": s} for v, s in index.fuzzy_match_video(q, 2)]

        def line(r):
            return f"{r['video_id']}\t{r['score']:.6f}"
    # Queries that look like options, empty lines (skipped), one that finds nothing, CRLF
    # line ends; a space is a query.
    queries = ["pyhton", "-python", "--limit", "", "chiken curri", "", " ", "zqzqzq"]
    asked = [q for q in queries if q]
    assert answer("pyhton") and answer("-python") and not answer("zqzqzq")
    stdin = "\r\n".join(queries) + "\r\n"

    as_json = brindlex(command, out, "--stdin", "--max-dist", "2", "--json", stdin=stdin)
    assert as_json.returncode == 0, as_json.stderr
    assert [json.loads(r) for r in as_json.stdout.splitlines()] == [{"query": q, "results": answer(q)} for q in asked]
    as_text = brindlex(command, out, "--stdin", "--max-dist", "2", stdin=stdin)
    # Every answer, one without results too, ends with an empty line.
    assert as_text.stdout == "".join("".join(f"{q}\t{line(r)}\n" for r in answer(q)) + "\n" for q in asked)

    broken = brindlex(command, out, "--stdin", "--max-dist", "2", stdin=b"pyhton\n\n\xff\n", text=False)
    assert broken.returncode == 1 and broken.stderr == b"brindlex: <stdin>:3: the query is not valid UTF-8\n"
    assert broken.stdout.decode() == "".join(f"pyhton\t{line(r)}\n" for r in answer("pyhton")) + "\n"


def test_version():
    result = brindlex("--version")
    assert (result.returncode, result.stdout) == (0, f"brindlex {__version__}\n")


def test_jsonl_from_stdin_with_int_ids_and_a_term_without_videos(tmp_path):
    rows = [
        {"term": "cat", "count": 10, "video_id": 1001, "video_count": 6},
        {"term": "cat", "count": 10, "video_id": "1002", "video_count": 4},
        {"term": "car", "count": 5, "video_id": 1002, "video_count": 5},
        {"term": "cart", "count": 2, "video_id": 4294967295, "video_count": 2},
        {"term": "dog", "count": 3},
        {"term": "dog", "count": 3, "video_id": None},
    ]
    out = tmp_path / "small.snap"
    text = "\n".join(json.dumps(r) for r in rows) + "\n\n"
    built = brindlex("build", "-", "--format", "jsonl", "-o", out, "--video-top-n", "5", stdin=text)
    assert built.returncode == 0, built.stderr

    assert json.loads(brindlex("stats", out, "--json").stdout)["id_mode"] == "int32"
    assert json.loads(brindlex("stats", out, "--json").stdout)["terms"] == 4
    assert brindlex("match", out, "dig").stdout == "dog\t1\n"
    videos = json.loads(brindlex("videos", out, "cat", "--json").stdout)
    assert {v["video_id"] for v in videos} == {"1001", "1002", "4294967295"}
    assert brindlex("videos", out, "dog").stdout == ""


@pytest.mark.parametrize("fmt", ["tsv", "jsonl"])
@pytest.mark.parametrize("ending, last", [("\r\n", "\r\n"), ("\r\n", "\r"), ("\n", "")])
def test_line_endings_and_a_missing_final_line_feed_read_alike(fmt, ending, last):
    rows = (
        ["term\tcount\tvideo_id\tvideo_count", "cat\t10\t1001\t6", "dog\t3\t\t", "cart\t2\t1003\t2"]
        if fmt == "tsv"
        else ['{"term": "cat", "count": 10, "video_id": 1001, "video_count": 6}', '{"term": "dog", "count": 3}',
              '{"term": "cart", "count": 2, "video_id": 1003, "video_count": 2}']
    )
    expected = list(read_rows(io.BytesIO("\n".join(rows).encode() + b"\n"), fmt).entries())
    content = ending.join(rows) + last
    assert list(read_rows(io.BytesIO(content.encode()), fmt).entries()) == expected
    assert ("cart", 2, [(1003, 2)]) in expected


BAD_TSV = [
    ("term\tcount\tvideo\tvideo_count\n", 1, "header must name the columns"),
    ("term\tcount\tvideo_id\tvideo_count\ncat\tten\t\t\n", 2, "count 'ten' is not an unsigned integer"),
    ("term\tcount\tvideo_id\tvideo_count\ncat\t4294967296\t\t\n", 2, "larger than 4294967295"),
    # More digits than Python converts to an int: still a row error with its line.
    ("term\tcount\tvideo_id\tvideo_count\ncat\t1\t\t\ndog\t" + "9" * 5000 + "\t\t\n", 3, "larger than 4294967295"),
    ("term\tcount\tvideo_id\tvideo_count\ncat\t1\t" + "7" * 5000 + "\t1\n", 2, "larger than 4294967295"),
    ("term\tcount\tvideo_id\tvideo_count\ncat\t1\t7\t1\ndog\t2\t7\n", 3, "expected 4 tab-separated fields, found 3"),
    ("term\tcount\tvideo_id\tvideo_count\ncat\t1\tab\x01c\t1\n", 2, "video id 'ab\\x01c' holds a control character"),
    ("term\tcount\tvideo_id\tvideo_count\ncat\t1\t7\t1\ndog\t1\t" + "0" * 8 + "-0000-0000-0000-" + "0" * 12 + "\t1\n", 3, "is a UUID, but the ids before it are integers (from line 2)"),
    ("term\tcount\tvideo_id\tvideo_count\ncat\t1\t7\t1\n\ncat\t2\t8\t1\n", 4, "has count 2 here but 1 on line 2"),
    ("term\tcount\tvideo_id\tvideo_count\ncat\t1\t7\t1\ncat\t1\t7\t3\n", 3, "lists video 7 again (first on line 2)"),
    ("term\tcount\tvideo_id\tvideo_count\n\tcat\t1\t7\t1\n", 2, "expected 4 tab-separated fields, found 5"),
    ("term\tcount\tvideo_id\tvideo_count\n\t1\t7\t1\n", 2, "the term is empty"),
    ("term\tcount\tvideo_id\tvideo_count\ncat\t1\t\t5\n", 2, "a video count without a video id"),
    ("term\tcount\tvideo_id\tvideo_count\ncat\t1\t7\t-1\n", 2, "video count '-1' is not an unsigned integer"),
    (b"term\tcount\tvideo_id\tvideo_count\ncat\t1\t7\t1\nc\xe9t\t1\t7\t1\n", 3, "not valid UTF-8"),
    ("", 1, "the file is empty"),
    ('{"term": "cat", "count": 1}\n', 1, "(for JSON lines, give --format jsonl)"),
]

BAD_JSONL = [
    ('{"term": "cat", "count": 1}\n{"term": "dog", "count": 1,}\n', 2, "not valid JSON"),
    ('{"term": "cat", "count": 1}\n{"term": "dog", "count": ' + "9" * 5000 + "}\n", 2, "not valid JSON"),
    ('["cat", 1]\n', 1, "expected a JSON object"),
    ('{"term": "cat", "count": 1, "videos": []}\n', 1, "unknown key 'videos'"),
    ('{"term": "cat"}\n', 1, "the key 'count' is missing"),
    ('{"term": "cat", "count": true}\n', 1, "count must be an unsigned integer, not true"),
    ('{"term": "cat", "count": 1, "video_id": 7}\n', 1, "the key 'video_count' is missing"),
    ('{"term": "cat", "count": 1, "video_id": 1.5, "video_count": 1}\n', 1, "video_id must be a string or an integer"),
    ('{"term": "\\ud800", "count": 1}\n', 1, "lone surrogate"),
    ('{"term": "a\\u0000b", "count": 1}\n', 1, "U+0000"),
]


@pytest.mark.parametrize(
    "fmt, content, line, message",
    [("tsv", *case) for case in BAD_TSV]
    + [("jsonl", *case) for case in BAD_JSONL]
    + [("json", '[{"term": "cat", "count": 1}]\n', 1, "(for JSON lines, give --format jsonl)")],
)
def test_bad_rows_exit_1_naming_file_and_line(tmp_path, fmt, content, line, message):
    source = tmp_path / f"input.{fmt}"
    if isinstance(content, bytes):
        source.write_bytes(content)
    else:
        source.write_text(content, encoding="utf-8")
    out = tmp_path / "out.snap"
    out.write_bytes(b"an earlier snapshot")

    result = brindlex("build", source, "-o", out)
    assert result.returncode == 1
    assert result.stderr.startswith(f"brindlex: {source}:{line}: "), result.stderr
    assert message in result.stderr
    assert "Traceback" not in result.stderr
    # A failed build leaves the earlier file as it was and no temporary files behind.
    assert out.read_bytes() == b"an earlier snapshot"
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([source.name, out.name])


def _read_fifo(path: Path, into: list[bytes]) -> threading.Thread:
    def reader() -> None:
        with path.open("rb") as f:
            into.append(f.read())

    # A daemon: should the pipe be replaced, its open never returns and must not hold
    # up the interpreter's exit.
    thread = threading.Thread(target=reader, daemon=True)
    thread.start()
    return thread


@pytest.mark.parametrize("case", ["fifo", "link", "link to fifo", "stdout", "same file", "same file by a link"])
def test_output_paths_are_written_through_followed_or_refused(built, tmp_path, case):
    expected = built[0].read_bytes()
    source = tmp_path / "catalogue.tsv"
    source.write_bytes(CATALOGUE.read_bytes())
    target = tmp_path / "target.snap"
    link = tmp_path / "link.snap"
    received: list[bytes] = []
    if "fifo" in case:
        os.mkfifo(target)
        reader = _read_fifo(target, received)
    else:
        target.write_bytes(b"the old snapshot")
    link.symlink_to(source if case == "same file by a link" else target)
    out = {"fifo": target, "stdout": "-", "same file": source, "same file by a link": link}.get(case, link)

    result = brindlex("build", source, "-o", out, "--no-fold", text=False, cwd=tmp_path)
    if "fifo" in case:
        reader.join(timeout=30)
    assert link.is_symlink() and not list(tmp_path.glob(".brindlex-*"))
    if case.startswith("same file"):
        assert result.returncode == 2 and b"is the input file" in result.stderr
        assert source.read_bytes() == CATALOGUE.read_bytes()
        return
    assert result.returncode == 0, result.stderr
    if case == "stdout":
        assert result.stdout == expected and b"<stdout>: 4089 rows" in result.stderr
        assert target.read_bytes() == b"the old snapshot" and not (tmp_path / "-").exists()
    elif "fifo" in case:
        assert stat.S_ISFIFO(target.lstat().st_mode) and received == [expected]
    else:
        assert target.read_bytes() == expected


def test_unreadable_input_and_unwritable_output_exit_1(tmp_path):
    missing = brindlex("build", tmp_path / "nope.tsv", "-o", tmp_path / "x.snap")
    assert missing.returncode == 1 and f"cannot read {tmp_path / 'nope.tsv'}" in missing.stderr
    unwritable = brindlex("build", CATALOGUE, "-o", tmp_path / "no" / "such" / "dir.snap")
    assert unwritable.returncode == 1 and "cannot write" in unwritable.stderr


DAMAGED = snapshot([0, 1], [0, "a"], [1], [(1, [], []), (1, [0], [])], video_int_ids=[5], id_mode=1, has_payload=[0, 1])


@pytest.mark.parametrize(
    "data, command, message",
    [
        (None, ["stats"], "cannot read"),
        (None, ["match", "x"], "cannot read"),
        (b"\x00", ["stats"], "decode error: UnexpectedEnd { additional: 1 }"),
        (b"\x02\x00\xfb", ["match", "cat"], "decode error: UnexpectedEnd { additional: 2 }"),
        (b"\x00\x00\x00\x00\x00\x00\x07\x00", ["videos", "cat"], "decode error: UnexpectedVariant"),
        (b"\x00\x00\x00\x00\x00\x00\x07\x00", ["stats"], "decode error: UnexpectedVariant"),
        (DAMAGED, ["videos", "a"], "the snapshot is damaged: the payload of node 1 has 1 videos but 0 counts"),
        (DAMAGED, ["stats"], "the snapshot is damaged: the payload of node 1 has 1 videos but 0 counts"),
    ],
)
def test_bad_snapshots_exit_1(tmp_path, data, command, message):
    path = tmp_path / "bad.snap"
    if data is not None:
        path.write_bytes(data)
    result = brindlex(command[0], path, *command[1:])
    assert result.returncode == 1, result.stderr
    assert result.stderr.startswith("brindlex: ") and message in result.stderr
    assert "Traceback" not in result.stderr


UNUSUAL = [
    # An edge without a label, then a node no list names, a payload on the root.
    (([0, 2, 2], ["", "a", ""], [None, (1, [], []), (2, [], [])], [1, 2], [], 3),
     "node 2 has no label: queries never reach it or what lies below it"),
    (([0, 1, 1], ["", "a", "b"], [None, (1, [], []), (2, [], [])], [1], [], 3),
     "1 node no child list names, never reached by a query (the first: node 2)"),
    (([0, 1], ["", "a"], [(5, [], []), (1, [], [])], [1], [], 3),
     "the root has a payload of its own, which no query reports"),
]


@pytest.mark.parametrize("arrays, note", UNUSUAL)
@pytest.mark.parametrize("trailing", [b"", b"\x00junk"])
def test_stats_notes_what_is_unusual_and_the_queries_answer(tmp_path, arrays, note, trailing):
    path = tmp_path / "unusual.snap"
    path.write_bytes(PrefixSearch.from_internal_data_v2(*arrays).to_bytes() + trailing)
    text = brindlex("stats", path)
    assert text.returncode == 0, text.stderr
    assert f"note      {note}\n" in text.stdout
    figures = json.loads(brindlex("stats", path, "--json").stdout)
    assert figures["damage"] == [] and note in figures["notes"] and figures["checksum"] is False
    assert (figures["trailing_bytes"], len(figures["notes"])) == (len(trailing), 1 + bool(trailing))
    assert figures["snapshot_bytes"] + figures["trailing_bytes"] == figures["size"] == path.stat().st_size
    found = brindlex("match", path, "a", "--max-dist", "0")
    assert (found.returncode, found.stdout) == (0, "a\t0\n")


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["frobnicate"],
        ["build", "x.tsv"],  # no -o
        ["build", "x.tsv", "-o", "x.snap", "--format", "xml"],
        ["build", "x.tsv", "-o", "x.snap", "--video-top-n", "-1"],
        ["match", "x.snap"],
        ["match", "x.snap", "cat", "--max-dist", "-1"],
        ["match", "x.snap", "cat", "--max-dist", "4294967296"],
        ["match", "x.snap", "cat", "--limit", "two"],
        ["complete", "x.snap", "cat", "--max-dist", "automatic"],
        ["complete", "x.snap", "cat", "--max-dist", "-1"],
        ["videos", "x.snap", "cat", "--include-prefix-nodes", "1"],
        ["videos", "x.snap", "cat", "--min-score", "high"],
        ["videos", "x.snap", "cat", "--min-score", "nan"],
        ["match", "x.snap", "cat", "--stdin"],
        ["stats"],
    ],
)
def test_bad_usage_exits_2(tmp_path, args):
    result = brindlex(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert "usage: brindlex" in result.stderr
    assert list(tmp_path.iterdir()) == []


class FakeTerminal(io.StringIO):
    def isatty(self) -> bool:
        return True


def test_progress_waits_throttles_and_clears():
    now = [0.0]
    term = FakeTerminal()
    progress = Progress(term, delay=0.5, clock=lambda: now[0])
    progress.update("reading", 10, 100)
    assert term.getvalue() == ""  # a quick build shows nothing
    now[0] = 0.6
    progress.update("reading", 50, 100)
    assert "reading [" in term.getvalue() and "50%" in term.getvalue()
    drawn = term.getvalue()
    now[0] = 0.65
    progress.update("reading", 60, 100)
    assert term.getvalue() == drawn  # at most ten redraws a second
    progress.phase("building the index")  # shown at once: the display is up
    assert term.getvalue().rsplit("\r", 1)[1].rstrip() == "building the index"
    progress.close()
    *_, last_line, after = term.getvalue().split("\r")
    assert last_line.strip() == "" and after == ""


def test_progress_draws_nothing_off_a_terminal():
    stream = io.StringIO()
    progress = Progress(stream, delay=0.0, clock=lambda: 10.0)
    progress.update("reading", 1, 2)
    progress.phase("building the index")
    progress.close()
    assert stream.getvalue() == ""
