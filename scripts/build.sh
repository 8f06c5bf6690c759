#!/usr/bin/env bash
# Configures (once) and builds the test build in build/: every program lands
# in build/bin/. Extra arguments are ninja targets.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f build/build.ninja ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
ninja -C build -j"$(nproc)" "$@"
