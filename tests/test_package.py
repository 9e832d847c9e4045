"""The package a user imports: its public names and its one version number."""
import importlib.metadata
import pathlib
import re

import pytest

import Quorvel
from Quorvel import tessarin_ext

REPO = pathlib.Path(__file__).resolve().parents[1]


def test_simple_image_is_importable_from_the_package():
    from Quorvel import SimpleImage

    assert SimpleImage is tessarin_ext.SimpleImage
    assert sorted(Quorvel.__all__) == ["ImageInfo", "ImageReadError", "SimpleImage", "__version__", "encode_png",
                                       "inflaters", "load", "probe", "save_png"]
    assert all(hasattr(Quorvel, name) for name in Quorvel.__all__)


def test_version_is_the_installed_distribution_version():
    assert Quorvel.__version__ == importlib.metadata.version("Quorvel")
    assert re.fullmatch(r"\d+\.\d+\.\d+", Quorvel.__version__)


def test_version_is_the_one_declared_for_the_build():
    meson_build = REPO / "meson.build"
    if not meson_build.is_file():
        pytest.skip("meson.build is not beside the tests")
    declared = re.search(r"^project\(.*?\bversion: '([^']+)'", meson_build.read_text(), re.S | re.M)
    assert declared is not None
    assert Quorvel.__version__ == declared.group(1)
    # pyproject.toml leaves the version to the build.
    pyproject = (REPO / "pyproject.toml").read_text()
    assert re.search(r'^dynamic = \["version"\]$', pyproject, re.M)
    assert not re.search(r"^version\s*=", pyproject, re.M)


def test_the_licence_file_is_the_one_the_metadata_names():
    metadata = importlib.metadata.metadata("Quorvel")
    assert metadata["License-Expression"] == "MIT"
    assert metadata.get_all("License-File") == ["LICENSE"]
    licence = REPO / "LICENSE"
    if not licence.is_file():
        pytest.skip("LICENSE is not beside the tests")
    first, _, copyright_line, *_ = licence.read_text().splitlines()
    assert first == "MIT License"
    assert re.fullmatch(r"Copyright \(c\) \d{4} the Quorvel developers", copyright_line)
