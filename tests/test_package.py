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
    assert sorted(Quorvel.__all__) == ["SimpleImage", "__version__", "encode_png", "save_png"]


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
