"""The checks a driver image passes before it goes into a firmware volume:
a whole PE32+ image for x86-64 with a UEFI driver subsystem, every header
and section inside the file, and an image checksum that matches.

The image checksum is the PE/COFF optional-header CheckSum: 16-bit sums of
the file with the field itself counted as zero, carries folded back in, plus
the file length. Our images carry one (the image build stamps it), so a
driver file damaged on its way into the firmware is caught here.
"""

import struct

DOS_SIGNATURE = b"MZ"
PE_SIGNATURE = b"PE\0\0"
MACHINE_X64 = 0x8664
MAGIC_PE32_PLUS = 0x20B
SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER = 11
SUBSYSTEM_EFI_RUNTIME_DRIVER = 12
DRIVER_SUBSYSTEMS = (SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER, SUBSYSTEM_EFI_RUNTIME_DRIVER)

DOS_LFANEW_OFFSET = 0x3C
COFF_HEADER_FORMAT = "<HHIIIHH"  # Machine .. Characteristics
COFF_HEADER_SIZE = 20
OPTIONAL_HEADER_MIN_SIZE = 112  # PE32+ up to NumberOfRvaAndSizes
CHECKSUM_OFFSET = 64  # within the optional header
SECTION_HEADER_SIZE = 40
MAX_DATA_DIRECTORIES = 16


class ImageError(Exception):
    """The file is not a sound PE32+ UEFI driver image."""


def image_checksum(image, checksum_offset):
    counted = bytearray(image)
    counted[checksum_offset:checksum_offset + 4] = bytes(4)
    if len(counted) % 2:
        counted.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", counted):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def _headers(image):
    if len(image) < 0x40 or image[:2] != DOS_SIGNATURE:
        raise ImageError("not a PE image (no MZ header)")
    pe_offset = struct.unpack_from("<I", image, DOS_LFANEW_OFFSET)[0]
    if pe_offset + 4 + COFF_HEADER_SIZE > len(image) or image[pe_offset:pe_offset + 4] != PE_SIGNATURE:
        raise ImageError("not a PE image (no PE signature at 0x%x)" % pe_offset)
    machine, sections, _, _, _, optional_size, _ = struct.unpack_from(COFF_HEADER_FORMAT, image, pe_offset + 4)
    optional = pe_offset + 4 + COFF_HEADER_SIZE
    if machine != MACHINE_X64:
        raise ImageError("machine 0x%04x is not x86-64" % machine)
    if optional_size < OPTIONAL_HEADER_MIN_SIZE or optional + optional_size > len(image):
        raise ImageError("optional header of %d bytes is truncated" % optional_size)
    if struct.unpack_from("<H", image, optional)[0] != MAGIC_PE32_PLUS:
        raise ImageError("not a PE32+ image")
    return optional, optional_size, sections


def checksum_field_offset(image):
    optional, _, _ = _headers(image)
    return optional + CHECKSUM_OFFSET


