"""The inline stubs match the compiled module, and type-check real use.

Needs mypy; skipped without it. The stubs checked are the ones in the source
tree (python/arbolet/*.pyi); the runtime checked against is the arbolet that
the tests import.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import arbolet

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "python"


def run_mypy_tool(args: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    runtime = str(Path(arbolet.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (runtime, env.get("PYTHONPATH")) if p)
    env["MYPYPATH"] = str(STUBS)
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd, env=env, capture_output=True, text=True, timeout=300,
    )


# Optional extras: where one is not installed, the code that uses it is still
# checked, with its names untyped.
OPTIONAL = ("matplotlib", "pyspark", "pandas", "pyarrow", "river", "tqdm")


def mypy_config(tmp_path: Path, strict: bool = True) -> Path:
    config = tmp_path / "mypy.ini"
    sections = "".join(f"\n[mypy-{name}.*]\nignore_missing_imports = True\n" for name in OPTIONAL)
    config.write_text(f"[mypy]\nstrict = {strict}\ncache_dir = {tmp_path / '.mypy_cache'}\n{sections}")
    return config


def test_stubtest_finds_no_difference(tmp_path: Path) -> None:
    done = run_mypy_tool(
        ["mypy.stubtest", "arbolet", "--allowlist", str(ROOT / "tests" / "stubtest_allowlist.txt"),
         "--mypy-config-file", str(mypy_config(tmp_path, strict=False)), "--ignore-unused-allowlist"], tmp_path
    )
    assert done.returncode == 0, done.stdout + done.stderr


def test_examples_pass_mypy_strict(tmp_path: Path) -> None:
    done = run_mypy_tool(["mypy", "--config-file", str(mypy_config(tmp_path)), str(ROOT / "examples")], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


USE = '''\
    from __future__ import annotations
    import array
    from typing import TYPE_CHECKING
    import arbolet
    if TYPE_CHECKING:
        from arbolet import Attribution, DetailedScore, Neighbor

    forest = arbolet.Forest(2, shingle_size=1, seed=3, time_decay=1e-3, internal_shingling=False)
    forest.update([1, 2.5])
    forest.update((1.0, 2.0))
    forest.update(array.array("f", [1.0, 2.0]))
    parts: list[Attribution] = forest.attribution([1.0, 2.0])
    near: list[Neighbor] = forest.near_neighbors([1.0, 2.0], top_k=3, percentile=0)
    filled: list[float] = forest.impute([1.0, 0.0], missing=[1], centrality=0.5)
    copied: arbolet.Forest = forest.__copy__()
    loaded: arbolet.Forest = arbolet.Forest.from_json(forest.to_json().encode())
    detector = arbolet.MStream(1, 2, alpha=0.5)
    detail: DetailedScore = detector.score_detailed([1.0], [3, -4], 1)
    when: int | None = detector.current_time()
    first: float = detail["numeric_features"][0] + near[0]["point"][0] + parts[0]["above"]
    forest.threads = 2
    batch = forest.score_and_update_many([[1.0, 2.0], (3.0, 4.0)])
    total: float = sum(batch) + batch[0] + sum(detector.update_and_score_many([[1.0]], [[3, -4]], [2]))
    rows: tuple[int, ...] = batch.shape  # a NumPy array where NumPy is installed
    peak: int = int(arbolet.Thresholder().update_many(batch).argmax()) + forest.updates_until_ready

    forest.update("12")  # E: a str is no vector
    forest.update(5)  # E: nor is a number
    detector.update([1.0], [1.5, 2], 3)  # E: codes are integers
    not_a_str: str = forest.score([1.0, 2.0])  # E: scores are floats
    no_key = detail["sum"]  # E: unknown key
    arbolet.Forest.load_json(3)  # E: not a path
    forest.update_many([1.0, 2.0])  # E: rows, not one point
'''


def test_stubs_accept_real_use_and_reject_mistakes(tmp_path: Path) -> None:
    source = textwrap.dedent(USE)
    (tmp_path / "use.py").write_text(source)
    done = run_mypy_tool(["mypy", "--config-file", str(mypy_config(tmp_path)), "use.py"], tmp_path)
    expected = {n for n, line in enumerate(source.splitlines(), 1) if "# E:" in line}
    reported = {int(m[1]) for m in re.finditer(r"^use\.py:(\d+): error", done.stdout, re.MULTILINE)}
    assert reported == expected, done.stdout + done.stderr
