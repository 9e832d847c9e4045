"""The command line: `python -m Quorvel info FILE...` and `python -m Quorvel convert SRC DST`."""
from __future__ import annotations

import argparse
import os
import stat
import sys
import tempfile
from typing import Callable, Sequence

from Quorvel.tessarin_ext import PNG_SIGNATURE, SimpleImage

# The writer for each output extension, compared case-insensitively.
_WRITERS: dict[str, tuple[str, Callable[[SimpleImage, str], None]]] = {
    ".png": ("PNG", SimpleImage.save),
    ".bmp": ("BMP", SimpleImage.saveBmp),
}


class _Failure(Exception):
    """A file that could not be handled; its message is printed as it is."""


def _format_of(data: bytes) -> str:
    # Recognised by content, the way SimpleImage.open dispatches.
    if data.startswith(PNG_SIGNATURE):
        return "PNG"
    if data.startswith(b"BM"):
        return "BMP"
    return "unknown"


def _describe(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def _load(path: str) -> tuple[str, SimpleImage]:
    """Reads `path` once and decodes it: (format, image), or _Failure."""
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as error:
        raise _Failure(f"{path}: cannot read: {_describe(error)}") from None
    try:
        image = SimpleImage.open(data)
    except Exception as error:
        file_format = _format_of(data)
        what = "not a PNG or BMP image" if file_format == "unknown" else f"cannot decode this {file_format} file"
        raise _Failure(f"{path}: {what}: {_describe(error)}") from None
    return _format_of(data), image


def _mode_for(destination: str) -> int:
    try:
        return stat.S_IMODE(os.stat(destination).st_mode)
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def _write_replacing(image: SimpleImage, destination: str, writer: Callable[[SimpleImage, str], None]) -> None:
    """Writes beside `destination`, then renames over it, so that a failure
    leaves whatever was there before."""
    directory = os.path.dirname(os.path.abspath(destination))
    handle, temporary = tempfile.mkstemp(prefix=".quorvel-", suffix=".tmp", dir=directory)
    os.close(handle)
    try:
        # mkstemp makes the file private; give it the mode a new file gets,
        # or keep the mode of the file it replaces.
        os.chmod(temporary, _mode_for(destination))
        writer(image, temporary)
        os.replace(temporary, destination)
    except BaseException:
        os.unlink(temporary)
        raise


def _info(paths: Sequence[str]) -> int:
    status = 0
    for path in paths:
        try:
            file_format, image = _load(path)
        except _Failure as failure:
            print(f"error: {failure}", file=sys.stderr)
            status = 1
            continue
        print(f"{path}: {file_format}, {image.width}x{image.height}")
    return status


def _convert(source: str, destination: str, writer_format: str,
             writer: Callable[[SimpleImage, str], None]) -> int:
    try:
        source_format, image = _load(source)
    except _Failure as failure:
        print(f"error: {failure}", file=sys.stderr)
        return 1
    try:
        _write_replacing(image, destination, writer)
    except Exception as error:
        print(f"error: {destination}: cannot write: {_describe(error)}", file=sys.stderr)
        return 1
    print(f"converted {source} ({source_format}, {image.width}x{image.height}) -> {destination} ({writer_format})")
    return 0


def _parsers() -> tuple[argparse.ArgumentParser, argparse.ArgumentParser]:
    """The whole command line, and its `convert` part for reporting misuse."""
    parser = argparse.ArgumentParser(
        prog="python -m Quorvel",
        description="Inspect and convert PNG and BMP images with Quorvel's own codecs.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = commands.add_parser(
        "info", help="print the format and size of images",
        description="Print the format (recognised by content), width and height of each FILE. "
                    "Exits with status 1 if any file could not be read.")
    info.add_argument("files", nargs="+", metavar="FILE", help="a PNG or BMP file")

    convert = commands.add_parser(
        "convert", help="convert an image between PNG and BMP",
        description="Read SRC (PNG or BMP, recognised by content) and write it to DST as PNG or BMP, "
                    "chosen by DST's extension (.png or .bmp). DST is replaced only once the new "
                    "file is complete.")
    convert.add_argument("source", metavar="SRC", help="the image to read")
    convert.add_argument("destination", metavar="DST", help="the file to write, ending in .png or .bmp")
    return parser, convert


def main(argv: Sequence[str] | None = None) -> int:
    parser, convert_parser = _parsers()
    arguments = parser.parse_args(argv)
    if arguments.command == "info":
        return _info(arguments.files)
    extension = os.path.splitext(arguments.destination)[1].lower()
    if extension not in _WRITERS:
        convert_parser.error(f"DST must end in .png or .bmp, not {arguments.destination!r}")
    writer_format, writer = _WRITERS[extension]
    return _convert(arguments.source, arguments.destination, writer_format, writer)


if __name__ == "__main__":
    sys.exit(main())
