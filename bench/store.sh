#!/usr/bin/env bash
# Store and image speed on a Release build without sanitizers, each figure
# against its anchor measured in the same run (see store_bench.cpp).
#   bench/store.sh [--dir DIR] [names...]   names: create seq random save load changed
# Needs about 12 GiB of free memory with the default sizes (DIR defaults to
# /dev/shm); everything it makes is removed again.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBW_SANITIZE=OFF -DBW_TESTS=OFF \
  -DBW_BENCH=ON >/dev/null
ninja -C build-bench -j2 store_bench >/dev/null
exec build-bench/bin/store_bench "$@"
