#!/usr/bin/env bash
# Reads and writes through a live volume's device (IRPs with MDLs into the
# engine, the stand-in booted in-process) on a Release build without
# sanitizers, each figure against its anchor measured in the same run (see
# volume_io_bench.cpp).
#   bench/volume_io.sh [--gib N] [--random-reads N] [names...]   names: seq random
# Needs about 2 GiB of free memory with the default size (a 1 GiB volume and
# a 1 GiB anchor area).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$bench_root"
bench_build volume_io_bench ramvol ramenum
exec "$bench_build_dir/bin/volume_io_bench" "$@"
