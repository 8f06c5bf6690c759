#!/usr/bin/env bash
# The main job: sets up, builds, boots ramvold on a per-user root, installs
# the two drivers with the control library the first time (the engine then
# starts with every boot of that root), shows the engine answering through
# the library, and keeps the system running until Ctrl-C (its shutdown).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh ramvold ramvol ramenum ramsetup devio

root="${BRIMWELL_ROOT:-${XDG_STATE_HOME:-$HOME/.local/state}/brimwell}"
export BRIMWELL_ROOT="$root"
mkdir -p "$root"
build/bin/ramvold --root "$root" &
daemon=$!
trap 'kill -TERM $daemon 2>/dev/null; wait $daemon' INT TERM
for _ in $(seq 300); do
  [ -S "$root/ramvold.sock" ] && break
  kill -0 $daemon 2>/dev/null || { wait $daemon; exit 1; }
  sleep 0.1
done

# A root that already has the engine installed booted it; a fresh one gets
# both drivers installed and the engine started now.
if ! build/bin/ramsetup status 2>/dev/null; then
  echo "installing the drivers into $root"
  build/bin/ramsetup install
fi
echo "ramvold runs on $root (BRIMWELL_ROOT); Ctrl-C shuts it down."
wait $daemon
