"""Converting one file for the command line: its headers probed first (what
it is, whether it can be read, its size against the pixel limit), then read
whole and written atomically."""
from __future__ import annotations

import os
from dataclasses import dataclass, field
from Quorvel import ImageReadError, load, probe
from Quorvel._atomic import write_through
from Quorvel._png import save_png
from Quorvel._verdict import alpha_kind, refusal
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
    colour_type: str = "rgb"

    def __call__(self, image: SimpleImage, path: str) -> None:
        if self.format == "bmp":
            image.saveBmp(path)
        elif self.unfiltered:
            image.save(path)
        else:
            save_png(image, path, compress_level=self.compress_level, optimize=self.optimize,
                     colour_type=self.colour_type)


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
        try:
            info = probe(source)
        except ImageReadError as error:
            raise _Failure(f"{source}: {error}") from None
        if not info.readable:
            raise _Failure(f"{source}: cannot be read: {refusal(info)}")
        if 0 < max_pixels < info.pixels:
            raise _Failure(f"{source}: {pixel_limit_message(info.width, info.height, max_pixels)}")
        try:
            image = load(source, max_pixels=max_pixels or None)
        except (ImageReadError, MemoryError) as error:
            raise _Failure(f"{source}: cannot decode this {info.format} file: {describe(error)}") from None
        outcome.bytes_in = os.path.getsize(source)
    except OSError as error:
        raise _Failure(f"{source}: cannot read: {describe(error)}") from None
    outcome.source_format = info.format
    outcome.size = (image.width, image.height)
    if info.has_alpha:
        outcome.messages.append(f"warning: {source}: {alpha_kind(info)}: its alpha channel is dropped")
    return image
