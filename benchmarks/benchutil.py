"""Timing, memory and table helpers of the benchmark."""

from __future__ import annotations

import contextlib
import ctypes
import gc
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np

_PAGE = os.sysconf("SC_PAGE_SIZE")
try:
    _libc: Any = ctypes.CDLL("libc.so.6")
except OSError:  # not glibc: RSS figures then include freed but unreturned heap
    _libc = None


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE


def process_peak_rss_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def reset_peak() -> bool:
    """Restarts the kernel's resident high-water mark (VmHWM) at the current RSS, so that
    peak_bytes() then gives the peak of what follows. False where that is not allowed."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_bytes() -> int:
    """The resident high-water mark since the last reset_peak() (or process start)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def settle() -> None:
    """Frees what can be freed, so that an RSS reading shows live memory only: a full
    collection, then glibc hands its free heap pages back to the system."""
    gc.collect()
    if _libc is not None:
        _libc.malloc_trim(0)


def timer_floor_ns(n: int = 20_000) -> int:
    """Median cost of an empty timed region: what every per-call figure includes."""
    pc = time.perf_counter_ns
    samples = []
    for _ in range(n):
        t0 = pc()
        samples.append(pc() - t0)
    return int(statistics.median(samples))


@contextlib.contextmanager
def gc_paused() -> Iterator[None]:
    """Pauses the cycle collector while timing: it runs at moments set by everything else
    the process allocates, which would make single calls look slow at random."""
    collecting = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if collecting:
            gc.enable()


def per_query_ns(
    fn: Callable[..., Any],
    arglists: Sequence[tuple[Any, ...]],
    *,
    min_reps: int,
    max_reps: int,
    target_ns: int,
    sized: bool = True,
) -> tuple[np.ndarray, list[int]]:
    """Times fn(*args) for each argument tuple: one warm-up call (whose result size is
    kept), one probe call that sets the repetition count so that the query gets about
    target_ns of timed calls (between min_reps and max_reps), then that many calls, each
    timed on its own. Returns each query's median call time and the result sizes (1 for
    every result when not `sized`: a count or a truth value)."""
    pc = time.perf_counter_ns
    medians = np.empty(len(arglists), dtype=np.int64)
    sizes: list[int] = []
    with gc_paused():
        for qi, args in enumerate(arglists):
            first = fn(*args)
            sizes.append(len(first) if sized else 1)
            t0 = pc()
            fn(*args)
            probe = pc() - t0
            reps = max(min_reps, min(max_reps, target_ns // max(probe, 1)))
            samples = [0] * reps
            for i in range(reps):
                t0 = pc()
                fn(*args)
                samples[i] = pc() - t0
            medians[qi] = statistics.median(samples)
    return medians, sizes


def cold_ns(
    fn: Callable[..., Any], arglists: Sequence[tuple[Any, ...]], sized: bool = True
) -> tuple[np.ndarray, list[int]]:
    """Times fn(*args) once per argument tuple, in sequence, as a server meets queries:
    no warm-up and no repetition. Returns the call times and the result sizes (see
    per_query_ns)."""
    pc = time.perf_counter_ns
    ns = np.empty(len(arglists), dtype=np.int64)
    sizes: list[int] = []
    with gc_paused():
        for qi, args in enumerate(arglists):
            t0 = pc()
            r = fn(*args)
            ns[qi] = pc() - t0
            sizes.append(len(r) if sized else 1)
    return ns, sizes


def summary_us(ns: np.ndarray) -> dict[str, float]:
    """Median, 99th percentile and mean of per-query times, in microseconds."""
    if len(ns) == 0:
        return {"median_us": float("nan"), "p99_us": float("nan"), "mean_us": float("nan")}
    return {
        "median_us": float(np.median(ns)) / 1e3,
        "p99_us": float(np.percentile(ns, 99)) / 1e3,
        "mean_us": float(np.mean(ns)) / 1e3,
    }


def timed(fn: Callable[[], Any]) -> tuple[float, Any]:
    t0 = time.perf_counter()
    result = fn()
    return time.perf_counter() - t0, result


def from_bytes_rss(blob: bytes) -> dict[str, int]:
    """Restores a snapshot in a fresh interpreter and reports what it costs there: the
    resident growth that stays (the instance) and the peak growth while restoring."""
    import _brindlex

    module_dir = str(Path(_brindlex.__file__).resolve().parent)
    with tempfile.NamedTemporaryFile(suffix=".snap", delete=False) as f:
        f.write(blob)
        path = f.name
    try:
        probe = Path(__file__).with_name("memprobe.py")
        env = dict(os.environ, PYTHONPATH=module_dir)
        out = subprocess.run(
            [sys.executable, str(probe), path], env=env, check=True, capture_output=True, text=True
        )
        return json.loads(out.stdout)
    finally:
        os.unlink(path)


# -- plain text tables ---------------------------------------------------------------


def fmt(value: Any, digits: int = 1) -> str:
    if value is None:
        return "-"
    if isinstance(value, str):
        return value
    if isinstance(value, (int, np.integer)):
        return f"{int(value):,}"
    if value != value:  # NaN
        return "-"
    if abs(value) >= 1000:
        return f"{value:,.0f}"
    return f"{value:.{digits}f}"


def table(headers: Sequence[str], rows: Sequence[Sequence[Any]], digits: int = 1) -> str:
    """A plain text table: the first column left-aligned, the others right-aligned."""
    cells = [[fmt(v, digits) for v in row] for row in rows]
    widths = [max(len(h), *(len(r[i]) for r in cells)) if cells else len(h) for i, h in enumerate(headers)]

    def line(values: Sequence[str]) -> str:
        parts = [
            values[i].ljust(widths[i]) if i == 0 else values[i].rjust(widths[i]) for i in range(len(values))
        ]
        return "  ".join(parts).rstrip()

    sep = "  ".join("-" * w for w in widths)
    return "\n".join([line(list(headers)), sep, *(line(r) for r in cells)])


def section(title: str) -> None:
    print()
    print(title)
    print("=" * len(title))


def target(value: float, limit: float, unit: str = "", *, at_least: bool = False) -> str:
    """A figure's target and whether this run met it: "target ≤ 0.8 us: met", or with
    ``at_least`` "target ≥ 1000 MB/s: missed"."""
    met = value >= limit if at_least else value <= limit
    return f"target {'≥' if at_least else '≤'} {limit:g}{unit}: {'met' if met else 'missed'}"
