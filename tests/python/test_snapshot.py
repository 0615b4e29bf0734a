"""to_bytes / from_bytes: the snapshot bytes, their decode errors, and stores that come
back answering as they did."""

import json
import subprocess
import sys
import textwrap
import uuid

import pytest

from _brindlex import PrefixSearch
from brindlex import build_index, flatten
from conftest import example_store
from snapshot_model import snapshot
from trie_model import near_query, seeded

# node_shifts [0, 300], labels 'a' and U+00E9, child_transitions [1], payloads [absent,
# (2, [0], [70000])], one 16-byte id 00 11 .. FF, no int ids, id_mode 0, has_payload
# [false, true]: not a meaningful trie, but every kind of value.
EXAMPLE = bytes.fromhex(
    "0200FB2C01"
    "0261C3A9"
    "0101"
    "02000102010001FC70110100"
    "0100112233445566778899AABBCCDDEEFF"
    "00"
    "00"
    "020001"
)
ID_MODE_AT = 41
PAYLOAD_TAGS_AT = (12, 13)
HAS_PAYLOAD_AT = (43, 44)
EXAMPLE_UUID_TEXT = "00112233-4455-6677-8899-aabbccddeeff"

PAYLOAD_TYPE = "core::option::Option<brindlex::payload::Payload>"


def variant(type_name, found):
    return f'UnexpectedVariant {{ type_name: "{type_name}", allowed: Range {{ min: 0, max: 1 }}, found: {found} }}'


def replaced(data, at, value):
    return data[:at] + bytes([value]) + data[at + 1 :]


# --- a plain reader of the format, to say which error each damaged input must raise ---


class DecodeError(Exception):
    pass


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, k):
        left = len(self.data) - self.pos
        if left < k:
            raise DecodeError(f"UnexpectedEnd {{ additional: {k - left} }}")
        self.pos += k
        return self.data[self.pos - k : self.pos]

    def varint(self, width):
        m = self.take(1)[0]
        if m <= 250:
            return m
        expected = f"U{width}"
        if m == 251 or m == 252 or (m == 253 and width == 64):
            return int.from_bytes(self.take({251: 2, 252: 4, 253: 8}[m]), "little")
        found = {253: "U64", 254: "U128", 255: "Reserved"}[m]
        raise DecodeError(f"InvalidIntegerType {{ expected: {expected}, found: {found} }}")

    def char(self):
        b0 = self.take(1)[0]
        if b0 < 0x80:
            return b0
        width = 2 if 0xC2 <= b0 <= 0xDF else 3 if 0xE0 <= b0 <= 0xEF else 4 if 0xF0 <= b0 <= 0xF4 else 0
        if not width:
            raise DecodeError(f"InvalidCharEncoding([{b0}, 0, 0, 0])")
        raw = bytes([b0]) + self.take(width - 1)
        try:
            return ord(raw.decode("utf-8"))
        except UnicodeDecodeError:
            raise DecodeError(f"InvalidCharEncoding({list((raw + bytes(4))[:4])})") from None

    def tag(self, type_name):
        b = self.take(1)[0]
        if b > 1:
            raise DecodeError(variant(type_name, b))
        return b == 1

    def boolean(self):
        b = self.take(1)[0]
        if b > 1:
            raise DecodeError(f"InvalidBooleanValue({b})")
        return b

    def seq(self, element):
        return [element() for _ in range(self.varint(64))]

    def u32(self):
        return self.varint(32)

    def payload(self):
        if not self.tag(PAYLOAD_TYPE):
            return None
        return self.u32(), self.seq(self.u32), self.seq(self.u32)


def decode(data):
    """The eight fields, in snapshot_model.snapshot's argument order; raises DecodeError."""
    r = Reader(data)
    fields = [r.seq(r.u32), r.seq(r.char), r.seq(r.u32), r.seq(r.payload), r.seq(lambda: r.take(16)), r.seq(r.u32)]
    mode = r.u32()
    if mode > 1:
        raise DecodeError(variant("IdMode", mode))
    return fields + [mode, r.seq(r.boolean)]


