"""Hostile input: every argument of every method given values of every wrong kind and
extreme values. Only the documented exceptions come out (or the caller's own), nothing is
left pending after a success, and the process survives. The tests that feed objects which
run code during a call, or stores that break the trie invariants, run in a child
interpreter, so that a crash fails one test instead of the whole run."""

import collections
import decimal
import fractions
import gc
import math
import operator
import os
import re
import resource
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from _brindlex import PrefixSearch
from conftest import EXAMPLE_ARGS, example_store
from snapshot_model import snapshot
from trie_model import random_trie, seeded

try:
    import numpy as np
except ImportError:
    np = None

build = PrefixSearch.from_internal_data_v2

# One fixed profile: the same examples on every run, about 15 s for the whole file.
HOSTILE = settings(
    derandomize=True,
    database=None,
    deadline=None,
    max_examples=300,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)

CHILD_ENV = "BRINDLEX_HOSTILE_CHILD"
IN_CHILD = os.environ.get(CHILD_ENV) == "1"
ISOLATED = []


def isolated(test):
    """Marks a test to run in a child interpreter: in the parent it only reports the
    child's outcome for it. All selected isolated tests share one child; a child that
    dies fails the test it was running, and the tests after it run in a new child."""
    if IN_CHILD:
        return test
    ISOLATED.append(test.__name__)

    def in_child(child_outcomes):
        passed, report = child_outcomes[test.__name__]
        print(report)
        assert passed, report

    in_child.__name__ = test.__name__
    in_child.__doc__ = test.__doc__
    return in_child


# A line of `pytest -v`: the node id, printed before the test runs, then its outcome.
PROGRESS = re.compile(r"^\S+::(\w+)(?:\[.*?\])?(?: (PASSED|FAILED|ERROR|SKIPPED))?(?: +\[ *\d+%\])? *$")


def statistics_of(name, output):
    found = re.search(rf"^\S+::{name}:$(.*?)(?=^\S+::\w+:$|^=+ )", output, re.S | re.M)
    return found.group(1).strip("\n") if found else output


def run_children(names):
    env = dict(os.environ, **{CHILD_ENV: "1"})
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in sys.path if p and os.path.isdir(p))
    outcomes, pending = {}, list(names)
    while pending:
        cmd = [sys.executable, "-X", "faulthandler", "-m", "pytest", "-v", "-p", "no:cacheprovider",
               "--hypothesis-show-statistics", *(f"{Path(__file__).resolve()}::{n}" for n in pending)]
        proc = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=900)
        started = [m.groups() for m in map(PROGRESS.match, proc.stdout.splitlines()) if m]
        for name, status in started:
            passed = outcomes.get(name, (True,))[0] and status in ("PASSED", "SKIPPED")
            outcomes[name] = (passed, statistics_of(name, proc.stdout) if passed else proc.stdout[-8000:])
        if proc.returncode < 0 or (started and started[-1][1] is None):
            crashed = started[-1][0] if started else pending[0]
            how = signal.Signals(-proc.returncode).name if proc.returncode < 0 else f"exit {proc.returncode}"
            outcomes[crashed] = (False, f"the child died ({how}) in or after this test\n{proc.stdout[-4000:]}\n"
                                        f"{proc.stderr[-8000:]}")
        if not started:  # nothing ran: the child could not even collect the tests
            outcomes.update((n, (False, proc.stdout[-4000:] + proc.stderr[-4000:])) for n in pending)
        pending = [n for n in pending if n not in outcomes]
    return outcomes


@pytest.fixture(scope="module")
def child_outcomes(request):
    here = Path(__file__).resolve()
    names = [item.originalname for item in request.session.items
             if Path(str(item.fspath)).resolve() == here and item.originalname in ISOLATED]
    return run_children(dict.fromkeys(names))


# --- the objects a hostile caller passes ------------------------------------------------

class UserError(Exception):
    """Raised by the tests' own objects: it must come out of a call unchanged."""


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __index__(self):
        raise UserError("__index__")


class NonIntIndex:
    def __index__(self):
        return 1.5


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class RaisingFloat:
    def __float__(self):
        raise UserError("__float__")


class NonFloatFloat:
    def __float__(self):
        return "0.5"


class Truthy:
    def __bool__(self):
        return True


