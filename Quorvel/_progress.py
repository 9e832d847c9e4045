"""The progress bar a batch draws on a terminal."""
from __future__ import annotations

import os
import time
from typing import TextIO


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
