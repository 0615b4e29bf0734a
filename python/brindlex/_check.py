"""Whether a snapshot describes a sound index: the checks behind ``brindlex stats``.

``from_bytes`` restores any bytes that decode, and a query on a store that breaks
the rules below may fail or skip entries. A store made by ``build_index`` keeps them
all, and a snapshot says enough about itself to check each one:

* every field has one entry per node, and only the id list that the id mode names
  holds ids;
* every node but the root is reached from it exactly once through the child lists,
  and every child is numbered above its parent;
* every node but the root has a label, and every node a payload;
* a payload lists one count per video, and only videos of the id list;
* a prefix node's count is the sum of its children's counts (stopping at
  4294967295), and no node counts less than one of its children;
* a node with children holds a merged list, its videos in descending order of count.

The rules are checked in that order, each naming its lowest node; once the child
lists are found unsound, the rules that rely on them are not looked at. A large
snapshot must be checked in seconds, so ``check_snapshot`` reads the bytes with a scan
(``_scan``) that decodes only what the rules look at, and the rules work on whole
lists where they can; bytes that the scan does not expect go through the reference
reader instead, with the same outcome.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from itertools import chain, compress, repeat
from operator import gt, le, not_, sub

U32_MAX = 0xFFFF_FFFF


@dataclass
class ListFacts:
    """What the checks need from the video lists of the payloads, gathered in one pass."""

    uneven: int = -1  # the first node whose payload has more or fewer counts than videos
    uneven_lengths: tuple[int, int] = (0, 0)
    peaks: list[tuple[int, int]] = field(default_factory=list)  # (node, video) where the highest video number rises
    unordered: int = -1  # the first node with children whose counts are not in descending order

    def note(self, v: int, ids: Sequence[int], counts: Sequence[int], merged: bool) -> None:
        """Takes in the lists of node v, a node with children when ``merged``."""
        if len(ids) != len(counts) and self.uneven < 0:
            self.uneven, self.uneven_lengths = v, (len(ids), len(counts))
        if ids:
            top = max(ids)
            if not self.peaks or top > self.peaks[-1][1]:
                self.peaks.append((v, top))
        if merged and self.unordered < 0 and any(map(gt, counts[1:], counts)):
            self.unordered = v


@dataclass
class Outline:
    """A store as far as the checks look at it."""

    node_shifts: Sequence[int]
    child_labels: Sequence[int]  # code points; 0 for no label
    child_transitions: Sequence[int]
    counts: Sequence[int | None]  # each payload's count; None where the slot is absent
    has_payload: Sequence[int]  # 1 (or True) for the nodes that end a term
    videos: int  # length of the id list that the id mode names
    unused_ids: int  # length of the other one
    id_mode_name: str
    lists: ListFacts


def broken_rules(o: Outline) -> Iterator[str]:
    """Yields what is wrong with the store, one message for each rule broken."""
    n = len(o.child_labels)
    if n == 0:
        yield "the store has no nodes"
        return
    uneven = False
    for name, seq in (("node_shifts", o.node_shifts), ("payloads", o.counts), ("has_payload", o.has_payload)):
        if len(seq) != n:
            uneven = True
            yield f"{name} has {len(seq)} entries for {n} nodes"
    if o.unused_ids:
        yield f"{o.unused_ids} ids of the kind that id mode {o.id_mode_name} does not use"
    if uneven:
        return
    family = _parents(o, n)
    if isinstance(family, str):
        yield family
        return
    labels = o.child_labels
    if 0 in labels[1:]:
        yield f"node {labels.index(0, 1)} has no label"
    counts = o.counts
    if None in counts:
        yield f"node {counts.index(None)} has no payload"
        return
    found = _list_problem(o.lists, o.videos)
    if found:
        yield found
    yield from _count_problems(o, counts, family)  # type: ignore[arg-type]  # no None left
    if o.lists.unordered >= 0:
        yield f"the videos of node {o.lists.unordered} are not in descending order of count"


def _ends(o: Outline) -> list[int]:
    """Where each node's children end in child_transitions, as queries see them."""
    ends = list(o.node_shifts[1:])
    ends.append(len(o.child_transitions))
    return ends


def _parents(o: Outline, n: int) -> tuple[Sequence[int], Sequence[int]] | str:
    """Every node but the root with its parent, as two lists (child, parent), or what
    keeps the child lists from giving each such node one parent numbered below it."""
    shifts, kids = o.node_shifts, o.child_transitions
    if kids and max(kids) >= n:
        pos = next(i for i, c in enumerate(kids) if c >= n)
        return f"child_transitions[{pos}] is {kids[pos]}, not a node"
    ends = _ends(o)
    if shifts[0] == 0 and ends[-1] >= shifts[-1] and not any(map(gt, shifts, shifts[1:])):
        # The usual layout: the child lists follow each other from the start, so the
        # parent of every entry comes from the list lengths alone.
        owner = list(chain.from_iterable(map(repeat, range(n), map(sub, ends, shifts))))
        if any(map(le, kids, owner)):
            v = owner[next(i for i, c in enumerate(kids) if c <= owner[i])]
            return f"node {v} has a child numbered no higher than itself"
        if sorted(kids) == list(range(1, n)):
            return kids, owner
    times = [0] * n
    children: list[int] = []
    owners: list[int] = []
    for v, start, end in zip(range(n), shifts, ends):
        if start >= end:
            continue
        if end > len(kids):
            return f"the children of node {v} run past the end of child_transitions"
        listed = kids[start:end]
        if min(listed) <= v:
            return f"node {v} has a child numbered no higher than itself"
        children += listed
        owners += repeat(v, len(listed))
        for c in listed:
            times[c] += 1
    for c in range(1, n):
        if times[c] == 0:
            return f"node {c} is not reached from the root"
        if times[c] > 1:
            return f"node {c} is reached {times[c]} times from the root"
    return children, owners


def _list_problem(facts: ListFacts, videos: int) -> str | None:
    beyond = next((v for v, top in facts.peaks if top >= videos), -1)
    if facts.uneven >= 0 and (beyond < 0 or facts.uneven <= beyond):
        ids, counts = facts.uneven_lengths
        return f"the payload of node {facts.uneven} has {ids} videos but {counts} counts"
    if beyond >= 0:
        return f"the payload of node {beyond} names a video beyond the {videos} ids"
    return None


def _count_problems(o: Outline, counts: Sequence[int], family: tuple[Sequence[int], Sequence[int]]) -> Iterator[str]:
    children, parents = family
    child_counts = list(map(counts.__getitem__, children))
    parent_counts = list(map(counts.__getitem__, parents))
    if any(map(gt, child_counts, parent_counts)):
        i = next(i for i, (a, b) in enumerate(zip(child_counts, parent_counts)) if a > b)
        v, c = parents[i], children[i]
        yield f"node {v} counts {counts[v]}, less than its child {c} ({counts[c]})"
    sums = [0] * len(counts)
    for v, k in zip(parents, child_counts):
        sums[v] += k
    if max(sums) > U32_MAX:
        sums = [min(x, U32_MAX) for x in sums]
    prefix = list(map(not_, o.has_payload))
    if list(compress(counts, prefix)) != list(compress(sums, prefix)):
        v = next(v for v in compress(range(len(counts)), prefix) if counts[v] != sums[v])
        yield f"node {v} is a prefix node counting {counts[v]}, not the sum of its children's counts ({sums[v]})"