def fake_numpy_bool(behaviour):
    """A class that calls itself numpy's bool_: taken through its truth-value slot."""

    def truth(self):
        if behaviour == "raise":
            raise UserError("__bool__")
        return behaviour

    return type("bool_", (), {"__module__": "numpy", "__bool__": truth})()


def refusing(base, *names, **extra):
    """A subclass of `base` whose Python methods `names` raise: the module must read its
    instances by their contents."""

    def refuse(self, *args):
        raise UserError("a method of a subclass")

    return type(f"Weird{base.__name__.title()}", (base,), {**{n: refuse for n in names}, **extra})


WeirdStr = refusing(str, "__str__", "__len__", "__getitem__", "__iter__", "__eq__", __hash__=str.__hash__)
WeirdBytes = refusing(bytes, "__len__", "__getitem__", "__iter__", "__bytes__", "__buffer__")
WeirdTuple = refusing(tuple, "__len__", "__getitem__", "__iter__")


RAISE = "raise"


class LyingLen:
    """A sequence whose __len__ lies, fails or is out of range."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __len__(self):
        if self.length == RAISE:
            raise UserError("__len__")
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class BrokenIter:
    """A sequence whose iterator fails after `at` items."""

    def __init__(self, items, at):
        self.items = items
        self.at = at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        yield from self.items[: self.at]
        raise UserError("iterator")


class Mutator:
    """An integer whose conversion changes one of the call's argument lists (found in
    `ARGS`, set before each call). What the list held is released at once, so anything
    the module still read from the old contents would be a read of freed memory."""

    ARGS = []
    fired = 0

    def __init__(self, target, action):
        self.target = target
        self.action = action

    def __index__(self):
        Mutator.fired += 1
        lists = [a for a in Mutator.ARGS if type(a) is list]
        if lists:
            victim = lists[self.target % len(lists)]
            if self.action == "clear":
                victim.clear()
            elif self.action == "grow":
                victim.extend(victim[:3] if len(victim) < 64 else [])
            elif self.action == "replace":
                victim[:] = [RaisingIndex() for _ in victim]
            elif self.action == "reverse":
                victim.reverse()
        return 1


# --- strategies -------------------------------------------------------------------------

STORE = example_store()
EXPECTED = STORE.fuzzy_match("cat")

MILLION = "ab" * 500_000
INTS = [0, 1, -1, 2**31 - 1, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), -(2**64), 10**40]
SPECIAL = [
    None, True, False, math.nan, math.inf, -math.inf, -0.0, 1.5, 1e308, 1j, "", "a", "\udc80", "ca\ud800t",
    MILLION, "\U0001f600" * 1000, b"", bytes(16), b"\x01\x00\x00\x00", bytearray(4), memoryview(b"abcd"),
    [], (), {}, set(), frozenset(), range(3), range(10**6), range(-3, 3), object(), type, Ellipsis,
    decimal.Decimal("2.5"), decimal.Decimal("nan"), fractions.Fraction(1, 3), RaisingIndex(), NonIntIndex(),
    RaisingFloat(), NonFloatFloat(), Truthy(), fake_numpy_bool(True), fake_numpy_bool(False),
    fake_numpy_bool(RAISE), fake_numpy_bool(2), WeirdStr("cat"), WeirdBytes(b"\x00" * 8), WeirdTuple((1, [0], [1])),
    iter([1, 2]), (x for x in range(3)), collections.namedtuple("P", "a b c")(1, [0], [1]), STORE,
]
if np is not None:
    SPECIAL += [np.True_, np.False_, np.int64(3), np.uint64(2**64 - 1), np.float64("nan"), np.float32(0.5),
                np.array([0, 1], dtype=np.uint32), np.array([], dtype=np.int8), np.array([[1, 2]]), np.bytes_(b"ab")]

MUTATORS = [Mutator(t, a) for t in range(5) for a in ("clear", "grow", "replace", "reverse")]


def one_of_these(values):
    # By position, so that statistics and failure reports do not print every value.
    return st.integers(0, len(values) - 1).map(values.__getitem__)


def scalars():
    return st.one_of(
        one_of_these(INTS + SPECIAL),
        st.integers(),
        st.floats(),
        st.text(st.characters(exclude_categories=()), max_size=6),
        st.binary(max_size=20),
        st.integers().map(Index),
        st.floats().map(Floaty),
        st.binary(max_size=20).map(WeirdBytes),
        one_of_these(MUTATORS),
    )


def hostile():
    def containers(inner):
        items = st.lists(inner, max_size=5)
        return st.one_of(
            items,
            items.map(tuple),
            items.map(WeirdTuple),
            st.builds(LyingLen, items, st.sampled_from([-1, 0, 2**62, 2**100, RAISE])),
            st.builds(BrokenIter, items, st.integers(0, 4)),
            st.dictionaries(st.integers(0, 4), inner, max_size=3),
        )

    return st.recursive(scalars(), containers, max_leaves=12)


def near_misses():
    """Values a conversion may accept, or refuse only for their range."""
    return st.one_of(
        one_of_these(INTS),
        st.integers(),
        st.integers().map(Index),
        st.booleans(),
        st.none(),
        st.floats(),
        st.floats().map(Floaty),
        st.text(st.characters(exclude_categories=()), max_size=6),
        one_of_these([MILLION, "\U0001f600" * 1000, fake_numpy_bool(True), fake_numpy_bool(RAISE)]
                     + ([np.True_, np.int64(2), np.float64(0.25)] if np is not None else [])),
    )


def arguments():
    return st.one_of(near_misses(), hostile())


InternalFailure = None
try:
    build([0, 5], ["", "a"], [None, None], [1], [], 1)
except BaseException as e:  # noqa: BLE001 - the class is not exported; take it from an instance
    InternalFailure = type(e)
assert InternalFailure is not None and not issubclass(InternalFailure, Exception)


def documented(call, *, prefix=None, foreign_prefix=False, internal=False, memory=False):
    """Runs `call` and returns ("ok", result) or (exception class name, None), failing on
    any exception the module does not document. A TypeError must begin with `prefix`
    when one is given; with `foreign_prefix` it must not begin with an argument prefix."""
    try:
        return "ok", call()
    except UserError:
        return "UserError", None
    except InternalFailure:
        assert internal, "InternalFailure from a store that keeps the trie invariants"
        return "InternalFailure", None
    except MemoryError:
        assert memory, "MemoryError where no large allocation is needed"
        return "MemoryError", None
    except (TypeError, ValueError, OverflowError) as e:  # UnicodeEncodeError is a ValueError
        if type(e) is TypeError and prefix is not None:
            assert str(e).startswith(prefix), str(e)
        if type(e) is TypeError and foreign_prefix:
            assert not str(e).startswith("argument '"), str(e)
        return type(e).__name__, None


def still_sound():
    # A failure or a success leaves nothing pending: the next plain call answers normally.
    assert sys.exc_info() == (None, None, None)
    assert STORE.fuzzy_match("cat") == EXPECTED


def check_terms(result):
    assert type(result) is list
    for item in result:
        assert type(item) is tuple and len(item) == 3
        assert type(item[0]) is str and item[1] == 1 and type(item[2]) is int and item[2] >= 0


def check_videos(result):
    assert type(result) is list
    for item in result:
        assert type(item) is tuple and len(item) == 2
        assert type(item[0]) is str and type(item[1]) is float


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


UUID_STORE = build([0, 1], ["", "a"], [None, (4, [0, 1], [3, 1])], [1], [bytes(range(16)), b"\xff" * 16], 5)
CYCLIC = build([0, 1, 2], ["", "a", "b"], [None, (1, [0], [1]), (2, [0], [2])], [1, 2, 1], [bytes(4)], 1)
SEEDS = [STORE.to_bytes(), UUID_STORE.to_bytes(), CYCLIC.to_bytes(), bytes(8)] + [
    build(*random_trie(seeded(n), n, alphabet=["a", "b", "é"], videos=4), 3).to_bytes() for n in (5, 30)
]
SPECIAL_BYTES = [0, 1, 2, 0x7F, 0x80, 0xC0, 0xC3, 0xED, 0xF0, 0xF4, 0xF5, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF]


@st.composite
def damaged_snapshots(draw):
    data = bytearray(draw(st.sampled_from(SEEDS)))
    for _ in range(draw(st.integers(0, 4))):
        at = draw(st.integers(0, len(data)))
        kind = draw(st.sampled_from(["set", "set", "insert", "delete", "cut", "length"]))
        if kind == "set" and at < len(data):
            data[at] = draw(st.one_of(st.sampled_from(SPECIAL_BYTES), st.integers(0, 255)))
        elif kind == "insert":
            data[at:at] = draw(st.binary(min_size=1, max_size=6))
        elif kind == "delete":
            del data[at:at + draw(st.integers(1, 4))]
        elif kind == "cut":
            del data[at:]
        elif kind == "length":  # a declared length no input could back
            data[at:at] = b"\xfd" + draw(st.integers(2**32, 2**64 - 1)).to_bytes(8, "little")
    return bytes(data)


@st.composite
def unchecked_stores(draw):
    """Snapshots of stores with fields of any length and contents: lengths that disagree,
    child indexes that are no node, ranges past the end, cycles, short video counts."""
    n = draw(st.integers(0, 10))

    def per_node(elements):
        size = draw(st.one_of(st.just(n), st.integers(max(0, n - 2), n + 2)))
        return draw(st.lists(elements, min_size=size, max_size=size))

    index = st.one_of(st.integers(0, n + 1), st.sampled_from([2**31, 2**32 - 1]))
    counts = st.lists(st.integers(0, 2**32 - 1), max_size=3)
    ids = st.lists(st.integers(0, 5), max_size=3)
    payload = st.one_of(st.none(), st.tuples(st.integers(0, 2**32 - 1), ids, counts))
    return snapshot(
        node_shifts=per_node(index),
        child_labels=per_node(st.sampled_from([0, "a", "b", "é", "\U0001f600"])),
        child_transitions=draw(st.lists(index, max_size=2 * n + 2)),
        payloads=per_node(payload),
        video_uuids=draw(st.lists(st.binary(min_size=16, max_size=16), max_size=3)),
        video_int_ids=draw(st.lists(st.integers(0, 2**32 - 1), max_size=3)),
        id_mode=draw(st.integers(0, 1)),
        has_payload=per_node(st.booleans()),
    )


@isolated
@settings(HOSTILE, max_examples=500)
@given(
    data=st.one_of(damaged_snapshots(), unchecked_stores()),
    term=st.text(st.sampled_from("abcdgorté\U0001f600"), max_size=6),
    max_dist=st.sampled_from([0, 1, 2, 3, 7, 2**32 - 1]),
    limit=st.sampled_from([None, 0, 1, 3, 2**64 - 1]),
    include=st.sampled_from([None, True, False]),
)
def test_restored_snapshots_of_any_shape(data, term, max_dist, limit, include):
    """A damaged snapshot either fails to decode with a decode error, or restores a store
    that queries answer, fail with InternalFailure, or (for a cyclic store and a bound no
    table can hold) with MemoryError; whatever is restored writes itself back unchanged."""
    outcome, store = documented(lambda: PrefixSearch.from_bytes(data))
    if outcome != "ok":
        event("decode error")
        with pytest.raises(ValueError, match="^decode error: "):
            PrefixSearch.from_bytes(data)
        return
    canonical = store.to_bytes()
    assert PrefixSearch.from_bytes(canonical).to_bytes() == canonical
    terms, result = documented(lambda: store.fuzzy_match(term, max_dist, limit), internal=True, memory=True)
    if terms == "ok":
        check_terms(result)
        assert limit is None or len(result) <= max(limit, 1)
    videos, result = documented(lambda: store.fuzzy_match_video(term, max_dist, limit, include), internal=True,
                                memory=True)
    if videos == "ok":
        check_videos(result)
        assert limit is None or len(result) <= limit
    event(f"restored; fuzzy_match: {terms}; fuzzy_match_video: {videos}")
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


# --- objects that change or vanish during a call ----------------------------------------

class ClearsPayloads:
    """A payload count whose conversion empties the payloads list, with the payload
    tuples it held, while the module still has to convert them."""

    def __init__(self, payloads):
        self.payloads = payloads

    def __index__(self):
        self.payloads.clear()
        gc.collect()
        return 10


class DropsStore:
    """A bound whose conversion drops the caller's last reference to the store queried."""

    def __init__(self, holder):
        self.holder = holder

    def __index__(self):
        self.holder.clear()
        gc.collect()
        return 1


