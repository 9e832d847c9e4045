"""The command line: `quorvel info FILE...` and `quorvel convert ...`, also run
as `python -m Quorvel`."""
from __future__ import annotations

import argparse
import contextlib
import json
import os
import signal
import sys
import time
from typing import Any, Sequence

from Quorvel import ImageReadError, __version__, load, probe
from Quorvel._convert import Writer, convert_file, describe, pixel_limit_message
from Quorvel._plan import FORMATS, Plan, keep_existing, make_folders, plan_batch, plan_single, walk
from Quorvel._png_reduce import COLOUR_TYPES
from Quorvel._pool import default_jobs, run_batch
from Quorvel._progress import ProgressBar
from Quorvel._signals import ignore_stop_signals, stop_signals_handled
from Quorvel._verdict import record as probed_record

# Twice the size at which Pillow starts warning about decompression bombs.
DEFAULT_MAX_PIXELS = 178_956_970

_INFO_EXAMPLES = """\
examples:
  {prog} info photo.png scan.bmp
  {prog} info --check photos/*.png
  {prog} info --json *.bmp | jq .width
"""
_CONVERT_EXAMPLES = """\
examples:
  {prog} convert photo.png photo.bmp
  {prog} convert scan.bmp --to png --optimize
  {prog} convert photos/ extra.bmp --to png -o converted/
  {prog} convert -j 2 --no-progress -v scans/*.bmp --to png -o out/
"""


def _whole_number(text: str, least: int, most: int | None = None) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if most is not None and not least <= value <= most:
        raise argparse.ArgumentTypeError(f"must be from {least} to {most}, not {value}")
    if value < least:
        raise argparse.ArgumentTypeError(f"must be {least} or more, not {value}")
    return value


def _count(text: str) -> int:
    return _whole_number(text, 0)


def _jobs(text: str) -> int:
    return _whole_number(text, 1)


def _compress_level(text: str) -> int:
    return _whole_number(text, 0, 9)


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
        info = probe(path)
    except OSError as error:
        record["error"] = f"cannot read: {describe(error)}"
        return record
    except ImageReadError as error:
        record["error"] = str(error)
        return record
    record.update(probed_record(info, max_pixels))
    if check:
        record["check"] = _check(path, info.width, info.height, record["over_max_pixels"], max_pixels)
    return record


def _check(path: str, width: int, height: int, over_limit: bool, max_pixels: int) -> dict[str, Any]:
    if over_limit:
        return {"decoded": False, "error": f"not decoded: {pixel_limit_message(width, height, max_pixels)}",
                "seconds": None}
    started = time.perf_counter()
    try:
        load(path, max_pixels=max_pixels or None)
    except (ImageReadError, MemoryError) as error:
        return {"decoded": False, "error": describe(error), "seconds": round(time.perf_counter() - started, 6)}
    return {"decoded": True, "error": None, "seconds": round(time.perf_counter() - started, 6)}


def _info_line(record: dict[str, Any]) -> str:
    """What the headers say, the verdicts they allow (whether the reader
    reads the file, whether SimpleImage.open opens it), then what decoding
    found, if it was tried."""
    verdict = "supported format" if record["readable"] else f"cannot be read: {record['unsupported_reason']}"
    if record["readable"] and record["has_alpha"]:
        verdict += "; its alpha channel is dropped when read"
    if record["opens"]:
        verdict += "; SimpleImage.open opens it"
    else:
        verdict += f"; SimpleImage.open refuses it ({record['open_refusal']})"
    line = f"{record['path']}: {record['format']}, {record['width']}x{record['height']}, " \
           f"{record['description']}; {verdict}"
    check = record.get("check")
    if check is None:
        if record["over_max_pixels"]:
            line += "; over the --max-pixels limit"
    elif check["decoded"]:
        line += f"; decodes ({check['seconds'] * 1000:.1f} ms)"
    elif check["seconds"] is None:
        line += f"; {check['error']}"
    else:
        line += f"; does not decode: {check['error']}"
    return line


