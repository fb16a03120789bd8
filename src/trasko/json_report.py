"""--rapport FICHIER: for scripts, one JSON object per line of the list (JSON
lines), rewritten whole at the end of each run or --suivre round. Keys:
"ligne", "identifiant" (null when the field may hold a password),
"resultat", "cause", "page_publique", "octets_envoyes", "heure"; and, once the
line's Papi file was read, "tournoi", "ronde", "rondes", "joueurs",
"telephones_retires", "emails_retires" (null when the file went unchanged).
No password: only what the stderr lines already say."""

from __future__ import annotations

import json
import os
import time
from contextlib import suppress
from dataclasses import dataclass
from typing import TYPE_CHECKING

from trasko import messages
from trasko.exchange import file_error
from trasko.judge import Outcome, State
from trasko.listing import Line
from trasko.report import Environment

if TYPE_CHECKING:
    from trasko.papi import Tournament


@dataclass
class Entry:
    line: Line
    state: State
    cause: str = ""
    public_url: str | None = None
    sent: int = 0
    when: float = 0.0
    papi: Tournament | None = None
    cleaned: bool = False

    @classmethod
    def of(cls, line: Line, outcome: Outcome, when: float) -> Entry:
        return cls(
            line, outcome.state, outcome.cause, outcome.public_url, outcome.sent, when, outcome.papi, outcome.cleaned
        )

    def record(self, now: float, failed: str) -> dict[str, object]:
        return {
            "ligne": self.line.number,
            "identifiant": self.line.login or None,
            "resultat": failed if self.state is State.FAILED else str(self.state),
            "cause": self.cause,
            "page_publique": self.public_url,
            "octets_envoyes": self.sent,
            "heure": time.strftime("%Y-%m-%dT%H:%M:%S%z", time.localtime(self.when or now)),
        } | self._tournament()

    def _tournament(self) -> dict[str, object]:
        papi = self.papi
        if papi is None:
            return {}
        removed = self.cleaned and self.state in (State.PUBLISHED, State.WARNED)
        return {
            "tournoi": papi.name,
            "ronde": papi.active_round,
            "rondes": papi.rounds,
            "joueurs": papi.players,
            "telephones_retires": papi.phones if removed else None,
            "emails_retires": papi.emails if removed else None,
        }


def overwrites(path: str | None, inputs: list[tuple[str | None, str]]) -> str | None:
    """What of the run's `inputs` (path, what it is) the report at `path`
    would be written over; None when it would be written over none."""
    if path is None:
        return None
    clashes = (what for name, what in inputs if name is not None and name != "-" and _same(path, name))
    what = next(clashes, None)
    return None if what is None else messages.REPORT_OVER_INPUT.format(name=path, what=what)


def _same(one: str, other: str) -> bool:
    try:
        return os.path.samefile(one, other)
    except (OSError, ValueError):
        return os.path.normcase(os.path.abspath(one)) == os.path.normcase(os.path.abspath(other))


def write(env: Environment, path: str | None, entries: list[Entry], failed: str = State.FAILED) -> bool:
    """Writes the report (when asked for), `failed` naming a failure; False,
    said on standard error, when it cannot be written."""
    if path is None:
        return True
    now = env.now()
    text = "".join(json.dumps(entry.record(now, failed), ensure_ascii=False) + "\n" for entry in entries)
    partial = f"{path}.partiel"
    try:
        with open(partial, "w", encoding="utf-8", newline="\n") as file:
            file.write(text)
        os.replace(partial, path)
    except OSError as error:
        with suppress(OSError):
            os.remove(partial)  # nothing left behind
        env.say(messages.REPORT_UNWRITABLE.format(name=path, reason=file_error(error)))
        return False
    return True
