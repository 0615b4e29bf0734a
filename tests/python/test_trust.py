"""Index.build, its notes and the catalogue readers under callers and files that try to
mislead them: entries changed while they are read, nodes numbered in any order, counts
of int subclasses and saturated totals, notes and rows crafted to pass a checksum."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("_brindlex")

from brindlex import Index  # noqa: E402

# Entries as lists whose terms need the Python normaliser; something replaces each
# list's term while the build runs. Only a crash (or a build that does not finish) fails.
MUTATED_CHILD = """
import gc, sys, threading
from brindlex import Index

def fresh(i):
    return "".join(["Crème", str(i)])  # held by its list alone

entries = [[fresh(i), 1, [(i, 1)]] for i in range(N)]
WAY
index = Index.build(entries)
print("built", len(index))
"""

BY_COLLECTOR = """
def replace(phase, info):
    if phase == "start":
        for e in entries:
            e[0] = fresh(-1)
gc.set_threshold(1)
gc.callbacks.append(replace)
"""

BY_THREAD = """
stop = False
def replace():
    while not stop:
        for e in entries:
            e[0] = fresh(-1)
sys.setswitchinterval(1e-6)
threading.Thread(target=replace, daemon=True).start()
"""


@pytest.mark.parametrize("way", [BY_COLLECTOR, BY_THREAD], ids=["collector callback", "thread"])
def test_entries_replaced_during_build_do_not_crash(way):
    code = MUTATED_CHILD.replace("WAY", textwrap.dedent(way)).replace("N", "3000")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p and os.path.isdir(p)))
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", code], env=env, capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.startswith("built ")
