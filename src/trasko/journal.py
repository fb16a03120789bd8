"""The journal, `journal-velka.txt` beside the list: what the organiser's
programs did, run after run (time, mode, each line's outcome and cause, the
module's own lines and the technical details the console leaves out), so
that it can be read once the window is closed. It holds only what the
command's outputs may hold, never a password. Past its size, the old
entries move to one `.1` file, replacing the one before."""

from __future__ import annotations

import os
import time
from pathlib import Path
from typing import TextIO

from trasko import messages

FILE_NAME = "journal-velka.txt"
LARGEST = 1_000_000  # bytes kept before rotation: months of a club's runs


class Journal:
    """A text stream that appends to the journal; writes it cannot make are
    dropped, since the journal never stops the work it records."""

    def __init__(self, file: TextIO) -> None:
        self.file: TextIO | None = file

    @classmethod
    def beside(cls, list_file: str) -> Journal | None:
        """The journal of `list_file`'s folder, rotated first when too large;
        None when the folder refuses it."""
        path = Path(os.path.abspath(list_file)).parent / FILE_NAME
        try:
            if path.stat().st_size > LARGEST:
                os.replace(path, path.with_name(FILE_NAME + ".1"))
        except OSError:
            pass  # no journal yet, or one that cannot move: appended to all the same
        try:
            # Windows' own line ends, so that Notepad shows one entry a line.
            return cls(open(path, "a", encoding="utf-8", errors="replace", newline="\r\n"))  # noqa: SIM115
        except OSError:
            return None

    def write(self, text: str) -> int:
        if self.file is not None:
            try:
                self.file.write(text)
            except (OSError, ValueError):
                self.file = None
        return len(text)

    def flush(self) -> None:
        if self.file is not None:
            try:
                self.file.flush()
            except OSError:
                self.file = None

    def line(self, text: str) -> None:
        self.write(text + "\n")
        self.flush()

    def started(self, mode: str, list_file: str) -> None:
        self.line(messages.JOURNAL_STARTED.format(time=_now(), mode=mode, list_file=os.path.abspath(list_file)))

    def close(self, status: int) -> None:
        self.line(messages.JOURNAL_ENDED.format(time=_now(), status=status))
        if self.file is not None:
            try:
                self.file.close()
            except OSError:
                pass
            self.file = None


def _now() -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S")
