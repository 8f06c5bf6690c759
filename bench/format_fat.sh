#!/usr/bin/env bash
# Formatting speed of fmtimage against mkfs.fat on images in /dev/shm:
# a 2 GiB FAT16 volume and a sparse 32 GiB FAT32 volume, several runs each.
# Prints the median of each and the ratio fmtimage / mkfs.fat (lower is
# better; the target is at most 1).
#
#   bench/format_fat.sh            # 7 runs per case
#   RUNS=11 bench/format_fat.sh
set -euo pipefail
source "$(dirname "$0")/lib.sh"
runs=${RUNS:-7}

mkfs=$(command -v mkfs.fat || true)
[ -z "$mkfs" ] && [ -x /usr/sbin/mkfs.fat ] && mkfs=/usr/sbin/mkfs.fat
[ -z "$mkfs" ] && [ -x /sbin/mkfs.fat ] && mkfs=/sbin/mkfs.fat
if [ -z "$mkfs" ]; then
  echo "mkfs.fat not found: install dosfstools" >&2
  exit 1
fi

bench_build fmtimage
fmtimage=$bench_build_dir/bin/fmtimage

work=$(mktemp -d "$(bench_scratch_dir)/bw-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
image=$work/image

# Wall time of one format of a fresh sparse file, in microseconds.
time_once() {
  local size=$1
  shift
  rm -f "$image"
  truncate -s "$size" "$image"
  sync "$image" 2>/dev/null || true
  bench_time_us "$@" "$image"
}

run_case() {
  local name=$1 size=$2 ours=$3 theirs=$4
  local a=() b=() i
  for ((i = 0; i < runs; i++)); do
    # Alternate so that neither side always runs on a warmer machine.
    a+=("$(time_once "$size" $ours)")
    b+=("$(time_once "$size" $theirs)")
  done
  local ma mb
  ma=$(printf '%s\n' "${a[@]}" | bench_median)
  mb=$(printf '%s\n' "${b[@]}" | bench_median)
  printf '%-22s fmtimage %8s ms   mkfs.fat %8s ms   ratio %s\n' "$name" "$(bench_ms "$ma")" "$(bench_ms "$mb")" \
    "$(bench_ratio "$ma" "$mb")"
}

# Process start-up alone, for reading the small cases: fmtimage loads the
# kernel stand-in and what it links. --help may exit non-zero.
startup_once() { bench_time_any_us "$@"; }

echo "runs per case: $runs (median wall time, files in $(bench_scratch_dir))"
run_case "2 GiB FAT16" 2G "$fmtimage --fs fat --label BENCH" "$mkfs -F 16 -n BENCH"
run_case "32 GiB FAT32 (sparse)" 32G "$fmtimage --fs fat32 --label BENCH" "$mkfs -F 32 -n BENCH"
s=()
m=()
for ((i = 0; i < runs; i++)); do
  s+=("$(startup_once "$fmtimage" --help)")
  m+=("$(startup_once "$mkfs" --help)")
done
printf '%-22s fmtimage %8s ms   mkfs.fat %8s ms\n' "start-up only (--help)" \
  "$(bench_ms "$(printf '%s\n' "${s[@]}" | bench_median)")" "$(bench_ms "$(printf '%s\n' "${m[@]}" | bench_median)")"