def grown_shifts():
    shifts = [0, 2, 3, 5, 5, 6, 7, 7]

    class Grows:
        def __index__(self):
            shifts.append(8)  # the node_shifts entry of the last node arrives late
            return 0

    shifts[0] = Grows()
    return shifts


def payloads_cleared_midway():
    payloads = [None, None, None, None, (5, [1], [5]), None, (2, [2], [2]), None, (3, [3], [3])]
    payloads[3] = (ClearsPayloads(payloads), [0, 1], [6, 4])
    return payloads


def query_on_dropped_store():
    holder = [example_store()]
    return holder[0].fuzzy_match("cat", DropsStore(holder))


def video_query_on_dropped_store():
    holder = [example_store()]
    return sorted(holder[0].fuzzy_match_video("cat", min_score=0.0, max_dist=DropsStore(holder)))


@isolated
@pytest.mark.parametrize(
    "call, expected",
    [
        # Lists are read live: an entry appended while converting is read too.
        pytest.param(lambda: build(grown_shifts(), *EXAMPLE_ARGS[1:], 10).to_bytes(), STORE.to_bytes(),
                     id="list grown"),
        # The payload tuples are held while converted, even once their list is emptied.
        pytest.param(lambda: build(*EXAMPLE_ARGS[:2], payloads_cleared_midway(), *EXAMPLE_ARGS[3:], 10).to_bytes(),
                     STORE.to_bytes(), id="payloads emptied"),
        # The instance stays alive for the whole call that uses it.
        pytest.param(query_on_dropped_store, EXPECTED, id="store dropped, terms"),
        pytest.param(video_query_on_dropped_store, sorted(STORE.fuzzy_match_video("cat", min_score=0.0)),
                     id="store dropped, videos"),
        # Subclasses are read by their contents, not through their Python methods.
        pytest.param(lambda: PrefixSearch.from_bytes(WeirdBytes(STORE.to_bytes())).to_bytes(), STORE.to_bytes(),
                     id="bytes subclass snapshot"),
        pytest.param(lambda: build(*EXAMPLE_ARGS[:4], [WeirdBytes(v) for v in EXAMPLE_ARGS[4]], 10).to_bytes(),
                     STORE.to_bytes(), id="bytes subclass ids"),
        pytest.param(lambda: build(*EXAMPLE_ARGS[:2], [p and WeirdTuple(p) for p in EXAMPLE_ARGS[2]],
                                   *EXAMPLE_ARGS[3:], 10).to_bytes(), STORE.to_bytes(), id="tuple subclass payloads"),
        pytest.param(lambda: STORE.fuzzy_match(WeirdStr("cat")), EXPECTED, id="str subclass term"),
        # Lengths that lie only size a reservation.
        pytest.param(lambda: build(*[LyingLen(list(a), 2**62) for a in EXAMPLE_ARGS], 10).to_bytes(),
                     STORE.to_bytes(), id="huge lengths"),
        pytest.param(lambda: build(*[LyingLen(list(a), RAISE) for a in EXAMPLE_ARGS], 10).to_bytes(),
                     STORE.to_bytes(), id="failing lengths"),
    ],
)
def test_arguments_that_change_or_lie(call, expected):
    assert call() == expected
    still_sound()


