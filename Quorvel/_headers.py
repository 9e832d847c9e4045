"""What a PNG or BMP file holds, read from its headers alone, and whether
`SimpleImage.open` will take it; the cost does not grow with the image."""
from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass, field
from typing import BinaryIO

from Quorvel.tessarin_ext import PNG_SIGNATURE

INT32_MAX = 2**31 - 1
# Chunks before IHDR are read in pieces of this size, so that a length field
# claiming gigabytes costs no memory.
_PIECE = 1 << 20

_COLOUR_TYPES = {0: "greyscale", 2: "RGB", 3: "palette", 4: "greyscale with alpha", 6: "RGBA"}
_INTERLACING = {0: "not interlaced", 1: "Adam7 interlaced"}
_BMP_HEADER_KINDS = {
    12: "BITMAPCOREHEADER", 16: "OS/2 2.x header", 40: "BITMAPINFOHEADER", 52: "BITMAPV2INFOHEADER",
    56: "BITMAPV3INFOHEADER", 64: "OS/2 2.x header", 108: "BITMAPV4HEADER", 124: "BITMAPV5HEADER",
}
_BMP_COMPRESSION = {0: "uncompressed", 1: "RLE8", 2: "RLE4", 3: "bit fields", 4: "JPEG", 5: "PNG",
                    6: "alpha bit fields"}

_TO_RGB_PNG = "re-save it as 8-bit RGB (ImageMagick: convert IN PNG24:OUT.png)"
_TO_BMP3 = "ImageMagick writes one that can with the BMP3: prefix (convert IN -type TrueColor BMP3:OUT.bmp)"


class HeaderError(ValueError):
    """The headers cannot be read: not an image, cut short or damaged."""


@dataclass
class Header:
    format: str
    width: int
    height: int
    description: str
    fields: dict[str, int] = field(default_factory=dict)
    # Why SimpleImage.open will refuse the file, and what to do about it;
    # None when the headers are acceptable.
    refusal: str | None = None
    has_alpha: bool = False

    @property
    def pixels(self) -> int:
        return self.width * self.height


def read_header(file: BinaryIO, *, every_ihdr: bool = False) -> Header:
    """Reads the headers from the start of `file`. With `every_ihdr`, a PNG is
    walked to its end for a later IHDR, which the decoder would obey instead."""
    head = file.read(8)
    if head.startswith(PNG_SIGNATURE):
        return _png_header(file, every_ihdr)
    if head[:2] == b"BM":
        return _bmp_header(head, file)
    raise HeaderError("empty file" if not head else "not a PNG or BMP image")


def _png_header(file: BinaryIO, every_ihdr: bool) -> Header:
    ihdr: bytes | None = None
    while True:
        prefix = file.read(8)
        if not prefix:
            break
        if len(prefix) < 8:
            if ihdr is not None:
                break  # past the header: the decoder reports what is missing
            raise HeaderError("cut short in a chunk header")
        length, tag = struct.unpack(">I4s", prefix)
        if ihdr is not None and tag != b"IHDR":
            # Only looking for a later IHDR: the decoder checks the rest.
            if tag == b"IEND":
                break
            file.seek(length + 4, 1)
            continue
        data = _checked_chunk_data(file, tag, length)
        if tag == b"IHDR":
            if length != 13:
                raise HeaderError(f"the IHDR chunk holds {length} bytes instead of 13: damaged")
            ihdr = data
            if not every_ihdr:
                break
        elif tag == b"IEND":
            break
    if ihdr is None:
        raise HeaderError("no IHDR chunk: not a complete PNG image")
    return _png_from_ihdr(ihdr)


def _checked_chunk_data(file: BinaryIO, tag: bytes, length: int) -> bytes:
    """Reads a chunk's data and CRC; returns the data of a small chunk only."""
    name = tag.decode("latin-1")
    crc = zlib.crc32(tag)
    kept = b""
    remaining = length
    while remaining:
        piece = file.read(min(remaining, _PIECE))
        if not piece:
            raise HeaderError(f"cut short in the {name!r} chunk")
        crc = zlib.crc32(piece, crc)
        remaining -= len(piece)
        if length <= 64:
            kept += piece
    stored = file.read(4)
    if len(stored) < 4:
        raise HeaderError(f"cut short in the CRC of the {name!r} chunk")
    if struct.unpack(">I", stored)[0] != crc:
        raise HeaderError(f"the {name!r} chunk is damaged (its CRC does not match)")
    return kept


