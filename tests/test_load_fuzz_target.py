"""The checks of the fuzz target of Quorvel.load and probe
(fuzz/load_target.py) catch what they are there for: an exception outside
ImageReadError, probe and load disagreeing, probe foretelling
SimpleImage.open wrongly, and pixels unlike the oracles'."""

import dataclasses

import load_target
import pytest
from builders import bmp_bytes, png_bytes
from open_target import Finding

from Quorvel import ImageReadError, load, probe

PIXELS = bytes(range(7, 7 + 3 * 2 * 3))
IMAGES = {"png": png_bytes(3, 2, PIXELS), "bmp": bmp_bytes(3, 2, PIXELS)}


def flipped(data):
    image = load(data)
    image._pixels[4] ^= 1
    return image


def failing(data):
    raise RuntimeError("not promised")


def unreadable(data):
    return dataclasses.replace(probe(data), readable=False, reason="some reason")


def refused_by_open(data):
    return dataclasses.replace(probe(data), opens=False, open_refusal="Only 8-bit PNG images are supported")


def refusing(data):
    raise ImageReadError("refused")


@pytest.mark.parametrize("kind", IMAGES)
@pytest.mark.parametrize("name, stand_in, finding", [
    ("load", flipped, "differs from the oracle"),
    ("load", failing, "RuntimeError: not promised"),
    ("probe", failing, "RuntimeError: not promised"),
    ("probe", unreadable, "but probe said"),
    ("probe", refused_by_open, "but SimpleImage.open gave None"),
    ("probe", refusing, "probe raised ImageReadError"),
], ids=["pixels", "load raises", "probe raises", "unreadable", "open foretold", "probe refuses"])
def test_what_the_target_finds(monkeypatch, kind, name, stand_in, finding):
    assert load_target.check_load(IMAGES[kind]) == "image"
    monkeypatch.setattr(load_target, name, stand_in)
    with pytest.raises(Finding, match=finding):
        load_target.check_load(IMAGES[kind])
