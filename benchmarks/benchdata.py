"""Inputs of the benchmark: the word list, synthetic video payloads, misspelt queries and
a synthetic vocabulary from a letter model. Everything is drawn from fixed seeds, so two
runs measure the same work."""

from __future__ import annotations

import random
from collections import Counter
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

WORDLIST = Path("/usr/share/dict/american-english-huge")

# Payload model: each term names 1..4 videos drawn uniformly from a fixed pool; a video's
# count under a term is Zipf distributed (clipped), and a term's count is the sum of its
# video counts.
VIDEO_POOL = 100_000
ZIPF_A = 1.6
COUNT_CLIP = 1_000_000


def load_words(path: Path = WORDLIST) -> list[str]:
    with path.open(encoding="utf-8") as f:
        words = [line.rstrip("\n") for line in f]
    words = [w for w in words if w]
    if len(set(words)) != len(words):
        words = sorted(set(words))
    return words


def uuid_pool(n: int, seed: int) -> list[bytes]:
    """n distinct version-4 UUIDs as 16 raw bytes each."""
    rng = np.random.default_rng(seed)
    raw = rng.integers(0, 256, size=(n, 16), dtype=np.uint8)
    raw[:, 6] = (raw[:, 6] & 0x0F) | 0x40
    raw[:, 8] = (raw[:, 8] & 0x3F) | 0x80
    ids = [row.tobytes() for row in raw]
    if len(set(ids)) != n:  # 122 random bits: a clash means a broken generator
        raise RuntimeError("duplicate UUIDs in the synthetic pool")
    return ids


def term_counts(n: int, seed: int) -> list[int]:
    rng = np.random.default_rng(seed)
    return np.minimum(rng.zipf(ZIPF_A, size=n), COUNT_CLIP).tolist()


def payload_entries(words: Sequence[str], seed: int) -> list[tuple[str, int, list[tuple[bytes, int]]]]:
    """(term, count, [(uuid bytes, count), ...]) for every word."""
    rng = np.random.default_rng(seed)
    pool = uuid_pool(VIDEO_POOL, seed + 1)
    per_term = rng.integers(1, 5, size=len(words))
    total = int(per_term.sum())
    picks = rng.integers(0, VIDEO_POOL, size=total).tolist()
    counts = np.minimum(rng.zipf(ZIPF_A, size=total), COUNT_CLIP)
    ends = np.cumsum(per_term)
    starts = ends - per_term
    sums = np.add.reduceat(counts, starts).tolist()
    pairs = list(zip(map(pool.__getitem__, picks), counts.tolist()))
    return [
        (w, s, pairs[a:b])
        for w, s, a, b in zip(words, sums, starts.tolist(), ends.tolist())
    ]


def plain_entries(words: Sequence[str], seed: int) -> list[tuple[str, int, list[Any]]]:
    """(term, count, []) for every word: terms without videos."""
    return [(w, c, []) for w, c in zip(words, term_counts(len(words), seed))]


def alphabet(words: Sequence[str]) -> tuple[list[str], list[int]]:
    """The characters of the vocabulary with their frequencies, most frequent first."""
    freq: Counter[str] = Counter()
    for w in words:
        freq.update(w)
    chars, weights = zip(*freq.most_common())
    return list(chars), list(weights)


def misspell(word: str, edits: int, rng: random.Random, chars: list[str], cum: list[int]) -> str:
    """word after `edits` random insertions, deletions or substitutions; new characters
    are drawn from the vocabulary's alphabet in proportion to their frequency."""
    w = list(word)
    for _ in range(edits):
        op = rng.choice(("insert", "delete", "substitute"))
        if not w:
            op = "insert"
        if op == "insert":
            w.insert(rng.randint(0, len(w)), rng.choices(chars, cum_weights=cum)[0])
        elif op == "delete":
            del w[rng.randrange(len(w))]
        else:
            i = rng.randrange(len(w))
            c = w[i]
            while c == w[i]:  # a substitution by the same character is no edit
                c = rng.choices(chars, cum_weights=cum)[0]
            w[i] = c
    return "".join(w)


