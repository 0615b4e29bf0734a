"""Hostile arguments: every argument of every method given values of every wrong kind and
extreme values. Only the documented exceptions come out (or the caller's own), nothing is
left pending after a success, and the process survives. The tests that feed objects which
run code during a call run in a child interpreter, so that a crash fails one test instead
of the whole run."""

import math
import operator

import pytest
from hypothesis import event, given, settings
from hypothesis import strategies as st

from _brindlex import PrefixSearch
from conftest import EXAMPLE_ARGS
from hostile import (HOSTILE, MILLION, STORE, ChildRuns, InternalFailure, Mutator, arguments, build, check_terms,
                     check_videos, documented, hostile, still_sound)

CHILDREN = ChildRuns(__file__)
isolated = CHILDREN.isolated
child_outcomes = CHILDREN.outcomes_fixture()


# --- queries --------------------------------------------------------------------------

QUERY_PARAMS = {
    "fuzzy_match": ["term", "max_dist", "limit"],
    "fuzzy_match_video": ["term", "max_dist", "limit", "include_prefix_nodes", "min_score"],
}
GOOD_QUERY = ["cat", 1, None, None, None]
CHECKS = {"fuzzy_match": check_terms, "fuzzy_match_video": check_videos}


@isolated
@HOSTILE
@given(method=st.sampled_from(sorted(QUERY_PARAMS)), position=st.integers(0, 4), value=arguments(),
       by_keyword=st.booleans())
def test_query_arguments_of_every_kind(method, position, value, by_keyword):
    params = QUERY_PARAMS[method]
    name = params[position % len(params)]
    args = GOOD_QUERY[: params.index(name)]
    kwargs = {name: value} if by_keyword else {}
    if not by_keyword:
        args.append(value)
    outcome, result = documented(lambda: getattr(STORE, method)(*args, **kwargs), prefix=f"argument '{name}': ")
    event(f"{name}: {outcome}")
    if outcome == "ok":
        CHECKS[method](result)
    still_sound()


# A million characters against every term: only 'a' is shared, 'dog' shares nothing.
@pytest.mark.parametrize(
    "call, expected",
    [
        pytest.param(lambda: STORE.fuzzy_match(MILLION, 2**32 - 1),
                     [("cat", 1, 999_999), ("car", 1, 999_999), ("cart", 1, 999_999), ("dog", 1, 1_000_000)],
                     id="terms, huge bound"),
        pytest.param(lambda: STORE.fuzzy_match(MILLION), [], id="terms"),
        pytest.param(lambda: STORE.fuzzy_match_video(MILLION, 2**32 - 1, 2**64 - 1, None, -math.inf),
                     [("1002", pytest.approx(9 / 19)), ("1001", pytest.approx(6 / 19)),
                      ("1003", pytest.approx(4 / 19))],
                     id="videos, huge bound"),
        pytest.param(lambda: STORE.fuzzy_match_video(MILLION, include_prefix_nodes=True), [], id="videos"),
    ],
)
def test_a_million_characters(call, expected):
    assert call() == expected
    still_sound()


# --- construction ----------------------------------------------------------------------

NAMES = ["node_shifts", "child_labels", "payloads", "child_transitions", "video_index", "video_top_n"]
# Where a hostile value goes: a whole argument, an element of one, a payload, a field of a
# payload tuple, an element of a payload's video lists, a byte of a video id.
PLACES = [(0,), (1,), (2,), (3,), (4,), (5,), (0, 3), (1, 4), (3, 2), (4, 1), (2, 3), (2, 3, 0), (2, 3, 1),
          (2, 4, 2), (2, 3, 1, 0), (2, 4, 2, 0), (4, 2, 1)]


def good_args():
    """The worked example as fresh mutable lists, the video ids as lists of byte values."""
    shifts, labels, payloads, transitions, videos = EXAMPLE_ARGS
    return [list(shifts), list(labels), [p and (p[0], list(p[1]), list(p[2])) for p in payloads],
            list(transitions), [list(v) for v in videos], 10]


def put(args, place, value):
    if len(place) == 1:
        args[place[0]] = value
    elif len(place) == 2:
        args[place[0]][place[1]] = value
    else:
        outer = args[place[0]]
        inner = list(outer[place[1]])
        if len(place) == 3:
            inner[place[2]] = value
        else:
            inner[place[2]][place[3]] = value
        outer[place[1]] = tuple(inner) if place[0] == 2 else inner


