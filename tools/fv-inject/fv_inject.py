#!/usr/bin/env python3
"""fv-inject: put UEFI drivers into the DXE firmware volume of a flash image
whose DXE volume is LZMA-compressed inside another volume (the OVMF layout),
and check such images.

  fv-inject inject INPUT -o OUTPUT [--module X.inf ...]
                  [--driver 'PATH,guid=GUID[,name=NAME][,depex=SPEC]' ...]
  fv-inject verify IMAGE          every checksum, length and section, recursively
  fv-inject list IMAGE            the same walk, printed as a tree
  fv-inject depex (--true | --protocol GUID ...) -o FILE
  fv-inject pe-compact IMAGE.efi
  fv-inject pe-checksum [--stamp] IMAGE.efi

Exit status: 0 done; 1 refused (an image it does not understand, a damaged
driver file, a malformed GUID or depex, an unreadable or unwritable path, a
lack of space), with one line on stderr and no output file written; 2 a
command line it cannot parse. See README.md next to this file.
"""

import argparse
import os
import pathlib
import sys
import tempfile
from dataclasses import dataclass, replace

import binary_module
import lzma_section
import pe_image
from pi_formats import (
    FFS_ATTRIB_CHECKSUM, FFS_ATTRIB_LARGE_FILE, FFS_FILE_ALIGNMENT, FFS_HEADER_SIZE, FFS_MAX_SMALL_SIZE,
    FFS2_FILE_SYSTEM_GUID, FFS3_FILE_SYSTEM_GUID, FV_FILETYPE_DRIVER, FV_FILETYPE_DXE_CORE, FV_FILETYPE_FFS_PAD,
    LZMA_SECTION_GUID, SECTION_COMPRESSION, SECTION_DXE_DEPEX, SECTION_FIRMWARE_VOLUME_IMAGE, SECTION_GUID_DEFINED,
    SECTION_HEADER2_SIZE, SECTION_HEADER_SIZE, SECTION_PE32, SECTION_USER_INTERFACE, FfsFile, FormatError,
    GuidedSection, Section, align_up, build_section_stream, decode_user_interface, depex_all_of, depex_true,
    guid_bytes, guid_text, pad_file, parse_sections, parse_volume, parse_volume_header, user_interface_section,
    validate_depex)

FILE_TYPE_NAMES = {
    0x01: "raw", 0x02: "freeform", 0x03: "security core", 0x04: "PEI core", 0x05: "DXE core", 0x06: "PEIM",
    0x07: "driver", 0x08: "PEIM+driver", 0x09: "application", 0x0A: "MM", 0x0B: "volume image", 0x0C: "MM+driver",
    0x0D: "MM core", 0xF0: "pad",
}
SECTION_TYPE_NAMES = {
    0x01: "compression", 0x02: "GUID-defined", 0x03: "disposable", 0x10: "PE32", 0x11: "PIC", 0x12: "TE",
    0x13: "DXE depex", 0x14: "version", 0x15: "user interface", 0x16: "compatibility16", 0x17: "volume image",
    0x18: "freeform subtype GUID", 0x19: "raw", 0x1B: "PEI depex", 0x1C: "MM depex",
}


# --- The flash image ----------------------------------------------------------


@dataclass
class Region:
    """A top-level firmware volume of the flash image. `volume` is None for a
    volume that is not an FFS (the variable store): its header is checked,
    its contents are kept as they are."""

    offset: int
    length: int
    volume: object


def parse_flash(image):
    """Splits a flash image into its firmware volumes, back to back."""
    regions = []
    offset = 0
    while offset < len(image):
        where = "image offset 0x%x" % offset
        length, _, file_system, _, _, _ = parse_volume_header(image[offset:], where)
        volume = None
        if file_system in (FFS2_FILE_SYSTEM_GUID, FFS3_FILE_SYSTEM_GUID):
            volume = parse_volume(image[offset:offset + length], where)
        regions.append(Region(offset, length, volume))
        offset += length
    if not regions:
        raise FormatError("empty image")
    return regions


def section_data_offset(section):
    return section.offset + (SECTION_HEADER2_SIZE if section.extended else SECTION_HEADER_SIZE)


