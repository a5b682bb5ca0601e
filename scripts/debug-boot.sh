#!/usr/bin/env bash
# Builds the debug image into an OVMF firmware image, boots it under QEMU with
# a PCI Express topology and prints the driver's decision lines; the boot ends
# by itself. Options go to tests/in-firmware/debug_boot.py (--help), plus
# --compare without a value: the board runner on the hierarchy captured in the
# same boot, and the differences.
#
#   scripts/debug-boot.sh                          # end-to-end topology, test platform services
#   scripts/debug-boot.sh --topology switched-mf   # two switch levels, one I/O APIC of three
#   scripts/debug-boot.sh --plain                  # plain OVMF: the log names what is missing
#   scripts/debug-boot.sh --compare
#   scripts/debug-boot.sh --devices "-device pcie-root-port,id=rp1,chassis=1 -device e1000e,bus=rp1,romfile="
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2

args=()
compare=0
for arg in "$@"; do
  if [[ $arg == --compare ]]; then
    compare=1
  else
    args+=("$arg")
  fi
done

cmake --preset host >/dev/null
targets=(uefi_images)
((compare)) && targets+=(pciplat-sim)
if ! cmake --build --preset host --target "${targets[@]}" >build/host/debug-boot-build.log 2>&1; then
  tail -n 40 build/host/debug-boot-build.log >&2
  echo "debug-boot: the build failed; its log is build/host/debug-boot-build.log" >&2
  exit 1
fi
((compare)) && args+=(--compare build/host/tools/pciplat-sim/pciplat-sim)
exec python3 tests/in-firmware/debug_boot.py "${args[@]}"
