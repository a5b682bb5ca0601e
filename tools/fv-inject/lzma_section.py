"""The LZMA stream of an LZMA-compressed GUID-defined section: a 13-byte
header (properties byte, 32-bit dictionary size, 64-bit uncompressed size)
and a raw LZMA1 stream. The firmware's decoder sizes its output buffer from
the header, so the size must be the real one, never "unknown"."""

import lzma
import struct

from pi_formats import FormatError

HEADER_FORMAT = "<BIQ"
HEADER_SIZE = struct.calcsize(HEADER_FORMAT)
MAX_PROPERTIES = (4 * 5 + 4) * 9 + 8  # pb <= 4, lp <= 4, lc <= 8
UNKNOWN_SIZE = 0xFFFFFFFFFFFFFFFF
COMPRESSION_PRESET = 9


def _filter(properties, dictionary_size):
    if properties > MAX_PROPERTIES:
        raise FormatError("LZMA properties byte 0x%02x is invalid" % properties)
    lc = properties % 9
    lp = properties // 9 % 5
    pb = properties // 45
    return {"id": lzma.FILTER_LZMA1, "lc": lc, "lp": lp, "pb": pb, "dict_size": dictionary_size}


def parse_header(stream):
    if len(stream) < HEADER_SIZE:
        raise FormatError("LZMA stream shorter than its header")
    return struct.unpack_from(HEADER_FORMAT, stream)


def decompress(stream, where):
    """The decoded bytes; refuses a stream whose decoded length differs from
    the size its header declares."""
    properties, dictionary_size, size = parse_header(stream)
    if size == UNKNOWN_SIZE:
        raise FormatError("%s: LZMA stream does not declare its size" % where)
    decoder = lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=[_filter(properties, dictionary_size)])
    try:
        data = decoder.decompress(stream[HEADER_SIZE:], max_length=size + 1)
    except lzma.LZMAError as error:
        raise FormatError("%s: LZMA stream is damaged (%s)" % (where, error)) from None
    if len(data) != size:
        raise FormatError("%s: LZMA stream decodes to %d bytes, its header says %d" % (where, len(data), size))
    return data


def compress(data, like_stream):
    """Compresses `data` with the same literal/position settings and
    dictionary size as `like_stream`, the stream it replaces."""
    properties, dictionary_size, _ = parse_header(like_stream)
    settings = dict(_filter(properties, dictionary_size), preset=COMPRESSION_PRESET)
    body = lzma.compress(data, format=lzma.FORMAT_RAW, filters=[settings])
    return struct.pack(HEADER_FORMAT, properties, dictionary_size, len(data)) + body
