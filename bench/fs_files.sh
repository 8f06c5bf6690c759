#!/usr/bin/env bash
# Many small files in one folder of a FAT32 RAM disk's letter, from a
# separate user process through ramvold (Release build, no sanitizers):
# 10 000 files of 100 bytes created, listed and deleted through the Win32
# calls, against the same with POSIX calls on tmpfs (aim: no worse than 20x).
#   bench/fs_files.sh [--files N] [--no-hold]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$bench_root"
files=10000
extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --files) files=$2; shift 2 ;;
    --no-hold) extra+=(--no-hold); shift ;;
    *) echo "usage: bench/fs_files.sh [--files N] [--no-hold]" >&2; exit 2 ;;
  esac
done
"$bench_root/scripts/setup.sh" --bench
bench_build ramvold ramvol ramenum mountmgr raw fat disk fs_files_bench
bench_start_daemon
BRIMWELL_ROOT="$bench_daemon_root" "$bench_build_dir/bin/fs_files_bench" --files "$files" ${extra[@]+"${extra[@]}"} \
  --tmpfs "$(bench_scratch_dir)"
