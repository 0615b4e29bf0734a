"""A plain Python writer of the snapshot format, used to state expected stores exactly."""


def varint(n):
    if n <= 250:
        return bytes([n])
    if n <= 0xFFFF:
        return b"\xfb" + n.to_bytes(2, "little")
    if n <= 0xFFFFFFFF:
        return b"\xfc" + n.to_bytes(4, "little")
    return b"\xfd" + n.to_bytes(8, "little")


def seq(items, write):
    return varint(len(items)) + b"".join(write(x) for x in items)


def payload(p):
    if p is None:
        return b"\x00"
    count, ids, counts = p
    return b"\x01" + varint(count) + seq(ids, varint) + seq(counts, varint)


def label(c):
    return chr(c).encode("utf-8") if isinstance(c, int) else c.encode("utf-8")


def snapshot(node_shifts, child_labels, child_transitions, payloads, video_uuids=(), video_int_ids=(), id_mode=0,
             has_payload=()):
    """child_labels: one-character strings or code points (0 for no label)."""
    return b"".join(
        [
            seq(node_shifts, varint),
            seq(child_labels, label),
            seq(child_transitions, varint),
            seq(payloads, payload),
            seq(video_uuids, bytes),
            seq(video_int_ids, varint),
            varint(id_mode),
            seq(has_payload, lambda b: b"\x01" if b else b"\x00"),
        ]
    )
