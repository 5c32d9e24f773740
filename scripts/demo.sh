#!/usr/bin/env bash
# The program's main job, shown on the device simulator: builds the native and Windows
# programs, maps a simulated fiscal device as COM3 of a private Wine prefix and runs the shipped
# Kestrelon.exe against it (Xvfb as its screen), first with a Kestrelon.ini that names the port,
# then with none so that it finds the device by itself; then the native program the same way.
# Prints what the device received and did. Any "Eroare" box is answered by the script itself.
# No input; can be run again. Everything runs inside scripts/isolated.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${KESTRELON_ISOLATED:-}" != 1 ]; then
  "$root/scripts/setup.sh"
  cd "$root"
  for preset in native windows-release; do
    log="build/$preset-build.log"
    mkdir -p build
    if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >"$log" 2>&1; then
      tail -n 40 "$log"
      echo "demo.sh: the $preset build failed (whole log: $log)" >&2
      exit 1
    fi
  done
  exec "$root/scripts/isolated.sh" "$0" "$@"
fi

exe="$root/build/windows-release/Kestrelon.exe"
native="$root/build/native/kestrelon"
sim="$root/build/native/simulator/kestrelon-sim"
tmp=$(mktemp -d /tmp/kestrelon-demo.XXXXXX)
xvfb_pid=""
sim_pid=""

cleanup() {
  set +e
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  if [ -n "${WINEPREFIX:-}" ]; then
    rm -f "$WINEPREFIX/dosdevices/com3"
    timeout 30 wineserver -k >/dev/null 2>&1
  fi
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

title() { printf '\n===== %s =====\n' "$*"; }

# A private X server on a display it picks itself.
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp -noreset 5>"$tmp/display" \
  >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do grep -q . "$tmp/display" 2>/dev/null && break; sleep 0.1; done
grep -q . "$tmp/display" || { echo "demo.sh: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$tmp/display")"

export WINEPREFIX
WINEPREFIX=$("$root/scripts/wine_prefix.sh" "$root/build/demo-prefix" | tail -n1)
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
timeout 30 wineserver -k >/dev/null 2>&1 || true # one of another display must not serve us
timeout 30 wineserver -w >/dev/null 2>&1 || true
# The server started here, quiet, serves every run below; it ends a few seconds after the last.
wineserver -p 5 </dev/null >/dev/null 2>&1

# Starts the simulator with its link at $1 and log at $2.
start_simulator() {
  rm -f "$tmp/ready"
  "$sim" --link "$1" --log "$2" --ready-file "$tmp/ready" --id VF12345678 --lifetime-s 300 \
    >/dev/null 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do [ -s "$tmp/ready" ] && break; sleep 0.05; done
  [ -s "$tmp/ready" ] || { echo "demo.sh: the simulator did not start" >&2; exit 1; }
}

stop_simulator() {
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
}

# Answers any "Eroare" box: No for the yes/no question, then Escape for a plain box (Escape
# cannot answer a yes/no box, so the question is never answered Yes by accident).
answer_boxes() {
  local program_pid=$1
  while kill -0 "$program_pid" 2>/dev/null; do
    for box in $(xdotool search --onlyvisible --name '^Eroare$' 2>/dev/null); do
      echo "(an \"Eroare\" box is shown: the script answers it)"
      xdotool windowfocus --sync "$box" key alt+n 2>/dev/null || true
      sleep 1
      xdotool windowfocus --sync "$box" key Escape 2>/dev/null || true
    done
    sleep 0.2
  done
}

# Runs Kestrelon.exe in the working directory $1 with the simulator on COM3.
run_wine() {
  local work=$1 log=$2
  start_simulator "$tmp/com3.link" "$log"
  ln -sfn "$(cat "$tmp/ready")" "$WINEPREFIX/dosdevices/com3"
  local status=0
  (cd "$work" && exec timeout 120 wine "$exe") &
  local pid=$!
  answer_boxes "$pid"
  wait "$pid" || status=$?
  sleep 0.3
  stop_simulator
  rm -f "$WINEPREFIX/dosdevices/com3"
  echo "-- what the device received and did (simulator log):"
  cat "$log"
  echo "-- Kestrelon.exe exit code: $status"
}

title "1. Kestrelon.exe under Wine, Kestrelon.ini: com=COM3, port=115200"
mkdir -p "$tmp/configured"
printf 'com=COM3\r\nport=115200\r\n' >"$tmp/configured/Kestrelon.ini"
run_wine "$tmp/configured" "$tmp/configured.log"

title "2. Kestrelon.exe under Wine, no Kestrelon.ini: it finds the device itself"
mkdir -p "$tmp/detect"
run_wine "$tmp/detect" "$tmp/detect.log"
echo "-- the default Kestrelon.ini it wrote ($(wc -c <"$tmp/detect/Kestrelon.ini") bytes; ^M is CR):"
cat -v "$tmp/detect/Kestrelon.ini"

title "3. The native program, COM3 = a link in KESTRELON_COM_DIR, no Kestrelon.ini"
mkdir -p "$tmp/native" "$tmp/ports" "$tmp/lock"
start_simulator "$tmp/ports/com3" "$tmp/native.log"
status=0
(cd "$tmp/native" && KESTRELON_COM_DIR="$tmp/ports" KESTRELON_LOCK_DIR="$tmp/lock" \
  exec timeout 120 "$native" </dev/null) || status=$?
sleep 0.3
stop_simulator
echo "-- what the device received and did (simulator log):"
cat "$tmp/native.log"
echo "-- kestrelon exit code: $status"
