"""Random tries in the six-sequence form, and straightforward models of the queries."""

import random


def levenshtein(a, b):
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j - 1] + (ca != cb), prev[j] + 1, cur[j - 1] + 1))
        prev = cur
    return prev[-1]


def osa(a, b):
    """The optimal string alignment distance: Levenshtein's edits and swaps of two
    neighbours, no character edited twice (the whole table, as textbooks write it)."""
    d = [[i + j if i == 0 or j == 0 else 0 for j in range(len(b) + 1)] for i in range(len(a) + 1)]
    for i in range(1, len(a) + 1):
        for j in range(1, len(b) + 1):
            d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1]))
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                d[i][j] = min(d[i][j], d[i - 2][j - 2] + 1)
    return d[-1][-1]


ALPHABET = ["a", "b", "c", "é", "\U0001f600", "ß"]


def random_trie(rng, nodes, alphabet=ALPHABET, empty_label_rate=0.05, payload_rate=0.5, videos=6):
    """A random tree with every child numbered after its parent, children in random order."""
    children = [[] for _ in range(nodes)]
    for v in range(1, nodes):
        children[rng.randrange(v)].append(v)
    node_shifts, transitions = [], []
    for v in range(nodes):
        rng.shuffle(children[v])
        node_shifts.append(len(transitions))
        transitions.extend(children[v])
    labels = [""] + ["" if rng.random() < empty_label_rate else rng.choice(alphabet) for _ in range(nodes - 1)]
    payloads = []
    for _ in range(nodes):
        if rng.random() < payload_rate:
            k = rng.randrange(4)
            payloads.append((rng.randrange(1, 50), [rng.randrange(videos) for _ in range(k)], [rng.randrange(1, 9) for _ in range(k)]))
        else:
            payloads.append(None)
    video_index = [rng.randrange(2**32).to_bytes(4, "little") for _ in range(videos)]
    return node_shifts, labels, payloads, transitions, video_index


def preorder(node_shifts, labels, transitions):
    """(node, term) for every node a walk can reach, in depth-first pre-order."""
    out = []
    stack = [(0, "")]
    n = len(node_shifts)
    while stack:
        v, term = stack.pop()
        if v != 0:
            out.append((v, term))
        end = node_shifts[v + 1] if v + 1 < n else len(transitions)
        kids = transitions[node_shifts[v]:end]
        for w in reversed(kids):
            if labels[w]:
                stack.append((w, term + labels[w][0]))
    return out


def model_fuzzy_match(trie, query, max_dist):
    node_shifts, labels, payloads, transitions, _ = trie
    if not node_shifts:
        return []
    return [
        (term, 1, d)
        for v, term in preorder(node_shifts, labels, transitions)
        if payloads[v] is not None and (d := levenshtein(term, query)) <= max_dist
    ]


def random_query(rng, alphabet=ALPHABET, max_len=6):
    return "".join(rng.choice(alphabet) for _ in range(rng.randrange(max_len + 1)))


def seeded(seed):
    return random.Random(seed)


# --- video ranking -------------------------------------------------------------------

U32_MAX = 2**32 - 1
FUZZY_MATCH_FACTOR = 0.05
PREFIX_NODE_FACTOR = 0.85
DEFAULT_MIN_SCORE = 0.01


class AmbiguousCut(Exception):
    """A node's list was cut between videos of equal sum: which one survives is not fixed."""


def model_aggregate(trie, video_top_n):
    """Every node's payload after the aggregation pass, as (count, [(video, count), ...]),
    for a trie whose children are numbered after their parents.

    A merged list is sorted by sum; its order among distinct videos never matters to the
    ranking, which adds each video's contributions separately."""
    node_shifts, _, payloads, transitions, _ = trie
    n = len(node_shifts)
    out = [None] * n
    for v in reversed(range(n)):
        own = payloads[v] or (0, [], [])
        count, entries = own[0], list(zip(own[1], own[2]))
        end = node_shifts[v + 1] if v + 1 < n else len(transitions)
        kids = [c for c in transitions[node_shifts[v]:end] if c != v]
        for c in kids:
            child_count, child_entries = out[c]
            count = min(count + child_count, U32_MAX)
            sums = {}
            for video, k in entries + child_entries:
                sums[video] = sums.get(video, 0) + k
            entries = sorted(sums.items(), key=lambda e: -e[1])
        # A leaf keeps its own order, so only a merged list can be cut through a tie.
        if kids and 0 < video_top_n < len(entries) and entries[video_top_n - 1][1] == entries[video_top_n][1]:
            raise AmbiguousCut(v)
        out[v] = (count, entries[:video_top_n])
    return out


