"""Converting files for the command line: one file in this process, or many
in worker processes, with every destination replaced atomically."""
from __future__ import annotations

import contextlib
import multiprocessing
import os
import signal
import stat
import sys
import tempfile
import threading
import time
from collections import deque
from dataclasses import dataclass, field
from multiprocessing.connection import Connection, wait
from typing import Callable, Iterator, TextIO, cast

from Quorvel._headers import HeaderError, read_header
from Quorvel._png import save_png
from Quorvel.tessarin_ext import SimpleImage

# By the format written; "png-unfiltered" is PNG exactly as SimpleImage.save
# writes it (--unfiltered).
WRITERS: dict[str, Callable[[SimpleImage, str], None]] = {
    "png": save_png,
    "png-unfiltered": SimpleImage.save,
    "bmp": SimpleImage.saveBmp,
}


@dataclass
class Outcome:
    """One file's conversion: what happened, and the lines to show for it."""
    source: str
    destination: str
    converted: bool = False
    source_format: str = ""
    size: tuple[int, int] = (0, 0)
    bytes_in: int = 0
    bytes_out: int = 0
    messages: list[str] = field(default_factory=list)


class _Failure(Exception):
    """A file that could not be converted; its message is shown as it is."""


def describe(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def pixel_limit_message(width: int, height: int, max_pixels: int) -> str:
    return (f"{width}x{height} is {width * height:,} pixels, over the limit of {max_pixels:,} "
            "(--max-pixels; 0 lifts it)")


def convert_file(source: str, destination: str, target_format: str, max_pixels: int) -> Outcome:
    """Converts one file; never raises for a bad file, only for an interruption."""
    outcome = Outcome(source, destination)
    try:
        image = _decode(source, max_pixels, outcome)
        try:
            written = write_through(image, destination, WRITERS[target_format])
            outcome.bytes_out = os.path.getsize(written)
        except OSError as error:
            raise _Failure(f"{destination}: cannot write: {describe(error)}") from None
    except _Failure as failure:
        outcome.messages.append(f"error: {failure}")
        return outcome
    outcome.converted = True
    return outcome


def _decode(source: str, max_pixels: int, outcome: Outcome) -> SimpleImage:
    try:
        with open(source, "rb") as file:
            try:
                header = read_header(file, every_ihdr=True)
            except HeaderError as error:
                raise _Failure(f"{source}: {error}") from None
            if header.refusal is not None:
                raise _Failure(f"{source}: cannot be opened: {header.refusal}")
            if 0 < max_pixels < header.pixels:
                raise _Failure(f"{source}: {pixel_limit_message(header.width, header.height, max_pixels)}")
            file.seek(0)
            data = file.read()
    except OSError as error:
        raise _Failure(f"{source}: cannot read: {describe(error)}") from None
    try:
        image = SimpleImage.open(data)
    except Exception as error:
        raise _Failure(f"{source}: cannot decode this {header.format} file: {describe(error)}") from None
    outcome.source_format = header.format
    outcome.size = (image.width, image.height)
    outcome.bytes_in = len(data)
    if header.has_alpha:
        outcome.messages.append(f"warning: {source}: RGBA image: its alpha channel is dropped")
    return image


@contextlib.contextmanager
def _interruptions_held() -> Iterator[None]:
    """Holds SIGINT and SIGTERM back while a temporary file is created, renamed
    or removed, so that an interruption cannot strand one; they are delivered
    (and raise) as soon as the block ends."""
    if not hasattr(signal, "pthread_sigmask") or threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _temporary_prefix(pid: int) -> str:
    # The writer's process id, so that what a killed worker leaves can be found.
    return f".quorvel-{pid}-"


def _take_over_metadata(temporary: str, target: str) -> None:
    """Gives the new file the mode of the file it replaces (and its owner and
    group, where allowed), or the mode a new file gets; mkstemp made it private."""
    try:
        existing = os.stat(target)
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        return
    if hasattr(os, "chown"):
        with contextlib.suppress(PermissionError):
            os.chown(temporary, existing.st_uid, existing.st_gid)
    os.chmod(temporary, stat.S_IMODE(existing.st_mode))


def write_through(image: SimpleImage, destination: str, writer: Callable[[SimpleImage, str], None]) -> str:
    """Writes beside the file that `destination` names (through any symbolic
    links, which stay), then renames over it: whatever happens, that file is
    either untouched or completely replaced. Returns the path written."""
    target = os.path.realpath(destination)
    # Renaming would replace even a file its owner made read-only; refuse it
    # as writing in place would.
    if os.path.lexists(target) and not os.path.isdir(target) and not os.access(target, os.W_OK):
        raise PermissionError(13, os.strerror(13), destination)
    temporary: str | None = None
    try:
        with _interruptions_held():
            handle, temporary = tempfile.mkstemp(prefix=_temporary_prefix(os.getpid()), suffix=".tmp",
                                                 dir=os.path.dirname(target))
            os.close(handle)
        _take_over_metadata(temporary, target)
        writer(image, temporary)
        with _interruptions_held():
            os.replace(temporary, target)
            temporary = None
    except BaseException:
        with _interruptions_held(), contextlib.suppress(OSError):
            if temporary is not None:
                os.unlink(temporary)
        raise
    return target


def default_jobs() -> int:
    """The number of CPUs this process may run on."""
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1


class ProgressBar:
    """One line on a terminal: files done of total, rate, time left."""

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total = total
        self.stream = stream
        self.done = 0
        self.started = time.monotonic()
        self.drawn_at = 0.0

    def advance(self) -> None:
        self.done += 1
        self.draw(force=self.done == self.total)

    def draw(self, force: bool = False) -> None:
        now = time.monotonic()
        if not force and now - self.drawn_at < 0.1:
            return
        self.drawn_at = now
        elapsed = now - self.started
        rate = self.done / elapsed if self.done and elapsed > 0 else 0.0
        left = f"{_clock((self.total - self.done) / rate)} left" if rate else "--:-- left"
        text = f" {self.done}/{self.total} files  {rate:.1f} files/s  {left}"
        try:
            columns = os.get_terminal_size(self.stream.fileno()).columns
        except (OSError, ValueError):
            columns = 80
        width = max(10, min(40, columns - len(text) - 3))
        filled = width * self.done // max(1, self.total)
        self.stream.write(f"\r[{'#' * filled}{'-' * (width - filled)}]{text}\x1b[K")
        self.stream.flush()

    def clear(self) -> None:
        self.stream.write("\r\x1b[K")
        self.stream.flush()


def _clock(seconds: float) -> str:
    minutes, seconds = divmod(int(seconds + 0.5), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02}:{seconds:02}" if hours else f"{minutes}:{seconds:02}"


@dataclass
class Totals:
    files: int = 0
    converted: int = 0
    bytes_in: int = 0
    bytes_out: int = 0

    def add(self, outcome: Outcome) -> None:
        self.files += 1
        self.converted += outcome.converted
        self.bytes_in += outcome.bytes_in
        self.bytes_out += outcome.bytes_out


def run_batch(jobs: list[tuple[str, str]], target_format: str, max_pixels: int, workers: int,
              progress: ProgressBar | None) -> Totals:
    """Converts every (source, destination) pair, in `workers` processes when
    more than one, reporting each file's lines on stderr as it finishes."""
    totals = Totals()

    def report(outcome: Outcome) -> None:
        totals.add(outcome)
        if outcome.messages and progress is not None:
            progress.clear()
        for message in outcome.messages:
            print(message, file=sys.stderr, flush=True)
        if progress is not None:
            progress.advance()

    try:
        if progress is not None:
            progress.draw(force=True)
        if workers <= 1 or len(jobs) <= 1:
            for source, destination in jobs:
                report(convert_file(source, destination, target_format, max_pixels))
        else:
            _Pool(min(workers, len(jobs)), target_format, max_pixels).run(jobs, report, progress)
    finally:
        if progress is not None:
            progress.clear()
    return totals


def _worker(connection: Connection, target_format: str, max_pixels: int) -> None:
    """A worker process: converts the jobs it is sent until it is sent None."""
    signal.signal(signal.SIGINT, _interrupted)
    signal.signal(signal.SIGTERM, _interrupted)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT, signal.SIGTERM})
    with contextlib.suppress(KeyboardInterrupt, EOFError, BrokenPipeError):
        while (job := connection.recv()) is not None:
            source, destination = job
            connection.send(convert_file(source, destination, target_format, max_pixels))


