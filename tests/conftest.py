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


def run_engine_check(name):
    """Runs the C++ engine check NAME (tests/cpp/NAME.cpp, built by CMake with -DARBOLET_TESTS=ON into
    engine_checks/ beside the package); it prints "ok" when every check holds."""
    exe = Path(arbolet.__file__).resolve().parents[1] / "engine_checks" / name
    if not exe.is_file():
        pytest.skip("the C++ engine checks are built by scripts/dev-build.sh (cmake -DARBOLET_TESTS=ON)")
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0 and run.stdout.strip() == "ok", run.stdout + run.stderr
