"""Leaks: every method, on its success paths and on every failure path it has, called many
times over. References and interpreter blocks are counted by a debug interpreter only
(tools/test-dbg runs this file under python3.14d); native memory is checked anywhere."""

import collections
import ctypes
import gc
import os
import sys

import pytest

import brindlex
from _brindlex import PrefixSearch
from brindlex._native import Lookup, crc32c
from conftest import EXAMPLE_ARGS, example_store
from hostile import RAISE, BrokenIter, ChainedTypeError, Index, LyingLen, RaisingFloat, RaisingIndex, UserError
from snapshot_model import snapshot
from trie_model import random_query, random_trie, seeded

build = PrefixSearch.from_internal_data_v2
debug_only = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"), reason="reference counts need a debug interpreter (tools/test-dbg)"
)

WARMUP = 20
CALLS = 100
ROUNDS = 3


def _growth(call):
    for _ in range(WARMUP):
        call()
    deltas = []
    for _ in range(ROUNDS):
        gc.collect()
        refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
        for _ in range(CALLS):
            call()
        gc.collect()
        deltas.append((sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks))
    return deltas


_empty_call_growth = []


def leaks(call):
    """(references, blocks) gained in each round beyond what an empty call gains, or None
    when neither grew in every round. The interpreter fills caches of its own once
    (specialised bytecode, type caches), which shows in one round; a leak shows in all."""
    # Older objects are frozen so that each collection only looks at what the calls made.
    gc.collect()
    gc.freeze()
    try:
        if not _empty_call_growth:
            _empty_call_growth.extend(_growth(lambda: None))
        extra = [(r - br, b - bb) for (r, b), (br, bb) in zip(_growth(call), _empty_call_growth)]
    finally:
        gc.unfreeze()
    if all(r > 0 for r, _ in extra) or all(b > 0 for _, b in extra):
        return extra
    return None


def raising(fn, exc):
    def call():
        try:
            fn()
        except exc:
            pass

    return call


Payload = collections.namedtuple("Payload", "count ids counts")

STORE = example_store()
SNAP = STORE.to_bytes()
GOOD = (*EXAMPLE_ARGS, 10)
UUID_STORE = build([0, 1], ["", "a"], [None, (4, [0, 1], [3, 1])], [1], [bytes(range(16)), b"\xff" * 16], 5)
# Node 1 lists itself as its child: a cycle, which only a huge table could follow.
INDEX_ENTRIES = [("Crème", 4, [(1, 4)]), ("creme", 1, []), ("receive", 9, [(2, 9)]), ("relieve", 2, [])]
FOLDED = brindlex.Index.build(INDEX_ENTRIES)
CYCLIC = build([0, 1], ["", "a"], [None, (1, [0], [1])], [1, 1], [b"\x01\x00\x00\x00"], 1)


def with_arg(index, value):
    args = list(GOOD)
    args[index] = value
    return args


def broken(**fields):
    """A store restored from a snapshot that breaks the invariants construction checks."""
    base = dict(node_shifts=[0, 1], child_labels=[0, "a"], child_transitions=[1], payloads=[None, (3, [0], [1])],
                video_int_ids=[7], id_mode=1, has_payload=[0, 1])
    return PrefixSearch.from_bytes(snapshot(**{**base, **fields}))


BAD_CHILD = broken(child_transitions=[5])
RANGE_PAST_END = broken(node_shifts=[0, 3])
NO_FLAGS = broken(has_payload=[0])
SHORT_COUNTS = broken(payloads=[None, (3, [0, 0], [1])])
InternalFailure = None
try:
    build([0, 5], ["", "a"], [None, None], [1], [], 1)
except BaseException as e:  # noqa: BLE001 - the class is not exported; take it from an instance
    InternalFailure = type(e)
assert InternalFailure is not None and InternalFailure.__name__ == "InternalFailure"


def every_truncation():
    for n in range(len(SNAP)):
        try:
            PrefixSearch.from_bytes(SNAP[:n])
        except ValueError:
            pass
        else:
            raise AssertionError(f"a snapshot cut to {n} bytes was read")


def patched(data, at, value):
    return data[:at] + bytes([value]) + data[at + 1:]


# Single bytes of the snapshot of `STORE`, counted from its end.
ID_MODE_AT = len(SNAP) - 11  # then has_payload: length 9 and nine flags
FLAG_AT = len(SNAP) - 1
ONE_NODE = snapshot([0], [0], [], [None], has_payload=[0])  # its payload tag is byte 6

