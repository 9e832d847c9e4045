"""One case per file of the shared corpus of PNG and BMP files written by
others: files in the supported layout decode to exactly Pillow's RGB bytes,
every other file fails with one of the documented exception types."""
import csv
import hashlib
import struct
import zlib

import pytest
from PIL import Image

from Quorvel import tessarin_ext as m
from Quorvel.tessarin_ext import SimpleImage
from tests.conftest import corpus_dir

DOCUMENTED_FAILURES = (ValueError, struct.error, zlib.error, OverflowError, TypeError, MemoryError)
SUITE_FOLDERS = ("pngsuite/png/", "pngsuite/libpng/", "bmpsuite/g/", "bmpsuite/q/", "bmpsuite/b/",
                 "bmpsuite/x/", "bmp-extra/")
# A few of the large photographs: the suites above already cover the layout.
PHOTOS = ("photos/kodim01.png", "photos/kodim03.png", "photos/kodim20.png",
          "photos/large/kodak-pcd-img0024.png", "misc/Transparency.png")
# Damage that a decoder which checks every CRC and the whole zlib stream must refuse.
DAMAGE_NOTES = ("crc-mismatch", "truncated-in", "zlib-error", "decompressed-len", "filter-byte>4",
                "pixel-data-short", "no-IDAT", "no-IHDR", "IHDR-len")


def manifest_rows() -> list[dict]:
    found = corpus_dir()
    if found is None:
        return []
    with open(found / "manifest.tsv", newline="") as table:
        rows = list(csv.DictReader(table, delimiter="\t"))
    return [
        row for row in rows
        if (row["path"].startswith(SUITE_FOLDERS) or row["path"] in PHOTOS)
        and row["path"].lower().endswith((".png", ".bmp"))
    ]


def damaged(row: dict) -> bool:
    notes = row["png_notes"] + ";" + row["bmp_notes"]
    if any(note in notes for note in DAMAGE_NOTES):
        return True
    if row["format"] == "bmp" and row["core_layout"] == "yes":
        width, height = int(row["bmp_width"]), abs(int(row["bmp_height"]))
        needed = int(row["bmp_pixel_data_offset"]) + (width * 3 + 3) // 4 * 4 * height
        return int(row["file_bytes"]) < needed
    return False


def must_decode(row: dict) -> bool:
    return row["core_layout"] == "yes" and not damaged(row)


ROWS = manifest_rows()
CORE_ROWS = [row for row in ROWS if must_decode(row) and not row["path"].startswith(("photos/", "misc/"))]


def decode_file(path):
    with open(path, "rb") as stream:
        return SimpleImage._streamToImage(stream)


@pytest.mark.parametrize("row", ROWS, ids=[row["path"] for row in ROWS])
def test_corpus_file(corpus, row):
    path = corpus / row["path"]
    try:
        width, height, pixels = decode_file(path)
    except DOCUMENTED_FAILURES as error:
        assert not must_decode(row), f"{row['path']}: {error!r}"
        if row["format"] == "other":
            assert error.args == ("Unsupported image format",)
        return
    assert row["core_layout"] == "yes", f"{row['path']} decoded although outside the supported layout"
    assert type(pixels) is bytearray
    assert f"{width}x{height}" == row["pil_size"]
    assert hashlib.sha256(pixels).hexdigest() == row["pil_rgb_sha256"]


def test_crashers_are_present_and_fail_cleanly(corpus):
    crashers = sorted((corpus / "pngsuite/libpng/testpngs/crashers").glob("*.png"))
    assert crashers
    for path in crashers:
        if path.name == "huge_IDAT.png":
            # A valid header with an IDAT that declares 1 GiB and ends: the chunk is cut short.
            with pytest.raises(ValueError, match="^Unexpected EOF while reading chunk data$"):
                decode_file(path)
            continue
        with pytest.raises(DOCUMENTED_FAILURES):
            decode_file(path)


def test_open_matches_pillow_for_paths_and_bytes(corpus):
    for name in ("pngsuite/png/basn2c08.png", "bmpsuite/g/rgb24.bmp"):
        path = corpus / name
        with Image.open(path) as peer:
            expected = peer.convert("RGB").tobytes()
        assert SimpleImage.open(str(path))._pixels == bytearray(expected)
        assert SimpleImage.open(path.read_bytes())._pixels == bytearray(expected)


@pytest.mark.parametrize("row", CORE_ROWS, ids=[row["path"] for row in CORE_ROWS])
def test_rewritten_files_read_back_in_pillow(corpus, tmp_path, row):
    width, height, pixels = decode_file(corpus / row["path"])
    for writer, name in ((m._writePng, "again.png"), (m._writeBmp, "again.bmp")):
        target = tmp_path / name
        writer(str(target), width, height, pixels)
        with Image.open(target) as image:
            assert image.size == (width, height)
            assert image.convert("RGB").tobytes() == pixels