def expected_error(data):
    try:
        decode(data)
    except DecodeError as e:
        return "decode error: " + str(e)
    return None


def test_reader_agrees_with_the_writer_model():
    # The reader above is only a judge if it reads the example as the store it describes.
    fields = decode(EXAMPLE)
    assert fields == [
        [0, 300], [0x61, 0xE9], [1], [None, (2, [0], [70000])],
        [bytes.fromhex("00112233445566778899aabbccddeeff")], [], 0, [0, 1],
    ]
    assert snapshot(*fields) == EXAMPLE
    assert len(EXAMPLE) == 45


# --- exact bytes ---------------------------------------------------------------------------


def is_internal_failure(exc):
    return type(exc).__name__ == "InternalFailure" and not isinstance(exc, Exception)


def test_worked_example_round_trips_byte_for_byte():
    s = PrefixSearch.from_bytes(EXAMPLE)
    assert s.to_bytes() == EXAMPLE
    assert PrefixSearch.from_bytes(b=EXAMPLE).to_bytes() == EXAMPLE


@pytest.mark.parametrize("query", [lambda s: s.fuzzy_match("é"), lambda s: s.fuzzy_match_video("é", 0)])
def test_worked_example_queries_fail_cleanly(query):
    # The root's child range [0, 300) runs past the single child_transitions entry.
    s = PrefixSearch.from_bytes(EXAMPLE)
    with pytest.raises(BaseException) as info:
        query(s)
    assert is_internal_failure(info.value), repr(info.value)


def test_worked_example_as_a_trie_answers():
    # The same with node_shifts [0, 1]: root -> 'é' (node 1), which has the payload.
    data = bytes.fromhex("020001") + EXAMPLE[5:]
    s = PrefixSearch.from_bytes(data)
    assert s.to_bytes() == data
    assert s.fuzzy_match("é", 0) == [("é", 1, 0)]
    assert s.fuzzy_match("a") == [("é", 1, 1)]
    assert s.fuzzy_match("a", 0) == []
    # One record: the video count over the node's count, not clamped to 1.
    assert s.fuzzy_match_video("é", 0) == [(EXAMPLE_UUID_TEXT, 35000.0)]
    assert s.fuzzy_match_video("éé") == [(EXAMPLE_UUID_TEXT, 35000.0)]


def test_restored_store_is_independent_of_its_bytes():
    data = bytes(bytearray(EXAMPLE))  # a fresh object, referenced only here
    before = sys.getrefcount(data)
    s = PrefixSearch.from_bytes(data)
    assert sys.getrefcount(data) == before
    del data
    first = s.to_bytes()
    assert first == EXAMPLE and s.to_bytes() is not first


def test_empty_store_is_eight_zero_bytes():
    s = PrefixSearch.from_bytes(bytes(8))
    assert s.to_bytes() == bytes(8)
    assert PrefixSearch.from_internal_data_v2([], [], [], [], [], 3).to_bytes() == bytes(8)
    assert s.fuzzy_match("", 3) == [] and s.fuzzy_match_video("a", 2, include_prefix_nodes=True) == []


@pytest.mark.parametrize(
    "video_index, field_6",
    [
        ([b"\x01\x00\x00\x00", b"\xff\xff\xff\xff"], "02 01 FC FF FF FF FF"),
        ([b"\xfa\x00\x00\x00", b"\xfb\x00\x00\x00", b"\x00\x00\x01\x00"], "03 FA FB FB 00 FC 00 00 01 00"),
    ],
)
def test_int32_ids_are_varints(video_index, field_6):
    s = PrefixSearch.from_internal_data_v2([], [], [], [], video_index, 1)
    assert s.to_bytes() == bytes(5) + bytes.fromhex(field_6) + b"\x01\x00"


