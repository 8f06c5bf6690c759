#!/usr/bin/env bash
# Configures and builds a tree, by default the test build in build/ (every
# program lands in build/bin/). Arguments that start with -D are cmake
# options, the others ninja targets; BUILD_DIR names another tree. The tree
# is configured again whenever its cmake options differ from the last run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
options=(-G Ninja -DCMAKE_BUILD_TYPE=Debug)
targets=()
for arg in "$@"; do
  case $arg in
    -D*) options+=("$arg") ;;
    *) targets+=("$arg") ;;
  esac
done
stamp=$build/.bw-cmake-options
wanted=$(printf '%s\n' "${options[@]}")
if [ ! -f "$build/build.ninja" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
  # Options dropped since the last run must not linger in the cache.
  rm -f "$build/CMakeCache.txt"
  cmake -S . -B "$build" "${options[@]}" >/dev/null
  printf '%s\n' "$wanted" >"$stamp"
fi
ninja -C "$build" -j"$(nproc)" ${targets[@]+"${targets[@]}"}
