#!/usr/bin/env bash
# Builds the benchmarks optimised (preset bench) and runs them: whole
# enumerations over hierarchies of growing size, and the firmware model's
# enumerations per second. Arguments go to Google Benchmark, for example
#   scripts/bench.sh --benchmark_filter=Switched --benchmark_format=json
# Not part of scripts/test.sh: timings are reports, not pass/fail checks.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset bench >/dev/null
cmake --build --preset bench
build/bench/bench/pciplat_bench --benchmark_counters_tabular=true "$@"
