"""The upload dialogue of one tournament, run through the module and judged:
the whole publication, or its login alone (--verifier)."""

from __future__ import annotations

from trasko import judge
from trasko.exchange import Exchange, Recorder
from trasko.judge import Outcome


def publish(recorder: Recorder, login: str, password: str, papi: str, visible: bool) -> Outcome:
    """Publishes one tournament (inside `recorder.installed()`); `papi` is an absolute path."""

    def known(exchanges: list[Exchange]) -> bool:
        return judge.settled(exchanges, visible)

    envoi = recorder.velka.envoi_tournoi
    exchanges = recorder.run(lambda: envoi(login, password, papi, visible), stop_before=known)
    return judge.judge(exchanges, visible)


def check(recorder: Recorder, login: str, password: str, papi: str) -> Outcome:
    """Logs in only: the dialogue ends as soon as the login's answer is in,
    before the module reads it, so nothing is sent or printed after it."""

    def known(exchanges: list[Exchange]) -> bool:
        return judge.settled(exchanges, True, login_only=True)

    envoi = recorder.velka.envoi_tournoi
    exchanges = recorder.run(lambda: envoi(login, password, papi, True), stop_before=known, stop_after=known)
    return judge.judge(exchanges, True, login_only=True)
