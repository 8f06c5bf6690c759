#!/usr/bin/env bash
# The main job: sets up, builds, starts ramvold with the drivers loaded on a
# per-user root, shows the engine answering, and keeps it running until
# Ctrl-C (which shuts the system down cleanly).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh ramvold ramvol ramenum devio

root="${BRIMWELL_ROOT:-${XDG_STATE_HOME:-$HOME/.local/state}/brimwell}"
export BRIMWELL_ROOT="$root"
build/bin/ramvold --root "$root" --load-drivers &
daemon=$!
trap 'kill -TERM $daemon 2>/dev/null; wait $daemon' INT TERM
for _ in $(seq 100); do
  [ -S "$root/ramvold.sock" ] && break
  kill -0 $daemon 2>/dev/null || { wait $daemon; exit 1; }
  sleep 0.1
done

echo "ListVolumes on \\\\.\\BrimwellVolume:"
build/bin/devio '\\.\BrimwellVolume' 0x222024
echo "ramvold runs on $root (BRIMWELL_ROOT); Ctrl-C shuts it down."
wait $daemon
