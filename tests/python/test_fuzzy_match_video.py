"""fuzzy_match_video: weighted subtree evidence per video, threshold, limit and id texts."""

import math

import pytest

from _brindlex import PrefixSearch
from conftest import example_store
from snapshot_model import snapshot
from trie_model import (
    AmbiguousCut,
    check_ranking,
    id_text,
    model_aggregate,
    model_video_scores,
    near_query,
    random_video_trie,
    seeded,
)

build = PrefixSearch.from_internal_data_v2

W1 = (1 - 1 / 3) * 0.05  # a distance-1 match of a three-character term
WP = W1 * 0.85  # the same on a prefix node
TOTAL = 10 + 7 * W1 + 2 * W1  # 'cat' exact, 'car' and 'cart' at distance 1
TOTAL_P = TOTAL + 17 * WP  # and 'ca' as a prefix node


def same_scores(actual, expected):
    assert [t for t, _ in actual] == [t for t, _ in expected]
    for (_, a), (_, e) in zip(actual, expected):
        assert a == pytest.approx(e, rel=1e-12, abs=0)


@pytest.mark.parametrize(
    "top_n, kwargs, expected",
    [
        (10, {}, [("1001", 6 / TOTAL), ("1002", (4 + 5 * W1) / TOTAL), ("1003", 4 * W1 / TOTAL)]),
        (
            10,
            {"include_prefix_nodes": True},
            [
                ("1001", (6 + 6 * WP) / TOTAL_P),
                ("1002", (4 + 5 * W1 + 9 * WP) / TOTAL_P),
                ("1003", (4 * W1 + 2 * WP) / TOTAL_P),
            ],
        ),
        (10, {"min_score": 0.02}, [("1001", 6 / TOTAL), ("1002", (4 + 5 * W1) / TOTAL)]),
        (10, {"limit": 1}, [("1001", 6 / TOTAL)]),
        # Each node keeps one video but its whole count: video 2 falls below 0.01.
        (1, {}, [("1001", 6 / TOTAL), ("1002", 5 * W1 / TOTAL)]),
        (1, {"limit": 1}, [("1001", 6 / TOTAL)]),
    ],
)
def test_worked_example(top_n, kwargs, expected):
    same_scores(example_store(top_n).fuzzy_match_video("cat", **kwargs), expected)


@pytest.mark.parametrize(
    "top_n, kwargs, figures",
    [
        (10, {}, [0.58252, 0.40453, 0.012945]),
        (10, {"include_prefix_nodes": True}, [0.57227, 0.41011, 0.017623]),
        (1, {}, [0.58252, 0.016181]),
    ],
)
def test_worked_example_figures(top_n, kwargs, figures):
    # Figures worked out by hand, rounded: a check on the formulas above.
    got = [s for _, s in example_store(top_n).fuzzy_match_video("cat", **kwargs)]
    assert got == pytest.approx(figures, rel=1e-4)


@pytest.mark.parametrize("include", [None, True, False])
@pytest.mark.parametrize("max_dist", [0, 1, 3, 100])
def test_empty_term_scores_nothing(store, include, max_dist):
    assert store.fuzzy_match_video("", max_dist, include_prefix_nodes=include) == []


@pytest.mark.parametrize(
    "term, max_dist, include, expected",
    [
        # One character: the distance-1 records ('ca', 'd') are dropped, only 'c' scores.
        ("c", 1, None, [("1002", 9 / 17), ("1001", 6 / 17), ("1003", 2 / 17)]),
        ("c", 1, True, [("1002", 9 / 17), ("1001", 6 / 17), ("1003", 2 / 17)]),
        ("c", 1, False, []),
        # 'cat' and 'car' lie within 2 but score nothing; having been found, they still
        # hold back the walk over the prefix nodes.
        ("c", 2, None, []),
        ("do", 0, None, [("1004", 1.0)]),
        ("do", 0, False, []),
        ("dog", 0, None, [("1004", 1.0)]),
        # A two-character term weighs distance 1 at 0.025: 'dog' is the only record.
        ("og", 1, None, [("1004", 1.0)]),
        ("cat", 0, None, [("1001", 0.6), ("1002", 0.4)]),
        ("ca", 0, None, [("1002", 9 / 17), ("1001", 6 / 17), ("1003", 2 / 17)]),
        ("ca", 0, False, []),
    ],
)
def test_weights_and_prefix_fallback(store, term, max_dist, include, expected):
    same_scores(store.fuzzy_match_video(term, max_dist, include_prefix_nodes=include), expected)


