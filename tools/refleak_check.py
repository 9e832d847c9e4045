"""Reference-leak check of every entry point of Quorvel.tessarin_ext, of
the filtering PNG encoder, Quorvel._png_writer, and of the reader behind
Quorvel.load and Quorvel.probe, Quorvel._reader.

Runs each case (one call, successful or failing in a known way) in a loop
under a debug interpreter, the way CPython hunts reference leaks: a few
warm-up runs fill the caches, then each measured run reports how much
sys.gettotalrefcount() and sys.getallocatedblocks() grew. A case leaks when
every measured run grows; its deltas are printed. Exit status 1 on any leak
or on a case that raised something other than what it expects.

    python-dbg tools/refleak_check.py [--quick] [-k SUBSTRING]
"""

from __future__ import annotations

import argparse
import gc
import io
import pathlib
import pickle
import struct
import sys
import tempfile
import warnings
import zlib
from typing import Callable

import Quorvel
import Quorvel.tessarin_ext as ext
from Quorvel import _png_writer, _reader
from Quorvel._png import Candidate
from Quorvel._png_reduce import RGB_FORMAT
from Quorvel.tessarin_ext import SimpleImage

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from builders import (  # noqa: E402
    PNG_SIGNATURE, RGBA, BytesSubclass, RecordingStream, StrSubclass, TupleSubclass, bmp_bytes, bmp_headers, chunk,
    ihdr, png)

RGB_2X2 = bytes(range(12))
VALID_PNG = png(2, 2, b"\x00" + RGB_2X2[:6] + b"\x01" + RGB_2X2[6:])
VALID_PNG_RGBA = png(1, 1, b"\x04\x01\x02\x03\x04", color_type=RGBA)
VALID_BMP = bmp_bytes(2, 2, RGB_2X2)
# Reads 1 and 2 take the signature; the BMP pixel rows start at read 5.
SIGNATURE_READS, FIRST_ROW_READ = 2, 5


def rows_as(row_type: Callable[[bytes], object]) -> RecordingStream:
    """VALID_BMP, its pixel rows read back as another type."""
    return RecordingStream(VALID_BMP, convert=lambda number, data: row_type(data) if number >= FIRST_ROW_READ else data)


class ThreeWayOverride(SimpleImage):
    @staticmethod
    def _streamToImage(stream):
        return iter([1, 1, bytes(3), "extra"])


class TwoValueOverride(SimpleImage):
    @staticmethod
    def _streamToImage(stream):
        return (1, 1)


class Finalised(SimpleImage):
    def __del__(self) -> None:
        pass


class IntReturnsStr:
    def __int__(self):
        return "2"


class IntReturnsIntSubclass:
    def __int__(self):
        return True


class FailingStream:
    def read(self, n: int) -> bytes:
        raise OSError("read failed")

    def seek(self, pos: int) -> int:
        return 0


def image() -> SimpleImage:
    return SimpleImage(2, 2, RGB_2X2)


def reassigned(width: int | None = None, height: int | None = None, pixels=...) -> SimpleImage:
    img = image()
    if width is not None:
        img.width = width
    if height is not None:
        img.height = height
    if pixels is not ...:
        img._pixels = pixels
    return img


