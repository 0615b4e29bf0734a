"""Writes the seed inputs of both fuzz targets from a few tiny stores.

Run once from the checkout root, with the module built:
    PYTHONPATH=build/release python3 fuzz/corpus/make_seeds.py
The snapshot seeds are real snapshots (to_bytes) behind two bytes of query settings; the
construction seeds are the same stores' arguments in construction_fuzz.cpp's input form.
"""

import pathlib
import struct
import uuid

from _brindlex import PrefixSearch

HERE = pathlib.Path(__file__).resolve().parent


def int_ids(*ids):
    return [struct.pack("<I", i) for i in ids]


STORES = {
    # Terms 'cat', 'car', 'cart' and 'dog'.
    "example": (
        [0, 2, 3, 5, 5, 6, 7, 7, 8],
        ["", "c", "a", "t", "r", "d", "t", "o", "g"],
        [None, None, None, (10, [0, 1], [6, 4]), (5, [1], [5]), None, (2, [2], [2]), None, (3, [3], [3])],
        [1, 5, 2, 3, 4, 6, 7, 8],
        int_ids(1001, 1002, 1003, 1004),
        10,
    ),
    # UUID ids; labels of every UTF-8 width; an unlabelled child; a shift that goes down.
    "unicode": (
        [0, 4, 5, 3, 5, 5],
        ["", "é", "\U0001F600", "中", "", "z"],
        [None, (3, [0], [3]), (7, [1, 0], [4, 3]), None, (1, [1], [1]), (2, [5], [2])],
        [1, 2, 3, 4, 5],
        [uuid.UUID(int=i * 0x0101_0101_0101_0101).bytes for i in (1, 2)],
        1,
    ),
    "empty": ([], [], [], [], [], 0),
    # Child lists that form a cycle (1 -> 2 -> 1) and a self-loop (3).
    "cyclic": (
        [0, 2, 3, 4],
        ["", "a", "b", "a"],
        [None, (1, [0], [1]), (2, [1], [2]), (4, [0, 1], [2, 2])],
        [1, 3, 2, 1, 3],
        int_ids(7, 8),
        3,
    ),
    # A child under two parents, counts near saturation, and video numbers with no id.
    "shared": (
        [0, 2, 3, 4],
        ["", "k", "q", "x"],
        [None, (0xFFFF_FFFF, [0, 9], [0xFFFF_FFFF, 1]), (0xFFFF_FFFF, [0], [0xFFFF_FFFF]), (5, [9, 0], [3, 3])],
        [1, 2, 3, 3],
        int_ids(0, 0xFFFF_FFFF),
        2,
    ),
}

# (query settings byte a, byte b) per snapshot seed.
SETTINGS = {"example": (0x01, 0x00), "unicode": (0x22, 0x14), "empty": (0x00, 0x00), "cyclic": (0x0B, 0x31),
            "shared": (0x43, 0x09)}


def number(v):
    return bytes([v]) if v < 0xFF else b"\xff" + struct.pack("<I", v)


def label(text):
    c = ord(text[0]) if text else 0
    return bytes([c]) if c < 0x80 else b"\xff" + struct.pack("<I", c)


def construction_input(node_shifts, child_labels, payloads, child_transitions, video_index, top_n, settings):
    out = bytearray([len(child_labels), 0])
    out += b"".join(number(v) for v in node_shifts)
    out += b"".join(label(t) for t in child_labels)
    out += bytes([len(child_transitions)]) + b"".join(number(v) for v in child_transitions)
    for p in payloads:
        if p is None:
            out += b"\x00"
            continue
        count, ids, counts = p
        out += b"\x01" + number(count) + bytes([len(ids)]) + b"".join(number(v) for v in ids)
        out += b"".join(number(v) for v in counts)
    form = 0 if video_index and len(video_index[0]) == 4 else 1
    out += bytes([len(video_index), form]) + b"".join(video_index)
    out += bytes([top_n]) + bytes(settings)
    return bytes(out)


def main():
    for target in ("snapshot_fuzz", "construction_fuzz"):
        (HERE / target).mkdir(exist_ok=True)
    for name, args in STORES.items():
        snapshot = PrefixSearch.from_internal_data_v2(*args).to_bytes()
        (HERE / "snapshot_fuzz" / name).write_bytes(bytes(SETTINGS[name]) + snapshot)
        (HERE / "construction_fuzz" / name).write_bytes(construction_input(*args, SETTINGS[name]))


if __name__ == "__main__":
    main()