@dataclass
class CompressedDxe:
    """Where the DXE volume sits: region -> file -> LZMA section -> stream of
    sections -> volume-image section holding the DXE core."""

    region: Region
    file_index: int
    sections: list  # the file's sections
    guided_index: int
    guided: GuidedSection
    stream: bytes  # the decompressed section stream
    dxe_section: Section
    dxe: object  # the parsed Volume

    @property
    def file(self):
        return self.region.volume.files[self.file_index]


def find_compressed_dxe(regions):
    for region in regions:
        if region.volume is None:
            continue
        for file_index, ffs in enumerate(region.volume.files):
            sections = ffs.sections()
            for guided_index, section in enumerate(sections):
                if section.type != SECTION_GUID_DEFINED:
                    continue
                where = "file %s" % guid_text(ffs.name)
                guided = GuidedSection.parse(section, where)
                if guided.guid != LZMA_SECTION_GUID:
                    continue
                stream = lzma_section.decompress(guided.payload, where)
                for inner in parse_sections(stream, where + " (decompressed)"):
                    if inner.type != SECTION_FIRMWARE_VOLUME_IMAGE:
                        continue
                    volume = parse_volume(inner.data, where + " (decompressed) volume")
                    if any(f.type == FV_FILETYPE_DXE_CORE for f in volume.files):
                        return CompressedDxe(region, file_index, sections, guided_index, guided, stream, inner,
                                             volume)
    raise FormatError("no LZMA-compressed firmware volume holding a DXE core was found: "
                      "this is not an image laid out as this tool expects")


def refit_file(volume, index, new_file):
    """Replaces volume.files[index] by `new_file` at the same offset. Pad files
    right after it are slack it may grow into or leave; the files after those
    keep their offsets (and so their alignment)."""
    files = volume.files
    new_file.offset = files[index].offset
    next_index = index + 1
    while next_index < len(files) and files[next_index].type == FV_FILETYPE_FFS_PAD:
        next_index += 1
    end = new_file.offset + new_file.size
    if next_index == len(files):
        if end > volume.length:
            raise FormatError("not enough space: the rebuilt file %s needs 0x%x bytes, volume %s has 0x%x" % (
                guid_text(new_file.name), new_file.size, volume.label(), volume.length - new_file.offset))
        volume.files[index:] = [new_file]
        return
    limit = files[next_index].offset
    gap = limit - align_up(end, FFS_FILE_ALIGNMENT)
    if end > limit or 0 < gap < FFS_HEADER_SIZE:
        raise FormatError("not enough space: the rebuilt file %s does not fit before file %s" % (
            guid_text(new_file.name), guid_text(files[next_index].name)))
    slack = [pad_file(gap, volume.erase_polarity)] if gap else []
    if slack:
        slack[0].offset = align_up(end, FFS_FILE_ALIGNMENT)
    volume.files[index:next_index] = [new_file] + slack


# --- Driver files -------------------------------------------------------------


@dataclass
class DriverSpec:
    path: pathlib.Path
    guid: bytes
    name: str
    depex: bytes  # None: no depex section (the DXE core then waits for every architectural protocol)


def parse_guid(text, argument):
    """The GUID `text`, or a refusal naming the argument it came from."""
    try:
        return guid_bytes(text)
    except ValueError:
        raise FormatError("%s: '%s' is not a GUID (8-4-4-4-12 hex digits)" % (argument, text)) from None


def read_depex_file(path, argument):
    try:
        depex = pathlib.Path(path).read_bytes()
    except OSError as error:
        raise FormatError("%s: cannot read %s: %s" % (argument, path, error.strerror)) from None
    try:
        validate_depex(depex)
    except FormatError as error:
        raise FormatError("%s: %s" % (argument, error)) from None
    return depex


def parse_depex_spec(text, argument):
    """true, GUID+GUID... (every protocol installed) or @FILE (a binary expression)."""
    if text.lower() == "true":
        return depex_true()
    if text.startswith("@"):
        return read_depex_file(text[1:], argument)
    return depex_all_of([parse_guid(g, argument) for g in text.split("+")])


