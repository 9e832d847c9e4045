"""The command line: `python -m Quorvel info FILE...` and `python -m Quorvel convert ...`."""
from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import time
from typing import Any, Sequence

from Quorvel import __version__
from Quorvel._convert import (ProgressBar, convert_file, default_jobs, describe, pixel_limit_message,
                              run_batch)
from Quorvel._headers import HeaderError, read_header
from Quorvel.tessarin_ext import SimpleImage

# Twice the size at which Pillow starts warning about decompression bombs.
DEFAULT_MAX_PIXELS = 178_956_970
_FORMATS = {".png": "png", ".bmp": "bmp"}

_INFO_EXAMPLES = """\
examples:
  python -m Quorvel info photo.png scan.bmp
  python -m Quorvel info --check photos/*.png
  python -m Quorvel info --json *.bmp | jq .width
"""
_CONVERT_EXAMPLES = """\
examples:
  python -m Quorvel convert photo.png photo.bmp
  python -m Quorvel convert photos/ extra.bmp --to png -o converted/
  python -m Quorvel convert -j 2 --no-progress scans/*.bmp --to png -o out/
"""


def _whole_number(text: str, least: int) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < least:
        raise argparse.ArgumentTypeError(f"must be {least} or more, not {value}")
    return value


def _count(text: str) -> int:
    return _whole_number(text, 0)


def _jobs(text: str) -> int:
    return _whole_number(text, 1)


def _size(count: int) -> str:
    if count < 1000:
        return f"{count} B"
    scaled = float(count)
    for unit in ("kB", "MB", "GB"):
        scaled /= 1000
        if scaled < 1000 or unit == "GB":
            break
    return f"{scaled:.1f} {unit}"


def _info_record(path: str, check: bool, max_pixels: int) -> dict[str, Any]:
    record: dict[str, Any] = {"path": path}
    try:
        with open(path, "rb") as file:
            header = read_header(file)
    except OSError as error:
        record["error"] = f"cannot read: {describe(error)}"
        return record
    except HeaderError as error:
        record["error"] = str(error)
        return record
    over_limit = 0 < max_pixels < header.pixels
    record.update({
        "format": header.format, "width": header.width, "height": header.height, "pixels": header.pixels,
        "description": header.description, "header": header.fields, "opens": header.refusal is None,
        "refusal": header.refusal, "has_alpha": header.has_alpha, "over_max_pixels": over_limit,
    })
    if check:
        record["check"] = _check(path, header.width, header.height, over_limit, max_pixels)
    return record


def _check(path: str, width: int, height: int, over_limit: bool, max_pixels: int) -> dict[str, Any]:
    if over_limit:
        return {"decoded": False, "error": f"not decoded: {pixel_limit_message(width, height, max_pixels)}",
                "seconds": None}
    started = time.perf_counter()
    try:
        SimpleImage.open(path)
    except Exception as error:
        return {"decoded": False, "error": describe(error), "seconds": round(time.perf_counter() - started, 6)}
    return {"decoded": True, "error": None, "seconds": round(time.perf_counter() - started, 6)}


def _info_line(record: dict[str, Any]) -> str:
    verdict = "opens" if record["opens"] else f"cannot be opened: {record['refusal']}"
    line = f"{record['path']}: {record['format']}, {record['width']}x{record['height']}, " \
           f"{record['description']}; {verdict}"
    check = record.get("check")
    if check is None:
        if record["over_max_pixels"]:
            line += "; over the --max-pixels limit"
    elif check["decoded"]:
        line += f"; check: decoded in {check['seconds'] * 1000:.1f} ms"
    else:
        line += f"; check failed: {check['error']}"
    return line


def _info(arguments: argparse.Namespace) -> int:
    status = 0
    for path in arguments.files:
        record = _info_record(path, arguments.check, arguments.max_pixels)
        failed = "error" in record or not record.get("check", {"decoded": True})["decoded"]
        status |= failed
        if arguments.json:
            print(json.dumps(record), flush=True)
        elif "error" in record:
            print(f"error: {path}: {record['error']}", file=sys.stderr, flush=True)
        else:
            print(_info_line(record), flush=True)
    return status