def may_run_past_end(args):
    """Whether the converted node_shifts and child_transitions could give a child range
    that ends beyond child_transitions (the one construction failure that is internal)."""
    try:
        shifts = [operator.index(x) for x in args[0]]
        transitions = list(args[3])
    except BaseException:  # noqa: BLE001 - objects whose conversion runs code may answer differently
        return True
    return any(shifts[v] < shifts[v + 1] and shifts[v + 1] > len(transitions) for v in range(len(shifts) - 1))


@isolated
@HOSTILE
@given(place=st.sampled_from(PLACES), value=arguments())
def test_construction_arguments_of_every_kind(place, value):
    args = good_args()
    put(args, place, value)
    Mutator.ARGS, fired = args, Mutator.fired
    in_payload = place[0] == 2 and len(place) > 1  # errors there carry no argument name
    outcome, result = documented(
        lambda: build(*args),
        prefix=None if in_payload else f"argument '{NAMES[place[0]]}': ",
        foreign_prefix=in_payload,
        internal=place[0] in (0, 3) and (Mutator.fired != fired or may_run_past_end(args)),
    )
    Mutator.ARGS = []
    event(f"{place}: {outcome}")
    if outcome == "ok":
        assert type(result) is PrefixSearch
        check_terms(result.fuzzy_match("ca", 2))
        assert PrefixSearch.from_bytes(result.to_bytes()).to_bytes() == result.to_bytes()
    still_sound()


@settings(HOSTILE, max_examples=200)
@given(
    shifts=st.lists(st.integers(0, 12), min_size=9, max_size=9),
    transitions=st.lists(st.sampled_from([1, 2, 3, 4, 5, 6, 7, 8, 0, 9, 2**32 - 1, 2**32, -1]), max_size=10),
)
def test_construction_failure_table_for_any_shape(shifts, transitions):
    """With every other argument sound, the outcome follows from node_shifts and
    child_transitions alone: an integer out of range, then a child index out of range, then
    a child range that ends beyond child_transitions (internal), else a store."""
    args = good_args()
    args[0], args[3] = shifts, transitions
    try:
        build(*args)
        outcome = "ok"
    except OverflowError:
        outcome = "overflow"
    except ValueError as e:
        outcome = "index"
        assert str(e).startswith("child_transitions[")
    except InternalFailure:
        outcome = "past end"
    if any(not 0 <= t < 2**32 for t in transitions):
        expected = "overflow"
    elif any(t >= 9 for t in transitions):
        expected = "index"
    elif may_run_past_end(args):
        expected = "past end"
    else:
        expected = "ok"
    event(expected)
    assert outcome == expected


# --- snapshots --------------------------------------------------------------------------

@isolated
@settings(HOSTILE, max_examples=150)
@given(value=hostile())
def test_from_bytes_argument_of_every_kind(value):
    outcome, result = documented(lambda: PrefixSearch.from_bytes(value), prefix="argument 'b': ")
    event(outcome)
    if outcome == "ok":
        assert isinstance(value, bytes)
        assert type(result) is PrefixSearch
    still_sound()


# --- any call at all --------------------------------------------------------------------

METHODS = {
    "from_internal_data_v2": (build, NAMES),
    "from_bytes": (PrefixSearch.from_bytes, ["b"]),
    "to_bytes": (STORE.to_bytes, []),
    "fuzzy_match": (STORE.fuzzy_match, QUERY_PARAMS["fuzzy_match"]),
    "fuzzy_match_video": (STORE.fuzzy_match_video, QUERY_PARAMS["fuzzy_match_video"]),
    # Through the class, the instance is one more argument, and it may be anything.
    "class to_bytes": (PrefixSearch.to_bytes, ["self"]),
    "class fuzzy_match": (PrefixSearch.fuzzy_match, ["self", *QUERY_PARAMS["fuzzy_match"]]),
    "class fuzzy_match_video": (PrefixSearch.fuzzy_match_video, ["self", *QUERY_PARAMS["fuzzy_match_video"]]),
}


@isolated
@settings(HOSTILE, max_examples=150)
@given(
    method=st.sampled_from(sorted(METHODS)),
    args=st.lists(hostile(), max_size=7),
    keywords=st.dictionaries(
        st.sampled_from(NAMES + QUERY_PARAMS["fuzzy_match_video"] + ["b", "self", "x", "Term"]), hostile(), max_size=3
    ),
)
def test_any_arguments_to_any_method(method, args, keywords):
    fn, params = METHODS[method]
    outcome, result = documented(lambda: fn(*args, **keywords), internal=method == "from_internal_data_v2")
    event(f"{method}: {outcome}")
    if outcome == "ok":
        assert len(args) <= len(params) and set(keywords) <= set(params) - {"self"}
    still_sound()