def parse_driver_spec(text):
    """PATH,guid=GUID[,name=NAME][,depex=true|GUID+GUID...|@FILE]"""
    argument = "--driver '%s'" % text
    path, *options = text.split(",")
    fields = {}
    for option in options:
        key, sep, value = option.partition("=")
        if not sep or key not in ("guid", "name", "depex") or key in fields:
            raise FormatError("%s: bad option '%s' (guid=, name=, depex= once each)" % (argument, option))
        fields[key] = value
    if not path:
        raise FormatError("%s: no driver file before the options" % argument)
    if "guid" not in fields:
        raise FormatError("%s: a file GUID is required (guid=...)" % argument)
    guid = parse_guid(fields["guid"], argument + " guid=")
    depex = parse_depex_spec(fields.get("depex", "true"), argument + " depex=")
    return DriverSpec(pathlib.Path(path), guid, fields.get("name", pathlib.Path(path).stem), depex)


def driver_spec_from_inf(path):
    """A binary module description: BASE_NAME, FILE_GUID, its PE32 image and DXE depex."""
    if pathlib.Path(path).suffix.lower() != ".inf":
        raise FormatError("--module %s: not a binary module description (.inf); give a driver image "
                          "with --driver 'PATH,guid=GUID'" % path)
    name, guid, image, depex_path = binary_module.driver_from_inf(path)
    depex = read_depex_file(depex_path, "%s: DXE_DEPEX" % path) if depex_path else None
    return DriverSpec(image, parse_guid(guid, "%s: FILE_GUID" % path), name, depex)


def driver_file(wanted, require_checksum):
    """A DXE driver file: dependency expression, PE32 image, user-interface name."""
    try:
        image = wanted.path.read_bytes()
    except OSError as error:
        raise FormatError("driver %s: %s" % (wanted.path, error.strerror)) from None
    try:
        pe_image.check_driver_image(image, require_checksum)
    except pe_image.ImageError as error:
        raise FormatError("driver %s: %s" % (wanted.path, error)) from None
    sections = [Section(SECTION_PE32, image), user_interface_section(wanted.name)]
    if wanted.depex is not None:
        sections.insert(0, Section(SECTION_DXE_DEPEX, wanted.depex))
    return FfsFile(wanted.guid, FV_FILETYPE_DRIVER, FFS_ATTRIB_CHECKSUM, build_section_stream(sections))


# --- Injection ----------------------------------------------------------------


def inject(image, drivers, require_checksum=True):
    """The image with `drivers` added to its DXE volume; with no drivers, the
    same image recompressed. Raises FormatError when it cannot."""
    regions = parse_flash(image)
    target = find_compressed_dxe(regions)
    for wanted in drivers:
        target.dxe.append_file(driver_file(wanted, require_checksum))
    dxe_bytes = target.dxe.to_bytes()
    start = section_data_offset(target.dxe_section)
    if len(dxe_bytes) != len(target.dxe_section.data):
        raise FormatError("internal: the DXE volume changed length")
    stream = target.stream[:start] + dxe_bytes + target.stream[start + len(dxe_bytes):]

    payload = lzma_section.compress(stream, target.guided.payload)
    sections = list(target.sections)
    sections[target.guided_index] = replace(target.guided, payload=payload).to_section()
    old = target.file
    attributes = old.attributes
    data = build_section_stream(sections)
    if len(data) + FFS_HEADER_SIZE > FFS_MAX_SMALL_SIZE and target.region.volume.allows_large_files:
        attributes |= FFS_ATTRIB_LARGE_FILE
    refit_file(target.region.volume, target.file_index, FfsFile(old.name, old.type, attributes, data))

    region = target.region
    result = image[:region.offset] + region.volume.to_bytes() + image[region.offset + region.length:]
    check_injected(result, drivers)
    return result


