"""The one judge of every dialogue with the site: fed each exchange as its
answer comes in, it keeps what it has seen and gives the outcome as soon as
it is known, from what crossed the wire alone (status, page, verdict, label).

A dialogue is a table of steps, one per request: each step judges its
request's answer and returns the outcome once it is known, None to let the
next request leave. `answer_failure` is what every answer shares. The
wrappers ask `known` before each request, so that a dialogue whose outcome
is known sends nothing more (no Papi file after a refused login, no
show/hide after a refused file, nothing after the login for --verifier).
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, replace
from enum import StrEnum
from typing import TYPE_CHECKING

from trasko import messages, site
from trasko.exchange import Exchange
from trasko.site import Page

if TYPE_CHECKING:
    from trasko.papi import Tournament


class State(StrEnum):
    """Every outcome a line can have, as the report names it."""

    PUBLISHED = "publie"
    WARNED = "publie_avertissement"  # the file is online, its visibility not set
    FAILED = "non_publie"
    ACCEPTED = "connexion_acceptee"  # --verifier: the login led to the tournament's page
    SAVED = "facture_enregistree"
    EXEMPTED = "exempte"
    RULES_SENT = "reglement_envoye"
    UNTRIED = "non_tente"
    IGNORED = "ignoree"  # blank lines and comments


@dataclass(frozen=True)
class Outcome:
    state: State
    cause: str = ""
    public_url: str | None = None
    sent: int = 0  # bytes of the file that reached the site
    stops: bool = False  # whether a plain run stops after it
    papi: Tournament | None = None  # what the Papi file holds, once read
    cleaned: bool = False  # sent as the copy without the players' contacts
    lasting: bool = False  # a failure that trying the same line and file again cannot change
    statuses: tuple[int, ...] = ()  # the site's answers, in order, for the journal

    @property
    def published(self) -> bool:
        return self.state in (State.PUBLISHED, State.WARNED)


def failed(cause: str, stops: bool = True, lasting: bool = False) -> Outcome:
    return Outcome(State.FAILED, cause, stops=stops, lasting=lasting)


Step = Callable[["Judge", Exchange], "Outcome | None"]


class Judge:
    """One dialogue's judge: its steps, the exchanges fed so far, what it keeps between them."""

    def __init__(self, steps: tuple[Step, ...], visible: bool = True, size: int = 0, counts_sent: bool = True) -> None:
        self.steps = steps
        self.visible = visible  # the visibility asked for
        self.size = size  # the size of the file sent, for the errands
        self.counts_sent = counts_sent
        self.exchanges: list[Exchange] = []
        self.outcome: Outcome | None = None
        self.public_url: str | None = None
        self.confirmed: int | None = None  # the bytes of the file the site says it received

    @property
    def known(self) -> bool:
        return self.outcome is not None

    def feed(self, exchange: Exchange) -> None:
        self.exchanges.append(exchange)
        index = len(self.exchanges) - 1
        if self.outcome is None and index < len(self.steps):
            self.outcome = self.steps[index](self, exchange)

    def last_page(self) -> Page:
        page = self.exchanges[-1].page if self.exchanges else None
        return page if page is not None else Page()

    def result(self) -> Outcome:
        outcome = self.outcome or failed(messages.DIALOGUE_CUT)
        outcome = replace(outcome, statuses=tuple(e.status for e in self.exchanges if e.status is not None))
        if not self.counts_sent:
            return outcome
        sent = sum(e.sent for e in self.exchanges if e.status is not None)
        return replace(outcome, sent=sent if self.confirmed is None else self.confirmed)


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


def _with_state(page: Page) -> Outcome | None:
    return None if page.state_fields else _unexpected(messages.INCOMPLETE_FORM)


def entry(_: Judge, exchange: Exchange) -> Outcome | None:
    """The site's entry page: the login form, with the fields the login posts back."""
    failure = answer_failure(exchange)
    if failure is not None or exchange.page is None:
        return failure
    return _with_state(exchange.page) if exchange.kind == site.LOGIN_FORM else _unexpected()


def _tournament_page(exchange: Exchange, logged_out: Outcome) -> Outcome | None:
    failure = answer_failure(exchange)
    if failure is not None:
        return failure
    if exchange.kind == site.LOGIN_FORM:
        return logged_out
    return None if exchange.kind == site.TOURNAMENT else _unexpected()


def _logged_in(exchange: Exchange) -> Outcome | None:
    said = exchange.page.verdict if exchange.page is not None else ""  # the site's own words, when it has some
    cause = messages.LOGIN_REFUSED_SAID.format(said=said) if said else messages.LOGIN_REFUSED
    return _tournament_page(exchange, failed(cause, lasting=True))


# --- the upload of a Papi file, and its login alone -----------------------------


def login(judge: Judge, exchange: Exchange) -> Outcome | None:
    known = _logged_in(exchange)
    if known is not None:
        return known
    page = judge.last_page()
    judge.public_url = page.public_url
    if not page.upload_control:
        return failed(messages.CLOSED, stops=False, lasting=True)
    return _with_state(page)


