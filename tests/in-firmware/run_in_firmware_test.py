#!/usr/bin/env python3
"""Boots OVMF with the driver inside its firmware image and checks what OVMF's
own PCI bus driver did with it.

The runner builds the image with tools/fv-inject: Debian's OVMF_CODE_4M.fd
whose DXE volume also holds PciPlatformDxe (from its binary module
description, depex TRUE), the test-support driver (depex: CPU I/O 2) and the
recorder (depex: the support driver's report and variable writes). It boots
the image in QEMU with the end-to-end test's topology and the observing
application as the boot program, and fails on a FAIL line, a missing or
unknown check, a timeout or an unclean shutdown.

--expect-entry-error puts a driver whose entry point fails in the driver's
place; the run passes when the boot still reaches the application, which
reports fw.dispatched as failed, and shuts down.
--baseline boots the unchanged OVMF image with the same application, to
measure the boot time the drivers add (its checks fail; only times count).

--agree-with PCIPLAT_SIM boots the debug image in the driver's place and
checks the model against the firmware: the recorder captured every
configuration space when the begin of resource allocation was announced, the
application printed the capture in the `lspci -xxxx` form, and the board
runner, given that capture, the board of the test's firmware set-up and OVMF's
call sequence, must print the very decision lines the debug image wrote to
the serial port during the boot. --topology deep boots a second hierarchy:
a switch below a switch, and a multi-function endpoint; --topology
switched-mf a two-function endpoint below two switch levels, on a q35 whose
second and third I/O APIC bases read all ones, as on a board without them
(QEMU's unclaimed addresses read 0; the support driver is told through fw_cfg).

Exit status: 0 passed, 1 failed, 77 skipped (QEMU or OVMF not installed).
"""

import argparse
import difflib
import json
import selectors
import subprocess
import sys
import time
import types
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import run_ovmf_test as e2e  # noqa: E402  (topology, console parsing)

EXPECTED_CHECKS = [
    "fw.dispatched",
    "fw.recorder",
    "fw.notify-order",
    "fw.policy-once",
    "fw.prep-controller",
    "fw.get-pci-rom",
    "fw.callback-begin-allocation",
    "fw.callback-end-allocation",
    "fw.callback-prep-controller",
    "fw.config-blocks",
    "fw.ioapic",
    "fw.capture",
    "example.callbacks",
    "example.option-rom-set",
]

