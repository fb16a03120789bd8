"""Each dialogue of one tournament, run and judged: the upload through the
module's own dialogue (the whole publication, or its login alone for
--verifier), and the errands' own dialogue in the module's `read_url`."""

from __future__ import annotations

from typing import Any

from trasko import judge
from trasko.exchange import Recorder, RecordingSession, Timeouts, send
from trasko.judge import Judge, Outcome
from trasko.listing import Line
from trasko.site import RULES_FILE


def publish(recorder: Recorder, login: str, password: str, papi: str, visible: bool) -> Outcome:
    """Publishes one tournament (inside `recorder.installed()`); `papi` is an absolute path."""
    envoi = recorder.velka.envoi_tournoi
    return recorder.run(lambda: envoi(login, password, papi, visible), Judge(judge.PUBLISH, visible)).result()


def check(recorder: Recorder, login: str, password: str, papi: str) -> Outcome:
    """Logs in only: the dialogue ends as soon as the login's answer is in,
    before the module reads it, so nothing is sent or printed after it."""
    envoi = recorder.velka.envoi_tournoi
    return recorder.run(lambda: envoi(login, password, papi, True), Judge(judge.CHECK), stop_after=True).result()


def errand(timeouts: Timeouts, line: Line, judge: Judge, post: tuple[str, str | None]) -> Judge:
    """Entry page, login, then one post-back of the tournament page (its event
    target, and the rules file to send, if any); stops as soon as the judge
    knows the outcome."""
    import velka as v

    session = RecordingSession(timeouts, judge, v.Session())  # type: ignore[attr-defined]
    target, file = post
    login = {v.FLD_LOGIN: line.fields[0], v.FLD_PASSWD: line.password}
    login |= {f"{v.IMG_BUTTON}.x": "3", f"{v.IMG_BUTTON}.y": "3"}
    event = {"__EVENTTARGET": target, "__EVENTARGUMENT": ""}
    requests: list[tuple[str, dict[str, Any] | None, dict[str, str] | None]] = [
        ("", None, None),
        ("/Default.aspx", login, None),
        ("/MonTournoi.aspx", event, None if file is None else {RULES_FILE: file}),
    ]
    for path, fields, files in requests:
        if judge.known:
            break
        data = None if fields is None else {**judge.last_page().state, **fields}
        send(v.read_url, session, v.ADMIN_FFE_URL + path, data, files)
    return judge
