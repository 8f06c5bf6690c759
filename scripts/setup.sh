#!/usr/bin/env bash
# Installs every Debian package the build and the tests need (with --bench,
# also what the benchmarks run against; with --gui, the virtual display, the
# notification-area host and the pointer tool scripts/screenshots.sh uses).
# Does nothing when all are present; otherwise needs root (or sudo) for
# apt-get.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build ccache pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev zlib1g-dev libnuma-dev
  # the stand-in's NTFS driver and the FUSE tool
  ntfs-3g-dev libfuse3-dev
  # the manager
  qt6-base-dev
  # peer checks of the formatter
  dosfstools mtools sleuthkit fdisk util-linux ntfs-3g fuse3
  # scripts
  python3 procps
  # the Windows compile check of the driver sources
  g++-mingw-w64-x86-64 mingw-w64-x86-64-dev
  # the control-request fuzzer (tests/fuzz): clang with libFuzzer and the
  # sanitizer runtimes of the same LLVM version
  clang-14 libclang-rt-14-dev
)
for option in "$@"; do
  case $option in
    # anchors of the benchmarks: a RAM-backed block server and its client
    --bench) packages+=(nbdkit fio) ;;
    --gui) packages+=(xvfb trayer xdotool) ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
run_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}
export DEBIAN_FRONTEND=noninteractive
run_root apt-get update -qq
run_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