def check_driver_image(image, require_checksum=True):
    """Raises ImageError unless `image` is a PE32+ x86-64 UEFI driver whose
    headers and sections lie inside the file and whose checksum matches.
    Returns the subsystem."""
    optional, optional_size, section_count = _headers(image)
    entry = struct.unpack_from("<I", image, optional + 16)[0]
    section_alignment, file_alignment = struct.unpack_from("<II", image, optional + 32)
    subsystem = struct.unpack_from("<H", image, optional + 68)[0]
    size_of_image, size_of_headers, checksum = struct.unpack_from("<III", image, optional + 56)
    directories = struct.unpack_from("<I", image, optional + 108)[0]
    if subsystem not in DRIVER_SUBSYSTEMS:
        raise ImageError("subsystem %d is not a UEFI boot-service or runtime driver" % subsystem)
    if directories > MAX_DATA_DIRECTORIES or OPTIONAL_HEADER_MIN_SIZE + 8 * directories > optional_size:
        raise ImageError("%d data directories do not fit the optional header" % directories)
    if not section_alignment or not file_alignment or section_alignment & (section_alignment - 1) \
            or file_alignment & (file_alignment - 1):
        raise ImageError("section or file alignment is not a power of two")
    if size_of_headers > len(image) or not 0 < entry < size_of_image:
        raise ImageError("headers or entry point lie outside the image")
    table = optional + optional_size
    if section_count == 0 or table + section_count * SECTION_HEADER_SIZE > size_of_headers:
        raise ImageError("section table lies outside the headers")
    for index in range(section_count):
        name, virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from(
            "<8sIIII", image, table + index * SECTION_HEADER_SIZE)
        label = name.rstrip(b"\0").decode("ascii", errors="replace")
        if raw_size and raw_pointer + raw_size > len(image):
            raise ImageError("section %s runs past the end of the file (truncated image?)" % label)
        if virtual_address + max(virtual_size, raw_size if not virtual_size else 0) > size_of_image:
            raise ImageError("section %s lies outside SizeOfImage" % label)
    if checksum == 0:
        if require_checksum:
            raise ImageError("the image carries no checksum (stamp one with 'fv-inject pe-checksum --stamp')")
    elif checksum != image_checksum(image, optional + CHECKSUM_OFFSET):
        raise ImageError("image checksum 0x%08x does not match its contents (0x%08x): the file is damaged" % (
            checksum, image_checksum(image, optional + CHECKSUM_OFFSET)))
    return subsystem


def stamp_checksum(image):
    """Returns `image` with its CheckSum field set."""
    offset = checksum_field_offset(image)
    stamped = bytearray(image)
    struct.pack_into("<I", stamped, offset, image_checksum(bytes(stamped), offset))
    return bytes(stamped)


DOS_HEADER_SIZE = 0x40
DEBUG_DIRECTORY_INDEX = 6
CERTIFICATE_DIRECTORY_INDEX = 4


def compact_headers(image):
    """Returns `image` with the DOS stub program dropped: the PE headers move
    up to right after the 64-byte DOS header, and when that frees whole file
    alignment units the sections move up with them. Only file offsets change
    (SizeOfHeaders, each PointerToRawData); every RVA, and so the loaded image,
    stays the same. An image with a debug directory or certificates (which hold
    file offsets of their own) is returned unchanged."""
    optional, optional_size, section_count = _headers(image)
    pe_offset = struct.unpack_from("<I", image, DOS_LFANEW_OFFSET)[0]
    file_alignment = struct.unpack_from("<I", image, optional + 36)[0]
    size_of_headers = struct.unpack_from("<I", image, optional + 60)[0]
    directories = struct.unpack_from("<I", image, optional + 108)[0]
    for index in (CERTIFICATE_DIRECTORY_INDEX, DEBUG_DIRECTORY_INDEX):
        if index < directories and struct.unpack_from("<II", image, optional + 112 + 8 * index) != (0, 0):
            return image
    table = optional + optional_size
    headers_end = table + section_count * SECTION_HEADER_SIZE
    moved = pe_offset - DOS_HEADER_SIZE
    if moved <= 0 or not file_alignment:
        return image
    new_size_of_headers = -(-(headers_end - moved) // file_alignment) * file_alignment
    shift = size_of_headers - new_size_of_headers
    pointers = [struct.unpack_from("<I", image, table + i * SECTION_HEADER_SIZE + 20)[0] for i in range(section_count)]
    if shift <= 0 or any(p and p < size_of_headers for p in pointers):
        return image
    compacted = bytearray(image[:DOS_HEADER_SIZE])
    struct.pack_into("<HH", compacted, 2, DOS_HEADER_SIZE, 1)  # the DOS program: its header alone
    struct.pack_into("<I", compacted, DOS_LFANEW_OFFSET, DOS_HEADER_SIZE)
    compacted += image[pe_offset:headers_end]
    compacted += bytes(new_size_of_headers - len(compacted))
    compacted += image[size_of_headers:]
    new_optional = optional - moved
    struct.pack_into("<I", compacted, new_optional + 60, new_size_of_headers)
    for index, pointer in enumerate(pointers):
        if pointer:
            struct.pack_into("<I", compacted, table - moved + index * SECTION_HEADER_SIZE + 20, pointer - shift)
    return bytes(compacted)
