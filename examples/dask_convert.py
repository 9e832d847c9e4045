"""Converting PNG and BMP files on many machines with Dask distributed.

A SimpleImage does not pickle, so no task carries one: the workers open the
images themselves, by path when they see the same files as the client
(--shared), or from the encoded bytes the client sends, sending encoded bytes
back.

    python examples/dask_convert.py --scheduler tcp://host:8786 --to png -o out/ scans/*.bmp
    python examples/dask_convert.py --local 2 --shared --to bmp -o out/ photos/*.png
"""
import argparse
import os
import tempfile

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


def main() -> None:
    parser = argparse.ArgumentParser(description="Convert images on a Dask cluster.")
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--scheduler", help="the address of a running scheduler")
    where.add_argument("--local", type=int, metavar="N", help="start a cluster of N worker processes here")
    parser.add_argument("--shared", action="store_true", help="the workers see the same files by the same paths")
    parser.add_argument("--to", choices=["png", "bmp"], required=True)
    parser.add_argument("-o", "--output", required=True)
    parser.add_argument("sources", nargs="+")
    arguments = parser.parse_args()

    os.makedirs(arguments.output, exist_ok=True)
    destinations = [os.path.join(arguments.output, os.path.splitext(os.path.basename(source))[0]
                                 + "." + arguments.to) for source in arguments.sources]
    # The module holds the interpreter lock while it works: one thread per
    # worker process, and as many processes as cores.
    client = (Client(arguments.scheduler) if arguments.scheduler
              else Client(n_workers=arguments.local, threads_per_worker=1))
    with client:
        if arguments.shared:
            futures = client.map(convert_path, arguments.sources, destinations, target_format=arguments.to,
                                 pure=False)
            destination_of = dict(zip(futures, destinations))
            for future, written in as_completed(futures, with_results=True):
                print(f"{destination_of[future]}: {written} bytes")
        else:
            destination_of = {}
            for source, destination in zip(arguments.sources, destinations):
                with open(source, "rb") as file:
                    destination_of[client.submit(convert_bytes, file.read(), arguments.to, pure=False)] = destination
            for future, data in as_completed(destination_of, with_results=True):
                destination = destination_of[future]
                with open(destination, "wb") as file:
                    file.write(data)
                print(f"{destination}: {len(data)} bytes")


if __name__ == "__main__":
    main()
