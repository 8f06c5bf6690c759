#!/usr/bin/env bash
# Measures the ListVolumes round trip (user process -> ramvold -> engine ->
# back) on a Release build without sanitizers. Target: median <= 25 us.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$bench_root"
"$bench_root/scripts/setup.sh"
bench_build ramvold ramvol ramenum list_volumes_roundtrip
root=$(mktemp -d /tmp/bwbench.XXXXXX)
"$bench_build_dir/bin/ramvold" --root "$root" --load-drivers >/dev/null &
daemon=$!
trap 'kill -TERM $daemon; wait $daemon; rm -rf "$root"' EXIT
for _ in $(seq 100); do [ -S "$root/ramvold.sock" ] && break; sleep 0.1; done
BRIMWELL_ROOT="$root" "$bench_build_dir/bin/list_volumes_roundtrip" "${1:-20000}"