def check_injected(image, drivers):
    """Reads the result back the way the firmware will: every checksum and
    length, the decompressed DXE volume, and each new driver's sections."""
    verify_image(image)
    dxe = find_compressed_dxe(parse_flash(image)).dxe
    for wanted in drivers:
        ffs = dxe.find_file(wanted.guid)
        if ffs is None or ffs.type != FV_FILETYPE_DRIVER:
            raise FormatError("internal: driver %s missing from the rebuilt DXE volume" % wanted.name)
        kinds = [s.type for s in ffs.sections()]
        expected = [SECTION_PE32, SECTION_USER_INTERFACE]
        if wanted.depex is not None:
            expected.insert(0, SECTION_DXE_DEPEX)
        if kinds != expected:
            raise FormatError("internal: driver %s has sections %s" % (wanted.name, kinds))


# --- Walking and checking -----------------------------------------------------


def describe_volume(volume, depth, lines):
    indent = "  " * depth
    lines.append("%svolume %s: 0x%x bytes, %d files, 0x%x free" % (
        indent, volume.label(), volume.length, len(volume.files), volume.free_space))
    for ffs in volume.files:
        where = "file %s" % guid_text(ffs.name)
        sections = ffs.sections(where)
        names = [decode_user_interface(s) for s in sections if s.type == SECTION_USER_INTERFACE]
        lines.append("%s  %s 0x%06x %-12s 0x%x %s" % (
            indent, guid_text(ffs.name), ffs.offset, FILE_TYPE_NAMES.get(ffs.type, "type 0x%02x" % ffs.type),
            ffs.size, names[0] if names else ""))
        describe_sections(sections, depth + 2, lines, where)


def describe_sections(sections, depth, lines, where):
    indent = "  " * depth
    for section in sections:
        kind = SECTION_TYPE_NAMES.get(section.type, "type 0x%02x" % section.type)
        if section.type == SECTION_GUID_DEFINED:
            guided = GuidedSection.parse(section, where)
            if guided.guid == LZMA_SECTION_GUID:
                stream = lzma_section.decompress(guided.payload, where)
                lines.append("%s%s LZMA: 0x%x bytes -> 0x%x" % (indent, kind, len(guided.payload), len(stream)))
                describe_sections(parse_sections(stream, where + " (decompressed)"), depth + 1, lines, where)
            else:
                lines.append("%s%s %s: not inspected" % (indent, kind, guid_text(guided.guid)))
        elif section.type == SECTION_FIRMWARE_VOLUME_IMAGE:
            describe_volume(parse_volume(section.data, where + " volume image"), depth, lines)
        elif section.type == SECTION_DXE_DEPEX:
            lines.append("%s%s: %s" % (indent, kind, validate_depex(section.data)))
        elif section.type == SECTION_COMPRESSION:
            lines.append("%s%s: not inspected" % (indent, kind))


def describe_image(image):
    lines = []
    for region in parse_flash(image):
        if region.volume is None:
            lines.append("0x%07x non-FFS volume, 0x%x bytes (kept as is)" % (region.offset, region.length))
        else:
            lines.append("0x%07x" % region.offset)
            describe_volume(region.volume, 1, lines)
    return lines


def verify_image(image):
    return describe_image(image)


# --- Command line -------------------------------------------------------------


def write_atomically(path, data):
    """Writes `data` to `path` only as a whole: a temporary file in the same
    directory renamed over it, removed if anything fails."""
    path = pathlib.Path(path)
    try:
        replace_whole(path, data)
    except OSError as error:
        raise FormatError("%s: cannot write: %s" % (path, error.strerror)) from None


def replace_whole(path, data):
    try:
        mode = path.stat().st_mode & 0o7777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    handle, temporary = tempfile.mkstemp(dir=path.parent, prefix=path.name + ".")
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
        os.chmod(temporary, mode)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def check_output_folder(path):
    """Refuses an output path whose folder does not exist before any work is done."""
    folder = pathlib.Path(path).parent
    if not folder.is_dir():
        raise FormatError("-o %s: folder %s does not exist" % (path, folder))


def read_input(path):
    try:
        return pathlib.Path(path).read_bytes()
    except OSError as error:
        raise FormatError("%s: %s" % (path, error.strerror)) from None


