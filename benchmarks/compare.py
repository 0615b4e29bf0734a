"""Before and after in one run: the benchmark's target sections (bench.py --targets) on two
builds of brindlex, in turn, each in a fresh interpreter, and every figure that has a
target printed beside its counterpart.

    python3 benchmarks/compare.py BEFORE AFTER [--rounds N] [--quick] [--log DIR]

BEFORE and AFTER are working trees of the project, each built (tools/build release): a
run imports the tree's build/release and python/, and measures with this tree's
benchmark code, so both builds meet the same measurements. `make bench-compare
BASE=<commit>` checks the commit out under build/base, builds both and runs this. With several rounds the order turns
about each round (before, after; after, before; ...), so that a change of the machine's
load meets both builds alike. --log keeps each run's whole output.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def run(tree: Path, quick: bool) -> str:
    env = dict(os.environ, PYTHONPATH=f"{tree / 'build' / 'release'}{os.pathsep}{tree / 'python'}")
    command = [sys.executable, str(HERE / "bench.py"), "--targets"] + (["--quick"] if quick else [])
    done = subprocess.run(command, env=env, cwd=HERE.parent, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        sys.exit(f"{tree}: bench.py failed ({done.returncode}):\n{done.stdout[-2000:]}{done.stderr[-4000:]}")
    return done.stdout


def target_lines(output: str) -> list[str]:
    """The lines that state a target, with the section they are in, in order."""
    lines, section, previous = [], "", ""
    for line in output.splitlines():
        if line and set(line) == {"="}:
            section = previous
        elif "target" in line.lower():
            lines.append(f"[{section}] {line.strip()}")
        previous = line
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("before", type=Path)
    parser.add_argument("after", type=Path)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--log", type=Path)
    args = parser.parse_args()
    for tree in (args.before, args.after):
        if not (tree / "build" / "release").is_dir():
            parser.error(f"{tree}: no build/release here: build it with tools/build release")
    outputs: dict[str, list[str]] = {"before": [], "after": []}
    for r in range(args.rounds):
        order = ("before", "after") if r % 2 == 0 else ("after", "before")
        for name in order:
            tree = args.before if name == "before" else args.after
            print(f"round {r + 1}: {name} ({tree}) ...", file=sys.stderr, flush=True)
            text = run(tree, args.quick)
            outputs[name].append(text)
            if args.log:
                args.log.mkdir(parents=True, exist_ok=True)
                (args.log / f"{name}-{r + 1}.txt").write_text(text)
    print(f"load average at the end {os.getloadavg()[0]:.2f}; {args.rounds} round(s), order turned each round")
    before = [target_lines(t) for t in outputs["before"]]
    after = [target_lines(t) for t in outputs["after"]]
    for i, first in enumerate(before[0]):
        print()
        for r in range(args.rounds):
            print(f"  before {r + 1}: {before[r][i] if i < len(before[r]) else '-'}")
        for r in range(args.rounds):
            print(f"  after  {r + 1}: {after[r][i] if i < len(after[r]) else '-'}")
    if any(len(a) != len(before[0]) for a in after):
        print("\n(the two builds print different target lines: read the logs side by side)")


if __name__ == "__main__":
    main()