def one_node_store(payload, video_index, video_top_n=10):
    """The single term 'a' with the given payload."""
    return build([0, 1], ["", "a"], [None, payload], [1], video_index, video_top_n)


INTS = [(7 + i).to_bytes(4, "little") for i in range(4)]


@pytest.mark.parametrize(
    "payload, kwargs, expected",
    [
        ((0, [0, 1], [5, 3]), {}, []),  # total weight 0
        ((0, [0, 1], [5, 3]), {"min_score": -1.0}, []),
        ((4, [0, 1], [4, 0]), {}, [("7", 1.0)]),
        ((4, [0, 1], [4, 0]), {"min_score": 0.0}, [("7", 1.0), ("8", 0.0)]),
        ((4, [0, 1], [4, 0]), {"min_score": -0.5}, [("7", 1.0), ("8", 0.0)]),
        ((4, [0, 1], [4, 0]), {"min_score": math.nan}, []),
        ((4, [0, 1], [4, 2]), {"min_score": 0.5}, [("7", 1.0), ("8", 0.5)]),  # equal to the threshold
        ((4, [0, 1], [4, 2]), {"min_score": math.inf}, []),
        ((4, [0, 1], [4, 2]), {"limit": 0}, []),
        ((4, [0, 1], [4, 2]), {"limit": 2**64 - 1}, [("7", 1.0), ("8", 0.5)]),
        ((4, [1, 0], [2, 4]), {"limit": 3}, [("7", 1.0), ("8", 0.5)]),
        # No clamping: a count below the video counts gives scores above 1.
        ((2, [0, 1], [6, 3]), {}, [("7", 3.0), ("8", 1.5)]),
        # A leaf keeps a video named twice as two entries; both add up.
        ((10, [2, 0, 2], [3, 1, 4]), {}, [("9", 0.7), ("7", 0.1)]),
    ],
)
def test_threshold_limit_and_zero_totals(payload, kwargs, expected):
    same_scores(one_node_store(payload, INTS).fuzzy_match_video("a", 0, **kwargs), expected)


@pytest.mark.parametrize(
    "video_index, expected",
    [
        ([bytes(range(16))], "00010203-0405-0607-0809-0a0b0c0d0e0f"),
        ([b"\xff" * 16], "ffffffff-ffff-ffff-ffff-ffffffffffff"),
        ([bytes.fromhex("00112233445566778899aabbccddeeff")], "00112233-4455-6677-8899-aabbccddeeff"),
        ([b"\xff\xff\xff\xff"], "4294967295"),
        ([b"\x00\x00\x00\x80"], "2147483648"),
        ([b"\x00\x00\x00\x00"], "0"),
    ],
)
def test_id_texts(video_index, expected):
    assert one_node_store((1, [0], [1]), video_index).fuzzy_match_video("a", 0) == [(expected, 1.0)]


@pytest.mark.parametrize(
    "limit, expected",
    [
        (None, [("7", 0.5), ("8", 0.1)]),
        (1, [("7", 0.5)]),
        (2, [("7", 0.5)]),  # video 5 takes the second place, then has no id
        (3, [("7", 0.5), ("8", 0.1)]),
    ],
)
def test_videos_without_an_id_are_skipped_after_the_limit(limit, expected):
    s = one_node_store((10, [0, 5, 1], [5, 4, 1]), INTS[:2])
    same_scores(s.fuzzy_match_video("a", 0, limit=limit), expected)


