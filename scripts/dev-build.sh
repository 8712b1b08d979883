#!/usr/bin/env bash
# Builds the extension into BUILD_DIR (default build/dev) for use with
# PYTHONPATH=BUILD_DIR, without installing, together with the C++ engine
# checks (run by pytest, or by `ctest --test-dir BUILD_DIR`). Warnings are
# errors here, unlike in a user's build. Extra arguments go to cmake; the
# compiler comes from CXX as usual (CXX=clang++ scripts/dev-build.sh ...).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build/dev}
shift || true
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$(command -v python3)" \
    -DARBOLET_WERROR=ON -DARBOLET_TESTS=ON "$@" >/dev/null
cmake --build "$dir"
