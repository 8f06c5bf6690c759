#!/usr/bin/env bash
# Times the engine's NTFS formatter (through fmtimage) against mkntfs on
# sparse images in memory, and prints the medians and their ratio.
#
#   bench/format_ntfs.sh            # 4 GiB and 64 GiB, 7 runs each
#   RUNS=11 SIZES="4G" bench/format_ntfs.sh
set -euo pipefail
source "$(dirname "$0")/lib.sh"
runs=${RUNS:-7}
sizes=${SIZES:-"4G 64G"}

mkntfs=$(command -v mkntfs || echo /usr/sbin/mkntfs)
if [[ ! -x $mkntfs ]]; then
  echo "mkntfs is not installed (package ntfs-3g)" >&2
  exit 1
fi
bench_build fmtimage
fmtimage=$bench_build_dir/bin/fmtimage

image=$(bench_scratch_dir)/bw-format-bench-$$.img
trap 'rm -f "$image"' EXIT

# Microseconds one command takes on a fresh sparse image.
time_once() {
  local size=$1
  shift
  rm -f "$image"
  truncate -s "$size" "$image"
  bench_time_us "$@" "$image"
}

printf '%-6s %14s %14s %8s\n' size "fmtimage ms" "mkntfs ms" ratio
for size in $sizes; do
  ours=$(for ((i = 0; i < runs; i++)); do time_once "$size" "$fmtimage" --fs ntfs --label Bench; done | bench_median)
  theirs=$(for ((i = 0; i < runs; i++)); do time_once "$size" "$mkntfs" -f -F -q -L Bench; done | bench_median)
  printf '%-6s %14s %14s %8s\n' "$size" "$(bench_ms "$ours")" "$(bench_ms "$theirs")" "$(bench_ratio "$ours" "$theirs")"
done
