"""Files that are no index, given where an index is expected (and an index given where
a catalogue is): every way in says, in one line naming the file, what the file is."""

from __future__ import annotations

import io
from pathlib import Path

import pytest

from brindlex import Index, load
from brindlex._format import read_index_file
from brindlex.cli import main

ROOT = Path(__file__).resolve().parents[2]
HINT = "build one with brindlex build"
HEADER = b"term\tcount\tvideo_id\tvideo_count\n"
# A row whose two-byte character the end of what is sniffed (64 KiB) cuts in two.
LONG_TSV = HEADER + b"a" * ((1 << 16) - len(HEADER) - 1) + b"\xc3\xa9\t3\t1\t1\n"


class Stream(io.RawIOBase):
    """A source that says nothing of its size, as a pipe."""

    def __init__(self, data: bytes) -> None:
        self.data = io.BytesIO(data)

    def readable(self) -> bool:
        return True

    def readinto(self, buffer):  # type: ignore[override]
        return self.data.readinto(buffer)


CATALOGUE = "this is a catalogue ({}), not an index: " + HINT
NO_SNAPSHOT = "this is not an index: it does not start as an index file does, nor does it read as a bare snapshot"
WRONG = [
    pytest.param("catalogue.tsv", HEADER + b"cat\t5\t1\t2\n", CATALOGUE.format("tab-separated"), id="tsv"),
    pytest.param("big.tsv", LONG_TSV, CATALOGUE.format("tab-separated"), id="tsv-cut-char"),
    pytest.param("all.jsonl", b'\xef\xbb\xbf\r\n\n {"term": "cat", "count": 5}\n', CATALOGUE.format("JSON lines"),
                 id="jsonl"),
    pytest.param("empty.brx", b"", f"the file is empty, not an index: {HINT}", id="empty"),
    pytest.param("notes.txt", b"cat\ndog\n", f"this is a text file, not an index: {HINT} from a catalogue", id="text"),
    pytest.param("image.png", b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00", NO_SNAPSHOT + " (decode error: ",
                 id="other-bytes"),
    pytest.param("one.bin", b"\xfe", NO_SNAPSHOT + " (decode error: ", id="not-utf8"),
]


@pytest.mark.parametrize("name, data, message", WRONG)
def test_a_file_that_is_no_index_says_what_it_is(tmp_path, capsys, name, data, message):
    path = tmp_path / name
    path.write_bytes(data)
    expected = f"{path}: {message}"
    for opener in (Index.load, load):
        with pytest.raises(ValueError) as caught:
            opener(path)
        assert str(caught.value).startswith(expected), str(caught.value)
    # Read as from a pipe, which is sniffed on its first piece alone.
    if "decode error" not in message:
        with pytest.raises(ValueError, match="^<pipe>: " + message.replace("(", r"\(").replace(")", r"\)")):
            read_index_file(io.BufferedReader(Stream(data), 4096), "<pipe>")
    for command in (["stats"], ["suggest", "cat"], ["complete", "ca"], ["match", "cat"], ["videos", "cat"]):
        assert main([command[0], str(path), *command[1:]]) == 1, command
        err = capsys.readouterr().err
        assert err.startswith(f"brindlex: {expected}") and err.count("\n") == 1, (command, err)


def test_an_index_given_to_build_is_refused_as_no_catalogue(tmp_path, capsys):
    index = tmp_path / "made.brx"
    assert main(["build", str(ROOT / "samples" / "catalogue.tsv"), "-o", str(index)]) == 0
    capsys.readouterr()
    assert main(["build", str(index), "-o", str(tmp_path / "again.brx")]) == 1
    refusal = f"brindlex: {index}: this is an index file, not a catalogue: give a catalogue to build\n"
    assert capsys.readouterr().err == refusal
    assert not (tmp_path / "again.brx").exists()