CPU_IO2_PROTOCOL = "AD61F191-AE5F-4C0E-B9FA-E869D288C64F"
SUPPORT_REPORT_PROTOCOL = "28E05274-C208-4866-8294-19E056419E11"
VARIABLE_ARCH_PROTOCOL = "1E5668E2-8481-11D4-BCF1-0080C73C8881"
VARIABLE_WRITE_ARCH_PROTOCOL = "6441F818-6362-4E44-B570-7DBA31DD2453"
SUPPORT_FILE_GUID = "ECF63355-D700-4A37-9940-C6D58030E942"
RECORDER_FILE_GUID = "216C3959-A762-4DDB-B11D-1BC0F66DDEEC"
PLATFORM_FILE_GUID = "C8532B76-9366-49D3-98BF-8F59293D6DF8"  # PciPlatformDxe.inf
PCI_CALLBACK_PROTOCOL = "1CA0E202-FE9E-4776-9FAA-570C19617A06"
EXAMPLE_FILE_GUID = "5C0E7D41-2B9A-4F36-8E15-A4D3C7B9062F"
APPLICATION = "InFirmwareApp.efi"
REPOSITORY = Path(__file__).resolve().parents[2]
# Two switches deep below a root port, with a second, empty downstream port on
# the upper switch; a two-function Ethernet endpoint on another root port.
DEEP_TOPOLOGY = [
    "-device", "pcie-root-port,id=rp1,chassis=1,slot=1",
    "-device", "e1000e,bus=rp1,addr=00.0,multifunction=on,romfile=",
    "-device", "e1000e,bus=rp1,addr=00.1,romfile=",
    "-device", "pcie-root-port,id=rp2,chassis=2,slot=2",
    "-device", "x3130-upstream,id=up1,bus=rp2",
    "-device", "xio3130-downstream,id=dn1,bus=up1,chassis=3,slot=3",
    "-device", "xio3130-downstream,id=dn2,bus=up1,chassis=4,slot=4",
    "-device", "x3130-upstream,id=up2,bus=dn1",
    "-device", "xio3130-downstream,id=dn3,bus=up2,chassis=5,slot=5",
    "-device", "nvme,serial=deep,bus=dn3,drive=d0",
]
# A two-function Ethernet endpoint below two switch levels.
SWITCHED_MF_TOPOLOGY = [
    "-device", "pcie-root-port,id=rp1,chassis=1,slot=1",
    "-device", "x3130-upstream,id=up1,bus=rp1",
    "-device", "xio3130-downstream,id=dn1,bus=up1,chassis=2,slot=2",
    "-device", "x3130-upstream,id=up2,bus=dn1",
    "-device", "xio3130-downstream,id=dn2,bus=up2,chassis=3,slot=3",
    "-device", "e1000e,bus=dn2,addr=00.0,multifunction=on,romfile=",
    "-device", "e1000e,bus=dn2,addr=00.1,romfile=",
]
# Name: (QEMU devices, I/O APIC bases that read all ones in that boot).
TOPOLOGIES = {
    "e2e": (e2e.E2E_TOPOLOGY, []),
    "deep": (DEEP_TOPOLOGY, []),
    "switched-mf": (SWITCHED_MF_TOPOLOGY, [0xFEC80000, 0xFEC90000]),
}
UNFITTED_IOAPICS_FW_CFG = "opt/pciplat/unfitted-ioapics"
DECISION_LINE = "PCIPLAT "
CAPTURE_BEGIN = "LSPCI-BEGIN"
CAPTURE_END = "LSPCI-END"
DEFAULT_TIMEOUT_S = 120


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", required=True, type=Path, help="the image build's output directory")
    parser.add_argument("--fv-inject", required=True, type=Path, help="tools/fv-inject/fv_inject.py")
    parser.add_argument("--work", required=True, type=Path, help="scratch directory (recreated)")
    parser.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT_S, help="seconds before QEMU is stopped")
    parser.add_argument("--qemu", default="qemu-system-x86_64")
    parser.add_argument("--ovmf-code", type=Path, default=e2e.OVMF_DIR / "OVMF_CODE_4M.fd")
    parser.add_argument("--ovmf-vars", type=Path, default=e2e.OVMF_DIR / "OVMF_VARS_4M.fd")
    parser.add_argument("--debug-image", action="store_true", help="the debug image in the driver's place")
    parser.add_argument("--agree-with", type=Path, metavar="PCIPLAT_SIM",
                        help="compare the debug image's decisions with the board runner's on the captured hierarchy")
    parser.add_argument("--board", type=Path, default=REPOSITORY / "boards" / "qemu-q35.json",
                        help="the runner's board for the capture (default: boards/qemu-q35.json)")
    parser.add_argument("--topology", choices=sorted(TOPOLOGIES), default="e2e")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--expect-entry-error", action="store_true")
    mode.add_argument("--baseline", action="store_true")
    args = parser.parse_args()
    args.debug_image = args.debug_image or args.agree_with is not None
    return args


def inject_arguments(args):
    platform = ["--module", str(args.images / ("PciPlatformDxeDebug.inf" if args.debug_image else "PciPlatformDxe.inf"))]
    if args.expect_entry_error:
        platform = ["--driver", f"{args.images / 'FailingEntryDxe.efi'},guid={PLATFORM_FILE_GUID},name=PciPlatformDxe"]
    return platform + [
        "--driver", f"{args.images / 'E2eSupportDxe.efi'},guid={SUPPORT_FILE_GUID},depex={CPU_IO2_PROTOCOL}",
        "--driver", f"{args.images / 'InFirmwareRecorderDxe.efi'},guid={RECORDER_FILE_GUID},"
                    f"depex={SUPPORT_REPORT_PROTOCOL}+{VARIABLE_ARCH_PROTOCOL}+{VARIABLE_WRITE_ARCH_PROTOCOL}",
        # The C example, once the driver's callback protocol is installed.
        "--driver", f"{args.images / 'PciCallbackExample.efi'},guid={EXAMPLE_FILE_GUID},depex={PCI_CALLBACK_PROTOCOL}",
    ]


