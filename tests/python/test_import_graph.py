"""The package's modules import each other without a circle: every import counts, at any
depth (one inside a function or under ``if TYPE_CHECKING`` too), so that each module can
be read, and loaded, after the ones it names."""

from __future__ import annotations

import ast
from pathlib import Path

PACKAGE = Path(__file__).resolve().parents[2] / "python" / "brindlex"


def module_name(path: Path, root: Path) -> str:
    parts = list(path.relative_to(root.parent).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def imports_of(tree: ast.AST, name: str, is_package: bool, modules: set[str]) -> set[str]:
    """The package's modules that ``name`` imports anywhere in its source."""
    here = name if is_package else name.rpartition(".")[0]
    found: set[str] = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = here.rsplit(".", node.level - 1)[0] if node.level > 1 else here
                target = f"{base}.{node.module}" if node.module else base
            else:
                target = node.module or ""
            # ``from pkg import mod`` imports the module; ``from mod import name`` the module.
            names = {f"{target}.{alias.name}" for alias in node.names}
            submodules = names & modules
            found.update(submodules if submodules else {target})
            if submodules != names:
                found.add(target)
    return found & modules


def import_graph() -> dict[str, set[str]]:
    paths = sorted(PACKAGE.rglob("*.py"))
    names = {module_name(path, PACKAGE): path for path in paths}
    return {
        name: imports_of(ast.parse(path.read_text(encoding="utf-8")), name, path.name == "__init__.py", set(names))
        - {name}
        for name, path in names.items()
    }


def find_cycle(graph: dict[str, set[str]]) -> list[str] | None:
    """One circle of the graph as the modules along it, or None."""
    state: dict[str, int] = {}  # 1 while on the path, 2 when done
    path: list[str] = []

    def visit(node: str) -> list[str] | None:
        state[node] = 1
        path.append(node)
        for nxt in sorted(graph[node]):
            if state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt]
            if nxt not in state and (cycle := visit(nxt)):
                return cycle
        path.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state and (cycle := visit(node)):
            return cycle
    return None


def test_the_package_imports_form_no_circle():
    graph = import_graph()
    # The graph is the package's: its modules and the imports between them were found.
    assert {"brindlex", "brindlex._index", "brindlex._files", "brindlex.cli._commands"} <= set(graph)
    assert "brindlex._files" in graph["brindlex._index"]
    assert "brindlex.cli._loading" in graph["brindlex.cli._commands"]
    assert sum(map(len, graph.values())) > 30
    cycle = find_cycle(graph)
    assert cycle is None, "the package's modules import in a circle: " + " -> ".join(cycle or [])


def test_a_lazy_import_inside_a_function_closes_a_circle():
    source = "def f():\n    if True:\n        from ._index import Index\n"
    graph = import_graph()
    graph["brindlex._files"] |= imports_of(ast.parse(source), "brindlex._files", False, set(graph))
    assert find_cycle(graph) is not None
