#!/usr/bin/env bash
# Builds and runs every test: the host suite (with the image checks and lint),
# then the same unit tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# then every fuzz target for a minute (scripts/fuzz.sh; FUZZ_SECONDS changes it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host

cmake --preset sanitize >/dev/null
cmake --build --preset sanitize
ctest --preset sanitize

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