def run_fresh(code):
    """Runs `code` in a new interpreter (it may change the class for good); returns its
    last line of output: the outcome of the last statement."""
    prelude = "from _brindlex import PrefixSearch\nfrom conftest import example_store\n"
    body = "try:\n" + "".join(f"    {line}\n" for line in code.splitlines()) + \
           "    print('made', type(made).__name__)\nexcept Exception as e:\n    print(type(e).__name__, e)\n"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p and os.path.isdir(p)))
    proc = subprocess.run([sys.executable, "-c", prelude + body], env=env, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip().splitlines()[-1]


NO_CONSTRUCTOR = "TypeError No constructor defined for PrefixSearch"


@pytest.mark.parametrize(
    "code, outcome",
    [
        pytest.param("made = PrefixSearch()", NO_CONSTRUCTOR, id="call"),
        pytest.param("made = PrefixSearch.__new__(PrefixSearch)", NO_CONSTRUCTOR, id="__new__"),
        # The class is mutable: a __new__ of one's own reaches object.__new__, which
        # allocates through the type. Without a refusal there, the instance would have a
        # store that was never constructed.
        pytest.param("PrefixSearch.__new__ = staticmethod(lambda cls, *a: object.__new__(cls))\nmade = PrefixSearch()",
                     NO_CONSTRUCTOR, id="__new__ replaced"),
        pytest.param("PrefixSearch.__new__ = staticmethod(lambda cls: None)\nmade = object.__new__(PrefixSearch)",
                     NO_CONSTRUCTOR, id="object.__new__ once __new__ is replaced"),
        pytest.param("made = object.__new__(PrefixSearch)", "TypeError", id="object.__new__"),
        pytest.param("import copy\nmade = copy.copy(example_store())", "TypeError", id="copy"),
        pytest.param("import copy\nmade = copy.deepcopy(example_store())", "TypeError", id="deepcopy"),
        pytest.param("import pickle\nmade = pickle.loads(pickle.dumps(example_store()))", "TypeError", id="pickle"),
    ],
)
def test_no_instance_without_a_store(code, outcome):
    assert run_fresh(code).startswith(outcome)


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", "") or "ASAN_OPTIONS" in os.environ,
                    reason="the address-space limit would stop the sanitizer's own reservations")
