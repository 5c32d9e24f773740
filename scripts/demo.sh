#!/usr/bin/env bash
# The program's main job, shown on the device simulator: builds the native and Windows
# programs, maps a simulated fiscal device as COM3 of a private Wine prefix and runs the shipped
# Kestrelon.exe against it (Xvfb as its screen), first with a Kestrelon.ini that names the port,
# then with none so that it finds the device by itself; then the native program the same way;
# last, the technician's KestrelonScan.exe finds two devices on COM3 and COM4, pins the VF one
# in Kestrelon.ini, and Kestrelon.exe goes straight to it; then the setup program installs it
# silently in a new Wine prefix, the program started as its desktop shortcut starts it prints,
# and the uninstaller removes it but the settings. Prints what the devices received and did,
# and what the setup left. Every box is answered by the script itself. No input; can be run
# again. Everything runs inside scripts/isolated.sh. Each prefix is made anew from the
# template the tests use too (scripts/wine_prefix.sh) and taken away at the end; after a
# failure it stays whole in build/.
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
scan_exe="$root/build/windows-release/KestrelonScan.exe"
native="$root/build/native/kestrelon"
sim="$root/build/native/simulator/kestrelon-sim"
tmp=$(mktemp -d /tmp/kestrelon-demo.XXXXXX)
xvfb_pid=""
sim_pids=()

# Ends the prefix's server and takes the prefix away, or with --keep leaves it whole.
release_prefix() {
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  timeout 30 wineserver -w >/dev/null 2>&1 || true
  "$root/scripts/wine_prefix.sh" --release "$WINEPREFIX" "$@"
}

cleanup() {
  local status=$?
  set +e
  stop_simulators
  if [ -n "${WINEPREFIX:-}" ]; then
    rm -f "$WINEPREFIX/dosdevices/com3" "$WINEPREFIX/dosdevices/com4"
    if [ "$status" = 0 ]; then release_prefix; else release_prefix --keep; fi
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

template="$root/build/wine-prefix-template"
export WINEPREFIX
WINEPREFIX=$("$root/scripts/wine_prefix.sh" "$root/build/demo-prefix" "$template" | tail -n1)
# No runtime add-ons; no Linux menu entries from the setup's shortcuts (";" separates them).
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
timeout 30 wineserver -k >/dev/null 2>&1 || true # one of another display must not serve us
timeout 30 wineserver -w >/dev/null 2>&1 || true
# The server started here, quiet, serves every run below; it ends a few seconds after the last.
wineserver -p 5 </dev/null >/dev/null 2>&1

# Starts a simulator with its link at $1, its log at $2 and the identifier $3 (VF12345678 when
# not given); its pseudo-terminal's path is then in $2.ready.
start_simulator() {
  rm -f "$2.ready"
  "$sim" --link "$1" --log "$2" --ready-file "$2.ready" --id "${3:-VF12345678}" \
    --lifetime-s 300 >/dev/null 2>&1 &
  sim_pids+=($!)
  for _ in $(seq 100); do [ -s "$2.ready" ] && break; sleep 0.05; done
  [ -s "$2.ready" ] || { echo "demo.sh: the simulator did not start" >&2; exit 1; }
}

stop_simulators() {
  local pid
  for pid in "${sim_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  sim_pids=()
}

# Answers any "Eroare" box: No for the yes/no question, then Escape for a plain box (Escape
# cannot answer a yes/no box, so the question is never answered Yes by accident). KestrelonScan's
# boxes are titled "Kestrelon": its question is answered Yes, then its confirmation of what it
# wrote with Enter (OK).
answer_boxes() {
  local program_pid=$1 answered=" "
  while kill -0 "$program_pid" 2>/dev/null; do
    for box in $(xdotool search --onlyvisible --name '^Eroare$' 2>/dev/null); do
      echo "(an \"Eroare\" box is shown: the script answers it)"
      xdotool windowfocus --sync "$box" key alt+n 2>/dev/null || true
      sleep 1
      xdotool windowfocus --sync "$box" key Escape 2>/dev/null || true
    done
    for box in $(xdotool search --onlyvisible --name '^Kestrelon$' 2>/dev/null); do
      case "$answered" in
        *" $box "*) ;;
        " ") echo "(KestrelonScan asks whether to write the device it chose into Kestrelon.ini: Yes)"
           answered+="$box " ;;
        *) echo "(KestrelonScan confirms what it wrote, and where: OK)"
           answered+="$box " ;;
      esac
      xdotool windowfocus --sync "$box" key alt+y 2>/dev/null || true
      sleep 1
      # Still there: a box with OK alone, which Alt+Y does not answer.
      if xdotool search --onlyvisible --name '^Kestrelon$' 2>/dev/null | grep -qx "$box"; then
        xdotool windowfocus --sync "$box" key Return 2>/dev/null || true
        sleep 1
      fi
    done
    sleep 0.2
  done
}

# Maps COM$1 of the prefix to the simulator whose log is $2.
map_port() {
  ln -sfn "$(cat "$2.ready")" "$WINEPREFIX/dosdevices/com$1"
}

# Runs the Windows program $1 in the working directory $2, answering its boxes; prints its exit
# code.
run_program() {
  local program=$1 work=$2 status=0
  (cd "$work" && exec timeout 120 wine "$program") &
  local pid=$!
  answer_boxes "$pid"
  wait "$pid" || status=$?
  sleep 0.3
  echo "-- $(basename "$program") exit code: $status"
}

