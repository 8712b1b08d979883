#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into its own build directory and runs the whole pytest suite against it
# (or the pytest arguments given). Fails on any sanitizer report, including
# address reports from subprocesses that a test may have tolerated.
#
#   scripts/sanitize.sh [pytest args...]        default: tests
#   SANITIZE_BUILD_DIR=/path scripts/sanitize.sh  default: build/sanitize
#
# The interpreter itself is not instrumented, so the sanitizer runtime is
# preloaded (it must come first in the process); leak detection is off
# because the interpreter keeps its own allocations until exit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SANITIZE_BUILD_DIR:-$root/build/sanitize}

"$root/scripts/dev-build.sh" "$build" -DARBOLET_SANITIZE=ON >/dev/null

runtime=$(g++ -print-file-name=libasan.so)
cxxlib=$(g++ -print-file-name=libstdc++.so)
if [[ ! -e $runtime ]]; then
    echo "sanitize.sh: no AddressSanitizer runtime found (g++ -print-file-name=libasan.so)" >&2
    exit 2
fi

logs=$(mktemp -d "${TMPDIR:-/tmp}/arbolet-sanitize.XXXXXX")
trap 'rm -rf "$logs"' EXIT

export LD_PRELOAD="$runtime $cxxlib${LD_PRELOAD:+ $LD_PRELOAD}"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:exitcode=86:log_path=$logs/asan:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87:log_path=$logs/ubsan:${UBSAN_OPTIONS:-}"
export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
export PYTHONFAULTHANDLER=1

# Make sure the instrumented module is the one imported.
python3 - "$build" <<'EOF'
import os, sys
import arbolet.arbolet as native
build = os.path.realpath(sys.argv[1])
if not os.path.realpath(native.__file__).startswith(build + os.sep):
    sys.exit(f"sanitize.sh: imported {native.__file__}, not the build in {build}")
EOF

if [[ $# -eq 0 ]]; then set -- "$root/tests"; fi
set +e
(cd "$root" && python3 -m pytest -p no:cacheprovider "$@") 2>&1 | tee "$logs/.pytest-output"
status=${PIPESTATUS[0]}
set -e

# The undefined-behaviour runtime ignores log_path next to the address
# runtime and reports on stderr (then halts with exit code 87), so its
# reports are also looked for in the output.
if compgen -G "$logs/[au]*" >/dev/null || grep -qE "runtime error:|ERROR: AddressSanitizer" "$logs/.pytest-output"; then
    echo "sanitize.sh: sanitizer reports:" >&2
    cat "$logs"/[au]* 2>/dev/null >&2 || true
    exit 1
fi
exit "$status"
