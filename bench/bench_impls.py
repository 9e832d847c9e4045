"""The implementations compared by bench_codecs.py, one factory per operation.

Each factory takes one input and returns a zero-argument callable: one call is
one sample. Decoders return the RGB bytes (any buffer), so a first call can be
checked against the reference pixels; encoders write a file and return its
path, so their output can be compared with the limit's bytes.

"limit" is the least work any decoder or encoder on top of the host's zlib
must do for the operation; what it includes is written at each function.
"""

from __future__ import annotations

import importlib.metadata
import platform
import struct
import zlib
from pathlib import Path
from typing import Callable

import numpy as np
from PIL import Image

from Quorvel.tessarin_ext import SimpleImage

try:
    import png as pypng
except ImportError:
    pypng = None
try:
    import pyspng
except ImportError:
    pyspng = None
try:
    import cv2
except ImportError:
    cv2 = None

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
# Pure-Python peers are run only up to this many pixels: beyond it one sample
# takes seconds and adds nothing to what the smaller images already show.
PURE_PYTHON_MAX_PIXELS = 1024 * 1024

Sample = Callable[[], object]


def available_peers() -> dict[str, bool]:
    return {"pypng": pypng is not None, "pyspng": pyspng is not None, "opencv": cv2 is not None}


def versions() -> dict[str, str]:
    """The versions of this module, the host's zlib and every peer present."""
    found = {
        "python": platform.python_version(),
        "zlib": zlib.ZLIB_RUNTIME_VERSION,
        "Quorvel": importlib.metadata.version("Quorvel"),
        "Pillow": Image.__version__,
        "numpy": np.__version__,
    }
    if pyspng is not None:
        found["pyspng"] = importlib.metadata.version("pyspng")
    if cv2 is not None:
        found["opencv"] = cv2.__version__
    if pypng is not None:
        found["pypng"] = importlib.metadata.version("pypng")
    return found


# ---------------------------------------------------------------- PNG decode


def _idat_and_size(data: bytes) -> tuple[object, int]:
    """The joined IDAT payload (a memoryview when there is a single IDAT, so
    nothing is copied) and the size of the filtered image data from IHDR.
    Chunk CRCs are not checked: a lower bound need not validate."""
    view = memoryview(data)
    width, height, _depth, colour_type = struct.unpack_from(">IIBB", data, 16)
    channels = 4 if colour_type == 6 else 3
    parts = []
    pos = 8
    end = len(data)
    while pos + 8 <= end:
        length = int.from_bytes(data[pos : pos + 4], "big")
        tag = data[pos + 4 : pos + 8]
        if tag == b"IDAT":
            parts.append(view[pos + 8 : pos + 8 + length])
        elif tag == b"IEND":
            break
        pos += 12 + length
    idat = parts[0] if len(parts) == 1 else b"".join(parts)
    return idat, (width * channels + 1) * height


def png_decode_limit(path: Path) -> Sample:
    """Read the file, find the IDAT data by slicing, one zlib.decompress.

    bufsize is the exact size of the filtered data (known from IHDR): the
    host then inflates into a single block and returns it without the final
    copy that the default 16 KiB start needs."""

    def run():
        with open(path, "rb") as f:
            data = f.read()
        idat, size = _idat_and_size(data)
        return zlib.decompress(idat, bufsize=size)

    return run


def png_decode_limit_default_bufsize(path: Path) -> Sample:
    """As the limit, with zlib.decompress's default bufsize (one more copy)."""

    def run():
        with open(path, "rb") as f:
            data = f.read()
        idat, _size = _idat_and_size(data)
        return zlib.decompress(idat)

    return run


def png_decode_ours(path: Path) -> Sample:
    source = str(path)
    return lambda: SimpleImage.open(source)._pixels


def pillow_rgb_bytes(path: Path) -> bytes:
    with Image.open(path) as im:
        if im.mode != "RGB":
            im = im.convert("RGB")
        return im.tobytes()


def png_decode_pillow(path: Path) -> Sample:
    return lambda: pillow_rgb_bytes(path)


def png_decode_pypng(path: Path) -> Sample:
    source = str(path)

    def run():
        width, height, rows, _info = pypng.Reader(filename=source).asRGB8()
        return b"".join(bytes(row) for row in rows)

    return run


def png_decode_pyspng(path: Path) -> Sample:
    def run():
        with open(path, "rb") as f:
            pixels = pyspng.load(f.read())
        if pixels.shape[2] == 4:
            pixels = np.ascontiguousarray(pixels[:, :, :3])
        return pixels

    return run


def png_decode_opencv(path: Path) -> Sample:
    source = str(path)
    return lambda: cv2.cvtColor(cv2.imread(source, cv2.IMREAD_COLOR), cv2.COLOR_BGR2RGB)