def test_uuid_ids_are_written_unchanged():
    ids = [bytes(range(16)), b"\xff" * 16]
    s = PrefixSearch.from_internal_data_v2([], [], [], [], ids, 1)
    assert s.to_bytes() == bytes(4) + b"\x02" + ids[0] + ids[1] + b"\x00\x00\x00"


@pytest.mark.parametrize(
    "longer, canonical",
    [
        (EXAMPLE[:ID_MODE_AT] + bytes.fromhex("FB0100") + EXAMPLE[ID_MODE_AT + 1 :], replaced(EXAMPLE, ID_MODE_AT, 1)),
        (bytes.fromhex("02FB0000FC2C010000") + EXAMPLE[5:], EXAMPLE),
        (EXAMPLE[:42] + bytes.fromhex("FD0200000000000000") + EXAMPLE[43:], EXAMPLE),
    ],
)
def test_longer_varints_are_read_and_written_shortest(longer, canonical):
    assert PrefixSearch.from_bytes(longer).to_bytes() == canonical


class Bytes(bytes):
    pass


@pytest.mark.parametrize("data", [EXAMPLE + b"\x00", EXAMPLE + b"\xff" * 9, Bytes(EXAMPLE + b"\xfe"), Bytes(EXAMPLE)])
def test_trailing_bytes_are_ignored(data):
    assert PrefixSearch.from_bytes(data).to_bytes() == EXAMPLE


# --- decode errors -------------------------------------------------------------------------

U64_2_60 = bytes.fromhex("FD") + (2**60).to_bytes(8, "little")
U64_MAX = bytes.fromhex("FD") + bytes([255] * 8)


def huge_length(field, length, then=b""):
    """Empty fields before `field` (0-based, id_mode counted), then `length` and `then`."""
    before = b"".join(b"\x00" for _ in range(field))
    return before + length + then


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "UnexpectedEnd { additional: 1 }"),
        (EXAMPLE[:30], "UnexpectedEnd { additional: 10 }"),  # 6 bytes of the 16-byte id
        (EXAMPLE[:19], "UnexpectedEnd { additional: 4 }"),  # just after the FC of 70000
        (EXAMPLE[:8], "UnexpectedEnd { additional: 1 }"),  # inside C3 A9
        (replaced(EXAMPLE, ID_MODE_AT, 2), variant("IdMode", 2)),
        (replaced(EXAMPLE, ID_MODE_AT, 0xFD), "InvalidIntegerType { expected: U32, found: U64 }"),
        (replaced(EXAMPLE, PAYLOAD_TAGS_AT[0], 2), variant(PAYLOAD_TYPE, 2)),
        (replaced(EXAMPLE, PAYLOAD_TAGS_AT[1], 0xFB), variant(PAYLOAD_TYPE, 251)),
        (replaced(EXAMPLE, HAS_PAYLOAD_AT[0], 2), "InvalidBooleanValue(2)"),
        (replaced(EXAMPLE, HAS_PAYLOAD_AT[1], 0xFF), "InvalidBooleanValue(255)"),
        (replaced(EXAMPLE, 7, 0xC0), "InvalidCharEncoding([192, 0, 0, 0])"),
        (EXAMPLE[:7] + bytes.fromhex("EDA080") + EXAMPLE[9:], "InvalidCharEncoding([237, 160, 128, 0])"),
        (EXAMPLE[:7] + bytes.fromhex("F4908080") + EXAMPLE[9:], "InvalidCharEncoding([244, 144, 128, 128])"),
        (EXAMPLE[:7] + bytes.fromhex("F09F"), "UnexpectedEnd { additional: 2 }"),
        (bytes.fromhex("01FD") + bytes(8), "InvalidIntegerType { expected: U32, found: U64 }"),
        (bytes.fromhex("01FE"), "InvalidIntegerType { expected: U32, found: U128 }"),
        (bytes.fromhex("FE"), "InvalidIntegerType { expected: U64, found: U128 }"),
        (bytes.fromhex("00FF"), "InvalidIntegerType { expected: U64, found: Reserved }"),
        (bytes.fromhex("01FB05"), "UnexpectedEnd { additional: 1 }"),
        # Near the end of the input, where a reader can no longer read a whole varint at once.
        (bytes.fromhex("01FD"), "InvalidIntegerType { expected: U32, found: U64 }"),
        (bytes.fromhex("01FF"), "InvalidIntegerType { expected: U32, found: Reserved }"),
        (bytes.fromhex("FD0100"), "UnexpectedEnd { additional: 6 }"),
        (bytes.fromhex("01FC010203"), "UnexpectedEnd { additional: 1 }"),
        (bytes.fromhex("02FC01020304FB"), "UnexpectedEnd { additional: 2 }"),
        (bytes.fromhex("0000000001"), "UnexpectedEnd { additional: 16 }"),
        (bytes.fromhex("000000000100") + bytes(9), "UnexpectedEnd { additional: 6 }"),
        # Declared lengths that the input cannot back end where the bytes run out.
        (huge_length(0, U64_2_60, b"\x01\x02\x03"), "UnexpectedEnd { additional: 1 }"),
        (huge_length(1, U64_2_60, "ab😀".encode()), "UnexpectedEnd { additional: 1 }"),
        (huge_length(2, U64_MAX), "UnexpectedEnd { additional: 1 }"),
        (huge_length(3, U64_2_60, b"\x00\x01\x05\x00\x00"), "UnexpectedEnd { additional: 1 }"),
        (huge_length(3, b"\x01\x01\x00", U64_2_60), "UnexpectedEnd { additional: 1 }"),
        (huge_length(3, b"\x01\x01\x00\x00", U64_MAX + b"\x07"), "UnexpectedEnd { additional: 1 }"),
        (huge_length(4, U64_2_60, bytes(20)), "UnexpectedEnd { additional: 12 }"),
        (huge_length(4, U64_MAX), "UnexpectedEnd { additional: 16 }"),
        (huge_length(5, U64_2_60, b"\xfb\x00\x01"), "UnexpectedEnd { additional: 1 }"),
        (huge_length(7, U64_2_60, b"\x00\x01"), "UnexpectedEnd { additional: 1 }"),
        (huge_length(7, U64_MAX, b"\x00\x01\x07"), "InvalidBooleanValue(7)"),
    ],
)
def test_decode_errors(data, message):
    assert expected_error(data) == "decode error: " + message  # the reader above agrees
    with pytest.raises(ValueError) as info:
        PrefixSearch.from_bytes(data)
    assert type(info.value) is ValueError
    assert str(info.value) == "decode error: " + message


