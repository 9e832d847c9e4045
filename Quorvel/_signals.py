"""Stop signals for the command line: SIGINT, SIGTERM and SIGHUP each stop
a command as Ctrl-C does, and can be held back while a file is renamed."""
from __future__ import annotations

import contextlib
import signal
import threading
from typing import Iterator

# The signals that stop a command as Ctrl-C does: from the terminal, from a
# closed terminal, and from whatever stops processes (kill, timeout, systemd,
# a container's stop, a CI cancellation).
STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))


class Interrupted(KeyboardInterrupt):
    """A stop asked for by a signal: every clean-up that Ctrl-C runs runs for it."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def stop_requested(signum: int, frame: object) -> None:
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
            signal.signal(number, stop_requested)
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


@contextlib.contextmanager
def interruptions_held() -> Iterator[None]:
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
