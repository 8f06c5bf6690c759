#!/usr/bin/env bash
# The manager's start with its window (Release build, offscreen display):
# from the program's start to its window shown and start-up done (the line
# "ready"), with 20 configured logon disks of which 10 are mounted at the
# start, against the same start with an empty configuration. The logon
# disks go again when the manager is told the session ends. Medians of
# --runs starts (default 5); target: under 300 ms more than empty.
#   bench/window_start.sh [--runs N]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$bench_root"
runs=5
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    *) echo "usage: bench/window_start.sh [--runs N]" >&2; exit 2 ;;
  esac
done
"$bench_root/scripts/setup.sh" --bench
bench_build ramvold ramvol ramenum mountmgr raw fat ntfs disk Ramdeck
bench_start_daemon
ramdeck=$bench_build_dir/bin/Ramdeck
config_dir=$bench_daemon_root/C/ProgramData/Brimwell/Ramdeck
mkdir -p "$config_dir"

write_config() {  # DISKS: that many 16 MB FAT disks from D:, the first half mounted
  {
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo '<corvane><config useraccess="True" locallinks="False" trayicon="True" alloweject="True"/><mount>'
    local letters=DEFGHIJKLMNOPQRSTUVW i
    for ((i = 0; i < $1; i++)); do
      local mountable=False
      [ $i -lt $(($1 / 2)) ] && mountable=True
      echo "<item filesystem=\"1\" letter=\"${letters:$i:1}\" size=\"16\" savetoimage=\"False\" removable=\"False\"" \
        "label=\"\" compressed=\"False\" autoflush=\"False\" flushtime=\"60\" hddemulation=\"False\" numanode=\"0\"" \
        "specnuma=\"False\" wipe=\"False\" mountable=\"$mountable\"><folders/><image filename=\"\"/></item>"
    done
    echo '</mount><boot/><autorun/></corvane>'
  } >"$config_dir/Ramdeck.xml"
}

one_start_us() {  # the time to "ready" of one start, ended as a session ends
  local log=$bench_daemon_root/ramdeck.out start end pid
  rm -f "$log"
  start=$(date +%s%N)
  QT_QPA_PLATFORM=offscreen BRIMWELL_ROOT=$bench_daemon_root "$ramdeck" >"$log" 2>&1 &
  pid=$!
  until grep -q '^ready' "$log" 2>/dev/null; do
    if ! kill -0 "$pid" 2>/dev/null; then cat "$log" >&2; echo "bench: Ramdeck ended" >&2; exit 1; fi
    sleep 0.002
  done
  end=$(date +%s%N)
  kill -TERM "$pid"
  wait "$pid" || true
  echo $(((end - start) / 1000))
}

measure() {  # DISKS
  write_config "$1"
  local i
  for ((i = 0; i < runs; i++)); do one_start_us; done | bench_median
}

empty=$(measure 0)
full=$(measure 20)
echo "window start, empty configuration:        $(bench_ms "$empty") ms"
echo "window start, 20 disks (10 mounted):      $(bench_ms "$full") ms"
echo "difference:                               $(bench_ms $((full - empty))) ms (target: under 300 ms)"
