"""Index: suggestions, completion and exact lookups against brute force over random
vocabularies, and folding as a property."""

from __future__ import annotations

import unicodedata

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brindlex import U32_MAX, Completion, Index, Suggestion
from trie_model import levenshtein, osa

# Few letters and few distinct counts, so that distances and counts tie often; counts
# near the top saturate subtree totals, where own counts need the index's fixes.
ALPHABET = "abcé"
counts_st = st.sampled_from([0, 1, 2, 3, 7, U32_MAX - 1, U32_MAX])


@st.composite
def vocabulary_st(draw):
    """Entries of random words and some of their prefixes, so that terms and their
    extensions meet; a term may come twice, its counts then add up."""
    words = draw(st.lists(st.text(ALPHABET, min_size=1, max_size=6), max_size=12))
    terms = list(words)
    for word in words:
        terms += [word[:cut] for cut in draw(st.sets(st.integers(1, len(word))))]
    return [(term, draw(counts_st), []) for term in terms]


def own_counts(entries):
    counts: dict[str, int] = {}
    for term, count, _ in entries:
        counts[term] = min(counts.get(term, 0) + count, U32_MAX)
    return counts


@settings(max_examples=150, deadline=None)
@given(vocabulary_st(), st.text(ALPHABET, max_size=7), st.integers(0, 3), st.data())
def test_suggest_is_the_sorted_brute_force_cut_at_limit(reopen, entries, query, max_dist, data):
    index = reopen(Index.build(entries, fold=False))
    counts = own_counts(entries)
    for transpositions, distance in [(True, osa), (False, levenshtein)]:
        within = [(t, distance(query, t), c) for t, c in counts.items()]
        ranked = sorted((x for x in within if x[1] <= max_dist), key=lambda x: (x[1], -x[2], x[0]))
        limit = data.draw(st.integers(0, len(ranked) + 1), label="limit")
        got = index.suggest(query, limit, max_dist=max_dist, transpositions=transpositions)
        assert got == ranked[:limit], transpositions
        assert all(type(s) is Suggestion for s in got)

    assert len(index) == len(counts)
    for term, count in counts.items():
        assert term in index and index.count(term) == count
    assert (query in index) == (query in counts) and index.count(query) == counts.get(query, 0)


def prefix_distance(prefix, term, distance):
    """The smallest distance from prefix to a beginning of term, the whole term included."""
    return min(distance(prefix, term[:cut]) for cut in range(len(term) + 1))


@settings(max_examples=150, deadline=None)
@given(vocabulary_st(), st.data())
def test_complete_is_the_sorted_brute_force_at_every_limit(reopen, entries, data):
    index = reopen(Index.build(entries, fold=False))
    counts = own_counts(entries)
    prefixes = sorted({t[:i] for t in counts for i in range(len(t) + 1)}) or [""]
    prefix = data.draw(st.one_of(st.sampled_from(prefixes), st.text(ALPHABET, max_size=7)), label="prefix")
    for transpositions, distance in [(True, osa), (False, levenshtein)]:
        near = [(t, prefix_distance(prefix, t, distance), c) for t, c in counts.items()]
        for max_dist in [0, 1, 2, 3, "auto"]:
            bound = (0 if len(prefix) <= 2 else 1 if len(prefix) <= 5 else 2) if max_dist == "auto" else max_dist
            ranked = sorted((x for x in near if x[1] <= bound), key=lambda x: (x[1], -x[2], x[0]))
            for limit in range(len(ranked) + 2):
                got = index.complete(prefix, limit, max_dist=max_dist, transpositions=transpositions)
                assert got == ranked[:limit], (transpositions, max_dist, limit)
            assert all(type(c) is Completion for c in got)


# Spellings of a few words that fold together: case, precomposed or decomposed
# accents, a compatibility ligature.
SPELLINGS = {
    "creme brulee": ["crème brûlée", "Crème Brûlée", "CREME BRULEE", "cre\u0300me bru\u0302le\u0301e"],
    "beyonce": ["Beyoncé", "beyonce", "BEYONCE\u0301"],
    "fiat": ["\ufb01at", "Fiat", "FIAT"],
    "strasse": ["Straße", "strasse", "STRASSE"],
}


