"""Snapshots and index files: to_bytes and from_bytes throughput, the native check that
`brindlex stats` runs, and what verifying an index file costs and refuses."""

from __future__ import annotations

import statistics
from pathlib import Path
from typing import Any

import benchutil as bu
import brindlex
from _brindlex import PrefixSearch
from brindlex._native import check_snapshot
from benchconfig import MB, SEED, Config

SNAPSHOT_MBPS = 1000  # each way, on the index with videos: the target


def snapshot_section(indexes: list[tuple[str, Any, int]], cfg: Config, out: dict[str, Any]) -> None:
    rows = []
    out["snapshots"] = []
    for name, index, terms in indexes:
        to_s, from_s, check_s = [], [], []
        # One call each first: to_bytes on the instance as it is, from_bytes on new bytes.
        first_to, blob = bu.timed(index.to_bytes)
        first_from, restored = bu.timed(lambda: PrefixSearch.from_bytes(blob))
        del restored
        for _ in range(cfg.snapshot_runs):
            dt, b = bu.timed(index.to_bytes)
            to_s.append(dt)
            del b
            dt, restored = bu.timed(lambda: PrefixSearch.from_bytes(blob))
            from_s.append(dt)
            del restored
            dt, checked = bu.timed(lambda: check_snapshot(blob))
            check_s.append(dt)
            damage = checked[5]  # nodes, terms, videos, id mode, size, damage, notes
            assert not damage, damage
        same = PrefixSearch.from_bytes(blob).to_bytes() == blob
        nodes = out["_nodes"][name]
        fig = {
            "name": name, "bytes": len(blob), "to_bytes_MBps": len(blob) / MB / statistics.median(to_s),
            "from_bytes_MBps": len(blob) / MB / statistics.median(from_s),
            "to_bytes_s": to_s, "from_bytes_s": from_s, "check_snapshot_s": check_s,
            "to_bytes_first_MBps": len(blob) / MB / first_to, "from_bytes_first_MBps": len(blob) / MB / first_from,
            "bytes_per_term": len(blob) / terms, "bytes_per_node": len(blob) / nodes, "round_trip_equal": same,
        }
        out["snapshots"].append(fig)
        rows.append([name, len(blob) / MB, fig["to_bytes_first_MBps"], fig["from_bytes_first_MBps"],
                     fig["to_bytes_MBps"], fig["from_bytes_MBps"],
                     statistics.median(to_s) * 1e3, statistics.median(from_s) * 1e3,
                     statistics.median(check_s), fig["bytes_per_term"], fig["bytes_per_node"],
                     "yes" if same else "NO"])
    print(bu.table(["vocabulary", "snapshot MB", "to_bytes MB/s, 1st call", "from_bytes MB/s, 1st call",
                    "to_bytes MB/s, median", "from_bytes MB/s, median", "to_bytes ms", "from_bytes ms",
                    "check s", "B/term", "B/node", "round trip equal"], rows, digits=1))
    print("check s: brindlex._native.check_snapshot, the decoding and checks of `brindlex stats`.")
    for fig in out["snapshots"]:
        if fig["name"] == "words + videos":
            fig["target"] = [bu.target(fig[key], SNAPSHOT_MBPS, " MB/s", at_least=True)
                             for key in ("to_bytes_MBps", "from_bytes_MBps")]
            print(f"{fig['name']}, medians: to_bytes {fig['to_bytes_MBps']:,.0f} MB/s ({fig['target'][0]}), "
                  f"from_bytes {fig['from_bytes_MBps']:,.0f} MB/s ({fig['target'][1]}).")


def index_file_section(engine: Any, cfg: Config, out: dict[str, Any]) -> None:
    """What verifying an index file costs beside decoding it, and whether damage is
    refused: sampled flipped bits, cuts and appended bytes of the saved index."""
    import random
    import tempfile

    from brindlex._files import read_file

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "words.brx"
        brindlex.save(engine, path)
        good = path.read_bytes()
        snapshot = engine.to_bytes()
        verify = statistics.median(bu.timed(lambda: read_file(path))[0] for _ in range(cfg.snapshot_runs))
        decode = statistics.median(bu.timed(lambda: PrefixSearch.from_bytes(snapshot))[0]
                                   for _ in range(cfg.snapshot_runs))
        rng = random.Random(SEED)
        trials = 20 if cfg.mode == "quick" else 200
        damaged = [bytearray(good) for _ in range(trials)]
        for data in damaged:
            bit = rng.randrange(len(good) * 8)
            data[bit // 8] ^= 1 << bit % 8
        damaged += [bytearray(good[: rng.randrange(len(good))]) for _ in range(trials // 10)]
        damaged += [bytearray(good + bytes([rng.randrange(256)])) for _ in range(trials // 10)]
        refused = 0
        for data in damaged:
            path.write_bytes(data)
            try:
                brindlex.load(path)
            except ValueError:
                refused += 1
    ratio = verify / decode
    out["index_file"] = {"bytes": len(good), "verify_s": verify, "from_bytes_s": decode, "verify_over_decode": ratio,
                         "damaged": len(damaged), "refused": refused}
    print(f"words + videos: {len(good) / MB:.1f} MB; reading and verifying the file {verify * 1e3:.1f} ms, "
          f"from_bytes {decode * 1e3:.1f} ms (verifying: {ratio * 100:.0f}% of decoding); "
          f"{trials} flipped bits, {trials // 10} cuts and {trials // 10} appended bytes at random: "
          f"{refused} of {len(damaged)} refused.")
