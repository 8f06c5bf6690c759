#!/usr/bin/env bash
# The whole test suite: sets up, builds everything under ASan and UBSan, and
# runs every test with CTest. Extra arguments go to ctest (e.g. -L kernel).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --gui
scripts/build.sh
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 300 "$@"