def make_queries(words: Sequence[str], n: int, seed: int) -> list[tuple[str, str, int]]:
    """n (query, source word, edits applied) triples; 0 to 2 edits each."""
    rng = random.Random(seed)
    chars, weights = alphabet(words)
    cum = np.cumsum(weights).tolist()
    out = []
    for _ in range(n):
        word = rng.choice(words)
        edits = rng.randint(0, 2)
        out.append((misspell(word, edits, rng, chars, cum), word, edits))
    return out


def make_prefixes(words: Sequence[str], length: int, n: int, seed: int) -> list[str]:
    """n prefixes of `length` characters of randomly chosen words at least that long."""
    rng = random.Random(seed * 31 + length)
    long_enough = [w for w in words if len(w) >= length]
    return [rng.choice(long_enough)[:length] for _ in range(n)]


class LetterModel:
    """A character model of a given order (next letter given the previous `order`
    letters, with an end symbol), trained on the lower-case ASCII words of a list.
    Order 3 with words of at most 20 letters gives about 9 million trie nodes for 2
    million distinct words (order 1 gives 12 million, order 5 is slow to train)."""

    def __init__(self, words: Sequence[str], order: int = 3):
        letters = sorted({c for w in words for c in w if "a" <= c <= "z"})
        self.order = order
        self.symbols = ["", *letters]  # 0 ends a word, and pads the start state
        k = self.k = len(self.symbols)
        index = {c: i for i, c in enumerate(self.symbols)}
        table = np.zeros((k**order, k), dtype=np.float64)
        for w in words:
            if not w or not all("a" <= c <= "z" for c in w):
                continue
            state = 0
            for c in w:
                j = index[c]
                table[state, j] += 1
                state = (state * k + j) % (k**order)
            table[state, 0] += 1
        seen = table.sum(axis=1) > 0
        table[seen] += 1e-3  # every letter stays possible after a seen context
        table[0, 0] = 0  # no empty words
        table[~seen, 1:] = 1.0  # unseen contexts (never reached in practice): uniform
        self.cdf = np.cumsum(table / table.sum(axis=1, keepdims=True), axis=1)
        self.cdf[:, -1] = 1.0
        self.codes = np.array([0, *map(ord, letters)], dtype=np.uint8)

    def generate(self, n: int, seed: int, min_len: int = 2, max_len: int = 20,
                 batch: int = 250_000) -> list[str]:
        """n distinct words, in the order first generated."""
        rng = np.random.default_rng(seed)
        seen: dict[str, None] = {}
        states = self.k**self.order
        while len(seen) < n:
            state = np.zeros(batch, dtype=np.int64)
            out = np.zeros((batch, max_len + 1), dtype=np.int64)
            alive = np.ones(batch, dtype=bool)
            live = np.arange(batch)  # rows still growing
            for pos in range(max_len):
                u = rng.random(live.size)
                nxt = (self.cdf[state] < u[:, None]).sum(axis=1)
                out[live, pos] = nxt
                going = nxt != 0
                alive[live[~going]] = False
                live = live[going]
                state = (state[going] * self.k + nxt[going]) % states
                if not live.size:
                    break
            lengths = (out != 0).sum(axis=1)
            rows = out[(lengths >= min_len) & ~alive]  # words cut at max_len are dropped
            text = self.codes[rows]
            text[:, -1] = ord("\n")
            flat = text.ravel()
            for word in flat[flat != 0].tobytes().decode("ascii").split("\n")[:-1]:
                seen[word] = None
                if len(seen) >= n:
                    break
        return list(seen)


def count_nodes(words: Sequence[str]) -> int:
    """Trie nodes (root included) of a vocabulary: the number of distinct prefixes."""
    ordered = sorted(words)
    nodes = 1
    prev = ""
    for w in ordered:
        m = min(len(prev), len(w))
        common = 0
        while common < m and prev[common] == w[common]:
            common += 1
        nodes += len(w) - common
        prev = w
    return nodes
