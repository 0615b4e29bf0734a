"""The README's Python examples, run in order as one session, so the manual cannot drift
from what the package does: a block of ``>>>`` lines is a doctest, any other block runs
as it is."""

import doctest
import re
import textwrap
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"
BLOCK = re.compile(r"^( *)```python\n(.*?)^\1```$", re.MULTILINE | re.DOTALL)


def test_readme_examples_run_as_shown(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # the examples write files
    text = README.read_text(encoding="utf-8")
    session: dict[str, object] = {"__name__": "readme"}
    runner = doctest.DocTestRunner()
    report: list[str] = []
    blocks = 0
    for block in BLOCK.finditer(text):
        line = text.count("\n", 0, block.start()) + 1
        code = textwrap.dedent(block.group(2))
        name = f"README.md, the block at line {line}"
        if ">>>" in code:
            test = doctest.DocTestParser().get_doctest(code, session, name, str(README), line)
            test.globs = session  # one namespace for the whole tour
            runner.run(test, out=report.append, clear_globs=False)
        else:
            exec(compile(code, name, "exec"), session)
        blocks += 1
    assert runner.failures == 0, "".join(report)
    assert blocks >= 5 and runner.tries >= 10, "the README's examples were not found"
