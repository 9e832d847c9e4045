"""The command line, run as `python -m Quorvel` in a child process: `info`,
single conversions and misuse."""
import json
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import sysconfig
import textwrap
import zlib

import pytest

import Quorvel
from builders import (RGBA, bmp_bytes, bmp_headers, chunk, pillow_rgb, png, png_bytes, row_stride,
                      run_quorvel as quorvel)
from Quorvel import SimpleImage

WIDTH, HEIGHT = 6, 4
PIXELS = bytes((11 * i + 5) % 256 for i in range(WIDTH * HEIGHT * 3))
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


@pytest.fixture
def images(tmp_path: pathlib.Path) -> dict[str, pathlib.Path]:
    # Extensions deliberately misleading: the format is recognised by content.
    files = {
        "png": (tmp_path / "picture.bmp", png_bytes(WIDTH, HEIGHT, PIXELS)),
        "bmp": (tmp_path / "picture.data", bmp_bytes(WIDTH, HEIGHT, PIXELS)),
        "text": (tmp_path / "notes.png", b"hello, not an image\n"),
        "damaged": (tmp_path / "damaged.png", png(WIDTH, HEIGHT, bytes(10))),
        "truncated": (tmp_path / "truncated.png", png_bytes(WIDTH, HEIGHT, PIXELS)[:-30]),
        "bmp-jpeg": (tmp_path / "photo.bmp", bmp_headers(2, 2, bpp=0, compression=4) + bytes(16)),
        "rgba": (tmp_path / "alpha.png", png(WIDTH, HEIGHT, bytes((WIDTH * 4 + 1) * HEIGHT), color_type=RGBA)),
    }
    for path, data in files.values():
        path.write_bytes(data)
    return {name: path for name, (path, _) in files.items()}


def test_info_on_good_files(images):
    result = quorvel("info", images["png"], images["bmp"])
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f"{images['png']}: PNG, {WIDTH}x{HEIGHT}, 8-bit RGB, not interlaced; supported format; "
        "SimpleImage.open opens it",
        f"{images['bmp']}: BMP, {WIDTH}x{HEIGHT}, 40-byte header (BITMAPINFOHEADER), 24 bits per pixel, "
        "uncompressed, bottom-up; supported format; SimpleImage.open opens it",
    ]
    assert result.stderr == ""


CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}
ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))