def build_cases(workdir: pathlib.Path) -> list[tuple[str, Callable[[], object], tuple[type[BaseException], ...]]]:
    """(name, call, exceptions the call may raise); an empty tuple means it must
    succeed, and NoneType among the exceptions means it may also succeed."""
    png_path = str(workdir / "image.png")
    bmp_path = str(workdir / "image.bmp")
    out_png = str(workdir / "out.png")
    out_bmp = str(workdir / "out.bmp")
    missing = str(workdir / "missing.png")
    directory = str(workdir)
    image().save(png_path)
    image().saveBmp(bmp_path)
    # A chunk claiming 4 GiB with 1.5 MiB present: read in pieces, then joined.
    claim_path = workdir / "claim.png"
    claim_path.write_bytes(PNG_SIGNATURE + ihdr(1, 1) + b"\xff\xff\xff\xffIDAT" + bytes(3 << 19))

    none: tuple[type[BaseException], ...] = ()
    ve, te, oe = (ValueError,), (TypeError,), (OverflowError,)
    se, ze, ie = (struct.error,), (zlib.error,), (IndexError,)
    # Candidates of the PNG writer: the per-row choice, zlib level 6,
    # Z_FILTERED; and the format record of 8-bit RGB rows.
    candidate = Candidate((8, 8, 8, 9, 9), 6, zlib.Z_FILTERED)
    cheap = Candidate(0, 1, zlib.Z_HUFFMAN_ONLY, sample_handicap=-5, finalist_margin=50)
    rgb = RGB_FORMAT
    cases: list[tuple[str, Callable[[], object], tuple[type[BaseException], ...]]] = [
        # construction and argument binding
        ("init", lambda: SimpleImage(2, 2, RGB_2X2), none),
        ("init keywords", lambda: SimpleImage(width=2, height=2, pixels=bytearray(RGB_2X2)), none),
        ("init list pixels", lambda: SimpleImage(1, 1, [1, 2, 3]), none),
        ("init memoryview", lambda: SimpleImage(1, 1, memoryview(b"abc")), none),
        ("init float width", lambda: SimpleImage(2.9, 1, bytes(6)), none),
        ("init int subclass from __int__", lambda: SimpleImage(IntReturnsIntSubclass(), 1, bytes(3)), none),
        ("init bad length", lambda: SimpleImage(2, 2, bytes(11)), ve),
        ("init str width", lambda: SimpleImage("2", 2, bytes(12)), te),
        ("init __int__ returns str", lambda: SimpleImage(IntReturnsStr(), 1, bytes(6)), te),
        ("init overflow", lambda: SimpleImage(2**31, 1, b""), oe),
        ("init no len", lambda: SimpleImage(1, 1, 5), te),
        ("init bad items", lambda: SimpleImage(1, 1, [1, 2, 300]), ve),
        ("init str pixels", lambda: SimpleImage(1, 1, "abc"), te),
        ("init too many", lambda: SimpleImage(1, 1, b"abc", 4), te),
        ("init missing", lambda: SimpleImage(1, 1), te),
        ("init unexpected kw", lambda: SimpleImage(1, 1, b"abc", depth=3), te),
        ("init multiple values", lambda: SimpleImage(1, 1, b"abc", width=1), te),
        ("init subclass with finaliser", lambda: Finalised(1, 1, b"abc"), none),
        # attributes
        ("get attributes", lambda: (image().width, image().height, image().size, image()._pixels), none),
        ("set width", lambda: setattr(image(), "width", 7), none),
        ("set width overflow", lambda: setattr(image(), "width", 2**40), oe),
        ("set width str", lambda: setattr(image(), "width", "7"), te),
        ("del width", lambda: delattr(image(), "width"), (NotImplementedError,)),
        ("set pixels", lambda: setattr(image(), "_pixels", bytearray(3)), none),
        ("set pixels bytes", lambda: setattr(image(), "_pixels", b"abc"), te),
        ("del pixels", lambda: delattr(image(), "_pixels"), none),
        ("set size", lambda: setattr(image(), "size", (1, 1)), (AttributeError,)),
        ("set other attribute", lambda: setattr(image(), "other", 1), (AttributeError,)),
        # pixel access
        ("getPixel", lambda: image().getPixel((1, 1)), none),
        ("getPixel keyword", lambda: image().getPixel(coords=(0, 1)), none),
        ("getPixel out of bounds", lambda: image().getPixel((2, 0)), ve),
        ("getPixel big coordinate", lambda: image().getPixel((2**70, 0)), ve),
        ("getPixel list", lambda: image().getPixel([0, 0]), te),
        ("getPixel tuple subclass", lambda: image().getPixel(TupleSubclass((0, 0))), te),
        ("getPixel too many", lambda: image().getPixel((0, 0, 0)), ve),
        ("getPixel too few", lambda: image().getPixel((0,)), ve),
        ("getPixel float", lambda: image().getPixel((0.5, 0)), te),
        ("getPixel str coordinate", lambda: image().getPixel(("a", 0)), te),
        ("getPixel past buffer", lambda: reassigned(width=100).getPixel((50, 0)), ie),
        ("getPixel no pixels", lambda: reassigned(pixels=None).getPixel((0, 0)), te),
        ("getPixel no args", lambda: image().getPixel(), te),
        ("putPixel", lambda: image().putPixel((1, 1), (1, 2, 3)), none),
        ("putPixel wraps", lambda: image().putPixel((0, 0), (256, -1, 3.9)), none),
        ("putPixel iterator", lambda: image().putPixel((0, 0), iter([1, 2, 3])), none),
        ("putPixel bytes", lambda: image().putPixel(value=b"abc", coords=(0, 0)), none),
        ("putPixel too few", lambda: image().putPixel((0, 0), [1, 2]), ve),
        ("putPixel too many", lambda: image().putPixel((0, 0), (1, 2, 3, 4)), ve),
        ("putPixel iterator too many", lambda: image().putPixel((0, 0), iter(range(5))), ve),
        ("putPixel iterator too few", lambda: image().putPixel((0, 0), iter(range(2))), ve),
        ("putPixel bad channel", lambda: image().putPixel((0, 0), (1, None, 3)), te),
        ("putPixel out of bounds", lambda: image().putPixel((9, 9), None), ve),
        ("putPixel past buffer", lambda: reassigned(height=100).putPixel((0, 50), (1, 2, 3)), ie),
        ("putPixel no pixels", lambda: reassigned(pixels=None).putPixel((0, 0), (1, 2, 3)), te),
        ("putPixel unexpected kw", lambda: image().putPixel((0, 0), (1, 2, 3), alpha=1), te),
        ("copy", lambda: image().copy(), none),
        ("copy subclass", lambda: Finalised(1, 1, b"abc").copy(), none),
        ("copy mismatch", lambda: reassigned(width=100).copy(), ve),
        ("copy no pixels", lambda: reassigned(pixels=None).copy(), te),
        ("copy with argument", lambda: image().copy(1), te),
        ("__reduce__", lambda: image().__reduce__(), te),
        ("__setstate__", lambda: image().__setstate__(None), te),
        ("pickle", lambda: pickle.dumps(image()), te),
        # opening
        ("open png bytes", lambda: SimpleImage.open(VALID_PNG), none),
        ("open rgba png", lambda: SimpleImage.open(bytearray(VALID_PNG_RGBA)), none),
        ("open bmp bytes", lambda: SimpleImage.open(VALID_BMP), none),
        ("open bmp top-down", lambda: SimpleImage.open(bmp_bytes(1, -1, b"abc")), none),
        ("open str path", lambda: SimpleImage.open(png_path), none),
        ("open Path", lambda: SimpleImage.open(pathlib.Path(bmp_path)), none),
        ("open path claiming more than its file", lambda: SimpleImage.open(claim_path), ve),
        ("open keyword", lambda: SimpleImage.open(source=VALID_PNG), none),
        ("open on subclass", lambda: Finalised.open(VALID_PNG), none),
        ("open missing file", lambda: SimpleImage.open(missing), (FileNotFoundError,)),
        ("open directory", lambda: SimpleImage.open(directory), (IsADirectoryError, PermissionError)),
        ("open memoryview", lambda: SimpleImage.open(memoryview(VALID_PNG)), te),
        ("open None", lambda: SimpleImage.open(None), te),
        ("open empty", lambda: SimpleImage.open(b""), ve),
        ("open garbage", lambda: SimpleImage.open(b"GIF89a"), ve),
        ("open override too many", lambda: ThreeWayOverride.open(b"x"), ve),
        ("open override too few", lambda: TwoValueOverride.open(b"x"), ve),
        ("streamToImage", lambda: SimpleImage._streamToImage(io.BytesIO(VALID_PNG)), none),
        ("streamToImage on instance", lambda: image()._streamToImage(stream=io.BytesIO(VALID_BMP)), none),
        ("streamToImage failing read", lambda: SimpleImage._streamToImage(FailingStream()), (OSError,)),
        ("streamToImage text stream", lambda: SimpleImage._streamToImage(io.StringIO("abcdefgh")), te),
        ("streamToImage no read", lambda: SimpleImage._streamToImage(42), (AttributeError,)),
        # PNG decoder errors
        ("png short signature", lambda: SimpleImage.open(PNG_SIGNATURE[:7] + b"BM"), ve),
        ("png bad crc", lambda: SimpleImage.open(VALID_PNG[:29] + b"\x00" + VALID_PNG[30:]), ve),
        ("png truncated", lambda: SimpleImage.open(VALID_PNG[:40]), ve),
        ("png no header", lambda: SimpleImage.open(PNG_SIGNATURE + chunk(b"IEND", b"")), ve),
        ("png bit depth", lambda: SimpleImage.open(png(1, 1, b"\x00" + bytes(6), bit_depth=16)), ve),
        ("png palette", lambda: SimpleImage.open(png(1, 1, b"\x00\x00", color_type=3)), ve),
        ("png interlaced", lambda: SimpleImage.open(png(1, 1, b"\x00" + bytes(3), interlace=1)), ve),
        ("png short header", lambda: SimpleImage.open(PNG_SIGNATURE + chunk(b"IHDR", bytes(12))), se),
        ("png huge width", lambda: SimpleImage.open(png(2**32 - 1, 1, b"")), oe),
        ("png no idat", lambda: SimpleImage.open(PNG_SIGNATURE + ihdr(1, 1) + chunk(b"IEND", b"")), ze),
        ("png bad zlib", lambda: SimpleImage.open(png(1, 1, b"", idat=b"not zlib")), ze),
        ("png malformed length", lambda: SimpleImage.open(png(1, 1, b"\x00" + bytes(4))), ve),
        ("png bad filter", lambda: SimpleImage.open(png(1, 1, b"\x05" + bytes(3))), ve),
        ("png all filters", lambda: SimpleImage.open(png(2, 5, b"".join(bytes([f]) + bytes(range(f, f + 6)) for f in range(5)))), none),
        ("readChunk", lambda: ext._readChunk(io.BytesIO(chunk(b"tEXt", b"hello"))), none),
        ("readChunk keyword", lambda: ext._readChunk(stream=io.BytesIO(chunk(b"tEXt", b""))), none),
        ("readChunk eof", lambda: ext._readChunk(io.BytesIO(b"\x00\x00")), ve),
        ("readChunk bad crc", lambda: ext._readChunk(io.BytesIO(chunk(b"tEXt", b"x")[:-1] + b"\x00")), ve),
        ("readChunk None", lambda: ext._readChunk(None), (AttributeError,)),
        ("readChunk no args", lambda: ext._readChunk(), te),
        ("makeChunk", lambda: ext._makeChunk(b"tEXt", b"data"), none),
        ("makeChunk str type", lambda: ext._makeChunk("tEXt", b""), te),
        ("makeChunk bytearray", lambda: ext._makeChunk(b"tEXt", bytearray()), te),
        ("makeChunk subclass", lambda: ext._makeChunk(BytesSubclass(b"tEXt"), b""), te),
        ("makeChunk keyword", lambda: ext._makeChunk(data=b"", chunkType=b"IEND"), none),
        ("makeChunk unexpected kw", lambda: ext._makeChunk(b"IEND", b"", crc=1), te),
        # BMP decoder errors
        ("bmp short header", lambda: SimpleImage.open(b"BM" + bytes(5)), ve),
        ("bmp short dib", lambda: SimpleImage.open(VALID_BMP[:16]), ve),
        ("bmp core header", lambda: SimpleImage.open(bmp_headers(1, 1, header_size=12) + b"abc\x00"), ve),
        ("bmp short info", lambda: SimpleImage.open(VALID_BMP[:30]), se),
        ("bmp planes", lambda: SimpleImage.open(bmp_headers(1, 1, planes=2) + b"abc\x00"), ve),
        ("bmp 8 bit", lambda: SimpleImage.open(bmp_headers(1, 1, bpp=8) + b"abc\x00"), ve),
        ("bmp compressed", lambda: SimpleImage.open(bmp_headers(1, 1, compression=1) + b"abc\x00"), ve),
        ("bmp negative width", lambda: SimpleImage.open(bmp_headers(-1, 1) + b"abc\x00"), ve),
        ("bmp incomplete pixels", lambda: SimpleImage.open(bmp_bytes(2, 2, bytes(12))[:-3]), ve),
        ("bmp rows as bytearray", lambda: SimpleImage._streamToImage(rows_as(bytearray)), te),
        ("bmp rows as None", lambda: SimpleImage._streamToImage(rows_as(lambda data: None)), te),
        ("bmp rows as bytes subclass", lambda: SimpleImage._streamToImage(rows_as(BytesSubclass)), te),
        ("detection through list stream", lambda: SimpleImage._streamToImage(RecordingStream(
            VALID_PNG, convert=lambda number, data: bytearray(data) if number <= SIGNATURE_READS else data)), none),
        # saving
        ("save", lambda: image().save(out_png), none),
        ("save keyword", lambda: image().save(path=out_png), none),
        ("saveBmp", lambda: image().saveBmp(out_bmp), none),
        ("save None", lambda: image().save(None), te),
        ("save bytes path", lambda: image().saveBmp(out_bmp.encode()), te),
        ("save str subclass", lambda: image().save(StrSubclass(out_png)), te),
        ("save no args", lambda: image().save(), te),
        ("save directory", lambda: image().save(directory), (IsADirectoryError, PermissionError)),
        ("saveBmp directory", lambda: image().saveBmp(directory), (IsADirectoryError, PermissionError)),
        ("save negative height", lambda: reassigned(height=-1).save(out_png), se),
        ("saveBmp negative height", lambda: reassigned(height=-1).saveBmp(out_bmp), se),
        ("save no pixels", lambda: reassigned(pixels=None).save(out_png), te),
        ("saveBmp no pixels", lambda: reassigned(pixels=None).saveBmp(out_bmp), te),
        # A short buffer is either written with short rows or refused up front.
        ("save short pixels", lambda: reassigned(pixels=bytearray(5)).save(out_png), (ValueError, type(None))),
        ("saveBmp enlarged", lambda: reassigned(width=3).saveBmp(out_bmp), ie),
        ("writePng", lambda: ext._writePng(out_png, 1, 1, b"abc"), none),
        ("writePng list pixels", lambda: ext._writePng(out_png, 1, 1, [1, 2, 3]), none),
        ("writePng bad pixels", lambda: ext._writePng(out_png, 1, 1, [1, 2, 300]), ve),
        ("writePng str width", lambda: ext._writePng(out_png, "1", 1, b"abc"), te),
        ("writePng missing", lambda: ext._writePng(out_png, 1, 1), te),
        ("writeBmp", lambda: ext._writeBmp(pathlib.Path(out_bmp), 1, 1, bytearray(b"abc")), none),
        ("writeBmp overflow", lambda: ext._writeBmp(out_bmp, 2**31, 1, b""), oe),
        ("writeBmp None pixels", lambda: ext._writeBmp(out_bmp, 1, 1, None), te),
        ("save_png", lambda: Quorvel.save_png(image(), out_png, optimize=True), none),
        ("encode_png level 0", lambda: Quorvel.encode_png(image(), compress_level=0), none),
        ("encode sample and finalists",
         lambda: _png_writer.encode(bytes(48 * 3), 4, 12, [candidate, cheap], [(2, 4), (8, 9)], 2, 1, 1, rgb),
         none),
        ("encode on threads",
         lambda: _png_writer.encode(bytes(48 * 3), 4, 12, [candidate, cheap], [(2, 4)], 1, 3, 2, rgb),
         none),
        ("encode bad weights",
         lambda: _png_writer.encode(b"abc", 1, 1, [Candidate((8, 8, 8), 6, zlib.Z_FILTERED)], [], 1, 1, 1, rgb), ve),
        ("encode bad strip", lambda: _png_writer.encode(b"abc", 1, 1, [candidate], [(0, 2)], 1, 1, 1, rgb), ve),
        ("encode short pixels", lambda: _png_writer.encode(b"ab", 1, 1, [candidate], [], 1, 1, 1, rgb), ve),
        ("encode no buffer", lambda: _png_writer.encode("abc", 1, 1, [candidate], [], 1, 1, 1, rgb), te),
        ("encode bad zlib level",
         lambda: _png_writer.encode(b"abc", 1, 1, [Candidate(0, 10, zlib.Z_FILTERED)], [], 1, 1, 1, rgb), ve),
        ("encode too many threads", lambda: _png_writer.encode(b"abc", 1, 1, [candidate], [], 1, 1, 17, rgb), ve),
        ("encode palette", lambda: _png_writer.encode(b"\x40", 2, 1, [candidate], [], 1, 1, 1, (3, 2, bytes(6))), none),
        ("encode palette index past the end",
         lambda: _png_writer.encode(b"\xc0", 2, 1, [candidate], [], 1, 1, 1, (3, 2, bytes(6))), ve),
        ("reduce", lambda: _png_writer.reduce(bytes(48 * 3), 4, 12), none),
        ("encode_png auto", lambda: Quorvel.encode_png(image(), colour_type="auto", optimize=True), none),
        # the reader: its pixels, refusals, the zlib error it wraps and the
        # PNG inside a BMP
        ("load PNG path", lambda: Quorvel.load(png_path), none),
        ("load BMP", lambda: Quorvel.load(VALID_BMP), none),
        ("load interlaced palette",
         lambda: Quorvel.load(PNG_SIGNATURE + ihdr(5, 3, 2, 3, interlace=1) + chunk(b"PLTE", bytes(6)) +
                              chunk(b"IDAT", zlib.compress(bytes(15))) + chunk(b"IEND", b"")), none),
        ("load bad zlib", lambda: Quorvel.load(png(2, 2, b"", idat=b"\x78\x9c\xff\xff")), ve),
        ("load short data", lambda: Quorvel.load(png(2, 2, bytes(7))), ve),
        ("load max_pixels", lambda: Quorvel.load(VALID_PNG, max_pixels=3), ve),
        ("decode no buffer", lambda: _reader.decode("abc", None), te),
        ("probe", lambda: Quorvel.probe(bmp_path), none),
        ("probe unreadable", lambda: Quorvel.probe(png(2, 2, b"", bit_depth=3)), none),
        ("probe BMP holding a broken PNG",
         lambda: Quorvel.probe(bmp_headers(2, 2, compression=5, bpp=0) + PNG_SIGNATURE), none),
        ("probe not an image", lambda: Quorvel.probe(b"GIF89a"), ve),
    ]
    return cases


