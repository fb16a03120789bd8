"""A batch as the module runs it (`page_ffe`), each line's outcome told on
standard error, then the summary; with `keep_going`, past every failure."""

from __future__ import annotations

import contextlib
import os
from typing import Any

from trasko import listing, report
from trasko.listing import Line
from trasko.observe import PUBLISHED, Watch
from trasko.options import NOT_PUBLISHED, USAGE_ERROR


class Batch:
    """The lines of the list matched, in order, with the calls the batch makes."""

    def __init__(self, lines: list[Line], keep_going: bool, stamped: bool = False) -> None:
        self.lines = lines
        self.keep_going = keep_going
        self.stamped = stamped
        self.next = 0
        self.published: list[Line] = []
        self.failed: list[Line] = []
        self.stopped_at: Line | None = None
        self.watch = Watch()

    def run(self, list_file: str) -> None:
        original = self.watch.velka.envoi_tournoi
        with self.watch.installed(envoi_tournoi=self._envoi(original)):
            self.watch.velka.page_ffe(list_file)
        if self.stopped_at is None:
            self._passed(len(self.lines))

    def _envoi(self, original: Any) -> Any:
        def envoi_tournoi(nohom: str, pwd: str, fname: str, f_visible: bool) -> None:
            line = self._line_for(nohom, fname)
            attempt = self.watch.attempt(lambda: original(nohom, pwd, fname, f_visible))
            self.judge(line, attempt.cause(f_visible))
            if attempt.error is not None and not self.keep_going:
                self.stopped_at = line
                raise attempt.error

        return envoi_tournoi

    def _line_for(self, login: str, papi: str) -> Line:
        """The line the batch is publishing: the next usable one that names them."""
        for index in range(self.next, len(self.lines)):
            line = self.lines[index]
            if len(line.fields) > 3 and line.fields[0] == login and line.papi_path() == papi:
                self._passed(index)
                self.next = index + 1
                return line
        # The list changed since it was read: name the tournament without a line.
        return Line(0, f"{login};-")

    def _passed(self, end: int) -> None:
        """Reports the lines the batch looked at and did not publish, up to `end`."""
        for line in self.lines[self.next : end]:
            line.rejudge()  # the batch saw the file system as it is now
            if line.kind in (listing.MALFORMED, listing.MISSING):
                self.judge(line, line.kind)
        self.next = max(self.next, end)

    def judge(self, line: Line, cause: str) -> bool:
        """Counts and tells one line's outcome; whether it was published."""
        (self.published if cause == PUBLISHED else self.failed).append(line)
        if self.stamped:
            report.stamped(
                f"{line.label()} : publié ({line.papi})"
                if cause == PUBLISHED
                else f"{line.label()} : non publié : {cause}"
            )
        elif cause != PUBLISHED:
            report.say(f"{line.label()} : {cause}")
        return cause == PUBLISHED

    def untried(self) -> list[Line]:
        if self.stopped_at is None:
            return []
        return [line for line in self.lines[self.next :] if line.kind != listing.BLANK]

    def status(self) -> int:
        return NOT_PUBLISHED if self.failed or self.untried() else 0

    def tell(self) -> int:
        untried = self.untried()
        if untried and self.stopped_at is not None:
            names = ", ".join(line.label() for line in untried)
            report.say(f"série arrêtée à la {self.stopped_at.label()} ; non tentées : {names}")
        report.summary(len(self.published), len(self.failed), len(untried))
        return self.status()


def run(list_file: str, lines: list[Line], keep_going: bool) -> int:
    batch = Batch(lines, keep_going)
    batch.run(list_file)
    return batch.tell()


def unreadable(list_file: str, error: OSError, quiet: bool) -> int:
    """The list cannot be read: the module says so in its words, the command in its own."""
    if not quiet:
        # A read failure leaves page_ffe without a word; the line below says it.
        with contextlib.suppress(Exception):
            Watch().velka.page_ffe(list_file)
    reason = error.strerror or str(error)
    report.say(f"trasko : fichier-liste illisible : {os.fsdecode(list_file)} ({reason})")
    return USAGE_ERROR
