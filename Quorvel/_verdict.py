"""What the command line says about an image from what Quorvel.probe found
in its headers: a description, why it cannot be read and what to do about
it, and what reading it drops."""
from __future__ import annotations

from typing import Any

from Quorvel import ImageInfo

_COLOUR_TYPES = {0: "greyscale", 2: "RGB", 3: "palette", 4: "greyscale with alpha", 6: "RGBA"}
_BMP_HEADER_KINDS = {
    12: "BITMAPCOREHEADER", 16: "OS/2 2.x header", 40: "BITMAPINFOHEADER", 52: "BITMAPV2INFOHEADER",
    56: "BITMAPV3INFOHEADER", 64: "OS/2 2.x header", 108: "BITMAPV4HEADER", 124: "BITMAPV5HEADER",
}
_BMP_COMPRESSION = {0: "uncompressed", 1: "RLE8", 2: "RLE4", 3: "bit fields", 4: "JPEG", 5: "PNG",
                    6: "alpha bit fields"}
# OS/2 2.x headers give two of the numbers other meanings.
_OS2_COMPRESSION = {**_BMP_COMPRESSION, 3: "Huffman 1D", 4: "RLE24"}
_OS2_HEADER_SIZES = (16, 64)

# Each format's own fields of ImageInfo, as the JSON record's "header" holds them.
HEADER_FIELDS = {
    "PNG": ("colour_type", "bit_depth", "interlaced", "palette_size"),
    "BMP": ("header_size", "bit_count", "compression", "top_down"),
}

# For a file the reader cannot read, another program that reads it can write
# one that it does.
_RESAVE = {
    "PNG": "re-save it as 8-bit RGB if another program reads it (ImageMagick: convert IN PNG24:OUT.png)",
    "BMP": "re-save it as 24-bit BMP if another program reads it "
           "(ImageMagick: convert IN -type TrueColor BMP3:OUT.bmp)",
}


def description(info: ImageInfo) -> str:
    """The header fields in words, as in "8-bit palette (16 entries), not
    interlaced" or "124-byte header (BITMAPV5HEADER), 24 bits per pixel,
    uncompressed, bottom-up"."""
    if info.format == "PNG":
        colour = _COLOUR_TYPES.get(info.colour_type or 0, f"colour type {info.colour_type}")
        if info.colour_type == 3:
            colour += f" ({info.palette_size} entries)"
        return f"{info.bit_depth}-bit {colour}, {'Adam7 interlaced' if info.interlaced else 'not interlaced'}"
    size, bits = info.header_size or 0, info.bit_count
    names = _OS2_COMPRESSION if size in _OS2_HEADER_SIZES else _BMP_COMPRESSION
    return ", ".join([f"{size}-byte header ({_BMP_HEADER_KINDS.get(size, 'unknown kind')})",
                      f"{bits} bit{'s' if bits != 1 else ''} per pixel",
                      names.get(info.compression or 0, f"compression {info.compression}"),
                      "top-down" if info.top_down else "bottom-up"])


def refusal(info: ImageInfo) -> str:
    """Why Quorvel.load cannot read the file, and what to do about it."""
    return f"{info.reason}; {_RESAVE[info.format]}"


def alpha_kind(info: ImageInfo) -> str:
    """What kind of image has the alpha that reading drops."""
    if info.format == "BMP":
        return "BMP with an alpha mask"
    return {6: "RGBA image", 4: "greyscale image with alpha"}.get(info.colour_type or 0, "image with a tRNS chunk")


def record(info: ImageInfo, max_pixels: int) -> dict[str, Any]:
    """What `info` says, as the fields of the JSON record of `info --json`.
    "supported" and "unsupported_reason" are the names earlier versions gave
    to "readable" and its reason."""
    return {
        "format": info.format, "width": info.width, "height": info.height, "pixels": info.pixels,
        "description": description(info),
        "header": {name: getattr(info, name) for name in HEADER_FIELDS[info.format]},
        "has_alpha": info.has_alpha, "readable": info.readable, "reason": info.reason,
        "opens": info.opens, "open_refusal": info.open_refusal,
        "supported": info.readable, "unsupported_reason": None if info.readable else refusal(info),
        "over_max_pixels": 0 < max_pixels < info.pixels,
    }