# Runs Kestrelon.exe in the working directory $1 with the simulator on COM3.
run_wine() {
  local work=$1 log=$2
  start_simulator "$tmp/com3.link" "$log"
  map_port 3 "$log"
  run_program "$exe" "$work"
  stop_simulators
  rm -f "$WINEPREFIX/dosdevices/com3"
  echo "-- what the device received and did (simulator log):"
  cat "$log"
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
stop_simulators
echo "-- what the device received and did (simulator log):"
cat "$tmp/native.log"
echo "-- kestrelon exit code: $status"

title "4. KestrelonScan.exe: devices on COM3 (AB12345678) and COM4 (VF12345678), no Z report"
mkdir -p "$tmp/pin"
printf ';com=COM1\r\n;port=115200\r\n' >"$tmp/pin/Kestrelon.ini"
start_simulator "$tmp/com3.link" "$tmp/pin-com3.log" AB12345678
start_simulator "$tmp/com4.link" "$tmp/pin-com4.log"
map_port 3 "$tmp/pin-com3.log"
map_port 4 "$tmp/pin-com4.log"
run_program "$scan_exe" "$tmp/pin"
for com in 3 4; do
  echo "-- what COM$com received and did during the scan (simulator log):"
  cat "$tmp/pin-com$com.log"
done
echo "-- Kestrelon.ini now ($(wc -c <"$tmp/pin/Kestrelon.ini") bytes; ^M is CR):"
cat -v "$tmp/pin/Kestrelon.ini"
echo "-- Kestrelon.ini.bak, the file it replaced:"
cat -v "$tmp/pin/Kestrelon.ini.bak"

title "5. Kestrelon.exe with the pinned Kestrelon.ini: straight to COM4, nothing to COM3"
seen3=$(wc -l <"$tmp/pin-com3.log")
seen4=$(wc -l <"$tmp/pin-com4.log")
run_program "$exe" "$tmp/pin"
for com in 3 4; do
  seen=$([ "$com" = 3 ] && echo "$seen3" || echo "$seen4")
  new=$(tail -n +"$((seen + 1))" "$tmp/pin-com$com.log")
  echo "-- what COM$com received and did in this run (simulator log):"
  echo "${new:-(nothing: not a byte)}"
done
stop_simulators
rm -f "$WINEPREFIX/dosdevices/com3" "$WINEPREFIX/dosdevices/com4"

title "6. The setup program, silent, in a new Wine prefix: /COM=COM3 /PORT=115200 /ORA=22:00"
setup_exe="$root/build/windows-release/dist/Kestrelon-2.0.0.2-setup.exe"
program_folder='C:\Program Files\Kestrelon'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kestrelon'
# The file of the prefix's drive C: at a Windows path.
unix_path() { local path=${1#C:\\}; echo "$WINEPREFIX/drive_c/${path//\\//}"; }
release_prefix # the first prefix: done with
WINEPREFIX=$("$root/scripts/wine_prefix.sh" "$root/build/demo-setup-prefix" "$template" | tail -n1)
wineserver -p 5 </dev/null >/dev/null 2>&1
# schtasks needs Wine's Task Scheduler service; its first start may find its database locked.
wine net start schedule >/dev/null 2>&1 || wine net start schedule >/dev/null 2>&1 || true
status=0
timeout 120 wine "$setup_exe" /S /COM=COM3 /PORT=115200 /ORA=22:00 || status=$?
echo "-- setup exit code: $status"
echo "-- the program folder, $program_folder:"
ls "$(unix_path "$program_folder")"
echo "-- the settings folder, C:\Kestrelon, and its Kestrelon.ini (^M is CR):"
ls "$(unix_path 'C:\Kestrelon')"
cat -v "$(unix_path 'C:\Kestrelon\Kestrelon.ini')"
shortcut='C:\users\Public\Desktop\Raport Z.lnk'
{ read -r target; read -r working_folder; } < <(python3 "$root/tests/e2e/windows_files.py" \
  "$(unix_path "$shortcut")")
echo "-- the desktop shortcut \"Raport Z\": $target, starting in $working_folder"
echo "-- the daily task's definition, $program_folder\\Raport-Z-zilnic.xml (what it runs, where, when, as whom):"
iconv -f UTF-16 -t UTF-8 "$(unix_path "$program_folder\\Raport-Z-zilnic.xml")" |
  grep -E '<(Command|WorkingDirectory|StartBoundary|GroupId)>' | sed 's/^ *//'
echo "-- the task registered: $(ls "$(unix_path 'C:\windows\system32\tasks')")"
echo "-- the Add/Remove Programs entry:"
wine reg query "$uninstall_key" | tr -d '\r' | grep REG_

title "7. Kestrelon.exe started as the shortcut starts it: straight to COM3"
start_simulator "$tmp/com3.link" "$tmp/installed.log"
map_port 3 "$tmp/installed.log"
run_program "$target" "$(unix_path "$working_folder")"
stop_simulators
rm -f "$WINEPREFIX/dosdevices/com3"
echo "-- what the device received and did (simulator log):"
cat "$tmp/installed.log"

title "8. The uninstaller, silent: everything goes but the settings folder"
wine "$(unix_path "$program_folder\\Dezinstalare.exe")" /S
# It hands its work to a copy of itself and ends at once: wait for the copy's work.
for _ in $(seq 100); do [ -e "$(unix_path "$program_folder")" ] || break; sleep 0.2; done
for left in "$program_folder" "$shortcut" 'C:\windows\system32\tasks\Kestrelon Raport Z'; do
  [ -e "$(unix_path "$left")" ] && echo "-- still there: $left" || echo "-- gone: $left"
done
wine reg query "$uninstall_key" >/dev/null 2>&1 && echo "-- the Add/Remove entry is still there" ||
  echo "-- gone: the Add/Remove Programs entry"
echo "-- kept: the settings folder C:\Kestrelon with $(ls "$(unix_path 'C:\Kestrelon')" | tr '\n' ' ')"
