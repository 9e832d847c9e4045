"""The fuzz target for Quorvel.load and Quorvel.probe on arbitrary bytes,
shared by the libFuzzer target fuzz_load (fuzz/fuzz_decode.cpp built with
this harness), the replayer (replay.py --load) and the tests.

An input passes when these hold:
- load gives a consistent image or raises ImageReadError (or MemoryError
  for an image larger than memory allows); probe gives an ImageInfo or
  raises ImageReadError;
- probe and load agree: probe raises exactly when load raises the same
  error from the headers; probe's reason is load's error; an image load
  gives has probe's width and height and is readable;
- probe foretells SimpleImage.open: open refuses with open_refusal, or, when
  the headers pass, fails only on what they cannot show (a CRC, the data);
- the pixels equal the oracles': pypng's samples for a PNG it reads (alpha
  dropped, grey spread, low depths by bit replication, 16 bits cut to the
  high byte, indices past the palette black), Pillow's convert("RGB") for a
  BMP it reads.
Pillow and pypng are imported here: without them the target does not run.
Anything else is a finding.
"""

from __future__ import annotations

import io
import warnings

import png as pypng
from PIL import Image

from Quorvel import ImageReadError, SimpleImage, load, probe
from open_target import Finding, read_alike_by_pillow

# Faults of a file that SimpleImage.open finds only past its headers.
OPEN_DATA_FAULTS = ("Corrupted PNG chunk detected", "Malformed PNG image data", "Unsupported PNG filter: ",
                    "Incomplete BMP pixel data")
# The oracles decode in Python: larger images are left to the corpus tests.
ORACLE_PIXELS = 1 << 16


def _outcome(call, data):
    try:
        return call(data)
    except (ImageReadError, MemoryError) as error:
        return error
    except BaseException as error:  # noqa: BLE001 - every outcome is judged
        raise Finding(f"{type(error).__name__}: {error}") from error


def _check_agreement(info, image):
    if isinstance(info, MemoryError):
        raise Finding("probe ran out of memory")
    if isinstance(info, ImageReadError):
        if not isinstance(image, ImageReadError) or str(image) != str(info):
            raise Finding(f"probe raised {info!r} but load gave {image!r}")
        return
    if isinstance(image, SimpleImage):
        if not info.readable or image.size != (info.width, info.height):
            raise Finding(f"load read {image.size} but probe said {info}")
        if type(image._pixels) is not bytearray or len(image._pixels) != info.pixels * 3:
            raise Finding(f"inconsistent image: {image.size} with {len(image._pixels)} bytes")
    elif not info.readable and str(image) != info.reason:
        raise Finding(f"probe's reason {info.reason!r} but load raised {image!r}")


def _check_open_foretold(data, info):
    try:
        SimpleImage.open(data)
        refusal = None
    except Exception as error:  # noqa: BLE001 - the decoders raise the host's errors too
        refusal = str(error) or type(error).__name__
    if refusal == info.open_refusal or refusal == "MemoryError" or isinstance(refusal, str) and (
            refusal.startswith(OPEN_DATA_FAULTS) or "while decompressing data" in refusal):
        return
    raise Finding(f"probe foretold {info.open_refusal!r} but SimpleImage.open gave {refusal!r}")


def _pypng_rgb(data):
    """pypng's image reduced to RGB, or None where pypng refuses it or reads
    its chunks otherwise (a later IHDR, IDAT chunks apart)."""
    if not read_alike_by_pillow(data):
        return None
    try:
        # A file pypng warns about (a second IHDR, which makes it forget the
        # palette, say) it reads otherwise than the rules here.
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            width, height, rows, meta = pypng.Reader(bytes=data).read()
            if width * height > ORACLE_PIXELS:
                return None
            rows = [list(row) for row in rows]
    except Exception:  # noqa: BLE001 - pypng's refusals are not ours to judge
        return None
    planes, depth = meta["planes"], meta["bitdepth"]
    palette = meta.get("palette") if planes == 1 and not meta["greyscale"] else None
    out = bytearray()
    for row in rows:
        for x in range(width):
            pixel = row[x * planes:(x + 1) * planes]
            if palette is not None:
                out += bytes(palette[pixel[0]][:3]) if pixel[0] < len(palette) else bytes(3)
                continue
            samples = [s >> 8 if depth == 16 else s * 255 // ((1 << depth) - 1) for s in pixel]
            out += bytes(samples[:1] * 3 if meta["greyscale"] else samples[:3])
    return (width, height), bytes(out)


def _pillow_rgb(data):
    """Pillow's BMP as RGB, or None where Pillow refuses it."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with Image.open(io.BytesIO(data)) as image:
                if image.format != "BMP" or image.width * image.height > ORACLE_PIXELS:
                    return None
                return image.size, image.convert("RGB").tobytes()
    except Exception:  # noqa: BLE001 - Pillow's refusals are not ours to judge
        return None


def check_load(data: bytes) -> str:
    """Runs the checks on `data`; raises Finding unless every one holds.
    Returns the outcome of load: "image", or the error's message."""
    info = _outcome(probe, data)
    image = _outcome(load, data)
    _check_agreement(info, image)
    if not isinstance(info, BaseException):
        _check_open_foretold(data, info)
    if not isinstance(image, SimpleImage):
        return str(image) or type(image).__name__
    reference = _pypng_rgb(data) if info.format == "PNG" else _pillow_rgb(data)
    if reference is not None and (image.size, bytes(image._pixels)) != reference:
        raise Finding(f"image {image.size} differs from the oracle's {reference[0]}")
    return "image"


def fuzz_one(data: bytes) -> None:
    """The entry of the libFuzzer target fuzz_load."""
    check_load(data)