SUCCESS = {
    "build example": lambda: build(*GOOD),
    "build uuid ids": lambda: build([0, 1], ["", "é"], [None, (4, [0], [3])], [1], [bytes(16)], 5),
    "build any sequences": lambda: build(
        bytes([0, 1]), ("", "a"), [None, Payload(3, range(2), [4, 5])], range(1, 2), [[1, 0, 0, 0], bytearray(4)], 9
    ),
    "build lengths cannot be taken": lambda: build(LyingLen([0], RAISE), LyingLen([""], RAISE), LyingLen([None], RAISE), LyingLen([], RAISE), LyingLen([], RAISE), 1),
    "build empty": lambda: build([], [], [], [], [], 0),
    "to_bytes": lambda: STORE.to_bytes(),
    "to_bytes uuid": lambda: UUID_STORE.to_bytes(),
    "from_bytes": lambda: PrefixSearch.from_bytes(SNAP),
    "from_bytes subclass with trailing bytes": lambda: PrefixSearch.from_bytes(type("B", (bytes,), {})(SNAP + b"xyz")),
    "fuzzy_match": lambda: STORE.fuzzy_match("cat"),
    "fuzzy_match all arguments": lambda: STORE.fuzzy_match(term="ca", max_dist=Index(2), limit=2),
    "fuzzy_match huge bound": lambda: STORE.fuzzy_match("", 2**32 - 1, 2**64 - 1),
    "fuzzy_match long term": lambda: STORE.fuzzy_match("cat" * 1000, 3000),
    "fuzzy_match broken store within reach": lambda: SHORT_COUNTS.fuzzy_match("a"),
    "fuzzy_match_video": lambda: STORE.fuzzy_match_video("cat"),
    "fuzzy_match_video all arguments": lambda: STORE.fuzzy_match_video("ca", 1, 2, True, 0.0),
    "fuzzy_match_video prefix fallback": lambda: STORE.fuzzy_match_video("ca", include_prefix_nodes=None),
    "fuzzy_match_video no prefix nodes": lambda: STORE.fuzzy_match_video("cat", include_prefix_nodes=False),
    "fuzzy_match_video min_score int and nan": lambda: (
        STORE.fuzzy_match_video("cat", min_score=0),
        STORE.fuzzy_match_video("cat", min_score=float("nan")),
    ),
    "fuzzy_match_video uuid ids": lambda: UUID_STORE.fuzzy_match_video("a", min_score=-1.0),
    # The package's native module.
    "Index.build": lambda: brindlex.Index.build(INDEX_ENTRIES),
    "Lookup with notes": lambda: Lookup(FOLDED.engine, FOLDED._notes, brindlex.Suggestion, brindlex.Completion),
    "suggest": lambda: FOLDED.suggest("recieve", 2, max_dist=3),
    "complete": lambda: FOLDED.complete("", 3),
    "complete with typos": lambda: FOLDED.complete("recie", 3, max_dist=2),
    "count, in, spelling": lambda: (FOLDED.count("crème"), "x" in FOLDED, FOLDED._lookup.spelling("creme")),
    "listing, whole and left midway": lambda: (list(FOLDED.items()), list(FOLDED.keys("re")), next(iter(FOLDED))),
    "listing a store in any child order": lambda: list(brindlex.Index(STORE).items()),
    "crc32c": lambda: crc32c(memoryview(SNAP), 5),
}

