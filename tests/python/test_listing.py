"""Listing the terms (iter, keys, items) against a sorted brute-force model: indexes the
package builds, folded or not, and foreign stores whose child lists come in any order and
may repeat a label under one node."""

from __future__ import annotations

import gc
import random

import pytest

from _brindlex import PrefixSearch
from brindlex import Index
from trie_model import preorder, random_trie

# Case and accents that fold together, a ligature, and letters either side of them in
# code-point order, so that folding changes both membership and order.
LETTERS = ["a", "b", "z", "A", "é", "É", "e\u0301", "ß", "\ufb01", "-"]


def vocabulary(rng: random.Random, size: int) -> list[tuple[str, int, list]]:
    words = ["".join(rng.choice(LETTERS) for _ in range(rng.randint(1, 6))) for _ in range(size)]
    words += [w[: rng.randint(1, len(w))] for w in rng.sample(words, len(words) // 3)]
    return [(w, rng.randrange(1, 9), []) for w in words]


def prefixes(rng: random.Random, texts: list[str]) -> list[str]:
    cut = [t[: rng.randint(0, len(t))] for t in rng.sample(texts, min(8, len(texts)))]
    return ["", *cut, *("".join(rng.choice(LETTERS) for _ in range(3)) for _ in range(4))]


def check_listing(index: Index, model: list[tuple[str, str, int]], prefix: str, compared) -> None:
    """`model` holds (compared text, shown term, count) per term, in walk order."""
    start = compared(prefix)
    want = sorted((m for m in model if m[0].startswith(start)), key=lambda m: m[0])  # stable: walk order
    assert list(index.items(prefix)) == [(shown, count) for _, shown, count in want]
    assert list(index.keys(prefix)) == [shown for _, shown, _ in want]


@pytest.mark.parametrize("fold", [True, False])
@pytest.mark.parametrize("seed", range(6))
def test_built_indexes_list_in_compared_order(seed, fold):
    rng = random.Random(seed)
    entries = vocabulary(rng, rng.choice([5, 60, 400, 900]))  # across chunk boundaries
    index = Index.build(entries, fold=fold)
    spellings: dict[str, set[str]] = {}
    counts: dict[str, int] = {}
    for term, count, _ in entries:
        key = index.normalize(term)
        spellings.setdefault(key, set()).add(term)
        counts[key] = counts.get(key, 0) + count

    listed = list(index.items())
    assert [index.normalize(t) for t, _ in listed] == sorted(counts)
    assert all(term in spellings[index.normalize(term)] for term, _ in listed)
    model = [(index.normalize(t), t, c) for t, c in listed]
    assert [(k, c) for k, _, c in model] == sorted(counts.items())
    assert list(index) == list(index.keys()) == [t for t, _ in listed] and len(listed) == len(index)
    assert all(index.count(t) == c and t in index for t, c in dict(listed).items())
    for prefix in prefixes(rng, [t for t, _, _ in entries]):
        check_listing(index, model, prefix, index.normalize)


@pytest.mark.parametrize("seed", range(8))
def test_foreign_stores_list_in_code_point_order(seed):
    rng = random.Random(100 + seed)
    alphabet = ["a", "b", "é", "\U0001f600"][: rng.choice([2, 4])]
    node_shifts, labels, payloads, transitions, videos = random_trie(rng, rng.choice([3, 40, 700]), alphabet)
    index = Index(PrefixSearch.from_internal_data_v2(node_shifts, labels, payloads, transitions, videos, 10))
    model = [(term, term, payloads[v][0]) for v, term in preorder(node_shifts, labels, transitions) if payloads[v]]
    assert len(model) == len(index)
    for prefix in ["", *(t[:cut] for t, _, _ in model[:6] for cut in (1, len(t))), "ab\U0001f600a", "c"]:
        check_listing(index, model, prefix, lambda p: p)


def test_listing_keeps_the_index_alive_and_names_a_wrong_prefix():
    index = Index.build([(f"w{i:04}", i + 1, []) for i in range(1000)])
    items, keys = index.items("W0"), iter(index)
    del index
    gc.collect()
    assert next(keys) == "w0000"
    assert list(items) == [(f"w{i:04}", i + 1) for i in range(1000)]
    with pytest.raises(TypeError, match="prefix must be a str, not bytes"):
        Index.build([("a", 1, [])]).keys(b"a")
