"""Replays the document fuzzer's oracle over its seeds and over every input
kept in tests/fuzz_regressions/ (hand-made hostile documents: cycles,
indices past their tables, impossible sizes, deep nesting; and inputs the
fuzzer found). Each must load cleanly or be refused cleanly, and a loaded
detector must survive every method. Each runs in a subprocess, so that an
abort fails one test instead of the whole run."""

import importlib.util
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
HARNESS = ROOT / "fuzz" / "fuzz_documents.py"
INPUTS = sorted((ROOT / "tests" / "fuzz_regressions").iterdir())


def _harness():
    spec = importlib.util.spec_from_file_location("fuzz_documents", HARNESS)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_seed_inputs_pass_the_oracle():
    harness = _harness()
    seeds = harness.seed_inputs()
    assert len(seeds) >= 10
    for data in seeds:
        harness.check_one(data)


REPLAY = """
import importlib.util, sys
spec = importlib.util.spec_from_file_location("fuzz_documents", sys.argv[1])
h = importlib.util.module_from_spec(spec)
spec.loader.exec_module(h)
for path in sys.argv[2:]:
    with open(path, "rb") as fh:
        h.check_one(fh.read())
"""


@pytest.mark.parametrize("path", INPUTS, ids=[p.name for p in INPUTS])
def test_kept_input_passes_the_oracle(path):
    run = subprocess.run([sys.executable, "-c", REPLAY, str(HARNESS), str(path)], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr[-4000:]
