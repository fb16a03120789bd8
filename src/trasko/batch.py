"""A pass over the list, as the module's batch runs it: each line in order,
its outcome judged from the site's answers and told, then the summary. The
plain run prints each line's standard output line as the module does and,
without `keep_going`, stops where the module's batch would: at a dialogue
the site did not answer as it should."""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable

from trasko import dialogue, judge, messages, papi_copy
from trasko.exchange import Recorder
from trasko.json_report import Entry
from trasko.judge import Outcome, State
from trasko.listing import Line, Need
from trasko.report import Environment

One = Callable[[Line], Outcome]  # a line's handling: its outcome


class Batch:
    """One pass over the lines: what became of each."""

    def __init__(self, env: Environment, one: One, tell: Callable[[Line, Outcome], None]) -> None:
        self.env = env
        self.one = one
        self.tell = tell
        self.keep_going = True
        self.entries: list[Entry] = []
        self.stopped_at: Line | None = None
        self.untried: list[Line] = []

    def run(self, lines: list[Line]) -> None:
        """Each line in turn; after a stop, and after Ctrl-C (raised on), the
        lines left have their record too."""
        for index, line in enumerate(lines):
            if line.ignored:
                self.entries.append(Entry(line, State.IGNORED))
                continue
            try:
                outcome = self.one(line)
            except KeyboardInterrupt:
                self._left(lines[index:], messages.INTERRUPTED_CAUSE)
                raise
            self.entries.append(Entry.of(line, outcome, self.env.now()))
            with self.env.journal_only():
                self.tell(line, outcome)
            self.env.view(view(line, outcome), details(outcome))
            if outcome.stops and not self.keep_going:
                self.stopped_at = line
                self._left(lines[index + 1 :])
                return

    def _left(self, lines: list[Line], cause: str = "") -> None:
        self.untried = [line for line in lines if not line.ignored]
        self.entries += [Entry(line, State.IGNORED if line.ignored else State.UNTRIED, cause) for line in lines]

    def counts(self) -> Counter[State]:
        counts = Counter(entry.state for entry in self.entries)
        counts[State.PUBLISHED] += counts[State.WARNED]
        return counts


def view(line: Line, outcome: Outcome) -> str:
    """The organiser's line for a line's outcome: what happened, and what to do when it failed."""
    label = line.label()
    link = messages.VIEW_LINK.format(url=outcome.public_url) if outcome.public_url else ""
    if outcome.state is State.PUBLISHED:
        shown = messages.VIEW_SHOWN if line.visible else messages.VIEW_HIDDEN
        return messages.VIEW_PUBLISHED.format(label=label, shown=shown) + link
    if outcome.state is State.ACCEPTED:
        # Only the rehearsal makes the copy before its login: accepted, it is ready to publish.
        text = (messages.VIEW_READY if outcome.cleaned else messages.VIEW_ACCEPTED).format(label=label) + link
        closed = outcome.cause == messages.CLOSED
        return messages.ACCEPTED_CLOSED.format(text=text, cause=messages.VIEW_CLOSED) if closed else text
    if outcome.cause == messages.LOGIN_REFUSED:
        return messages.VIEW_LOGIN_REFUSED.format(label=label, number=line.number)
    if outcome.cause == messages.CLOSED:
        return messages.LINE_CAUSE.format(label=label, cause=messages.VIEW_CLOSED)
    return messages.LINE_CAUSE.format(label=label, cause=outcome.cause)


def details(outcome: Outcome) -> str:
    url = outcome.public_url or "-"
    statuses = " ".join(map(str, outcome.statuses)) or "-"
    return messages.JOURNAL_DETAILS.format(state=outcome.state.value, sent=outcome.sent, url=url, statuses=statuses)


class Publisher:
    """The plain run's handling of one line: the module's standard output
    line, then the upload dialogue when the line is usable, its Papi file
    sent as the copy without the players' contacts (unchanged with `as_is`)."""

    def __init__(self, env: Environment, recorder: Recorder, stamped: bool = False, as_is: bool = False) -> None:
        self.env = env
        self.recorder = recorder
        self.stamped = stamped
        self.as_is = as_is
        if as_is:
            env.say(messages.AS_IS_WARNING)

    def one(self, line: Line) -> Outcome:
        line.examine()  # the file system as it is when the line's turn comes
        text = line.module_line()
        if text is not None:
            self.env.out(text)
        if not line.usable(Need.PUBLISH):
            return judge.failed(line.cause, stops=False)

        def send(path: str) -> Outcome:
            return dialogue.publish(self.recorder, line.fields[0], line.password, path, line.visible)

        return papi_copy.publish(line, self.as_is, send)

    def tell(self, line: Line, outcome: Outcome) -> None:
        label, tournament = line.label(), papi_copy.described(outcome)
        cause = outcome.cause
        if outcome.state is State.WARNED and tournament:
            cause = messages.WARNED_ONLINE.format(cause=cause, tournament=tournament)
        if self.stamped:
            texts = {State.PUBLISHED: messages.STAMPED_PUBLISHED, State.FAILED: messages.STAMPED_FAILED}
            text = texts.get(outcome.state, messages.LINE_CAUSE)
            self.env.stamped(text.format(label=label, cause=cause, papi=line.papi, tournament=tournament))
        elif outcome.state is State.PUBLISHED:
            self.env.say(messages.LINE_PUBLISHED.format(label=label, tournament=tournament))
        else:
            self.env.say(messages.LINE_CAUSE.format(label=label, cause=cause))
