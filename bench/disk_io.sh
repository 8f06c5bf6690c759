#!/usr/bin/env bash
# What hard-disk emulation costs (see disk_io_bench.cpp), on a Release build
# without sanitizers: sequential 1 MiB transfers through an emulated disk's
# partition against an own-device volume, and creating a FAT32 volume up to
# its letter, each pair measured in the same run.
#   bench/disk_io.sh [--gib N] [names...]   names: seq create
# Needs about 2.5 GiB of free memory with the default size.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$bench_root"
bench_build disk_io_bench ramvol ramenum mountmgr raw fat disk
exec "$bench_build_dir/bin/disk_io_bench" "$@"
