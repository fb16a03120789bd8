"""One watch per list: a lock file beside the list, held by the system's
own file lock, so that it is free again as soon as its watch ends or dies."""

from __future__ import annotations

import os
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import IO

from trasko import messages

# Windows locks a byte range and refuses to read it: the lock stands past the text.
_LOCKED_AT = 4096


def _lock(file: IO[str]) -> bool:
    """Takes the lock without waiting; False when another process holds it."""
    try:
        if sys.platform == "win32":
            import msvcrt

            file.seek(_LOCKED_AT)
            msvcrt.locking(file.fileno(), msvcrt.LK_NBLCK, 1)
        else:
            import fcntl

            fcntl.flock(file.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        return False
    return True


@contextmanager
def only_watch(list_file: str, now: str) -> Iterator[str | None]:
    """Holds the list's lock for the watch; yields why the watch may not run
    (another one holds it), None when it may. A list given on standard input,
    or a folder where no lock can be written, is watched without one."""
    path = f"{list_file}.verrou"
    try:
        # Opened as it is, never emptied before the lock is held: it may be another watch's.
        flags = os.O_RDWR | os.O_CREAT | getattr(os, "O_BINARY", 0)
        file = None if list_file == "-" else open(os.open(path, flags, 0o666), "r+", encoding="utf-8")  # noqa: SIM115
    except OSError:
        file = None
    if file is None:
        yield None
        return
    with file:
        if not _lock(file):
            file.seek(0)
            yield messages.WATCH_RUNNING.format(name=list_file, first=file.read(_LOCKED_AT // 20).strip())
            return
        file.seek(0)
        # Padded over what a dead watch left, rather than emptied: Windows may refuse to cut a locked file.
        file.write(messages.WATCH_LOCK.format(pid=os.getpid(), since=now).ljust(_LOCKED_AT // 20))
        file.flush()
        try:
            yield None
        finally:
            _remove(path)  # before the lock is let go, so that no later watch locks a removed file
    _remove(path)  # Windows removes no open file


def _remove(path: str) -> None:
    try:
        os.remove(path)
    except OSError:
        pass
