"""A pass over the list, as the module's batch runs it: each line in order,
its outcome judged from the site's answers and told, then the summary. The
plain run prints each line's standard output line as the module does and,
without `keep_going`, stops where the module's batch would: at a dialogue
the site did not answer as it should."""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable

from trasko import dialogue, judge, messages
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
        for index, line in enumerate(lines):
            if line.ignored:
                self.entries.append(Entry(line, State.IGNORED))
                continue
            outcome = self.one(line)
            self.entries.append(Entry.of(line, outcome, self.env.now()))
            self.tell(line, outcome)
            if outcome.stops and not self.keep_going:
                self.stopped_at = line
                self.untried = [later for later in lines[index + 1 :] if not later.ignored]
                self.entries += [Entry(later, State.UNTRIED) for later in self.untried]
                return

    def counts(self) -> Counter[State]:
        counts = Counter(entry.state for entry in self.entries)
        counts[State.PUBLISHED] += counts[State.WARNED]
        return counts


class Publisher:
    """The plain run's handling of one line: the module's standard output
    line, then the upload dialogue when the line is usable."""

    def __init__(self, env: Environment, recorder: Recorder, stamped: bool = False) -> None:
        self.env = env
        self.recorder = recorder
        self.stamped = stamped

    def one(self, line: Line) -> Outcome:
        line.examine()  # the file system as it is when the line's turn comes
        text = line.module_line()
        if text is not None:
            self.env.out(text)
        if not line.usable(Need.PUBLISH):
            return judge.failed(line.cause, stops=False)
        return dialogue.publish(self.recorder, line.fields[0], line.password, line.papi_path(), line.visible)

    def tell(self, line: Line, outcome: Outcome) -> None:
        label = line.label()
        if self.stamped:
            texts = {State.PUBLISHED: messages.STAMPED_PUBLISHED, State.FAILED: messages.STAMPED_FAILED}
            text = texts.get(outcome.state, messages.LINE_CAUSE)
            self.env.stamped(text.format(label=label, cause=outcome.cause, papi=line.papi))
        elif outcome.state is not State.PUBLISHED:
            self.env.say(messages.LINE_CAUSE.format(label=label, cause=outcome.cause))
