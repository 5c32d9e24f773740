#!/usr/bin/env bash
# Builds what the benchmark needs (native and windows-release presets), then runs
# bench/run_benchmark.py inside scripts/isolated.sh. Not a test: CTest never runs it.
#
# Usage: scripts/bench.sh [--runs N] [--wine-runs N] [--no-native] [--no-wine] [--markdown]
#                         [--json FILE] [--scenario NAME]...
#   --runs N       native runs per scenario (default 5)
#   --wine-runs N  runs per scenario under Wine (default 3)
# Other options go to bench/run_benchmark.py unchanged (see its --help).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

wine=1
for arg in "$@"; do
  case "$arg" in
    --no-wine) wine=0 ;;
    -h | --help) exec /usr/bin/python3 bench/run_benchmark.py --help ;;
  esac
done

scripts/setup.sh
# The simulator is native: always needed.
cmake --preset native >/dev/null
cmake --build --preset native --target kestrelon kestrelon-sim failed_opens prescribed_pauses
if [ "$wine" = 1 ]; then
  cmake --preset windows-release >/dev/null
  cmake --build --preset windows-release --target Kestrelon failed_opens
fi
exec scripts/isolated.sh /usr/bin/python3 bench/run_benchmark.py "$@"
