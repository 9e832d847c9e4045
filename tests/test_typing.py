"""The type stubs: they agree with the runtime module, accept the example
program that uses every public method, and reject misuse."""
import pathlib
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")
# Each test starts the type checker afresh: seconds apiece.
pytestmark = pytest.mark.slow

REPO = pathlib.Path(__file__).resolve().parents[1]


def run_mypy(*arguments: str) -> subprocess.CompletedProcess[str]:
    # From the repository root, so that mypy finds the package's stubs beside
    # its sources whether or not the install is editable.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--no-error-summary", *arguments],
        cwd=REPO, capture_output=True, text=True, timeout=300)


def test_stubs_match_the_runtime_module() -> None:
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "Quorvel.tessarin_ext"],
        cwd=REPO, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def test_example_program_type_checks() -> None:
    result = run_mypy("examples/typed_usage.py")
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("statement, expected", [
    ("image.getPixel([0, 0])", 'Argument 1 to "getPixel" of "SimpleImage" has incompatible type "list[int]"'),
    ("image.getPixel((0, 0, 0))", 'Argument 1 to "getPixel" of "SimpleImage" has incompatible type'),
    ("image.putPixel((0, 0), 7)", 'Argument 2 to "putPixel" of "SimpleImage" has incompatible type "int"'),
    ("image.save(123)", 'Argument 1 to "save" of "SimpleImage" has incompatible type "int"'),
    ("image.saveBmp(pathlib.Path('x.bmp'))", 'Argument 1 to "saveBmp" of "SimpleImage" has incompatible type "Path"'),
    ("SimpleImage.open(memoryview(b''))", 'Argument 1 to "open" of "SimpleImage" has incompatible type "memoryview'),
    ("SimpleImage.open(None)", 'Argument 1 to "open" of "SimpleImage" has incompatible type "None"'),
    ("image.size = (1, 1)", 'Property "size" defined in "SimpleImage" is read-only'),
    ("image._pixels = b''", 'Incompatible types in assignment (expression has type "bytes"'),
    ("name: str = image.width", 'Incompatible types in assignment (expression has type "int"'),
    ("copied: Sub = Sub.open(b'').copy()", 'Incompatible types in assignment (expression has type "SimpleImage"'),
    ("SimpleImage(1, 1)", 'Missing positional argument "pixels"'),
])
def test_misuse_is_reported(tmp_path: pathlib.Path, statement: str, expected: str) -> None:
    snippet = tmp_path / "misuse.py"
    snippet.write_text(textwrap.dedent(f"""\
        import pathlib
        from Quorvel.tessarin_ext import SimpleImage

        class Sub(SimpleImage):
            pass

        image = SimpleImage(1, 1, bytes(3))
        {statement}
        """))
    result = run_mypy(str(snippet))
    assert result.returncode == 1, result.stdout + result.stderr
    errors = [line for line in result.stdout.splitlines() if ": error: " in line]
    assert len(errors) == 1 and errors[0].startswith(f"{snippet}:8: error: "), result.stdout
    assert expected in errors[0]


def test_subclass_open_keeps_the_subclass(tmp_path: pathlib.Path) -> None:
    snippet = tmp_path / "subclass.py"
    snippet.write_text(textwrap.dedent("""\
        from Quorvel.tessarin_ext import SimpleImage

        class Sub(SimpleImage):
            pass

        opened: Sub = Sub.open(b"")
        decoded: tuple[int, int, bytearray] = Sub._streamToImage(open("x", "rb"))
        """))
    result = run_mypy(str(snippet))
    assert result.returncode == 0, result.stdout + result.stderr


# The package's own native modules (the filtering PNG encoder, the reader):
# their stubs; then the package functions as callers use them.
@pytest.mark.parametrize("module", ["Quorvel._png_writer", "Quorvel._reader"])
def test_native_module_stubs_match_the_runtime_module(module: str) -> None:
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module],
        cwd=REPO, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("statement, expected", [
    ("", None),
    ("Quorvel.save_png(image, 123)", 'Argument 2 to "save_png" has incompatible type "int"'),
    ("Quorvel.save_png(image, 'x.png', 6)", 'Too many positional arguments for "save_png"'),
    ("Quorvel.encode_png(image, compress_level='9')", 'Argument "compress_level" to "encode_png" has incompatible type'),
    ("Quorvel.encode_png(image, optimize=None)", 'Argument "optimize" to "encode_png" has incompatible type "None"'),
    ("Quorvel.encode_png(b'')", 'Argument 1 to "encode_png" has incompatible type "bytes"'),
    ("text: str = Quorvel.encode_png(image)", 'Incompatible types in assignment (expression has type "bytes"'),
    ("Quorvel.load(123)", 'Argument 1 to "load" has incompatible type "int"'),
    ("Quorvel.load(b'', 1000)", 'Too many positional arguments for "load"'),
    ("Quorvel.load(b'', max_pixels='9')", 'Argument "max_pixels" to "load" has incompatible type "str"'),
    ("Quorvel.load(b'', inflater='gzip')", 'Argument "inflater" to "load" has incompatible type'),
    ("Quorvel.probe(b'').width = 1", 'Property "width" defined in "ImageInfo" is read-only'),
    ("depth: int = Quorvel.probe(b'').bit_depth", 'Incompatible types in assignment (expression has type "int | None"'),
])
def test_package_function_use_type_checks(tmp_path: pathlib.Path, statement: str, expected: str | None) -> None:
    snippet = tmp_path / "package_functions.py"
    snippet.write_text(textwrap.dedent(f"""\
        import pathlib
        import Quorvel
        from Quorvel.tessarin_ext import SimpleImage

        image = SimpleImage(1, 1, bytes(3))
        data: bytes = Quorvel.encode_png(image, compress_level=9, optimize=True)
        Quorvel.save_png(image, pathlib.Path("x.png"))
        Quorvel.save_png(image, b"x.png", optimize=False)
        {statement}
        """))
    result = run_mypy(str(snippet))
    errors = [line for line in result.stdout.splitlines() if ": error: " in line]
    if expected is None:
        assert result.returncode == 0, result.stdout + result.stderr
    else:
        assert len(errors) == 1 and errors[0].startswith(f"{snippet}:9: error: "), result.stdout
        assert expected in errors[0]
