"""Mutation fuzzer for SimpleImage.open on arbitrary bytes.

Seeds are the PNG and BMP files of the shared corpus (small ones), a few
generated images and the stored crashers. Each round mutates one input:
byte-level (flip, set, insert, delete, duplicate, splice) or format-aware
(PNG: change a chunk's fields or data and fix its CRC, change the image data
before compression so filters and lengths are reached; BMP: change header
fields). Inputs run in a forked worker, so a crash, a sanitizer report or a
hang kills only the worker; the input that did it is saved in tests/crashers/,
as is any input that raises an exception outside the documented set.

    python fuzz/fuzz_open.py [--seconds N] [--seed S] [--max-size BYTES]

Run it in the sanitized build with tools/fuzz_open.sh. Exit status 1 if
anything was found.
"""

from __future__ import annotations

import argparse
import collections
import hashlib
import os
import pathlib
import random
import signal
import struct
import sys
import time
import zlib

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from open_target import Finding, check_open  # noqa: E402  (puts tests/ on the path)
from builders import PNG_SIGNATURE, bmp_bytes, chunk, corpus_dir, png  # noqa: E402

REPO = pathlib.Path(__file__).resolve().parents[1]
CRASHERS = REPO / "tests" / "crashers"
INTERESTING_32 = [0, 1, 2, 3, 0x7F, 0x80, 0xFF, 0x100, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000,
                  0xFFFFFFFF, 0xFFFFFFFE, 40, 54, 24, 12, 124]
PER_INPUT_SECONDS = 10
# Exit status of a worker that saved Python-level findings itself; any other
# non-zero end (a signal, a sanitizer's exit) means the current input crashed it.
WORKER_FOUND = 3


def generated_seeds() -> list[bytes]:
    rgb = bytes(range(48))
    raw = b"".join(bytes([row % 5]) + rgb[row * 12:(row + 1) * 12] for row in range(4))
    return [png(4, 4, raw), bmp_bytes(4, -4, rgb)]


def load_seeds(max_size: int) -> list[bytes]:
    seeds = generated_seeds()
    corpus = corpus_dir()
    if corpus is not None:
        for path in sorted(corpus.rglob("*")):
            if path.suffix.lower() in (".png", ".bmp") and path.is_file() and path.stat().st_size <= max_size:
                seeds.append(path.read_bytes())
    if CRASHERS.is_dir():
        seeds.extend(p.read_bytes() for p in sorted(CRASHERS.iterdir()) if p.is_file() and p.name != "README.md")
    return seeds


def png_chunks(data: bytes) -> list[list[bytes]] | None:
    """[tag, data] pairs of a PNG whose chunk lengths hold together, else None."""
    if not data.startswith(PNG_SIGNATURE):
        return None
    chunks, pos = [], 8
    while pos + 12 <= len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        if pos + 12 + length > len(data):
            return None
        chunks.append([data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]])
        pos += 12 + length
    return chunks


