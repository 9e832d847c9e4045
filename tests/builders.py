"""Reference PNG and BMP files built from zlib and struct alone, independent of
the module's own chunk builder and encoders."""
import struct
import zlib


def chunk(tag: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))


def png_bytes(width: int, height: int, pixels: bytes) -> bytes:
    """An 8-bit RGB PNG with every row unfiltered."""
    stride = width * 3
    raw = b"".join(b"\x00" + pixels[y * stride:(y + 1) * stride] for y in range(height))
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw))
            + chunk(b"IEND", b""))


def bmp_bytes(width: int, height: int, pixels: bytes) -> bytes:
    """A bottom-up 24-bit BMP with a 40-byte information header."""
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in reversed(range(height)):
        row = pixels[y * width * 3:(y + 1) * width * 3]
        bgr = b"".join(row[x:x + 3][::-1] for x in range(0, len(row), 3))
        rows.append(bgr + b"\x00" * (stride - len(bgr)))
    data = b"".join(rows)
    return (b"BM" + struct.pack("<IHHI", 54 + len(data), 0, 0, 54)
            + struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 0, 0, 0, 0) + data)
