"""What the built package promises: stable-ABI extension, typed, one version."""

from __future__ import annotations

import importlib.util
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import arbolet
import arbolet.arbolet as native

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = Path(arbolet.__file__).resolve().parent


def test_version_comes_from_pyproject() -> None:
    with open(ROOT / "pyproject.toml", "rb") as f:
        assert arbolet.__version__ == tomllib.load(f)["project"]["version"]


@pytest.mark.skipif(importlib.util.find_spec("abi3audit") is None, reason="abi3audit is not installed")
def test_extension_uses_only_the_stable_abi_of_311() -> None:
    library = Path(native.__file__)
    assert library.name.endswith(".abi3.so")
    done = subprocess.run(
        [sys.executable, "-m", "abi3audit", "--strict", "--assume-minimum-abi3", "3.11", "--verbose", str(library)],
        capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.skipif((PACKAGE.parent / "CMakeCache.txt").exists(), reason="a developer build tree carries no stubs")
def test_installed_package_is_typed() -> None:
    for name in ("py.typed", "__init__.pyi", "arbolet.pyi"):
        assert (PACKAGE / name).is_file(), name