def command_inject(arguments):
    check_output_folder(arguments.output)
    drivers = [driver_spec_from_inf(path) for path in arguments.module]
    drivers += [parse_driver_spec(text) for text in arguments.driver]
    result = inject(read_input(arguments.input), drivers, not arguments.allow_unstamped)
    write_atomically(arguments.output, result)
    for wanted in drivers:
        depex = validate_depex(wanted.depex) if wanted.depex is not None else "none (all architectural protocols)"
        print("added %s (%s), depex %s" % (wanted.name, guid_text(wanted.guid), depex))
    print("wrote %s" % arguments.output)


def command_verify(arguments):
    lines = verify_image(read_input(arguments.image))
    volumes = sum(1 for line in lines if line.lstrip().startswith("volume ") or "non-FFS volume" in line)
    print("%s: OK, %d volumes checked (use 'list' for the layout)" % (arguments.image, volumes))


def command_list(arguments):
    print("\n".join(describe_image(read_input(arguments.image))))


def command_depex(arguments):
    if arguments.true == bool(arguments.protocol):
        raise FormatError("depex: give either --true or one or more --protocol GUIDs")
    check_output_folder(arguments.output)
    if arguments.true:
        depex = depex_true()
    else:
        depex = depex_all_of([parse_guid(g, "depex --protocol") for g in arguments.protocol])
    write_atomically(arguments.output, depex)


def command_pe_compact(arguments):
    image = read_input(arguments.image)
    try:
        write_atomically(arguments.image, pe_image.compact_headers(image))
    except pe_image.ImageError as error:
        raise FormatError("%s: %s" % (arguments.image, error)) from None


def command_pe_checksum(arguments):
    image = read_input(arguments.image)
    try:
        if arguments.stamp:
            write_atomically(arguments.image, pe_image.stamp_checksum(image))
            return
        pe_image.check_driver_image(image, require_checksum=True)
    except pe_image.ImageError as error:
        raise FormatError("%s: %s" % (arguments.image, error)) from None
    print("%s: checksum matches" % arguments.image)


class ArgumentParser(argparse.ArgumentParser):
    """Command-line mistakes in one line, exit status 2 (subcommands inherit it)."""

    def error(self, message):
        self.exit(2, "%s: error: %s (see %s --help)\n" % (self.prog.split()[0], message, self.prog))


def main(argv=None):
    paragraphs = __doc__.split("\n\n")
    parser = ArgumentParser(prog="fv-inject", description=paragraphs[0], epilog=paragraphs[2],
                            formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)

    command = commands.add_parser("inject", help="add drivers to the compressed DXE volume")
    command.add_argument("input")
    command.add_argument("-o", "--output", required=True)
    command.add_argument("--module", action="append", default=[], metavar="X.inf",
                         help="a binary module description: [Defines] and [Binaries] PE32/DXE_DEPEX")
    command.add_argument("--driver", action="append", default=[], metavar="PATH,guid=GUID[,name=N][,depex=D]",
                         help="depex: true (default), GUID+GUID... (all installed) or @FILE (binary)")
    command.add_argument("--allow-unstamped", action="store_true",
                         help="accept driver images that carry no PE checksum")
    command.set_defaults(run=command_inject)

    for name, run, text in (("verify", command_verify, "check every checksum, length and section"),
                            ("list", command_list, "print the volumes, files and sections")):
        command = commands.add_parser(name, help=text)
        command.add_argument("image")
        command.set_defaults(run=run)

    command = commands.add_parser("depex", help="write a binary DXE dependency expression")
    command.add_argument("--true", action="store_true")
    command.add_argument("--protocol", action="append", default=[], metavar="GUID")
    command.add_argument("-o", "--output", required=True)
    command.set_defaults(run=command_depex)

    command = commands.add_parser("pe-compact", help="drop a driver image's DOS stub program (file offsets only)")
    command.add_argument("image")
    command.set_defaults(run=command_pe_compact)

    command = commands.add_parser("pe-checksum", help="check (or --stamp) a driver image's PE checksum")
    command.add_argument("image")
    command.add_argument("--stamp", action="store_true")
    command.set_defaults(run=command_pe_checksum)

    arguments = parser.parse_args(argv)
    try:
        arguments.run(arguments)
    except FormatError as error:
        print("fv-inject: error: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
