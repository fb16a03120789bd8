"""--suivre: the list published once, then each tournament kept online.

- A changed Papi file is sent once it has stayed the same (size and
  modification time) for one whole interval, so a file still being written
  is never sent.
- A failed publication is tried again at later looks, with a back-off that
  doubles up to `MAX_BACKOFF`, until it succeeds or the file changes.
- One tournament is sent at most once a minute (`MIN_GAP`), whatever the
  interval: the federation's servers are shared.
- The list file is read again when it changes: a tournament added during the
  event is watched too.
- After Ctrl-C the exit status is 1 when any watched tournament's current
  file is not online, or a line of the list could not be published at all.
"""

from __future__ import annotations

import os
import signal
import stat
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass

from trasko import json_report, judge, listing, messages, report
from trasko.batch import Batch
from trasko.exchange import Recorder
from trasko.json_report import Entry
from trasko.listing import Line, ListError

MIN_GAP = 60.0
MAX_BACKOFF = 600.0

Signature = tuple[int, int] | None


def signature(path: str) -> Signature:
    """Size and modification time of a regular file (a pipe or a folder has none)."""
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None
    return (status.st_size, status.st_mtime_ns) if stat.S_ISREG(status.st_mode) else None


@dataclass
class Tournament:
    """One watched line: the file the site holds, the file last tried, the change settling."""

    line: Line
    entry: Entry
    online: Signature = None
    tried: Signature = None
    settling: Signature = None
    failures: int = 0
    last_attempt: float | None = None


