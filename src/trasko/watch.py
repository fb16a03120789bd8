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
import stat
from collections import Counter
from contextlib import suppress
from dataclasses import dataclass, field, replace
from functools import partial
from typing import TYPE_CHECKING

from trasko import board, json_report, listing, lock, messages
from trasko.batch import Batch, Publisher
from trasko.exchange import Recorder, Timeouts
from trasko.json_report import Entry
from trasko.judge import Outcome, State
from trasko.listing import Line, ListError, Need
from trasko.modes import Status, publish_summary, status
from trasko.report import Environment, interrupting

if TYPE_CHECKING:
    from trasko.options import Options

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


@dataclass(frozen=True)
class Backoff:
    """When a tournament may be tried again, on the run's clock: a wait that
    doubles from the interval (a minute at least) up to `MAX_BACKOFF` after
    each failure; a new value after each try."""

    interval: float
    failures: int = 0
    last: float | None = None  # when it was last tried

    def after(self, at: float, failed: bool | None) -> Backoff:
        """After a try at `at` that `failed` (None: that neither failed nor succeeded)."""
        failures = self.failures if failed is None else self.failures + 1 if failed else 0
        return replace(self, failures=failures, last=at)

    @property
    def wait(self) -> float:
        grown = max(MIN_GAP, self.interval) * 2 ** max(0, self.failures - 1)
        return float(min(max(self.interval, MAX_BACKOFF), grown))


@dataclass
class Tournament:
    """One watched line: the file the site holds, the file last tried, the change settling."""

    line: Line
    entry: Entry
    backoff: Backoff
    online: Signature = None
    tried: Signature = None
    settling: Signature = None
    missing: bool = False  # its file went away, and that was said
    retry_at: float | None = None  # when a failed publication is tried again
    stuck: bool = False  # refused for good: tried again only once its file (or its line) changes


