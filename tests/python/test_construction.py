"""from_internal_data_v2: conversion of the six sequences, the checks and their order, and
the store it builds (compared through its snapshot bytes)."""

import array
import collections
import uuid

import pytest

from _brindlex import PrefixSearch
from conftest import EXAMPLE_ARGS, example_store
from snapshot_model import snapshot

build = PrefixSearch.from_internal_data_v2
OUT_OF_RANGE = "out of range integral type conversion attempted"


def test_worked_example_store():
    s = example_store()
    expected = snapshot(
        node_shifts=[0, 2, 3, 5, 5, 6, 7, 7, 8],
        child_labels=[0, "c", "a", "t", "r", "d", "t", "o", "g"],
        child_transitions=[1, 5, 2, 3, 4, 6, 7, 8],
        payloads=[
            (20, [1, 0, 3, 2], [9, 6, 3, 2]),
            (17, [1, 0, 2], [9, 6, 2]),
            (17, [1, 0, 2], [9, 6, 2]),
            (10, [0, 1], [6, 4]),
            (7, [1, 2], [5, 2]),
            (3, [3], [3]),
            (2, [2], [2]),
            (3, [3], [3]),
            (3, [3], [3]),
        ],
        video_int_ids=[1001, 1002, 1003, 1004],
        id_mode=1,
        has_payload=[0, 0, 0, 1, 1, 0, 1, 0, 1],
    )
    assert s.to_bytes() == expected


def test_six_empty_arguments_build_an_empty_store():
    s = build([], [], [], [], [], 12345)
    assert s.to_bytes() == bytes(8)
    assert s.fuzzy_match("") == [] and s.fuzzy_match_video("a") == []


@pytest.mark.parametrize(
    "labels, stored",
    [
        (["", "abc"], [0, "a"]),
        (["", "é"], [0, "é"]),
        (["", "\U0001f600x"], [0, "\U0001f600"]),
        (["", ""], [0, 0]),
    ],
)
def test_labels_keep_their_first_character(labels, stored):
    s = build([0, 1], labels, [None, None], [1], [], 1)
    assert s.to_bytes() == snapshot([0, 1], stored, [1], [(0, [], [])] * 2, has_payload=[0, 0])


@pytest.mark.parametrize(
    "entries, mode, uuids, ints",
    [
        ([b"\x01\x00\x00\x00", bytearray(b"\xff\xff\xff\xff")], 1, [], [1, 4294967295]),
        ([[1, 0, 0, 0], (2, 0, 0, 0)], 1, [], [1, 2]),
        ([bytes(range(16)), uuid.UUID(int=5).bytes], 0, [bytes(range(16)), uuid.UUID(int=5).bytes], []),
        ([], 0, [], []),
    ],
)
def test_video_index_forms(entries, mode, uuids, ints):
    s = build([0], [""], [None], [], entries, 1)
    assert s.to_bytes() == snapshot([0], [0], [], [(0, [], [])], uuids, ints, mode, [0])


def test_sequences_of_any_kind_are_read():
    Payload = collections.namedtuple("Payload", "count ids counts")
    s = build(bytes([0, 1]), ("", "a"), [None, Payload(3, range(2), array.array("I", [4, 5]))], range(1, 2), [], 9)
    assert s.to_bytes() == snapshot(
        [0, 1], [0, "a"], [1], [(3, [1, 0], [5, 4]), (3, [0, 1], [4, 5])], has_payload=[0, 1]
    )


def test_decreasing_shifts_and_unchecked_video_numbers_are_accepted():
    s = build([2, 0, 1], ["", "a", "b"], [None, (1, [99], [1]), None], [1, 2], [], 5)
    assert s.fuzzy_match("a", 0) == []  # node 0's range [2, 0) is empty
    assert s.fuzzy_match_video("a") == []


def test_child_index_bounds():
    build([0, 1], ["", "a"], [None, None], [1], [], 1)  # N - 1 passes
    with pytest.raises(ValueError, match=r"^child_transitions\[1\] = 2 out of range \[0\.\.2\)$"):
        build([0, 1], ["", "a"], [None, None], [1, 2, 7], [], 1)


def test_worked_example_bad_child():
    args = list(EXAMPLE_ARGS)
    args[3] = [1, 5, 2, 3, 4, 6, 7, 9]
    with pytest.raises(ValueError, match=r"^child_transitions\[7\] = 9 out of range \[0\.\.9\)$"):
        build(*args, 10)


GOOD = ([0], [""], [None], [], [], 1)


