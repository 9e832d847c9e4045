"""Quorvel.load and Quorvel.probe over the shared corpus, one case per file,
against readers written by others: pypng's samples for PNG (reduced to 8-bit
RGB by the rules load follows) and Pillow for BMP; probe against the header
fields of the corpus's manifest; and `quorvel convert` of the whole corpus."""
import re

import pytest

from builders import corpus_manifest, pillow_rgb, pypng_rgb, run_quorvel as quorvel
from Quorvel import ImageReadError, SimpleImage, load, probe

pytestmark = pytest.mark.corpus

ROWS = corpus_manifest()
# Damaged on purpose: PngSuite's x*.png, libpng's crashers and the BMP
# suite's bad files and its one BMP-like file that is not a BMP.
CORRUPT = re.compile(r"pngsuite/png/x|pngsuite/libpng/testpngs/crashers/|bmpsuite/[bx]/")
# A damaged file whose damage lies only in ancillary chunks, which are
# skipped: read as pypng reads it without them.
READ_DESPITE_DAMAGE = {"pngsuite/libpng/testpngs/crashers/empty_ancillary_chunks.png"}
PNG_FILES = [row["path"] for row in ROWS if row["path"].startswith(("pngsuite/png/", "pngsuite/libpng/"))
             and row["path"].endswith(".png")]
# Good files are read as Pillow reads them; the others that are not damaged
# (questionable, bmp-extra) as Pillow reads them, or refused.
GOOD_BMP = ("bmpsuite/g/", "pngsuite/bmp/")
BMP_FILES = [row["path"] for row in ROWS if row["path"].startswith(("bmpsuite/", "bmp-extra/", "pngsuite/bmp/"))
             and row["path"].endswith(".bmp")]
# Good files Pillow cannot read, with the rendering the suite's own page
# shows for each.
REFERENCES = {"bmpsuite/g/rgb32bf.bmp": "bmpsuite/html/rgb24.png"}
PROBED_FILES = [row for row in ROWS if row["format"] != "other" or row["path"].endswith((".png", ".bmp"))]

# Files Pillow decodes that convert refuses, all damaged on purpose, with
# what is wrong in each.
_BAD_BMP = {
    ("badrle", "badrlebis", "badrleter", "badrle4", "badrle4bis", "badrle4ter"):
        "RLE runs or deltas past the row's end, made to overrun buffers",
    ("baddens1", "baddens2"): "pixels per metre across and down ten million times apart",
    ("badbitssize",): "an image-size field far past the end of the file",
    ("badfilesize",): "a file-size field far past the end of the file",
    ("badplanes",): "30000 colour planes, not 1",
    ("pal8badindex",): "palette indices past the palette's end",
    ("rletopdown",): "RLE rows stored top-down, which RLE does not allow",
}
NOT_CONVERTED = {
    "pngsuite/png/xcsn0g01.png": "the IDAT chunk's CRC does not match; Pillow does not check it",
    "pngsuite/libpng/testpngs/crashers/badcrc.png": "the IDAT chunk's CRC does not match; Pillow does not check it",
    "pngsuite/libpng/testpngs/crashers/huge_IDAT.png": "an IDAT chunk claims 1 GiB in a file of 79 bytes",
    **{f"bmpsuite/b/{name}.bmp": reason for names, reason in _BAD_BMP.items() for name in names},
}


def by_file(paths: list) -> list:
    """Cases named by path; without the corpus one case, which the `corpus`
    fixture skips."""
    return paths or [None]


def read_by(oracle, path):
    """What another library reads in the file, or None where it refuses it."""
    try:
        return oracle(path)
    except ImportError:
        raise
    except Exception:
        return None


def rle4(path) -> bool:
    """Whether the BMP at `path` is RLE4 compressed (its compression field)."""
    return int.from_bytes(path.read_bytes()[30:34], "little") == 2


def pillow_major() -> int:
    import PIL

    return int(PIL.__version__.split(".")[0])


