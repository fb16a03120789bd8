"""--verifier: each tournament's codes tried on the site before the event.
The module's own dialogue runs up to the login's answer and no further."""

from __future__ import annotations

from trasko import dialogue, json_report, judge, listing, messages, report
from trasko.exchange import Recorder
from trasko.json_report import Entry
from trasko.judge import Outcome
from trasko.listing import Line

# The Papi file need not exist yet, nor the visibility be given.
CHECKABLE = (listing.USABLE, listing.PAPI_PROBLEM, listing.MALFORMED)


def run(lines: list[Line], recorder: Recorder, report_file: str | None) -> int:
    entries: list[Entry] = []
    with recorder.installed():
        for line in lines:
            if line.kind in (listing.BLANK, listing.COMMENT):
                entries.append(Entry(line, json_report.IGNORED))
                continue
            outcome = _check(recorder, line)
            entries.append(Entry.of(line, outcome))
    accepted = sum(entry.state == judge.ACCEPTED for entry in entries)
    refused = sum(entry.state == judge.FAILED for entry in entries)
    report.say(
        messages.CHECK_SUMMARY.format(
            accepted=messages.plural(accepted, messages.N_ACCEPTED),
            refused=messages.plural(refused, messages.N_REFUSED),
        )
    )
    written = json_report.write(report_file, entries)
    return 1 if refused or not written else 0


def _check(recorder: Recorder, line: Line) -> Outcome:
    split = messages.SPLIT_PASSWORD in line.cause
    if line.kind not in CHECKABLE or len(line.fields) < 3 or split:
        outcome = judge.failed(line.cause or messages.MALFORMED)
        report.say(messages.LINE_CAUSE.format(label=line.label(), cause=outcome.cause))
        return outcome
    # No Papi file is opened before the upload, which is never reached here.
    outcome = dialogue.check(recorder, line.fields[0], line.password, line.papi_path())
    if outcome.state == judge.ACCEPTED:
        report.out(messages.CHECK_ACCEPTED.format(login=line.login or line.label(), url=outcome.public_url))
    elif outcome.cause == messages.LOGIN_REFUSED:
        report.out(messages.CHECK_REFUSED.format(login=line.login or line.label()))
    else:
        report.say(messages.LINE_CAUSE.format(label=line.label(), cause=outcome.cause))
    return outcome
