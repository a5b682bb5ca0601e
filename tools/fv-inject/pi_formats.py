"""Firmware volumes, FFS files and sections as the PI specification (Vol. 3,
"Firmware Storage") lays them out: parsing that checks every length and
checksum, and builders that produce headers a DXE core accepts.

Everything is little-endian. Offsets are relative to the start of the
enclosing object unless a name says otherwise.
"""

import struct
import uuid
from dataclasses import dataclass, field


class FormatError(Exception):
    """The bytes are not a firmware structure this tool understands."""


# --- GUIDs --------------------------------------------------------------------


def guid_bytes(text):
    return uuid.UUID(text).bytes_le


def guid_text(raw):
    return str(uuid.UUID(bytes_le=bytes(raw))).upper()


FFS2_FILE_SYSTEM_GUID = guid_bytes("8C8CE578-8A3D-4F1C-9935-896185C32DD3")
FFS3_FILE_SYSTEM_GUID = guid_bytes("5473C07A-3DCB-4DCA-BD6F-1E9689E7349A")
LZMA_SECTION_GUID = guid_bytes("EE4E5898-3914-4259-9D6E-DC7BD79403CF")

# --- Firmware volume header (PI Vol. 3, 3.2.1.1) -------------------------------

FV_SIGNATURE = b"_FVH"
FV_HEADER_FORMAT = "<16s16sQ4sIHHHBB"  # up to the block map
FV_HEADER_FIXED_SIZE = struct.calcsize(FV_HEADER_FORMAT)
FV_REVISION = 2
FVB2_ERASE_POLARITY = 0x00000800
FV_EXT_HEADER_FORMAT = "<16sI"
FV_EXT_ENTRY_FORMAT = "<HH"
FV_EXT_TYPE_USED_SIZE = 0x03
FFS_FILE_ALIGNMENT = 8

# --- FFS files (PI Vol. 3, 2.2.3) ----------------------------------------------

FFS_HEADER_FORMAT = "<16sBBBB3sB"
FFS_HEADER_SIZE = 24
FFS_HEADER2_SIZE = 32  # with the 64-bit ExtendedSize of a large file
FFS_MAX_SMALL_SIZE = 0xFFFFFF

FFS_ATTRIB_LARGE_FILE = 0x01
FFS_ATTRIB_CHECKSUM = 0x40
FFS_FIXED_CHECKSUM = 0xAA

FILE_HEADER_CONSTRUCTION = 0x01
FILE_HEADER_VALID = 0x02
FILE_DATA_VALID = 0x04
FILE_STATE_VALID = FILE_HEADER_CONSTRUCTION | FILE_HEADER_VALID | FILE_DATA_VALID

FV_FILETYPE_RAW = 0x01
FV_FILETYPE_FREEFORM = 0x02
FV_FILETYPE_SECURITY_CORE = 0x03
FV_FILETYPE_PEI_CORE = 0x04
FV_FILETYPE_DXE_CORE = 0x05
FV_FILETYPE_PEIM = 0x06
FV_FILETYPE_DRIVER = 0x07
FV_FILETYPE_APPLICATION = 0x09
FV_FILETYPE_FIRMWARE_VOLUME_IMAGE = 0x0B
FV_FILETYPE_FFS_PAD = 0xF0

# Files whose contents are a list of sections; raw files are opaque bytes.
FILE_TYPES_WITHOUT_SECTIONS = {FV_FILETYPE_RAW, FV_FILETYPE_FFS_PAD}

# --- Sections (PI Vol. 3, 2.2.4) -----------------------------------------------

SECTION_HEADER_SIZE = 4
SECTION_HEADER2_SIZE = 8  # Size 0xFFFFFF, then a 32-bit ExtendedSize
SECTION_ALIGNMENT = 4

