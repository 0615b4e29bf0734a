"""Index files used in place: what a version 2 file holds is checked on open, so that a
crafted file with valid checksums is refused or answered safely (each in a child
process, so that a crash or a loop fails one case), and the ways of opening a file
(mapped, read, through a pipe, pickled) answer alike."""

from __future__ import annotations

import os
import pickle
import random
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import brindlex
from brindlex import Index
from brindlex._format import is_mapped
from brindlex._native import crc32c

HEADER = 48
ENTRY = 32

# Section ids (src/core/mapped/layout.hpp).
META, SHIFTS, LABELS, TRANSITIONS = 1, 2, 3, 4
ALIASES, ENDS32, VIDEO_IDS = 8, 9, 12
WALK, REVERSED, BEST, FIXES = 16, 17, 18, 19
SPELLING_NODES, SPELLING_ENDS = 20, 21
VIDEO_TEXT_ENDS = 23
EXACT_SLOTS, EXACT_TEXTS = 32, 33


def entries():
    words = ["crème", "creme", "Cremes", "crane", "crate", "dog", "doge", "dot", "a", "ab", "abc", "abcd", "zebra"]
    return [(w, 3 + i, [(i % 4, 1 + i)]) for i, w in enumerate(words)]


@pytest.fixture(scope="module")
def saved(tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("mapped") / "index.brx"
    Index.build(entries(), video_top_n=3).save(path)
    return path


def sections(data: bytes) -> dict[int, tuple[int, int, int]]:
    """id -> (width, offset, count) of each section."""
    (count,) = struct.unpack_from("<I", data, 12)
    out = {}
    for k in range(count):
        sid, width, offset, n, _ = struct.unpack_from("<IIQQQ", data, HEADER + ENTRY * k)
        out[sid] = (width, offset, n)
    return out


def reseal(data: bytearray) -> bytes:
    """The file with every checksum made right again for what it now holds."""
    (count,) = struct.unpack_from("<I", data, 12)
    table_end = HEADER + ENTRY * count
    struct.pack_into("<I", data, 32, crc32c(bytes(data[HEADER:table_end])))
    struct.pack_into("<I", data, 40, crc32c(bytes(data[table_end:])))
    struct.pack_into("<I", data, 44, crc32c(bytes(data[:44])))
    return bytes(data)


def poke(data: bytes, sid: int, index: int, value: int, *, field: int = 0, fmt: str = "<I") -> bytes:
    """Writes `value` into element `index` of section `sid` (at byte `field` within it)."""
    width, offset, n = sections(data)[sid]
    assert index < n, f"section {sid} has {n} elements"
    out = bytearray(data)
    struct.pack_into(fmt, out, offset + width * index + field, value)
    return reseal(out)


def read(data: bytes, sid: int, index: int, *, field: int = 0, fmt: str = "<I") -> int:
    width, offset, _ = sections(data)[sid]
    return struct.unpack_from(fmt, data, offset + width * index + field)[0]


def table(data: bytes, sid: int, *, offset: int | None = None, count: int | None = None) -> bytes:
    out = bytearray(data)
    (n,) = struct.unpack_from("<I", data, 12)
    for k in range(n):
        at = HEADER + ENTRY * k
        if struct.unpack_from("<I", data, at)[0] == sid:
            if offset is not None:
                struct.pack_into("<Q", out, at + 8, offset)
            if count is not None:
                struct.pack_into("<Q", out, at + 16, count)
    return reseal(out)


def every_slot(data: bytes, field: int, value: int) -> bytes:
    """`value` written at byte `field` of every used slot of the exact-term table."""
    width, offset, n = sections(data)[EXACT_SLOTS]
    out = bytearray(data)
    for i in range(n):
        at = offset + width * i
        if struct.unpack_from("<I", out, at + 8)[0] != 2**32 - 1:
            struct.pack_into("<I", out, at + field, value)
    return reseal(out)


def filled(data: bytes, sid: int, byte: int) -> bytes:
    width, offset, n = sections(data)[sid]
    out = bytearray(data)
    out[offset:offset + width * n] = bytes([byte]) * (width * n)
    return reseal(out)


def self_loop(data: bytes) -> bytes:
    """The first entry past the root's run made a child of itself, every start still
    rising: its run begins at itself."""
    roots = read(data, META, 3, fmt="<Q")
    for j in range(roots + 1):
        data = poke(data, WALK, j, roots, field=4)
    return data


def orphaned_entry(data: bytes) -> bytes:
    """The last slot with list entries of its own made to end one entry sooner, leaving
    that entry to no slot (a snapshot written from such a table would be sized wrong)."""
    n = sections(data)[ENDS32][2]
    own = [v for v in range(n) if not read(data, ALIASES, v // 64, fmt="<Q") >> (v % 64) & 1]
    for before, v in reversed(list(zip(own, own[1:]))):
        if read(data, ENDS32, v) > read(data, ENDS32, before):
            return poke(data, ENDS32, v, read(data, ENDS32, v) - 1)
    raise AssertionError("no slot with entries of its own past the first")


# Each crafted file: refused on open, or (None) opened and then answered without a crash.
CRAFTED = {
    "child back to the root (a cycle)": (lambda d: poke(d, TRANSITIONS, 3, 0), "no tree"),
    "child listed twice": (lambda d: poke(d, TRANSITIONS, 4, read(d, TRANSITIONS, 3)), "no tree"),
    "child beyond the nodes": (lambda d: poke(d, TRANSITIONS, 2, 10**6), "no tree"),
    "children run past the list": (lambda d: poke(d, SHIFTS, 1, 10**6), "run past"),
    "walk run backwards": (lambda d: poke(d, WALK, 3, 1, field=4), "out of order"),
    "walk entry its own child": (self_loop, "out of order"),
    "walk run beyond the entries": (lambda d: poke(d, WALK, 2, 10**6, field=4), "out of order"),
    "walk entry names no node": (lambda d: poke(d, WALK, 1, 10**6, field=8), "names no node"),
    "reversed run backwards": (lambda d: poke(d, REVERSED, 2, 0, field=4), "out of order"),
    "reversed entry names no node": (lambda d: poke(d, REVERSED, 0, 10**6, field=8), "names no node"),
    "list end beyond the lists": (lambda d: poke(d, ENDS32, 5, 10**6), "do not rise"),
    "list ends fall": (lambda d: poke(d, ENDS32, 6, 0), "do not rise"),
    "a list entry left to no slot": (orphaned_entry, "do not rise"),
    "slot 0 an alias": (lambda d: poke(d, ALIASES, 0, read(d, ALIASES, 0, fmt="<Q") | 1, fmt="<Q"), "do not fit"),
    "count fixes out of order": (None, None),  # filled below: the built index has none
    "spelling beyond the text": (lambda d: poke(d, SPELLING_ENDS, 0, 10**6), "do not fit the text"),
    "spelling of no node": (lambda d: poke(d, SPELLING_NODES, 0, 10**6), "out of order"),
    "section beyond the file": (lambda d: table(d, LABELS, offset=len(d) + 64), "is damaged"),
    "section longer than the file": (lambda d: table(d, BEST, count=len(d)), "is damaged"),
    "depth beyond the nodes": (lambda d: poke(d, META, 1, 2**64 - 1, fmt="<Q"), "depth"),
    "unknown flags": (lambda d: poke(d, META, 2, 2**40, fmt="<Q"), "does not know"),
    # Answered (perhaps wrongly, never unsafely): what a query checks as it reads.
    "depth smaller than the tree": (lambda d: poke(d, META, 1, 1, fmt="<Q"), None),
    "heights all zero": (lambda d: poke(d, WALK, 0, read(d, WALK, 0) & 0x3FFFFF), None),
    "labels changed": (lambda d: poke(d, LABELS, 2, 0x10FFFF), None),
    "video ids beyond the videos": (lambda d: poke(d, VIDEO_IDS, 0, 2**32 - 1), None),
    "completion bounds made up": (lambda d: poke(d, BEST, 0, 0), None),
    "exact slots name no node": (lambda d: every_slot(d, 4, 10**6), None),
    "exact slots point past the texts": (lambda d: every_slot(d, 8, 2**32 - 2), None),
    "exact texts all 0xFF": (lambda d: filled(d, EXACT_TEXTS, 0xFF), None),
    "exact table without its texts": (lambda d: table(d, EXACT_TEXTS, count=0), None),
}
del CRAFTED["count fixes out of order"]

CHILD = textwrap.dedent(
    """
    import sys
    from brindlex import Index
    path, mmap = sys.argv[1], sys.argv[2] == "1"
    try:
        index = Index.load(path, mmap=mmap)
    except ValueError as exc:
        print("refused", exc)
        raise SystemExit(0)
    for text in ["creme", "crat", "dog", "abcd", "", "zz", "abce"]:
        for call in (
            lambda: index.suggest(text, 5, max_dist=2),
            lambda: index.complete(text[:2], 5),
            lambda: index.count(text),
            lambda: text in index,
            lambda: index.engine.fuzzy_match(text, 2, None),
            lambda: index.videos(text, 5, max_dist=1),
            lambda: index.engine.to_bytes(),
        ):
            try:
                call()
            except BaseException as exc:  # the engine's InternalFailure: answered as damage
                if type(exc).__name__ != "InternalFailure":
                    raise
    print("answered")
    """
)


def run_child(path: Path, mmap: bool) -> str:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run(
        [sys.executable, "-c", CHILD, str(path), "1" if mmap else "0"],
        capture_output=True, text=True, timeout=60, env=env,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


@pytest.mark.parametrize("mmap", [True, False], ids=["mapped", "read"])
@pytest.mark.parametrize("case", CRAFTED)
def test_crafted_files_with_valid_checksums_are_refused_or_answered_safely(saved, tmp_path, case, mmap):
    craft, refusal = CRAFTED[case]
    path = tmp_path / "crafted.brx"
    path.write_bytes(craft(saved.read_bytes()))
    outcome = run_child(path, mmap)
    if refusal is None:
        assert outcome == "answered"
    else:
        assert outcome.startswith(f"refused {path}: ") and refusal in outcome, outcome


def test_count_fixes_out_of_order_are_refused(tmp_path):
    # Totals that saturate make fixes; two of them swapped no longer sort.
    top = 2**32 - 1
    path = tmp_path / "fixes.brx"
    Index.build([("ab", top, []), ("abc", top, []), ("abd", 5, []), ("b", top, []), ("bc", top, [])]).save(path)
    data = path.read_bytes()
    assert sections(data)[FIXES][2] >= 2
    first, second = read(data, FIXES, 0), read(data, FIXES, 1)
    path.write_bytes(poke(poke(data, FIXES, 0, second), FIXES, 1, first))
    assert run_child(path, True).startswith(f"refused {path}: the count fixes")


@pytest.mark.parametrize("cut", [0, 10, HEADER - 1, HEADER, 400, -1])
def test_cut_and_extended_files_are_refused_naming_the_file(saved, tmp_path, cut):
    data = saved.read_bytes()
    path = tmp_path / "cut.brx"
    path.write_bytes(data[:cut] if cut >= 0 else data + b"\0")
    with pytest.raises(ValueError) as refused:
        Index.load(path)
    message = str(refused.value)
    assert message.startswith(f"{path}: ") and "\n" not in message
    assert any(w in message for w in ("cut short", "follow", "snapshot", "not a brindlex index", "is empty")), message


def test_a_flipped_bit_is_caught_by_the_checksum_unless_told_to_trust(saved, tmp_path):
    data = bytearray(saved.read_bytes())
    _, offset, _ = sections(bytes(data))[VIDEO_IDS]
    data[offset] ^= 1  # a video id: still a sound file, only not the one written
    path = tmp_path / "flipped.brx"
    path.write_bytes(bytes(data))
    with pytest.raises(ValueError, match="the checksum does not match"):
        Index.load(path)
    assert len(Index.load(path, verify=False)) == len(Index.build(entries()))


def test_every_way_of_opening_answers_alike(saved, tmp_path):
    made = Index.build(entries(), video_top_n=3)
    mapped, read_in = Index.load(saved), Index.load(saved, mmap=False)
    assert mapped.mapped and not read_in.mapped and not made.mapped
    pickled = pickle.loads(pickle.dumps(mapped))
    wrapped = Index(brindlex.load(saved))  # the engine alone, compared exactly
    for index in (mapped, read_in, pickled):
        assert index.engine.to_bytes() == made.engine.to_bytes()
        assert (index.text_mode, index.video_top_n, len(index)) == (made.text_mode, 3, len(made))
        for text in ["creme", "CRÈME", "crat", "do", "abc", ""]:
            assert index.suggest(text, 10, max_dist=2) == made.suggest(text, 10, max_dist=2)
            assert index.complete(text, 10) == made.complete(text, 10)
            assert index.videos(text, 5, max_dist=1) == made.videos(text, 5, max_dist=1)
            assert index.count(text) == made.count(text)
    assert wrapped.engine.fuzzy_match("dog", 1, None) == made.engine.fuzzy_match("dog", 1, None)


def test_a_pipe_is_read_instead_of_mapped(saved, tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    feeder = subprocess.Popen(f"cat {saved} > {fifo}", shell=True)
    try:
        index = Index.load(fifo)
    finally:
        feeder.wait(10)
    assert not index.mapped and index.suggest("crat", 3, max_dist=1) == Index.load(saved).suggest("crat", 3, max_dist=1)


def test_the_mapping_lives_as_long_as_the_engine(saved, tmp_path):
    # The file is replaced by rename (as save does) and the old name removed: an engine
    # from the old file keeps answering from the old pages.
    path = tmp_path / "live.brx"
    path.write_bytes(saved.read_bytes())
    engine = brindlex.load(path)
    before = engine.fuzzy_match("dog", 1, None)
    Index.build([("other", 1, [])]).save(path)
    os.unlink(path)
    assert engine.fuzzy_match("dog", 1, None) == before
    assert Index(engine).complete("do", 5) == Index.build(entries()).complete("do", 5)


@pytest.mark.parametrize("words", [False, True])
def test_written_files_are_version_2_laid_out_whole_and_padded_with_zeros(tmp_path, words):
    # Every kind of section (spellings, text ids, word starts), written into memory that
    # held other bytes just before: only the sections' bytes and zeros are written, and
    # the same index gives the same file.
    rng = random.Random(29)
    terms = {"".join(rng.choice("abcdeé ") for _ in range(rng.randint(1, 12))).strip() or "x" for _ in range(300)}
    items = [(t.upper() if i % 5 == 0 else t, 1 + i % 97, [(f"v{i % 50}", 1 + i % 7)]) for i, t in enumerate(sorted(terms))]
    index = Index.build(items, video_top_n=4, words=words)
    files = []
    for k in range(2):
        path = tmp_path / f"index{k}.brx"
        size = len(files[0]) if files else 64 * 1024
        junk = [bytes([0xA5]) * size for _ in range(16)]
        del junk
        index.save(path)
        files.append(path.read_bytes())
    data = files[0]
    assert files[1] == data and is_mapped(data[:10])
    (count,) = struct.unpack_from("<I", data, 12)
    assert struct.unpack_from("<Q", data, 24)[0] == len(data)
    table = sections(data)
    assert len(table) == count and {SPELLING_NODES, EXACT_SLOTS, VIDEO_TEXT_ENDS}.issubset(table)
    end = HEADER + ENTRY * count
    for width, offset, n in sorted(table.values(), key=lambda s: s[1]):
        assert offset % 64 == 0 and offset >= end
        assert data[end:offset].strip(b"\0") == b""
        end = offset + width * n
    assert end <= len(data) and data[end:].strip(b"\0") == b""