@settings(max_examples=60, deadline=None)
@given(
    st.lists(
        st.tuples(st.sampled_from(sorted(SPELLINGS)), st.integers(0, 3), st.integers(0, 5)),
        min_size=1,
        max_size=12,
    ),
    st.booleans(),
)
def test_folded_spellings_meet_and_show_the_most_frequent(tmp_path_factory, rows, reload):
    entries = [(SPELLINGS[word][which % len(SPELLINGS[word])], count, []) for word, which, count in rows]
    index = Index.build(entries)
    if reload:
        path = tmp_path_factory.mktemp("fold") / "index.brx"
        index.save(path)
        index = Index.load(path)
    assert index.fold and index.text_mode == "fold"

    by_word: dict[str, dict[str, int]] = {}
    for (word, _, _), (spelling, count, _) in zip(rows, entries):
        per = by_word.setdefault(word, {})
        per[spelling] = per.get(spelling, 0) + count
    assert len(index) == len(by_word)
    for word, spelt in by_word.items():
        shown = min(spelt, key=lambda s: (-spelt[s], s))
        total = sum(spelt.values())
        for query in [word, word.upper(), *SPELLINGS[word], unicodedata.normalize("NFD", shown)]:
            assert query in index and index.count(query) == total
            assert index.suggest(query, 1, max_dist=0) == [(shown, 0, total)]
        assert index.complete(word[:3].upper(), 2, max_dist=0) == [(shown, 0, total)]  # one word a prefix


