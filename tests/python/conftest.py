import pytest

from _brindlex import PrefixSearch

# Terms 'cat' (node 3), 'car' (4), 'cart' (6) and 'dog' (8); Int32 ids 1001..1004.
EXAMPLE_ARGS = (
    [0, 2, 3, 5, 5, 6, 7, 7, 8],
    ["", "c", "a", "t", "r", "d", "t", "o", "g"],
    [None, None, None, (10, [0, 1], [6, 4]), (5, [1], [5]), None, (2, [2], [2]), None, (3, [3], [3])],
    [1, 5, 2, 3, 4, 6, 7, 8],
    [(1001 + i).to_bytes(4, "little") for i in range(4)],
)


def example_store(video_top_n=10):
    return PrefixSearch.from_internal_data_v2(*EXAMPLE_ARGS, video_top_n)


@pytest.fixture
def store():
    return example_store()


# Every query test that takes `store` or `reopen` runs over an index as made and over the
# same index saved and used in place from its file (mapped), or read into memory.
def _saved(tmp_path_factory, save, name: str):
    path = tmp_path_factory.mktemp("in-place") / name
    save(path)
    with open(path, "rb") as f:
        assert f.read(10)[8:] == b"\x02\x00", "saved as a version 2 file"
    return path


@pytest.fixture(params=["made", "mapped"])
def store(request, tmp_path_factory):
    made = example_store()
    if request.param == "made":
        return made
    import brindlex

    path = _saved(tmp_path_factory, lambda p: brindlex.save(made, p), "example.brx")
    return brindlex.load(path)


@pytest.fixture(scope="module", params=["made", "mapped", "read"])
def reopen(request, tmp_path_factory):
    """A function that gives an Index back as made, or saved and loaded again."""
    from brindlex import Index

    def again(index):
        if request.param == "made":
            return index
        path = _saved(tmp_path_factory, index.save, "index.brx")
        loaded = Index.load(path, mmap=request.param == "mapped")
        assert loaded.mapped == (request.param == "mapped")
        return loaded

    return again
