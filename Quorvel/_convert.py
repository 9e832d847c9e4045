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
from collections import Counter, deque
from dataclasses import dataclass, field
from multiprocessing.connection import Connection, wait
from typing import Callable, Iterator, Sequence, TextIO, cast

from Quorvel._headers import HeaderError, read_header
from Quorvel._png import save_png
from Quorvel.tessarin_ext import SimpleImage


def write_png(image: SimpleImage, path: str) -> None:
    """Where the command line writes a PNG by default: each row filtered."""
    save_png(image, path)


# By the format written; "png-unfiltered" is PNG exactly as SimpleImage.save
# writes it (--unfiltered).
WRITERS: dict[str, Callable[[SimpleImage, str], None]] = {
    "png": write_png,
    "png-unfiltered": SimpleImage.save,
    "bmp": SimpleImage.saveBmp,
}
# The signals that stop a command as Ctrl-C does: from the terminal, from a
# closed terminal, and from whatever stops processes (kill, timeout, systemd,
# a container's stop, a CI cancellation).
STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))
# How often a worker looks whether the process that started it is still there.
_PARENT_CHECK_SECONDS = 0.25


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


class Interrupted(KeyboardInterrupt):
    """A stop asked for by a signal: every clean-up that Ctrl-C runs runs for it."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _stop_requested(signum: int, frame: object) -> None:
    # The first stop signal stops the work; later ones (the terminal's, the
    # parent's, a supervisor's repeat) must not break the clean-up it starts.
    ignore_stop_signals()
    raise Interrupted(signum)


def _stop_under_way(signum: int, frame: object) -> None:
    """A stop signal while a stop is under way: nothing more to do."""


def ignore_stop_signals() -> None:
    # A handler that does nothing rather than SIG_IGN: a signal that arrived
    # just before, still pending, would otherwise be reported as an error.
    for number in STOP_SIGNALS:
        signal.signal(number, _stop_under_way)


@contextlib.contextmanager
def stop_signals_handled() -> Iterator[None]:
    """Makes each stop signal raise Interrupted in this process while the block
    runs, except one this process was told to ignore (as `nohup` ignores
    SIGHUP) or one its caller handles itself; restores the handlers after."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {number: signal.getsignal(number) for number in STOP_SIGNALS}
    for number, handler in previous.items():
        if handler in (signal.SIG_DFL, signal.default_int_handler):
            signal.signal(number, _stop_requested)
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def describe(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def pixel_limit_message(width: int, height: int, max_pixels: int) -> str:
    return (f"{width}x{height} is {width * height:,} pixels, over the limit of {max_pixels:,} "
            "(--max-pixels; 0 lifts it)")


def convert_file(source: str, destination: str, writer: str, max_pixels: int) -> Outcome:
    """Converts one file; never raises for a bad file, only for an interruption."""
    outcome = Outcome(source, destination)
    try:
        image = _decode(source, max_pixels, outcome)
        try:
            written = write_through(image, destination, WRITERS[writer])
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
    """Holds the stop signals back while a temporary file is created, renamed
    or removed, so that an interruption cannot strand one; they are delivered
    (and raise) as soon as the block ends."""
    if not hasattr(signal, "pthread_sigmask") or threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
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


# The extensions a folder walk takes, and the format each names.
FORMATS = {".png": "png", ".bmp": "bmp"}


@dataclass
class Plan:
    """What a batch is to do: the (source, destination) pairs to convert, the
    lines for sources that fail before any work (each a failed file), and the
    lines naming what a folder walk passed over (each a skipped file)."""
    jobs: list[tuple[str, str]] = field(default_factory=list)
    failures: list[str] = field(default_factory=list)
    skipped: list[str] = field(default_factory=list)


def plan_batch(sources: Sequence[str], directory: str, target_format: str) -> Plan:
    """Folders among `sources` are walked for .png and .bmp files, which keep
    their place relative to the folder given; other files are named there.
    No source is ever a destination (see _name_destinations)."""
    plan = Plan()
    output = _identity(directory)
    wanted: list[tuple[str, str]] = []
    for source in sources:
        if os.path.isdir(source):
            wanted += [(path, os.path.relpath(path, source)) for path in _walk(source, output, plan)]
        else:
            wanted.append((source, os.path.basename(source)))
    _name_destinations(wanted, directory, "." + target_format, plan)
    return plan


def _walk(folder: str, output: tuple[int, int] | None, plan: Plan) -> Iterator[str]:
    """The .png and .bmp files below `folder`, in order; what it passes over
    is named in plan.skipped: symbolic links to folders, and the output
    folder (`output`, its identity), whose files are this batch's own."""
    def unreadable(error: OSError) -> None:
        plan.failures.append(f"error: {error.filename}: cannot read: {describe(error)}")

    for root, folders, names in os.walk(folder, onerror=unreadable):
        folders.sort()
        for name in list(folders):
            path = os.path.join(root, name)
            if os.path.islink(path):
                plan.skipped.append(f"skipped: {path}: a symbolic link to a folder, not followed")
            elif output is not None and _identity(path) == output:
                plan.skipped.append(f"skipped: {path}: the output folder, not walked")
                folders.remove(name)
        for name in sorted(names):
            path = os.path.join(root, name)
            if os.path.splitext(name)[1].lower() in FORMATS:
                yield path
            else:
                plan.skipped.append(f"skipped: {path}: not a .png or .bmp file")


def _identity(path: str) -> tuple[int, int] | None:
    """Which file `path` reaches, through any symbolic links; None if none."""
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None
    return status.st_dev, status.st_ino


def _name_destinations(wanted: list[tuple[str, str]], directory: str, extension: str, plan: Plan) -> None:
    """Gives each (source, path relative to `directory`) its destination: the
    path with `extension` in place of its own. A source that would be its own
    destination is skipped, and one whose destination is another source is
    refused: no source is ever written. Sources that would share a
    destination each keep their own extension in it (a.bmp -> a.bmp.png), so
    that none takes the name from another, and a file that cannot be
    converted blocks nothing; a clash that remains is refused."""
    identities = [_identity(source) for source, _ in wanted]
    sources = set(identities) - {None}
    first_of: dict[tuple[tuple[int, int] | None, str], str] = {}
    candidates = []
    for (source, relative), identity in zip(wanted, identities):
        destination = os.path.join(directory, os.path.splitext(relative)[0] + extension)
        reached = _identity(destination)
        if (identity, _key(destination)) in first_of:
            plan.skipped.append(f"skipped: {source}: the same file as {first_of[identity, _key(destination)]}")
        elif reached is not None and reached == identity:
            plan.skipped.append(f"skipped: {source}: it is its own destination")
        elif reached in sources:
            plan.failures.append(f"error: {source}: not converted: {_source_refusal(destination)}")
        else:
            candidates.append((source, relative, destination))
        if identity is not None:
            first_of.setdefault((identity, _key(destination)), source)
    wanting = Counter(_key(destination) for _, _, destination in candidates)
    claimed = {_key(destination): source for source, _, destination in candidates if wanting[_key(destination)] == 1}
    for source, relative, destination in candidates:
        if wanting[_key(destination)] > 1:
            destination = os.path.join(directory, relative + extension)
            if _identity(destination) in sources:
                plan.failures.append(f"error: {source}: not converted: {_source_refusal(destination)}")
                continue
            if _key(destination) in claimed:
                plan.failures.append(f"error: {source}: not converted: {destination} is also the destination of "
                                     f"{claimed[_key(destination)]}; convert one of them into another folder "
                                     "(-o DIR)")
                continue
            claimed[_key(destination)] = source
        plan.jobs.append((source, destination))


def _source_refusal(destination: str) -> str:
    return (f"its destination {destination} is one of the sources, which are never replaced; convert into "
            "another folder (-o DIR)")


def _key(path: str) -> str:
    """The same for two paths that name one file, existing or not."""
    return os.path.normcase(os.path.realpath(path))


def make_folders(plan: Plan) -> None:
    """Creates the folders the jobs write into; a job whose folder cannot be
    made leaves the plan as one failure line, and the others stay."""
    problems: dict[str, str | None] = {}
    for folder in sorted({os.path.dirname(destination) for _, destination in plan.jobs}):
        try:
            os.makedirs(folder or ".", exist_ok=True)
            problems[folder] = None
        except OSError as error:
            problems[folder] = f"cannot create the directory {error.filename}: {_folder_problem(folder, error)}"
    kept = []
    for source, destination in plan.jobs:
        problem = problems[os.path.dirname(destination)]
        if problem is None:
            kept.append((source, destination))
        else:
            plan.failures.append(f"error: {destination}: {problem}")
    plan.jobs = kept


def _folder_problem(folder: str, error: OSError) -> str:
    """Names what stands where a folder is wanted, which the system's own
    message ("File exists", "Not a directory") leaves out."""
    path = folder
    while path and not os.path.lexists(path):
        path = os.path.dirname(path)
    if path and not os.path.isdir(path):
        return f"{path} is not a directory"
    return describe(error)


def run_batch(jobs: list[tuple[str, str]], writer: str, max_pixels: int, workers: int,
              progress: ProgressBar | None, verbose: bool = False) -> Totals:
    """Converts every (source, destination) pair, in `workers` processes when
    more than one, reporting each file's lines on stderr as it finishes."""
    totals = Totals()

    def report(outcome: Outcome) -> None:
        totals.add(outcome)
        lines = outcome.messages
        if verbose and outcome.converted:
            lines = [f"converted: {outcome.source} -> {outcome.destination}", *lines]
        if lines and progress is not None:
            progress.clear()
        for line in lines:
            print(line, file=sys.stderr, flush=True)
        if progress is not None:
            progress.advance()

    try:
        if progress is not None:
            progress.draw(force=True)
        if workers <= 1 or len(jobs) <= 1:
            for source, destination in jobs:
                report(convert_file(source, destination, writer, max_pixels))
        else:
            _Pool(min(workers, len(jobs)), writer, max_pixels).run(jobs, report, progress)
    finally:
        if progress is not None:
            progress.clear()
    return totals


def _worker(connection: Connection, writer: str, max_pixels: int, parent_pid: int) -> None:
    """A worker process: converts the jobs it is sent until it is sent None,
    its parent is gone, or it is stopped by a signal. It starts with the stop
    signals held (see _Pool._start)."""
    for number in STOP_SIGNALS:
        # SIGTERM is how the parent stops a worker; the others come from the
        # terminal, and one the parent ignores (nohup) is ignored here too.
        if number == signal.SIGTERM or signal.getsignal(number) != signal.SIG_IGN:
            signal.signal(number, _stop_requested)
    if hasattr(signal, "pthread_kill"):
        # Started while the signals are held, the watcher keeps them held, so
        # that a signal always reaches the main thread and ends its waits.
        threading.Thread(target=_watch_parent, args=(parent_pid, threading.get_ident()), daemon=True).start()
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)
    with contextlib.suppress(KeyboardInterrupt, EOFError, BrokenPipeError):
        while (job := connection.recv()) is not None:
            source, destination = job
            connection.send(convert_file(source, destination, writer, max_pixels))