def png_with(width=WIDTH, height=HEIGHT, *, before=b"", idat=None, bit_depth=8, color_type=2, interlace=0,
             **header) -> bytes:
    """A PNG with these IHDR fields, `before` ahead of IHDR, a grey PLTE for
    colour type 3 and, unless given, an IDAT of zero rows of the right length
    (in Adam7's passes when interlaced)."""
    def rows_length(x, y, step_x, step_y):
        columns, rows = max(0, -(-(width - x) // step_x)), max(0, -(-(height - y) // step_y))
        return rows * (1 + (columns * CHANNELS.get(color_type, 3) * bit_depth + 7) // 8) if columns else 0

    if idat is None:
        idat = zlib.compress(bytes(sum(rows_length(*grid) for grid in (ADAM7 if interlace else [(0, 0, 1, 1)]))))
    data = png(width, height, b"", idat=idat, bit_depth=bit_depth, color_type=color_type, interlace=interlace,
               **header)
    palette = chunk(b"PLTE", bytes(value for value in range(256) for _ in range(3))) if color_type == 3 else b""
    return data[:8] + before + data[8:33] + palette + data[33:]


def bmp_with(width=WIDTH, height=HEIGHT, *, rows=True, bpp=24, **headers) -> bytes:
    """A BMP with these header fields and, unless `rows` is false, zero rows
    of the right length for `bpp` bits per pixel."""
    row_length = max(0, (width * bpp + 31) // 32 * 4)
    return bmp_headers(width, height, bpp=bpp, **headers) + (bytes(row_length * abs(height)) if rows else b"")


RLE8_ROWS = b"".join(bytes([WIDTH, 7]) + b"\0\0" for _ in range(HEIGHT)) + b"\0\1"
OPENS = "; SimpleImage.open opens it"
OPENS_ONLY_INFOHEADER = "Only BITMAPINFOHEADER BMP files are supported"
OPENS_ONLY_24_BIT = "Only uncompressed 24-bit BMP files are supported"
OPENS_ONLY_RGB = "Only RGB/RGBA PNG images are supported"

# name: (file bytes, words in the description, words in the reason load
# cannot read it or None when it reads it, the message SimpleImage.open
# refuses it with or None when it opens it)
HEADER_CASES = {
    "png-rgb": (png_with(), "8-bit RGB, not interlaced", None, None),
    "png-rgba": (png_with(color_type=RGBA), "8-bit RGBA, not interlaced", None, None),
    "png-16bit": (png_with(bit_depth=16), "16-bit RGB", None, "Only 8-bit PNG images are supported"),
    "png-palette": (png_with(color_type=3), "8-bit palette (256 entries)", None, OPENS_ONLY_RGB),
    "png-grey-alpha": (png_with(color_type=4), "8-bit greyscale with alpha", None, OPENS_ONLY_RGB),
    "png-interlaced": (png_with(interlace=1), "8-bit RGB, Adam7 interlaced", None,
                       "Unsupported PNG configuration (compression/filter/interlace)"),
    "png-filter-method": (png_with(filter_method=1), "8-bit RGB", "filter method 1",
                          "Unsupported PNG configuration (compression/filter/interlace)"),
    "png-too-wide": (png_with(width=2**31, height=1, idat=b""), "8-bit RGB", f"width {2**31}",
                     "signed integer is greater than maximum"),
    "bmp-top-down": (bmp_with(height=-HEIGHT), "24 bits per pixel, uncompressed, top-down", None, None),
    "bmp-v5": (bmp_headers(WIDTH, HEIGHT, header_size=124, offset=138) + bytes(84 + row_stride(WIDTH) * HEIGHT),
               "124-byte header (BITMAPV5HEADER)", None, OPENS_ONLY_INFOHEADER),
    "bmp-core": (b"BM" + struct.pack("<IHHIIHHHH", 26, 0, 0, 26, 12, WIDTH, HEIGHT, 1, 24)
                 + bytes(row_stride(WIDTH) * HEIGHT), "12-byte header (BITMAPCOREHEADER)", None,
                 OPENS_ONLY_INFOHEADER),
    "bmp-32bit": (bmp_with(bpp=32), "32 bits per pixel", None, OPENS_ONLY_24_BIT),
    "bmp-rle8": (bmp_with(bpp=8, compression=1, offset=54 + 1024, image_size=len(RLE8_ROWS), rows=False)
                 + bytes(1024) + RLE8_ROWS,
                 "8 bits per pixel, RLE8", None, OPENS_ONLY_24_BIT),
    "bmp-jpeg": (bmp_with(bpp=0, compression=4, rows=False) + bytes(100), "0 bits per pixel, JPEG", "JPEG",
                 OPENS_ONLY_24_BIT),
    "bmp-bitfields": (bmp_with(bpp=16, compression=3, offset=66, file_size=66 + 12 * HEIGHT, image_size=12 * HEIGHT,
                               rows=False) + struct.pack("<III", 0xF800, 0x7E0, 0x1F) + bytes(12 * HEIGHT),
                      "16 bits per pixel, bit fields", None, OPENS_ONLY_24_BIT),
    "bmp-no-planes": (bmp_with(planes=0), "24 bits per pixel", "planes 0", OPENS_ONLY_24_BIT),
    "bmp-negative-width": (bmp_with(width=-2), "24 bits per pixel", "width -2", "negative count"),
}


def test_info_describes_headers_and_foretells_what_load_and_open_do(tmp_path):
    paths = {}
    for name, (data, *_) in HEADER_CASES.items():
        paths[name] = tmp_path / name
        paths[name].write_bytes(data)
    result = quorvel("info", "--check", "--json", "--max-pixels", 0, *paths.values())
    records = {pathlib.Path(record["path"]).name: record for record in map(json.loads, result.stdout.splitlines())}
    assert list(records) == list(HEADER_CASES), result.stderr
    for name, (_, description, refusal, open_refusal) in HEADER_CASES.items():
        record = records[name]
        assert description in record["description"], name
        assert record["supported"] is record["readable"] is (refusal is None) is record["check"]["decoded"], name
        assert (refusal is None and record["unsupported_reason"] is None) or refusal in record["unsupported_reason"], \
            name
        assert (record["opens"], record["open_refusal"]) == (open_refusal is None, open_refusal), name
        assert (refusal is None and record["check"]["error"] is None) \
            or record["check"]["error"].startswith("ImageReadError: "), name
        assert record["has_alpha"] is (name in ("png-rgba", "png-grey-alpha"))
    assert result.returncode == 1 and result.stderr == ""
    # Without --check only an unreadable file makes the status 1.
    assert quorvel("info", *paths.values()).returncode == 0


@pytest.mark.parametrize("data, words", [
    (b"", "the file is empty"),
    (b"hello, not an image\n", "not a PNG or BMP file"),
    (PNG_SIGNATURE[:7] + b"BM", "PNG signature is damaged"),
    (PNG_SIGNATURE + chunk(b"IHDR", struct.pack(">IIBBBBB", 6, 4, 8, 2, 0, 0, 0))[:-6], "the file ends inside it"),
    (PNG_SIGNATURE + chunk(b"IHDR", struct.pack(">IIBBBBB", 6, 4, 8, 2, 0, 0, 0))[:-1], "24 of its 25 bytes"),
    (PNG_SIGNATURE + b"\x00\x00\x00", "chunk header at offset 8"),
    (PNG_SIGNATURE + chunk(b"IHDR", struct.pack(">IIBBBBB", 6, 4, 8, 2, 0, 0, 0)).replace(b"\x06", b"\x07", 1),
     "'IHDR' at offset 8: CRC mismatch"),
    (PNG_SIGNATURE + chunk(b"IHDR", bytes(12)), "length 12, not 13"),
    (PNG_SIGNATURE + chunk(b"IEND", b""), "the first chunk must be IHDR"),
    (PNG_SIGNATURE + struct.pack(">I", 2**32 - 1) + b"tEXt" + bytes(100), "'tEXt' at offset 8: length 4294967295"),
    (bmp_with()[:13], "the file ends at byte 13"),
    (bmp_with()[:14], "the file ends at byte 14"),
    (bmp_with()[:40], "the file ends at byte 40"),
    (bmp_with()[:14] + struct.pack("<I", 8) + bytes(40), "header size 8"),
], ids=lambda value: value if isinstance(value, str) else "")
def test_info_reports_unreadable_headers_and_open_refuses_them_too(tmp_path, data, words):
    path = tmp_path / "file"
    path.write_bytes(data)
    result = quorvel("info", path)
    with pytest.raises(Quorvel.ImageReadError) as probed:
        Quorvel.probe(data)
    assert words in str(probed.value)
    assert (result.returncode, result.stdout, result.stderr) == (1, "", f"error: {path}: {probed.value}\n")
    # A header that cannot be read is one the decoder cannot read either.
    with pytest.raises(Exception):
        SimpleImage.open(data)


def test_a_chunk_before_ihdr_is_refused_though_open_takes_it(tmp_path):
    path = tmp_path / "text-first.png"
    path.write_bytes(png_with(before=chunk(b"tEXt", b"Title\x00x")))
    result = quorvel("convert", path, tmp_path / "out.bmp")
    assert (result.returncode, result.stderr) == (
        1, f"error: {path}: PNG chunk 'tEXt' at offset 8: the first chunk must be IHDR\n")
    assert SimpleImage.open(str(path)).size == (WIDTH, HEIGHT)


def test_info_reports_each_bad_file_in_one_line_and_goes_on(tmp_path, images):
    missing = tmp_path / "missing.png"
    result = quorvel("info", images["text"], images["png"], missing, images["bmp-jpeg"])
    assert result.returncode == 1
    lines = result.stdout.splitlines()
    assert [line.split(":")[0] for line in lines] == [str(images["png"]), str(images["bmp-jpeg"])]
    assert lines[1].endswith(f"; SimpleImage.open refuses it ({OPENS_ONLY_24_BIT})")
    assert "Traceback" not in result.stderr
    assert result.stderr.splitlines() == [
        f"error: {images['text']}: not a PNG or BMP file",
        f"error: {missing}: cannot read: No such file or directory",
    ]


def test_info_check_decodes_the_whole_file(images):
    result = quorvel("info", "--check", images["png"], images["damaged"])
    assert result.returncode == 1
    good, damaged = result.stdout.splitlines()
    assert good.startswith(f"{images['png']}: PNG") and good.endswith(" ms)") and f"{OPENS}; decodes (" in good
    # The header is sound; only decoding finds the missing end.
    assert damaged.startswith(f"{images['damaged']}: PNG") and "; supported format; " in damaged \
        and "; does not decode: " in damaged
    assert quorvel("info", "--check", images["png"]).returncode == 0


TO_BMP3 = "re-save it as 24-bit BMP if another program reads it (ImageMagick: convert IN -type TrueColor BMP3:OUT.bmp)"


@pytest.mark.parametrize("kind, options, verdict", [
    ("png", [], "supported format" + OPENS),
    ("png", ["--check"], rf"supported format{OPENS}; decodes \(\d+\.\d ms\)"),
    # The header is sound, the data cut short: two facts, not a contradiction.
    ("damaged", ["--check"], f"supported format{OPENS}; does not decode: ImageReadError: .+"),
    ("truncated", [], "cannot be read: PNG chunk 'IDAT' at offset 33: the file ends inside it, .+"),
    ("bmp-jpeg", [], "cannot be read: .*JPEG.*; " + re.escape(TO_BMP3)
                     + re.escape(f"; SimpleImage.open refuses it ({OPENS_ONLY_24_BIT})")),
    ("bmp-jpeg", ["--check"], "cannot be read: .*; does not decode: ImageReadError: .*JPEG.*"),
    ("rgba", [], f"supported format; its alpha channel is dropped when read{OPENS}"),
    ("rgba", ["--check"], rf"supported format; its alpha channel is dropped when read{OPENS}; decodes \(\d+\.\d ms\)"),
    ("png", ["--max-pixels", "1"], f"supported format{OPENS}; over the --max-pixels limit"),
    ("png", ["--max-pixels", "1", "--check"], re.escape(
        f"supported format{OPENS}; not decoded: 6x4 is 24 pixels, over the limit of 1 (--max-pixels; 0 lifts it)")),
])
def test_info_says_what_the_header_tells_and_apart_what_decoding_found(images, kind, options, verdict):
    result = quorvel("info", *options, images[kind])
    assert result.returncode == int("--check" in options and "decodes" not in verdict), result.stderr
    [line] = result.stdout.splitlines()
    assert re.fullmatch(f"{re.escape(str(images[kind]))}: (PNG|BMP), [^;]+; {verdict}", line), line
    record = json.loads(quorvel("info", "--json", *options, images[kind]).stdout)
    assert record["supported"] is verdict.startswith("supported")
    assert ("check" in record) is ("--check" in options)
    assert record.get("check", {}).get("decoded", False) is ("decodes" in verdict)


def test_info_json_gives_one_object_per_image_and_errors_on_stderr(images, tmp_path):
    # An option may come between the file names.
    result = quorvel("info", images["png"], "--json", tmp_path / "missing.png", images["bmp"])
    assert result.returncode == 1
    assert result.stderr == f"error: {tmp_path / 'missing.png'}: cannot read: No such file or directory\n"
    png, bmp = map(json.loads, result.stdout.splitlines())
    assert png == {
        "path": str(images["png"]), "format": "PNG", "width": WIDTH, "height": HEIGHT, "pixels": WIDTH * HEIGHT,
        "description": "8-bit RGB, not interlaced",
        "header": {"colour_type": 2, "bit_depth": 8, "interlaced": False, "palette_size": 0},
        "has_alpha": False, "readable": True, "reason": None, "opens": True, "open_refusal": None,
        "supported": True, "unsupported_reason": None, "over_max_pixels": False,
    }
    assert bmp["header"] == {"header_size": 40, "bit_count": 24, "compression": 0, "top_down": False}


HUGE = 60000


@pytest.mark.memory
@pytest.mark.parametrize("kind", ["png", "bmp"])
def test_info_on_a_header_claiming_60000_squared_reads_only_the_header(tmp_path, kind):
    if kind == "png":
        data = png_with(HUGE, HUGE, idat=zlib.compress(bytes(1000)))
    else:
        data = bmp_with(width=HUGE, height=HUGE, rows=False)
    path = tmp_path / f"huge.{kind}"
    path.write_bytes(data)
    result = quorvel("info", path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"{path}: {kind.upper()}, {HUGE}x{HUGE}, ")
    assert result.stdout.rstrip().endswith("; over the --max-pixels limit")
    # Decoding would need 10 GB for the pixels alone; the peak resident size
    # (VmHWM, this process image's own) must not move.
    probe = textwrap.dedent(f"""
        import contextlib, io
        from Quorvel.__main__ import main

        def peak_kib():
            with open("/proc/self/status") as status:
                return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))

        before = peak_kib()
        with contextlib.redirect_stdout(io.StringIO()):
            assert main(["info", {str(path)!r}]) == 0
        print(peak_kib() - before)
    """)
    grown_kib = int(subprocess.run([sys.executable, "-c", probe], check=True, capture_output=True,
                                   text=True, timeout=120).stdout)
    assert grown_kib < 8 * 1024


@pytest.mark.parametrize("limit, opens", [(WIDTH * HEIGHT - 1, False), (WIDTH * HEIGHT, True), (0, True)])
def test_max_pixels_is_checked_from_the_header(tmp_path, images, limit, opens):
    target = tmp_path / "out.bmp"
    result = quorvel("convert", "--max-pixels", limit, images["png"], target)
    check = quorvel("info", "--check", "--max-pixels", limit, images["png"])
    if opens:
        assert result.returncode == 0 and check.returncode == 0, result.stderr
        assert pillow_rgb(target) == ((WIDTH, HEIGHT), PIXELS)
        return
    message = f"{WIDTH}x{HEIGHT} is {WIDTH * HEIGHT} pixels, over the limit of {limit} (--max-pixels; 0 lifts it)"
    assert result.returncode == 1 and result.stderr == f"error: {images['png']}: {message}\n"
    assert not target.exists()
    assert check.returncode == 1
    assert check.stdout.rstrip().endswith(f"; supported format{OPENS}; not decoded: {message}")


def test_max_pixels_default_and_the_huge_header(tmp_path):
    path = tmp_path / "huge.png"
    path.write_bytes(png_with(HUGE, HUGE, idat=zlib.compress(bytes(1000))))
    result = quorvel("convert", path, tmp_path / "out.bmp")
    assert result.returncode == 1
    assert result.stderr == (f"error: {path}: {HUGE}x{HUGE} is 3,600,000,000 pixels, over the limit of "
                             "178,956,970 (--max-pixels; 0 lifts it)\n")
    assert quorvel("convert", "--max-pixels", "-1", path, tmp_path / "out.bmp").returncode == 2


def test_only_the_first_ihdr_is_what_the_pixel_limit_judges(tmp_path):
    # The reader obeys the first IHDR (SimpleImage.open the last), so a later
    # one claiming a huge image changes neither the image nor the verdict.
    second = chunk(b"IHDR", struct.pack(">IIBBBBB", HUGE, HUGE, 8, 2, 0, 0, 0))
    data = png_with()
    path = tmp_path / "two-headers.png"
    path.write_bytes(data[:-12] + second + data[-12:])
    result = quorvel("convert", path, tmp_path / "out.bmp")
    assert result.returncode == 0, result.stderr
    assert pillow_rgb(tmp_path / "out.bmp") == ((WIDTH, HEIGHT), bytes(WIDTH * HEIGHT * 3))


@pytest.mark.corpus
@pytest.mark.slow
def test_info_agrees_with_open_and_pillow_over_the_corpus(corpus):
    import csv

    with open(corpus / "manifest.tsv", newline="") as manifest:
        rows = {row["path"]: row for row in csv.DictReader(manifest, delimiter="\t")}
    paths = [path for path in sorted(rows) if (corpus / path).stat().st_size < 20_000_000]
    result = quorvel("info", "--check", "--json", "--max-pixels", 0, *paths, cwd=corpus, timeout=600)
    records = [json.loads(line) for line in result.stdout.splitlines()]
    unreadable = [line.split(": ")[1] for line in result.stderr.splitlines()]
    assert sorted([record["path"] for record in records] + unreadable) == paths
    for path in unreadable:
        with pytest.raises(Exception):
            SimpleImage.open(str(corpus / path))
    for record in records:
        row = rows[record["path"]]
        # What the header says must come true when the file is decoded; a
        # sound header can still lead to damaged data.
        assert record["check"]["decoded"] <= record["supported"], record
        if row["pil_size"] and not row["pil_error"]:
            assert f"{record['width']}x{record['height']}" == row["pil_size"], record


@pytest.mark.slow
@pytest.mark.parametrize("made_by, name, open_refusal", [
    (["PNG8:{out}"], "palette.png", OPENS_ONLY_RGB),
    (["-depth", "16", "PNG48:{out}"], "deep.png", "Only 8-bit PNG images are supported"),
    (["-interlace", "PNG", "PNG24:{out}"], "interlaced.png",
     "Unsupported PNG configuration (compression/filter/interlace)"),
    (["{out}"], "v5.bmp", OPENS_ONLY_INFOHEADER),
    (["-type", "Palette", "BMP3:{out}"], "palette.bmp", OPENS_ONLY_24_BIT),
])
def test_files_imagemagick_writes_that_open_refuses_convert(tmp_path, images, made_by, name, open_refusal):
    if shutil.which("convert") is None or "ImageMagick" not in subprocess.run(
            ["convert", "-version"], capture_output=True, text=True).stdout:
        pytest.skip("ImageMagick is not installed")
    written = tmp_path / name
    subprocess.run(["convert", images["png"], *(part.format(out=written) for part in made_by)], check=True)
    record = json.loads(quorvel("info", "--json", "--check", written).stdout)
    assert record["supported"] and record["check"]["decoded"], record
    assert record["open_refusal"] == open_refusal
    result = quorvel("convert", written, tmp_path / "out.bmp")
    assert result.returncode == 0, result.stderr
    assert pillow_rgb(tmp_path / "out.bmp") == pillow_rgb(written) == ((WIDTH, HEIGHT), PIXELS)


@pytest.mark.parametrize("source_kind, target_name, target_start", [
    ("png", "out.bmp", b"BM"),
    ("png", "OUT.BMP", b"BM"),
    ("bmp", "out.png", b"\x89PNG\r\n\x1a\n"),
    ("bmp", "out.Png", b"\x89PNG\r\n\x1a\n"),
    ("png", "out.png", b"\x89PNG\r\n\x1a\n"),
    ("bmp", "out.bmp", b"BM"),
])
def test_convert(tmp_path, images, source_kind, target_name, target_start):
    source, target = images[source_kind], tmp_path / target_name
    result = quorvel("convert", source, target)
    assert result.returncode == 0, result.stderr
    target_format = "BMP" if target_start == b"BM" else "PNG"
    assert result.stdout == (f"converted {source} ({source_kind.upper()}, {WIDTH}x{HEIGHT}) -> "
                             f"{target} ({target_format})\n")
    assert target.read_bytes().startswith(target_start)
    assert pillow_rgb(target) == ((WIDTH, HEIGHT), PIXELS)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted({p.name for p in images.values()} | {target_name})


def test_convert_replaces_an_existing_target_keeping_its_mode(tmp_path, images):
    target = tmp_path / "out.bmp"
    target.write_bytes(b"old")
    target.chmod(0o640)
    assert quorvel("convert", images["png"], target).returncode == 0
    assert pillow_rgb(target) == ((WIDTH, HEIGHT), PIXELS)
    assert target.stat().st_mode & 0o777 == 0o640


def test_convert_new_target_gets_the_usual_mode(tmp_path, images):
    target = tmp_path / "out.png"
    assert quorvel("convert", images["bmp"], target).returncode == 0
    umask = os.umask(0)
    os.umask(umask)
    assert target.stat().st_mode & 0o777 == 0o666 & ~umask


@pytest.mark.parametrize("source_kind", ["text", "damaged", "bmp-jpeg", "missing"])
@pytest.mark.parametrize("target_exists", [False, True], ids=["new-target", "existing-target"])
def test_bad_input_never_creates_or_destroys_the_target(tmp_path, images, source_kind, target_exists):
    source = images.get(source_kind, tmp_path / "missing.png")
    target = tmp_path / "out.png"
    if target_exists:
        target.write_bytes(b"precious")
    before = sorted(p.name for p in tmp_path.iterdir())
    result = quorvel("convert", source, target)
    assert result.returncode == 1
    assert result.stdout == ""
    assert len(result.stderr.splitlines()) == 1 and result.stderr.startswith(f"error: {source}: ")
    assert sorted(p.name for p in tmp_path.iterdir()) == before
    assert target.read_bytes() == b"precious" if target_exists else not target.exists()


@pytest.mark.parametrize("arguments, written", [
    (["mid.png", "out/", "--to", "bmp"], "out/mid.bmp"),
    (["mid.png", "folder", "--to", "bmp"], "folder/mid.bmp"),
    (["mid.png", "missing/dir/x.bmp"], "missing/dir/x.bmp"),
    (["mid.png", "--to", "bmp"], "mid.bmp"),
])
def test_where_a_single_file_is_written(tmp_path, arguments, written):
    (tmp_path / "mid.png").write_bytes(png_bytes(WIDTH, HEIGHT, PIXELS))
    (tmp_path / "folder").mkdir()
    result = quorvel("convert", *arguments, cwd=tmp_path)
    assert result.stdout == f"converted mid.png (PNG, {WIDTH}x{HEIGHT}) -> {written} (BMP)\n", result.stderr
    assert pillow_rgb(tmp_path / written) == ((WIDTH, HEIGHT), PIXELS)


@pytest.mark.parametrize("arguments", [["mid.png", "--to", "png"], ["mid.png", "link.png"]])
def test_a_single_file_is_never_its_own_destination(tmp_path, arguments):
    (tmp_path / "mid.png").write_bytes(png_bytes(WIDTH, HEIGHT, PIXELS))
    (tmp_path / "link.png").symlink_to("mid.png")
    result = quorvel("convert", *arguments, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (1, "error: mid.png: not converted: it would be its own destination; "
                                                     "give another DST\n")
    assert (tmp_path / "mid.png").read_bytes() == png_bytes(WIDTH, HEIGHT, PIXELS)


def test_info_walks_a_folder_as_convert_does(tmp_path):
    for name in ("photos/a.png", "photos/sub/b.bmp", "photos/notes.txt"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(bmp_bytes(WIDTH, HEIGHT, PIXELS))
    result = quorvel("info", "photos", cwd=tmp_path)
    assert [line.split(": ")[0] for line in result.stdout.splitlines()] == ["photos/a.png", "photos/sub/b.bmp"]


def test_unwritable_target_is_reported(tmp_path, images):
    (tmp_path / "file").write_bytes(b"a file where a folder is wanted")
    target = tmp_path / "file" / "out.bmp"
    result = quorvel("convert", images["png"], target)
    assert result.returncode == 1
    assert result.stderr.startswith(f"error: {target}: ") and "Traceback" not in result.stderr


@pytest.mark.parametrize("arguments, expected", [
    (["convert", "{png}", "{tmp}/out.gif"], "DST must end in .png or .bmp"),
    (["convert", "{png}", "{tmp}/out"], "DST must end in .png or .bmp"),
    (["convert", "{png}", "{tmp}/png"], "DST must end in .png or .bmp"),
    (["convert", "{png}"], "give DST, or --to FORMAT to write beside SRC"),
    (["convert", "{png}", "{tmp}/"], "DST '{tmp}/' is a folder: give --to png or --to bmp"),
    (["convert", "{png}", "{tmp}/a.png", "{tmp}/b.png"], "more than one SRC needs -o DIR and --to FORMAT"),
    (["convert", "{png}", "{tmp}/a.png", "-o", "{tmp}"], "-o DIR needs --to png or --to bmp"),
    (["convert", "{png}", "{tmp}/a.bmp", "--to", "png"], "DST '{tmp}/a.bmp' names a .bmp file but --to is png"),
    (["convert", "{png}", "--to", "gif", "-o", "{tmp}"], "invalid choice: 'gif'"),
    (["convert", "-j", "0", "{png}", "--to", "png", "-o", "{tmp}"], "must be 1 or more, not 0"),
    (["convert", "--compress-level", "10", "{png}", "{tmp}/a.png"], "must be from 0 to 9, not 10"),
    (["convert", "{png}", "{tmp}/a.bmp", "--optimize"], "--compress-level and --optimize apply to filtered PNG"),
    (["convert", "--unfiltered", "--compress-level", "1", "{png}", "{tmp}/a.png"], "apply to filtered PNG"),
    (["info", "--max-pixels", "lots", "{png}"], "argument --max-pixels: not a whole number: 'lots'"),
    (["info"], "the following arguments are required: FILE"),
    ([], "the following arguments are required: COMMAND"),
    (["resize", "{png}"], "invalid choice: 'resize'"),
    (["info", "--bogus", "{png}"], "unrecognized arguments: --bogus"),
])
def test_usage_errors_exit_2(tmp_path, images, arguments, expected):
    before = sorted(p.name for p in tmp_path.iterdir())
    result = quorvel(*(a.format(png=images["png"], tmp=tmp_path) for a in arguments))
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.startswith("usage: ") and expected.format(tmp=tmp_path) in result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == before


@pytest.mark.parametrize("arguments, mentions", [
    (["--help"], ["info", "convert"]),
    (["-h"], ["info", "convert"]),
    (["info", "--help"], ["FILE", "--check", "--json", "--max-pixels", "examples:", "python -m Quorvel info "]),
    (["convert", "--help"], ["SRC", "DST", ".png", ".bmp", "--jobs N", "--progress", "--max-pixels", "examples:",
                             "python -m Quorvel convert photo.png photo.bmp"]),
])
def test_help(arguments, mentions):
    result = quorvel(*arguments)
    assert result.returncode == 0 and result.stderr == ""
    assert result.stdout.startswith("usage: python -m Quorvel")
    assert all(word in result.stdout for word in mentions)


def test_version():
    result = quorvel("--version")
    assert result.returncode == 0 and result.stdout == f"Quorvel {Quorvel.__version__}\n"
    assert Quorvel.__version__[0].isdigit()


def test_the_quorvel_command_is_the_command_line(tmp_path, images):
    command = pathlib.Path(sysconfig.get_path("scripts")) / "quorvel"
    run = lambda *arguments: subprocess.run([command, *map(str, arguments)], capture_output=True, text=True,
                                            timeout=120)
    usage = run("convert", "--help")
    assert usage.returncode == 0 and usage.stdout.startswith("usage: quorvel convert [options] SRC DST")
    assert "\n  quorvel convert photo.png photo.bmp\n" in usage.stdout
    assert run("--version").stdout == f"Quorvel {Quorvel.__version__}\n"
    assert run("convert", images["png"], tmp_path / "out.bmp").returncode == 0
    assert pillow_rgb(tmp_path / "out.bmp") == ((WIDTH, HEIGHT), PIXELS)
    # The exit status reaches the caller.
    assert run("convert", images["damaged"], tmp_path / "out.bmp").returncode == 1


def test_runs_from_any_directory_on_relative_paths(tmp_path, images):
    result = quorvel("convert", images["png"].name, "copy.bmp", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert pillow_rgb(tmp_path / "copy.bmp") == ((WIDTH, HEIGHT), PIXELS)


@pytest.mark.parametrize("command", [["-c", "import Quorvel"], ["-m", "Quorvel", "--version"]])
def test_a_package_without_its_native_module_says_what_to_run(tmp_path, command):
    # An unbuilt clone, or a clone's root hiding the installed package: the
    # Python files alone, imported without the editable install's hook (-S).
    # The Python files of the package as imported here: the checkout's, or an
    # installed wheel's where the tests run without the checkout's package.
    package = pathlib.Path(Quorvel.__file__).parent
    shutil.copytree(package, tmp_path / "Quorvel", ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    # As a user runs it: the current directory first on the path, and no
    # PYTHONPATH naming a staged build (the sanitizer runs set both).
    environment = {name: value for name, value in os.environ.items()
                   if name not in ("PYTHONPATH", "PYTHONSAFEPATH")}
    result = subprocess.run([sys.executable, "-S", *command], cwd=tmp_path, capture_output=True, text=True,
                            env=environment)
    assert result.returncode == 1
    assert "ModuleNotFoundError: No module named 'Quorvel.tessarin_ext'" in result.stderr
    last = result.stderr.splitlines()[-1]
    assert last.startswith(f"ImportError: Quorvel's native modules are not built beside {tmp_path / 'Quorvel'}. ")
    assert all(words in last for words in ("tools/setup.sh", ". .venv/bin/activate", "pip install ."))
