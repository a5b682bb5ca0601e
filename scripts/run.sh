#!/usr/bin/env bash
# Builds everything (host library, firmware model, tools, the UEFI image) and
# runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host
build/host/tools/pe-info/pe-info build/host/image/PciPlatformDxe.efi
