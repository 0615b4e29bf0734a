"""SIGTERM and SIGHUP turned into an exception while a file is written, so that a
half-written file is removed on the way out."""

from __future__ import annotations

import contextlib
import signal
import threading
from collections.abc import Iterator


class Stopped(BaseException):
    """SIGTERM or SIGHUP arrived: unwound like KeyboardInterrupt, so that what is being
    written is removed on the way out."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


@contextlib.contextmanager
def stopped_by_signals() -> Iterator[None]:
    """Within it, SIGTERM and SIGHUP raise Stopped (in the main thread, where handlers
    can be set), as SIGINT raises KeyboardInterrupt, so that a half-written file is
    removed before the process ends."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    saved = {signum: signal.signal(signum, _stop) for signum in (signal.SIGTERM, signal.SIGHUP)}
    try:
        yield
    finally:
        for signum, handler in saved.items():
            signal.signal(signum, handler)


def _stop(signum: int, frame: object) -> None:
    raise Stopped(signum)
