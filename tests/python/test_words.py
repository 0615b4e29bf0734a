"""Matching inside titles (``Index.build(..., words=True)``): suggest and complete
against brute force over every word start of every term, through save and load; the
index without words unchanged; word sections of crafted files refused."""

from __future__ import annotations

import functools
import json
import struct
import unicodedata

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brindlex import U32_MAX, Index
from test_cli import brindlex
from test_index import own_counts, prefix_distance
from test_mapped import HEADER, ENTRY, poke, read, reseal, sections
from trie_model import levenshtein, osa

# Letters, an accent, a symbol (no separator) and separators of several kinds: space,
# no-break space, hyphen, full stop.
ALPHABET = "abé+ \u00a0-."
counts_st = st.sampled_from([0, 1, 2, 7, U32_MAX - 1, U32_MAX])


def separates(char: str) -> bool:
    return char.isspace() or unicodedata.category(char)[0] in "ZP"


def tails(term: str) -> list[str]:
    """The term and its text from each word start: after a run of separators."""
    return [term] + [term[i:] for i in range(1, len(term)) if separates(term[i - 1]) and not separates(term[i])]


@st.composite
def titles_st(draw):
    """Terms of a few words, some sharing words or whole beginnings, so that tails meet
    terms and each other; a term may come twice, its counts then add up."""
    words = draw(st.lists(st.text("abé+", min_size=1, max_size=4), min_size=1, max_size=5))
    gaps = st.sampled_from([" ", "  ", "-", ". ", "\u00a0", " -"])
    terms = []
    for _ in range(draw(st.integers(1, 12))):
        parts = draw(st.lists(st.sampled_from(words), min_size=1, max_size=4))
        term = parts[0]
        for part in parts[1:]:
            term += draw(gaps) + part
        if draw(st.booleans()):
            term = draw(st.sampled_from(["(", "", "-"])) + term + draw(st.sampled_from(["", ".", ")"]))
        terms.append(term)
    terms += draw(st.lists(st.text(ALPHABET, min_size=1, max_size=6).filter(lambda t: t.strip()), max_size=3))
    return [(term, draw(counts_st), []) for term in terms]


def ranked(counts, distance, bound):
    found = [(t, distance(t), c) for t, c in counts.items()]
    return sorted((x for x in found if x[1] <= bound), key=lambda x: (x[1], -x[2], x[0]))


@st.composite
def edited_st(draw, text):
    """The text with up to three characters inserted, dropped, changed or swapped."""
    chars = list(text)
    for _ in range(draw(st.integers(0, 3))):
        at = draw(st.integers(0, len(chars)))
        kind = draw(st.sampled_from(["insert", "drop", "change", "swap"]))
        if kind == "insert":
            chars.insert(at, draw(st.sampled_from(ALPHABET)))
        elif at < len(chars) and kind == "drop":
            del chars[at]
        elif at < len(chars) and kind == "change":
            chars[at] = draw(st.sampled_from(ALPHABET))
        elif at + 1 < len(chars):
            chars[at], chars[at + 1] = chars[at + 1], chars[at]
    return "".join(chars)


def without_separators(index):
    """The index as a file written before the separators were kept: flag and section gone."""
    rebuild, (data, *rest) = index.__reduce__()
    data = poke(data, META, 2, read(data, META, 2, fmt="<Q") & ~128, fmt="<Q")
    return rebuild(dropped_sections(data, {SEPARATORS}), *rest)


