#!/usr/bin/env bash
# lettermount's sequential throughput (Release build, no sanitizers): a
# 1 GiB file written and then read with dd in 1 MiB blocks in a folder where
# lettermount shows a FAT32 RAM disk, against the same dd on tmpfs. The
# figures are reported; there is no target.
#   bench/fuse_io.sh [--mib N]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$bench_root"
mib=1024
while [ $# -gt 0 ]; do
  case $1 in
    --mib) mib=$2; shift 2 ;;
    *) echo "usage: bench/fuse_io.sh [--mib N]" >&2; exit 2 ;;
  esac
done
"$bench_root/scripts/setup.sh" --bench
bench_build ramvold ramvol ramenum mountmgr raw fat disk lettermount bench_volume
bench_start_daemon
mount_dir=$(mktemp -d /tmp/bwfuse.XXXXXX)
scratch=$(mktemp -d "$(bench_scratch_dir)/bwfuse.XXXXXX")
finish() {
  fusermount3 -u "$mount_dir" 2>/dev/null || true
  rmdir "$mount_dir" 2>/dev/null || true
  rm -rf "$scratch"
  bench_stop_daemon
}
trap finish EXIT
export BRIMWELL_ROOT="$bench_daemon_root"
"$bench_build_dir/bin/bench_volume" R $((mib + mib / 16 + 64)) fat32 >/dev/null
"$bench_build_dir/bin/lettermount" R: "$mount_dir"

# MiB/s of one dd run: writes end with fsync, so that what is timed is on
# the volume (or in tmpfs), not in a cache.
rate() {
  local start end
  start=$(date +%s%N)
  "$@" status=none
  end=$(date +%s%N)
  awk -v mib="$mib" -v ns=$((end - start)) 'BEGIN { printf "%.1f", mib / (ns / 1e9) }'
}
# One untimed pass first on both, so that the RAM disk's memory and
# tmpfs's pages are taken before the timed pass.
for dir in "$mount_dir" "$scratch"; do
  dd if=/dev/zero of="$dir/warm" bs=1M count="$mib" conv=fsync status=none
  rm "$dir/warm"
done
fuse_write=$(rate dd if=/dev/zero of="$mount_dir/seq" bs=1M count="$mib" conv=fsync)
fuse_read=$(rate dd if="$mount_dir/seq" of=/dev/null bs=1M)
tmpfs_write=$(rate dd if=/dev/zero of="$scratch/seq" bs=1M count="$mib" conv=fsync)
tmpfs_read=$(rate dd if="$scratch/seq" of=/dev/null bs=1M)
echo "fuse-write MiB/s $fuse_write | anchor tmpfs MiB/s $tmpfs_write | ratio $(bench_ratio "$fuse_write" "$tmpfs_write")"
echo "fuse-read  MiB/s $fuse_read | anchor tmpfs MiB/s $tmpfs_read | ratio $(bench_ratio "$fuse_read" "$tmpfs_read")"
