#!/usr/bin/env bash
# The test suite under ThreadSanitizer, in build-tsan/: finds data races the
# ASan build can miss. Not part of the README's test command (it doubles
# the build); run it after touching threads, locks or shutdown paths.
# Extra arguments go to ctest (e.g. -L kernel).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
BUILD_DIR=build-tsan scripts/build.sh -DBW_SANITIZE=OFF "-DCMAKE_CXX_FLAGS=-fsanitize=thread -O1" \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
  -DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread
# Child processes (ramvold, devio) report into the test's output as well.
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp}"
ctest --test-dir build-tsan --output-on-failure -j"$(nproc)" --timeout 600 "$@"
