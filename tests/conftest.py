import json
import subprocess
from pathlib import Path

import pytest

import arbolet


def trained_forest(dim=2, n=300, seed=11, **kwargs):
    """A small forest fed a deterministic cluster."""
    import random

    rng = random.Random(seed)
    forest = arbolet.Forest(dim, num_trees=kwargs.pop("num_trees", 10), capacity=kwargs.pop("capacity", 32),
                            seed=seed, **kwargs)
    width = dim * kwargs.get("shingle_size", 1) if not kwargs.get("internal_shingling", True) else dim
    for _ in range(n):
        forest.update([rng.gauss(0.0, 1.0) for _ in range(width)])
    return forest


@pytest.fixture
def small_forest():
    return trained_forest()


def document(detector):
    return json.loads(detector.to_json())


def run_engine_check(tmp_path, name, flags=()):
    """Compiles tests/cpp/NAME.cpp against the forest engine (with extra compiler `flags`) and runs it; it
    prints "ok" when every check holds."""
    src = Path(__file__).resolve().parents[1] / "src"
    sources = [*sorted((src / "rcf").rglob("*.cpp")), *sorted((src / "random").glob("*.cpp")),
               *sorted((src / "common").glob("*.cpp"))]
    exe = tmp_path / name
    build = subprocess.run(
        ["g++", "-std=c++20", "-O2", "-ffp-contract=off", *flags, "-I", str(src),
         str(Path(__file__).parent / "cpp" / f"{name}.cpp"), *map(str, sources), "-o", str(exe)],
        capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0 and run.stdout.strip() == "ok", run.stdout + run.stderr
