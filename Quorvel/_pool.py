"""Running a batch: each file converted in this process, or in worker
processes fed one file at a time, with each file's lines shown as it ends."""
from __future__ import annotations

import contextlib
import multiprocessing
import os
import signal
import sys
import threading
import time
from collections import deque
from dataclasses import dataclass
from multiprocessing.connection import Connection, wait
from typing import Callable, cast

from Quorvel._atomic import remove_temporary_files
from Quorvel._convert import Outcome, Writer, convert_file
from Quorvel._progress import ProgressBar
from Quorvel._signals import STOP_SIGNALS, ignore_stop_signals, interruptions_held, stop_requested

# How often a worker looks whether the process that started it is still there.
_PARENT_CHECK_SECONDS = 0.25

# A source and its destination.
_Job = tuple[str, str]
_Process = multiprocessing.process.BaseProcess


def default_jobs() -> int:
    """The number of CPUs this process may run on."""
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1


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


def run_batch(jobs: list[_Job], writer: Writer, max_pixels: int, workers: int,
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


def _worker(connection: Connection, writer: Writer, max_pixels: int, parent_pid: int) -> None:
    """A worker process: converts the jobs it is sent until it is sent None,
    its parent is gone, or it is stopped by a signal. It starts with the stop
    signals held (see _Pool._start)."""
    for number in STOP_SIGNALS:
        # SIGTERM is how the parent stops a worker; the others come from the
        # terminal, and one the parent ignores (nohup) is ignored here too.
        if number == signal.SIGTERM or signal.getsignal(number) != signal.SIG_IGN:
            signal.signal(number, stop_requested)
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


class _Pool:
    """Worker processes fed one job at a time through a pipe each, so that the
    parent always knows which file a worker holds."""

    def __init__(self, size: int, writer: Writer, max_pixels: int) -> None:
        # fork starts a worker in milliseconds with the module already loaded;
        # the parent has no threads to lose.
        methods = multiprocessing.get_all_start_methods()
        self.context = multiprocessing.get_context("fork" if "fork" in methods else None)
        self.size = size
        self.arguments = (writer, max_pixels, os.getpid())
        self.processes: list[_Process] = []
        self.waiting: deque[_Job] = deque()
        # By the parent's end of each worker's pipe: the worker and its job.
        self.busy: dict[Connection, tuple[_Process, _Job]] = {}

    def run(self, jobs: list[_Job], report: Callable[[Outcome], None], progress: ProgressBar | None) -> None:
        self.waiting.extend(jobs)
        try:
            for _ in range(self.size):
                self._hand_out(*self._start())
            while self.busy:
                for ready in wait(list(self.busy), timeout=0.25 if progress else None):
                    connection, process, outcome = self._receive(cast(Connection, ready))
                    report(outcome)
                    self._hand_out(connection, process)
                if progress is not None:
                    progress.draw()
        except BaseException:
            # Whatever ends the batch early, no worker outlives it.
            self._stop()
            raise
        for process in self.processes:
            process.join()

    def _start(self) -> tuple[Connection, _Process]:
        parent_end, child_end = self.context.Pipe()
        process = self.context.Process(target=_worker, args=(child_end, *self.arguments), daemon=True)
        # A forked worker would flush a copy of anything still buffered.
        sys.stdout.flush()
        sys.stderr.flush()
        # The worker starts with the stop signals held until it has its own
        # handlers in place.
        with interruptions_held():
            process.start()
        child_end.close()
        self.processes.append(process)
        return parent_end, process

    def _hand_out(self, connection: Connection, process: _Process) -> None:
        """Sends the worker its next job, or None when there is none left."""
        if not self.waiting:
            connection.send(None)
            connection.close()
            return
        job = self.waiting.popleft()
        self.busy[connection] = (process, job)
        try:
            connection.send(job)
        except OSError:
            pass  # the worker is gone: _receive sees an end of file

    def _receive(self, connection: Connection) -> tuple[Connection, _Process, Outcome]:
        """The outcome a worker sends back; for a worker that died instead, a
        failure of its job, and a new worker in its place."""
        process, (source, destination) = self.busy.pop(connection)
        try:
            return connection, process, connection.recv()
        except (EOFError, OSError):
            pass
        process.join()
        remove_temporary_files(process.pid, destination)
        connection.close()
        outcome = Outcome(source, destination, messages=[
            f"error: {source}: the worker process converting it ended unexpectedly (exit status {process.exitcode})"])
        return (*self._start(), outcome)

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
