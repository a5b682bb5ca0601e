#!/usr/bin/env bash
# Builds everything (host library, firmware model, tools, the UEFI image) and
# runs the main job: a whole enumeration of the built-in default board with the
# driver, reported by the board runner. The build's output goes to a log, so
# the report is what the terminal shows; the log's tail only when the build fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
log=build/host/run-build.log
mkdir -p build/host
echo "building (log: $log)"
if ! { cmake --preset host && cmake --build --preset host; } >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "run.sh: the build failed; the whole log is in $log" >&2
  exit 1
fi
build/host/tools/pciplat-sim/pciplat-sim
