#!/usr/bin/env python3
"""Soak: boots the firmware image with the driver in its DXE volume many times
in a row (fifty by default) and compares what every boot observed with the
first boot: the platform calls in order, the PCI view, and every check.

The image is built once, as e2e.in-firmware builds it; the boots share one
variable store, as a machine's reboots do. Not part of CI: fifty boots take a
few minutes. Each differing or failing boot's console log is kept in WORK.

  tests/in-firmware/soak.py --images build/host/image \\
      --fv-inject tools/fv-inject/fv_inject.py --work /tmp/soak [--boots 50]

Exit status: 0 every boot passed and observed the same sequence, 1 otherwise,
77 QEMU or OVMF is not installed.
"""

import argparse
import sys
import time
import types
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run_in_firmware_test as firmware  # noqa: E402

e2e = firmware.e2e
OBSERVED_PREFIXES = ("INFO ", "PASS ", "FAIL ")


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", required=True, type=Path, help="the image build's output directory")
    parser.add_argument("--fv-inject", required=True, type=Path, help="tools/fv-inject/fv_inject.py")
    parser.add_argument("--work", required=True, type=Path, help="scratch directory (recreated)")
    parser.add_argument("--boots", type=int, default=50)
    parser.add_argument("--timeout", type=float, default=firmware.DEFAULT_TIMEOUT_S, help="seconds per boot")
    parser.add_argument("--qemu", default="qemu-system-x86_64")
    args = parser.parse_args()
    args.ovmf_code = e2e.OVMF_DIR / "OVMF_CODE_4M.fd"
    args.ovmf_vars = e2e.OVMF_DIR / "OVMF_VARS_4M.fd"
    args.baseline = args.expect_entry_error = args.debug_image = False
    return args


def observed(console):
    """What a boot saw: the application's INFO, PASS and FAIL lines, in order."""
    return [line.rstrip() for line in console.splitlines() if line.startswith(OBSERVED_PREFIXES)]


def first_difference(reference, lines):
    for index, (expected, got) in enumerate(zip(reference, lines)):
        if expected != got:
            return "line %d: '%s' instead of '%s'" % (index + 1, got, expected)
    return "%d lines instead of %d" % (len(lines), len(reference))


def prepare(args):
    """The FAT folder, the firmware image, the variable store and the disk; None if they cannot be made."""
    if args.work.exists():
        e2e.shutil.rmtree(args.work)
    fat = args.work / "fat"
    (fat / "EFI" / "BOOT").mkdir(parents=True)
    e2e.shutil.copyfile(args.images / firmware.APPLICATION, fat / "EFI" / "BOOT" / "BOOTX64.EFI")
    image = firmware.build_firmware(args)
    if image is None:
        return None
    variables = args.work / "OVMF_VARS.fd"
    e2e.shutil.copyfile(args.ovmf_vars, variables)
    nvme = args.work / "nvme.img"
    with open(nvme, "wb") as disk:
        disk.truncate(e2e.NVME_IMAGE_BYTES)
    options = types.SimpleNamespace(qemu=args.qemu, ovmf_code=image)
    return e2e.qemu_command(options, fat, variables, nvme)


def soak(args, command):
    """Boots args.boots times; returns the number of boots that failed or differed."""
    reference = None
    bad = 0
    for number in range(1, args.boots + 1):
        raw, exit_code, timed_out, application_at = firmware.boot(command, args.timeout)
        console = e2e.clean_console(raw)
        problems, _ = e2e.evaluate(console, timed_out, exit_code, args.timeout, firmware.EXPECTED_CHECKS)
        lines = observed(console)
        reference = reference or lines
        verdict = "same sequence as boot 1" if lines == reference else "differs, " + first_difference(reference, lines)
        if problems:
            verdict = "FAILED: " + "; ".join(problems[:3])
        if problems or lines != reference:
            bad += 1
            (args.work / ("console-boot-%02d.log" % number)).write_text(console)
        started = "%.1f s" % application_at if application_at is not None else "never"
        print("boot %2d: application after %s, %d lines observed, %s" % (number, started, len(lines), verdict),
              flush=True)
    return bad


def main():
    args = parse_args()
    if e2e.shutil.which(args.qemu) is None or not args.ovmf_code.is_file() or not args.ovmf_vars.is_file():
        print("soak: SKIPPED, QEMU or OVMF is not installed")
        return e2e.SKIP
    command = prepare(args)
    if command is None:
        return 1
    started = time.monotonic()
    bad = soak(args, command)
    print("soak: %d boots in %.0f s, %d failed or differed from boot 1" % (args.boots, time.monotonic() - started, bad))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
