#!/usr/bin/env bash
# A RAM disk read and written by its drive letter from a separate user
# process through ramvold (Release build, no sanitizers):
#   sequential 1 MiB transfers against memcpy of 1 MiB blocks (target >= 0.5x);
#   4 KiB random reads, one thread, queue depth 1, against what a RAM-backed
#   network block server gives fio in the same run (nbdkit's memory plugin,
#   fio's nbd engine, psync, iodepth 1; target >= 5x).
#   bench/letter_io.sh [--mib N] [--seconds S]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$bench_root"
mib=512
seconds=3
while [ $# -gt 0 ]; do
  case $1 in
    --mib) mib=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    *) echo "usage: bench/letter_io.sh [--mib N] [--seconds S]" >&2; exit 2 ;;
  esac
done
"$bench_root/scripts/setup.sh" --bench
bench_build ramvold ramvol ramenum mountmgr raw letter_io_bench

root=$(mktemp -d /tmp/bwbench.XXXXXX)
nbd_dir=$(mktemp -d /tmp/bwnbd.XXXXXX)
"$bench_build_dir/bin/ramvold" --root "$root" --load-drivers >"$root/ramvold.log" 2>&1 &
daemon=$!
nbd_pid=
cleanup() {
  kill -TERM "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null || true
  [ -n "$nbd_pid" ] && kill "$nbd_pid" 2>/dev/null || true
  rm -rf "$root" "$nbd_dir"
}
trap cleanup EXIT
for _ in $(seq 100); do [ -S "$root/ramvold.sock" ] && break; sleep 0.1; done

out=$(BRIMWELL_ROOT="$root" "$bench_build_dir/bin/letter_io_bench" --mib "$mib" --seconds "$seconds")
echo "$out" | grep '^seq'
ours=$(echo "$out" | awk '/^rand-read-4k-qd1/ { print $3 }')

# The anchor: the same reads from a RAM-backed block server over a local socket.
nbdkit --unix "$nbd_dir/sock" --pidfile "$nbd_dir/pid" memory "${mib}M"
for _ in $(seq 50); do [ -f "$nbd_dir/pid" ] && break; sleep 0.1; done
nbd_pid=$(cat "$nbd_dir/pid")
# fio talks on standard output besides its report: the report goes to a file.
fio --name=anchor --ioengine=nbd --uri="nbd+unix:///?socket=$nbd_dir/sock" --rw=randread --bs=4k \
  --iodepth=1 --numjobs=1 --size="${mib}M" --time_based --runtime="$seconds" --output-format=json \
  --output="$nbd_dir/fio.json" >/dev/null
theirs=$(python3 -c 'import json,sys; print(round(json.load(open(sys.argv[1]))["jobs"][0]["read"]["iops"]))' \
  "$nbd_dir/fio.json")
ratio=$(bench_ratio "$ours" "$theirs")
verdict=$(awk -v r="$ratio" 'BEGIN { print (r >= 5 ? "PASS" : "MISS") }')
echo "rand-read-4k-qd1 IOPS $ours | anchor nbdkit-memory+fio IOPS $theirs | ratio $ratio (target >= 5) $verdict"