@settings(max_examples=120, deadline=None)
@given(titles_st(), st.data())
def test_words_answer_as_brute_force_over_every_word_start(reopen, entries, data):
    counts = own_counts(entries)
    index = reopen(Index.build(entries, fold=False, words=True))
    older = without_separators(index)
    plain = reopen(Index.build(entries, fold=False))
    assert index.words and not plain.words
    starts = sorted({tail[:i] for t in counts for tail in tails(t) for i in range(1, len(tail) + 1)})
    whole_tails = sorted({x for t in counts for x in tails(t)})
    text = data.draw(st.one_of(st.sampled_from(starts), st.sampled_from(whole_tails).flatmap(edited_st),
                               st.text(ALPHABET, max_size=6)), label="text")
    for transpositions, dist in [(True, osa), (False, levenshtein)]:
        for max_dist in [0, 1, 2, "auto"]:
            bound = (0 if len(text) <= 2 else 1 if len(text) <= 5 else 2) if max_dist == "auto" else max_dist
            whole = ranked(counts, lambda t: min(dist(text, x) for x in tails(t)), bound)
            begun = ranked(counts, lambda t: min(prefix_distance(text, x, dist) for x in tails(t)), bound)
            bare = ranked(counts, lambda t: prefix_distance(text, t, dist), bound)
            for limit in range(max(len(whole), len(begun), len(bare)) + 2):
                args = (text, limit)
                kw = {"max_dist": max_dist, "transpositions": transpositions}
                assert index.suggest(*args, **kw) == whole[:limit], (transpositions, max_dist, limit)
                assert older.suggest(*args, **kw) == whole[:limit], (transpositions, max_dist, limit)
                assert index.complete(*args, **kw) == begun[:limit], (transpositions, max_dist, limit)
                assert plain.complete(*args, **kw) == bare[:limit], (transpositions, max_dist, limit)
    # Membership, counts and listing stay about whole terms.
    assert len(index) == len(counts) and sorted(index) == sorted(counts)
    for term, count in counts.items():
        assert term in index and index.count(term) == count
    for tail in {x for t in counts for x in tails(t)} - set(counts):
        assert tail not in index and index.count(tail) == 0


def test_words_come_folded_and_shown_as_the_catalogue_spells_them(tmp_path):
    entries = [("GNOME Calculator", 5, []), ("gnome-terminal", 9, []), ("python3-Requests", 7, []),
               ("Requests", 2, []), ("Crème brûlée", 4, [])]
    path = tmp_path / "words.brx"
    Index.build(entries, words=True).save(path)
    index = Index.load(path)
    assert index.complete("calcu") == [("GNOME Calculator", 0, 5)]
    assert index.complete("REQU") == [("python3-Requests", 0, 7), ("Requests", 0, 2)]
    assert index.suggest("brulee", max_dist=0) == [("Crème brûlée", 0, 4)]
    assert index.complete("ter", max_dist=0) == [("gnome-terminal", 0, 9)]
    assert Index.build(entries).complete("calcu") == []


def test_the_command_line_builds_and_answers_with_words(tmp_path):
    catalogue = tmp_path / "titles.tsv"
    catalogue.write_text("term\tcount\tvideo_id\tvideo_count\ngnome calculator\t5\t1\t1\ncalc\t3\t2\t1\n")
    out = tmp_path / "titles.brx"
    done = brindlex("build", catalogue, "-o", out, "--words")
    assert done.returncode == 0, done.stderr
    done = brindlex("complete", out, "calcu", "--json")
    assert done.returncode == 0, done.stderr
    assert [c["term"] for c in json.loads(done.stdout)] == ["gnome calculator", "calc"]
    assert json.loads(brindlex("stats", out, "--json").stdout)["words"] is True


def test_an_index_without_words_keeps_the_sections_it_had():
    data = Index.build([("gnome calculator", 5, [])]).__reduce__()[1][0]
    assert sorted(sections(data)) == [*range(1, 23), 32, 33]
    data = Index.build([("gnome calculator", 5, [])], words=True).__reduce__()[1][0]
    assert sorted(sections(data)) == [*range(1, 23), 27, 28, 29, 32, 33, 34]


META, NODES, TERMS, PARENTS, SEPARATORS = 1, 27, 28, 29, 34


def dropped_sections(data: bytes, ids) -> bytes:
    """The sections `ids` taken out of the table, the flags left."""
    out = bytearray(data)
    (n,) = struct.unpack_from("<I", data, 12)
    kept = [out[HEADER + ENTRY * k:HEADER + ENTRY * (k + 1)] for k in range(n)]
    kept = [e for e in kept if struct.unpack_from("<I", e)[0] not in ids]
    out[HEADER:HEADER + ENTRY * n] = b"".join(kept) + bytes(ENTRY * (n - len(kept)))
    struct.pack_into("<I", out, 12, len(kept))
    return reseal(out)


