#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds every preset, then runs every test of
# the native, native-asan, windows and fuzz builds in one parallel CTest run, inside
# scripts/isolated.sh (Wine and the native program never see the machine's own serial
# devices). The windows tests check the shipped programs of the windows-release build. Ends
# with CTest's own summary; the exit code is CTest's.
# Usage: scripts/test.sh [extra ctest arguments, e.g. -R e2e_wine or -j 2]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

started=$SECONDS
step() { echo "== $* ($((SECONDS - started)) s)"; }

step "setup"
scripts/setup.sh

# Every build before any test: the Windows tests drive the native simulator and check the
# shipped programs of windows-release, which has no tests of its own. The five builds share
# nothing, so they run side by side, each ninja with as many jobs as there are cores: one's
# configure step or last link overlaps the others' compiling. A build folder is configured
# again only when it has no build files yet or the presets changed since; otherwise ninja
# itself notices a changed CMakeLists.txt.
presets=(native native-asan windows fuzz) # the builds with tests
cores=$(nproc)
mkdir -p build
build_preset() {
  local preset=$1 dir=build/$1
  if [ ! -f "$dir/build.ninja" ] || [ CMakePresets.json -nt "$dir/CMakeCache.txt" ]; then
    cmake --preset "$preset" || return 1
  fi
  cmake --build --preset "$preset" --parallel "$cores"
}
step "build windows-release ${presets[*]}"
pids=()
for preset in windows-release "${presets[@]}"; do
  build_preset "$preset" >"build/$preset-build.log" 2>&1 &
  pids+=("$!")
done
failed=()
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || failed+=("$i")
done
all_presets=(windows-release "${presets[@]}")
for i in "${failed[@]}"; do
  preset=${all_presets[$i]}
  tail -n 60 "build/$preset-build.log"
  echo "test.sh: the $preset build failed (whole log: build/$preset-build.log)" >&2
done
[ ${#failed[@]} -eq 0 ] || exit 1

# One CTest run over every test tree (and a short run of each fuzz target), so that one
# summary counts every test.
all=build/all-tests
mkdir -p "$all"
{
  echo "# Every test of the native, native-asan, windows and fuzz builds (written by scripts/test.sh)."
  for preset in "${presets[@]}"; do
    echo "subdirs(\"$root/build/$preset\")"
  done
} >"$all/CTestTestfile.cmake"

# Most tests wait (on the device's pauses and time-outs, on Wine), so CTest runs six jobs per
# core. A test that keeps a core busy throughout (a fuzzer, memcheck, a whole build) asks for
# four of those slots (PROCESSORS), so that a core never has two of them and always has room
# for tests that wait. Those and the longest tests start first (COST); the few that time the
# programs' own waits run alone at the end (RUN_SERIAL).
jobs=$((6 * cores))
step "ctest, $jobs jobs"
exec scripts/isolated.sh ctest --test-dir "$all" --output-on-failure --timeout 900 \
  --parallel "$jobs" "$@"
