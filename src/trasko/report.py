"""Where the command's run meets the world: its streams, its clocks and the
sleep of --suivre, injected into the run (tests hand in their own). French
lines go to standard error, each naming a line of the list by number and
login, never by password."""

from __future__ import annotations

import errno
import os
import signal
import sys
import time
import traceback
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager, suppress
from dataclasses import dataclass
from typing import Any, BinaryIO, TextIO

from trasko import board, messages
from trasko.journal import Journal


@dataclass
class Environment:
    # Streams of their own (tests); None: the interpreter's, as they are at each line.
    given_stdout: TextIO | None = None
    given_stderr: TextIO | None = None
    stdin: Callable[[], BinaryIO] = lambda: sys.stdin.buffer  # read only for a list given as "-"
    clock: Callable[[], float] = time.monotonic  # how long since
    now: Callable[[], float] = time.time  # what time it is
    sleep: Callable[[float], None] = time.sleep
    keeps_board: bool = False  # the status board beside the list: the organiser's programs keep one
    # The organiser's view (the Windows programs): the console has one line per
    # tournament, the journal everything, the module's lines included.
    journal: Journal | None = None
    muted: bool = False  # French lines to the journal alone, while a line's view stands for them

    def show_board(self, list_file: str, lines: Iterable[board.Line], watching: bool) -> None:
        """Writes the status board beside the list, when this run keeps one;
        a board that cannot be written never stops the run."""
        if self.keeps_board and list_file != "-":
            board.write(list_file, lines, self.time("%H:%M:%S"), watching)

    @property
    def stdout(self) -> TextIO | None:
        return self.given_stdout or sys.stdout

    @property
    def stderr(self) -> TextIO:
        return self.given_stderr or sys.stderr

    def out(self, text: str) -> None:
        """A line of standard output: the module's batch lines and --verifier's answers."""
        print(text, file=self.stdout, flush=True)

    def say(self, text: str) -> None:
        # The module's lines go to standard output; keep both in order on a terminal.
        if self.stdout is not None:
            self.stdout.flush()
        if self.journal is not None:
            self.journal.line(text)
            if self.muted:
                return
        print(text, file=self.stderr, flush=True)

    @contextmanager
    def journal_only(self) -> Iterator[None]:
        """The French lines said meanwhile go to the journal alone (in the organiser's view)."""
        self.muted = self.journal is not None
        try:
            yield
        finally:
            self.muted = False

    def view(self, text: str, details: str) -> None:
        """A line of the organiser's view, with its details in the journal; nothing otherwise."""
        if self.journal is not None:
            self.say(text)
            self.journal.line(details)

    def stamped(self, text: str) -> None:
        self.say(messages.STAMPED.format(time=self.time("%Y-%m-%d %H:%M:%S"), text=text))

    def time(self, form: str, at: float | None = None) -> str:
        return time.strftime(form, time.localtime(self.now() if at is None else at))

    def on_own_line(self, text: str) -> None:
        """A line after Ctrl-C, whose echo "^C" leaves a terminal's cursor mid-line."""
        self.say(("\n" if self.stderr.isatty() else "") + text)

    def stopped(self, label: str, untried: list[str]) -> None:
        names, more = messages.names(untried)
        if more:
            self.say(messages.STOPPED_MANY.format(label=label, count=len(untried), names=names, more=more))
        else:
            self.say(messages.STOPPED.format(label=label, names=names))

    def internal_error(self, error: BaseException) -> None:
        """A fault of the command itself: where it happened, never the error's own
        text, which might quote a line of the list and so a password."""
        frames = "".join(traceback.format_tb(error.__traceback__))
        self.say(messages.INTERNAL.format(frames=frames, name=type(error).__name__))


def output_gone(error: OSError) -> bool:
    """Whether standard output (or error) was closed under the command: a
    broken pipe, or Windows' EINVAL on a closed pipe."""
    if isinstance(error, BrokenPipeError):
        return True
    return error.errno == errno.EINVAL and os.name == "nt"


class KeptOutput:
    """Standard output that never stops the work: a write it refuses (a full
    disk) is noted and the run goes on; a closed output still ends it."""

    def __init__(self, inner: TextIO) -> None:
        self.inner = inner
        self.failed = False

    def write(self, text: str) -> int:
        try:
            return self.inner.write(text)
        except OSError as error:
            self._refused(error)
            return len(text)

    def flush(self) -> None:
        try:
            self.inner.flush()
        except OSError as error:
            self._refused(error)

    def _refused(self, error: OSError) -> None:
        if output_gone(error):
            raise error
        self.failed = True

    def __getattr__(self, name: str) -> Any:
        return getattr(self.inner, name)


@contextmanager
def interrupting(*names: str) -> Iterator[None]:
    """The signals `names` (those this system has) end the run as Ctrl-C
    does, so that it still says its summary and writes its report."""
    saved = {}
    for sig in (getattr(signal, name) for name in names if hasattr(signal, name)):
        with suppress(ValueError):  # not the main thread: signals stay as they are
            saved[sig] = signal.signal(sig, signal.default_int_handler)
    try:
        yield
    finally:
        for sig, handler in saved.items():
            signal.signal(sig, handler)
