#!/usr/bin/env bash
# Runs the control-request fuzzer for SECONDS (default 60) after building it
# (tests/fuzz/build.sh). It starts from the checked-in corpus and grows a
# working corpus in build-fuzz/corpus/; inputs that crash or leave something
# behind are kept in build-fuzz/crashes/. Ends with the number of runs and
# the crash inputs found in this session. Extra arguments go to libFuzzer.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
shift || true
tests/fuzz/build.sh >/dev/null
build=${BUILD_DIR:-build-fuzz}
mkdir -p "$build/corpus" "$build/crashes"
log=$build/fuzz.log
before=$(ls "$build/crashes" | wc -l)
# libFuzzer links the C++ library ahead of the shared sanitizer runtime;
# nothing in it intercepts what the runtime does, so the order check is off.
export ASAN_OPTIONS=${ASAN_OPTIONS:-verify_asan_link_order=0:detect_leaks=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
set +e
"$build/bin/engine_control_fuzzer" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -max_len=4096 \
  -fork=1 -ignore_crashes=1 -artifact_prefix="$build/crashes/" "$@" \
  "$build/corpus" tests/fuzz/corpus >"$log" 2>&1
status=$?
set -e
runs=$(grep -Eo '^#[0-9]+' "$log" | tail -1 | tr -d '#')
# With -fork the workers' counts add up in the parent's "fuzz" lines.
total=$(grep -Eo 'total_execs: [0-9]+' "$log" | tail -1 | grep -Eo '[0-9]+' || true)
echo "fuzz: ${total:-${runs:-0}} runs in ${seconds}s (libFuzzer exit $status; log $log)"
echo "fuzz: working corpus $(ls "$build/corpus" | wc -l) inputs"
after=$(ls "$build/crashes" | wc -l)
echo "fuzz: $((after - before)) new crash inputs in $build/crashes/"
ls -t "$build/crashes" | head -n $((after - before)) | sed "s|^|  $build/crashes/|"
