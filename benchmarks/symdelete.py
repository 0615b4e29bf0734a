"""A symmetric-delete index in plain Python: the fastest known kind of exact search for
small bounds at any memory cost, kept as the benchmark's strongest peer.

Two strings within distance k become equal after at most k deletions from each. The
index maps every string made by deleting up to `max_k` characters from a word's first
`prefix` characters to the words it came from; a query looks up the deletions of its own
first `prefix` characters and checks each candidate with a true Levenshtein distance.
(Cutting both to the same prefix length never increases their distance, so no term
within the bound is missed; the benchmark compares every answer with fuzzy_match.)
"""

from __future__ import annotations

from collections.abc import Sequence

from Levenshtein import distance as levenshtein


def deletions(s: str, k: int) -> set[str]:
    """s and every string made from it by deleting up to k characters."""
    found = {s}
    level = {s}
    for _ in range(k):
        level = {t[:i] + t[i + 1:] for t in level for i in range(len(t))}
        found |= level
    return found


class SymmetricDelete:
    def __init__(self, words: Sequence[str], max_k: int = 2, prefix: int = 7) -> None:
        self.words = list(words)
        self.prefix = prefix
        table: dict[str, list[int]] = {}
        for i, w in enumerate(self.words):
            for d in deletions(w[:prefix], max_k):
                bucket = table.get(d)
                if bucket is None:
                    table[d] = [i]
                else:
                    bucket.append(i)
        self.table = table

    def query(self, q: str, k: int) -> dict[str, int]:
        """{term: distance} for every word within k of q."""
        words, table = self.words, self.table
        seen: set[int] = set()
        out: dict[str, int] = {}
        n = len(q)
        for d in deletions(q[:self.prefix], k):
            for i in table.get(d, ()):
                if i in seen:
                    continue
                seen.add(i)
                w = words[i]
                if abs(len(w) - n) > k:
                    continue
                dist = levenshtein(q, w, score_cutoff=k)
                if dist <= k:
                    out[w] = dist
        return out