def png_decoders(pixels: int) -> dict[str, Callable[[Path], Sample]]:
    impls = {
        "ours": png_decode_ours,
        "limit": png_decode_limit,
        "limit-dflt": png_decode_limit_default_bufsize,
        "pillow": png_decode_pillow,
    }
    if pyspng is not None:
        impls["pyspng"] = png_decode_pyspng
    if cv2 is not None:
        impls["opencv"] = png_decode_opencv
    if pypng is not None and pixels <= PURE_PYTHON_MAX_PIXELS:
        impls["pypng"] = png_decode_pypng
    return impls


# ---------------------------------------------------------------- PNG encode


def _chunk(tag: bytes, data) -> bytes:
    return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(data, zlib.crc32(tag)))


def png_encode_limit(width: int, height: int, rgb: bytes, out: Path) -> Sample:
    """Lay out the rows with filter byte 0 (one numpy copy), one
    zlib.compress at the default level, the three chunks with their CRCs and
    one write: the least that produces the same file as an unfiltered
    encoder."""
    source = np.frombuffer(rgb, dtype=np.uint8).reshape(height, width * 3)
    header = _chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    trailer = _chunk(b"IEND", b"")

    def run():
        rows = np.empty((height, width * 3 + 1), dtype=np.uint8)
        rows[:, 0] = 0
        rows[:, 1:] = source
        compressed = zlib.compress(rows)
        with open(out, "wb") as f:
            f.write(PNG_SIGNATURE + header)
            f.write(_chunk(b"IDAT", compressed))
            f.write(trailer)
        return out

    return run


def png_encode_ours(width: int, height: int, rgb: bytes, out: Path) -> Sample:
    image = SimpleImage(width, height, rgb)
    target = str(out)

    def run():
        image.save(target)
        return out

    return run


def png_encode_pillow(width: int, height: int, rgb: bytes, out: Path) -> Sample:
    image = Image.frombytes("RGB", (width, height), rgb)

    def run():
        image.save(out, "PNG", compress_level=6)
        return out

    return run


def png_encode_pypng(width: int, height: int, rgb: bytes, out: Path) -> Sample:
    stride = width * 3
    writer = pypng.Writer(width, height, greyscale=False, bitdepth=8)

    def run():
        rows = (rgb[y * stride : (y + 1) * stride] for y in range(height))
        with open(out, "wb") as f:
            writer.write(f, rows)
        return out

    return run


def png_encode_opencv(width: int, height: int, rgb: bytes, out: Path) -> Sample:
    bgr = np.ascontiguousarray(np.frombuffer(rgb, dtype=np.uint8).reshape(height, width, 3)[:, :, ::-1])
    target = str(out)
    params = [cv2.IMWRITE_PNG_COMPRESSION, 6]

    def run():
        if not cv2.imwrite(target, bgr, params):
            raise OSError(f"cv2.imwrite failed for {target}")
        return out

    return run


def png_encoders(pixels: int):
    impls = {"ours": png_encode_ours, "limit": png_encode_limit, "pillow": png_encode_pillow}
    if cv2 is not None:
        impls["opencv"] = png_encode_opencv
    if pypng is not None and pixels <= PURE_PYTHON_MAX_PIXELS:
        impls["pypng"] = png_encode_pypng
    return impls


# ---------------------------------------------------------------- BMP decode


def _bmp_rows(data: bytes) -> np.ndarray:
    """The pixel rows of a 24-bit BMP as a (height, width, 3) BGR view, top row first."""
    offset, _header_size, width, height = struct.unpack_from("<IIii", data, 10)
    stride = (width * 3 + 3) & ~3
    rows = np.frombuffer(data, dtype=np.uint8, count=stride * abs(height), offset=offset)
    rows = rows.reshape(abs(height), stride)[:, : width * 3]
    return (rows[::-1] if height > 0 else rows).reshape(abs(height), width, 3)


def bmp_decode_limit(path: Path) -> Sample:
    """One read, the header fields needed, and one pass of numpy copies that
    drops the row padding, flips bottom-up rows and turns BGR into RGB: one
    strided copy per channel, the fastest of numpy's ways to do it (a single
    copy through a reversed channel axis is about 3x slower)."""

    def run():
        with open(path, "rb") as f:
            data = f.read()
        bgr = _bmp_rows(data)
        rgb = np.empty(bgr.shape, dtype=np.uint8)
        for channel in range(3):
            rgb[:, :, channel] = bgr[:, :, 2 - channel]
        return rgb

    return run


def bmp_decode_limit_simd(path: Path) -> Sample:
    """As the limit, with OpenCV's vectorised channel swap instead of numpy's copies."""

    def run():
        with open(path, "rb") as f:
            data = f.read()
        return cv2.cvtColor(_bmp_rows(data), cv2.COLOR_BGR2RGB)

    return run


def bmp_decode_ours(path: Path) -> Sample:
    source = str(path)
    return lambda: SimpleImage.open(source)._pixels


def bmp_decode_pillow(path: Path) -> Sample:
    return lambda: pillow_rgb_bytes(path)


