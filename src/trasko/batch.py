"""A batch over the list, as the module's batch runs it: each line in order,
its standard output line as the module prints it, the module's dialogue for
each usable line; each outcome judged from the site's answers and told on
standard error, then the summary. Without `keep_going` the batch stops where
the module's would: at a dialogue the site did not answer as it should."""

from __future__ import annotations

from trasko import dialogue, json_report, judge, listing, messages, report
from trasko.exchange import Recorder
from trasko.json_report import Entry
from trasko.judge import Outcome
from trasko.listing import Line


class Batch:
    """One pass over the lines: what became of each."""

    def __init__(self, recorder: Recorder, keep_going: bool, stamped: bool = False) -> None:
        self.recorder = recorder
        self.keep_going = keep_going
        self.stamped = stamped
        self.entries: list[Entry] = []
        self.stopped_at: Line | None = None
        self.untried: list[Line] = []

    def run(self, lines: list[Line]) -> None:
        with self.recorder.installed():
            for index, line in enumerate(lines):
                outcome = self.handle(line)
                if outcome is not None and outcome.stops and not self.keep_going:
                    self.stop(line, lines[index + 1 :])
                    return

    def handle(self, line: Line) -> Outcome | None:
        """Publishes one line (or tells why not); None for a blank line or a comment."""
        line.examine()  # the file system as it is when the line's turn comes
        text = line.module_line()
        if text is not None:
            report.out(text)
        if line.kind in (listing.BLANK, listing.COMMENT):
            self.entries.append(Entry(line, json_report.IGNORED))
            return None
        if line.kind == listing.USABLE:
            outcome = dialogue.publish(self.recorder, line.fields[0], line.password, line.papi_path(), line.visible)
        else:
            outcome = judge.failed(line.cause, stops=False)
        self.entries.append(Entry.of(line, outcome))
        self.tell(line, outcome)
        return outcome

    def tell(self, line: Line, outcome: Outcome) -> None:
        label = line.label()
        if outcome.state == judge.PUBLISHED:
            if self.stamped:
                report.stamped(messages.STAMPED_PUBLISHED.format(label=label, papi=line.papi))
            return
        text = messages.STAMPED_FAILED if self.stamped and outcome.state == judge.FAILED else messages.LINE_CAUSE
        (report.stamped if self.stamped else report.say)(text.format(label=label, cause=outcome.cause))

    def stop(self, line: Line, rest: list[Line]) -> None:
        self.stopped_at = line
        self.untried = [later for later in rest if later.kind not in (listing.BLANK, listing.COMMENT)]
        self.entries += [Entry(later, json_report.UNTRIED) for later in self.untried]

    def counts(self) -> tuple[int, int, int]:
        states = [entry.state for entry in self.entries]
        warned = states.count(judge.WARNED)
        return states.count(judge.PUBLISHED) + warned, warned, states.count(judge.FAILED)

    def status(self) -> int:
        return 1 if self.counts()[2] or self.untried else 0

    def tell_end(self) -> int:
        if self.stopped_at is not None and self.untried:
            report.stopped(self.stopped_at.label(), [line.label() for line in self.untried])
        published, warned, failed = self.counts()
        report.summary(published, warned, failed, len(self.untried))
        return self.status()


def run(lines: list[Line], recorder: Recorder, keep_going: bool, report_file: str | None) -> int:
    batch = Batch(recorder, keep_going)
    batch.run(lines)
    status = batch.tell_end()
    return status if json_report.write(report_file, batch.entries) else 1