# --- real snapshots --------------------------------------------------------------------------

ALPHABET = ["a", "b", "é", "ß", "中", "😀", "\U0010ffff"]


def random_entries(rng, id_form, n_terms=30):
    def video_id(k):
        if id_form == "uuid":
            return uuid.UUID(int=k * 0x0123456789ABCDEF0123456789ABCDEF % 2**128)
        return k * 2_654_435_761 % 2**32

    def count():
        return rng.choice([rng.randrange(10), rng.randrange(300), rng.randrange(70_000), 2**32 - 1])

    entries = []
    for _ in range(n_terms):
        term = "".join(rng.choice(ALPHABET) for _ in range(rng.randrange(1, 8)))
        videos = [(video_id(rng.randrange(12)), count()) for _ in range(rng.randrange(4))]
        entries.append((term, count(), videos))
    return entries


def real_store(seed, id_form):
    rng = seeded(seed)
    entries = random_entries(rng, id_form)
    top_n = rng.choice([0, 1, 3, 10])
    return entries, build_index(entries, top_n)


@pytest.mark.parametrize("id_form", ["int", "uuid"])
@pytest.mark.parametrize("seed", range(12))
def test_round_trip_answers_as_the_original(seed, id_form):
    entries, x = real_store(seed, id_form)
    data = x.to_bytes()
    y = PrefixSearch.from_bytes(data)
    assert y.to_bytes() == data
    assert snapshot(*decode(data)) == data
    rng = seeded(seed + 100)
    flat = flatten(entries)
    for _ in range(20):
        term = near_query(rng, flat, ALPHABET)
        max_dist = rng.randrange(4)
        limit = rng.choice([None, 0, 1, 3])
        assert y.fuzzy_match(term, max_dist, limit) == x.fuzzy_match(term, max_dist, limit)
        args = (term, max_dist, limit, rng.choice([None, True, False]), rng.choice([None, 0.0, 0.2]))
        assert y.fuzzy_match_video(*args) == x.fuzzy_match_video(*args)


