"""Restores one snapshot in a fresh interpreter and prints, as JSON, how resident memory
grew: run by the benchmark, which passes the snapshot's path. A fresh process keeps the
figure free of whatever the benchmark itself allocated and freed before."""

from __future__ import annotations

import ctypes
import gc
import json
import os
import sys

from _brindlex import PrefixSearch

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def peak() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def settle() -> None:
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:
        pass


def main() -> None:
    with open(sys.argv[1], "rb") as f:
        blob = f.read()
    settle()
    # Restart the high-water mark here: it would otherwise hold the reading of the file.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = rss()
    index = PrefixSearch.from_bytes(blob)
    top = peak()
    settle()
    after = rss()
    # Proof that the instance is whole while it is measured.
    index.fuzzy_match("a", 0)
    print(json.dumps({
        "rss_growth": after - before,
        "peak_growth": top - before,
        "snapshot_bytes": len(blob),
    }))


if __name__ == "__main__":
    main()