FAILURES = {
    # The package's native module.
    "Lookup notes cut short": (lambda: Lookup(STORE, b"\x01", brindlex.Suggestion, brindlex.Completion), ValueError),
    "Lookup of a store that is no tree": (lambda: Lookup(CYCLIC, bytes(8), tuple, tuple), ValueError),
    "listing prefix not str": (lambda: FOLDED._lookup.terms(b"re", True), TypeError),
    "Lookup of no engine": (lambda: Lookup("x", bytes(8), tuple, tuple), TypeError),
    "Lookup result classes": (lambda: Lookup(STORE, bytes(8), int, tuple), TypeError),
    "suggest arguments": (lambda: FOLDED._lookup.suggest("a", -1, 1, True), OverflowError),
    "suggest text": (lambda: FOLDED._lookup.suggest(b"a", 1, 1, True), TypeError),
    "count lone surrogate": (lambda: FOLDED._lookup.count("caf\ud800"), ValueError),
    "crc32c of no buffer": (lambda: crc32c("text"), TypeError),
    # Binding.
    "no constructor": (PrefixSearch, TypeError),
    "missing term": (lambda: STORE.fuzzy_match(), TypeError),
    "too many arguments": (lambda: STORE.fuzzy_match_video(*"abcdef"), TypeError),
    "unknown keyword": (lambda: STORE.fuzzy_match("a", bound=1), TypeError),
    "argument twice": (lambda: STORE.fuzzy_match_video("a", term="b"), TypeError),
    "build missing three": (lambda: build([], [], []), TypeError),
    "from_bytes missing": (lambda: PrefixSearch.from_bytes(), TypeError),
    "to_bytes with an argument": (lambda: STORE.to_bytes(1), TypeError),
    # Query conversions.
    "term not str": (lambda: STORE.fuzzy_match(b"cat"), TypeError),
    "term lone surrogate": (lambda: STORE.fuzzy_match_video("a\udc80"), UnicodeEncodeError),
    "max_dist None": (lambda: STORE.fuzzy_match("a", None), TypeError),
    "max_dist negative": (lambda: STORE.fuzzy_match("a", -1), OverflowError),
    "max_dist 2**32": (lambda: STORE.fuzzy_match_video("a", 2**32), OverflowError),
    "max_dist 2**64": (lambda: STORE.fuzzy_match("a", 2**64), OverflowError),
    "max_dist raising __index__": (lambda: STORE.fuzzy_match("a", RaisingIndex()), UserError),
    "max_dist chained TypeError": (lambda: STORE.fuzzy_match_video("a", ChainedTypeError()), TypeError),
    "limit str": (lambda: STORE.fuzzy_match("a", limit="3"), TypeError),
    "limit 2**64": (lambda: STORE.fuzzy_match_video("a", limit=2**64), OverflowError),
    "include_prefix_nodes int": (lambda: STORE.fuzzy_match_video("a", include_prefix_nodes=1), TypeError),
    "min_score str": (lambda: STORE.fuzzy_match_video("a", min_score="0.5"), TypeError),
    "min_score raising __float__": (lambda: STORE.fuzzy_match_video("a", min_score=RaisingFloat()), UserError),
    "b bytearray": (lambda: PrefixSearch.from_bytes(bytearray(SNAP)), TypeError),
    # Construction conversions.
    "arg str": (lambda: build(*with_arg(0, "012")), TypeError),
    "arg not a sequence": (lambda: build(*with_arg(3, 5)), TypeError),
    "element float": (lambda: build(*with_arg(0, [0.0] * 9)), TypeError),
    "element negative": (lambda: build(*with_arg(3, [1, -1])), OverflowError),
    "element 2**32": (lambda: build(*with_arg(0, [2**32] * 9)), OverflowError),
    "element 2**64": (lambda: build(*with_arg(0, [2**64] * 9)), OverflowError),
    "element raising __index__": (lambda: build(*with_arg(3, [1, RaisingIndex()])), UserError),
    "iterator raising midway": (lambda: build(*with_arg(3, BrokenIter([1, 5, 2, 3], 2, RAISE))), UserError),
    "label not str": (lambda: build(*with_arg(1, ["", b"c"] + [""] * 7)), TypeError),
    "label lone surrogate": (lambda: build(*with_arg(1, ["", "c\ud800"] + [""] * 7)), UnicodeEncodeError),
    "video entry str": (lambda: build(*with_arg(4, ["abcd"])), TypeError),
    "video entry not a sequence": (lambda: build(*with_arg(4, [5])), TypeError),
    "video byte 256": (lambda: build(*with_arg(4, [[1, 2, 3, 256]])), OverflowError),
    "video byte beyond C long": (lambda: build(*with_arg(4, [[2**70, 0, 0, 0]])), OverflowError),
    "video_top_n None": (lambda: build(*with_arg(5, None)), TypeError),
    "video_top_n 2**64": (lambda: build(*with_arg(5, 2**64)), OverflowError),
    # Construction checks.
    "node_shifts length": (lambda: build(*with_arg(0, [0] * 8)), ValueError),
    "payloads length": (lambda: build(*with_arg(2, [None] * 10)), ValueError),
    "child out of range": (lambda: build(*with_arg(3, [1, 5, 2, 3, 4, 6, 7, 9])), ValueError),
    "payload list": (lambda: build([0], [""], [[1, [], []]], [], [], 1), TypeError),
    "payload of 2": (lambda: build([0], [""], [(1, [])], [], [], 1), ValueError),
    "payload count 2**32": (lambda: build([0], [""], [(2**32, [], [])], [], [], 1), OverflowError),
    "payload ids str": (lambda: build([0], [""], [(1, "ab", [1, 2])], [], [], 1), TypeError),
    "payload counts not a sequence": (lambda: build([0], [""], [(1, [], 5)], [], [], 1), TypeError),
    "payload counts raising": (lambda: build([0], [""], [(1, [0], [RaisingIndex()])], [], [], 1), UserError),
    "payload lists differ": (lambda: build([0], [""], [(1, [0, 1], [1])], [], [], 1), ValueError),
    "video ids mixed": (lambda: build(*with_arg(4, [bytes(4), bytes(16)])), ValueError),
    "child range past the end": (lambda: build([0, 5], ["", "a"], [None, None], [1], [], 1), InternalFailure),
    # Snapshots.
    "every truncation": (every_truncation, ()),
    "id_mode 2": (lambda: PrefixSearch.from_bytes(patched(SNAP, ID_MODE_AT, 2)), ValueError),
    "has_payload 2": (lambda: PrefixSearch.from_bytes(patched(SNAP, FLAG_AT, 2)), ValueError),
    "payload tag 2": (lambda: PrefixSearch.from_bytes(patched(ONE_NODE, 6, 2)), ValueError),
    "label C0": (lambda: PrefixSearch.from_bytes(b"\x00\x01\xc0"), ValueError),
    "length marker FE": (lambda: PrefixSearch.from_bytes(b"\xfe"), ValueError),
    "declared length 2**60": (lambda: PrefixSearch.from_bytes(b"\xfd" + (2**60).to_bytes(8, "little") + bytes(64)),
                              ValueError),
    # Queries on stores that break the invariants, and tables that cannot be allocated.
    "walk child not a node": (lambda: BAD_CHILD.fuzzy_match("a"), InternalFailure),
    "walk child not a node, videos": (lambda: BAD_CHILD.fuzzy_match_video("a"), InternalFailure),
    "walk range past the end": (lambda: RANGE_PAST_END.fuzzy_match_video("a", include_prefix_nodes=True),
                                InternalFailure),
    "walk node without flag": (lambda: NO_FLAGS.fuzzy_match("a"), InternalFailure),
    "ranking counts shorter than ids": (lambda: SHORT_COUNTS.fuzzy_match_video("a"), InternalFailure),
    "table too large": (lambda: CYCLIC.fuzzy_match("", 2**32 - 1), MemoryError),
}


