"""Converting PNG and BMP files on many machines with Dask distributed.

A SimpleImage does not pickle, so no task carries one: the workers open the
images themselves, by path when they see the same files as the client
(--shared), or from the encoded bytes the client sends, sending encoded bytes
back. A file that cannot be read, decoded or written is named in one line on
stderr and the others go on; a summary line ends the run, and the exit status
is 1 if any file failed.

    python examples/dask_convert.py --scheduler tcp://host:8786 --to png -o out/ scans/*.bmp
    python examples/dask_convert.py --local 2 --shared --to bmp -o out/ photos/*.png
"""
import argparse
import logging
import os
import sys
import tempfile
import time

from dask.distributed import Client, as_completed

from Quorvel import SimpleImage


def save(image: SimpleImage, path: str, target_format: str) -> None:
    if target_format == "png":
        image.save(path)
    else:
        image.saveBmp(path)


def convert_path(source: str, destination: str, target_format: str) -> int:
    """On a worker that sees the client's files: returns the bytes written."""
    save(SimpleImage.open(source), destination, target_format)
    return os.path.getsize(destination)


def convert_bytes(data: bytes, target_format: str) -> bytes:
    """On any worker: PNG or BMP bytes in, the converted file's bytes out."""
    image = SimpleImage.open(data)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "image." + target_format)
        save(image, path, target_format)
        with open(path, "rb") as file:
            return file.read()


def describe(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return f"{type(error).__name__}: {error}" if str(error) else type(error).__name__


def main() -> int:
    parser = argparse.ArgumentParser(description="Convert images on a Dask cluster.")
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--scheduler", help="the address of a running scheduler")
    where.add_argument("--local", type=int, metavar="N", help="start a cluster of N worker processes here")
    parser.add_argument("--shared", action="store_true", help="the workers see the same files by the same paths")
    parser.add_argument("--to", choices=["png", "bmp"], required=True)
    parser.add_argument("-o", "--output", required=True)
    parser.add_argument("sources", nargs="+")
    arguments = parser.parse_args()

    started = time.perf_counter()
    os.makedirs(arguments.output, exist_ok=True)
    destinations = [os.path.join(arguments.output, os.path.splitext(os.path.basename(source))[0]
                                 + "." + arguments.to) for source in arguments.sources]
    failed = 0

    def failure(path: str, what: str) -> None:
        nonlocal failed
        failed += 1
        print(f"error: {path}: {what}", file=sys.stderr, flush=True)

    # The module holds the interpreter lock while it works: one thread per
    # worker process, and as many processes as cores. A failed file is named
    # here, so the local workers need not log it too.
    client = (Client(arguments.scheduler) if arguments.scheduler
              else Client(n_workers=arguments.local, threads_per_worker=1, silence_logs=logging.CRITICAL))
    with client:
        job_of = {}
        for source, destination in zip(arguments.sources, destinations):
            if arguments.shared:
                future = client.submit(convert_path, source, destination, arguments.to, pure=False)
            else:
                try:
                    with open(source, "rb") as file:
                        future = client.submit(convert_bytes, file.read(), arguments.to, pure=False)
                except OSError as error:
                    failure(source, f"cannot read: {describe(error)}")
                    continue
            job_of[future] = (source, destination)
        for future in as_completed(job_of):
            source, destination = job_of[future]
            try:
                result = future.result()
            except Exception as error:  # raised on the worker: a damaged or unsupported file, say
                failure(source, describe(error))
                continue
            if not arguments.shared:
                try:
                    with open(destination, "wb") as written:
                        written.write(result)
                except OSError as error:
                    failure(destination, f"cannot write: {describe(error)}")
    files = len(arguments.sources)
    print(f"{files} files: {files - failed} converted, {failed} failed; {time.perf_counter() - started:.2f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
