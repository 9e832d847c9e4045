"""Quorvel: a small RGB image type with its own PNG and BMP codecs."""
from importlib.metadata import PackageNotFoundError, version

from Quorvel.tessarin_ext import SimpleImage
from Quorvel._png import encode_png, save_png

try:
    # The installed distribution's metadata carries the one version number,
    # which the build takes from meson.build.
    __version__ = version("Quorvel")
except PackageNotFoundError:
    __version__ = "0+unknown"

__all__ = ["SimpleImage", "encode_png", "save_png", "__version__"]
