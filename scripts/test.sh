#!/usr/bin/env bash
# Builds and runs every test, cheapest first so that a broken change fails in
# the first minutes: the fast tier (unit tests, tool tests, lint), then the
# image with its budgets and the real-firmware tests under QEMU, then the unit
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, then every fuzz
# target for a minute (scripts/fuzz.sh; FUZZ_SECONDS changes it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

tier() { printf '\n=== %s (%s)\n' "$1" "$(date +%T)"; }

tier "fast tier: unit tests, tool tests, lint"
cmake --preset host >/dev/null
cmake --build --preset host --target fast-tier
ctest --preset host -L fast

tier "image, budgets and real firmware"
cmake --build --preset host
ctest --preset host -LE fast

tier "sanitizers"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize
ctest --preset sanitize

tier "fuzzing"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
