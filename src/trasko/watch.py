"""--suivre: the list published once, then each tournament published again
whenever its Papi file has changed and then stayed the same (size and
modification time) for one whole interval, so that a file still being
written is never sent."""

from __future__ import annotations

import os
import signal
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager

from trasko import report
from trasko.batch import Batch
from trasko.listing import Line
from trasko.options import NOT_PUBLISHED

Signature = tuple[int, int] | None


def signature(line: Line) -> Signature:
    try:
        stat = os.stat(line.papi)
    except OSError:
        return None
    return (stat.st_size, stat.st_mtime_ns)


class Follower:
    """The tournaments watched, the file each had when last sent, and the
    change each is waiting to see settle."""

    def __init__(self, lines: list[Line]) -> None:
        self.lines = [line for line in lines if line.watchable]
        self.sent = {line.number: signature(line) for line in self.lines}
        self.settling: dict[int, Signature] = {}
        self.batch = Batch(lines, keep_going=True, stamped=True)
        self.status = NOT_PUBLISHED  # until a round is over

    def first_round(self, list_file: str) -> None:
        self.batch.run(list_file)
        self.status = self.batch.tell()

    def tick(self) -> None:
        """One look at every file; publishes those that settled since the last look."""
        due = [line for line in self.lines if self._settled(line)]
        if due:
            self.status = NOT_PUBLISHED
            published = [self._publish(line) for line in due]
            self.status = 0 if all(published) else NOT_PUBLISHED

    def _settled(self, line: Line) -> bool:
        now = signature(line)
        if now is None or now == self.sent[line.number]:
            self.settling.pop(line.number, None)
            return False
        if self.settling.get(line.number) != now:
            self.settling[line.number] = now
            return False
        del self.settling[line.number]
        self.sent[line.number] = now
        return True

    def _publish(self, line: Line) -> bool:
        watch = self.batch.watch
        envoi = watch.velka.envoi_tournoi
        with watch.installed():
            attempt = watch.attempt(lambda: envoi(line.login, line.password, line.papi_path(), line.visible))
        return self.batch.judge(line, attempt.cause(line.visible))


@contextmanager
def _stopped_by_signals() -> Iterator[None]:
    """Ctrl-C is the documented way out, even when started from a script that
    ignores it; a service manager's SIGTERM ends the watch the same way."""
    saved = {sig: signal.getsignal(sig) for sig in (signal.SIGINT, signal.SIGTERM)}
    for sig in saved:
        signal.signal(sig, signal.default_int_handler)
    try:
        yield
    finally:
        for sig, handler in saved.items():
            signal.signal(sig, handler)


def run(list_file: str, lines: list[Line], interval: float, sleep: Callable[[float], None] = time.sleep) -> int:
    follower = Follower(lines)
    with _stopped_by_signals():
        try:
            follower.first_round(list_file)
            report.stamped(
                f"suivi de {report.plural(len(follower.lines), 'fichier')} Papi, "
                f"toutes les {interval:g} s ; Ctrl-C pour arrêter"
            )
            while True:
                sleep(interval)
                follower.tick()
        except KeyboardInterrupt:
            report.say("suivi arrêté")
    return follower.status