def _watch_parent(parent_pid: int, main_thread: int) -> None:
    """Stops this worker as SIGTERM would once the process that started it is
    gone, however it ended (SIGKILL included): an orphan is given another
    parent. Looking at the parent's id does not depend on which processes
    still hold copies of the pipes, as an end of file on a pipe would."""
    while os.getppid() == parent_pid:
        time.sleep(_PARENT_CHECK_SECONDS)
    signal.pthread_kill(main_thread, signal.SIGTERM)


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

    def __init__(self, size: int, writer: str, max_pixels: int) -> None:
        # fork starts a worker in milliseconds with the module already loaded;
        # the parent has no threads to lose.
        methods = multiprocessing.get_all_start_methods()
        self.context = multiprocessing.get_context("fork" if "fork" in methods else None)
        self.size = size
        self.arguments = (writer, max_pixels, os.getpid())
        self.processes: list[multiprocessing.process.BaseProcess] = []

    def _start(self) -> tuple[Connection, multiprocessing.process.BaseProcess]:
        parent_end, child_end = self.context.Pipe()
        process = self.context.Process(target=_worker, args=(child_end, *self.arguments), daemon=True)
        # A forked worker would flush a copy of anything still buffered.
        sys.stdout.flush()
        sys.stderr.flush()
        # The worker starts with the stop signals held until it has its own
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
        except BaseException:
            # Whatever ends the batch early, no worker outlives it.
            self._stop()
            raise
        for process in self.processes:
            process.join()

    def _stop(self) -> None:
        """Stops every worker and waits for each to remove what it was
        writing; further stop signals would only cut that short, so they are
        ignored."""
        ignore_stop_signals()
        for process in self.processes:
            if process.is_alive() and process.pid is not None:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(process.pid, signal.SIGTERM)
        for process in self.processes:
            process.join()
