"""Structure-aware mutations for the libFuzzer target fuzz_decode.cpp.

Plain byte mutations of a PNG nearly always break a chunk's CRC or the
compressed image data, and the decoder then stops at the chunk layer or in
the inflater. Here PNG inputs are taken apart into chunks: a chunk's data,
or the inflated image data (compressed again afterwards), goes through
libFuzzer's own byte mutator (`fuzz_driver.mutate`, provided by the target),
and the CRCs are made right again. Chunks are also duplicated, dropped,
reordered and split. A share of the inputs keeps libFuzzer's mutation as it
is, CRCs and all, so that the error paths for broken files stay in play.
BMP and other inputs get libFuzzer's mutations unchanged.
"""

from __future__ import annotations

import random
import struct
import zlib

from fuzz_driver import mutate as mutate_bytes
from fuzz_open import PNG_SIGNATURE, chunk, png_chunks

# The most inflated image data a mutation works on; more is cut off.
LARGEST_INFLATED = 1 << 20


def with_crcs_fixed(data: bytes) -> bytes:
    """`data` with the CRC of every chunk whose length holds made right."""
    buffer = bytearray(data)
    position = len(PNG_SIGNATURE)
    while position + 12 <= len(buffer):
        (length,) = struct.unpack_from(">I", buffer, position)
        end = position + 8 + length
        if end + 4 > len(buffer):
            break
        struct.pack_into(">I", buffer, end, zlib.crc32(buffer[position + 4:end]))
        position = end + 4
    return bytes(buffer)


def inflated(chunks: list[list[bytes]]) -> bytes:
    inflater = zlib.decompressobj()
    try:
        return inflater.decompress(b"".join(data for tag, data in chunks if tag == b"IDAT"), LARGEST_INFLATED)
    except zlib.error:
        return b""


def mutate_image_data(rng: random.Random, chunks: list[list[bytes]], max_size: int) -> list[list[bytes]]:
    """The image data inflated, mutated, compressed again and stored in one
    to four IDAT chunks where the first one was."""
    raw = inflated(chunks)
    raw = mutate_bytes(raw, max(2 * len(raw), 64))
    compressed = zlib.compress(raw, rng.randrange(10))
    if len(compressed) > max_size:
        compressed = zlib.compress(raw[:max_size], 9)
    pieces = rng.choice((1, 1, 2, 4))
    step = max(1, -(-len(compressed) // pieces))
    new_chunks = [[b"IDAT", compressed[at:at + step]] for at in range(0, len(compressed), step)] or [[b"IDAT", b""]]
    where = next((i for i, (tag, _) in enumerate(chunks) if tag == b"IDAT"), min(1, len(chunks)))
    rest = [c for c in chunks if c[0] != b"IDAT"]
    return rest[:where] + new_chunks + rest[where:]


def mutate_structure(rng: random.Random, chunks: list[list[bytes]]) -> list[list[bytes]]:
    index = rng.randrange(len(chunks))
    kind = rng.randrange(4)
    if kind == 0:
        chunks.insert(rng.randrange(len(chunks) + 1), list(chunks[index]))
    elif kind == 1 and len(chunks) > 1:
        del chunks[index]
    elif kind == 2:
        other = rng.randrange(len(chunks))
        chunks[index], chunks[other] = chunks[other], chunks[index]
    else:
        chunks[index][0] = rng.choice((b"IHDR", b"IDAT", b"IEND", b"tEXt", mutate_bytes(chunks[index][0], 4)))
    return chunks


def mutate(data: bytes, max_size: int, seed: int) -> bytes:
    """One mutation of `data`, at most `max_size` bytes long."""
    rng = random.Random(seed)
    chunks = png_chunks(data)
    if not chunks or rng.random() < 0.2:
        mutated = mutate_bytes(data, max_size)
        if mutated.startswith(PNG_SIGNATURE) and rng.random() < 0.5:
            mutated = with_crcs_fixed(mutated)
        return mutated
    kind = rng.randrange(3)
    if kind == 0:
        chunks = mutate_image_data(rng, chunks, max_size)
    elif kind == 1:
        index = rng.randrange(len(chunks))
        chunks[index][1] = mutate_bytes(chunks[index][1], max(2 * len(chunks[index][1]), 32))
    else:
        chunks = mutate_structure(rng, chunks)
    return (PNG_SIGNATURE + b"".join(chunk(tag, data) for tag, data in chunks))[:max_size]
