#!/usr/bin/env bash
# Pictures of the manager for a reviewer, in English and in German, under a
# virtual X display with a notification-area host (trayer): the main window and the
# tray menu of the real Ramdeck (when it shows a window), and each dialog.
# Everything runs on a root of its own (a fresh ramvold with the drivers
# loaded), so the user's own system is not touched. Output:
# build/screenshots/<language>/*.png.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --gui
scripts/build.sh Ramdeck ramdeck_screenshots ramvold ramvol ramenum mountmgr raw fat ntfs disk

out=build/screenshots
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d)
root="$work/root"
mkdir -p "$root"
export BRIMWELL_ROOT="$root"

pids=()
cleanup() {
  # Only what this script started, newest first.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[$i]}" 2>/dev/null || true
    wait "${pids[$i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# The engine.
build/bin/ramvold --root "$root" --load-drivers >"$work/ramvold.log" 2>&1 &
pids+=($!)
for _ in $(seq 300); do
  grep -q "ready on" "$work/ramvold.log" && break
  sleep 0.1
done
grep -q "ready on" "$work/ramvold.log" || { cat "$work/ramvold.log"; exit 1; }

# A display of our own and a panel with a notification area at its bottom.
display=
for n in $(seq 90 120); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=:$n; break; fi
done
[ -n "$display" ] || { echo "screenshots: no free X display number" >&2; exit 1; }
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=$display QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
# The desktop's libraries (D-Bus, fonts) keep caches for the process's life;
# the debug build's leak checker would fail every run at exit.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0
for _ in $(seq 100); do
  xdotool getdisplaygeometry >/dev/null 2>&1 && break
  sleep 0.1
done
# trayer hosts the notification area without a window manager.
trayer --edge bottom --align right --widthtype request --height 32 --SetDockType true \
  --tint 0x2e3440 --transparent true --alpha 0 >"$work/trayer.log" 2>&1 &
pids+=($!)
sleep 1

shot() { build/bin/ramdeck_screenshots "$@"; }

# The manager's largest visible window is the main window.
main_window() {
  local pid=$1 w best= area=0
  for w in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$w" 2>/dev/null)" || continue
    if [ $((WIDTH * HEIGHT)) -gt "$area" ] && [ "$WIDTH" -gt 64 ]; then
      area=$((WIDTH * HEIGHT))
      best=$w
    fi
  done
  [ -n "$best" ] && echo "$best"
}

# The tray icon is the manager's small window inside the panel.
tray_window() {
  local pid=$1 w
  for w in $(xdotool search --pid "$pid" 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$w" 2>/dev/null)" || continue
    if [ "${WIDTH:-0}" -le 64 ] && [ "${HEIGHT:-0}" -le 64 ] && [ "${WIDTH:-0}" -ge 8 ]; then
      echo "$w"
      return 0
    fi
  done
  return 1
}

for language in English German; do
  dir="$out/$language"
  mkdir -p "$dir"
  build/bin/ramdeck_screenshots language "$language"
  build/bin/ramdeck_screenshots dialogs "$dir" "$language"

  # The real manager with its window and tray icon.
  build/bin/Ramdeck >"$work/ramdeck-$language.log" 2>&1 &
  manager=$!
  pids+=($manager)
  window=
  for _ in $(seq 50); do
    window=$(main_window "$manager" || true)
    [ -n "$window" ] && break
    sleep 0.2
  done
  if [ -n "$window" ]; then
    # A logon disk and a boot disk in the list, handed to the running
    # manager as a user's later start would; the configuration keeps them
    # for the next language's start.
    if [ "$language" = English ]; then
      build/bin/Ramdeck "/add:letter=R,fs=ntfs,size=64M,label=Scratch" >>"$work/ramdeck-add.log" 2>&1 || true
      build/bin/Ramdeck "/add:type=boot,letter=B,fs=fat32,size=64M" >>"$work/ramdeck-add.log" 2>&1 || true
      sleep 2
    fi
    sleep 1
    shot window "$dir/main-window.png" "$window"
    if icon=$(tray_window "$manager"); then
      xdotool mousemove --window "$icon" 4 4 click 3
      sleep 1
      # The menu opens above the icon at the bottom right.
      read -r width height < <(xdotool getdisplaygeometry)
      shot screen "$dir/tray-menu.png" $((width - 480)) $((height - 400)) 480 400
      xdotool key Escape
    else
      echo "screenshots: no tray icon of the manager found ($language)" >&2
    fi
  else
    echo "screenshots: the manager showed no window ($language); main window and tray menu left out" >&2
  fi
  kill -TERM "$manager" 2>/dev/null || true
  wait "$manager" 2>/dev/null || true
  unset 'pids[${#pids[@]}-1]'
done

echo "screenshots in $out:"
find "$out" -name '*.png' | sort