def _png_from_ihdr(ihdr: bytes) -> Header:
    width, height, depth, colour, compression, filtering, interlace = struct.unpack(">IIBBBBB", ihdr)
    colour_words = _COLOUR_TYPES.get(colour, f"colour type {colour}")
    words = [f"{depth}-bit {colour_words}", _INTERLACING.get(interlace, f"interlace method {interlace}")]
    if compression:
        words.append(f"compression method {compression}")
    if filtering:
        words.append(f"filter method {filtering}")
    header = Header("PNG", width, height, ", ".join(words), {
        "bit_depth": depth, "colour_type": colour, "compression_method": compression,
        "filter_method": filtering, "interlace_method": interlace}, has_alpha=colour == 6)
    # In the order the decoder checks them.
    if max(width, height) > INT32_MAX:
        header.refusal = f"{width}x{height}: a side over {INT32_MAX} pixels cannot be opened; damaged?"
    elif depth != 8:
        header.refusal = f"bit depth {depth}: only 8-bit PNG can be opened; {_TO_RGB_PNG}"
    elif colour not in (2, 6):
        header.refusal = f"{colour_words}: only RGB or RGBA PNG can be opened; {_TO_RGB_PNG}"
    elif compression or filtering:
        header.refusal = "an unknown compression or filter method: not a standard PNG"
    elif interlace:
        header.refusal = ("interlaced: only non-interlaced PNG can be opened; "
                          "re-save it without interlacing (ImageMagick: convert IN -interlace none PNG24:OUT.png)")
    return header


def _bmp_header(head: bytes, file: BinaryIO) -> Header:
    file_header = head + file.read(6)
    if len(file_header) < 14:
        raise HeaderError("cut short in the 14-byte file header")
    pixel_offset = struct.unpack("<I", file_header[10:14])[0]
    size_bytes = file.read(4)
    if len(size_bytes) < 4:
        raise HeaderError("cut short before the information header")
    info_size = struct.unpack("<I", size_bytes)[0]
    if info_size == 12:
        core = file.read(8)
        if len(core) < 8:
            raise HeaderError("cut short in the information header")
        width, height, planes, bits = struct.unpack("<HHHH", core)
        compression = 0
    elif info_size >= 16:
        # Every larger header starts with the fields of the 40-byte one.
        wanted = min(info_size, 40) - 4
        info = file.read(wanted)
        if len(info) < wanted:
            raise HeaderError("cut short in the information header")
        width, height, planes, bits = struct.unpack("<iiHH", info[:12])
        compression = struct.unpack("<I", info[12:16])[0] if len(info) >= 16 else 0
    else:
        raise HeaderError(f"an information header of {info_size} bytes: damaged")
    kind = _BMP_HEADER_KINDS.get(info_size, "unknown kind")
    rows = abs(height)
    words = [f"{info_size}-byte header ({kind})", f"{bits} bit{'s' if bits != 1 else ''} per pixel",
             _BMP_COMPRESSION.get(compression, f"compression {compression}"),
             "top-down" if height < 0 else "bottom-up"]
    header = Header("BMP", width, rows, ", ".join(words), {
        "header_size": info_size, "planes": planes, "bits_per_pixel": bits, "compression": compression,
        "pixel_data_offset": pixel_offset, "stored_height": height})
    # In the order the decoder checks them.
    if info_size != 40:
        header.refusal = f"BMP with a {info_size}-byte header: only the 40-byte header can be opened; {_TO_BMP3}"
    elif planes != 1:
        header.refusal = f"{planes} colour planes instead of 1: damaged"
    elif bits != 24 or compression != 0:
        what = words[1] if bits != 24 else words[2]
        header.refusal = f"{what}: only uncompressed 24-bit BMP can be opened; {_TO_BMP3}"
    elif width < 0 and rows:
        header.refusal = f"a negative width ({width}): damaged"
    elif rows and (rows - 1) * width * 3 > INT32_MAX:
        header.refusal = f"{width}x{rows}: rows starting beyond 2 GiB cannot be opened"
    return header
