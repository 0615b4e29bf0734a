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
