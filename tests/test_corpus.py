"""One case per file of the shared corpus of PNG and BMP files written by
others: files in the supported layout decode to exactly Pillow's RGB bytes,
every other file fails with one of the documented errors. The known
crashers of the suites are opened in test_hostile.py, at a bounded cost."""
import csv
import hashlib

import pytest
from PIL import Image

from builders import CORPUS_MISSING, OPEN_ERRORS, corpus_dir, documented_open_error
from Quorvel import tessarin_ext as m
from Quorvel.tessarin_ext import SimpleImage

pytestmark = pytest.mark.corpus

SUITE_FOLDERS = ("pngsuite/png/", "pngsuite/libpng/", "bmpsuite/g/", "bmpsuite/q/", "bmpsuite/b/",
                 "bmpsuite/x/", "bmp-extra/")
CRASHERS = "pngsuite/libpng/testpngs/crashers/"
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
        and not row["path"].startswith(CRASHERS)
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


def cases(rows: list[dict]) -> list:
    """One case per row; without the corpus, one case skipped with the reason."""
    if rows:
        return [pytest.param(row, id=row["path"]) for row in rows]
    return [pytest.param(None, id="no-corpus", marks=pytest.mark.skip(reason=CORPUS_MISSING))]


@pytest.mark.parametrize("row", cases(ROWS))
def test_corpus_file(corpus, row):
    path = corpus / row["path"]
    try:
        width, height, pixels = decode_file(path)
    except OPEN_ERRORS as error:
        assert documented_open_error(error), f"{row['path']}: {error!r}"
        assert not must_decode(row), f"{row['path']}: {error!r}"
        if row["format"] == "other":
            assert error.args == ("Unsupported image format",)
        return
    assert row["core_layout"] == "yes", f"{row['path']} decoded although outside the supported layout"
    assert type(pixels) is bytearray
    assert f"{width}x{height}" == row["pil_size"]
    assert hashlib.sha256(pixels).hexdigest() == row["pil_rgb_sha256"]


@pytest.mark.parametrize("row", cases(CORE_ROWS))
def test_rewritten_files_read_back_in_pillow(corpus, tmp_path, row):
    width, height, pixels = decode_file(corpus / row["path"])
    for writer, name in ((m._writePng, "again.png"), (m._writeBmp, "again.bmp")):
        target = tmp_path / name
        writer(str(target), width, height, pixels)
        with Image.open(target) as image:
            assert image.size == (width, height)
            assert image.convert("RGB").tobytes() == pixels
