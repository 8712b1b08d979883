"""What the built package promises: stable-ABI extension, typed, one version."""

from __future__ import annotations

import importlib.util
import re
import shutil
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


@pytest.mark.skipif(not sys.platform.startswith("linux") or shutil.which("objdump") is None, reason="Linux binaries only")
def test_module_needs_no_glibc_newer_than_its_wheel_tag() -> None:
    # The wheel is tagged manylinux_2_31 (.ci/run, README); a newer symbol
    # version comes from a new C library call, to be pinned in
    # src/platform/glibc_symbols.cpp.
    dump = subprocess.run(["objdump", "-T", "-p", native.__file__], capture_output=True, text=True, check=True).stdout
    if "NEEDED               libstdc++" in dump:
        pytest.skip("a build with the shared C++ runtime (sanitizers)")
    versions = {tuple(map(int, v.split("."))) for v in re.findall(r"\bGLIBC_([0-9.]+)\b", dump)}
    assert max(versions) <= (2, 31), sorted(v for v in versions if v > (2, 31))


@pytest.mark.skipif((PACKAGE.parent / "CMakeCache.txt").exists(), reason="a developer build tree carries no stubs")
def test_installed_package_is_typed() -> None:
    for name in ("py.typed", "__init__.pyi", "arbolet.pyi"):
        assert (PACKAGE / name).is_file(), name


def test_all_extra_installs_every_integration() -> None:
    extras = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]
    (everything,) = extras["all"]
    named = re.fullmatch(r"arbolet\[(.*)\]", everything)
    assert named is not None and set(named.group(1).split(",")) == set(extras) - {"all", "test", "docs"}

