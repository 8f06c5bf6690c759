#!/usr/bin/env bash
# Builds the control-request fuzzer with clang and libFuzzer in its own tree,
# build-fuzz/ (or $BUILD_DIR): every target is instrumented for coverage
# (-fsanitize=fuzzer-no-link) under ASan and UBSan, and the fuzzer links
# libFuzzer's driver. The test build in build/ stays with g++.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${BUILD_DIR:-build-fuzz}
cc=${FUZZ_CC:-clang-14}
cxx=${FUZZ_CXX:-clang++-14}
if ! command -v "$cxx" >/dev/null || [ ! -f "$("$cxx" -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]; then
  echo "build.sh: $cxx or its libFuzzer is missing; scripts/setup.sh installs them" >&2
  exit 1
fi
# The stand-in and the drivers are shared objects linked with
# --no-undefined: clang gives them the sanitizer runtime (and the coverage
# hooks' defaults) only as the shared runtime, which the fuzzer then uses too.
runtime=$(dirname "$("$cxx" -print-file-name=libclang_rt.asan-x86_64.so)")
flags="-fsanitize=fuzzer-no-link -shared-libsan -O1 -g"
links="-shared-libsan -Wl,-rpath,$runtime"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$links" \
    -DCMAKE_SHARED_LINKER_FLAGS="$links" -DCMAKE_MODULE_LINKER_FLAGS="$links" \
    -DBW_SANITIZE=ON -DBW_TESTS=OFF -DBW_FUZZ=ON >/dev/null
fi
ninja -C "$build" -j"$(nproc)" engine_control_fuzzer
