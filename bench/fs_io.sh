#!/usr/bin/env bash
# A file on a FAT32 RAM disk's letter against the bare device of a volume
# of the same size, from a separate user process through ramvold (Release
# build, no sanitizers): a 1 GiB file written and then read in 1 MiB calls
# through R:\ (target >= 0.5x the same transfers on the device).
#   bench/fs_io.sh [--mib N]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$bench_root"
mib=1024
while [ $# -gt 0 ]; do
  case $1 in
    --mib) mib=$2; shift 2 ;;
    *) echo "usage: bench/fs_io.sh [--mib N]" >&2; exit 2 ;;
  esac
done
"$bench_root/scripts/setup.sh" --bench
bench_build ramvold ramvol ramenum mountmgr raw fat disk fs_io_bench
bench_start_daemon
BRIMWELL_ROOT="$bench_daemon_root" "$bench_build_dir/bin/fs_io_bench" --mib "$mib"