def _target_format(destination: str, requested: str | None, parser: argparse.ArgumentParser) -> str:
    by_name = _FORMATS.get(os.path.splitext(destination)[1].lower())
    if requested is None:
        if by_name is None:
            parser.error(f"DST must end in .png or .bmp (or give --to), not {destination!r}")
        return by_name
    if by_name is not None and by_name != requested:
        parser.error(f"DST {destination!r} names a .{by_name} file but --to is {requested}")
    return requested


def _batch_jobs(sources: Sequence[str], directory: str, target_format: str) -> tuple[list[tuple[str, str]], list[str]]:
    """The (source, destination) pairs of a batch, and the lines for sources
    that cannot be part of it. Directories are walked for .png and .bmp files,
    which keep their place relative to the directory given."""
    jobs: list[tuple[str, str]] = []
    problems: list[str] = []
    claimed: dict[str, str] = {}

    def add(source: str, relative: str) -> None:
        destination = os.path.join(directory, os.path.splitext(relative)[0] + "." + target_format)
        key = os.path.normcase(os.path.abspath(destination))
        if key in claimed:
            problems.append(f"error: {source}: skipped: {destination} is the destination of {claimed[key]}")
            return
        claimed[key] = source
        jobs.append((source, destination))

    def unreadable(error: OSError) -> None:
        problems.append(f"error: {error.filename}: cannot read: {describe(error)}")

    for source in sources:
        if not os.path.isdir(source):
            add(source, os.path.basename(source))
            continue
        for root, folders, names in os.walk(source, onerror=unreadable):
            folders.sort()
            for name in sorted(names):
                if os.path.splitext(name)[1].lower() in _FORMATS:
                    path = os.path.join(root, name)
                    add(path, os.path.relpath(path, source))
    return jobs, problems


def _writer(target_format: str, arguments: argparse.Namespace, parser: argparse.ArgumentParser) -> str:
    """The key of the writer in WRITERS: the format, or PNG as save writes it."""
    if not arguments.unfiltered:
        return target_format
    if target_format != "png":
        parser.error("--unfiltered applies to PNG output only")
    return "png-unfiltered"