def _info(arguments: argparse.Namespace) -> int:
    """Describes each file given, and each .png and .bmp file in a folder
    given, as convert would find them."""
    status = 0
    for given in arguments.files:
        walked = Plan()
        for path in walk(given, walked) if os.path.isdir(given) else [given]:
            status |= _show_info(path, arguments)
        for line in walked.failures:
            print(line, file=sys.stderr, flush=True)
            status = 1
    return status


def _show_info(path: str, arguments: argparse.Namespace) -> int:
    """Prints what `path` is; returns 1 if it could not be read or, with
    --check, decoded."""
    record = _info_record(path, arguments.check, arguments.max_pixels)
    failed = "error" in record or not record.get("check", {"decoded": True})["decoded"]
    if "error" in record:
        print(f"error: {path}: {record['error']}", file=sys.stderr, flush=True)
    elif arguments.json:
        print(json.dumps(record), flush=True)
    else:
        print(_info_line(record), flush=True)
    return int(failed)


def _target_format(destination: str, requested: str | None, parser: argparse.ArgumentParser) -> str:
    by_name = FORMATS.get(os.path.splitext(destination)[1].lower())
    if requested is None:
        if by_name is None:
            parser.error(f"DST must end in .png or .bmp (or give --to), not {destination!r}")
        return by_name
    if by_name is not None and by_name != requested:
        parser.error(f"DST {destination!r} names a .{by_name} file but --to is {requested}")
    return requested


def _writer(target_format: str, arguments: argparse.Namespace, parser: argparse.ArgumentParser) -> Writer:
    if arguments.unfiltered and target_format != "png":
        parser.error("--unfiltered applies to PNG output only")
    if target_format == "png" and not arguments.unfiltered:
        level = 6 if arguments.compress_level is None else arguments.compress_level
        return Writer("png", compress_level=level, optimize=arguments.optimize,
                      colour_type=arguments.colour_type or "rgb")
    if arguments.compress_level is not None or arguments.optimize:
        parser.error("--compress-level and --optimize apply to filtered PNG output only (not BMP, not --unfiltered)")
    if arguments.colour_type is not None:
        parser.error("--colour-type applies to filtered PNG output only (not BMP, not --unfiltered)")
    return Writer(target_format, unfiltered=arguments.unfiltered)


