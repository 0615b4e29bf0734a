"""Threads: many Python threads using the same instances at once get exactly the answers a
single thread gets, also when the interpreter switches threads in the middle of a call."""

import sys
import threading
import time

import pytest

from _brindlex import PrefixSearch
from conftest import example_store
from trie_model import ALPHABET, random_query, random_trie, seeded

THREADS = 8
SECONDS = 1.0


def video_answer(result):
    """fuzzy_match_video's answer, whose order is fixed down to equal scores."""
    scores = [score for _, score in result]
    assert scores == sorted(scores, reverse=True)
    return list(result)


class YieldingIndex:
    """An integer whose conversion lets other threads run in the middle of the call."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


class YieldingFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


def make_calls():
    big = PrefixSearch.from_internal_data_v2(*random_trie(seeded(11), 2000, videos=300), 7)
    small = example_store()
    rng = seeded(12)
    queries = [random_query(rng, max_len=7) for _ in range(40)] + ["", "cat", "ca", "dgo", ALPHABET[4] * 3]
    calls = []
    for i, q in enumerate(queries):
        for s in (big, small):
            calls.append((s.fuzzy_match, (q, i % 3), {}, list))
            calls.append((s.fuzzy_match, (q,), {"max_dist": YieldingIndex(2), "limit": YieldingIndex(5)}, list))
            calls.append((s.fuzzy_match_video, (q, i % 3), {}, video_answer))
            calls.append((s.fuzzy_match_video, (q, YieldingIndex(1)),
                          {"include_prefix_nodes": bool(i % 2), "min_score": YieldingFloat(0.0)}, video_answer))
            calls.append((s.fuzzy_match_video, (q, 2, YieldingIndex(3)), {}, video_answer))
    calls.append((big.to_bytes, (), {}, bytes))
    calls.append((small.to_bytes, (), {}, bytes))
    data = big.to_bytes()
    calls.append((lambda: PrefixSearch.from_bytes(data).to_bytes(), (), {}, bytes))
    return calls


def run_threads(calls, expected):
    """Each thread goes through the calls from its own starting point until time is up;
    returns the number of calls made and every difference or exception seen."""
    problems = []
    done = [0] * THREADS
    start = threading.Barrier(THREADS)

    def worker(t):
        start.wait()
        deadline = time.monotonic() + SECONDS
        i = t * len(calls) // THREADS
        try:
            while time.monotonic() < deadline:
                k = i % len(calls)
                fn, args, kwargs, answer = calls[k]
                got = answer(fn(*args, **kwargs))
                if got != expected[k]:
                    problems.append((k, got, expected[k]))
                done[t] += 1
                i += 1
        except BaseException as e:  # noqa: BLE001 - everything a thread meets is reported
            problems.append((i, repr(e), sys.exc_info()[0]))

    workers = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch as often as the interpreter allows
    try:
        for w in workers:
            w.start()
        for w in workers:
            w.join(timeout=60)
    finally:
        sys.setswitchinterval(old)
    assert not any(w.is_alive() for w in workers)
    return sum(done), problems


def test_threads_get_the_single_threaded_answers():
    calls = make_calls()
    expected = [answer(fn(*args, **kwargs)) for fn, args, kwargs, answer in calls]
    assert any(expected[k] for k in range(len(calls)) if calls[k][3] is video_answer)
    assert any(expected[k] for k in range(len(calls)) if calls[k][3] is list)
    total, problems = run_threads(calls, expected)
    assert problems == []
    assert total >= len(calls), "the threads made fewer calls than there are cases"


def test_threads_failing_calls_report_their_own_errors():
    # Failures raised in one thread never show in another: each gets its own exception,
    # and the calls that succeed still answer correctly.
    s = example_store()

    def bad_max_dist():
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            s.fuzzy_match("cat", YieldingIndex(2**32))
        return "overflow"

    def bad_term():
        with pytest.raises(TypeError, match="^argument 'term': 'int' object cannot be converted to 'PyString'$"):
            s.fuzzy_match_video(5)
        return "type"

    def bad_bytes():
        with pytest.raises(ValueError, match=r"^decode error: UnexpectedEnd \{ additional: 1 \}$"):
            PrefixSearch.from_bytes(b"")
        return "decode"

    calls = [
        (bad_max_dist, (), {}, str),
        (s.fuzzy_match, ("cat", YieldingIndex(1)), {}, list),
        (bad_term, (), {}, str),
        (s.fuzzy_match_video, ("cat",), {"min_score": YieldingFloat(0.0)}, video_answer),
        (bad_bytes, (), {}, str),
    ]
    expected = [answer(fn(*args, **kwargs)) for fn, args, kwargs, answer in calls]
    total, problems = run_threads(calls, expected)
    assert problems == []
    assert total >= len(calls)
    assert sys.exc_info() == (None, None, None)


def index_workload():
    """An Index of random terms and the suggest/complete calls to make on it."""
    from brindlex import Index

    rng = seeded(29)
    words = {"".join(rng.choice("abcdeéfg") for _ in range(rng.randint(1, 9))) for _ in range(4000)}
    entries = [(w, rng.randint(1, 50), []) for w in sorted(words)]
    queries = [random_query(rng, alphabet=list("abcdeéfgx"), max_len=8) for _ in range(60)]
    calls = []
    for i, q in enumerate(queries):
        calls.append(("suggest", q, {"max_dist": i % 3, "transpositions": bool(i % 2)}))
        calls.append(("complete", q[:4], {"limit": 20, "max_dist": i % 3}))
    return (lambda: Index.build(entries)), calls


def test_index_queries_from_threads_while_references_drop():
    # suggest and complete walk the store without the interpreter lock; meanwhile another
    # thread replaces the shared index by a fresh one, drops the old and collects. Each
    # call holds its own index, so every answer is the single-threaded one.
    import gc

    make, calls = index_workload()
    oracle = make()
    expected = [getattr(oracle, name)(q, **kw) for name, q, kw in calls]
    assert any(expected) and not all(expected)
    shared = [make()]
    stop = threading.Event()
    problems = []
    done = [0] * 4

    def churn():
        while not stop.is_set():
            shared[0] = make()
            gc.collect()

    def worker(t):
        i = t * 17
        try:
            while not stop.is_set():
                k = i % len(calls)
                name, q, kw = calls[k]
                index = shared[0]
                got = getattr(index, name)(q, **kw)
                del index
                if got != expected[k]:
                    problems.append((k, got, expected[k]))
                done[t] += 1
                i += 1
        except BaseException as e:  # noqa: BLE001 - everything a thread meets is reported
            problems.append((i, repr(e)))

    threads = [threading.Thread(target=churn)] + [threading.Thread(target=worker, args=(t,)) for t in range(4)]
    for th in threads:
        th.start()
    time.sleep(SECONDS * 2)
    stop.set()
    for th in threads:
        th.join(timeout=60)
    assert not any(th.is_alive() for th in threads)
    assert problems == []
    assert sum(done) >= len(calls)


def test_one_listing_read_from_two_threads_hands_out_each_term_once():
    # A listing fills its chunks without the interpreter lock; a second thread stepping it
    # meanwhile is refused, never handed a half-filled chunk. That refusal is met at all
    # only because the lock is released while a chunk is filled.
    make, _ = index_workload()
    index = make()
    every = sorted(index.keys())
    assert len(every) > 1000
    refusals = 0
    for _ in range(20):
        shared = iter(index.keys())
        seen = [[], []]
        refused = [0, 0]
        start = threading.Barrier(2)

        def reader(t):
            start.wait()
            while True:
                try:
                    term = next(shared)
                except StopIteration:
                    return
                except ValueError as e:
                    assert "already executing" in str(e)
                    refused[t] += 1
                    continue
                seen[t].append(term)

        threads = [threading.Thread(target=reader, args=(t,)) for t in range(2)]
        for th in threads:
            th.start()
        for th in threads:
            th.join(timeout=60)
        assert sorted(seen[0] + seen[1]) == every
        refusals += sum(refused)
    assert refusals > 0, "no step of the listing ever met a fill in progress"
