#!/usr/bin/env bash
# Builds everything (host library, firmware model, tools, the UEFI image) and
# runs the main job: a whole enumeration of the built-in default board with the
# driver, reported by the board runner.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host
build/host/tools/pciplat-sim/pciplat-sim
