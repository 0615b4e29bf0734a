"""The one-line progress display of a long build."""

from __future__ import annotations

import math
import time
from collections.abc import Callable
from typing import IO


class Progress:
    """A one-line progress display on a terminal.

    Nothing is drawn for the first ``delay`` seconds, so quick builds stay silent,
    and redraws are limited to ten a second; on anything but a terminal it draws
    nothing at all.
    """

    def __init__(
        self,
        stream: IO[str],
        enabled: bool | None = None,
        delay: float = 0.5,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self.stream = stream
        self.enabled = stream.isatty() if enabled is None else enabled
        self.delay = delay
        self.clock = clock
        self.started = clock()
        self.last_draw = -math.inf
        self.shown = False
        self.label = ""

    def phase(self, label: str) -> None:
        """Starts a step that reports no progress of its own; shown at once when
        the display is already up (the build has proved to be a long one)."""
        self.label = label
        if self.shown:
            self._draw(label)

    def update(self, label: str, done: int, total: int | None, unit: str = "") -> None:
        if not self.enabled:
            return
        now = self.clock()
        if now - self.started < self.delay or now - self.last_draw < 0.1:
            return
        self.last_draw = now
        if total:
            fraction = min(done / total, 1.0)
            bar_width = 24
            filled = round(fraction * bar_width)
            bar = "#" * filled + "-" * (bar_width - filled)
            self._draw(f"{label} [{bar}] {fraction:4.0%}")
        else:
            self._draw(f"{label} {done:,}{unit}")

    def _draw(self, text: str) -> None:
        if not self.enabled:
            return
        import shutil

        width = max(shutil.get_terminal_size((80, 24)).columns - 1, 10)
        self.stream.write("\r" + text[:width].ljust(width))
        self.stream.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            import shutil  # only where progress is shown: a terminal, not a build's start-up

            width = max(shutil.get_terminal_size((80, 24)).columns - 1, 10)
            self.stream.write("\r" + " " * width + "\r")
            self.stream.flush()
            self.shown = False
