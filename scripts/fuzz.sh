#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang with ASan and UBSan) and runs each for
# SECONDS (default 60) from its checked-in seed corpus. New inputs go to a work corpus in the
# build folder, crashes to build/fuzz/artifacts/. Exits non-zero when any target fails.
# Usage: scripts/fuzz.sh [SECONDS]
set -uo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
targets=(fuzz_settings_file fuzz_text_to_integer fuzz_numeric_text fuzz_identification_reply
         fuzz_detection_reply fuzz_detection_scan fuzz_run)

cd "$root" || exit 1
if ! { cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -- "${targets[@]}" >/dev/null; }; then
  echo "fuzz: build failed" >&2
  exit 1
fi

mkdir -p "$build/artifacts"
failed=0
summary=()
for target in "${targets[@]}"; do
  work=$build/corpus-work/$target
  log=$build/artifacts/$target.log
  mkdir -p "$work"
  # -timeout turns an input that hangs into a failure; the seeds are only read.
  "$build/fuzz/$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    "$work" "$root/fuzz/corpus/$target" >"$log" 2>&1
  status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ "$status" -eq 0 ]; then
    result=ok
  else
    result="FAILED (exit $status, see $log)"
    failed=$((failed + 1))
    grep -E "check failed|ERROR|SUMMARY|Test unit written" "$log" | head -n 8 >&2
  fi
  summary+=("$target: ${executions:-0} executions in ${seconds}s, $result")
done

printf '%s\n' "${summary[@]}"
if [ "$failed" -ne 0 ]; then
  echo "fuzz: $failed of ${#targets[@]} targets failed" >&2
  exit 1
fi
