#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds every preset, then runs every test of
# the native, native-asan, windows and fuzz builds in one CTest run, inside scripts/isolated.sh
# (Wine and the native program never see the machine's own serial devices). The windows tests
# check the shipped programs of the windows-release build. Ends with CTest's own summary; the
# exit code is CTest's.
# Usage: scripts/test.sh [extra ctest arguments, e.g. -R e2e]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

started=$SECONDS
step() { echo "== $* ($((SECONDS - started)) s)"; }

step "setup"
scripts/setup.sh

# Every build before any test: the Windows tests drive the native simulator and check the
# shipped programs of windows-release, which has no tests of its own.
presets=(native native-asan windows fuzz) # the builds with tests
mkdir -p build
for preset in windows-release "${presets[@]}"; do
  step "build $preset"
  log="build/$preset-build.log"
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "test.sh: the $preset build failed (whole log: $log)" >&2
    exit 1
  fi
done

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

step "ctest"
exec scripts/isolated.sh ctest --test-dir "$all" --output-on-failure --timeout 900 "$@"
