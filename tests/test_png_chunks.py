"""The PNG chunk layer: _readChunk and _makeChunk.

Expected chunks are built with builders.chunk, from struct.pack and
zlib.crc32 directly, so a fault in the module's own chunk builder cannot hide
in both sides. Argument binding and types are in test_arguments.py.
"""
import io
import struct
import zlib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from builders import IEND as IEND_CHUNK, RecordingStream, chunk
from Quorvel import tessarin_ext as m


class RecordingModule:
    """Wraps struct or zlib: logs each call of the listed functions."""

    def __init__(self, inner, names, log):
        self._inner, self._names, self._log = inner, names, log

    def __getattr__(self, name):
        target = getattr(self._inner, name)
        if name not in self._names:
            return target

        def recorded(*args):
            self._log.append((name, *args))
            return target(*args)

        return recorded


# --- _readChunk --------------------------------------------------------------


def test_empty_stream_gives_the_end_of_stream_pair_by_identity():
    stream = RecordingStream(b"")
    first = m._readChunk(stream)
    second = m._readChunk(stream)
    assert first == (b"", b"")
    assert first is second
    assert stream.calls == [("read", 4), ("read", 4)]


def test_stream_at_its_end_gives_the_end_of_stream_pair():
    stream = io.BytesIO(IEND_CHUNK)
    assert m._readChunk(stream) == (b"IEND", b"")
    assert m._readChunk(stream) == (b"", b"")


def test_iend_vector_reads_back():
    stream = io.BytesIO(IEND_CHUNK + b"tail")
    assert m._readChunk(stream) == (b"IEND", b"")
    assert stream.tell() == 12


def test_host_call_order_and_globals_looked_up_at_call_time(monkeypatch):
    log = []
    monkeypatch.setattr(m, "struct", RecordingModule(struct, {"unpack", "pack"}, log))
    monkeypatch.setattr(m, "zlib", RecordingModule(zlib, {"crc32"}, log))
    data = b"\x01\x02\x03"
    raw = chunk(b"abcd", data)
    stream = RecordingStream(raw + IEND_CHUNK, calls=log)
    assert m._readChunk(stream) == (b"abcd", data)
    # Four reads and no more: the stream stands at the next chunk.
    assert stream.tell() == len(raw)
    type_crc = zlib.crc32(b"abcd")
    assert log == [
        ("read", 4),
        ("unpack", ">I", raw[:4]),
        ("read", 4),
        ("read", 3),
        ("read", 4),
        ("crc32", b"abcd"),
        ("crc32", data, type_crc),
        ("unpack", ">I", raw[-4:]),
    ]
    assert m._readChunk(stream) == (b"IEND", b"")


@pytest.mark.parametrize(
    "raw, message",
    [
        (b"\x00", "Unexpected EOF while reading chunk length"),
        (b"\x00\x00", "Unexpected EOF while reading chunk length"),
        (b"\x00\x00\x00", "Unexpected EOF while reading chunk length"),
        (b"\x00\x00\x00\x00", "Unexpected EOF while reading chunk type"),
        (b"\x00\x00\x00\x00IEN", "Unexpected EOF while reading chunk type"),
        (b"\x00\x00\x00\x05IDAT", "Unexpected EOF while reading chunk data"),
        (b"\x00\x00\x00\x05IDATabcd", "Unexpected EOF while reading chunk data"),
        (b"\x00\x00\x00\x00IEND", "Unexpected EOF while reading chunk CRC"),
        (IEND_CHUNK[:-1], "Unexpected EOF while reading chunk CRC"),
        (chunk(b"IDAT", b"abc")[:-3], "Unexpected EOF while reading chunk CRC"),
        (b"\xff\xff\xff\xffIDAT", "Unexpected EOF while reading chunk data"),
    ],
)
def test_truncated_chunks(raw, message):
    with pytest.raises(ValueError) as caught:
        m._readChunk(io.BytesIO(raw))
    assert caught.value.args == (message,)


def test_short_crc_is_an_eof_even_with_intact_data():
    stream = RecordingStream(chunk(b"IDAT", b"payload")[:-2])
    with pytest.raises(ValueError, match="^Unexpected EOF while reading chunk CRC$"):
        m._readChunk(stream)
    assert stream.calls == [("read", 4), ("read", 4), ("read", 7), ("read", 4)]


def test_every_changed_type_data_or_crc_byte_is_detected():
    raw = bytearray(chunk(b"tEXt", b"Comment\x00some text"))
    for index in range(4, len(raw)):
        for flip in (0x01, 0x80, 0xFF):
            damaged = bytearray(raw)
            damaged[index] ^= flip
            with pytest.raises(ValueError) as caught:
                m._readChunk(io.BytesIO(bytes(damaged)))
            assert caught.value.args == ("Corrupted PNG chunk detected",), (index, flip)


def test_changed_length_byte_gives_an_eof_or_crc_message():
    raw = chunk(b"tEXt", b"0123456789") + chunk(b"IEND", b"")
    expected = {
        "Unexpected EOF while reading chunk data",
        "Unexpected EOF while reading chunk CRC",
        "Corrupted PNG chunk detected",
    }
    for index in range(4):
        for flip in (0x01, 0x02, 0x80):
            damaged = bytearray(raw)
            damaged[index] ^= flip
            with pytest.raises(ValueError) as caught:
                m._readChunk(io.BytesIO(bytes(damaged)))
            assert caught.value.args[0] in expected


@pytest.mark.parametrize("chunk_type", [b"IHDR", b"\x00\x00\x00\x00", b"\xff\xfe\x80 ", b"1234", b"idat"])
def test_type_codes_are_not_validated(chunk_type):
    assert m._readChunk(io.BytesIO(chunk(chunk_type, b"xyz"))) == (chunk_type, b"xyz")


def test_read_errors_pass_through_unchanged():
    class Failing:
        def read(self, n):
            raise OSError(5, "device gone")

    with pytest.raises(OSError) as caught:
        m._readChunk(Failing())
    assert caught.value.args == (5, "device gone")


@settings(max_examples=200, deadline=None)
@given(chunk_type=st.binary(min_size=4, max_size=4), data=st.binary(max_size=600))
def test_round_trip_through_reference_builder(chunk_type, data):
    stream = io.BytesIO(chunk(chunk_type, data))
    assert m._readChunk(stream) == (chunk_type, data)
    assert stream.read() == b""


# --- _makeChunk --------------------------------------------------------------


def test_make_iend_vector():
    assert m._makeChunk(b"IEND", b"") == IEND_CHUNK


@settings(max_examples=200, deadline=None)
@given(chunk_type=st.binary(min_size=0, max_size=8), data=st.binary(max_size=600))
def test_make_chunk_matches_reference(chunk_type, data):
    made = m._makeChunk(chunk_type, data)
    assert type(made) is bytes
    assert made == chunk(chunk_type, data)
    assert len(made) == len(data) + len(chunk_type) + 8


def test_make_chunk_host_calls_and_globals_looked_up_at_call_time(monkeypatch):
    log = []
    monkeypatch.setattr(m, "struct", RecordingModule(struct, {"pack", "unpack"}, log))
    monkeypatch.setattr(m, "zlib", RecordingModule(zlib, {"crc32"}, log))
    made = m._makeChunk(b"tEXt", b"data")
    crc = zlib.crc32(b"tEXtdata") & 0xFFFFFFFF
    assert made == chunk(b"tEXt", b"data")
    assert log == [
        ("pack", ">I", 4),
        ("crc32", b"tEXt"),
        ("crc32", b"data", zlib.crc32(b"tEXt")),
        ("pack", ">I", crc),
    ]
