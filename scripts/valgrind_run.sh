#!/usr/bin/env bash
# Runs the native program under valgrind's memcheck against the device simulator on COM3,
# once with "com=COM3" and "port=115200" in Kestrelon.ini and once without a settings file
# (detection), and checks each run: exit code 0 (99 means memcheck found errors or leaks),
# the Z report printed by the simulator, the settings file as it should be. It only ever runs inside
# scripts/isolated.sh, where this machine's own serial devices are /dev/null.
# Usage: scripts/valgrind_run.sh [BUILD_DIR]   (default build/native)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${KESTRELON_ISOLATED:-}" != 1 ]; then
  exec "$root/scripts/isolated.sh" "$0" "$@"
fi
build=$(cd "${1:-$root/build/native}" && pwd)
program=$build/kestrelon
simulator=$build/simulator/kestrelon-sim
for file in "$program" "$simulator"; do
  [ -x "$file" ] || { echo "valgrind_run: $file is missing (build the native preset)" >&2; exit 1; }
done
command -v valgrind >/dev/null || { echo "valgrind_run: valgrind is not installed" >&2; exit 1; }

scratch=$(mktemp -d /tmp/kestrelon-valgrind-XXXXXX)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
mkdir -p "$scratch/ports" "$scratch/lock"

"$simulator" --link "$scratch/ports/com3" --id VF12345678 --ready-file "$scratch/ready" \
  --log "$scratch/sim.log" --lifetime-s 300 &
sim_pid=$!
for _ in $(seq 100); do
  [ -s "$scratch/ready" ] && break
  kill -0 "$sim_pid" 2>/dev/null || { echo "valgrind_run: the simulator ended early" >&2; exit 1; }
  sleep 0.1
done
[ -s "$scratch/ready" ] || { echo "valgrind_run: the simulator never became ready" >&2; exit 1; }

# One run under memcheck in a fresh working folder: $1 names it, $2 is the settings file
# ("" for none: the default file is written and detection finds the device).
failed=0
reports=0
run_case() {
  local name=$1 settings=$2 work=$scratch/work-$1 status=0
  mkdir -p "$work"
  [ -n "$settings" ] && printf '%s' "$settings" >"$work/Kestrelon.ini"
  (cd "$work" &&
    KESTRELON_COM_DIR="$scratch/ports" KESTRELON_LOCK_DIR="$scratch/lock" \
      timeout 300 valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
      --suppressions="$root/tests/valgrind/glibc-vector-reads.supp" \
      --log-file="$scratch/valgrind-$name.log" "$program" </dev/null) || status=$?
  local expected=${settings:-$';com=COM1\r\n;port=115200\r\n'}
  local problem=
  [ "$status" -eq 0 ] || problem="the program exited with $status (99: memcheck errors)"
  reports=$((reports + 1))
  if ! grep -q "EVENT Z report printed count=$reports" "$scratch/sim.log"; then
    problem="${problem:+$problem; }the simulator printed no Z report"
  fi
  if [ "$(cat "$work/Kestrelon.ini"; printf x)" != "${expected}x" ]; then
    problem="${problem:+$problem; }the settings file is not as it should be"
  fi
  echo "$name: $(grep -E "ERROR SUMMARY" "$scratch/valgrind-$name.log" | sed 's/^==[0-9]*== //')"
  if [ -n "$problem" ]; then
    echo "valgrind_run: $name: $problem" >&2
    echo "--- valgrind log" >&2
    cat "$scratch/valgrind-$name.log" >&2
    failed=1
  fi
}

run_case configured $'com=COM3\r\nport=115200\r\n'
run_case detection ""

if [ "$failed" -ne 0 ]; then
  echo "--- simulator log" >&2
  tail -n 60 "$scratch/sim.log" >&2
  exit 1
fi
echo "valgrind_run: clean runs, Z reports printed"
