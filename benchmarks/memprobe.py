"""Restores one snapshot in a fresh interpreter and prints, as JSON, how resident memory
grew: run by the benchmark, which passes the snapshot's path. A fresh process keeps the
figure free of whatever the benchmark itself allocated and freed before."""

from __future__ import annotations

import json
import sys

from _brindlex import PrefixSearch
from benchutil import peak_bytes, reset_peak, rss_bytes, settle


def main() -> None:
    with open(sys.argv[1], "rb") as f:
        blob = f.read()
    settle()
    # Restart the high-water mark here: it would otherwise hold the reading of the file.
    reset_peak()
    before = rss_bytes()
    index = PrefixSearch.from_bytes(blob)
    top = peak_bytes()
    settle()
    after = rss_bytes()
    # Proof that the instance is whole while it is measured.
    index.fuzzy_match("a", 0)
    print(json.dumps({
        "rss_growth": after - before,
        "peak_growth": top - before,
        "snapshot_bytes": len(blob),
    }))


if __name__ == "__main__":
    main()
