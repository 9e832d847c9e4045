"""Quorvel: a small RGB image type with its own PNG and BMP codecs."""
import os
from importlib.metadata import PackageNotFoundError, version

try:
    from Quorvel.tessarin_ext import SimpleImage
    from Quorvel._png import encode_png, save_png
    from Quorvel._read import ImageInfo, ImageReadError, inflaters, load, probe
except ModuleNotFoundError as error:
    if error.name not in ("Quorvel.tessarin_ext", "Quorvel._png_writer", "Quorvel._reader"):
        raise
    # Met from a clone not yet built, or from a clone's root, whose Quorvel/
    # folder comes before the package pip installed.
    raise ImportError(
        f"Quorvel's native modules are not built beside {os.path.dirname(os.path.abspath(__file__))}. "
        "In a clone of the repository, run tools/setup.sh, which builds them into .venv, then "
        ". .venv/bin/activate (or run .venv/bin/python). If you installed Quorvel with pip install ., run "
        "Python from another folder than the clone's root: its Quorvel/ folder hides the installed "
        "package.") from error

try:
    # The installed distribution's metadata carries the one version number,
    # which the build takes from meson.build.
    __version__ = version("Quorvel")
except PackageNotFoundError:
    __version__ = "0+unknown"

__all__ = ["ImageInfo", "ImageReadError", "SimpleImage", "encode_png", "inflaters", "load", "probe", "save_png",
           "__version__"]
