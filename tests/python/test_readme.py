"""The examples of the README and of every page in docs/, run as they stand, so that the
manual cannot drift from what the package does: each page runs in order as one session
(a block of ``>>>`` lines is a doctest, any other block runs as it is), in a folder that
holds the sample catalogue's index, ``catalogue.brx``, as the README's commands make it.
And every relative link of those pages leads to a file that exists and, with an
``#anchor``, to one of its headings."""

from __future__ import annotations

import doctest
import re
import textwrap
from pathlib import Path

import pytest

from brindlex import cli

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
LINKED = [*PAGES, ROOT / "benchmarks" / "README.md", ROOT / "CHANGELOG.md"]
BLOCK = re.compile(r"^( *)```python\n(.*?)^\1```$", re.MULTILINE | re.DOTALL)
FENCE = re.compile(r"^ *```.*?^ *```$", re.MULTILINE | re.DOTALL)
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^#{1,6} +(.+?) *#*$", re.MULTILINE)


def run_page(page: Path) -> tuple[int, int, list[str]]:
    """Runs the page's Python blocks; returns the blocks, the doctest examples tried and
    the report of those that failed."""
    text = page.read_text(encoding="utf-8")
    session: dict[str, object] = {"__name__": "docs"}
    runner = doctest.DocTestRunner()
    report: list[str] = []
    blocks = 0
    for block in BLOCK.finditer(text):
        line = text.count("\n", 0, block.start()) + 1
        code = textwrap.dedent(block.group(2))
        name = f"{page.relative_to(ROOT)}, the block at line {line}"
        if ">>>" in code:
            test = doctest.DocTestParser().get_doctest(code, session, name, str(page), line)
            test.globs = session  # one namespace for the whole page
            runner.run(test, out=report.append, clear_globs=False)
        else:
            exec(compile(code, name, "exec"), session)
        blocks += 1
    return blocks, runner.tries, report if runner.failures else []


# The least each page holds: a page whose examples are no longer found fails.
LEAST = {"README.md": (4, 8), "docs/api.md": (5, 15), "docs/engine.md": (4, 12), "docs/serving.md": (1, 0)}


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(ROOT)))
def test_examples_run_as_shown(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # the examples write files
    assert cli.main(["build", str(ROOT / "samples" / "catalogue.tsv"), "-o", "catalogue.brx"]) == 0
    blocks, tries, failures = run_page(page)
    assert not failures, "".join(failures)
    least = LEAST.get(str(page.relative_to(ROOT)), (0, 0))
    assert blocks >= least[0] and tries >= least[1], (
        f"{page.name}: {blocks} blocks and {tries} examples found, fewer than {least}"
    )


def anchor(heading: str) -> str:
    """The anchor a heading gets: lower case, punctuation dropped but for - and _, a
    hyphen for each space."""
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading).lower()
    return re.sub(r"[^\w\- ]", "", text).replace(" ", "-")


def anchors(page: Path) -> set[str]:
    text = FENCE.sub("", page.read_text(encoding="utf-8"))
    return {anchor(h) for h in HEADING.findall(text)}


def broken_links(page: Path) -> list[str]:
    text = FENCE.sub("", page.read_text(encoding="utf-8"))
    text = re.sub(r"`[^`\n]*`", "", text)  # code spans hold no links
    broken = []
    for target in LINK.findall(text):
        if re.match(r"[a-z][a-z0-9+.-]*:", target):  # https:, mailto:
            continue
        path, _, fragment = target.partition("#")
        linked = (page.parent / path).resolve() if path else page
        if not linked.exists():
            broken.append(f"{target}: no such file")
        elif fragment and (linked.suffix != ".md" or fragment not in anchors(linked)):
            broken.append(f"{target}: no such heading")
    return broken


@pytest.mark.parametrize("page", LINKED, ids=lambda p: str(p.relative_to(ROOT)))
def test_links_lead_somewhere(page):
    assert broken_links(page) == []


def test_a_broken_link_or_anchor_is_found(tmp_path):
    (tmp_path / "there.md").write_text("# A `Heading`: here\n\n```\n# not a heading\n```\n", encoding="utf-8")
    page = tmp_path / "page.md"
    page.write_text(
        "[ok](there.md#a-heading-here) [self](#top) [gone](missing.md) [bad](there.md#not-a-heading)\n"
        "[web](https://example.org/x) `[code](nowhere.md)`\n\n# Top\n",
        encoding="utf-8",
    )
    assert broken_links(page) == ["missing.md: no such file", "there.md#not-a-heading: no such heading"]
