"""Binary module descriptions (.inf files whose [Binaries] section names a
prebuilt PE32 image and its DXE dependency expression), read the way a
firmware build places such a module into a volume: one DRIVER file named
FILE_GUID holding the depex, the image and BASE_NAME as its user-interface
name."""

import pathlib
import re

from pi_formats import FormatError

DRIVER_MODULE_TYPES = ("DXE_DRIVER", "DXE_RUNTIME_DRIVER")
BINARIES_SECTIONS = ("binaries", "binaries.x64", "binaries.common")


def parse_inf(path):
    """Returns (defines, binaries): [Defines] as a dict and, from the
    [Binaries] sections that apply to X64, a dict of file type -> path."""
    path = pathlib.Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as error:
        raise FormatError("%s: %s" % (path, error.strerror)) from None
    except UnicodeDecodeError:
        raise FormatError("%s: not a text file" % path) from None
    defines, binaries = {}, {}
    section = None
    for number, line in enumerate(text.splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        header = re.fullmatch(r"\[([^\]]+)\]", line)
        if header:
            section = header.group(1).strip().lower()
            continue
        if section == "defines":
            key, sep, value = line.partition("=")
            if not sep:
                raise FormatError("%s:%d: expected NAME = VALUE" % (path, number))
            defines[key.strip()] = value.strip()
        elif section in BINARIES_SECTIONS:
            fields = [f.strip() for f in line.split("|")]
            if len(fields) < 2 or fields[0] in binaries:
                raise FormatError("%s:%d: expected one TYPE|FILE[|TARGET] per file type" % (path, number))
            binaries[fields[0]] = path.parent / fields[1]
    return defines, binaries


def driver_from_inf(path):
    """(name, file GUID text, image path, depex path or None) of a binary DXE driver module."""
    defines, binaries = parse_inf(path)
    for key in ("BASE_NAME", "FILE_GUID", "MODULE_TYPE"):
        if key not in defines:
            raise FormatError("%s: [Defines] has no %s" % (path, key))
    if defines["MODULE_TYPE"] not in DRIVER_MODULE_TYPES:
        raise FormatError("%s: MODULE_TYPE %s is not a DXE driver" % (path, defines["MODULE_TYPE"]))
    if "PE32" not in binaries:
        raise FormatError("%s: [Binaries] names no PE32 image" % path)
    return defines["BASE_NAME"], defines["FILE_GUID"], binaries["PE32"], binaries.get("DXE_DEPEX")
