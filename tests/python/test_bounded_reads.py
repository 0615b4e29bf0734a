"""Reads bounded by what their source can hold: index files and catalogues from pipes
(FIFOs) and devices are read in pieces, never past a header's claim or a limit, and
what goes past is refused naming the file, whatever the header claims."""

from __future__ import annotations

import os
import threading
from pathlib import Path

import pytest

import brindlex._format as file_format
import brindlex.cli as cli
import brindlex.cli._input as cli_input
from brindlex import Index
from brindlex._format import HEADER_SIZE, IndexFileError
from brindlex._native import crc32c

ROOT = Path(__file__).resolve().parents[2]
CATALOGUE = ROOT / "samples" / "catalogue.tsv"


def header(snapshot_length: int, notes_length: int) -> bytes:
    """A header whose own checksum is right, claiming the lengths given."""
    head = file_format._HEADER.pack(file_format.MAGIC, 1, 2, 0, 0, 10, snapshot_length, notes_length, 0, 0)[:-4]
    return head + crc32c(head).to_bytes(4, "little")


def fifo_of(tmp_path: Path, data: bytes) -> tuple[Path, threading.Thread]:
    """A named pipe that a thread fills with ``data`` once opened, then closes."""
    path = tmp_path / "pipe.brx"
    os.mkfifo(path)

    def feed() -> None:
        try:
            with open(path, "wb") as f:
                f.write(data)
        except BrokenPipeError:  # the reader stopped early, as it may
            pass

    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    return path, writer


@pytest.mark.parametrize(
    "snapshot_length, notes_length, message",
    [
        (2**31, 0, "too large"),
        (2**40, 8, "too large"),
        (2**63, 0, "too large"),
        (0, 2**64 - 1, "too large"),
        (2**64 - 1, 2**64 - 1, "too large"),
        (2**29, 8, "cut short: it holds 148 bytes of the 536870968"),
    ],
)
def test_a_header_from_a_pipe_is_not_trusted_for_its_lengths(tmp_path, snapshot_length, notes_length, message):
    path, writer = fifo_of(tmp_path, header(snapshot_length, notes_length) + bytes(100))
    with pytest.raises(IndexFileError, match=f"^{path}: .*{message}"):
        Index.load(path)
    writer.join(10)


@pytest.fixture(scope="module")
def index():
    return Index.build([("Cat", 10, [(1001, 6), (1002, 4)]), ("car", 5, [(1002, 5)]), ("dog", 3, [])], fold=True)


@pytest.mark.parametrize("bare", [False, True])
def test_index_files_read_through_a_pipe_in_small_pieces_load_whole(tmp_path, monkeypatch, index, bare):
    monkeypatch.setattr(file_format, "_PIECE", 7)  # many pieces, split anywhere
    data = index.engine.to_bytes() if bare else b"".join(index._chunks())
    path, writer = fifo_of(tmp_path, data)
    loaded = Index.load(path)
    writer.join(10)
    expected = Index(index.engine) if bare else index  # a bare snapshot compares exactly
    assert loaded.engine.to_bytes() == index.engine.to_bytes() and loaded.text_mode == expected.text_mode
    assert [loaded.complete(""), loaded.suggest("CAT")] == [expected.complete(""), expected.suggest("CAT")]


def test_a_bare_snapshot_from_a_device_stops_at_the_limit(monkeypatch):
    monkeypatch.setattr(file_format, "STREAM_LIMIT", 1 << 20)
    with pytest.raises(IndexFileError, match="^/dev/zero: too large: .* at most 1048576 bytes"):
        Index.load("/dev/zero")


@pytest.mark.parametrize(
    "source, limits, message",
    [
        ("/dev/zero", {"LINE_LIMIT": 1 << 20}, "/dev/zero:1: too large: a line read from a pipe or device"),
        ("/dev/zero", {"LINE_LIMIT": 1 << 40, "STREAM_LIMIT": 1 << 20}, "/dev/zero: too large: at most 1048576"),
        ("fifo", {"LINE_LIMIT": 1 << 20}, "pipe.brx:3: too large: a line read from a pipe or device"),
    ],
)
def test_catalogues_from_pipes_and_devices_are_bounded(tmp_path, monkeypatch, capsys, source, limits, message):
    for name, value in limits.items():
        monkeypatch.setattr(cli_input, name, value)
    if source == "fifo":
        source, writer = fifo_of(tmp_path, b"term\tcount\tvideo_id\tvideo_count\nab\t1\t1\t1\n" + b"x" * (3 << 20))
    out = tmp_path / "out.brx"
    assert cli.main(["build", str(source), "-o", str(out)]) == 1
    err = capsys.readouterr().err
    assert err.startswith("brindlex: ") and message in err and err.count("\n") == 1
    assert not out.exists()


def test_a_catalogue_from_a_pipe_builds_what_the_file_builds(tmp_path, monkeypatch):
    monkeypatch.setattr(cli_input, "LINE_LIMIT", 200)  # longer than every line of the sample
    path, writer = fifo_of(tmp_path, CATALOGUE.read_bytes())
    assert cli.main(["build", str(path), "-o", str(tmp_path / "piped.brx")]) == 0
    assert cli.main(["build", str(CATALOGUE), "-o", str(tmp_path / "file.brx")]) == 0
    assert (tmp_path / "piped.brx").read_bytes() == (tmp_path / "file.brx").read_bytes()


def test_regular_files_and_pickles_are_bounded_by_their_size_not_the_limit(tmp_path, monkeypatch, index):
    import pickle

    monkeypatch.setattr(file_format, "STREAM_LIMIT", 10)
    index.save(tmp_path / "index.brx")
    (tmp_path / "bare.snap").write_bytes(index.engine.to_bytes())
    for loaded in [Index.load(tmp_path / "index.brx"), Index.load(tmp_path / "bare.snap"),
                   pickle.loads(pickle.dumps(index))]:
        assert loaded.engine.to_bytes() == index.engine.to_bytes()