def critical_chunks(png: bytes) -> bytes:
    """The PNG without its ancillary chunks (those whose type starts with a
    lower-case letter)."""
    kept, position = [png[:8]], 8
    while position < len(png):
        end = position + 12 + int.from_bytes(png[position:position + 4], "big")
        if not png[position + 4] & 0x20:
            kept.append(png[position:end])
        position = end
    return b"".join(kept)


def loaded(path) -> tuple[tuple[int, int], bytes]:
    image = load(path)
    assert type(image) is SimpleImage
    return image.size, bytes(image._pixels)


@pytest.mark.parametrize("name", by_file(PNG_FILES))
def test_png_equals_pypng_reduced_to_rgb(corpus, name):
    pytest.importorskip("numpy")
    path = corpus / name
    expected = read_by(pypng_rgb, path)
    if name in READ_DESPITE_DAMAGE:
        assert loaded(path) == pypng_rgb(critical_chunks(path.read_bytes()))
    elif expected is None or CORRUPT.match(name):
        with pytest.raises(ImageReadError):
            load(path)
    else:
        assert loaded(path) == expected


@pytest.mark.parametrize("name", by_file(BMP_FILES))
def test_bmp_equals_pillow(corpus, name):
    path = corpus / name
    if rle4(path) and pillow_major() < 13:
        pytest.skip("Pillow before 13 reads RLE4 otherwise; the oracle is Pillow 13 or later")
    expected = read_by(pillow_rgb, corpus / REFERENCES.get(name, name))
    if CORRUPT.match(name):
        with pytest.raises(ImageReadError):
            load(path)
    elif name.startswith(GOOD_BMP):
        assert loaded(path) == expected
    else:
        try:
            image = loaded(path)
        except ImageReadError:
            return
        assert expected is None or image == expected


@pytest.mark.parametrize("row", by_file(PROBED_FILES), ids=lambda row: row and row["path"])
def test_probe_agrees_with_the_manifest(corpus, row):
    path = corpus / row["path"]
    if row["format"] == "other":
        with pytest.raises(ImageReadError):
            probe(path)
        return
    try:
        info = probe(path)
    except ImageReadError:
        assert CORRUPT.match(row["path"]), row["path"]
        return
    if row["format"] == "png":
        chunks = row["png_other_chunks"].split(",")
        assert (info.format, info.width, info.height, info.bit_depth, info.colour_type, info.interlaced) == (
            "PNG", int(row["png_width"]), int(row["png_height"]), int(row["png_bit_depth"]),
            int(row["png_color_type"]), row["png_interlace"] == "1")
        assert (info.palette_size > 0) is ("PLTE" in chunks)
        assert info.has_alpha is (info.colour_type in (4, 6) or "tRNS" in chunks)
        assert info.header_size is info.bit_count is info.compression is info.top_down is None
    else:
        stored_height = int(row["bmp_height"])
        assert (info.format, info.width, info.height, info.header_size, info.bit_count, info.compression,
                info.top_down) == (
            "BMP", int(row["bmp_width"]), abs(stored_height), int(row["bmp_info_header_size"]),
            int(row["bmp_bit_count"]), int(row["bmp_compression"] or 0), stored_height < 0)
        assert info.colour_type is info.bit_depth is info.interlaced is info.palette_size is None
    # probe judges opening and reading over the whole file: damage past the
    # headers can make either fail.
    fits_open = row["core_layout"] == "yes"
    assert info.opens is (info.open_refusal is None) and info.readable is (info.reason is None)
    assert info.opens is fits_open or (CORRUPT.match(row["path"]) and not info.opens)


@pytest.mark.slow
def test_convert_reads_every_file_pillow_decodes(corpus, tmp_path):
    result = quorvel("convert", ".", "--to", "bmp", "-o", tmp_path, "-j", 2, "--no-progress", cwd=corpus,
                     timeout=900)
    failed = {line.split(": ")[1].removeprefix("./") for line in result.stderr.splitlines()
              if line.startswith("error: ")}
    decoded_by_pillow = {row["path"] for row in ROWS if row["format"] != "other" and not row["pil_error"]}
    assert failed & decoded_by_pillow == set(NOT_CONVERTED), result.stderr