def _interrupted(signum: int, frame: object) -> None:
    # The first interruption stops the work; later ones (the terminal's and
    # the parent's) must not break the clean-up it starts.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise KeyboardInterrupt


def _remove_temporary_files(pid: int | None, destination: str) -> None:
    """Removes what a worker that died while writing `destination` left."""
    folder = os.path.dirname(os.path.realpath(destination))
    prefix = _temporary_prefix(pid or 0)
    with contextlib.suppress(OSError):
        for name in os.listdir(folder):
            if name.startswith(prefix) and name.endswith(".tmp"):
                with contextlib.suppress(OSError):
                    os.unlink(os.path.join(folder, name))


class _Pool:
    """Worker processes fed one job at a time through a pipe each, so that the
    parent always knows which file a worker holds."""

    def __init__(self, size: int, target_format: str, max_pixels: int) -> None:
        # fork starts a worker in milliseconds with the module already loaded;
        # the parent has no threads to lose.
        methods = multiprocessing.get_all_start_methods()
        self.context = multiprocessing.get_context("fork" if "fork" in methods else None)
        self.size = size
        self.arguments = (target_format, max_pixels)
        self.processes: list[multiprocessing.process.BaseProcess] = []

    def _start(self) -> tuple[Connection, multiprocessing.process.BaseProcess]:
        parent_end, child_end = self.context.Pipe()
        process = self.context.Process(target=_worker, args=(child_end, *self.arguments), daemon=True)
        # A forked worker would flush a copy of anything still buffered.
        sys.stdout.flush()
        sys.stderr.flush()
        # The worker starts with interruptions held until it has its own
        # handlers in place.
        with _interruptions_held():
            process.start()
        child_end.close()
        self.processes.append(process)
        return parent_end, process

    def run(self, jobs: list[tuple[str, str]], report: Callable[[Outcome], None],
            progress: ProgressBar | None) -> None:
        waiting = deque(jobs)
        busy: dict[Connection, tuple[multiprocessing.process.BaseProcess, tuple[str, str]]] = {}

        def hand_out(connection: Connection, process: multiprocessing.process.BaseProcess) -> None:
            if not waiting:
                connection.send(None)
                connection.close()
                return
            job = waiting.popleft()
            busy[connection] = (process, job)
            try:
                connection.send(job)
            except OSError:
                pass  # the worker is gone: seen as an end of file below

        try:
            for _ in range(self.size):
                hand_out(*self._start())
            while busy:
                for ready in wait(list(busy), timeout=0.25 if progress else None):
                    connection = cast(Connection, ready)
                    process, (source, destination) = busy.pop(connection)
                    try:
                        outcome = connection.recv()
                    except (EOFError, OSError):
                        process.join()
                        outcome = Outcome(source, destination, messages=[
                            f"error: {source}: the worker process converting it ended "
                            f"unexpectedly (exit status {process.exitcode})"])
                        _remove_temporary_files(process.pid, destination)
                        connection.close()
                        connection, process = self._start()
                    report(outcome)
                    hand_out(connection, process)
                if progress is not None:
                    progress.draw()
        except KeyboardInterrupt:
            self._stop()
            raise
        for process in self.processes:
            process.join()

    def _stop(self) -> None:
        """Interrupts every worker and waits for each to remove what it was
        writing; further Ctrl-C would only cut that short, so it is ignored."""
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        for process in self.processes:
            if process.is_alive() and process.pid is not None:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(process.pid, signal.SIGINT)
        for process in self.processes:
            process.join()
