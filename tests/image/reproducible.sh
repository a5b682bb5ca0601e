#!/usr/bin/env bash
# Two builds of the same sources, from two copies in folders of different
# names and at different times, must give the same bytes for both shipped
# images: integrators rebuild a measured, signed binary and compare.
# Usage: reproducible.sh SOURCE_DIR WORK_DIR PE_INFO
set -euo pipefail
source_dir=$1
work=$2
pe_info=$3
rm -rf "$work"
mkdir -p "$work"

# The tracked files when the tree is a git checkout, else everything but builds.
copy_sources() {
  local target=$1
  mkdir -p "$target"
  if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard) |
      (cd "$source_dir" && xargs -0 cp --parents -t "$target")
  else
    (cd "$source_dir" && tar --exclude=./build -cf - .) | (cd "$target" && tar -xf -)
  fi
}

build_images() {
  local tree=$1
  cmake -S "$tree" -B "$tree/build/efi" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$tree/cmake/UefiToolchain.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel >"$tree/configure.log" 2>&1 ||
    { tail -20 "$tree/configure.log"; return 1; }
  cmake --build "$tree/build/efi" --target PciPlatformDxe PciPlatformDxeDebug >"$tree/build.log" 2>&1 ||
    { tail -20 "$tree/build.log"; return 1; }
}

first="$work/a"
second="$work/second-clone-at-a-longer-path"
copy_sources "$first"
copy_sources "$second"
build_images "$first"
sleep 2 # a link-time stamp would now differ
build_images "$second"

status=0
for image in PciPlatformDxe.efi PciPlatformDxeDebug.efi; do
  one=$(sha256sum "$first/build/efi/$image" | cut -d' ' -f1)
  two=$(sha256sum "$second/build/efi/$image" | cut -d' ' -f1)
  if [[ $one == "$two" ]]; then
    echo "same    $image  sha256 $one"
  else
    echo "DIFFER  $image  $one (a)  $two (second)"
    cmp -l "$first/build/efi/$image" "$second/build/efi/$image" | head -5
    status=1
  fi
done
"$pe_info" "$first/build/efi/PciPlatformDxe.efi" | grep "time stamp"
rm -rf "$work"
exit $status
