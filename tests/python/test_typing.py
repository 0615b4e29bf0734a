"""The type stubs against the runtime (stubtest) and against typed use (mypy --strict)."""

from __future__ import annotations

import ast
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import _brindlex
from _brindlex import PrefixSearch

pytest.importorskip("mypy", reason="mypy is not installed")

ROOT = Path(__file__).resolve().parents[2]
PYTHON_DIR = ROOT / "python"
STUB = PYTHON_DIR / "_brindlex.pyi"
TYPING_DIR = ROOT / "tests" / "typing"


def run_mypy_tool(module: str, *args: str) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    # The native module as the tests import it, and the sources the stubs describe.
    env["PYTHONPATH"] = os.pathsep.join([str(Path(_brindlex.__file__).parent), str(PYTHON_DIR)])
    env["MYPYPATH"] = str(PYTHON_DIR)
    return subprocess.run(
        [sys.executable, "-m", module, *args],
        cwd=ROOT,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )


def test_stubtest_finds_no_difference():
    result = run_mypy_tool(
        "mypy.stubtest",
        "--allowlist",
        str(TYPING_DIR / "stubtest-allowlist.txt"),
        "_brindlex",
        "brindlex",
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_example_passes_mypy_strict(tmp_path):
    result = run_mypy_tool(
        "mypy",
        "--strict",
        "--cache-dir",
        str(tmp_path / "mypy-cache"),
        str(TYPING_DIR / "example.py"),
        str(PYTHON_DIR / "brindlex"),
        str(STUB),
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_example_runs():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(Path(_brindlex.__file__).parent), str(PYTHON_DIR)])
    result = subprocess.run(
        [sys.executable, str(TYPING_DIR / "example.py")], env=env, capture_output=True, text=True
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


def stub_methods() -> dict[str, ast.FunctionDef]:
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "PrefixSearch"]
    return {n.name: n for n in cls.body if isinstance(n, ast.FunctionDef)}


def test_stub_declares_exactly_the_runtime_methods():
    public = {name for name in vars(PrefixSearch) if not name.startswith("__")}
    assert set(stub_methods()) == public


# stubtest cannot compare fuzzy_match and fuzzy_match_video (see the allowlist), so
# every method's parameters are compared here: names, order, defaults, static or not.
@pytest.mark.parametrize("name", sorted(n for n in vars(PrefixSearch) if not n.startswith("__")))
def test_stub_parameters_match_the_runtime(name):
    node = stub_methods()[name]
    static = any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in node.decorator_list)
    assert static == isinstance(vars(PrefixSearch)[name], staticmethod)

    args = node.args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
    names = [a.arg for a in args.args]
    if not static:
        assert names[0] == "self"
        names = names[1:]
    defaults = [ast.literal_eval(d) for d in args.defaults]
    stub = [(n, inspect.Parameter.empty) for n in names[: len(names) - len(defaults)]]
    stub += list(zip(names[len(names) - len(defaults) :], defaults))

    runtime = [
        (p.name, p.default)
        for p in inspect.signature(getattr(PrefixSearch, name)).parameters.values()
        if p.name != "self"
    ]
    assert stub == runtime
    kinds = {p.kind for p in inspect.signature(getattr(PrefixSearch, name)).parameters.values() if p.name != "self"}
    assert kinds <= {inspect.Parameter.POSITIONAL_OR_KEYWORD}
