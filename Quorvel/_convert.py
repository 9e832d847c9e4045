"""Converting one file for the command line: decoded whole, checked against
the pixel limit from its header first, and written atomically."""
from __future__ import annotations

import os
from dataclasses import dataclass, field
from Quorvel._atomic import write_through
from Quorvel._headers import HeaderError, read_header
from Quorvel._png import save_png
from Quorvel.tessarin_ext import SimpleImage


@dataclass(frozen=True)
class Writer:
    """How the command line writes a file: BMP, or PNG with its rows filtered
    as save_png writes it (with save_png's options), or unfiltered, byte for
    byte as SimpleImage.save writes it."""
    format: str
    unfiltered: bool = False
    compress_level: int = 6
    optimize: bool = False

    def __call__(self, image: SimpleImage, path: str) -> None:
        if self.format == "bmp":
            image.saveBmp(path)
        elif self.unfiltered:
            image.save(path)
        else:
            save_png(image, path, compress_level=self.compress_level, optimize=self.optimize)


@dataclass
class Outcome:
    """One file's conversion: what happened, and the lines to show for it."""
    source: str
    destination: str
    converted: bool = False
    source_format: str = ""
    size: tuple[int, int] = (0, 0)
    bytes_in: int = 0
    bytes_out: int = 0
    messages: list[str] = field(default_factory=list)


class _Failure(Exception):
    """A file that could not be converted; its message is shown as it is."""


def describe(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def pixel_limit_message(width: int, height: int, max_pixels: int) -> str:
    return (f"{width}x{height} is {width * height:,} pixels, over the limit of {max_pixels:,} "
            "(--max-pixels; 0 lifts it)")


def convert_file(source: str, destination: str, writer: Writer, max_pixels: int) -> Outcome:
    """Converts one file; never raises for a bad file, only for an interruption."""
    outcome = Outcome(source, destination)
    try:
        image = _decode(source, max_pixels, outcome)
        try:
            written = write_through(image, destination, writer)
            outcome.bytes_out = os.path.getsize(written)
        except OSError as error:
            raise _Failure(f"{destination}: cannot write: {describe(error)}") from None
    except _Failure as failure:
        outcome.messages.append(f"error: {failure}")
        return outcome
    outcome.converted = True
    return outcome


def _decode(source: str, max_pixels: int, outcome: Outcome) -> SimpleImage:
    try:
        with open(source, "rb") as file:
            try:
                header = read_header(file, every_ihdr=True)
            except HeaderError as error:
                raise _Failure(f"{source}: {error}") from None
            if header.refusal is not None:
                raise _Failure(f"{source}: cannot be opened: {header.refusal}")
            if 0 < max_pixels < header.pixels:
                raise _Failure(f"{source}: {pixel_limit_message(header.width, header.height, max_pixels)}")
            file.seek(0)
            data = file.read()
    except OSError as error:
        raise _Failure(f"{source}: cannot read: {describe(error)}") from None
    try:
        image = SimpleImage.open(data)
    except Exception as error:
        raise _Failure(f"{source}: cannot decode this {header.format} file: {describe(error)}") from None
    outcome.source_format = header.format
    outcome.size = (image.width, image.height)
    outcome.bytes_in = len(data)
    if header.has_alpha:
        outcome.messages.append(f"warning: {source}: RGBA image: its alpha channel is dropped")
    return image