SNAPSHOTS = {
    "worked example": lambda: EXAMPLE,
    "example store": lambda: example_store().to_bytes(),
    "int ids": lambda: real_store(7, "int")[1].to_bytes(),
    "uuid ids": lambda: real_store(8, "uuid")[1].to_bytes(),
}


@pytest.mark.parametrize("name", SNAPSHOTS)
def test_every_truncation_reports_what_is_missing(name):
    data = SNAPSHOTS[name]()
    assert expected_error(data) is None
    for cut in range(len(data)):
        message = expected_error(data[:cut])
        assert message.startswith("decode error: UnexpectedEnd { additional: ")
        with pytest.raises(ValueError) as info:
            PrefixSearch.from_bytes(data[:cut])
        assert (cut, str(info.value)) == (cut, message)


# Run in a child so that a crash fails one test instead of ending the run. For every
# input: the decode outcome, then, for a store that decodes, each query's outcome.
CHILD = textwrap.dedent(
    """
    import json, sys
    from _brindlex import PrefixSearch

    QUERIES = [
        lambda s: s.fuzzy_match("a", 2),
        lambda s: s.fuzzy_match("", 1),
        lambda s: s.fuzzy_match("cat", 1, 2),
        lambda s: s.fuzzy_match_video("a", 1),
        lambda s: s.fuzzy_match_video("ca", 2, None, True, 0.0),
        lambda s: s.fuzzy_match_video("é", 1, 1, False),
        lambda s: s.fuzzy_match_video("d", 0, None, None, -1.0),
        lambda s: PrefixSearch.from_bytes(s.to_bytes()).to_bytes() == s.to_bytes() or "round trip differs",
    ]

    def outcome(call):
        try:
            result = call()
        except BaseException as e:
            kind = type(e)
            return [kind.__name__, issubclass(kind, Exception), str(e)]
        return "ok" if result is True or isinstance(result, list) else ["result", False, repr(result)]

    for line in sys.stdin:
        data = bytes.fromhex(line.strip())
        try:
            s = PrefixSearch.from_bytes(data)
        except ValueError as e:
            print(json.dumps({"decode": str(e)}), flush=True)
            continue
        print(json.dumps({"decode": None, "queries": [outcome(lambda: q(s)) for q in QUERIES]}), flush=True)
    """
)


@pytest.mark.parametrize("name", SNAPSHOTS)
def test_corrupted_snapshots_fail_cleanly(name, tmp_path):
    data = SNAPSHOTS[name]()
    rng = seeded(len(data))
    inputs = [data[:0]]
    for _ in range(250):
        at = rng.randrange(len(data))
        inputs.append(replaced(data, at, rng.choice([0, 1, 2, 0x7F, 0xC3, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF, rng.randrange(256)])))
    child = subprocess.run(
        [sys.executable, "-c", CHILD],
        input="".join(d.hex() + "\n" for d in inputs),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert child.returncode == 0, child.stderr[-2000:]
    lines = child.stdout.splitlines()
    assert len(lines) == len(inputs)
    decoded = 0
    for d, line in zip(inputs, lines):
        got = json.loads(line)
        assert got["decode"] == expected_error(d), d.hex()
        if got["decode"] is None:
            decoded += 1
            for q in got["queries"]:
                # A store that decodes answers, or fails the check of its own invariants.
                assert q == "ok" or (q[0] == "InternalFailure" and q[1] is False), (d.hex(), q)
    assert decoded > 0  # some corruptions must reach the queries
