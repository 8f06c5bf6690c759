#!/usr/bin/env bash
# Compiles every driver source (engine/, bus/, kernel-support/, outside
# their tests/ folders) for 64-bit Windows with mingw-w64's g++ against its
# DDK headers, with kernel-support/mingw/ddk_compat.h forced in front: the
# drivers are Windows driver sources, not code that only builds on the host.
# Usage: compile_with_mingw.sh SOURCE_ROOT
set -euo pipefail
root="$(cd "${1:-.}" && pwd)"
compiler=x86_64-w64-mingw32-g++
ddk=/usr/x86_64-w64-mingw32/include/ddk
if ! command -v "$compiler" >/dev/null || [ ! -f "$ddk/ntddk.h" ]; then
  echo "mingw-w64 is missing: install g++-mingw-w64-x86-64 and mingw-w64-x86-64-dev (scripts/setup.sh does)"
  exit 1
fi
cd "$root"
mapfile -t sources < <(find engine bus kernel-support -name '*.cpp' -not -path '*/tests/*' | sort)
failed=0
for source in "${sources[@]}"; do
  if ! "$compiler" -std=c++20 -fsyntax-only -fno-exceptions -fno-rtti -Wno-write-strings \
      -I"$root" -isystem "$ddk" -DBW_DRIVER_CODE=1 -include kernel-support/mingw/ddk_compat.h "$source"; then
    echo "FAILED: $source"
    failed=$((failed + 1))
  fi
done
echo "${#sources[@]} driver sources, $failed failed to compile for Windows"
[ "$failed" -eq 0 ]