def mutate_bytes(rng: random.Random, data: bytes, seeds: list[bytes]) -> bytes:
    buf = bytearray(data)
    kind = rng.randrange(7)
    pos = rng.randrange(len(buf) + 1)
    if kind == 0 and buf:
        buf[pos % len(buf)] ^= 1 << rng.randrange(8)
    elif kind == 1 and buf:
        buf[pos % len(buf)] = rng.choice((0, 1, 0x7F, 0x80, 0xFF, rng.randrange(256)))
    elif kind == 2:
        buf[pos:pos] = rng.randbytes(rng.randint(1, 16))
    elif kind == 3 and buf:
        del buf[pos:pos + rng.randint(1, max(1, len(buf) // 8))]
    elif kind == 4 and buf:
        start = rng.randrange(len(buf))
        buf[pos:pos] = buf[start:start + rng.randint(1, 64)]
    elif kind == 5 and len(buf) >= 4:
        at = rng.randrange(len(buf) - 3)
        order = rng.choice("<>")
        buf[at:at + 4] = struct.pack(order + "I", rng.choice(INTERESTING_32))
    else:
        other = rng.choice(seeds)
        cut = rng.randrange(len(other) + 1)
        buf = buf[:pos] + other[cut:]
    return bytes(buf)


def mutate_png(rng: random.Random, chunks: list[list[bytes]]) -> bytes:
    index = rng.randrange(len(chunks))
    tag, data = chunks[index]
    kind = rng.randrange(6)
    if kind == 0 and tag == b"IHDR" and len(data) == 13:
        fields = list(struct.unpack(">IIBBBBB", data))
        field = rng.randrange(7)
        if field < 2:
            fields[field] = rng.choice(INTERESTING_32 + [rng.randrange(1, 64)])
        else:
            fields[field] = rng.choice((0, 1, 2, 3, 4, 6, 8, 16, rng.randrange(256)))
        chunks[index][1] = struct.pack(">IIBBBBB", *fields)
    elif kind == 1 and tag == b"IDAT":
        try:
            raw = bytearray(zlib.decompress(b"".join(d for t, d in chunks if t == b"IDAT")))
        except zlib.error:
            raw = bytearray()
        if raw:
            at = rng.randrange(len(raw))
            choice = rng.randrange(3)
            if choice == 0:
                raw[at] = rng.randrange(8)
            elif choice == 1:
                del raw[at:at + rng.randint(1, 8)]
            else:
                raw[at:at] = rng.randbytes(rng.randint(1, 8))
        chunks = [c for c in chunks if c[0] != b"IDAT"]
        chunks.insert(min(1, len(chunks)), [b"IDAT", zlib.compress(bytes(raw))])
    elif kind == 2:
        chunks[index][1] = mutate_bytes(rng, data, [data])
    elif kind == 3:
        chunks.insert(rng.randrange(len(chunks) + 1), list(rng.choice(chunks)))
    elif kind == 4 and len(chunks) > 1:
        del chunks[index]
    else:
        chunks[index][0] = rng.choice((b"IHDR", b"IDAT", b"IEND", b"tEXt", b"PLTE", rng.randbytes(4)))
    return PNG_SIGNATURE + b"".join(chunk(t, d) for t, d in chunks)


def mutate_bmp(rng: random.Random, data: bytes) -> bytes:
    buf = bytearray(data)
    # Offsets of the header fields: file size, pixel offset, header size,
    # width, height, planes, bit count, compression, image size.
    fields = [(2, "<I"), (10, "<I"), (14, "<I"), (18, "<i"), (22, "<i"), (26, "<H"), (28, "<H"),
              (30, "<I"), (34, "<I")]
    at, fmt = rng.choice(fields)
    if at + struct.calcsize(fmt) > len(buf):
        return mutate_bytes(rng, data, [data])
    if fmt == "<H":
        value = rng.choice((0, 1, 2, 8, 16, 24, 32, 0xFFFF))
    elif fmt == "<i":
        value = rng.choice((0, 1, -1, 3, -3, 0x7FFFFFFF, -0x80000000, 40000, -40000, rng.randrange(-64, 64)))
    else:
        value = rng.choice(INTERESTING_32)
    struct.pack_into(fmt, buf, at, value)
    return bytes(buf)


def mutate(rng: random.Random, seeds: list[bytes], max_size: int) -> bytes:
    data = rng.choice(seeds)
    for _ in range(rng.choice((1, 1, 1, 2, 4))):
        chunks = png_chunks(data)
        if chunks and rng.random() < 0.6:
            data = mutate_png(rng, chunks)
        elif data.startswith(b"BM") and rng.random() < 0.5:
            data = mutate_bmp(rng, data)
        else:
            data = mutate_bytes(rng, data, seeds)
    return data[:max_size]


def save_finding(data: bytes, why: str) -> pathlib.Path:
    CRASHERS.mkdir(parents=True, exist_ok=True)
    path = CRASHERS / f"open-{hashlib.sha1(data).hexdigest()[:16]}.bin"
    path.write_bytes(data)
    print(f"FINDING ({why}) saved as {path}", flush=True)
    return path


def worker(seed: int, deadline: float, seeds: list[bytes], max_size: int, current: pathlib.Path) -> int:
    """Fuzzes until the deadline; returns the number of Python-level findings."""
    rng = random.Random(seed)
    fd = os.open(current, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o644)
    findings = executions = 0
    outcomes: collections.Counter[str] = collections.Counter()
    while time.monotonic() < deadline:
        data = mutate(rng, seeds, max_size)
        # The input goes to disk first, so that the parent can save it if
        # this process dies while decoding it.
        os.ftruncate(fd, 0)
        os.pwrite(fd, data, 0)
        signal.alarm(PER_INPUT_SECONDS)
        try:
            outcomes[check_open(data)[:60]] += 1
        except Finding as finding:
            findings += 1
            save_finding(data, str(finding))
        signal.alarm(0)
        executions += 1
    # How often each outcome came shows how deep the mutations reach.
    print(f"worker {seed}: {executions} executions, {len(outcomes)} distinct outcomes", flush=True)
    for outcome, count in outcomes.most_common():
        print(f"  {count:8d}  {outcome}", flush=True)
    return findings


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--max-size", type=int, default=64 * 1024, help="largest seed and input in bytes")
    args = parser.parse_args()
    seeds = load_seeds(args.max_size)
    seed = args.seed if args.seed is not None else int.from_bytes(os.urandom(4), "little")
    current = REPO / "build" / "fuzz-open-current.bin"
    current.parent.mkdir(parents=True, exist_ok=True)
    deadline = time.monotonic() + args.seconds
    print(f"fuzz_open: {len(seeds)} seeds, seed {seed}, {args.seconds:.0f}s", flush=True)
    found = 0
    while time.monotonic() < deadline:
        pid = os.fork()
        if pid == 0:
            code = WORKER_FOUND if worker(seed, deadline, seeds, args.max_size, current) else 0
            sys.stdout.flush()
            os._exit(code)
        _, status = os.waitpid(pid, 0)
        if os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0:
            break
        if os.WIFEXITED(status) and os.WEXITSTATUS(status) == WORKER_FOUND:
            found += 1
            break
        why = (f"killed by signal {os.WTERMSIG(status)}" if os.WIFSIGNALED(status)
               else f"exit status {os.WEXITSTATUS(status)}")
        save_finding(current.read_bytes(), why)
        found += 1
        # A new worker with a new random stream carries on.
        seed += 1
    print("fuzz_open: " + ("findings saved in tests/crashers/" if found else "no findings"), flush=True)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
