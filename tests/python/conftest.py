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
