"""Every example runs in its own interpreter and says what it should."""

from __future__ import annotations

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import arbolet

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def run_example(name: str, cwd: Path, *args: str) -> str:
    env = dict(os.environ)
    root = str(Path(arbolet.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (root, env.get("PYTHONPATH")) if p)
    env["MPLBACKEND"] = "Agg"
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / name), *args], cwd=cwd, env=env,
        capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, f"{name} failed:\n{done.stdout}\n{done.stderr}"
    return done.stdout


def test_every_example_is_covered() -> None:
    covered = {"quickstart.py", "mstream_records.py", "plot_anomalies.py", "checkpoint.py", "parallel_streams.py",
               "spark_per_key.py"}  # the last one in test_spark.py
    assert {p.name for p in EXAMPLES.glob("*.py")} == covered


def test_quickstart_catches_every_injected_anomaly(tmp_path: Path) -> None:
    out = run_example("quickstart.py", tmp_path)
    # one alarm per anomaly: none for a spike's echo in the shingle, none where the dropout ends
    assert "5 alarms:" in out and "dropout begins" in out and "dropout ends" not in out
    assert "caught 5 of 5 injected anomalies; 0 false alarms" in out
    # Seeded data and a seeded forest: the report is the same on every run.
    assert run_example("quickstart.py", tmp_path) == out


def test_mstream_records_ranks_the_burst_first(tmp_path: Path) -> None:
    out = run_example("mstream_records.py", tmp_path)
    found = re.search(r"(\d+) of the (\d+) highest-scoring records belong to the burst", out)
    assert found, out
    assert int(found[2]) == 180 and int(found[1]) >= 170, out


def test_checkpoint_resumes_identically(tmp_path: Path) -> None:
    out = run_example("checkpoint.py", tmp_path)
    assert out.count("identical to the original: True") == 3
    assert "identical: True" in out


def test_parallel_streams_match_a_single_process(tmp_path: Path) -> None:
    out = run_example("parallel_streams.py", tmp_path)
    assert "identical to a single-process run: True" in out
    # The glitch injected into "east" is the one alarm of the four streams, none in the warm-up.
    reports = {line.split(":")[0].strip(): line for line in out.splitlines() if "readings," in line}
    assert reports["east"].endswith(f"alarms at readings [{2 * 300 + 123}]")
    assert all(reports[key].endswith("no alarm") for key in ("north", "south", "west"))


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None, reason="matplotlib is not installed")
def test_plot_anomalies_writes_a_png(tmp_path: Path) -> None:
    out = run_example("plot_anomalies.py", tmp_path, "picture.png")
    assert (tmp_path / "picture.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "wrote picture.png" in out
    assert "usage:" in run_example("plot_anomalies.py", tmp_path, "--help") and not (tmp_path / "--help.png").exists()