def build_firmware(args):
    """The OVMF image with the drivers in it, or None after saying why not."""
    if args.baseline:
        return args.ovmf_code
    image = args.work / "OVMF_CODE_PCIPLAT.fd"
    command = [sys.executable, str(args.fv_inject), "inject", str(args.ovmf_code), "-o", str(image)]
    started = time.monotonic()
    built = subprocess.run(command + inject_arguments(args), capture_output=True, text=True, check=False)
    print(built.stdout.rstrip())
    if built.returncode != 0:
        print(f"e2e.in-firmware: FAILED, fv-inject could not build the image:\n{built.stderr.rstrip()}")
        return None
    print(f"  firmware image built in {time.monotonic() - started:.1f} s: {image}")
    return image


def boot(command, timeout):
    """Runs QEMU; returns (console bytes, exit status or None, timed out, seconds to the application)."""
    started = time.monotonic()
    qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    output = bytearray()
    application_at = None
    with selectors.DefaultSelector() as selector:
        selector.register(qemu.stdout, selectors.EVENT_READ)
        while True:
            remaining = started + timeout - time.monotonic()
            if remaining <= 0:
                qemu.kill()
                qemu.wait()
                return bytes(output), None, True, application_at
            if not selector.select(remaining):
                continue
            chunk = qemu.stdout.read1(65536)
            if not chunk:
                break
            output += chunk
            if application_at is None and e2e.BEGIN_MARK.encode() in output:
                application_at = time.monotonic() - started
    return bytes(output), qemu.wait(), False, application_at


def section(console, begin, end):
    """The lines between the marker lines begin and end, or None without both."""
    lines = console.splitlines()
    if begin not in lines or end not in lines:
        return None
    return lines[lines.index(begin) + 1:lines.index(end)]


def unfitted_ioapics(args):
    return TOPOLOGIES[args.topology][1]


def fw_cfg_arguments(unfitted):
    """QEMU arguments telling the support driver which I/O APIC bases read all ones."""
    if not unfitted:
        return []
    return ["-fw_cfg", f"name={UNFITTED_IOAPICS_FW_CFG},string=" + " ".join(f"0x{base:08x}" for base in unfitted)]


def board_for(args):
    """The runner's board: args.board, without the I/O APICs the boot marked as not fitted."""
    unfitted = unfitted_ioapics(args)
    if not unfitted:
        return args.board
    board = json.loads(args.board.read_text())
    board["io_apics"] = [base for base in board.get("io_apics", []) if int(base, 0) not in unfitted]
    board["description"] = board.get("description", "") + " Not fitted in this boot: " + \
        ", ".join(f"0x{base:08x}" for base in unfitted) + "."
    variant = args.work / "board.json"
    variant.write_text(json.dumps(board, indent=2) + "\n")
    return variant


def agreement_problems(args, console, report):
    """Runs the board runner on the boot's capture; its decision lines must be the debug image's.
    Appends what a reader needs to see a difference to report."""
    # The boot's decisions; the application's own request for an option ROM comes after its start.
    boot_output = console.split(e2e.BEGIN_MARK)[0]
    serial = [line for line in boot_output.splitlines() if line.startswith(DECISION_LINE)]
    capture = section(console, CAPTURE_BEGIN, CAPTURE_END)
    if capture is None:
        return ["no configuration capture in the console output"]
    if not serial:
        return ["no decision line on the serial port (is the debug image in the volume?)"]
    capture_file = args.work / "capture.lspci"
    capture_file.write_text("\n".join(capture) + "\n")
    (args.work / "serial-decisions.txt").write_text("\n".join(serial) + "\n")
    command = [str(args.agree_with), "--board", str(board_for(args)), "--lspci", str(capture_file),
               "--sequence=ovmf", "--decision-lines"]
    model = subprocess.run(command, capture_output=True, text=True, check=False)
    if model.returncode != 0:
        return [f"pciplat-sim exited with status {model.returncode}: {model.stderr.strip()}"]
    modelled = model.stdout.splitlines()
    (args.work / "model-decisions.txt").write_text(model.stdout)
    if modelled == serial:
        print(f"  PASS    agreement: {len(serial)} decision lines, the same from the model and the firmware")
        return []
    report.append("---- decisions: the debug image's serial lines (-) and pciplat-sim's on the capture (+) ----")
    report.extend(difflib.unified_diff(serial, modelled, "serial", "pciplat-sim", lineterm="", n=2))
    return [f"the model's decisions ({len(modelled)} lines) differ from the firmware's ({len(serial)} lines); "
            f"both sides are in {args.work}"]


