#!/usr/bin/env bash
# Times the engine's NTFS formatter (through fmtimage) against mkntfs on
# sparse images in memory, and prints the medians and their ratio.
#
#   bench/format_ntfs.sh            # 4 GiB and 64 GiB, 7 runs each
#   RUNS=11 SIZES="4G" bench/format_ntfs.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
runs=${RUNS:-7}
sizes=${SIZES:-"4G 64G"}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBW_SANITIZE=OFF \
      -DBW_TESTS=OFF >/dev/null
ninja -C "$build" -j2 fmtimage >/dev/null
fmtimage=$build/bin/fmtimage
mkntfs=$(command -v mkntfs || echo /usr/sbin/mkntfs)
if [[ ! -x $mkntfs ]]; then
  echo "mkntfs is not installed (package ntfs-3g)" >&2
  exit 1
fi

dir=/dev/shm
[[ -w $dir ]] || dir=${TMPDIR:-/tmp}
image=$dir/bw-format-bench-$$.img
trap 'rm -f "$image"' EXIT

# Microseconds one command takes on a fresh sparse image.
time_once() {
  local size=$1
  shift
  rm -f "$image"
  truncate -s "$size" "$image"
  local start end
  start=$(date +%s%N)
  "$@" "$image" >/dev/null 2>&1
  end=$(date +%s%N)
  echo $(((end - start) / 1000))
}

median() {
  sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

printf '%-6s %14s %14s %8s\n' size "fmtimage ms" "mkntfs ms" ratio
for size in $sizes; do
  ours=$(for ((i = 0; i < runs; i++)); do time_once "$size" "$fmtimage" --fs ntfs --label Bench; done | median)
  theirs=$(for ((i = 0; i < runs; i++)); do time_once "$size" "$mkntfs" -f -F -q -L Bench; done | median)
  awk -v s="$size" -v a="$ours" -v b="$theirs" \
      'BEGIN { printf "%-6s %14.1f %14.1f %8.2f\n", s, a / 1000, b / 1000, a / b }'
done