def drop_words(data: bytes) -> bytes:
    """The word flag cleared, the sections left."""
    return poke(data, META, 2, read(data, META, 2, fmt="<Q") & ~64, fmt="<Q")


def no_word_sections(data: bytes) -> bytes:
    """The word sections' entries taken out of the table, the flag left."""
    return dropped_sections(data, {NODES, TERMS, PARENTS, SEPARATORS})


def deep_node(data: bytes) -> int:
    """A node whose parent is not the root."""
    return next(v for v in range(sections(data)[PARENTS][2]) if read(data, PARENTS, v) != 0)


CRAFTED = {
    "child range backwards": (lambda d: poke(d, NODES, 1, 0), "out of order"),
    "children before their parent": (lambda d: poke(d, NODES, 2, 1), "out of order"),
    "terms beyond the list": (lambda d: poke(d, NODES, 2, 10**6, field=4), "out of order"),
    "term beyond the nodes": (lambda d: poke(d, TERMS, 0, 10**6), "no term"),
    "term the root": (lambda d: poke(d, TERMS, 0, 0), "no term"),
    "label no character": (lambda d: poke(d, NODES, 1, 0xD800, field=8), "no character"),
    "closing node moved": (lambda d: poke(d, NODES, sections(d)[NODES][2] - 1, 10**6), "end where"),
    "parent after its child": (lambda d: poke(d, PARENTS, 1, 10**6), "numbered before"),
    "parent wrong": (lambda d: poke(d, PARENTS, deep_node(d), 0), "parent is wrong"),
    "sections without the flag": (drop_words, "without them"),
    "flag without the sections": (no_word_sections, "the word starts"),
    "separators not rising": (lambda d: poke(d, SEPARATORS, 1, 0x10), "not rising"),
    "separators without their flag": (
        lambda d: poke(d, META, 2, read(d, META, 2, fmt="<Q") & ~128, fmt="<Q"), "without the flag"),
}


@pytest.mark.parametrize("mmap", [True, False], ids=["mapped", "read"])
@pytest.mark.parametrize("case", CRAFTED)
def test_crafted_word_sections_are_refused_naming_the_file(tmp_path, case, mmap):
    entries = [("ab cd", 3, []), ("ab ce", 2, []), ("x-cd", 1, []), ("ab", 1, [])]
    data = Index.build(entries, words=True).__reduce__()[1][0]
    craft, refusal = CRAFTED[case]
    path = tmp_path / "crafted.brx"
    path.write_bytes(craft(data))
    with pytest.raises(ValueError) as caught:
        Index.load(path, mmap=mmap)
    assert str(caught.value).startswith(f"{path}: ") and refusal in str(caught.value)


def test_made_up_bounds_still_answer_every_term_once(tmp_path):
    entries = [("ab cd", 3, []), ("ab ce", 2, []), ("x-cd", 1, []), ("zz cd", 9, [])]
    data = Index.build(entries, words=True).__reduce__()[1][0]
    for v in range(sections(data)[NODES][2] - 1):
        data = poke(data, NODES, v, 0, field=12)
    path = tmp_path / "bounds.brx"
    path.write_bytes(data)
    got = Index.load(path).complete("c", 10)
    assert sorted(c.term for c in got) == ["ab cd", "ab ce", "x-cd", "zz cd"]


# -- videos ---------------------------------------------------------------------------
# The model: the engine's records over every node (every beginning of a term), and for
# each term its records through the word starts past its first: whole (a tail within the
# bound) and, with prefix nodes, prefix (a shorter beginning of a tail within it, weighed
# x 0.85); each node once at its best weight; the prefix fallback over both together.
# Payloads are summed over subtrees: the catalogues keep fewer videos than video_top_n.

@functools.lru_cache(maxsize=1 << 16)
def _levenshtein(a, b):
    return levenshtein(a, b)


