# Shared pieces of the benchmark scripts; source it, do not run it.
#   bench_build TARGET...       builds TARGETs in the Release tree without
#                               sanitizers ($BUILD_DIR, default build-bench/)
#   bench_time_us CMD...        wall time of one run of CMD, in microseconds;
#                               a failing CMD ends the benchmark
#   bench_time_any_us CMD...    the same whatever CMD's exit status
#   bench_median                median of the numbers on standard input
#   bench_ms US                 microseconds as milliseconds with one decimal
#   bench_ratio A B             A / B with two decimals (0 when B is 0)
#   bench_scratch_dir           /dev/shm when writable, else $TMPDIR or /tmp
#   bench_start_daemon          starts the Release ramvold with the drivers on a
#                               fresh root ($bench_daemon_root); it stops, and
#                               the root goes, when the script exits (a script
#                               with its own EXIT trap calls bench_stop_daemon)

bench_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_build_dir=${BUILD_DIR:-$bench_root/build-bench}

bench_build() {
  local log
  log=$(mktemp)
  # One option set for every benchmark, so that they share the tree.
  if ! { cmake -S "$bench_root" -B "$bench_build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBW_SANITIZE=OFF \
           -DBW_TESTS=OFF -DBW_BENCH=ON && ninja -C "$bench_build_dir" -j"$(nproc)" "$@"; } >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "bench: build failed" >&2
    exit 1
  fi
  rm -f "$log"
}

bench_timed() {
  local must_succeed=$1 start end status=0
  shift
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1 || status=$?
  end=$(date +%s%N)
  if [ "$must_succeed" = 1 ] && [ "$status" != 0 ]; then
    echo "bench: failed: $*" >&2
    exit 1
  fi
  echo $(((end - start) / 1000))
}
bench_time_us() { bench_timed 1 "$@"; }
bench_time_any_us() { bench_timed 0 "$@"; }

bench_median() {
  sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

bench_ms() { awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'; }

bench_ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

bench_scratch_dir() {
  if [ -w /dev/shm ]; then echo /dev/shm; else echo "${TMPDIR:-/tmp}"; fi
}

bench_start_daemon() {
  bench_daemon_root=$(mktemp -d /tmp/bwbench.XXXXXX)
  "$bench_build_dir/bin/ramvold" --root "$bench_daemon_root" --load-drivers >"$bench_daemon_root.log" 2>&1 &
  bench_daemon_pid=$!
  trap bench_stop_daemon EXIT
  for _ in $(seq 100); do
    grep -q "ready on" "$bench_daemon_root.log" 2>/dev/null && return 0
    sleep 0.1
  done
  cat "$bench_daemon_root.log" >&2
  echo "bench: ramvold did not start" >&2
  exit 1
}

bench_stop_daemon() {
  [ -n "${bench_daemon_pid:-}" ] || return 0
  kill -TERM "$bench_daemon_pid" 2>/dev/null && wait "$bench_daemon_pid" 2>/dev/null || true
  rm -rf "$bench_daemon_root" "$bench_daemon_root.log"
  bench_daemon_pid=
}
