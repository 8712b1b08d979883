#!/usr/bin/env bash
# Builds the extension into BUILD_DIR (default build/dev) for use with
# PYTHONPATH=BUILD_DIR, without installing. Extra arguments go to cmake.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build/dev}
shift || true
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
cmake --build "$dir"
