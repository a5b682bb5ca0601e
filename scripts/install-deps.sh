#!/usr/bin/env bash
# Installs the Debian packages the build, the tools and the tests need, when
# missing. Run as root on Debian 12; does nothing when everything is present.
set -euo pipefail

packages=(
  clang lld llvm clang-format clang-tidy libclang-rt-14-dev   # compilers, image linker, sanitizers, fuzzers
  cmake ninja-build
  libgtest-dev libgmock-dev libbenchmark-dev                   # tests and benchmarks
  nlohmann-json3-dev libpci-dev pciutils                       # board runner: JSON, PCI ID names, lspci check
  qemu-system-x86 ovmf mtools python3                          # real-firmware tests
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then
    echo "install-deps: these packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
