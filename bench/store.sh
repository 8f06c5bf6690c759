#!/usr/bin/env bash
# Store and image speed on a Release build without sanitizers, each figure
# against its anchor measured in the same run (see store_bench.cpp).
#   bench/store.sh [--dir DIR] [names...]   names: create seq random save load changed
# Needs about 12 GiB of free memory with the default sizes (DIR defaults to
# /dev/shm); everything it makes is removed again.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$bench_root"
bench_build store_bench
exec "$bench_build_dir/bin/store_bench" "$@"