def _convert(arguments: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    sources: list[str] = arguments.sources
    if arguments.output is None:
        if len(sources) == 1:
            parser.error("the following arguments are required: DST")
        if len(sources) > 2:
            parser.error("more than one SRC needs -o DIR and --to FORMAT")
        source, destination = sources
        target_format = _target_format(destination, arguments.to, parser)
        outcome = convert_file(source, destination, _writer(target_format, arguments, parser), arguments.max_pixels)
        for message in outcome.messages:
            print(message, file=sys.stderr)
        if not outcome.converted:
            return 1
        width, height = outcome.size
        print(f"converted {source} ({outcome.source_format}, {width}x{height}) -> "
              f"{destination} ({target_format.upper()})")
        return 0

    if arguments.to is None:
        parser.error("-o DIR needs --to png or --to bmp")
    started = time.perf_counter()
    jobs, problems = _batch_jobs(sources, arguments.output, arguments.to)
    for problem in problems:
        print(problem, file=sys.stderr)
    try:
        for folder in sorted({os.path.dirname(destination) for _, destination in jobs}):
            os.makedirs(folder or ".", exist_ok=True)
    except OSError as error:
        print(f"error: {error.filename}: cannot create the directory: {describe(error)}", file=sys.stderr)
        return 1
    show_progress = sys.stderr.isatty() if arguments.progress is None else arguments.progress
    progress = ProgressBar(len(jobs), sys.stderr) if show_progress and jobs else None
    totals = run_batch(jobs, _writer(arguments.to, arguments, parser), arguments.max_pixels, arguments.jobs, progress)
    failed = totals.files - totals.converted + len(problems)
    print(f"{totals.files + len(problems)} files: {totals.converted} converted, {failed} failed; "
          f"{_size(totals.bytes_in)} in, {_size(totals.bytes_out)} out; {time.perf_counter() - started:.2f} s")
    return 1 if failed else 0


def _parsers() -> tuple[argparse.ArgumentParser, argparse.ArgumentParser]:
    """The whole command line, and its `convert` part for reporting misuse."""
    parser = argparse.ArgumentParser(
        prog="python -m Quorvel",
        description="Inspect and convert PNG and BMP images with Quorvel's own codecs.",
        epilog="python -m Quorvel COMMAND --help shows examples for each command.")
    parser.add_argument("--version", action="version", version=f"Quorvel {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    formatter = argparse.RawDescriptionHelpFormatter

    def max_pixels_option(command: argparse.ArgumentParser) -> None:
        command.add_argument(
            "--max-pixels", type=_count, default=DEFAULT_MAX_PIXELS, metavar="N",
            help=f"refuse to decode an image of more than N pixels, read from its header "
                 f"(default {DEFAULT_MAX_PIXELS:,}; 0: no limit)")

    info = commands.add_parser(
        "info", help="describe images from their headers", formatter_class=formatter, epilog=_INFO_EXAMPLES,
        description="Describe each FILE from its headers alone (format, size, PNG colour type,\n"
                    "bit depth and interlacing, or BMP header kind, bits per pixel and compression)\n"
                    "and say whether it can be opened, and if not, why. Exit status 1 if any file\n"
                    "could not be read or, with --check, decoded.")
    info.add_argument("files", nargs="+", metavar="FILE", help="a PNG or BMP file")
    info.add_argument("--check", action="store_true", help="also decode each file fully and report the result")
    info.add_argument("--json", action="store_true", help="print one JSON object per file")
    max_pixels_option(info)

    convert = commands.add_parser(
        "convert", help="convert images between PNG and BMP", formatter_class=formatter,
        epilog=_CONVERT_EXAMPLES,
        usage="python -m Quorvel convert [options] SRC DST\n"
              "       python -m Quorvel convert [options] SRC... --to {png,bmp} -o DIR",
        description="Read SRC (PNG or BMP, recognised by content) and write it to DST as PNG or\n"
                    "BMP, chosen by --to or by DST's extension (.png or .bmp). With -o, convert every\n"
                    "SRC into DIR; directories among them are walked for .png and .bmp files, which\n"
                    "keep their relative layout. A destination is replaced only once the new file is\n"
                    "complete (through a symbolic link, which stays). A bad file is reported in one\n"
                    "line and the rest go on; exit status 1 if any failed, 130 if interrupted.")
    convert.add_argument("sources", nargs="+", metavar="SRC", help="images to read (and DST without -o)")
    convert.add_argument("--to", choices=sorted(set(_FORMATS.values())), help="the format to write")
    convert.add_argument("-o", "--output", metavar="DIR", help="the directory to write into (created if missing)")
    convert.add_argument("-j", "--jobs", type=_jobs, default=default_jobs(), metavar="N",
                         help="worker processes for a batch (default: the CPUs available, here %(default)s)")
    convert.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                         help="show a progress bar on stderr (default: when stderr is a terminal)")
    convert.add_argument("--unfiltered", action="store_true",
                         help="write PNG files byte for byte as SimpleImage.save does: no row filters and "
                              "zlib's default settings, so far larger files (default: each row filtered, "
                              "as Quorvel.save_png writes)")
    max_pixels_option(convert)
    return parser, convert


def _main(argv: Sequence[str] | None) -> int:
    parser, convert_parser = _parsers()
    arguments = parser.parse_args(argv)
    if arguments.command == "info":
        return _info(arguments)
    return _convert(arguments, convert_parser)


def main(argv: Sequence[str] | None = None) -> int:
    try:
        return _main(argv)
    except KeyboardInterrupt:
        # Whatever was being written has been removed by now; a second Ctrl-C
        # must not turn this line into a traceback.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        print("interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of the output has gone (as with `| head`): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