def _convert(arguments: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    sources: list[str] = arguments.sources
    if arguments.output is not None:
        if arguments.to is None:
            parser.error("-o DIR needs --to png or --to bmp")
        return _convert_batch(arguments, _writer(arguments.to, arguments, parser))
    if len(sources) > 2:
        parser.error("more than one SRC needs -o DIR and --to FORMAT")
    source, destination = sources[0], _single_destination(sources, arguments.to, parser)
    target_format = _target_format(destination, arguments.to, parser)
    writer = _writer(target_format, arguments, parser)
    plan = _planned(plan_single(source, destination), arguments)
    for line in plan.failures:
        print(line, file=sys.stderr)
    for line in plan.skipped:
        print(line)
    if not plan.jobs:
        return 1 if plan.failures else 0
    outcome = convert_file(source, destination, writer, arguments.max_pixels)
    for message in outcome.messages:
        print(message, file=sys.stderr)
    if not outcome.converted:
        return 1
    width, height = outcome.size
    print(f"converted {source} ({outcome.source_format}, {width}x{height}) -> "
          f"{destination} ({target_format.upper()})")
    return 0


def _planned(plan: Plan, arguments: argparse.Namespace) -> Plan:
    """The plan less the jobs --no-clobber keeps from running, with the
    folders its jobs write into made."""
    if arguments.no_clobber:
        keep_existing(plan)
    make_folders(plan)
    return plan


def _single_destination(sources: list[str], requested: str | None, parser: argparse.ArgumentParser) -> str:
    """DST as given; in the folder DST names, the source's name with the
    extension of --to; or without DST, that name beside the source."""
    source = sources[0]
    if len(sources) == 1:
        if requested is None:
            parser.error("give DST, or --to FORMAT to write beside SRC")
        return os.path.splitext(source)[0] + "." + requested
    destination = sources[1]
    if os.path.isdir(destination) or destination.endswith(os.sep):
        if requested is None:
            parser.error(f"DST {destination!r} is a folder: give --to png or --to bmp")
        return os.path.join(destination, os.path.splitext(os.path.basename(source))[0] + "." + requested)
    return destination


def _convert_batch(arguments: argparse.Namespace, writer: Writer) -> int:
    """Converts many files; a file or folder that fails costs only its own
    files, and the summary line always ends the run."""
    started = time.perf_counter()
    plan = _planned(plan_batch(arguments.sources, arguments.output, arguments.to), arguments)
    for line in plan.failures + (plan.skipped if arguments.verbose else []):
        print(line, file=sys.stderr, flush=True)
    show_progress = sys.stderr.isatty() if arguments.progress is None else arguments.progress
    progress = ProgressBar(len(plan.jobs), sys.stderr) if show_progress and plan.jobs else None
    totals = run_batch(plan.jobs, writer, arguments.max_pixels, arguments.jobs, progress, arguments.verbose)
    failed = totals.files - totals.converted + len(plan.failures)
    skipped = len(plan.skipped)
    files = totals.files + len(plan.failures) + skipped
    print(f"{files} file{'s' if files != 1 else ''}: {totals.converted} converted, {failed} failed, "
          f"{skipped} skipped; {_size(totals.bytes_in)} in, {_size(totals.bytes_out)} out; "
          f"{time.perf_counter() - started:.2f} s")
    return 1 if failed else 0


def _parsers(prog: str) -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    """The whole command line, and the parser of each command by its name."""
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Inspect and convert PNG and BMP images with Quorvel's own codecs.",
        epilog=f"{prog} COMMAND --help shows examples for each command.")
    parser.add_argument("--version", action="version", version=f"Quorvel {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    formatter = argparse.RawDescriptionHelpFormatter

    def max_pixels_option(command: argparse.ArgumentParser) -> None:
        command.add_argument(
            "--max-pixels", type=_count, default=DEFAULT_MAX_PIXELS, metavar="N",
            help=f"refuse to decode an image of more than N pixels, read from its header "
                 f"(default {DEFAULT_MAX_PIXELS:,}; 0: no limit)")

    info = commands.add_parser(
        "info", help="describe images from their headers", formatter_class=formatter,
        epilog=_INFO_EXAMPLES.format(prog=prog),
        description="Describe each FILE from its headers alone (format, size, PNG colour type,\n"
                    "bit depth, interlacing and palette size, or BMP header kind, bits per pixel,\n"
                    "compression and row order), say whether the format is supported (Quorvel.load\n"
                    "reads it), and if not, why and what to do, and whether SimpleImage.open opens\n"
                    "it. A folder is walked for .png and .bmp files, as convert walks it. --check\n"
                    "also decodes each file and says whether it decodes. Exit status 1 if any file\n"
                    "could not be read or, with --check, decoded.")
    info.add_argument("files", nargs="+", metavar="FILE", help="a PNG or BMP file, or a folder of them")
    info.add_argument("--check", action="store_true", help="also decode each file fully and report the result")
    info.add_argument("--json", action="store_true", help="print one JSON object per file")
    max_pixels_option(info)

    convert = commands.add_parser(
        "convert", help="convert images between PNG and BMP", formatter_class=formatter,
        epilog=_CONVERT_EXAMPLES.format(prog=prog),
        usage=f"{prog} convert [options] SRC DST\n"
              f"       {prog} convert [options] SRC [FOLDER] --to {{png,bmp}}\n"
              f"       {prog} convert [options] SRC... --to {{png,bmp}} -o DIR",
        description="Read SRC (PNG or BMP, recognised by content) and write it to DST as PNG or\n"
                    "BMP, chosen by --to or by DST's extension (.png or .bmp). Given a FOLDER (or a\n"
                    "DST ending in /) or nothing, write SRC's name with the extension of --to in\n"
                    "it, or beside SRC. Missing folders are made. With -o, convert every SRC into\n"
                    "DIR; folders among them are walked for .png and .bmp files, which keep their\n"
                    "relative layout (other files are skipped); several folders each get a folder\n"
                    "of their name in DIR. No source is ever written. A destination is replaced\n"
                    "only once the new file is complete (through a symbolic link, which stays). A\n"
                    "file that fails is reported in one line and the rest go on; a summary line\n"
                    "ends the batch. Exit status 1 if any file failed; 130 if interrupted (Ctrl-C),\n"
                    "143 if terminated (SIGTERM), 129 on a hang-up (SIGHUP).")
    convert.add_argument("sources", nargs="+", metavar="SRC", help="images to read (and DST without -o)")
    convert.add_argument("--to", choices=sorted(set(FORMATS.values())), help="the format to write")
    convert.add_argument("-o", "--output", metavar="DIR", help="the directory to write into (created if missing)")
    convert.add_argument("-j", "--jobs", type=_jobs, default=default_jobs(), metavar="N",
                         help="worker processes for a batch (default: the CPUs available, here %(default)s)")
    convert.add_argument("-v", "--verbose", action="store_true",
                         help="in a batch, name each file converted and each file a folder walk skips")
    convert.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                         help="show a progress bar on stderr (default: when stderr is a terminal)")
    convert.add_argument("--unfiltered", action="store_true",
                         help="write PNG files byte for byte as SimpleImage.save does: no row filters and "
                              "zlib's default settings, so far larger files (default: each row filtered, "
                              "as Quorvel.save_png writes)")
    convert.add_argument("--compress-level", type=_compress_level, metavar="N",
                         help="for PNG, how hard to compress, as zlib's levels: 0 stores, 1 is the fastest, "
                              "9 the smallest (default 6; Quorvel.save_png's compress_level)")
    convert.add_argument("--optimize", action="store_true",
                         help="for PNG, work harder for a smaller file (Quorvel.save_png's optimize)")
    convert.add_argument("--colour-type", choices=COLOUR_TYPES,
                         help="for PNG: auto writes a greyscale or palette PNG where one holds the same pixels "
                              "in a smaller file, which SimpleImage.open does not read (default rgb; "
                              "Quorvel.save_png's colour_type)")
    convert.add_argument("--no-clobber", action="store_true",
                         help="keep each destination that exists, and count its source as skipped")
    max_pixels_option(convert)
    return parser, {"info": info, "convert": convert}