def run_case(call: Callable[[], object], allowed: tuple[type[BaseException], ...], repeat: int) -> str | None:
    """Runs the call `repeat` times; returns a description of any unexpected outcome."""
    for _ in range(repeat):
        try:
            call()
        except BaseException as error:  # noqa: BLE001 - every outcome is compared with the expected one
            if not allowed or not isinstance(error, allowed):
                return f"raised {type(error).__name__}: {error}"
            del error
        else:
            if allowed and type(None) not in allowed:
                return f"returned instead of raising {' or '.join(e.__name__ for e in allowed)}"
    return None


def measure(call: Callable[[], object], allowed: tuple[type[BaseException], ...], repeat: int,
            warmups: int, runs: int) -> tuple[list[int], list[int], str | None]:
    ref_deltas: list[int] = []
    block_deltas: list[int] = []
    for index in range(warmups + runs):
        gc.collect()
        sys._clear_type_cache()
        refs_before = sys.gettotalrefcount()
        blocks_before = sys.getallocatedblocks()
        problem = run_case(call, allowed, repeat)
        if problem:
            return ref_deltas, block_deltas, problem
        gc.collect()
        sys._clear_type_cache()
        refs_after = sys.gettotalrefcount()
        blocks_after = sys.getallocatedblocks()
        if index >= warmups:
            # The locals of this frame account for a constant offset, the same
            # in every run, so it cancels in the deltas.
            ref_deltas.append(refs_after - refs_before)
            block_deltas.append(blocks_after - blocks_before)
    return ref_deltas, block_deltas, None


def leaks(deltas: list[int]) -> bool:
    """Growth in every measured run is a leak; a single blip is cache noise."""
    return all(delta > 0 for delta in deltas)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer and shorter runs (CI)")
    parser.add_argument("-k", dest="selection", default="", help="only cases whose name contains this")
    parser.add_argument("-v", "--verbose", action="store_true", help="print the deltas of every case")
    args = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        print("needs a debug build of the interpreter (python3.11-dbg)", file=sys.stderr)
        return 2
    repeat, warmups, runs = (4, 2, 3) if args.quick else (10, 3, 6)
    warnings.simplefilter("ignore")
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        cases = [case for case in build_cases(pathlib.Path(tmp)) if args.selection in case[0]]
        for name, call, allowed in cases:
            ref_deltas, block_deltas, problem = measure(call, allowed, repeat, warmups, runs)
            if problem:
                failures += 1
                print(f"FAIL {name}: {problem}")
            elif leaks(ref_deltas) or leaks(block_deltas):
                failures += 1
                print(f"LEAK {name}: references {ref_deltas}, blocks {block_deltas}")
            elif args.verbose:
                print(f"ok   {name}: references {ref_deltas}, blocks {block_deltas}")
    print(f"{len(cases) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