class Follower:
    """The tournaments watched and what the site holds of each."""

    def __init__(
        self,
        list_file: str,
        recorder: Recorder,
        interval: float,
        report_file: str | None = None,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self.list_file = list_file
        self.interval = interval
        self.report_file = report_file
        self.clock = clock
        self.batch = Batch(recorder, keep_going=True, stamped=True)
        self.watched: dict[tuple[str, ...], Tournament] = {}
        self.problems: dict[tuple[str, ...], Entry] = {}
        self.by_login: dict[str, float] = {}  # last attempt of each login
        self.list_signature = signature(list_file)
        self.started = False  # the first round is over

    # --- rounds -------------------------------------------------------------

    def first_round(self, lines: list[Line]) -> None:
        self.batch.run(lines)
        outcomes = {entry.line.number: entry for entry in self.batch.entries}
        self.batch.tell_end()
        for line in lines:
            entry = outcomes.get(line.number)
            if entry is not None:
                self._add(line, entry, tried=entry.state != json_report.IGNORED)
        self.started = True
        self._write_report()

    def tick(self) -> None:
        """One look at the list and at every file; sends those that are due."""
        acted = False
        with self.batch.recorder.installed():
            self._reread()
            for tournament in list(self.watched.values()):
                if self._due(tournament):
                    self._publish(tournament)
                    acted = True
        if acted:
            self._write_report()

    def status(self) -> int:
        return 1 if not self.started or self.not_online() or self.problems else 0

    def not_online(self) -> list[Line]:
        return [t.line for t in self.watched.values() if t.online is None or t.online != signature(t.line.papi_path())]

    # --- one tournament -------------------------------------------------------

    def _add(self, line: Line, entry: Entry, tried: bool) -> None:
        key = tuple(line.fields)
        if not line.watchable:
            if entry.state != json_report.IGNORED:
                self.problems[key] = entry
            return
        tournament = Tournament(line, entry)
        if tried and line.kind == listing.USABLE:  # a dialogue ran
            current = signature(line.papi_path())
            tournament.last_attempt = self.by_login[line.fields[0]] = self.clock()
            tournament.tried = current
            if entry.state in (judge.PUBLISHED, judge.WARNED):
                tournament.online = current
            elif current is not None:
                tournament.failures = 1
                self._announce_retry(tournament)
        self.watched[key] = tournament

    def _due(self, t: Tournament) -> bool:
        now, current = self.clock(), signature(t.line.papi_path())
        if current is None or current == t.online:
            t.settling = None
            return False
        if current != t.tried:  # a new version: it must stay the same one interval
            if t.settling != current:
                t.settling = current
                return False
            wait = 0.0
        else:  # the same version failed: tried again after the back-off
            wait = self._backoff(t.failures)
        last = [at for at in (t.last_attempt, self.by_login.get(t.line.fields[0])) if at is not None]
        return not last or now >= max(last) + max(wait, MIN_GAP)

    def _backoff(self, failures: int) -> float:
        return float(min(max(self.interval, MAX_BACKOFF), max(MIN_GAP, self.interval) * 2 ** max(0, failures - 1)))

    def _publish(self, t: Tournament) -> None:
        current = signature(t.line.papi_path())
        outcome = self.batch.handle(t.line)
        self.batch.entries.clear()  # each round keeps only the latest entry of each line
        if outcome is None:
            return
        t.entry = Entry.of(t.line, outcome)
        if t.line.kind != listing.USABLE:  # no dialogue: the file went away
            return
        t.last_attempt = self.by_login[t.line.fields[0]] = self.clock()
        t.tried, t.settling = current, None
        if outcome.published:
            t.online, t.failures = current, 0
        else:
            t.failures += 1
            self._announce_retry(t)

    def _announce_retry(self, t: Tournament) -> None:
        at = time.localtime(time.time() + max(self._backoff(t.failures), self.interval))
        report.stamped(messages.RETRY_AT.format(label=t.line.label(), time=time.strftime("%H:%M:%S", at)))

    # --- the list ---------------------------------------------------------------

    def _reread(self) -> None:
        now = signature(self.list_file)
        if now is None or now == self.list_signature:
            return
        self.list_signature = now
        try:
            lines, _ = listing.read(self.list_file)
        except ListError as error:
            report.stamped(messages.LIST_REREAD_FAILED.format(reason=error.reason))
            return
        old_watched, old_problems = self.watched, self.problems
        self.watched, self.problems = {}, {}
        for line in lines:
            key = tuple(line.fields)
            if key in old_watched:
                kept = self.watched[key] = old_watched[key]
                kept.line = kept.entry.line = line  # its number may have changed
            elif key in old_problems:
                self.problems[key] = old_problems[key]
                self.problems[key].line = line
            elif line.kind in (listing.BLANK, listing.COMMENT):
                continue
            elif line.watchable:
                self._add(line, Entry(line, json_report.UNTRIED), tried=False)
            else:
                outcome = self.batch.handle(line)
                self.batch.entries.clear()
                if outcome is not None:
                    self._add(line, Entry.of(line, outcome), tried=True)
        report.stamped(messages.LIST_REREAD.format(count=messages.plural(len(self.watched), messages.N_WATCHED)))
        self._write_report()

    def _write_report(self) -> None:
        entries = [t.entry for t in self.watched.values()] + list(self.problems.values())
        json_report.write(self.report_file, sorted(entries, key=lambda entry: entry.line.number))


@contextmanager
def _stopped_by_signals() -> Iterator[None]:
    """Ctrl-C is the documented way out, even when started from a script that
    ignores it; a service manager's SIGTERM (Ctrl-Break on Windows) ends the
    watch the same way."""
    names = ("SIGINT", "SIGTERM", "SIGBREAK")
    signals = [getattr(signal, name) for name in names if hasattr(signal, name)]
    saved = {sig: signal.getsignal(sig) for sig in signals}
    for sig in saved:
        signal.signal(sig, signal.default_int_handler)
    try:
        yield
    finally:
        for sig, handler in saved.items():
            signal.signal(sig, handler)


def run(
    list_file: str,
    lines: list[Line],
    recorder: Recorder,
    interval: float,
    report_file: str | None = None,
    sleep: Callable[[float], None] = time.sleep,
) -> int:
    follower = Follower(list_file, recorder, interval, report_file)
    with _stopped_by_signals():
        try:
            follower.first_round(lines)
            count = messages.plural(len(follower.watched), messages.N_FILES)
            report.stamped(messages.WATCHING.format(files=count, interval=interval))
            while True:
                sleep(interval)
                follower.tick()
        except KeyboardInterrupt:
            missing = [line.label() for line in follower.not_online()]
            if not follower.started:
                report.on_own_line(messages.INTERRUPTED)
            elif missing:
                report.on_own_line(messages.WATCH_NOT_ONLINE.format(names=messages.all_names(missing)))
            else:
                report.on_own_line(messages.WATCH_STOPPED)
    return follower.status()