@dataclass
class Follower:
    """The tournaments watched and what the site holds of each."""

    env: Environment
    list_file: str
    recorder: Recorder
    interval: float
    report_file: str | None = None
    as_is: bool = False  # --tel-quel: the files sent unchanged
    watched: dict[tuple[str, ...], Tournament] = field(default_factory=dict)
    problems: dict[tuple[str, ...], Entry] = field(default_factory=dict)
    by_login: dict[str, float] = field(default_factory=dict)  # last attempt of each login
    started: bool = False  # the first round is over
    written: bool = True  # the report, when asked for, is as the watch knows it

    def __post_init__(self) -> None:
        self.base = os.getcwd()  # where the list's relative paths start, even once it is gone
        self.list_signature = signature(self.list_file)
        self.publisher = Publisher(self.env, self.recorder, stamped=True, as_is=self.as_is)
        self.lines: list[Line] = []
        self.round = Batch(self.env, self.publisher.one, self.publisher.tell)

    # --- rounds -------------------------------------------------------------

    def first_round(self, lines: list[Line]) -> None:
        sent: dict[int, Signature] = {}  # each file as it was when its turn came, not after the round
        lasting: set[int] = set()

        def one(line: Line) -> Outcome:
            sent[line.number] = signature(line.papi_path())
            outcome = self.publisher.one(line)
            if outcome.lasting:
                lasting.add(line.number)
            return outcome

        self.lines = lines
        batch = self.round = Batch(self.env, one, self.publisher.tell)
        with self.recorder.installed():
            batch.run(lines)
        self.env.say(publish_summary(batch.counts()))
        for entry in batch.entries:
            if entry.state is not State.IGNORED:
                number = entry.line.number
                self._add(entry.line, entry, tried=True, sent=sent.get(number), lasting=number in lasting)
        self.started = True
        self._write_report()

    def tick(self) -> None:
        """One look at the list and at every file; sends those that are due."""
        acted = False
        self._home()
        with self.recorder.installed():
            self._reread()
            for tournament in list(self.watched.values()):
                if self._due(tournament):
                    self._publish(tournament)
                    acted = True
        if acted:
            self._write_report()
        else:  # a newer version waiting shows between two publications
            self.show_board(watching=True)

    def status(self) -> Status:
        failed = len(self.not_online()) + len(self.problems) + (not self.started)
        return status(Counter({State.FAILED: failed}), self.written)

    def interrupted(self) -> None:
        """Ctrl-C: the report rewritten with what is known, then the end told."""
        if self.started:
            self._write_report()
        else:  # the first round's records, its lines left marked interrupted
            self.written = json_report.write(self.env, self.report_file, self.round.entries)
        missing = [line.label() for line in self.not_online()]
        if not self.started:
            self.env.on_own_line(messages.INTERRUPTED)
        elif missing:
            self.env.on_own_line(messages.WATCH_NOT_ONLINE.format(names=messages.all_names(missing)))
        else:
            self.env.on_own_line(messages.WATCH_STOPPED)

    def not_online(self) -> list[Line]:
        return [t.line for t in self.watched.values() if t.online is None or t.online != signature(t.line.papi_path())]

    # --- one tournament -------------------------------------------------------

    def _add(
        self, line: Line, entry: Entry, tried: bool = False, sent: Signature = None, lasting: bool = False
    ) -> None:
        """A line to watch (or a problem to keep); `sent`: its file when it was tried."""
        if not line.usable(Need.WATCH):
            self.problems[tuple(line.fields)] = entry
            return
        tournament = Tournament(line, entry, Backoff(self.interval))
        self.watched[tuple(line.fields)] = tournament
        if tried and line.kind == listing.USABLE:  # a dialogue ran
            # A file gone since its turn is no failure of the site's.
            published = entry.state in (State.PUBLISHED, State.WARNED)
            self._tried(tournament, sent, published, sent is not None, lasting)

    def _tried(
        self, t: Tournament, current: Signature, published: bool, counted: bool = True, lasting: bool = False
    ) -> None:
        now = self.by_login[t.line.fields[0]] = self.env.clock()
        t.tried, t.settling = current, None
        t.backoff = t.backoff.after(now, False if published else True if counted else None)
        t.retry_at, t.stuck = None, lasting and counted
        if published:
            t.online = current
        elif t.stuck:
            self.env.stamped(messages.NO_RETRY.format(label=t.line.label()))
        elif counted:
            at = t.retry_at = self.env.now() + max(t.backoff.wait, self.interval)
            self.env.stamped(messages.RETRY_AT.format(label=t.line.label(), time=self.env.time("%H:%M:%S", at)))

    def _home(self) -> None:
        """Back in the starting folder when it was removed and made again, so
        that the paths given relative to it (the list, the report) work again."""
        try:
            os.getcwd()
        except FileNotFoundError:
            with suppress(OSError):
                os.chdir(self.base)

    def _due(self, t: Tournament) -> bool:
        now, current = self.env.clock(), signature(t.line.papi_path())
        gone = current is None and (t.tried or t.online) is not None
        if gone and not t.missing:  # said once; sent again once it is back and has changed
            self.env.stamped(messages.LINE_CAUSE.format(label=t.line.label(), cause=messages.PAPI_MISSING))
        t.missing = gone
        if current is None or current == t.online:
            t.settling = None
            return False
        if current != t.tried:  # a new version: it must stay the same one interval
            if t.settling != current:
                t.settling = current
                return False
            wait = 0.0
        elif t.stuck:  # the same version refused for good
            return False
        else:  # the same version failed: tried again after the back-off
            wait = t.backoff.wait
        last = [at for at in (t.backoff.last, self.by_login.get(t.line.fields[0])) if at is not None]
        return not last or now >= max(last) + max(wait, MIN_GAP)

    def _publish(self, t: Tournament) -> None:
        current = signature(t.line.papi_path())
        outcome = self.publisher.one(t.line)
        self.publisher.tell(t.line, outcome)
        t.entry = Entry.of(t.line, outcome, self.env.now())
        if t.line.kind == listing.USABLE:  # else no dialogue: the file went away
            self._tried(t, current, outcome.published, lasting=outcome.lasting)

    # --- the list ---------------------------------------------------------------

    def _reread(self) -> None:
        now = signature(self.list_file)
        if now is None or now == self.list_signature:
            return
        self.list_signature = now
        try:
            lines, _ = listing.read(self.list_file, self.env.stdin, self.base)
        except ListError as error:
            self.env.stamped(messages.LIST_REREAD_FAILED.format(reason=error.reason))
            return
        old_watched, old_problems = self.watched, self.problems
        self.lines, self.watched, self.problems = lines, {}, {}
        for line in lines:
            key = tuple(line.fields)
            if key in old_watched:
                kept = self.watched[key] = old_watched[key]
                kept.line = kept.entry.line = line  # its number may have changed
            elif key in old_problems:
                self.problems[key] = old_problems[key]
                self.problems[key].line = line
            elif line.ignored:
                continue
            elif line.usable(Need.WATCH):
                self._add(line, Entry(line, State.UNTRIED))
            else:
                outcome = self.publisher.one(line)
                self.publisher.tell(line, outcome)
                self._add(line, Entry.of(line, outcome, self.env.now()))
        self.env.stamped(messages.LIST_REREAD.format(count=messages.plural(len(self.watched), messages.N_WATCHED)))
        self._write_report()

    def _write_report(self) -> None:
        """One record per line of the list, as a plain run writes it."""
        self.written = json_report.write(self.env, self.report_file, [self._entry(line) for line in self.lines])
        self.show_board(watching=True)

    def show_board(self, watching: bool) -> None:
        clock = partial(self.env.time, "%H:%M")
        shown = [
            board.of_entry(
                t.entry, clock, t.retry_at, t.online is not None and t.online != signature(t.line.papi_path())
            )
            for t in self.watched.values()
        ]
        shown += [board.of_entry(entry, clock) for entry in self.problems.values()]
        self.env.show_board(self.list_file, sorted(shown, key=lambda line: line.number), watching)

    def _entry(self, line: Line) -> Entry:
        key = tuple(line.fields)
        known = self.watched[key].entry if key in self.watched else self.problems.get(key)
        if line.ignored or known is None:
            return Entry(line, State.IGNORED if line.ignored else State.UNTRIED)
        return replace(known, line=line)


def run(env: Environment, options: Options, lines: list[Line]) -> Status:
    with lock.only_watch(options.list_file, env.time("%Y-%m-%d à %H:%M:%S")) as refused:
        if refused is not None:
            env.say(refused)
            return Status.USAGE
        return _watch(env, options, lines)


def _watch(env: Environment, options: Options, lines: list[Line]) -> Status:
    interval = options.interval
    recorder = Recorder(Timeouts(options.wait))
    follower = Follower(env, options.list_file, recorder, interval, options.report, options.as_is)
    # Ctrl-C is the documented way out, even when started from a script that ignores it.
    with interrupting("SIGINT", "SIGTERM", "SIGBREAK"):
        try:
            follower.first_round(lines)
            count = messages.plural(len(follower.watched), messages.N_FILES)
            env.stamped(messages.WATCHING.format(files=count, interval=interval))
            while True:
                env.sleep(interval)
                follower.tick()
        except KeyboardInterrupt:
            follower.interrupted()
    follower.show_board(watching=False)
    return follower.status()