def near_threshold(scores, min_score):
    """The scores that are not within rounding of the threshold, which either side may
    then keep."""
    threshold = 0.01 if min_score is None else min_score
    return {v: s for v, s in scores.items() if abs(s - threshold) > 1e-9}


def match_weight(d, n, prefix):
    w = 1.0 if d == 0 else 0.0 if n == 0 else max(0.0, (1 - d / n) * 0.05)
    return w * 0.85 if prefix else w


def model_videos(terms, text, max_dist, include, min_score):
    """terms: {term: (count, {video: count})}. The answer as {video: score}, and whether
    word starts changed it from the engine's (a better weight, or no prefix fallback)."""
    n = len(text)
    levenshtein = _levenshtein
    nodes = {t[:i] for t in terms for i in range(1, len(t) + 1)}

    def records(prefixes):
        found, count = {}, 0  # node -> best weight; records within the bound, kept or not
        for node in nodes:
            if (prefixes or node in terms) and levenshtein(text, node) <= max_dist:
                count += 1
                found[node] = match_weight(levenshtein(text, node), n, node not in terms)
        own, changed = count, False
        for term in terms:
            rest = tails(term)[1:]
            whole = [levenshtein(text, x) for x in rest if levenshtein(text, x) <= max_dist]
            count += len(whole)
            weights = [match_weight(d, n, False) for d in whole]
            if prefixes:
                weights += [match_weight(levenshtein(text, x[:i]), n, True) for x in rest for i in range(1, len(x))
                            if levenshtein(text, x[:i]) <= max_dist]
            if weights and max(weights) > found.get(term, 0.0):
                changed = True
                found[term] = max(weights)
        return found, count, own, changed

    found, count, own, changed = records(include is True)
    if include is None and count == 0:
        found, _, _, changed = records(True)
    changed = changed or (include is None and own == 0 and count > 0)
    total, raw = 0.0, {}
    for node, w in found.items():
        if not w > 0:
            continue  # dropped, as the engine drops a record at a distance of n or more
        for term, (c, videos) in terms.items():
            if term.startswith(node):
                total += c * w
                for video, vc in videos.items():
                    raw[video] = raw.get(video, 0.0) + vc * w
    if not total > 0:
        return {}, changed
    threshold = 0.01 if min_score is None else min_score
    return {v: s / total for v, s in raw.items() if s / total >= threshold}, changed


@st.composite
def video_titles_st(draw):
    entries = draw(titles_st())
    return [(term, draw(st.integers(0, 9)), draw(st.lists(st.tuples(st.integers(0, 5), st.integers(0, 9)),
                                                          max_size=3, unique_by=lambda x: x[0])))
            for term, _, _ in entries]


@settings(max_examples=40, deadline=None)
@given(video_titles_st(), st.data())
def test_videos_with_words_answer_as_the_model(reopen, entries, data):
    import pickle

    terms: dict[str, tuple[int, dict[str, int]]] = {}
    for term, count, videos in entries:
        c, vs = terms.get(term, (0, {}))
        for video, vc in videos:
            vs[str(video)] = vs.get(str(video), 0) + vc
        terms[term] = (c + count, vs)
    built = Index.build(entries, fold=False, words=True, video_top_n=64)
    plain = Index.build(entries, fold=False, video_top_n=64)
    index = reopen(built)
    again = pickle.loads(pickle.dumps(built))
    starts = sorted({tail[:i] for t in terms for tail in tails(t) for i in range(1, len(tail) + 1)})
    text = data.draw(st.one_of(st.sampled_from(starts), st.text(ALPHABET, max_size=5)), label="text")
    for max_dist in [0, 1, 2]:
        for include in [None, True, False]:
            for min_score in [None, 0.0, 0.2]:
                want, changed = model_videos(terms, text, max_dist, include, min_score)
                kw = {"max_dist": max_dist, "include_prefix_nodes": include, "min_score": min_score}
                got = index.videos(text, None, **kw)
                assert again.videos(text, None, **kw) == got
                assert near_threshold(dict(got), min_score) == pytest.approx(near_threshold(want, min_score),
                                                                             rel=1e-9, abs=1e-12), kw
                assert [s for _, s in got] == sorted((s for _, s in got), reverse=True)
                for limit in [0, 1, 2]:
                    assert index.videos(text, limit, **kw) == got[:limit]
                if not changed:  # the engine's answer, bit for bit
                    assert got == index.engine.fuzzy_match_video(text, max_dist, None, include, min_score)
                    assert got == plain.videos(text, None, **kw)