def test_equal_scores_rank_by_video_number_so_pages_nest():
    # Ten videos with one score, listed in a shuffled order; ids unrelated to the numbers.
    numbers = [3, 9, 0, 5, 7, 1, 8, 2, 6, 4]
    ids = [(1000 - 7 * v).to_bytes(4, "little") for v in range(10)]
    s = one_node_store((20, numbers, [2] * 10), ids)
    everything = s.fuzzy_match_video("a", 0)
    assert everything == [(str(1000 - 7 * v), 0.1) for v in range(10)]
    for limit in range(12):
        assert s.fuzzy_match_video("a", 0, limit=limit) == everything[:limit]


FAILS = None  # the query ends with InternalFailure
ZERO_UUID = "00000000-0000-0000-0000-000000000000"
PAYLOAD = (None, (4, [0], [4]))


def restored(payloads=PAYLOAD, has_payload=(0, 1), uuids=(bytes(16),), ints=(), id_mode=0):
    """root -> 'a' (node 1) from a snapshot, which may break what construction ensures."""
    data = snapshot([0, 1], [0, "a"], [1], list(payloads), list(uuids), list(ints), id_mode, list(has_payload))
    return PrefixSearch.from_bytes(data)


@pytest.mark.parametrize(
    "store_args, query, expected",
    [
        ({}, ("a", 0), [(ZERO_UUID, 1.0)]),
        ({"payloads": (None, None)}, ("a", 0), []),  # an absent slot is dropped
        ({"payloads": (None, (4, [0], [4, 9]))}, ("a", 0), [(ZERO_UUID, 1.0)]),
        # The id list that id_mode names gives the text; the other one is not looked at.
        ({"ints": [5], "id_mode": 1}, ("a", 0), [("5", 1.0)]),
        ({"id_mode": 1}, ("a", 0), []),
        ({"uuids": [], "ints": [5]}, ("a", 0), []),
        # Records dropped by their weight are not checked against the store.
        ({"has_payload": ()}, ("b", 1, None, True), []),
        ({"payloads": (None,)}, ("b", 1, None, False), []),
        ({"has_payload": ()}, ("a", 0, None, True), FAILS),
        ({"payloads": (None,)}, ("a", 0), FAILS),
        ({"payloads": (None, (4, [0, 1], [4]))}, ("a", 0), FAILS),
    ],
)
def test_restored_stores_without_the_construction_checks(store_args, query, expected):
    s = restored(**store_args)
    if expected is not FAILS:
        assert s.fuzzy_match_video(*query) == expected
        return
    with pytest.raises(BaseException) as info:
        s.fuzzy_match_video(*query)
    assert type(info.value).__name__ == "InternalFailure" and not isinstance(info.value, Exception)


def _random_case(rng):
    """A random trie whose aggregation is fully determined, with its model payloads."""
    while True:
        id_bytes = rng.choice([4, 16])
        videos = rng.choice([10, 60])  # 60: many distinct videos under one query
        ids = rng.choice([videos, videos // 2])
        trie = random_video_trie(rng, rng.randrange(1, 50), id_bytes=id_bytes, videos=videos, ids=ids)
        top_n = 0 if rng.random() < 0.05 else rng.choice([1, 2, 3, 10, 40])
        try:
            return trie, top_n, model_aggregate(trie, top_n)
        except AmbiguousCut:
            continue


@pytest.mark.parametrize("seed", range(30))
def test_matches_reference_ranking(seed):
    rng = seeded(1000 + seed)
    trie, top_n, aggregated = _random_case(rng)
    s = build(*trie, top_n)
    video_index = trie[4]
    for _ in range(20):
        query = near_query(rng, trie)
        max_dist = rng.randrange(4)
        include = rng.choice([None, True, False])
        min_score = rng.choice([None, None, 0.0, 0.05, 0.3, -1.0])
        limit = rng.choice([None, 0, 1, 2, 3, 5, 100])
        actual = s.fuzzy_match_video(query, max_dist, limit, include, min_score)
        candidates = model_video_scores(trie, aggregated, query, max_dist, include, min_score)
        check_ranking(actual, candidates, limit, lambda v: id_text(video_index, v))
