#!/usr/bin/env bash
# Formatting speed of fmtimage against mkfs.fat on images in /dev/shm:
# a 2 GiB FAT16 volume and a sparse 32 GiB FAT32 volume, several runs each.
# Prints the median of each and the ratio fmtimage / mkfs.fat (lower is
# better; the target is at most 1).
#
#   bench/format_fat.sh            # 7 runs per case
#   RUNS=11 bench/format_fat.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
runs=${RUNS:-7}

mkfs=$(command -v mkfs.fat || true)
[ -z "$mkfs" ] && [ -x /usr/sbin/mkfs.fat ] && mkfs=/usr/sbin/mkfs.fat
[ -z "$mkfs" ] && [ -x /sbin/mkfs.fat ] && mkfs=/sbin/mkfs.fat
if [ -z "$mkfs" ]; then
  echo "mkfs.fat not found: install dosfstools" >&2
  exit 1
fi

log=$(mktemp)
if ! { cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBW_SANITIZE=OFF \
         -DBW_TESTS=OFF && ninja -C "$build" fmtimage; } >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  echo "build failed" >&2
  exit 1
fi
rm -f "$log"
fmtimage=$build/bin/fmtimage

work=$(mktemp -d /dev/shm/bw-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
image=$work/image

# Wall time of one format of a fresh sparse file, in microseconds.
time_once() {
  local size=$1
  shift
  rm -f "$image"
  truncate -s "$size" "$image"
  sync "$image" 2>/dev/null || true
  local start end
  start=$(date +%s%N)
  "$@" "$image" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  end=$(date +%s%N)
  echo $(((end - start) / 1000))
}

median() {
  sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'
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
  ma=$(printf '%s\n' "${a[@]}" | median)
  mb=$(printf '%s\n' "${b[@]}" | median)
  printf '%-22s fmtimage %8.1f ms   mkfs.fat %8.1f ms   ratio %.2f\n' "$name" \
    "$(echo "$ma" | awk '{ print $1 / 1000 }')" "$(echo "$mb" | awk '{ print $1 / 1000 }')" \
    "$(awk -v a="$ma" -v b="$mb" 'BEGIN { print (b > 0 ? a / b : 0) }')"
}

# Process start-up alone, for reading the small cases: fmtimage loads the
# kernel stand-in and what it links.
startup_once() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s%N)
  echo $(((end - start) / 1000))
}

echo "runs per case: $runs (median wall time, files in /dev/shm)"
run_case "2 GiB FAT16" 2G "$fmtimage --fs fat --label BENCH" "$mkfs -F 16 -n BENCH"
run_case "32 GiB FAT32 (sparse)" 32G "$fmtimage --fs fat32 --label BENCH" "$mkfs -F 32 -n BENCH"
s=()
m=()
for ((i = 0; i < runs; i++)); do
  s+=("$(startup_once "$fmtimage" --help)")
  m+=("$(startup_once "$mkfs" --help)")
done
printf '%-22s fmtimage %8.1f ms   mkfs.fat %8.1f ms\n' "start-up only (--help)" \
  "$(printf '%s\n' "${s[@]}" | median | awk '{ print $1 / 1000 }')" \
  "$(printf '%s\n' "${m[@]}" | median | awk '{ print $1 / 1000 }')"