@debug_only
def test_the_measure_sees_a_leak():
    kept = []
    obj = object()
    assert leaks(lambda: kept.append(obj)) is not None
    assert leaks(lambda: kept.clear()) is None


@debug_only
@pytest.mark.parametrize("name", SUCCESS)
def test_success_paths_do_not_leak(name):
    assert leaks(SUCCESS[name]) is None


@pytest.mark.parametrize("name", FAILURES)
def test_failure_paths_do_not_leak(name):
    fn, exc = FAILURES[name]
    # The loops below swallow the exception: first make sure the path is the one meant.
    if exc == ():
        fn()
    else:
        with pytest.raises(exc):
            fn()
    if not hasattr(sys, "gettotalrefcount"):
        pytest.skip("reference counts need a debug interpreter (tools/test-dbg)")
    assert leaks(raising(fn, exc) if exc != () else fn) is None


# --- native memory -------------------------------------------------------------------

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def malloc_in_use():
    """Bytes in use in the C heap (glibc), or None elsewhere."""
    try:
        libc = ctypes.CDLL(None)
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


MID = random_trie(seeded(7), 3000, videos=200)
MID_QUERIES = [random_query(seeded(i), max_len=8) for i in range(8)] + ["", "ab" * 40]


def native_round():
    s = build(*MID, 5)
    data = s.to_bytes()
    t = PrefixSearch.from_bytes(data)
    for q in MID_QUERIES:
        t.fuzzy_match(q, 2)
        t.fuzzy_match_video(q, 2, include_prefix_nodes=True)
        s.fuzzy_match_video(q, 1, limit=3, min_score=0.0)
    for fail in ("walk child not a node", "ranking counts shorter than ids", "table too large",
                 "child range past the end", "declared length 2**60", "iterator raising midway"):
        raising(*FAILURES[fail])()
    try:
        PrefixSearch.from_bytes(data[: len(data) // 2])
    except ValueError:
        pass


# AddressSanitizer holds freed memory back in a quarantine, so resident size grows under it
# whatever the module does; the sanitizer run checks leaks of the core through ctest.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
@pytest.mark.skipif(UNDER_ASAN, reason="resident size is not meaningful under AddressSanitizer")
def test_native_memory_stays_flat():
    for _ in range(30):
        native_round()
    gc.collect()
    rss, heap = rss_bytes(), malloc_in_use()
    for _ in range(300):
        native_round()
    gc.collect()
    rss_growth = rss_bytes() - rss
    # A store of this size takes about 180 KiB of heap: keeping one per round would add 50 MiB.
    # The heap count is the finer check; it sees a leak of 1 KiB per round.
    assert rss_growth < 4 * 2**20, f"RSS grew by {rss_growth / 2**20:.1f} MiB over 300 rounds"
    if heap is not None:
        heap_growth = malloc_in_use() - heap
        assert heap_growth < 256 * 2**10, f"the C heap grew by {heap_growth / 2**10:.0f} KiB over 300 rounds"
