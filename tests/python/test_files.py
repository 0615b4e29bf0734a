"""The package around an index: save and load, pickling."""

import copy
import multiprocessing
import operator
import os
import pickle
import re
import stat
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor
from functools import partial

import pytest

from _brindlex import PrefixSearch
from brindlex import Index, build_index, load, save

ENTRIES = [
    ("cat", 10, [(1001, 6), (1002, 4)]),
    ("car", 5, [(1002, 5)]),
    ("cart", 2, [(1003, 2)]),
    ("dog", 3, [(1004, 3)]),
]


@pytest.fixture(scope="module")
def index():
    return build_index(ENTRIES, 10)


def test_save_replaces_whole_keeps_links_and_modes_and_load_restores(index, tmp_path):
    target = tmp_path / "index.snap"
    target.write_bytes(b"an older snapshot")
    target.chmod(0o640)
    link = tmp_path / "current.snap"
    link.symlink_to(target.name)

    save(index, link)
    assert link.is_symlink() and load(target).to_bytes() == index.to_bytes()
    assert stat.S_IMODE(target.stat().st_mode) == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["current.snap", "index.snap"]
    assert load(link).fuzzy_match_video("cat") == index.fuzzy_match_video("cat")

    with pytest.raises(IsADirectoryError):
        save(index, tmp_path)
    (tmp_path / "bad.snap").write_bytes(b"\xfe")
    with pytest.raises(ValueError, match=r"bad\.snap: this is not an index: .* bare snapshot \(decode error: "):
        load(tmp_path / "bad.snap")


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickling_goes_through_the_snapshot(index, protocol):
    again = pickle.loads(pickle.dumps(index, protocol))
    assert type(again) is PrefixSearch and again is not index
    assert again.to_bytes() == index.to_bytes()
    assert copy.deepcopy(index).fuzzy_match("cat") == index.fuzzy_match("cat")


def test_indexes_travel_to_worker_processes_and_back(index):
    # A fresh interpreter: unpickling there imports brindlex, which registers the
    # pickling of the indexes that the worker sends back.
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        answer = pool.submit(operator.methodcaller("fuzzy_match_video", "cat"), index).result()
        built = pool.submit(partial(build_index, ENTRIES, 10)).result()
    assert answer == index.fuzzy_match_video("cat")
    assert built.to_bytes() == index.to_bytes()


def test_every_flipped_bit_cut_and_appended_byte_of_an_index_file_is_refused(tmp_path):
    index = Index.build([*ENTRIES, ("Crème", 4, [(1005, 4)]), ("CAT", 1, [])])
    path = tmp_path / "index.brx"
    index.save(path)
    good = path.read_bytes()
    again = Index.load(path)
    assert again.complete("") == index.complete("") and again.text_mode == "fold"
    assert again.suggest("creme", 1) == [("Crème", 0, 4)] and load(path).to_bytes() == index.engine.to_bytes()

    def refused(data: bytes) -> None:
        path.write_bytes(data)
        for reader in (Index.load, load):
            with pytest.raises(ValueError, match=f"^{re.escape(str(path))}: "):
                reader(path)

    for bit in range(len(good) * 8):
        refused(bytes(b ^ (1 << bit % 8) if i == bit // 8 else b for i, b in enumerate(good)))
    for size in range(len(good)):
        refused(good[:size])
    for extra in (b"\0", b"\n", good):
        refused(good + extra)


def test_bare_snapshots_still_load_and_save_refuses_what_is_no_index(index, tmp_path):
    bare = tmp_path / "bare.snap"
    bare.write_bytes(index.to_bytes())
    wrapped = Index.load(bare)
    assert wrapped.text_mode == "exact" and not wrapped.fold and wrapped.video_top_n is None
    assert wrapped.suggest("cat", 2, max_dist=1) == [("cat", 0, 10), ("car", 1, 5)] and len(wrapped) == 4

    with pytest.raises(TypeError, match="save\\(\\) takes a PrefixSearch or an Index, not str"):
        save("x", tmp_path / "x.brx")
    missing = tmp_path / "no" / "such" / "folder" / "x.brx"
    with pytest.raises(FileNotFoundError) as caught:
        save(index, missing)
    assert caught.value.filename == str(missing)


def test_temporary_files_name_their_writer_and_those_of_writers_gone_are_removed(index, tmp_path, monkeypatch):
    gone = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    dead_pid = int(gone.stdout)
    live = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        names = {
            "dead": f".brindlex-{dead_pid}-0123456789abcdef.tmp",
            "live": f".brindlex-{live.pid}-0123456789abcdef.tmp",
            "unnamed": ".brindlex-0123456789abcdef.tmp",  # no writer to ask after: kept
            "other": f".brindlex-{dead_pid}-notours.tmp",
        }
        for name in names.values():
            (tmp_path / name).write_bytes(b"left behind")
        seen = []
        real_fsync = os.fsync
        monkeypatch.setattr(os, "fsync", lambda fd: (seen.append(sorted(os.listdir(tmp_path))), real_fsync(fd)))
        save(index, tmp_path / "index.snap")
    finally:
        live.kill()
        live.wait()
    mine = [n for n in seen[0] if re.fullmatch(rf"\.brindlex-{os.getpid()}-[0-9a-f]{{16}}\.tmp", n)]
    assert len(mine) == 1
    assert sorted(os.listdir(tmp_path)) == sorted(["index.snap", names["live"], names["unnamed"], names["other"]])


@pytest.mark.skipif(os.geteuid() != 0, reason="giving a file to another owner takes the superuser")
def test_a_replaced_file_keeps_its_owner_and_group(index, tmp_path):
    target = tmp_path / "index.snap"
    target.write_bytes(b"an older snapshot")
    os.chown(target, 12345, 23456)
    target.chmod(0o4750)  # a change of owner after the mode would clear the set-user-id bit
    save(index, target)
    st = target.stat()
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (12345, 23456, 0o4750)
    assert load(target).to_bytes() == index.to_bytes()