def random_video_trie(rng, nodes, id_bytes=4, videos=8, ids=8):
    """A random trie whose payloads have counts from a wide range (so that sums rarely tie),
    a few zero counts, repeated videos in one list, and `ids` video ids for `videos` video
    numbers (numbers without an id when ids < videos)."""
    node_shifts, labels, _, transitions, _ = random_trie(rng, nodes, payload_rate=0.0)

    def zero_or_wide():
        return 0 if rng.random() < 0.05 else rng.randrange(1, 1000)

    payloads = []
    for _ in range(nodes):
        if rng.random() < 0.5:
            k = rng.randrange(5)
            payloads.append((zero_or_wide(), [rng.randrange(videos) for _ in range(k)], [zero_or_wide() for _ in range(k)]))
        else:
            payloads.append(None)
    video_index = [rng.randbytes(id_bytes) for _ in range(ids)]
    return node_shifts, labels, payloads, transitions, video_index


def near_query(rng, trie, alphabet=ALPHABET):
    """Mostly a stored path's term (or a prefix of it) with up to two random edits, so
    that most queries reach something; otherwise any random term."""
    paths = preorder(trie[0], trie[1], trie[3]) if trie[0] else []
    if not paths or rng.random() < 0.2:
        return random_query(rng, alphabet, 5)
    term = list(rng.choice(paths)[1])
    for _ in range(rng.randrange(3)):
        i = rng.randrange(len(term) + 1)
        edit = rng.randrange(3)
        if edit == 0:
            term.insert(i, rng.choice(alphabet))
        elif i < len(term):
            term[i:i + 1] = [] if edit == 1 else [rng.choice(alphabet)]
    return "".join(term)


def walk_node_records(trie, query, max_dist, payload_only):
    """(node, distance) for every reachable node within max_dist, in walk order."""
    node_shifts, labels, payloads, transitions, _ = trie
    if not node_shifts:
        return []
    return [
        (v, d)
        for v, term in preorder(node_shifts, labels, transitions)
        if (payloads[v] is not None or not payload_only) and (d := levenshtein(term, query)) <= max_dist
    ]


def model_video_scores(trie, aggregated, query, max_dist, include_prefix_nodes=None, min_score=None):
    """[(video number, score)] of every video that passes the threshold, in no order.

    Sums are formed in walk order and per payload in list order, as the ranking does, so
    the scores are bit-for-bit those of the module."""
    if include_prefix_nodes is None:
        records = walk_node_records(trie, query, max_dist, True) or walk_node_records(trie, query, max_dist, False)
    else:
        records = walk_node_records(trie, query, max_dist, not include_prefix_nodes)
    n = len(query)
    payloads = trie[2]
    total = 0.0
    raw = {}
    for v, d in records:
        if d == 0:
            w = 1.0
        elif n == 0:
            continue
        else:
            w = (1.0 - d / n) * FUZZY_MATCH_FACTOR
            if not w > 0:
                continue
        if payloads[v] is None:
            w *= PREFIX_NODE_FACTOR
        count, entries = aggregated[v]
        total += count * w
        for video, k in entries:
            raw[video] = raw.get(video, 0.0) + k * w
    if not total > 0:
        return []
    threshold = DEFAULT_MIN_SCORE if min_score is None else min_score
    return [(video, s) for video, s in ((video, r / total) for video, r in raw.items()) if s >= threshold]


def id_text(video_index, video):
    """The text of a video number, or None when the id list has no such entry."""
    if video >= len(video_index):
        return None
    raw = bytes(video_index[video])
    if len(raw) == 16:
        h = raw.hex()
        return f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"
    return str(int.from_bytes(raw, "little"))


def check_ranking(actual, candidates, limit, text):
    """Asserts that `actual` is `candidates` [(video, score)] ranked best first, equal
    scores by video number, cut to `limit`, less the videos whose `text(video)` is None
    (no id): they are dropped after the cut, so they still take their places in it."""
    ranked = sorted(candidates, key=lambda c: (-c[1], c[0]))[:limit]
    assert actual == [(text(v), s) for v, s in ranked if text(v) is not None]
