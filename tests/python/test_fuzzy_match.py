"""fuzzy_match: terms within a Levenshtein distance, in depth-first trie order."""

import pytest

from _brindlex import PrefixSearch
from trie_model import model_fuzzy_match, random_query, random_trie, seeded

build = PrefixSearch.from_internal_data_v2


@pytest.mark.parametrize(
    "term, kwargs, expected",
    [
        ("cat", {}, [("cat", 1, 0), ("car", 1, 1), ("cart", 1, 1)]),
        ("cat", {"limit": 2}, [("cat", 1, 0), ("car", 1, 1)]),
        ("cat", {"limit": 1}, [("cat", 1, 0)]),
        ("cat", {"limit": 0}, []),
        ("cat", {"limit": 2**64 - 1}, [("cat", 1, 0), ("car", 1, 1), ("cart", 1, 1)]),
        ("cat", {"max_dist": 0}, [("cat", 1, 0)]),
        ("car", {}, [("cat", 1, 1), ("car", 1, 0), ("cart", 1, 1)]),
        ("cta", {}, []),
        ("cta", {"max_dist": 2}, [("cat", 1, 2), ("car", 1, 2)]),
        ("", {"max_dist": 3}, [("cat", 1, 3), ("car", 1, 3), ("dog", 1, 3)]),
        ("", {}, []),
        ("", {"max_dist": 0}, []),
        ("Cat", {"max_dist": 0}, []),
        ("Cat", {}, [("cat", 1, 1)]),
        ("xyz", {}, []),
    ],
)
def test_worked_examples(store, term, kwargs, expected):
    assert store.fuzzy_match(term, **kwargs) == expected


def one_term_store(term):
    n = len(term) + 1
    return build(list(range(n)), [""] + list(term), [None] * (n - 1) + [(1, [], [])], list(range(1, n)), [], 1)


@pytest.mark.parametrize(
    "stored, query, distance",
    [
        ("\u00e9", "e\u0301", 2),  # precomposed vs decomposed: a substitution and an insertion
        ("\U0001f600a", "\U0001f601a", 1),  # a character outside the BMP is one character
        ("\U0001f600", "", 1),
        ("ab", "ba", 2),  # no transposition step
    ],
)
def test_unicode_and_edits(stored, query, distance):
    s = one_term_store(stored)
    assert s.fuzzy_match(query, distance) == [(stored, 1, distance)]
    assert s.fuzzy_match(query, distance - 1) == []


def test_unlabelled_child_hides_its_subtree():
    # root -> '' -> 'a' (with payload): the empty-labelled edge is never followed
    s = build([0, 1, 2], ["", "", "a"], [None, None, (1, [], [])], [1, 2], [], 1)
    assert s.fuzzy_match("a", 3) == []


@pytest.mark.parametrize("max_dist", [65535, 65536, 2**31, 2**32 - 1])
def test_huge_bounds_return_every_term(store, max_dist):
    everything = [("cat", 1, 3), ("car", 1, 3), ("cart", 1, 4), ("dog", 1, 3)]
    assert store.fuzzy_match("", max_dist) == everything
    far = [(t, 1, 70000) for t in ("cat", "car", "cart", "dog")] if max_dist >= 70000 else []
    assert store.fuzzy_match("x" * 70000, max_dist) == far
    assert store.fuzzy_match("x" * 70000, 69999) == []


def test_long_terms():
    long = "ab" * 300
    s = one_term_store(long)
    assert s.fuzzy_match(long, 0) == [(long, 1, 0)]
    assert s.fuzzy_match(long[:-1] + "x", 1) == [(long, 1, 1)]
    assert s.fuzzy_match(long[:-3], 2) == []


def test_term_longer_than_any_reach_is_answered_without_a_table():
    s = one_term_store("ab" * 5000)
    huge = "b" * 1_000_000
    assert s.fuzzy_match(huge, 3) == []
    assert s.fuzzy_match_video(huge, 3) == []
    assert s.fuzzy_match("ab" * 5000 + "xyz", 3) == [("ab" * 5000, 1, 3)]


def test_store_without_nodes_answers_empty():
    s = build([], [], [], [], [], 1)
    for term in ("", "a", "x" * 100):
        assert s.fuzzy_match(term, 5) == []


@pytest.mark.parametrize("seed", range(40))
def test_matches_brute_force(seed):
    rng = seeded(seed)
    trie = random_trie(rng, rng.randrange(1, 60))
    s = build(*trie, 3)
    for _ in range(25):
        query = random_query(rng)
        max_dist = rng.randrange(4)
        assert s.fuzzy_match(query, max_dist) == model_fuzzy_match(trie, query, max_dist)
        limit = rng.randrange(4)
        assert s.fuzzy_match(query, max_dist, limit) == model_fuzzy_match(trie, query, max_dist)[:limit]


@pytest.mark.parametrize("seed", range(4))
def test_whole_terms_of_a_built_index_in_every_form(tmp_path, seed):
    # A built index (rising labels, the layout whole-term lookups are made for), restored
    # from its snapshot and used in place from its file: at bound 0 each answers exactly
    # the terms, and the other bounds still agree with the model.
    import brindlex

    rng = seeded(seed)
    words = sorted({random_query(rng, max_len=7) for _ in range(300)} - {""})
    engine = brindlex.build_index([(w, 1 + i % 5, []) for i, w in enumerate(words)], 10)
    brindlex.save(engine, tmp_path / "i.brx")
    forms = [engine, PrefixSearch.from_bytes(engine.to_bytes()), brindlex.load(tmp_path / "i.brx")]
    terms = set(words)
    queries = words + [w[:-1] for w in words] + [w + "a" for w in words] + [random_query(rng) for _ in range(200)]
    for form in forms:
        for q in queries:
            assert form.fuzzy_match(q, 0) == ([(q, 1, 0)] if q in terms else []), q
    # The same through the walk at bound 1, which does not use the whole-term table.
    for q in queries[::25]:
        assert forms[2].fuzzy_match(q, 1) == forms[0].fuzzy_match(q, 1)
