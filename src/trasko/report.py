"""What the command adds to the module's output: French lines on standard
error, each naming a line of the list by number and login, never by password."""

from __future__ import annotations

import sys
import time
import traceback


def say(text: str) -> None:
    # The module's lines go to standard output; keep both in order on a terminal.
    sys.stdout.flush()
    print(text, file=sys.stderr, flush=True)


def stamped(text: str) -> None:
    say(f"[{time.strftime('%Y-%m-%d %H:%M:%S')}] {text}")


def plural(count: int, one: str, many: str = "") -> str:
    return f"{count} {(many or one + 's') if count > 1 else one}"


def summary(published: int, failed: int, untried: int) -> None:
    say(f"bilan : {plural(published, 'publié')}, {plural(failed, 'non publié')}, {plural(untried, 'non tenté')}")


def internal_error(error: BaseException) -> None:
    """A fault of the command itself: where it happened, never the error's own
    text, which might quote a line of the list and so a password."""
    frames = "".join(traceback.format_tb(error.__traceback__))
    say(f"{frames}trasko : erreur interne ({type(error).__name__}) ; merci de la signaler avec les lignes ci-dessus")
