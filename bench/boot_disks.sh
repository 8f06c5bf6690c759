#!/usr/bin/env bash
# Boot disks at the start of the system (Release build, no sanitizers):
# from ramvold's start to the moment the first program runs, with four boot
# disks of 1 GiB (W: FAT32 and X: NTFS formatted fresh, Y: FAT32 and V: NTFS
# loaded from images the page cache holds), against the same start without
# boot disks; how long that program waits in the start-up hold; and when
# each disk's letter answers. Medians of --runs starts (default 3).
#   bench/boot_disks.sh [--runs N]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$bench_root"
runs=3
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    *) echo "usage: bench/boot_disks.sh [--runs N]" >&2; exit 2 ;;
  esac
done
"$bench_root/scripts/setup.sh" --bench
bench_build ramvold ramvol ramenum mountmgr raw fat ntfs disk boot_disks_bench
probe=$bench_build_dir/bin/boot_disks_bench
roots=()
pid=
cleanup() {
  [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  for r in "${roots[@]}"; do rm -rf "$r" "$r.log"; done
}
trap cleanup EXIT

start() {  # ROOT: starts ramvold in the background
  "$bench_build_dir/bin/ramvold" --root "$1" --load-drivers >>"$1.log" 2>&1 &
  pid=$!
}
stop() {
  kill -TERM "$pid" && wait "$pid" || true
  pid=
}
wait_ready() {
  for _ in $(seq 300); do grep -q "ready on" "$1.log" 2>/dev/null && return 0; sleep 0.1; done
  cat "$1.log" >&2; echo "bench: ramvold did not start" >&2; exit 1
}

empty=$(mktemp -d /tmp/bwboot.XXXXXX); roots+=("$empty")
disks=$(mktemp -d /tmp/bwboot.XXXXXX); roots+=("$disks")
start "$disks"; wait_ready "$disks"
BRIMWELL_ROOT=$disks "$probe" prepare "$disks"
stop
# A first start of each root settles the registry and the page cache.
for r in "$empty" "$disks"; do start "$r"; wait_ready "$r"; stop; done

field() { sed -n "s/.*\b$1=\([-0-9.]*\).*/\1/p"; }
declare -A samples
for _ in $(seq "$runs"); do
  for kind in empty disks; do
    root=${!kind}
    count=0; [ "$kind" = disks ] && count=4
    t0=$(date +%s%N)
    start "$root"
    line=$(BRIMWELL_ROOT=$root "$probe" probe "$t0" "$count")
    stop
    for f in reachable_ms running_ms fresh_fat32_ms fresh_ntfs_ms image_fat32_ms image_ntfs_ms; do
      v=$(echo "$line" | field "$f")
      [ -n "$v" ] && samples[$kind.$f]+="$v "
    done
  done
done
median() { tr ' ' '\n' | grep -v '^$' | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
m() { echo "${samples[$1]}" | median; }
e_reach=$(m empty.reachable_ms); e_run=$(m empty.running_ms)
d_reach=$(m disks.reachable_ms); d_run=$(m disks.running_ms)
echo "boot disks: medians of $runs starts, ms from ramvold's start"
printf "  without boot disks:  reachable %8.1f  first program runs %8.1f\n" "$e_reach" "$e_run"
printf "  four 1 GiB disks:    reachable %8.1f  first program runs %8.1f  (held %.1f)\n" "$d_reach" "$d_run" \
  "$(awk -v a="$d_run" -v b="$d_reach" 'BEGIN { print a - b }')"
printf "  letters answer:      W: fresh FAT32 %.1f  X: fresh NTFS %.1f  Y: image FAT32 %.1f  V: image NTFS %.1f\n" \
  "$(m disks.fresh_fat32_ms)" "$(m disks.fresh_ntfs_ms)" "$(m disks.image_fat32_ms)" "$(m disks.image_ntfs_ms)"
printf "  cost of the boot disks until the first program runs: %.1f ms (%.2fx the start without)\n" \
  "$(awk -v a="$d_run" -v b="$e_run" 'BEGIN { print a - b }')" "$(bench_ratio "$d_run" "$e_run")"