def test_without_folding_canonical_equivalents_still_meet():
    index = Index.build([("Cre\u0300me", 2, []), ("Crème", 5, [])], fold=False)
    assert len(index) == 1 and index.count("Cre\u0300me") == 7
    assert "crème" not in index and index.suggest("crème", 5, max_dist=1) == [("Crème", 1, 7)]


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: Index.build([("", 7, [(1, 7)]), ("ab", 1, [(2, 1)])]), ValueError, "entry 0: the term is empty"),
        (lambda: Index.build([("ab", 1, []), ("\u0301", 1, [])]), ValueError, "entry 1: the term '\u0301' is empty"),
        (lambda: Index.build([("a", 1, [])]).videos("a", min_score=float("nan")), ValueError, "min_score is NaN"),
        (lambda: Index.build([("a", 1, [])]).suggest("a", -1), ValueError, "limit must be in"),
        (lambda: Index.build([("a", 1, [])]).suggest(b"a"), TypeError, "text must be a str"),
        (lambda: Index.build([("a", 1, [])]).complete("a", 1.5), TypeError, "limit must be an int"),
        (lambda: Index.build([("a", 1, [])]).complete("a", max_dist="2"), ValueError, 'max_dist must be an int or "auto"'),
        (lambda: Index.build([("a", 1, [])]).suggest("a", max_dist=None), TypeError, "max_dist must be an int"),
        (lambda: Index.build([("a", 1, [])]).complete("a", transpositions=1), TypeError, "transpositions must be a bool"),
        (lambda: Index.build([("a", 1, [])]).videos("a", 1, 1), TypeError, "positional"),
    ],
)
def test_refusals_name_what_is_wrong(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_a_store_that_repeats_a_label_under_one_node_still_completes_in_order():
    # Root children 'd' (node 1) and 'd' again (node 4): the texts 'dgr' and 'du' part
    # below two different nodes that spell the same 'd'.
    from _brindlex import PrefixSearch

    engine = PrefixSearch.from_internal_data_v2(
        [0, 2, 3, 4, 4, 5], ["", "d", "g", "r", "d", "u"],
        [None, None, None, (2, [], []), None, (2, [], [])], [1, 4, 2, 3, 5], [], 1,
    )
    index = Index(engine)
    assert index.complete("") == [("dgr", 0, 2), ("du", 0, 2)]
    assert index.complete("d", 1) == [("dgr", 0, 2)] and "du" in index and index.count("dgr") == 2
    assert index.complete("dx", 3, max_dist=1) == [("dgr", 1, 2), ("du", 1, 2)]


class Text(str):
    def __str__(self):
        return "something else"


class Int(int):
    def __str__(self):
        return "something else"


class Indexable:
    def __index__(self):
        return 3


@pytest.mark.parametrize(
    "text, present, count",
    [
        (Text("Abc"), True, 5),  # a subclass answers as its characters, not as its __str__
        ("a\ud800", False, 0),
        ("\udfffabc", False, 0),
        ("abc\ud800", False, 0),
        ("abcé", False, 0),  # non-ASCII that is no term
        ("ABC", True, 5),
    ],
)
def test_membership_and_count_answer_any_text_without_raising(text, present, count):
    index = Index.build([("abc", 5, []), ("ab", 1, [])])
    assert (text in index, index.count(text)) == (present, count)
    assert b"abc" not in index and 3 not in index and None not in index


_ASCII_TERMS = ["a b", "ab", "a", "b", "ab c", "x\x1dy"]


@pytest.mark.parametrize("build", [
    lambda rows: Index.build(rows),
    lambda rows: Index.build(rows, fold=False),
    lambda rows: Index(Index.build(rows, fold=False).engine),
], ids=["fold", "nfc", "exact"])
@settings(max_examples=300, deadline=None)
@given(st.text(st.sampled_from("aAbBcxy \t\n\x0b\x0c\r\x1c\x1d\x1e\x1f\x00-"), max_size=70))
def test_ascii_text_is_looked_up_as_the_index_normalises_it(build, text):
    # Plain ASCII takes a native path of its own; it must meet the terms the normaliser meets.
    index = build([(t, k + 1, []) for k, t in enumerate(_ASCII_TERMS)])
    normal = index.normalize(text)
    expected = normal in {index.normalize(t) for t in _ASCII_TERMS}
    assert (text in index, index.count(text) > 0) == (expected, expected)
    assert index.count(text) == (index.count(normal) if expected else 0)


_TITLES = ["a b", "ab", "abc", "b a", "Abd", "ab c", "x\x1dy", "cab", "bca", "ba"]


@pytest.mark.parametrize("build", [
    lambda rows: Index.build(rows),
    lambda rows: Index.build(rows, words=True),
    lambda rows: Index.build(rows, fold=False),
], ids=["fold", "words", "nfc"])
@settings(max_examples=200, deadline=None)
@given(text=st.text(st.sampled_from("aAbBcxy \t\x1c-"), max_size=70), limit=st.integers(0, 4),
       max_dist=st.sampled_from([0, 1, 2, "auto"]), transpositions=st.booleans())
def test_plain_ascii_queries_answer_as_normalised_ones(build, text, limit, max_dist, transpositions):
    # Plain ASCII queries are checked and folded natively; Python's path is the reference.
    index = build([(t, k + 1, []) for k, t in enumerate(_TITLES)])
    for kind, native in (("text", index._lookup.suggest), ("prefix", index._lookup.complete)):
        expected = native(*index._search(text, kind, limit, max_dist, transpositions))
        asked = index.suggest if kind == "text" else index.complete
        assert asked(text, limit, max_dist=max_dist, transpositions=transpositions) == expected


@pytest.mark.parametrize("n", [Int(3), Indexable()])
def test_integer_arguments_are_taken_as_operator_index_takes_them(n):
    index = Index.build([(term, 10 - k, []) for k, term in enumerate(["ab", "abc", "abd", "abe", "abf"])])
    assert index.suggest("ab", n, max_dist=Int(1)) == index.suggest("ab", 3, max_dist=1)
    assert index.complete("ab", n) == index.complete("ab", 3)
    assert len(index.complete("ab", n)) == 3


def test_an_enormous_integer_is_refused_in_a_short_message():
    index = Index.build([("ab", 1, [])])
    with pytest.raises(ValueError, match="limit must be in") as caught:
        index.complete("ab", -(10**5000))
    assert len(str(caught.value)) < 100


def test_a_failed_init_leaves_the_index_as_it_was():
    index = Index.build([("Abc", 5, []), ("ab", 1, [])])
    engine = index.engine
    with pytest.raises(TypeError):
        index.__init__(object())
    assert index.engine is engine and index.fold and index.complete("a") == [("Abc", 0, 5), ("ab", 0, 1)]
