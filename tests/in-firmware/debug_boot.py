#!/usr/bin/env python3
"""Boots the debug image inside OVMF under QEMU and prints its decision log.

The firmware image is Debian's OVMF_CODE_4M.fd with PciPlatformDxeDebug in its
DXE volume (tools/fv-inject), so that OVMF's own PCI bus driver drives it
through a full enumeration. With the test platform services (the default),
the volume also holds the test-support driver (the Framework-era CPU I/O and
firmware volume interfaces over OVMF's PI ones, test option ROM files, the
configuration-block provider) and the recorder, which captures every
configuration space when the begin of resource allocation is announced.
--plain leaves them out: plain OVMF, whose missing services the log names.
The boot program prints the capture and shuts the machine down, so the boot
ends by itself.

Printed: the driver's lines (PCIPLAT ...) as its debug UART wrote them; with
--compare, also pciplat-sim's lines for the hierarchy captured in the same
boot, and their differences. The work folder keeps the console (console.log),
decisions.txt and, with --compare, capture.lspci and model-decisions.txt.

Exit status: 0 a boot with decision lines (and, with --compare, no
difference), 1 otherwise, 2 bad arguments.
"""

import argparse
import difflib
import shlex
import shutil
import sys
import time
import types
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run_in_firmware_test as firmware  # noqa: E402  (image, boot, capture, board)

e2e = firmware.e2e


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", type=Path, default=firmware.REPOSITORY / "build" / "host" / "image",
                        help="the image build's output folder (default: build/host/image)")
    parser.add_argument("--work", type=Path, default=Path("/tmp/pciplat-debug-boot"),
                        help="scratch folder, recreated (default: /tmp/pciplat-debug-boot)")
    parser.add_argument("--topology", choices=sorted(firmware.TOPOLOGIES), default="e2e",
                        help="named PCI Express topology (default: e2e, the end-to-end test's)")
    parser.add_argument("--devices", metavar="ARGS",
                        help="your own QEMU device arguments instead of a named topology, one shell-quoted "
                             "string; an NVMe device may use drive d0")
    parser.add_argument("--plain", action="store_true",
                        help="plain OVMF: only the debug image, none of the test platform services")
    parser.add_argument("--compare", type=Path, metavar="PCIPLAT_SIM",
                        help="run this pciplat-sim on the hierarchy captured in the boot and show the differences")
    parser.add_argument("--board", type=Path, default=firmware.REPOSITORY / "boards" / "qemu-q35.json",
                        help="the runner's board for the capture (default: boards/qemu-q35.json)")
    parser.add_argument("--timeout", type=float, default=firmware.DEFAULT_TIMEOUT_S, help="seconds before QEMU is stopped")
    parser.add_argument("--qemu", default="qemu-system-x86_64")
    parser.add_argument("--ovmf-code", type=Path, default=e2e.OVMF_DIR / "OVMF_CODE_4M.fd")
    parser.add_argument("--ovmf-vars", type=Path, default=e2e.OVMF_DIR / "OVMF_VARS_4M.fd",
                        help="the variable store template, copied into the work folder for the boot")
    args = parser.parse_args()
    if args.plain and args.compare:
        parser.error("--compare needs the recorder's capture, which --plain leaves out")
    return args


def firmware_image(args):
    """Builds the OVMF image with the debug driver (and the test services); None after saying why not."""
    options = types.SimpleNamespace(images=args.images, work=args.work, ovmf_code=args.ovmf_code,
                                    fv_inject=firmware.REPOSITORY / "tools" / "fv-inject" / "fv_inject.py",
                                    baseline=False, debug_image=True, expect_entry_error=False)
    if not args.plain:
        return firmware.build_firmware(options)
    image = args.work / "OVMF_CODE_PCIPLAT.fd"
    command = [sys.executable, str(options.fv_inject), "inject", str(args.ovmf_code), "-o", str(image),
               "--module", str(args.images / "PciPlatformDxeDebug.inf")]
    built = firmware.subprocess.run(command, capture_output=True, text=True, check=False)
    if built.returncode != 0:
        print(f"debug-boot: fv-inject could not build the image:\n{built.stderr.rstrip()}", file=sys.stderr)
        return None
    return image


def qemu_devices(args):
    if args.devices is not None:
        return shlex.split(args.devices)
    devices, unfitted = firmware.TOPOLOGIES[args.topology]
    return devices + firmware.fw_cfg_arguments(unfitted)


def boot(args, image):
    """Boots once; returns the cleaned console text, or None after saying why."""
    fat = args.work / "fat"
    (fat / "EFI" / "BOOT").mkdir(parents=True)
    shutil.copyfile(args.images / firmware.APPLICATION, fat / "EFI" / "BOOT" / "BOOTX64.EFI")
    variables = args.work / "OVMF_VARS.fd"
    shutil.copyfile(args.ovmf_vars, variables)
    nvme = args.work / "nvme.img"
    with open(nvme, "wb") as disk:
        disk.truncate(e2e.NVME_IMAGE_BYTES)
    command = e2e.qemu_command(types.SimpleNamespace(qemu=args.qemu, ovmf_code=image), fat, variables, nvme,
                               qemu_devices(args))
    (args.work / "qemu-command.txt").write_text(shlex.join(command) + "\n")
    started = time.monotonic()
    raw, exit_code, timed_out, _ = firmware.boot(command, args.timeout)
    console = e2e.clean_console(raw)
    (args.work / "console.log").write_text(console)
    print(f"debug-boot: QEMU ran {time.monotonic() - started:.1f} s", file=sys.stderr)
    if timed_out:
        print(f"debug-boot: the boot did not end within {args.timeout:.0f} s", file=sys.stderr)
        return None
    if exit_code != 0:
        print(f"debug-boot: QEMU exited with status {exit_code}; console in {args.work / 'console.log'}",
              file=sys.stderr)
        return None
    return console


def compare(args, console, serial):
    """The runner's lines for the boot's capture against the boot's; True when they agree."""
    options = types.SimpleNamespace(work=args.work, agree_with=args.compare, board=args.board,
                                    topology=args.topology if args.devices is None else "e2e")
    report = []
    problems = firmware.agreement_problems(options, console, report)
    if report:
        print()
        print("\n".join(report))
    for problem in problems:
        print(f"debug-boot: {problem}", file=sys.stderr)
    if not problems:
        print(f"debug-boot: pciplat-sim prints the same {len(serial)} lines for the hierarchy captured in this boot "
              f"({args.work / 'capture.lspci'}, its lines in {args.work / 'model-decisions.txt'})", file=sys.stderr)
    return not problems


def main():
    args = parse_args()
    for needed in (shutil.which(args.qemu), args.ovmf_code, args.ovmf_vars):
        if needed is None or not Path(needed).exists():
            print(f"debug-boot: not installed: {needed or args.qemu} (scripts/install-deps.sh)", file=sys.stderr)
            return 1
    if args.work.exists():
        shutil.rmtree(args.work)
    args.work.mkdir(parents=True)
    image = firmware_image(args)
    console = boot(args, image) if image is not None else None
    if console is None:
        return 1
    serial = [line for line in console.split(e2e.BEGIN_MARK)[0].splitlines()
              if line.startswith(firmware.DECISION_LINE)]
    (args.work / "decisions.txt").write_text("".join(line + "\n" for line in serial))
    print("\n".join(serial))
    if not serial:
        print("debug-boot: no decision line on the serial port", file=sys.stderr)
        return 1
    print(f"debug-boot: {len(serial)} decision lines; work folder {args.work}", file=sys.stderr)
    if args.compare is not None and not compare(args, console, serial):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
