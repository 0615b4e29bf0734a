"""The package around an index: save and load, pickling."""

import copy
import multiprocessing
import operator
import os
import pickle
import stat
from concurrent.futures import ProcessPoolExecutor
from functools import partial

import pytest

from _brindlex import PrefixSearch
from brindlex import build_index, load, save

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
    with pytest.raises(ValueError, match=r"bad\.snap: not a brindlex index \(decode error: "):
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
