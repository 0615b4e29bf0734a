"""The command line when its output fails or it is stopped: a reader gone away, a full
device, a closed standard output, SIGTERM and SIGHUP during a build; and stats, which
refuses whatever the queries refuse."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from brindlex import Index
from brindlex._format import encode_notes, file_chunks
from snapshot_model import snapshot
from test_cli import CATALOGUE, ENV, brindlex


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    out = tmp_path_factory.mktemp("output") / "catalogue.brx"
    assert brindlex("build", CATALOGUE, "-o", out).returncode == 0
    return out


def run(args, **kwargs):
    return subprocess.Popen([sys.executable, "-m", "brindlex", *map(str, args)], env=ENV, stderr=subprocess.PIPE,
                            **kwargs)


@pytest.mark.parametrize("command", ["build", "complete"])
def test_a_reader_gone_away_ends_with_the_status_sigpipe_gives(built, command):
    """As `cat big | head -c 100` does: the writer stops quietly with status 141, which
    `set -o pipefail` reports."""
    if command == "build":
        proc = run(["build", CATALOGUE, "-o", "-"], stdout=subprocess.PIPE)
    else:  # answers flushed query by query, until the reader goes
        proc = run(["complete", built, "--stdin"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        proc.stdin.write(b"a\n" * 20_000)
        proc.stdin.close()
    assert len(proc.stdout.read(100)) == 100
    proc.stdout.close()
    assert proc.wait(60) == 141
    assert proc.stderr.read() == b""


@pytest.mark.parametrize("where", ["/dev/full", "closed"])
@pytest.mark.parametrize(
    "command", [["build", CATALOGUE, "-o", "-"], ["build", CATALOGUE, "-o", "OUT"], ["complete", "INDEX", "a"],
                ["stats", "INDEX", "--json"]]
)
def test_output_that_cannot_be_written_fails_in_one_line(built, tmp_path, where, command):
    args = [{"INDEX": built, "OUT": tmp_path / "out.brx"}.get(a, a) for a in command]
    if where == "closed":
        proc = run(args, stdout=subprocess.DEVNULL, preexec_fn=lambda: os.close(1))
    else:
        with open(where, "wb") as full:
            proc = run(args, stdout=full)
    err = proc.stderr.read().decode()
    assert proc.wait(60) == 1, err
    assert err.startswith("brindlex: cannot write <stdout>: ") and err.count("\n") == 1, err


STOP_DURING_WRITE = """
import os, signal, sys
from brindlex import cli

# A shell starts background jobs with SIGINT ignored, which Python then keeps.
signal.signal(signal.SIGINT, signal.default_int_handler)
real_fsync = os.fsync
def fsync(fd):  # the temporary file is there, written, not yet renamed
    os.kill(os.getpid(), int(sys.argv[1]))
    real_fsync(fd)
os.fsync = fsync
sys.exit(cli.main(sys.argv[2:]))
"""


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
def test_a_build_stopped_by_a_signal_removes_what_it_was_writing(tmp_path, signum):
    target = tmp_path / "index.brx"
    target.write_bytes(b"the index before")
    proc = subprocess.run([sys.executable, "-c", STOP_DURING_WRITE, str(int(signum)), "build", str(CATALOGUE), "-o",
                           str(target)], env=ENV, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 128 + signum, proc.stderr
    assert proc.stderr.count("\n") == 1 and "Traceback" not in proc.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["index.brx"]
    assert target.read_bytes() == b"the index before"


# root 0 -> 'a' 1 -> 'b' 2 (the term "ab", counting 5); node 1 is a prefix node.
CHAIN = snapshot([0, 1, 2], [0, "a", "b"], [1, 2], [(5, [], []), (5, [], []), (5, [], [])],
                 has_payload=[False, False, True])
# root -> 'a' 1 and 'b' 2, both of which list 'c' 3: node 3 is reached twice.
TWICE = snapshot([0, 2, 3, 4], [0, "a", "b", "c"], [1, 2, 3, 3], [(4, [], []), (2, [], []), (2, [], []), (1, [], [])],
                 has_payload=[False, True, True, True])


@pytest.mark.parametrize(
    "store, notes",
    [
        pytest.param(TWICE, encode_notes([], []), id="a node reached twice"),
        pytest.param(CHAIN, encode_notes([(9, "AB")], []), id="a spelling beyond the last node"),
        pytest.param(CHAIN, b"\x01\x00\x00", id="a spelling table cut short"),
        pytest.param(CHAIN, encode_notes([(1, "A")], []), id="a spelling on a prefix node"),
        pytest.param(CHAIN, encode_notes([(2, "")], []), id="an empty spelling"),
        pytest.param(CHAIN, encode_notes([], [(2, 3)]), id="a count fix for a total that never saturated"),
    ],
)
def test_stats_refuses_what_the_queries_refuse(tmp_path, store, notes):
    """Files whose checksums are right: what every query refuses, stats refuses alike,
    with the same message, after its figures."""
    path = tmp_path / "crafted.brx"
    path.write_bytes(b"".join(file_chunks(store, notes, "fold", 10)))
    stats, suggest = brindlex("stats", path, "--json"), brindlex("suggest", path, "ab")
    assert (stats.returncode, suggest.returncode) == (1, 1), (stats.stderr, suggest.stderr)
    assert suggest.stderr.startswith(f"brindlex: {path}: ") and stats.stderr == suggest.stderr
    assert json.loads(stats.stdout)["checksum"] is True  # the figures came first


@pytest.mark.parametrize("option", ["-n", "--max-dist"])
def test_a_bad_argument_is_quoted_short(built, option):
    result = brindlex("suggest", built, "a", option, "9" * 50_000 + "x")
    assert result.returncode == 2 and len(result.stderr.splitlines()[-1]) < 200, result.stderr[-300:]