def verdict_for_entry_error(problems, results):
    """The boot with a failing entry point: the application ran to its end and
    reported the driver as not dispatched. Failed checks are expected; any
    other problem (missing check, timeout, no end, unclean shutdown) counts."""
    remaining = [problem for problem in problems if not problem.startswith("FAIL ")]
    dispatched = results.get("fw.dispatched", ("MISSING", ""))[0]
    if dispatched != "FAIL":
        remaining.append(f"fw.dispatched is {dispatched}, expected FAIL")
    return remaining


def main():
    args = parse_args()
    name = "e2e.in-firmware" + (".entry-error" if args.expect_entry_error else ".baseline" if args.baseline else "")
    name += ".agreement" if args.agree_with is not None else ""
    name += "" if args.topology == "e2e" else f"-{args.topology}"
    qemu_found = e2e.shutil.which(args.qemu)
    absent = [str(path) for path in (args.ovmf_code, args.ovmf_vars) if not path.is_file()]
    if qemu_found is None or absent:
        print(f"{name}: SKIPPED, not installed: {', '.join(([args.qemu] if qemu_found is None else []) + absent)}")
        return e2e.SKIP

    if args.work.exists():
        e2e.shutil.rmtree(args.work)
    fat = args.work / "fat"
    (fat / "EFI" / "BOOT").mkdir(parents=True)
    try:
        e2e.shutil.copyfile(args.images / APPLICATION, fat / "EFI" / "BOOT" / "BOOTX64.EFI")
    except OSError as error:
        print(f"{name}: FAILED, images not built in {args.images}: {error}")
        return 1
    firmware = build_firmware(args)
    if firmware is None:
        return 1
    variables = args.work / "OVMF_VARS.fd"
    e2e.shutil.copyfile(args.ovmf_vars, variables)
    nvme = args.work / "nvme.img"
    with open(nvme, "wb") as disk:
        disk.truncate(e2e.NVME_IMAGE_BYTES)

    options = types.SimpleNamespace(qemu=args.qemu, ovmf_code=firmware)
    topology = TOPOLOGIES[args.topology][0] + fw_cfg_arguments(unfitted_ioapics(args))
    started = time.monotonic()
    raw, exit_code, timed_out, application_at = boot(e2e.qemu_command(options, fat, variables, nvme, topology),
                                                     args.timeout)
    elapsed = time.monotonic() - started

    console = e2e.clean_console(raw)
    log = args.work / "console.log"
    log.write_text(console)
    problems, results = e2e.evaluate(console, timed_out, exit_code, args.timeout, EXPECTED_CHECKS)
    if args.expect_entry_error:
        problems = verdict_for_entry_error(problems, results)
    report = []
    if args.agree_with is not None:
        problems += agreement_problems(args, console, report)
    for check in EXPECTED_CHECKS + [check for check in results if check not in EXPECTED_CHECKS]:
        verdict, detail = results.get(check, ("MISSING", ""))
        print(f"  {verdict:7} {check}" + (f": {detail}" if detail else ""))
    started_text = f"{application_at:.1f} s" if application_at is not None else "never"
    print(f"  application started after {started_text}, QEMU ran {elapsed:.1f} s")
    if args.baseline:
        print(f"{name}: boot of the unchanged image measured; console log: {log}")
        return 0 if application_at is not None else 1
    if problems:
        capture = set(section(console, CAPTURE_BEGIN, CAPTURE_END) or [])
        print("---- console (last 60 lines, without the capture) ----")
        print("\n".join([line for line in console.splitlines() if line not in capture][-60:]))
        print("\n".join(report))
        print("---- problems ----")
        for problem in problems:
            print(f"  {problem}")
        print(f"{name}: FAILED, {len(problems)} problem(s); console log: {log}")
        return 1
    print(f"{name}: PASSED; console log: {log}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