SECTION_COMPRESSION = 0x01
SECTION_GUID_DEFINED = 0x02
SECTION_PE32 = 0x10
SECTION_TE = 0x12
SECTION_DXE_DEPEX = 0x13
SECTION_VERSION = 0x14
SECTION_USER_INTERFACE = 0x15
SECTION_FIRMWARE_VOLUME_IMAGE = 0x17
SECTION_RAW = 0x19

GUIDED_SECTION_FORMAT = "<16sHH"
GUIDED_SECTION_PROCESSING_REQUIRED = 0x01

# --- Dependency expressions (PI Vol. 2, 10.7) -----------------------------------

DEPEX_BEFORE = 0x00
DEPEX_AFTER = 0x01
DEPEX_PUSH = 0x02
DEPEX_AND = 0x03
DEPEX_OR = 0x04
DEPEX_NOT = 0x05
DEPEX_TRUE = 0x06
DEPEX_FALSE = 0x07
DEPEX_END = 0x08
DEPEX_SOR = 0x09


def align_up(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def checksum8(data):
    return sum(data) & 0xFF


def checksum16(data):
    if len(data) % 2:
        raise FormatError("a 16-bit checksum needs an even length")
    return sum(struct.unpack_from("<%dH" % (len(data) // 2), data)) & 0xFFFF


# --- Sections -----------------------------------------------------------------


@dataclass
class Section:
    """One section. `data` follows the common header (for a GUID-defined
    section it starts with the GUID-specific header fields)."""

    type: int
    data: bytes
    offset: int = 0  # within the enclosing file data or section stream
    extended: bool = False  # parsed with, or forced to, the 8-byte header

    def to_bytes(self):
        return section_header(self.type, len(self.data), self.extended) + self.data


def section_header(section_type, payload_size, extended=False):
    size = payload_size + SECTION_HEADER_SIZE
    if size < FFS_MAX_SMALL_SIZE and not extended:
        return size.to_bytes(3, "little") + bytes([section_type])
    size = payload_size + SECTION_HEADER2_SIZE
    if size > 0xFFFFFFFF:
        raise FormatError("section of %d bytes is too large" % size)
    return b"\xff\xff\xff" + bytes([section_type]) + struct.pack("<I", size)


def parse_sections(data, where):
    """Splits a section stream (a file's data or a section's contents) into
    sections. Every section must lie inside `data`, start 4-byte aligned, and
    the last one must end exactly at the end of the stream."""
    sections = []
    offset = 0
    while offset < len(data):
        if len(data) - offset < SECTION_HEADER_SIZE:
            raise FormatError("%s: %d stray bytes after the last section" % (where, len(data) - offset))
        size = int.from_bytes(data[offset:offset + 3], "little")
        section_type = data[offset + 3]
        header_size = SECTION_HEADER_SIZE
        if size == FFS_MAX_SMALL_SIZE:
            if len(data) - offset < SECTION_HEADER2_SIZE:
                raise FormatError("%s: truncated extended section header at 0x%x" % (where, offset))
            size = struct.unpack_from("<I", data, offset + 4)[0]
            header_size = SECTION_HEADER2_SIZE
        if size < header_size or offset + size > len(data):
            raise FormatError("%s: section at 0x%x claims %d bytes, %d remain" % (
                where, offset, size, len(data) - offset))
        sections.append(Section(section_type, bytes(data[offset + header_size:offset + size]), offset,
                                header_size == SECTION_HEADER2_SIZE))
        end = offset + size
        if end == len(data):
            break
        offset = align_up(end, SECTION_ALIGNMENT)
        if offset >= len(data):
            raise FormatError("%s: %d stray bytes after the last section" % (where, len(data) - end))
    return sections


def build_section_stream(sections):
    """Lays sections out 4-byte aligned (zero padding), the last unpadded."""
    out = bytearray()
    for section in sections:
        out += bytes(align_up(len(out), SECTION_ALIGNMENT) - len(out))
        section.offset = len(out)
        out += section.to_bytes()
    return bytes(out)


@dataclass
class GuidedSection:
    """The fields of a GUID-defined section (PI Vol. 3, 2.2.4.7)."""

    guid: bytes
    attributes: int
    extra: bytes  # GUID-specific header bytes between the fields and the data, kept as they are
    payload: bytes  # the GUID-specific data, e.g. the compressed stream

    @classmethod
    def parse(cls, section, where):
        fields_size = struct.calcsize(GUIDED_SECTION_FORMAT)
        if len(section.data) < fields_size:
            raise FormatError("%s: truncated GUID-defined section header" % where)
        guid, data_offset, attributes = struct.unpack_from(GUIDED_SECTION_FORMAT, section.data)
        skip = data_offset - (SECTION_HEADER2_SIZE if section.extended else SECTION_HEADER_SIZE)
        if skip < fields_size or skip > len(section.data):
            raise FormatError("%s: GUID-defined section data offset 0x%x is outside the section" % (where, data_offset))
        return cls(guid, attributes, section.data[fields_size:skip], section.data[skip:])

    def to_section(self):
        """The section with DataOffset and the header form fitted to the payload."""
        fields_size = struct.calcsize(GUIDED_SECTION_FORMAT)
        payload_size = fields_size + len(self.extra) + len(self.payload)
        data_offset = len(section_header(SECTION_GUID_DEFINED, payload_size)) + fields_size + len(self.extra)
        fields = struct.pack(GUIDED_SECTION_FORMAT, self.guid, data_offset, self.attributes)
        return Section(SECTION_GUID_DEFINED, fields + self.extra + self.payload)


def user_interface_section(name):
    return Section(SECTION_USER_INTERFACE, name.encode("utf-16-le") + b"\0\0")


def decode_user_interface(section):
    text = section.data.decode("utf-16-le", errors="replace")
    return text.rstrip("\0")


# --- Dependency expressions ---------------------------------------------------


def depex_true():
    return bytes([DEPEX_TRUE, DEPEX_END])


def depex_all_of(protocol_guids):
    """A DXE dependency expression that holds once every protocol is installed."""
    if not protocol_guids:
        return depex_true()
    out = bytearray()
    for index, guid in enumerate(protocol_guids):
        out += bytes([DEPEX_PUSH]) + guid
        if index:
            out.append(DEPEX_AND)
    out.append(DEPEX_END)
    return bytes(out)


def validate_depex(depex):
    """Checks that a DXE dependency expression evaluates: every operator finds
    its operands, BEFORE/AFTER/SOR stand where the dispatcher allows them, and
    END leaves exactly one value. Returns a readable form."""
    stack = 0
    words = []
    offset = 0
    while offset < len(depex):
        opcode = depex[offset]
        offset += 1
        if opcode in (DEPEX_BEFORE, DEPEX_AFTER):
            if offset != 1 or len(depex) != 1 + 16 + 1 or depex[-1] != DEPEX_END:
                raise FormatError("dependency expression: BEFORE/AFTER must stand alone")
            words.append(("BEFORE " if opcode == DEPEX_BEFORE else "AFTER ") + guid_text(depex[1:17]))
            return " ".join(words) + " END"
        if opcode == DEPEX_SOR:
            if offset != 1:
                raise FormatError("dependency expression: SOR must come first")
            words.append("SOR")
        elif opcode == DEPEX_PUSH:
            if offset + 16 > len(depex):
                raise FormatError("dependency expression: truncated PUSH")
            words.append("PUSH " + guid_text(depex[offset:offset + 16]))
            offset += 16
            stack += 1
        elif opcode in (DEPEX_TRUE, DEPEX_FALSE):
            words.append("TRUE" if opcode == DEPEX_TRUE else "FALSE")
            stack += 1
        elif opcode in (DEPEX_AND, DEPEX_OR):
            if stack < 2:
                raise FormatError("dependency expression: AND/OR needs two operands")
            words.append("AND" if opcode == DEPEX_AND else "OR")
            stack -= 1
        elif opcode == DEPEX_NOT:
            if stack < 1:
                raise FormatError("dependency expression: NOT needs an operand")
            words.append("NOT")
        elif opcode == DEPEX_END:
            if stack != 1 or offset != len(depex):
                raise FormatError("dependency expression: END must leave one value and close the expression")
            words.append("END")
            return " ".join(words)
        else:
            raise FormatError("dependency expression: unknown opcode 0x%02x" % opcode)
    raise FormatError("dependency expression: missing END")


# --- FFS files ----------------------------------------------------------------


@dataclass
class FfsFile:
    name: bytes
    type: int
    attributes: int
    data: bytes  # everything after the file header
    offset: int = 0  # within the volume

    @property
    def is_large(self):
        return bool(self.attributes & FFS_ATTRIB_LARGE_FILE)

    @property
    def header_size(self):
        return FFS_HEADER2_SIZE if self.is_large else FFS_HEADER_SIZE

    @property
    def size(self):
        return self.header_size + len(self.data)

    def sections(self, where=""):
        if self.type in FILE_TYPES_WITHOUT_SECTIONS:
            return []
        return parse_sections(self.data, where or "file " + guid_text(self.name))

    def to_bytes(self, erase_polarity):
        """The file with a valid state and both checksums (PI Vol. 3, 2.2.3)."""
        size = self.size
        if self.is_large:
            size_field = b"\0\0\0"
        elif size > FFS_MAX_SMALL_SIZE:
            raise FormatError("file %s of %d bytes needs a large-file header" % (guid_text(self.name), size))
        else:
            size_field = size.to_bytes(3, "little")
        if self.attributes & FFS_ATTRIB_CHECKSUM:
            file_checksum = (-checksum8(self.data)) & 0xFF
        else:
            file_checksum = FFS_FIXED_CHECKSUM
        header = bytearray(struct.pack(FFS_HEADER_FORMAT, self.name, 0, 0, self.type, self.attributes, size_field, 0))
        if self.is_large:
            header += struct.pack("<Q", size)
        header[16] = (-checksum8(header)) & 0xFF  # State and File counted as zero
        header[17] = file_checksum
        header[23] = stored_state(FILE_STATE_VALID, erase_polarity)
        return bytes(header) + self.data


def stored_state(state, erase_polarity):
    return (~state & 0xFF) if erase_polarity else state


def pad_file(size, erase_polarity):
    """A pad file of exactly `size` bytes (header included)."""
    if size < FFS_HEADER_SIZE:
        raise FormatError("a pad file needs at least %d bytes, %d available" % (FFS_HEADER_SIZE, size))
    name = b"\xff" * 16 if erase_polarity else bytes(16)
    fill = b"\xff" if erase_polarity else b"\0"
    return FfsFile(name, FV_FILETYPE_FFS_PAD, 0, fill * (size - FFS_HEADER_SIZE))


def parse_file(volume_data, offset, erase_polarity, allow_large, where):
    if offset + FFS_HEADER_SIZE > len(volume_data):
        raise FormatError("%s: truncated file header at 0x%x" % (where, offset))
    name, header_sum, file_sum, file_type, attributes, size_field, state = struct.unpack_from(
        FFS_HEADER_FORMAT, volume_data, offset)
    header_size = FFS_HEADER_SIZE
    size = int.from_bytes(size_field, "little")
    where = "%s: file %s at 0x%x" % (where, guid_text(name), offset)
    if attributes & FFS_ATTRIB_LARGE_FILE:
        if not allow_large:
            raise FormatError("%s: large file in a volume whose file system does not allow one" % where)
        if offset + FFS_HEADER2_SIZE > len(volume_data):
            raise FormatError("%s: truncated large-file header" % where)
        size = struct.unpack_from("<Q", volume_data, offset + FFS_HEADER_SIZE)[0]
        header_size = FFS_HEADER2_SIZE
    if size < header_size or offset + size > len(volume_data):
        raise FormatError("%s: size %d runs past the volume" % (where, size))
    header = bytearray(volume_data[offset:offset + header_size])
    header[17] = 0
    header[23] = 0
    if checksum8(header):
        raise FormatError("%s: bad header checksum" % where)
    logical_state = stored_state(state, erase_polarity)
    if logical_state != FILE_STATE_VALID:
        raise FormatError("%s: state 0x%02x is not a valid, complete file" % (where, logical_state))
    data = bytes(volume_data[offset + header_size:offset + size])
    if attributes & FFS_ATTRIB_CHECKSUM:
        if (checksum8(data) + file_sum) & 0xFF:
            raise FormatError("%s: bad data checksum" % where)
    elif file_sum != FFS_FIXED_CHECKSUM:
        raise FormatError("%s: data checksum 0x%02x where 0x%02x is required" % (where, file_sum, FFS_FIXED_CHECKSUM))
    return FfsFile(name, file_type, attributes, data, offset)


# --- Firmware volumes ---------------------------------------------------------


@dataclass
class Volume:
    """A firmware volume: its header bytes (block map and extended header
    included, kept as they are) and its files at their offsets. From the
    8-byte aligned end of the last file to the volume's end is free space."""

    header: bytes  # from offset 0 up to the first file
    length: int
    attributes: int
    file_system: bytes
    name: bytes  # from the extended header, or None
    files: list = field(default_factory=list)
    free_offset: int = 0  # where free space (and the next file) starts

    @property
    def erase_polarity(self):
        return 1 if self.attributes & FVB2_ERASE_POLARITY else 0

    @property
    def erase_byte(self):
        return b"\xff" if self.erase_polarity else b"\0"

    @property
    def allows_large_files(self):
        return self.file_system == FFS3_FILE_SYSTEM_GUID

    @property
    def free_space(self):
        return self.length - self.free_offset

    def label(self):
        return guid_text(self.name) if self.name else "(unnamed)"

    def find_file(self, name):
        for ffs in self.files:
            if ffs.name == name:
                return ffs
        return None

    def to_bytes(self):
        """The volume with every file at its recorded offset. The gaps between
        files and the free space hold the erase value."""
        out = bytearray(self.header)
        for ffs in self.files:
            if ffs.offset < len(out) or ffs.offset % FFS_FILE_ALIGNMENT:
                raise FormatError("file %s at 0x%x overlaps or is misaligned" % (guid_text(ffs.name), ffs.offset))
            out += self.erase_byte * (ffs.offset - len(out))
            out += ffs.to_bytes(self.erase_polarity)
        if len(out) > self.length:
            raise FormatError("volume %s: %d bytes of files do not fit in %d" % (self.label(), len(out), self.length))
        self.free_offset = min(align_up(len(out), FFS_FILE_ALIGNMENT), self.length)
        out += self.erase_byte * (self.length - len(out))
        return bytes(out)

    def append_file(self, ffs):
        """Places a file in the free space, 8-byte aligned after the last one."""
        if self.find_file(ffs.name) is not None:
            raise FormatError("volume %s already holds a file %s" % (self.label(), guid_text(ffs.name)))
        end = self.files[-1].offset + self.files[-1].size if self.files else len(self.header)
        ffs.offset = align_up(end, FFS_FILE_ALIGNMENT)
        if ffs.offset + ffs.size > self.length:
            raise FormatError("volume %s: not enough space for %s (%d bytes needed, %d free)" % (
                self.label(), guid_text(ffs.name), ffs.size, max(0, self.length - ffs.offset)))
        self.files.append(ffs)
        self.free_offset = min(align_up(ffs.offset + ffs.size, FFS_FILE_ALIGNMENT), self.length)


def parse_volume_header(data, where):
    """Checks the fixed header, the block map and the extended header;
    returns (length, attributes, file system, header length, ext name, first
    file offset)."""
    if len(data) < FV_HEADER_FIXED_SIZE:
        raise FormatError("%s: too short for a firmware volume header" % where)
    (_, file_system, length, signature, attributes, header_length, _, ext_offset, _,
     revision) = struct.unpack_from(FV_HEADER_FORMAT, data)
    if signature != FV_SIGNATURE:
        raise FormatError("%s: no firmware volume signature (found %r)" % (where, bytes(signature)))
    if revision != FV_REVISION:
        raise FormatError("%s: firmware volume revision %d is not %d" % (where, revision, FV_REVISION))
    if header_length < FV_HEADER_FIXED_SIZE + 8 or header_length % 2 or header_length > len(data):
        raise FormatError("%s: bad header length %d" % (where, header_length))
    if length > len(data) or length < header_length:
        raise FormatError("%s: volume length 0x%x does not fit in 0x%x bytes" % (where, length, len(data)))
    if checksum16(data[:header_length]):
        raise FormatError("%s: bad firmware volume header checksum" % where)
    mapped = 0
    offset = FV_HEADER_FIXED_SIZE
    while True:
        if offset + 8 > header_length:
            raise FormatError("%s: block map is not terminated" % where)
        blocks, block_length = struct.unpack_from("<II", data, offset)
        offset += 8
        if blocks == 0 and block_length == 0:
            break
        mapped += blocks * block_length
    if mapped != length:
        raise FormatError("%s: block map covers 0x%x bytes, the volume 0x%x" % (where, mapped, length))
    first_file = header_length
    name = None
    if ext_offset:
        if ext_offset + struct.calcsize(FV_EXT_HEADER_FORMAT) > length:
            raise FormatError("%s: extended header offset 0x%x is outside the volume" % (where, ext_offset))
        name, ext_size = struct.unpack_from(FV_EXT_HEADER_FORMAT, data, ext_offset)
        if ext_offset + ext_size > length or ext_size < struct.calcsize(FV_EXT_HEADER_FORMAT):
            raise FormatError("%s: bad extended header size %d" % (where, ext_size))
        entry = ext_offset + struct.calcsize(FV_EXT_HEADER_FORMAT)
        while entry + 4 <= ext_offset + ext_size:
            entry_size, entry_type = struct.unpack_from(FV_EXT_ENTRY_FORMAT, data, entry)
            if entry_type == FV_EXT_TYPE_USED_SIZE:
                raise FormatError("%s: the volume records its used size in its extended header; "
                                  "such volumes are not supported" % where)
            if entry_size < 4:
                raise FormatError("%s: bad extended header entry" % where)
            entry += entry_size
        first_file = max(first_file, ext_offset + ext_size)
    return length, attributes, file_system, header_length, name, align_up(first_file, FFS_FILE_ALIGNMENT)


def parse_volume(data, where="volume"):
    """Parses the firmware volume at the start of `data`. Refuses anything
    that is not a sound FFS2/FFS3 volume: bad signature or checksum, a file
    that runs past the end, a bad file checksum or state, or data after the
    free space begins."""
    length, attributes, file_system, _, name, first_file = parse_volume_header(data, where)
    if file_system not in (FFS2_FILE_SYSTEM_GUID, FFS3_FILE_SYSTEM_GUID):
        raise FormatError("%s: file system %s is not FFS2 or FFS3" % (where, guid_text(file_system)))
    volume = Volume(bytes(data[:first_file]), length, attributes, file_system, name)
    where = "%s %s" % (where, volume.label())
    erase = volume.erase_byte[0]
    offset = first_file
    volume_data = memoryview(data)[:length]
    while offset + FFS_HEADER_SIZE <= length:
        if all(b == erase for b in volume_data[offset:offset + FFS_HEADER_SIZE]):
            break
        ffs = parse_file(volume_data, offset, volume.erase_polarity, volume.allows_large_files, where)
        volume.files.append(ffs)
        offset = align_up(offset + ffs.size, FFS_FILE_ALIGNMENT)
    volume.free_offset = min(offset, length)
    if any(b != erase for b in volume_data[volume.free_offset:length]):
        raise FormatError("%s: data in the free space after 0x%x" % (where, volume.free_offset))
    return volume

