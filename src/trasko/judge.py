"""The one judge of the upload dialogue: a dialogue's records in, one outcome
out, from what crossed the wire alone (status, final page, verdict, label).

The plain run, --continuer, --verifier and --suivre all call `judge`; the
wrappers ask `settled` before each request, so that a dialogue whose outcome
is known sends nothing more (no Papi file after a refused login, no show/hide
after a refused file, nothing after the login for --verifier).

A new dialogue writes its own walk over its records in the same shape: the
answer checks every request shares (`answer_failure`), then what each step
expects, returning an `Outcome` once it is known and None while it is not.
"""

from __future__ import annotations

from dataclasses import dataclass, replace

from trasko import messages, site
from trasko.exchange import Exchange

PUBLISHED = "publie"
WARNED = "publie_avertissement"  # the file is online, its visibility not set
FAILED = "non_publie"
ACCEPTED = "connexion_acceptee"  # --verifier: the login led to the tournament's page


@dataclass(frozen=True)
class Outcome:
    state: str
    cause: str = ""
    public_url: str | None = None
    sent: int = 0  # bytes of the Papi file that reached the site
    stops: bool = False  # whether a plain run stops after it

    @property
    def published(self) -> bool:
        return self.state in (PUBLISHED, WARNED)

    @property
    def ok(self) -> bool:
        return self.state in (PUBLISHED, WARNED, ACCEPTED)


def failed(cause: str, stops: bool = True) -> Outcome:
    return Outcome(FAILED, cause, stops=stops)


def judge(exchanges: list[Exchange], visible: bool, login_only: bool = False) -> Outcome:
    """The outcome of one upload dialogue (or of its login alone)."""
    outcome = _walk(exchanges, visible, login_only) or failed(messages.DIALOGUE_CUT)
    sent = sum(e.sent for e in exchanges if e.status is not None)
    return replace(outcome, sent=sent)


def settled(exchanges: list[Exchange], visible: bool, login_only: bool = False) -> bool:
    """Whether the outcome is known already, so that no further request is to leave."""
    return _walk(exchanges, visible, login_only) is not None


def answer_failure(exchange: Exchange) -> Outcome | None:
    """What every request shares: it left, an answer came, readable, without an error status."""
    if exchange.unsent is not None:
        return failed(exchange.unsent)
    if exchange.error is not None:
        return failed(exchange.error)
    if exchange.undecodable:
        return failed(messages.UNDECODABLE)
    if exchange.status is None or exchange.page is None:
        return failed(messages.DIALOGUE_CUT)
    if exchange.status >= 400:
        return failed(messages.SITE_ERROR.format(status=exchange.status))
    return None


def _unexpected(where: str | None = None) -> Outcome:
    return failed(messages.UNEXPECTED_PAGE_AT.format(where=where) if where else messages.UNEXPECTED_PAGE)


def _form_failure(exchange: Exchange, kind: str) -> Outcome | None:
    """An answer that must be page `kind` with the form fields the next request posts back."""
    failure = answer_failure(exchange)
    if failure is not None:
        return failure
    if exchange.kind != kind:
        return _unexpected()
    return None if exchange.page and exchange.page.state_fields else _unexpected(messages.INCOMPLETE_FORM)


def _walk(ex: list[Exchange], visible: bool, login_only: bool) -> Outcome | None:
    if not ex:
        return None
    entry = _form_failure(ex[0], site.LOGIN_FORM)
    if entry is not None or len(ex) < 2:
        return entry
    login = _login(ex[1], login_only)
    if login is not None or len(ex) < 3:
        return login
    return _upload(ex[2:], visible, ex[1].page.public_url if ex[1].page else None)


def _login(answer: Exchange, login_only: bool) -> Outcome | None:
    failure = answer_failure(answer)
    if failure is not None:
        return failure
    if answer.kind == site.LOGIN_FORM:
        return failed(messages.LOGIN_REFUSED)
    if answer.kind != site.TOURNAMENT or answer.page is None:
        return _unexpected()
    if not answer.page.upload_control:
        return failed(messages.CLOSED, stops=False)
    if login_only:
        return Outcome(ACCEPTED, public_url=answer.page.public_url)
    return None if answer.page.state_fields else _unexpected(messages.INCOMPLETE_FORM)


def _upload(ex: list[Exchange], visible: bool, public_url: str | None) -> Outcome | None:
    answer = ex[0]
    failure = answer_failure(answer)
    if failure is not None:
        return failure
    if answer.kind == site.LOGIN_FORM:
        return _unexpected(messages.LOGGED_OUT)
    if answer.kind != site.TOURNAMENT or answer.page is None:
        return _unexpected()
    page = answer.page
    if not site.upload_taken(page.verdict):
        cause = messages.FILE_REFUSED.format(verdict=page.verdict) if page.verdict else messages.NOT_CONFIRMED
        return failed(cause, stops=False)
    public_url = page.public_url or public_url
    shown = site.shown(page.label)
    if shown is None:
        why = messages.NO_BUTTON if page.label is None else messages.UNKNOWN_LABEL.format(label=page.label.strip())
        return _warned(why, public_url)
    if shown == visible:
        return Outcome(PUBLISHED, public_url=public_url)
    if not page.state_fields:
        return _warned(messages.UNEXPECTED_PAGE_AT.format(where=messages.INCOMPLETE_FORM), public_url)
    return _toggle(ex[1], visible, public_url) if len(ex) > 1 else None


def _toggle(answer: Exchange, visible: bool, public_url: str | None) -> Outcome:
    failure = answer_failure(answer)
    if failure is not None:
        return _warned(failure.cause, public_url)
    if answer.kind != site.TOURNAMENT or answer.page is None:
        return _warned(messages.UNEXPECTED_PAGE, public_url)
    if site.shown(answer.page.label) != visible:
        return _warned(messages.TOGGLE_NOT_TAKEN, public_url)
    return Outcome(PUBLISHED, public_url=public_url)


def _warned(why: str, public_url: str | None) -> Outcome:
    return Outcome(WARNED, messages.VISIBILITY_UNSET.format(why=why), public_url=public_url)