def _main(argv: Sequence[str] | None, prog: str) -> int:
    parser, commands = _parsers(prog)
    words = sys.argv[1:] if argv is None else list(argv)
    if not words or words[0] not in commands:
        # No command, an unknown one, --help or --version.
        arguments = parser.parse_args(words)
    else:
        # Options may come between the file names, as in `info a.png --json b.png`.
        arguments = commands[words[0]].parse_intermixed_args(words[1:])
        arguments.command = words[0]
    if arguments.command == "info":
        return _info(arguments)
    return _convert(arguments, commands["convert"])


def _say(line: str) -> None:
    """A last line on stderr, which may be gone (a closed terminal, a reader
    that has left)."""
    with contextlib.suppress(OSError):
        print(line, file=sys.stderr, flush=True)


def main(argv: Sequence[str] | None = None, prog: str = "quorvel") -> int:
    """Runs the command line; returns its exit status. SIGTERM and SIGHUP stop
    it as Ctrl-C does."""
    with stop_signals_handled():
        try:
            return _main(argv, prog)
        except KeyboardInterrupt as interruption:
            # Whatever was being written has been removed by now; another stop
            # signal must not turn this line into a traceback.
            ignore_stop_signals()
            number = getattr(interruption, "signum", signal.SIGINT)
            _say("interrupted" if number == signal.SIGINT else f"interrupted by {signal.Signals(number).name}")
            return 128 + number
        except BrokenPipeError:
            # The reader of the output has gone (as with `| head`): stop quietly.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 1


if __name__ == "__main__":
    sys.exit(main(prog="python -m Quorvel"))
