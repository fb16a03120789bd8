"""What the command adds to the module's output: French lines on standard
error, each naming a line of the list by number and login, never by password."""

from __future__ import annotations

import sys
import time
import traceback

from trasko import messages
from trasko.messages import plural


def out(text: str) -> None:
    """A line of standard output: the module's batch lines and --verifier's answers."""
    print(text, flush=True)


def say(text: str) -> None:
    # The module's lines go to standard output; keep both in order on a terminal.
    if sys.stdout is not None:
        sys.stdout.flush()
    print(text, file=sys.stderr, flush=True)


def stamped(text: str) -> None:
    say(messages.STAMPED.format(time=time.strftime("%Y-%m-%d %H:%M:%S"), text=text))


def on_own_line(text: str) -> None:
    """A line after Ctrl-C, whose echo "^C" leaves a terminal's cursor mid-line."""
    say(("\n" if sys.stderr.isatty() else "") + text)


def summary(published: int, warned: int, failed: int, untried: int) -> None:
    text = plural(published, messages.N_PUBLISHED) + (messages.SUMMARY_WARNED.format(warned=warned) if warned else "")
    failed_text, untried_text = plural(failed, messages.N_NOT_PUBLISHED), plural(untried, messages.N_UNTRIED)
    say(messages.SUMMARY.format(published=text, failed=failed_text, untried=untried_text))


def stopped(label: str, untried: list[str]) -> None:
    names, more = messages.names(untried)
    if more:
        say(messages.STOPPED_MANY.format(label=label, count=len(untried), names=names, more=more))
    else:
        say(messages.STOPPED.format(label=label, names=names))


def internal_error(error: BaseException) -> None:
    """A fault of the command itself: where it happened, never the error's own
    text, which might quote a line of the list and so a password."""
    frames = "".join(traceback.format_tb(error.__traceback__))
    say(messages.INTERNAL.format(frames=frames, name=type(error).__name__))
