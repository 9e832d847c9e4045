"""Converting one file for the command line: decoded whole, checked against
the pixel limit from its header first, and written atomically."""
from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Callable

from Quorvel._atomic import write_through
from Quorvel._headers import HeaderError, read_header
from Quorvel._png import save_png
from Quorvel.tessarin_ext import SimpleImage


def write_png(image: SimpleImage, path: str) -> None:
    """Where the command line writes a PNG by default: each row filtered."""
    save_png(image, path)


# By the format written; "png-unfiltered" is PNG exactly as SimpleImage.save
# writes it (--unfiltered).
WRITERS: dict[str, Callable[[SimpleImage, str], None]] = {
    "png": write_png,
    "png-unfiltered": SimpleImage.save,
    "bmp": SimpleImage.saveBmp,
}


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


def convert_file(source: str, destination: str, writer: str, max_pixels: int) -> Outcome:
    """Converts one file; never raises for a bad file, only for an interruption."""
    outcome = Outcome(source, destination)
    try:
        image = _decode(source, max_pixels, outcome)
        try:
            written = write_through(image, destination, WRITERS[writer])
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
