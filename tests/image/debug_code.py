#!/usr/bin/env python3
"""Looks for the debug image's code in a UEFI image: the decision lines'
text and port I/O instructions (the 16550 UART is reached by in/out).

    debug_code.py --objdump OBJDUMP --map MAP IMAGE            passes when IMAGE holds none
    debug_code.py --objdump OBJDUMP --map MAP IMAGE --present  passes when IMAGE holds both

The second form runs on the debug image, so the check is shown to see what it
looks for. The images keep their constants in the code section; the linker's
map tells which bytes there are variables and string literals, whose
disassembly means nothing.
"""

import argparse
import bisect
import re
import subprocess
import sys

# The line prefix and words only decision lines use.
DEBUG_TEXT = [b"PCIPLAT", b"slot-clock-missing", b"platform-call", b"begin-resource-allocation"]
# in, out, ins, outs with an operand-size suffix, as llvm-objdump writes them.
PORT_IO = re.compile(r"^\s*([0-9a-f]+):(?:\s[0-9a-f]{2})+\s+(in|out|ins|outs)[bwl]?\s", re.MULTILINE)
# "0001:000001f0  ?mTable@@3QBU...@@B  00000001400011f0  Object.obj": symbols of the code section.
MAP_SYMBOL = re.compile(r"^\s*0001:[0-9a-f]+\s+(\S+)\s+([0-9a-f]{16})\s", re.MULTILINE)
# Variables (a storage class 0-4 after the scope) and string literals.
DATA_SYMBOL = re.compile(r"^(?:\?[^?@][^@]*@(?:[^@]*@)*@[0-4]|\?\?_C@)")


def data_ranges(map_text):
    """Sorted (address, is_data) of every code-section symbol."""
    symbols = sorted({(int(address, 16), bool(DATA_SYMBOL.match(name))) for name, address in MAP_SYMBOL.findall(map_text)})
    return [address for address, _ in symbols], [is_data for _, is_data in symbols]


def in_data(address, starts, is_data):
    index = bisect.bisect_right(starts, address) - 1
    return index >= 0 and is_data[index]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--map", required=True)
    parser.add_argument("image")
    parser.add_argument("--present", action="store_true")
    args = parser.parse_args()
    data = open(args.image, "rb").read()
    text = [word.decode() for word in DEBUG_TEXT if word in data]
    listing = subprocess.run([args.objdump, "-d", args.image], capture_output=True, text=True, check=True).stdout
    starts, is_data = data_ranges(open(args.map).read())
    port_io = sorted({match.group(0).split()[-1] for match in PORT_IO.finditer(listing)
                      if not in_data(int(match.group(1), 16), starts, is_data)})
    print(f"{args.image}: {len(data)} bytes; debug text: {text or 'none'}; port I/O instructions: {port_io or 'none'}")
    if args.present:
        return 0 if text and port_io else 1
    return 0 if not text and not port_io else 1


if __name__ == "__main__":
    sys.exit(main())