def with_arg(index, value):
    args = list(GOOD)
    args[index] = value
    return args


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (with_arg(0, "01"), TypeError, "argument 'node_shifts': Can't extract `str` to `Vec`"),
        (with_arg(0, 5), TypeError, "argument 'node_shifts': 'int' object cannot be converted to 'Sequence'"),
        (with_arg(0, {0: 1}), TypeError, "argument 'node_shifts': 'dict' object cannot be converted to 'Sequence'"),
        (with_arg(0, [0.0]), TypeError, "argument 'node_shifts': 'float' object cannot be interpreted as an integer"),
        (with_arg(0, [-1]), OverflowError, None),
        (with_arg(0, [2**32]), OverflowError, OUT_OF_RANGE),
        (with_arg(0, [2**64]), OverflowError, None),
        (with_arg(1, [b"a"]), TypeError, "argument 'child_labels': 'bytes' object cannot be converted to 'PyString'"),
        (with_arg(1, ["\ud800"]), UnicodeEncodeError, None),
        (with_arg(1, ["a\udfff"]), UnicodeEncodeError, None),
        (with_arg(2, None), TypeError, "argument 'payloads': 'NoneType' object cannot be converted to 'Sequence'"),
        (with_arg(3, ["1"]), TypeError, "argument 'child_transitions': 'str' object cannot be interpreted as an integer"),
        (with_arg(4, ["abcd"]), TypeError, "argument 'video_index': Can't extract `str` to `Vec`"),
        (with_arg(4, [5]), TypeError, "argument 'video_index': 'int' object cannot be converted to 'Sequence'"),
        (with_arg(4, [[0, 0, 0, 256]]), OverflowError, OUT_OF_RANGE),
        (with_arg(4, [[0, 0, 0, -1]]), OverflowError, OUT_OF_RANGE),
        (with_arg(4, [[0, 0, 0, 2**70]]), OverflowError, None),
        (with_arg(5, None), TypeError, "argument 'video_top_n': 'NoneType' object cannot be interpreted as an integer"),
        (with_arg(5, -1), OverflowError, None),
        (with_arg(5, 2**64), OverflowError, None),
        (with_arg(2, [[1, [], []]]), TypeError, "'list' object cannot be converted to 'PyTuple'"),
        (with_arg(2, [(1, [])]), ValueError, "Payload tuple must have 3 elements"),
        (with_arg(2, [(1, [], [], 4)]), ValueError, "Payload tuple must have 3 elements"),
        (with_arg(2, [(2**32, [], [])]), OverflowError, OUT_OF_RANGE),
        (with_arg(2, [(1, "ab", [])]), TypeError, "Can't extract `str` to `Vec`"),
        (with_arg(2, [(1, [], 7)]), TypeError, "'int' object cannot be converted to 'Sequence'"),
        (with_arg(2, [(1, [1.5], [1])]), TypeError, "'float' object cannot be interpreted as an integer"),
        (with_arg(2, [(1, [1], [])]), ValueError, "video_ids and video_counts length mismatch"),
        (with_arg(4, [bytes(16), bytes(4)]), ValueError, "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)"),
        (with_arg(4, [b""]), ValueError, "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)"),
        (with_arg(4, [bytes(8)]), ValueError, "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)"),
        (with_arg(0, [0, 0]), ValueError, "node_shifts len 2 != child_labels len 1"),
        (with_arg(2, []), ValueError, "payloads len 0 != child_labels len 1"),
    ],
)
def test_failures(args, exc, message):
    with pytest.raises(exc) as info:
        build(*args)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    elif exc is OverflowError:
        assert str(info.value) != OUT_OF_RANGE


@pytest.mark.parametrize(
    "args, first",
    [
        # every argument is converted before any check looks at them together
        (([0, 0], [""], [None], [5], ["x"], 1), "argument 'video_index'"),
        (([0, 0], [""], [None], [5], [], None), "argument 'video_top_n'"),
        # lengths before child indexes, child indexes before payloads, payloads before video ids
        (([0, 0], [""], [[1]], [5], [b""], 1), "node_shifts len 2"),
        (([0], [""], [[1]], [5], [b""], 1), r"child_transitions\[0\] = 5"),
        (([0], [""], [[1]], [], [b""], 1), "'list' object cannot be converted to 'PyTuple'"),
        (([0], [""], [None], [], [b""], 1), "video_index entries"),
    ],
)
def test_check_order(args, first):
    with pytest.raises((TypeError, ValueError), match="^" + first):
        build(*args)


def test_only_the_first_bad_element_is_reported():
    with pytest.raises(ValueError, match=r"^child_transitions\[2\] = 5 "):
        build([0, 0], ["", ""], [None, None], [0, 1, 5, 9], [], 1)
    with pytest.raises(TypeError, match="'str' object cannot be interpreted"):
        build([0, "x", 1.5], [""], [None], [], [], 1)


def test_length_failure_is_ignored_for_reservation():
    class Weird:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            if i < 2:
                return i
            raise IndexError

    s = build(Weird(), ["", "a"], [None, None], [1], [], 1)
    assert s.fuzzy_match("a", 0) == []


def test_iteration_errors_propagate():
    class Broken:
        def __len__(self):
            return 3

        def __getitem__(self, i):
            if i == 1:
                raise KeyError("midway")
            return 0

    with pytest.raises(KeyError):
        build(Broken(), [""], [None], [], [], 1)


def test_list_mutated_during_conversion_is_read_safely():
    shifts = [0, 0, 0]

    class Shrinks:
        def __index__(self):
            shifts.clear()
            return 0

    shifts[0] = Shrinks()
    with pytest.raises(ValueError, match="node_shifts len 1 != child_labels len 3"):
        build(shifts, ["", "", ""], [None] * 3, [], [], 1)
