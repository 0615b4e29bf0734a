"""What tools/devenv lends the build root of this machine's pip settings, and the
benchmark's peers: pinned, and never a failure of the benchmark when they cannot be had."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
MOUNT = re.compile(r"mount --bind -o ro '([^']*)' '([^']*)'")


@pytest.mark.skipif(shutil.which("bash") is None, reason="needs bash")
def test_pip_settings_and_what_they_name_are_lent_read_only(tmp_path):
    home, xdg, root = tmp_path / "home", tmp_path / "xdg", tmp_path / "root"
    for folder in ("mirror/simple", "wheels", "more", "commented", "home/.config/pip", "xdg/pip"):
        (tmp_path / folder).mkdir(parents=True)
    (tmp_path / "caps.txt").write_text("torch<=1\n")
    (xdg / "pip" / "pip.conf").write_text(
        "[global]\n"
        f"# {tmp_path}/commented is named in a comment only\n"
        f"extra-index-url = file://{tmp_path}/mirror/simple/\n"
        f"    file://{tmp_path}/missing/simple\n"
        f"constraint = {tmp_path}/caps.txt\n"
        "find-links = /usr\n"
    )
    (home / ".config" / "pip" / "pip.conf").write_text(f"[global]\nfind-links = '{tmp_path}/wheels'\n")
    env = {
        "PATH": os.environ["PATH"],
        "HOME": str(home),
        "XDG_CONFIG_DIRS": str(xdg),
        "BRINDLEX_ROOT": str(root),
        "PIP_FIND_LINKS": f"{tmp_path}/more",
    }
    out = subprocess.run(
        [str(ROOT / "tools" / "devenv"), "pip-mounts"], env=env, capture_output=True, text=True, check=True
    ).stdout
    lent = dict(MOUNT.findall(out))
    assert len(lent) == len(out.splitlines()), out  # every line binds one path, read-only

    def inside(path: Path | str) -> str:
        return f"{root}{path}"

    wanted = {
        str(xdg / "pip" / "pip.conf"): inside(xdg / "pip" / "pip.conf"),
        str(home / ".config" / "pip" / "pip.conf"): inside("/root/.config/pip/pip.conf"),
        str(tmp_path / "mirror"): inside(tmp_path / "mirror"),  # a local index with its files
        str(tmp_path / "caps.txt"): inside(tmp_path / "caps.txt"),
        str(tmp_path / "wheels"): inside(tmp_path / "wheels"),
        str(tmp_path / "more"): inside(tmp_path / "more"),
    }
    assert {k: lent.get(k) for k in wanted} == wanted
    # Never what a comment names, what does not exist, or a folder right under /.
    for refused in (tmp_path / "commented", tmp_path / "missing", Path("/usr")):
        assert str(refused) not in lent and str(refused.parent) not in lent
    # Whatever else (this machine's /etc/pip.conf) lands at its own place in the root.
    assert all(target == inside(source) for source, target in lent.items() if source not in wanted)


@pytest.fixture
def peers():
    sys.path.insert(0, str(ROOT / "benchmarks"))
    try:
        import peers
    finally:
        sys.path.pop(0)
    return peers


def test_the_peers_are_pinned(peers):
    pins = peers.pinned()
    assert {name for name, _ in pins} >= {"marisa-trie", "symspellpy", "rapidfuzz", "fuzzyfst"}
    for name, line in pins:
        assert re.fullmatch(re.escape(name) + r"(\[[a-z0-9,-]+\])?==[0-9][0-9a-z.]*", line), line


def test_peers_that_cannot_be_had_are_skipped_and_the_benchmark_goes_on(peers, tmp_path, monkeypatch, capsys):
    # An environment whose interpreter fails at everything: no install, no worker.
    python = tmp_path / "venv" / "bin" / "python"
    python.parent.mkdir(parents=True)
    python.write_text("#!/bin/sh\nexit 3\n")
    python.chmod(0o755)
    monkeypatch.setattr(peers, "VENV", tmp_path / "venv")
    monkeypatch.delenv("BRINDLEX_BENCH_PEERS", raising=False)
    out: dict[str, object] = {}
    peers.run(True, 10, 10, 1, out)  # a quick run leaves them out, touching nothing
    assert capsys.readouterr().out.startswith("(a quick run leaves the peers out")
    peers.run(False, 10, 10, 1, out)
    lines = capsys.readouterr().out.splitlines()
    assert out == {}
    for name, line in peers.pinned():
        assert f"peers: {name} skipped, pip could not install {line}: ?" in lines
    assert lines[-1] == "peers: the worker failed (exit status 3); the benchmark goes on"
