#!/usr/bin/env bash
# Runs every libFuzzer target (or the ones named) for a bounded time each, one
# after the other, starting from the committed seeds and regression inputs.
# New corpus entries go to build/fuzz/corpus/<target>, crashing inputs to
# build/fuzz/artifacts/. Exits non-zero on the first target that fails.
#
#   scripts/fuzz.sh [seconds-per-target] [target...]
#   targets: enumeration option-rom-requests callback-registrations lspci-dump board-description
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(enumeration option-rom-requests callback-registrations lspci-dump board-description)
fi

mkdir -p build/fuzz/artifacts
passed=0
for target in "${targets[@]}"; do
  binary=build/fuzz/fuzz/fuzz_${target//-/}
  work=build/fuzz/corpus/$target
  log=build/fuzz/$target.log
  mkdir -p "$work"
  seeds=()
  for directory in "fuzz/corpus/$target" "fuzz/regressions/$target"; do
    if [[ -d $directory ]]; then
      seeds+=("$directory")
    fi
  done
  echo "fuzz: $target for ${seconds}s"
  # A single input past 10 s is a hang: the model bounds every run long before.
  status=0
  "$binary" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/artifacts/$target-" "$work" "${seeds[@]}" >"$log" 2>&1 || status=$?
  grep -E '^(stat::(number_of_executed_units|average_exec_per_sec|new_units_added)|Done)' "$log" || true
  if ((status != 0)); then
    grep -E 'invariant violated|ERROR|SUMMARY|Test unit written' "$log" >&2 || tail -n 40 "$log" >&2
    echo "fuzz: $target failed (exit $status); the input is in build/fuzz/artifacts/, the log in $log" >&2
    echo "fuzz: $passed passed, 1 failed"
    exit "$status"
  fi
  passed=$((passed + 1))
done
echo "fuzz: $passed passed, 0 failed"
