"""The command line, run as `python -m Quorvel` in a child process."""
import os
import pathlib
import subprocess
import sys

import pytest
from PIL import Image

from builders import bmp_bytes, bmp_headers, png_bytes

WIDTH, HEIGHT = 6, 4
PIXELS = bytes((11 * i + 5) % 256 for i in range(WIDTH * HEIGHT * 3))


def quorvel(*arguments, cwd=None) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "Quorvel", *map(str, arguments)],
                          capture_output=True, text=True, cwd=cwd, timeout=120)


def pillow_rgb(path) -> tuple[tuple[int, int], bytes]:
    with Image.open(path) as opened:
        return opened.size, opened.convert("RGB").tobytes()


@pytest.fixture
def images(tmp_path: pathlib.Path) -> dict[str, pathlib.Path]:
    # Extensions deliberately misleading: the format is recognised by content.
    files = {
        "png": (tmp_path / "picture.bmp", png_bytes(WIDTH, HEIGHT, PIXELS)),
        "bmp": (tmp_path / "picture.data", bmp_bytes(WIDTH, HEIGHT, PIXELS)),
        "text": (tmp_path / "notes.png", b"hello, not an image\n"),
        "damaged": (tmp_path / "damaged.png", png_bytes(WIDTH, HEIGHT, PIXELS)[:-30]),
        "bmp-4bit": (tmp_path / "palette.bmp", bmp_headers(2, 2, bpp=4) + bytes(16)),
    }
    for path, data in files.values():
        path.write_bytes(data)
    return {name: path for name, (path, _) in files.items()}


def test_info_on_good_files(images):
    result = quorvel("info", images["png"], images["bmp"])
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f"{images['png']}: PNG, {WIDTH}x{HEIGHT}",
        f"{images['bmp']}: BMP, {WIDTH}x{HEIGHT}",
    ]
    assert result.stderr == ""


def test_info_reports_each_bad_file_in_one_line_and_goes_on(tmp_path, images):
    missing = tmp_path / "missing.png"
    result = quorvel("info", images["text"], images["png"], missing, images["damaged"], tmp_path,
                     images["bmp-4bit"])
    assert result.returncode == 1
    assert result.stdout.splitlines() == [f"{images['png']}: PNG, {WIDTH}x{HEIGHT}"]
    errors = result.stderr.splitlines()
    assert "Traceback" not in result.stderr
    assert [line.split(":")[0:2] for line in errors] == [
        ["error", f" {path}"] for path in (images["text"], missing, images["damaged"], tmp_path, images["bmp-4bit"])]
    assert "Unsupported image format" in errors[0]
    assert "No such file or directory" in errors[1]
    assert "PNG" in errors[2]
    assert "Is a directory" in errors[3]
    assert "Only uncompressed 24-bit BMP files are supported" in errors[4]


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


@pytest.mark.parametrize("source_kind", ["text", "damaged", "bmp-4bit", "missing"])
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


def test_unwritable_target_is_reported(tmp_path, images):
    target = tmp_path / "no-such-directory" / "out.bmp"
    result = quorvel("convert", images["png"], target)
    assert result.returncode == 1
    assert result.stderr.startswith(f"error: {target}: ") and "Traceback" not in result.stderr


@pytest.mark.parametrize("arguments, expected", [
    (["convert", "{png}", "{tmp}/out.gif"], "DST must end in .png or .bmp"),
    (["convert", "{png}", "{tmp}/out"], "DST must end in .png or .bmp"),
    (["convert", "{png}", "{tmp}/png"], "DST must end in .png or .bmp"),
    (["convert", "{png}"], "the following arguments are required: DST"),
    (["convert", "{png}", "{tmp}/a.png", "{tmp}/b.png"], "unrecognized arguments"),
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
    assert result.stderr.startswith("usage: ") and expected in result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == before


@pytest.mark.parametrize("arguments, mentions", [
    (["--help"], ["info", "convert"]),
    (["-h"], ["info", "convert"]),
    (["info", "--help"], ["FILE"]),
    (["convert", "--help"], ["SRC", "DST", ".png", ".bmp"]),
])
def test_help(arguments, mentions):
    result = quorvel(*arguments)
    assert result.returncode == 0 and result.stderr == ""
    assert result.stdout.startswith("usage: python -m Quorvel")
    assert all(word in result.stdout for word in mentions)


def test_runs_from_any_directory_on_relative_paths(tmp_path, images):
    result = quorvel("convert", images["png"].name, "copy.bmp", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert pillow_rgb(tmp_path / "copy.bmp") == ((WIDTH, HEIGHT), PIXELS)
