"""The Papi file of a line as it leaves: read and checked against the line's
login before anything reaches the site, then sent as a cleaned copy (no
player's phone or e-mail, no FTP credentials: the federation republishes the
file for anyone to download) from a private temporary folder, under the same
name, removed once the dialogue is over. The organiser's file is only read."""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import replace

from trasko import judge, messages, papi
from trasko.exchange import file_error
from trasko.judge import Outcome, State
from trasko.listing import Line
from trasko.messages import plural

Send = Callable[[str], Outcome]  # the upload of the file at a path

CAUSES = {
    papi.NOT_JET: messages.NOT_PAPI_FILE,
    papi.NOT_PAPI: messages.NOT_PAPI_FILE,
    papi.TRUNCATED: messages.PAPI_INCOMPLETE,
    papi.CORRUPT: messages.PAPI_DAMAGED,
    papi.TOO_LARGE: messages.PAPI_TOO_LARGE,
    papi.UNCLEAN: messages.PAPI_UNCLEAN,
}


def refused(cause: str, lasting: bool = True) -> Outcome:
    # A file refused is this line's problem alone: the batch goes on. What it
    # holds is refused again until it changes; a file that cannot be opened may open later.
    return judge.failed(cause, stops=False, lasting=lasting)


def publish(line: Line, as_is: bool, send: Send) -> Outcome:
    path = line.papi_path()
    try:
        if as_is:
            return _as_is(line, path, send)
        before = _stamp(path)
        with papi.cleaned_copy(path) as cleaned:
            # A file Papi was saving meanwhile may mix two versions: not sent.
            problem = _other_tournament(line, cleaned.tournament) or _changed(path, before)
            return problem or _sent(send(cleaned.path), cleaned.tournament, cleaned=True)
    except papi.PapiError as error:
        return refused(CAUSES[error.reason])
    except OSError as error:
        return refused(messages.PAPI_UNREADABLE.format(reason=file_error(error)), lasting=False)


def _as_is(line: Line, path: str, send: Send) -> Outcome:
    """--tel-quel: the file unchanged, for one the cleaner cannot read; a file
    that is no Papi file, or another tournament's, is refused all the same."""
    try:
        tournament = papi.read(path)
    except papi.PapiError as error:
        if error.reason in (papi.NOT_JET, papi.NOT_PAPI):
            return refused(messages.NOT_PAPI_FILE)
        return send(path)
    return _other_tournament(line, tournament) or _sent(send(path), tournament, cleaned=False)


def check(line: Line) -> tuple[papi.Tournament | None, Outcome | None]:
    """--verifier: what the line's Papi file holds, and why it would be refused;
    nothing when there is no file yet."""
    path = line.papi_path()
    if not os.path.isfile(path):
        return None, None
    try:
        tournament = papi.read(path)
    except papi.PapiError as error:
        return None, refused(CAUSES[error.reason])
    except OSError as error:
        return None, refused(messages.PAPI_UNREADABLE.format(reason=file_error(error)), lasting=False)
    return tournament, _other_tournament(line, tournament)


def unchecked(tournament: papi.Tournament) -> bool:
    return tournament.homologation in ("", "0")


def _other_tournament(line: Line, tournament: papi.Tournament) -> Outcome | None:
    """The file names another tournament than the line's login (when both are numbers)."""
    login, number = line.fields[0], tournament.homologation
    if unchecked(tournament) or not login.isdigit() or not number.isdigit() or int(login) == int(number):
        return None
    name = tournament.name or messages.UNNAMED
    return refused(messages.PAPI_OTHER_TOURNAMENT.format(number=number, name=name, login=login))


def _sent(outcome: Outcome, tournament: papi.Tournament, cleaned: bool) -> Outcome:
    return replace(outcome, papi=tournament, cleaned=cleaned)


def _stamp(path: str) -> tuple[int, int]:
    status = os.stat(path)
    return status.st_size, status.st_mtime_ns


def _changed(path: str, before: tuple[int, int]) -> Outcome | None:
    return refused(messages.PAPI_CHANGING, lasting=False) if _stamp(path) != before else None


def described(outcome: Outcome) -> str:
    """What went online (or, for --verifier, what the file holds), after
    "publié" or "fichier Papi"; nothing when the file could not be read."""
    tournament = outcome.papi
    if tournament is None:
        return ""
    phones, emails = plural(tournament.phones, messages.N_PHONES), plural(tournament.emails, messages.N_EMAILS)
    if not tournament.phones and not tournament.emails:
        contacts = messages.NO_CONTACT
    elif outcome.state is State.ACCEPTED:
        contacts = messages.CONTACTS_TO_REMOVE.format(phones=phones, emails=emails)
    else:
        contacts = messages.CONTACTS_REMOVED.format(phones=phones, emails=emails) if outcome.cleaned else ""
        contacts = contacts or messages.CONTACTS_KEPT
    active, rounds = tournament.active_round, tournament.rounds
    return messages.TOURNAMENT.format(
        name=tournament.name or messages.UNNAMED,
        round=messages.TOURNAMENT_ROUND.format(active=active, rounds=rounds) if active else "",
        players=plural(tournament.players, messages.N_PLAYERS),
        contacts=contacts,
        unchecked=messages.UNCHECKED if unchecked(tournament) else "",
    )