def login_only(judge: Judge, exchange: Exchange) -> Outcome | None:
    """ACCEPTED once the codes lead to the tournament's page, a closed one's too (its cause says closed)."""
    known = _logged_in(exchange)
    if known is not None:
        return known
    page = judge.last_page()
    return Outcome(State.ACCEPTED, "" if page.upload_control else messages.CLOSED, public_url=page.public_url)


def upload(judge: Judge, exchange: Exchange) -> Outcome | None:
    known = _tournament_page(exchange, _unexpected(messages.LOGGED_OUT))
    if known is not None:
        return known
    page = judge.last_page()
    judge.confirmed = site.taken_size(page.verdict)
    if judge.confirmed is None:
        if page.verdict:  # the site said why: the same file is refused again
            return failed(messages.FILE_REFUSED.format(verdict=page.verdict), stops=False, lasting=True)
        return failed(messages.NOT_CONFIRMED, stops=False)
    if judge.confirmed != exchange.sent:  # the site kept only part of the file
        got, size = (f"{n:,}".replace(",", " ") for n in (judge.confirmed, exchange.sent))
        return failed(messages.UPLOAD_INCOMPLETE.format(got=got, size=size), stops=False)
    judge.public_url = page.public_url or judge.public_url
    shown = site.shown(page.label)
    if shown is None:
        why = messages.NO_BUTTON if page.label is None else messages.UNKNOWN_LABEL.format(label=page.label.strip())
        return _warned(judge, why)
    if shown == judge.visible:
        return Outcome(State.PUBLISHED, public_url=judge.public_url)
    incomplete = _with_state(page)
    return _warned(judge, incomplete.cause) if incomplete else None


def toggle(judge: Judge, exchange: Exchange) -> Outcome:
    failure = answer_failure(exchange)
    if failure is not None:
        return _warned(judge, failure.cause)
    if exchange.kind != site.TOURNAMENT or exchange.page is None:
        return _warned(judge, messages.UNEXPECTED_PAGE)
    if site.shown(exchange.page.label) != judge.visible:
        return _warned(judge, messages.TOGGLE_NOT_TAKEN)
    return Outcome(State.PUBLISHED, public_url=judge.public_url)


def _warned(judge: Judge, why: str) -> Outcome:
    return Outcome(State.WARNED, messages.VISIBILITY_UNSET.format(why=why), public_url=judge.public_url)


# --- the errands: the invoice, the rules -----------------------------------------

INVOICE_DUE = "afficher la facture"
INVOICE_EXEMPT = "tournoi exempté de droits"


def errand_login(check: Callable[[Page], Outcome | None]) -> Step:
    """The login of an errand, then what its tournament page must offer."""

    def step(judge: Judge, exchange: Exchange) -> Outcome | None:
        return _logged_in(exchange) or _with_state(judge.last_page()) or check(judge.last_page())

    return step


def invoice_offered(page: Page) -> Outcome | None:
    label = page.invoice
    if label is None:
        return failed(messages.NO_INVOICE)
    if label.lower() == INVOICE_EXEMPT:
        return Outcome(State.EXEMPTED, messages.INVOICE_EXEMPT)
    return None if label.lower() == INVOICE_DUE else _unexpected(messages.INVOICE_LABEL.format(label=label))


def invoice(judge: Judge, exchange: Exchange) -> Outcome:
    """SAVED: the invoice is the last page, to be saved."""
    failure = answer_failure(exchange)
    if failure is None and exchange.kind == site.LOGIN_FORM:
        failure = _unexpected(messages.LOGGED_OUT)
    if failure is None and exchange.redirected:  # the invoice comes from the page posted to
        failure = failed(messages.INVOICE_ERROR_PAGE)
    if failure is None and (exchange.kind == site.TOURNAMENT or not judge.last_page().text.strip()):
        failure = _unexpected(messages.INVOICE_NOT_GIVEN)
    return failure or Outcome(State.SAVED)


def rules_offered(page: Page) -> Outcome | None:
    if page.rules_upload:
        return None
    # A page that still takes Papi files is no closed tournament's.
    return failed(messages.RULES_NOT_OFFERED if page.upload_control else messages.RULES_CLOSED)


def rules(judge: Judge, exchange: Exchange) -> Outcome:
    known = _tournament_page(exchange, _unexpected(messages.LOGGED_OUT))
    if known is not None:
        return known
    verdict = judge.last_page().verdict
    got = site.taken_size(verdict)
    if got is None:
        return failed(messages.RULES_REFUSED.format(verdict=verdict) if verdict else messages.RULES_NOT_CONFIRMED)
    if got != judge.size:
        return failed(messages.RULES_INCOMPLETE.format(got=got, size=judge.size))
    return Outcome(State.RULES_SENT, sent=judge.size)


# Each dialogue: its steps, one per request, in the order the requests leave.
PUBLISH = (entry, login, upload, toggle)
CHECK = (entry, login_only)
INVOICE = (entry, errand_login(invoice_offered), invoice)
RULES = (entry, errand_login(rules_offered), rules)
