"""The PNG chunk layer: _readChunk and _makeChunk.

Expected chunks are built here with struct.pack and zlib.crc32 directly, so a
fault in the module's own chunk builder cannot hide in both sides.
"""
import io
import struct
import zlib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from Quorvel import tessarin_ext as m

IEND_CHUNK = bytes.fromhex("0000000049454e44ae426082")


def chunk(chunk_type: bytes, data: bytes) -> bytes:
    crc = zlib.crc32(chunk_type + data) & 0xFFFFFFFF
    return struct.pack(">I", len(data)) + chunk_type + data + struct.pack(">I", crc)


class RecordingStream:
    """A byte stream that logs the count of every read."""

    def __init__(self, data: bytes, log: list | None = None):
        self._inner = io.BytesIO(data)
        self.log = [] if log is None else log

    def read(self, n):
        self.log.append(("read", n))
        return self._inner.read(n)

    def tell(self):
        return self._inner.tell()


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
    assert stream.log == [("read", 4), ("read", 4)]


def test_stream_at_its_end_gives_the_end_of_stream_pair():
    stream = io.BytesIO(IEND_CHUNK)
    assert m._readChunk(stream) == (b"IEND", b"")
    assert m._readChunk(stream) == (b"", b"")


def test_iend_vector_reads_back():
    stream = io.BytesIO(IEND_CHUNK + b"tail")
    assert m._readChunk(stream) == (b"IEND", b"")
    assert stream.tell() == 12


def test_complete_chunk_reads_four_times_and_stops_at_next_chunk():
    payload = b"hello, chunk"
    stream = RecordingStream(chunk(b"tEXt", payload) + IEND_CHUNK)
    assert m._readChunk(stream) == (b"tEXt", payload)
    assert stream.log == [("read", 4), ("read", 4), ("read", len(payload)), ("read", 4)]
    assert stream.tell() == 12 + len(payload)
    assert m._readChunk(stream) == (b"IEND", b"")


def test_host_call_order_and_globals_looked_up_at_call_time(monkeypatch):
    log = []
    monkeypatch.setattr(m, "struct", RecordingModule(struct, {"unpack", "pack"}, log))
    monkeypatch.setattr(m, "zlib", RecordingModule(zlib, {"crc32"}, log))
    data = b"\x01\x02\x03"
    raw = chunk(b"abcd", data)
    stream = RecordingStream(raw, log)
    assert m._readChunk(stream) == (b"abcd", data)
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
    assert stream.log == [("read", 4), ("read", 4), ("read", 7), ("read", 4)]


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


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: m._readChunk(), "_readChunk() takes exactly 1 positional argument (0 given)"),
        (lambda: m._readChunk(io.BytesIO(), io.BytesIO()), "_readChunk() takes exactly 1 positional argument (2 given)"),
        (lambda: m._readChunk(strem=io.BytesIO()), "_readChunk() got an unexpected keyword argument 'strem'"),
        (lambda: m._makeChunk(b"IEND"), "_makeChunk() takes exactly 2 positional arguments (1 given)"),
        (lambda: m._makeChunk(b"IEND", data=b"", chunkType=b"x"), "_makeChunk() got multiple values for keyword argument 'chunkType'"),
    ],
)
def test_argument_count_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert caught.value.args == (message,)


def test_read_chunk_by_keyword():
    assert m._readChunk(stream=io.BytesIO(IEND_CHUNK)) == (b"IEND", b"")


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


def test_make_chunk_by_keywords():
    assert m._makeChunk(data=b"abc", chunkType=b"tEXt") == chunk(b"tEXt", b"abc")


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


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize(
    "chunk_type, data, message",
    [
        (b"IDAT", bytearray(b"x"), "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
        ("IDAT", b"x", "Argument 'chunkType' has incorrect type (expected bytes, got str)"),
        (None, b"x", "Argument 'chunkType' has incorrect type (expected bytes, got NoneType)"),
        (b"IDAT", None, "Argument 'data' has incorrect type (expected bytes, got NoneType)"),
        (b"IDAT", memoryview(b"x"), "Argument 'data' has incorrect type (expected bytes, got memoryview)"),
        (None, None, "Argument 'chunkType' has incorrect type (expected bytes, got NoneType)"),
    ],
)
def test_make_chunk_rejects_other_types(chunk_type, data, message):
    with pytest.raises(TypeError) as caught:
        m._makeChunk(chunk_type, data)
    assert caught.value.args == (message,)


@pytest.mark.parametrize("position", ["chunkType", "data"])
def test_make_chunk_rejects_bytes_subclasses_with_a_note(position):
    args = {"chunkType": b"IDAT", "data": b"x"}
    args[position] = BytesSubclass(args[position])
    with pytest.raises(TypeError) as caught:
        m._makeChunk(**args)
    prefix = f"Argument '{position}' has incorrect type (expected bytes, got BytesSubclass). "
    (message,) = caught.value.args
    assert message.startswith(prefix)
    assert len(message) > len(prefix)
