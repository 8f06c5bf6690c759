#!/usr/bin/env bash
# The main job: sets up, builds, boots ramvold on a per-user root, installs
# the two drivers with the control library the first time (the engine then
# starts with every boot of that root), shows the engine answering through
# the library, starts the manager Ramdeck with its window on the user's
# desktop (under Xvfb when there is no display and Xvfb is installed, else
# on the offscreen display), and keeps the system running until Ctrl-C: the
# manager ends as at the end of the session, then the system shuts down.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --gui
scripts/build.sh ramvold ramvol ramenum ramsetup devio mountmgr raw fat ntfs disk Ramdeck

root="${BRIMWELL_ROOT:-${XDG_STATE_HOME:-$HOME/.local/state}/brimwell}"
export BRIMWELL_ROOT="$root"
mkdir -p "$root"
build/bin/ramvold --root "$root" &
daemon=$!
manager=
xvfb=
stop() {
  if [ -n "$manager" ]; then kill -TERM "$manager" 2>/dev/null; wait "$manager" 2>/dev/null || true; fi
  if [ -n "$xvfb" ]; then kill -TERM "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null || true; fi
  kill -TERM $daemon 2>/dev/null
  wait $daemon
}
trap stop INT TERM
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
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  if command -v Xvfb >/dev/null; then
    for n in $(seq 90 120); do [ -e "/tmp/.X11-unix/X$n" ] || break; done
    Xvfb ":$n" -screen 0 1280x800x24 >/dev/null 2>&1 &
    xvfb=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
    echo "no display: the manager's window is on Xvfb $DISPLAY"
  else
    export QT_QPA_PLATFORM=offscreen
    echo "no display and no Xvfb: the manager's window runs offscreen"
  fi
fi
build/bin/Ramdeck &
manager=$!
echo "ramvold runs on $root (BRIMWELL_ROOT) with the manager Ramdeck; Ctrl-C shuts it down."
wait $daemon
