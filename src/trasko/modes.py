"""The command's modes, each in one entry: the option that picks it, the
options that serve only with it and those it refuses, its run over the list
and its summary. Every run ends in one `Status`, from its counts alone."""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable
from contextlib import nullcontext
from dataclasses import dataclass, replace
from enum import IntEnum
from functools import partial
from typing import TYPE_CHECKING

from trasko import board, dialogue, judge, messages, papi_copy
from trasko.batch import Batch, One, Publisher
from trasko.exchange import Recorder, Timeouts
from trasko.judge import Outcome, State
from trasko.listing import Line, Need
from trasko.messages import plural
from trasko.report import Environment

if TYPE_CHECKING:
    from trasko.options import Options


class Status(IntEnum):
    DONE = 0  # every usable line done
    NOT_DONE = 1  # a line not done, or the report not written
    USAGE = 2  # a command line that cannot be run, or a list that cannot be read


def status(counts: Counter[State], written: bool = True) -> Status:
    failed = counts[State.FAILED] or counts[State.UNTRIED]
    return Status.NOT_DONE if failed or not written else Status.DONE


Run = Callable[[Environment, "Options", list[Line]], Status]


@dataclass(frozen=True)
class Mode:
    flag: str | None  # the option that picks it; None for the plain run
    run: Run
    owns: tuple[str, ...] = ()  # options that serve only with it
    refuses: tuple[tuple[frozenset[str], str], ...] = ()  # options it does not combine with, and why
    names_missing_list: bool = False  # the module's own line for a list it cannot open
    reads_list: bool = True


def publish_summary(counts: Counter[State]) -> str:
    warned = counts[State.WARNED]
    published = plural(counts[State.PUBLISHED], messages.N_PUBLISHED)
    published += messages.SUMMARY_WARNED.format(warned=warned) if warned else ""
    failed, untried = (
        plural(counts[State.FAILED], messages.N_NOT_PUBLISHED),
        plural(counts[State.UNTRIED], messages.N_UNTRIED),
    )
    return messages.SUMMARY.format(published=published, failed=failed, untried=untried)


Summary = Callable[[Counter[State]], str]


def complete(
    env: Environment,
    options: Options,
    batch: Batch,
    lines: list[Line],
    summary: Summary,
    failed: str = "",
    recorder: Recorder | None = None,
) -> Status:
    """The batch run over the lines, then its end told and its report
    written, after an interruption too (Ctrl-C, a service manager's SIGTERM)."""
    try:
        with recorder.installed() if recorder is not None else nullcontext():
            batch.run(lines)
    except KeyboardInterrupt:
        env.on_own_line(messages.INTERRUPTED)
    else:
        if batch.stopped_at is not None and batch.untried:
            env.stopped(batch.stopped_at.label(), [line.label() for line in batch.untried])
    return finish(env, options, batch, summary, failed)


def finish(env: Environment, options: Options, batch: Batch, summary: Summary, failed: str = "") -> Status:
    """The summary said and the report written (the errands, which name a
    failure `failed`, write it first): the run's status."""
    from trasko import json_report

    if not failed:
        env.say(summary(batch.counts()))
    written = json_report.write(env, options.report, batch.entries, failed or State.FAILED)
    if failed:
        env.say(summary(batch.counts()))
    return status(batch.counts(), written)


def publish(env: Environment, options: Options, lines: list[Line]) -> Status:
    recorder = Recorder(Timeouts(options.wait))
    publisher = Publisher(env, recorder, as_is=options.as_is)
    batch = Batch(env, publisher.one, publisher.tell)
    batch.keep_going = options.keep_going
    outcome = complete(env, options, batch, lines, publish_summary, recorder=recorder)
    clock = partial(env.time, "%H:%M")
    env.show_board(options.list_file, [board.of_entry(e, clock) for e in batch.entries if not e.line.ignored], False)
    return outcome


def by_codes(dialogue_of: One) -> One:
    """For a mode that needs the codes alone: the dialogue, or why the line cannot have one."""
    return lambda line: dialogue_of(line) if line.usable(Need.CODES) else judge.failed(line.cause or messages.MALFORMED)