def bmp_decode_opencv(path: Path) -> Sample:
    source = str(path)
    return lambda: cv2.cvtColor(cv2.imread(source, cv2.IMREAD_COLOR), cv2.COLOR_BGR2RGB)


def bmp_decoders():
    impls = {"ours": bmp_decode_ours, "limit": bmp_decode_limit, "pillow": bmp_decode_pillow}
    if cv2 is not None:
        impls["limit-simd"] = bmp_decode_limit_simd
        impls["opencv"] = bmp_decode_opencv
    return impls


# ---------------------------------------------------------------- BMP encode


def _bmp_header(width: int, height: int) -> bytes:
    # The same fields as the module writes, 2835 pixels per metre included,
    # so that the files can be compared byte for byte.
    size = ((width * 3 + 3) & ~3) * height
    return b"BM" + struct.pack("<IHHI", 54 + size, 0, 0, 54) + struct.pack(
        "<IiiHHIIiiII", 40, width, height, 1, 24, 0, size, 2835, 2835, 0, 0
    )


def _bmp_encoder(width: int, height: int, rgb: bytes, out: Path, swap) -> Sample:
    source = np.frombuffer(rgb, dtype=np.uint8).reshape(height, width, 3)
    stride = (width * 3 + 3) & ~3
    header = _bmp_header(width, height)

    def run():
        rows = np.empty((height, stride), dtype=np.uint8)
        rows[:, width * 3 :] = 0
        swap(source, rows[::-1, : width * 3].reshape(height, width, 3))
        with open(out, "wb") as f:
            f.write(header)
            f.write(rows)
        return out

    return run


def _swap_numpy(rgb: np.ndarray, bgr: np.ndarray) -> None:
    for channel in range(3):
        bgr[:, :, channel] = rgb[:, :, 2 - channel]


def _swap_opencv(rgb: np.ndarray, bgr: np.ndarray) -> None:
    # cvtColor needs a contiguous destination; bottom-up order is a row copy.
    bgr[...] = cv2.cvtColor(rgb, cv2.COLOR_RGB2BGR)


def bmp_encode_limit(width: int, height: int, rgb: bytes, out: Path) -> Sample:
    """One pass of numpy copies into padded bottom-up BGR rows (padding
    zeroed, one strided copy per channel), the 54 header bytes, one write."""
    return _bmp_encoder(width, height, rgb, out, _swap_numpy)


def bmp_encode_limit_simd(width: int, height: int, rgb: bytes, out: Path) -> Sample:
    """As the limit, with OpenCV's vectorised channel swap (plus one row copy)."""
    return _bmp_encoder(width, height, rgb, out, _swap_opencv)


def bmp_encode_ours(width: int, height: int, rgb: bytes, out: Path) -> Sample:
    image = SimpleImage(width, height, rgb)
    target = str(out)

    def run():
        image.saveBmp(target)
        return out

    return run


def bmp_encode_pillow(width: int, height: int, rgb: bytes, out: Path) -> Sample:
    image = Image.frombytes("RGB", (width, height), rgb)

    def run():
        image.save(out, "BMP")
        return out

    return run


def bmp_encode_opencv(width: int, height: int, rgb: bytes, out: Path) -> Sample:
    bgr = np.ascontiguousarray(np.frombuffer(rgb, dtype=np.uint8).reshape(height, width, 3)[:, :, ::-1])
    target = str(out)

    def run():
        if not cv2.imwrite(target, bgr):
            raise OSError(f"cv2.imwrite failed for {target}")
        return out

    return run


def bmp_encoders():
    impls = {"ours": bmp_encode_ours, "limit": bmp_encode_limit, "pillow": bmp_encode_pillow}
    if cv2 is not None:
        impls["limit-simd"] = bmp_encode_limit_simd
        impls["opencv"] = bmp_encode_opencv
    return impls


# ---------------------------------------------------------------- pixel access


def get_pixel_ours(width: int, height: int, rgb: bytes, coords: list) -> Sample:
    get = SimpleImage(width, height, rgb).getPixel

    def run():
        for xy in coords:
            get(xy)

    return run


def get_pixel_pillow(width: int, height: int, rgb: bytes, coords: list) -> Sample:
    access = Image.frombytes("RGB", (width, height), rgb).load()

    def run():
        for xy in coords:
            access[xy]

    return run


def put_pixel_ours(width: int, height: int, rgb: bytes, coords: list) -> Sample:
    put = SimpleImage(width, height, rgb).putPixel
    colour = (12, 200, 99)

    def run():
        for xy in coords:
            put(xy, colour)

    return run


def put_pixel_pillow(width: int, height: int, rgb: bytes, coords: list) -> Sample:
    access = Image.frombytes("RGB", (width, height), rgb).load()
    colour = (12, 200, 99)

    def run():
        for xy in coords:
            access[xy] = colour

    return run


def loop_only(width: int, height: int, rgb: bytes, coords: list) -> Sample:
    """The bare loop over the coordinates, to show the per-call share of the loop."""

    def run():
        for xy in coords:
            pass

    return run
