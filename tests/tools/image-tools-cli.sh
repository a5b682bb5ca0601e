#!/usr/bin/env bash
# pe-info and stack-depth as a user meets them: --help, the checksum check, and
# one line 'TOOL: error: ...' with the documented exit status for bad input.
# Usage: image-tools-cli.sh PE_INFO STACK_DEPTH SOURCE_DIR [BUILD_DIR OBJDUMP]
# (without a build holding the image, only what needs no image runs).
set -uo pipefail
pe_info=$1
stack_depth=$2
source_dir=$3
build_dir=${4:-}
objdump=${5:-llvm-objdump}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passes=0

# expect NAME STATUS MESSAGE COMMAND...: the exit status, and for a failure
# exactly one stderr line 'TOOL: error: ...MESSAGE...'; for success MESSAGE on stdout.
expect() {
  local name=$1 status=$2 message=$3
  shift 3
  "$@" >"$work/out" 2>"$work/err"
  local got=$? tool
  tool=$(basename "$1")
  if [[ $got -ne $status ]]; then
    echo "FAIL $name: exit status $got, expected $status: $(head -c 300 "$work/err")"
  elif [[ $status -eq 0 ]] && ! grep -qF -- "$message" "$work/out"; then
    echo "FAIL $name: output lacks '$message'"
  elif [[ $status -ne 0 ]] && ! { [[ $(wc -l <"$work/err") -eq 1 ]] && grep -q "^$tool: error: .*" "$work/err" &&
    grep -qF -- "$message" "$work/err"; }; then
    echo "FAIL $name: stderr is not one line '$tool: error: ...$message...': $(cat "$work/err")"
  else
    passes=$((passes + 1))
    return
  fi
  failures=$((failures + 1))
}

# A small driver image with a checksum stamped by the firmware-image tool's own
# implementation, then the same image damaged and unstamped.
python3 - "$source_dir" "$work" <<'EOF'
import pathlib, struct, sys
sys.path.insert(0, sys.argv[1] + "/tests/fv-inject")
import test_fv_inject
work = pathlib.Path(sys.argv[2])
image = test_fv_inject.make_pe(bytes(range(256)) * 2)
(work / "good.efi").write_bytes(image)
(work / "damaged.efi").write_bytes(image[:0x420] + bytes([image[0x420] ^ 1]) + image[0x421:])
(work / "unstamped.efi").write_bytes(test_fv_inject.make_pe(stamp=False))
(work / "truncated.efi").write_bytes(image[:0x90])
(work / "text.efi").write_text("not an image\n")
EOF
mkdir "$work/empty"

expect "pe-info --help" 0 "usage: pe-info" "$pe_info" --help
expect "pe-info shows a matching checksum" 0 "(matches)" "$pe_info" --check "$work/good.efi"
expect "pe-info: no image" 2 "no image given" "$pe_info"
expect "pe-info: unknown option" 2 "unknown option '--frobnicate'" "$pe_info" --frobnicate "$work/good.efi"
expect "pe-info: bad budget" 2 "--budget: 'lots' is not a positive number" "$pe_info" --budget lots "$work/good.efi"
expect "pe-info: budget without a value" 2 "option --budget needs a value" "$pe_info" --budget
expect "pe-info: two images" 2 "more than one image" "$pe_info" "$work/good.efi" "$work/good.efi"
expect "pe-info: missing file" 2 "none.efi: cannot open (No such file" "$pe_info" "$work/none.efi"
expect "pe-info: a folder" 2 "empty: is a folder" "$pe_info" "$work/empty"
expect "pe-info: not an image" 2 "text.efi: no DOS header" "$pe_info" "$work/text.efi"
expect "pe-info: truncated headers" 2 "truncated.efi: truncated" "$pe_info" "$work/truncated.efi"
expect "pe-info: damaged image" 1 "does not match its contents" "$pe_info" --check "$work/damaged.efi"
expect "pe-info: no checksum" 1 "carries no checksum" "$pe_info" --check "$work/unstamped.efi"
expect "pe-info: over the budget" 1 "over the budget of 512" "$pe_info" --budget 512 "$work/good.efi"

expect "stack-depth --help" 0 "usage: stack-depth" "$stack_depth" --help
expect "stack-depth: no input" 2 "give either --build DIR or IMAGE.efi" "$stack_depth"
expect "stack-depth: unknown option" 2 "unknown option '--objects-dir'" "$stack_depth" --objects-dir x y.efi
expect "stack-depth: bad levels" 2 "--levels: '0' is not a positive number" "$stack_depth" --levels 0 x.efi
expect "stack-depth: build without an image" 2 "no PciPlatformDxe.efi in it" "$stack_depth" --build "$work/empty"
expect "stack-depth: no map file" 2 "cannot read the map file" \
  "$stack_depth" --objects "$work/empty" "$work/good.efi"

if [[ -n $build_dir ]]; then
  image_dir=$build_dir/image
  objects=$image_dir/efi/CMakeFiles/PciPlatformDxe.dir
  expect "stack-depth finds its inputs from the build" 0 "deepest stack" \
    "$stack_depth" --objdump "$objdump" --build "$build_dir"
  expect "stack-depth: over the budget" 1 "over the budget of 64" \
    "$stack_depth" --objdump "$objdump" --budget 64 --build "$build_dir"
  mkdir "$work/su" && printf 'a.cpp:1:f\tlots\tstatic\n' >"$work/su/a.su"
  expect "stack-depth: malformed stack-usage file" 2 "a.su: f: 'lots' is not a frame size" \
    "$stack_depth" --objdump "$objdump" --objects "$work/su" --map "$image_dir/PciPlatformDxe.map" \
    "$image_dir/PciPlatformDxe.efi"
  expect "stack-depth: no disassembler" 2 "cannot disassemble" \
    "$stack_depth" --objdump "$work/none-objdump" --objects "$objects" --map "$image_dir/PciPlatformDxe.map" \
    "$image_dir/PciPlatformDxe.efi"
fi

echo "$passes passed, $failures failed"
[[ $failures -eq 0 ]]