def check(env: Environment, options: Options, lines: list[Line]) -> Status:
    recorder = Recorder(Timeouts(options.wait))

    def one(line: Line) -> Outcome:
        tournament, refused = papi_copy.check(line)
        if refused is not None:
            return refused
        # The dialogue ends at the login's answer: the upload is never reached.
        outcome = dialogue.check(recorder, line.fields[0], line.password, line.papi_path())
        return replace(outcome, papi=tournament)

    def tell(line: Line, outcome: Outcome) -> None:
        if outcome.state is State.ACCEPTED:
            text = messages.CHECK_ACCEPTED if outcome.public_url else messages.CHECK_ACCEPTED_NO_LINK
            text = text.format(login=line.login or line.label(), url=outcome.public_url)
            env.out(messages.ACCEPTED_CLOSED.format(text=text, cause=outcome.cause) if outcome.cause else text)
            if outcome.papi is not None:
                env.say(messages.LINE_PAPI.format(label=line.label(), tournament=papi_copy.described(outcome)))
        elif outcome.cause.startswith(messages.LOGIN_REFUSED):  # with the site's own words after it
            refused = messages.CHECK_REFUSED.format(login=line.login or line.label())
            env.out(refused + outcome.cause.removeprefix(messages.LOGIN_REFUSED))
        else:
            env.say(messages.LINE_CAUSE.format(label=line.label(), cause=outcome.cause))

    return complete(env, options, Batch(env, by_codes(one), tell), lines, check_summary, recorder=recorder)


def check_summary(counts: Counter[State]) -> str:
    accepted = plural(counts[State.ACCEPTED], messages.N_ACCEPTED)
    return messages.CHECK_SUMMARY.format(accepted=accepted, refused=plural(counts[State.FAILED], messages.N_REFUSED))


def rehearse(env: Environment, options: Options, lines: list[Line]) -> Status:
    """Everything publishing checks, nothing sent: each Papi file read and
    checked against its line, its cleaned copy made, checked and removed,
    and the login alone in place of the upload."""
    recorder = Recorder(Timeouts(options.wait))

    def one(line: Line) -> Outcome:
        line.examine()
        if not line.usable(Need.PUBLISH):
            return judge.failed(line.cause, stops=False)
        # The dialogue ends at the login's answer: the upload is never reached.
        return papi_copy.publish(line, False, partial(dialogue.check, recorder, line.fields[0], line.password))

    def tell(line: Line, outcome: Outcome) -> None:
        if outcome.state is State.ACCEPTED:
            text = messages.REHEARSED.format(label=line.label(), tournament=papi_copy.described(outcome))
            env.say(text + (messages.REHEARSED_LINK.format(url=outcome.public_url) if outcome.public_url else ""))
        else:
            env.say(messages.LINE_CAUSE.format(label=line.label(), cause=outcome.cause))

    return complete(env, options, Batch(env, one, tell), lines, rehearsal_summary, recorder=recorder)


def rehearsal_summary(counts: Counter[State]) -> str:
    ready = plural(counts[State.ACCEPTED], messages.N_READY)
    return messages.REHEARSAL_SUMMARY.format(ready=ready, failed=plural(counts[State.FAILED], messages.N_NOT_READY))


def registry() -> dict[str | None, Mode]:
    """The modes by the option that picks them, in the order their option rules are checked."""
    from trasko import errands, prepare, watch

    errand_refuses = frozenset({"--verifier", "--suivre", "--continuer"})
    others = frozenset({"--verifier", "--suivre", "--continuer", "--facture", "--reglement", "--tel-quel", "--rapport"})
    modes = [
        Mode("--preparer", prepare.run, refuses=((others, messages.PREPARE_ALONE),), reads_list=False),
        Mode("--repetition", rehearse, refuses=((others - {"--rapport"}, messages.REHEARSAL_ALONE),)),
        Mode("--verifier", check, refuses=((frozenset({"--suivre", "--continuer"}), messages.CHECK_REFUSES),)),
        Mode("--suivre", watch.run, owns=("--intervalle",), names_missing_list=True),
        Mode(
            "--facture",
            errands.invoices,
            owns=("--dossier",),
            refuses=((frozenset({"--reglement"}), messages.ERRANDS_APART), (errand_refuses, messages.ERRAND_REFUSES)),
        ),
        Mode("--reglement", errands.send_rules, refuses=((errand_refuses, messages.ERRAND_REFUSES),)),
        Mode(None, publish, names_missing_list=True),
    ]
    return {mode.flag: mode for mode in modes}
