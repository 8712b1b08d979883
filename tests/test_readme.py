"""Every Python code block of the README and of the documentation site runs as written.

Each block is a complete program (a reader can paste any one of them into a
file), so each runs in its own interpreter, in an empty working directory,
against the same arbolet that the tests import. A block that only includes a
file (the examples gallery) is left to the tests of that file.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import arbolet

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
PAGES = [README, *sorted((ROOT / "docs").rglob("*.md"))]
FENCE = re.compile(r"^```(\w*)[^\n]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)
INCLUDE = re.compile(r"^(--8<-- .*\n?)+$")


def python_blocks(page: Path = README) -> list[tuple[int, str]]:
    """(line of the opening fence, code) for each ```python block of a page."""
    text = page.read_text(encoding="utf-8")
    return [
        (text.count("\n", 0, match.start()) + 1, match.group(2))
        for match in FENCE.finditer(text)
        if match.group(1) == "python" and not INCLUDE.match(match.group(2))
    ]


def all_blocks() -> list[tuple[str, int, str]]:
    return [(page.relative_to(ROOT).as_posix(), *block) for page in PAGES for block in python_blocks(page)]


def env_with_arbolet() -> dict[str, str]:
    """Lets child interpreters import the arbolet under test, installed or from a build tree."""
    env = dict(os.environ)
    root = str(Path(arbolet.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (root, env.get("PYTHONPATH")) if p)
    return env


def test_readme_keeps_the_two_commands_at_the_top() -> None:
    blocks = [m.group(2).strip() for m in FENCE.finditer(README.read_text(encoding="utf-8"))]
    assert blocks[:2] == [
        "pip install . && python examples/quickstart.py",
        'pip install ".[test]" && python -m pytest tests',
    ]


def test_readme_and_site_have_python_blocks() -> None:
    assert len(python_blocks()) >= 2 and len(all_blocks()) >= 30


@pytest.mark.parametrize("page, line, code", [pytest.param(*block, id=f"{block[0]}:{block[1]}") for block in all_blocks()])
def test_block_runs(page: str, line: int, code: str, tmp_path: Path) -> None:
    script = tmp_path / f"block_line{line}.py"
    script.write_text(code, encoding="utf-8")
    done = subprocess.run(
        [sys.executable, str(script)], cwd=tmp_path, env=env_with_arbolet(),
        capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, f"{page}: block at line {line} failed:\n{done.stdout}\n{done.stderr}"