@isolated
def test_queries_too_large_for_memory_raise_memory_error():
    """Within a limited address space, a query whose table or answer does not fit ends in
    MemoryError and the process carries on. The store's child lists form a cycle, so a
    large bound reaches nodes at every depth up to the bound."""
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (2**30, hard))
    try:
        loop = build([0, 1], ["", "a"], [None, (1, [0], [1])], [1, 1], [bytes(4)], 1)
        calls = [
            lambda: loop.fuzzy_match("", 2**32 - 3),  # a table of 2**32 - 1 rows
            lambda: loop.fuzzy_match("a" * 60_000, 10),  # 60011 rows of 60001 cells
            lambda: loop.fuzzy_match_video("a", 2**27),  # a frame per depth
            lambda: loop.fuzzy_match_video("a", 2**24),  # 2**24 nodes reached, each one a match record
        ]
        for call in calls:
            with pytest.raises(MemoryError):
                call()
            assert loop.fuzzy_match("a", 1) == [("a", 1, 0), ("aa", 1, 1)]
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    still_sound()


SHARED_LISTS_CHILD = """
import resource, sys
from _brindlex import PrefixSearch

def store(children):
    shifts, transitions = [], []
    for kids in children:
        shifts.append(len(transitions))
        transitions += kids
    n = len(children)
    labels = ["abc"[v % 3] for v in range(n)]  # the root too, so a list back to it is walked
    payloads = [(1, [0], [1])] * n
    return shifts, labels, payloads, transitions, [bytes(4)], 3

def chain(n, copies):
    return [[v + 1] * copies if v + 1 < n else [] for v in range(n)]

shapes = {
    "doubled chain of 40": chain(40, 2),
    "doubled chain of 64": chain(64, 2),
    "tripled chain of 30": chain(30, 3),
    "dense DAG of 200": [list(range(v + 1, 200)) for v in range(200)],
    "loop through the root": [[1], [2], [0]],
}
resource.setrlimit(resource.RLIMIT_AS, (2**30, resource.getrlimit(resource.RLIMIT_AS)[1]))
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
for name, children in shapes.items():
    built = PrefixSearch.from_internal_data_v2(*store(children))
    for index in (built, PrefixSearch.from_bytes(built.to_bytes())):
        # One path spells 'bcab' through the loop; the shared lists give it many times.
        copies = 1 if name.startswith("loop") else 3
        assert index.fuzzy_match("bcab", 0, 3) == [("bcab", 1, 0)] * copies, name
        assert index.fuzzy_match_video("bcab", 0, 3, False) == [("0", 1.0)], name
grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
print("grown", grown_kib)
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", "") or "ASAN_OPTIONS" in os.environ,
                    reason="the address-space limit would stop the sanitizer's own reservations")
def test_shared_child_lists_build_and_restore_in_linear_memory():
    """Child lists that name a node twice, or lead back to the root, describe a store with
    far more paths than nodes. Building and restoring it must cost memory by its size, not
    by its paths: in a fresh interpreter limited to 1 GiB of address space, every shape is
    built, restored and queried, and the peak resident size grows by little."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p and os.path.isdir(p)))
    proc = subprocess.run([sys.executable, "-c", SHARED_LISTS_CHILD], env=env, capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    grown_kib = int(proc.stdout.split()[-1])
    assert grown_kib < 32 * 1024, f"peak resident size grew by {grown_kib} KiB"