def test_videos_without_word_hits_are_the_engines_and_the_command_line_asks_index_videos(tmp_path):
    entries = [("gnome calculator", 5, [(1, 3), (2, 2)]), ("calc", 3, [(2, 3)]), ("gnomes", 4, [(3, 4)])]
    index = Index.build(entries, words=True)
    for text in ["gnome", "gnomes", "gnom", "x", ""]:
        for max_dist in [0, 1, 2]:
            for include in [None, True, False]:
                assert index.videos(text, None, max_dist=max_dist, include_prefix_nodes=include) == \
                    index.engine.fuzzy_match_video(text, max_dist, None, include)
    assert index.videos("calcu", max_dist=0) == [("1", pytest.approx(0.6)), ("2", pytest.approx(0.4))]
    assert index.videos("calcu", max_dist=0) != index.engine.fuzzy_match_video("calcu", 0)
    catalogue = tmp_path / "titles.tsv"
    catalogue.write_text("term\tcount\tvideo_id\tvideo_count\ngnome calculator\t5\tcalc-1\t1\n")
    out = tmp_path / "titles.brx"
    assert brindlex("build", catalogue, "-o", out, "--words").returncode == 0
    done = brindlex("videos", out, "calcu", "--json")
    assert done.returncode == 0, done.stderr
    assert [v["video_id"] for v in json.loads(done.stdout)] == ["calc-1"]
    with pytest.raises(TypeError, match="argument 'max_dist'"):
        index.videos("calc", max_dist=None)


def prefix_levenshtein(prefix, term):
    """The smallest Levenshtein distance from prefix to a beginning of term, in one table."""
    prev = list(range(len(prefix) + 1))
    best = prev[-1]
    for i, ct in enumerate(term, 1):
        cur = [i]
        for j, cp in enumerate(prefix, 1):
            cur.append(min(prev[j - 1] + (ct != cp), prev[j] + 1, cur[j - 1] + 1))
        prev = cur
        best = min(best, cur[-1])
    return best


@st.composite
def long_titles_st(draw):
    """Titles of many words, some sharing a long ending, so that tails run past 63 characters."""
    words = draw(st.lists(st.text("abcé", min_size=5, max_size=7), min_size=4, max_size=8))
    ending = " ".join(draw(st.lists(st.sampled_from(words), min_size=12, max_size=13)))
    terms = [" ".join(draw(st.lists(st.sampled_from(words), min_size=1, max_size=3))) + " " + ending
             for _ in range(draw(st.integers(1, 3)))]
    return [(term, draw(counts_st), []) for term in terms]


@settings(max_examples=25, deadline=None)
@given(long_titles_st(), st.data())
def test_queries_longer_than_the_walks_row_kernels_answer_as_brute_force(entries, data):
    """Past 63 characters the word searches leave the walk's kernels for their own descent."""
    counts = own_counts(entries)
    index = Index.build(entries, fold=False, words=True)
    long_tails = sorted({x for t in counts for x in tails(t) if len(x) > 66})
    text = data.draw(st.sampled_from(long_tails).flatmap(edited_st), label="text")
    for max_dist in [1, 2]:
        whole = ranked(counts, lambda t: min(levenshtein(text, x) for x in tails(t)), max_dist)
        begun = ranked(counts, lambda t: min(prefix_levenshtein(text, x) for x in tails(t)), max_dist)
        for limit in [1, 2, len(counts) + 1]:
            kw = {"max_dist": max_dist, "transpositions": False}
            assert index.suggest(text, limit, **kw) == whole[:limit], (max_dist, limit)
            assert index.complete(text, limit, **kw) == begun[:limit], (max_dist, limit)
