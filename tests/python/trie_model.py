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
