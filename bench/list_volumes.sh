#!/usr/bin/env bash
# Measures the ListVolumes round trip (user process -> ramvold -> engine ->
# back) on a Release build without sanitizers. Target: median <= 25 us.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBW_SANITIZE=OFF -DBW_TESTS=OFF \
  -DBW_BENCH=ON >/dev/null
ninja -C build-bench ramvold ramvol ramenum list_volumes_roundtrip >/dev/null
root=$(mktemp -d /tmp/bwbench.XXXXXX)
build-bench/bin/ramvold --root "$root" --load-drivers >/dev/null &
daemon=$!
trap 'kill -TERM $daemon; wait $daemon; rm -rf "$root"' EXIT
for _ in $(seq 100); do [ -S "$root/ramvold.sock" ] && break; sleep 0.1; done
BRIMWELL_ROOT="$root" build-bench/bin/list_volumes_roundtrip "${1:-20000}"
