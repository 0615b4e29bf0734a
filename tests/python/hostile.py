"""Hostile input, shared by the tests that use it: the objects a hostile caller passes
(numbers whose conversions raise or return the wrong type, sequences whose lengths lie and
whose iterators break, subclasses whose methods refuse, an integer that changes the call's
own arguments), the strategies that combine them, the judgement of a call's outcome, and
the running of crash-prone tests in a child interpreter."""

import collections
import decimal
import fractions
import math
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

from _brindlex import PrefixSearch
from conftest import example_store

try:
    import numpy as np
except ImportError:
    np = None

build = PrefixSearch.from_internal_data_v2

# One fixed profile: the same examples on every run, about 15 s for each file that uses it.
HOSTILE = settings(
    derandomize=True,
    database=None,
    deadline=None,
    max_examples=300,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)

CHILD_ENV = "BRINDLEX_HOSTILE_CHILD"
IN_CHILD = os.environ.get(CHILD_ENV) == "1"


class ChildRuns:
    """The tests of one test file that run in a child interpreter. In the file:
    `CHILDREN = ChildRuns(__file__)`, `isolated = CHILDREN.isolated` and
    `child_outcomes = CHILDREN.outcomes_fixture()`."""

    def __init__(self, test_file):
        self.path = Path(test_file).resolve()
        self.names = []

    def isolated(self, test):
        """Marks a test to run in a child interpreter: in the parent it only reports the
        child's outcome for it. All selected isolated tests share one child; a child that
        dies fails the test it was running, and the tests after it run in a new child."""
        if IN_CHILD:
            return test
        self.names.append(test.__name__)

        def in_child(child_outcomes):
            passed, report = child_outcomes[test.__name__]
            print(report)
            assert passed, report

        in_child.__name__ = test.__name__
        in_child.__doc__ = test.__doc__
        return in_child

    def outcomes_fixture(self):
        @pytest.fixture(scope="module")
        def child_outcomes(request):
            names = [item.originalname for item in request.session.items
                     if Path(str(item.fspath)).resolve() == self.path and item.originalname in self.names]
            return run_children(self.path, dict.fromkeys(names))

        return child_outcomes


# A line of `pytest -v`: the node id, printed before the test runs, then its outcome.
PROGRESS = re.compile(r"^\S+::(\w+)(?:\[.*?\])?(?: (PASSED|FAILED|ERROR|SKIPPED))?(?: +\[ *\d+%\])? *$")


def statistics_of(name, output):
    found = re.search(rf"^\S+::{name}:$(.*?)(?=^\S+::\w+:$|^=+ )", output, re.S | re.M)
    return found.group(1).strip("\n") if found else output


def run_children(path, names):
    env = dict(os.environ, **{CHILD_ENV: "1"})
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in sys.path if p and os.path.isdir(p))
    outcomes, pending = {}, list(names)
    while pending:
        cmd = [sys.executable, "-X", "faulthandler", "-m", "pytest", "-v", "-p", "no:cacheprovider",
               "--hypothesis-show-statistics", *(f"{path}::{n}" for n in pending)]
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


class ChainedTypeError:
    """A TypeError with a cause: the argument prefix replaces it and keeps the cause."""

    def __index__(self):
        try:
            raise KeyError("inner")
        except KeyError as e:
            raise TypeError("outer") from e


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
    """A sequence whose iterator fails after `at` items; with `length=RAISE` its length
    cannot be taken either."""

    def __init__(self, items, at, length=None):
        self.items = items
        self.at = at
        self.length = length

    def __len__(self):
        if self.length == RAISE:
            raise UserError("__len__")
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
