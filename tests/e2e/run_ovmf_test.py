#!/usr/bin/env python3
"""Boots the driver image in QEMU's q35 machine with OVMF and checks the result.

The test application (BOOTX64.EFI) loads the test-support driver and the
driver under test from the same FAT directory, prints one line per check
("PASS name" or "FAIL name: detail") on the serial console and shuts the
machine down. This runner lays out the directory, boots QEMU with a PCI
Express topology (root ports, a switch, endpoints), bounds the run with a
timeout and fails on any FAIL line, on a missing or unknown check, on a
timeout, or when the machine does not shut down cleanly.

Exit status: 0 passed, 1 failed, 77 skipped (QEMU or OVMF not installed).
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

# Every check the application reports, in the order it reports them. A check
# that is added to the application is added here too.
EXPECTED_CHECKS = [
    "support.start",
    "entry.start",
    "entry.new-handle",
    "policy.null-pointer",
    "policy.unsupported",
    "callback.register-accepts",
    "callback.register-refuses",
    "reconnect.root-bridge",
    "reconnect.prep-controller",
    "reconnect.get-pci-rom",
    "reconnect.callbacks",
    "notify.returns-success",
    "notify.idle-calls",
    "notify.begin-enumeration-locates",
    "walk.begin-allocation",
    "walk.end-allocation",
    "prep.dispatch",
    "pcie.max-payload",
    "pcie.aspm-no-qualifying-link",
    "config-blocks.dep-conf",
    "config-blocks.conf",
    "ioapic.write-sequence",
    "ioapic.id-register",
    "oprom.two-images",
    "oprom.repeat-request",
    "oprom.one-image",
    "oprom.no-pci-io",
]

SKIP = 77
DEFAULT_TIMEOUT_S = 120
OVMF_DIR = Path("/usr/share/OVMF")
NVME_IMAGE_BYTES = 1 << 20
IMAGES = {
    # file in the FAT directory: file in the image build
    "EFI/BOOT/BOOTX64.EFI": "E2eApp.efi",
    "E2eSupportDxe.efi": "E2eSupportDxe.efi",
    "PciPlatformDxe.efi": "PciPlatformDxe.efi",
}
BEGIN_MARK = "E2E-BEGIN"
END_MARK = "E2E-END"

ANSI_ESCAPE = re.compile(r"\x1b(\[[0-9;=?]*[A-Za-z]|[()][A-Za-z0-9]|[A-Za-z])")
CHECK_LINE = re.compile(r"^\s*(PASS|FAIL) ([A-Za-z0-9_.-]+)(?::\s*(.*?))?\s*$")


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", required=True, type=Path,
                        help="directory holding PciPlatformDxe.efi, E2eSupportDxe.efi and E2eApp.efi")
    parser.add_argument("--work", required=True, type=Path,
                        help="scratch directory (recreated): FAT directory, variable store, disk, console log")
    parser.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT_S, help="seconds before QEMU is stopped")
    parser.add_argument("--qemu", default="qemu-system-x86_64")
    parser.add_argument("--ovmf-code", type=Path, default=OVMF_DIR / "OVMF_CODE_4M.fd")
    parser.add_argument("--ovmf-vars", type=Path, default=OVMF_DIR / "OVMF_VARS_4M.fd")
    return parser.parse_args()


def prepare(args):
    """Lays out the work directory; returns the paths QEMU needs."""
    if args.work.exists():
        shutil.rmtree(args.work)
    fat = args.work / "fat"
    for target, source in IMAGES.items():
        path = fat / target
        path.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(args.images / source, path)
    variables = args.work / "OVMF_VARS.fd"
    shutil.copyfile(args.ovmf_vars, variables)
    nvme = args.work / "nvme.img"
    with open(nvme, "wb") as disk:
        disk.truncate(NVME_IMAGE_BYTES)
    return fat, variables, nvme


# A root port with an Ethernet endpoint (no option ROM of its own, so its
# handle can be disconnected), and a root port with a switch (upstream and
# downstream port) and an NVMe endpoint below it.
E2E_TOPOLOGY = [
    "-device", "pcie-root-port,id=rp1,chassis=1,slot=1",
    "-device", "e1000e,bus=rp1,romfile=",
    "-device", "pcie-root-port,id=rp2,chassis=2,slot=2",
    "-device", "x3130-upstream,id=up1,bus=rp2",
    "-device", "xio3130-downstream,id=dn1,bus=up1,chassis=3,slot=3",
    "-device", "nvme,serial=e2e,bus=dn1,drive=d0",
]


def qemu_command(args, fat, variables, nvme, topology=E2E_TOPOLOGY):
    """The QEMU command line; topology holds the PCI Express devices, an NVMe one on drive d0."""
    return [
        args.qemu,
        "-machine", "q35", "-accel", "tcg", "-m", "512", "-smp", "1",
        "-nographic", "-nic", "none", "-no-reboot",
        "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={args.ovmf_code}",
        "-drive", f"if=pflash,format=raw,unit=1,file={variables}",
        "-drive", f"format=raw,file=fat:rw:{fat}",
    ] + topology + [
        "-drive", f"if=none,id=d0,file={nvme},format=raw",
    ]


def clean_console(raw):
    text = raw.decode("utf-8", errors="replace")
    return ANSI_ESCAPE.sub("", text).replace("\r", "")


def evaluate(console, timed_out, exit_code, timeout, expected_checks=EXPECTED_CHECKS):
    """Returns (problems, results) where results maps check names to details."""
    results = {}
    problems = []
    for line in console.splitlines():
        match = CHECK_LINE.match(line)
        if not match:
            continue
        verdict, name, detail = match.groups()
        if name in results:
            problems.append(f"check {name} reported twice")
        results[name] = (verdict, detail or "")
    for name, (verdict, detail) in results.items():
        if verdict == "FAIL":
            problems.append(f"FAIL {name}: {detail}")
        if name not in expected_checks:
            problems.append(f"check {name} is not in the runner's list of expected checks")
    missing = [name for name in expected_checks if name not in results]
    if missing:
        problems.append("missing checks: " + ", ".join(missing))
    if BEGIN_MARK not in console:
        problems.append("the test application never started")
    if timed_out:
        problems.append(f"QEMU did not finish within {timeout:g} s")
    elif END_MARK not in console:
        problems.append("the test application did not reach its end")
    elif exit_code != 0:
        problems.append(f"QEMU exited with status {exit_code}, not a clean shutdown")
    return problems, results


def main():
    args = parse_args()
    qemu = shutil.which(args.qemu)
    absent = [str(path) for path in (args.ovmf_code, args.ovmf_vars) if not path.is_file()]
    if qemu is None or absent:
        what = ", ".join(([args.qemu] if qemu is None else []) + absent)
        print(f"e2e.ovmf: SKIPPED, not installed: {what} (Debian packages qemu-system-x86 and ovmf)")
        return SKIP
    missing_images = [name for name in IMAGES.values() if not (args.images / name).is_file()]
    if missing_images:
        print(f"e2e.ovmf: FAILED, images not built in {args.images}: {', '.join(missing_images)}")
        return 1

    fat, variables, nvme = prepare(args)
    command = qemu_command(args, fat, variables, nvme)
    started = time.monotonic()
    timed_out = False
    try:
        completed = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, timeout=args.timeout, check=False)
        raw, exit_code = completed.stdout, completed.returncode
    except subprocess.TimeoutExpired as expired:
        raw, exit_code, timed_out = expired.stdout or b"", None, True
    elapsed = time.monotonic() - started

    console = clean_console(raw)
    log = args.work / "console.log"
    log.write_text(console)
    problems, results = evaluate(console, timed_out, exit_code, args.timeout)

    for name in EXPECTED_CHECKS + [name for name in results if name not in EXPECTED_CHECKS]:
        verdict, detail = results.get(name, ("MISSING", ""))
        print(f"  {verdict:7} {name}" + (f": {detail}" if detail else ""))
    passed = sum(1 for verdict, _ in results.values() if verdict == "PASS")
    if problems:
        print("---- console (last 40 lines) ----")
        print("\n".join(console.splitlines()[-40:]))
        print("---- problems ----")
        for problem in problems:
            print(f"  {problem}")
        print(f"e2e.ovmf: FAILED, {passed} of {len(EXPECTED_CHECKS)} checks passed, "
              f"{len(problems)} problem(s), {elapsed:.1f} s; console log: {log}")
        return 1
    print(f"e2e.ovmf: PASSED, {passed} of {len(EXPECTED_CHECKS)} checks, {elapsed:.1f} s; console log: {log}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
