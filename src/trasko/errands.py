"""The organiser's other errands on the tournament page, for every
tournament of the list: save the homologation fees invoice (--facture), or
send the same rules PDF to each (--reglement).

Each is a dialogue of the command's own, in the module's requests and
readers (`read_url`, `get_attr_value`, `get_ident_text`): the entry page,
the login, then one post-back of the tournament page. Every request goes
through a `RecordingSession` (time-outs, one `Exchange` each); what the
errand reads on each answer is kept beside it (`Read`), and one walk per
errand turns both into the outcome, asked before each request so that a
known outcome sends nothing more."""

from __future__ import annotations

import html
import os
import re
from collections.abc import Callable
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any

from trasko import json_report, listing, messages, report, site
from trasko.exchange import Exchange, RecordingSession, Timeouts, file_error
from trasko.json_report import Entry
from trasko.judge import Outcome, answer_failure
from trasko.listing import Line
from trasko.options import NOT_PUBLISHED, USAGE_ERROR

RULES_EVENT = "ctl00$ContentPlaceHolderMain$CmdUploadRI"
RULES_FILE = "ctl00$ContentPlaceHolderMain$UploadRI"
RULES_BUTTON_ID = RULES_EVENT.replace("$", "_")
INVOICE_ID = "ctl00_ContentPlaceHolderMain_CmdFactureHomologation"
INVOICE_EVENT = "ctl00$ContentPlaceHolderMain$CmdFactureHomologation"
INVOICE_DUE = "afficher la facture"
INVOICE_EXEMPT = "tournoi exempté de droits"

# The errands' outcomes, as the report names them.
SAVED = "facture_enregistree"
EXEMPTED = "exempte"
RULES_SENT = "reglement_envoye"
FAILED = "echec"
DONE = (SAVED, EXEMPTED, RULES_SENT)

PDF_MAGIC = b"%PDF-"
_HEAD = re.compile(r"<head(?:\s[^>]*)?>", re.IGNORECASE)
_HTML = re.compile(r"<html(?:\s[^>]*)?>", re.IGNORECASE)
# Characters no Windows file name may hold, and the path separators.
_UNSAFE = re.compile(r'[<>:"/\\|?*\x00-\x1f]')


# --- the files ----------------------------------------------------------------


def pdf_problem(path: str) -> str | None:
    """Why `path` cannot be sent as the rules; None when it is a PDF (by its
    first bytes: a name ending in .pdf proves nothing)."""
    try:
        if os.path.isdir(path):
            raise IsADirectoryError(path)
        with open(path, "rb") as file:
            head = file.read(len(PDF_MAGIC))
    except OSError as error:
        return messages.RULES_UNREADABLE_AT.format(path=path, reason=file_error(error))
    return None if head == PDF_MAGIC else messages.RULES_NOT_PDF.format(path=path)


def with_base(page: str, base_url: str) -> str:
    """The invoice with `<base href="SITE">` as the first child of its head,
    so that its relative links (styles, images) work once saved on disk."""
    base = f'<base href="{html.escape(base_url, quote=True)}">'
    head = _HEAD.search(page)
    if head is not None:
        return page[: head.end()] + base + page[head.end() :]
    root = _HTML.search(page)
    at = root.end() if root is not None else 0
    return page[:at] + f"<head>{base}</head>" + page[at:]


def invoice_path(folder: str, login: str) -> Path:
    """Where a tournament's invoice is saved: `facture-LOGIN.html` in `folder`,
    the login made a plain file name (it never reaches another folder)."""
    return Path(folder) / f"facture-{_UNSAFE.sub('_', login)}.html"


def save(path: Path, text: str) -> None:
    """Written beside and renamed into place: never half an invoice on disk."""
    part = path.with_name(path.name + ".part")
    part.write_text(text, encoding="utf-8", newline="")
    os.replace(part, path)


# --- the dialogue ---------------------------------------------------------------


@dataclass(frozen=True)
class Read:
    """What the errand read on one answer, with the module's readers."""

    invoice: str | None = None  # the invoice control's label, blanks collapsed; None without it
    rules_upload: bool = False  # the rules' file field and button are both there
    verdict: str = ""  # the upload label's text, blanks collapsed
    text: str | None = None  # the answer as the module decoded it


Walk = Callable[[list[Exchange], list[Read]], "Outcome | None"]


class Dialogue:
    """One tournament's errand: its records, what was read on each answer,
    and the form values carried from one page to the next post-back."""

    def __init__(self, velka: Any, timeouts: Timeouts) -> None:
        self.velka = velka
        self.exchanges: list[Exchange] = []
        self.reads: list[Read] = []
        self.vars: dict[str, Any] = {}
        self.session = RecordingSession(timeouts, self.exchanges, velka.Session())

    def run(self, login: str, password: str, errand: tuple[str, str | None], walk: Walk) -> Outcome:
        """Entry page, login, then the errand's post-back (its event target and
        file); stops as soon as `walk` knows the outcome."""
        v = self.velka
        target, file = errand
        credentials = {v.FLD_LOGIN: login, v.FLD_PASSWD: password, f"{v.IMG_BUTTON}.x": "3", f"{v.IMG_BUTTON}.y": "3"}
        steps: list[Callable[[], None]] = [
            lambda: self.send(""),
            lambda: self.send("/Default.aspx", {**self.state(), **credentials}),
            lambda: self.send("/MonTournoi.aspx", self.state(target), None if file is None else {RULES_FILE: file}),
        ]
        for step in steps:
            outcome = walk(self.exchanges, self.reads)
            if outcome is not None:
                return outcome
            step()
        return walk(self.exchanges, self.reads) or _failed(messages.DIALOGUE_CUT)

    def send(self, path: str, data: dict[str, Any] | None = None, files: dict[str, str] | None = None) -> None:
        v, count = self.velka, len(self.exchanges)
        text = v.read_url(self.session, v.ADMIN_FFE_URL + path, data, files=files)
        if len(self.exchanges) == count:  # nothing left: the file could not be opened
            reason = _unopenable(files)
            self.exchanges.append(Exchange("POST", path, unsent=messages.RULES_UNREADABLE.format(reason=reason)))
        self.reads.append(Read() if text is None else self.read(text))

    def read(self, text: str) -> Read:
        v = self.velka
        soup = v.BeautifulSoup(text, "html.parser")
        for name in (v.VIEW_STATE, v.VIEW_GENERATOR, v.EVENT_VALIDATION):
            if soup.find(attrs={"name": name}) is not None:
                v.get_attr_value(soup, self.vars, name)
        rules = soup.find(attrs={"name": RULES_FILE}) is not None and soup.find(id=RULES_BUTTON_ID) is not None
        return Read(self.text(soup, INVOICE_ID), rules, self.text(soup, site.UPLOAD_VERDICT_ID) or "", text)

    def text(self, soup: Any, ident: str) -> str | None:
        if soup.find(id=ident) is None:
            return None
        self.velka.get_ident_text(soup, self.vars, ident)
        return " ".join(self.vars[ident].split())

    def state(self, target: str | None = None) -> dict[str, Any]:
        """The state fields of the page just read, and the event posted back."""
        v = self.velka
        fields = {name: self.vars.get(name) for name in (v.VIEW_STATE, v.VIEW_GENERATOR, v.EVENT_VALIDATION)}
        return fields if target is None else {**fields, "__EVENTTARGET": target, "__EVENTARGUMENT": ""}


def _unopenable(files: dict[str, str] | None) -> str:
    for name in (files or {}).values():
        try:
            with open(name, "rb"):
                pass
        except OSError as error:
            return file_error(error)
    return messages.FILE_UNOPENABLE


# --- the walks: records in, outcome out ---------------------------------------------


def _failed(cause: str) -> Outcome:
    return Outcome(FAILED, cause)


def _unexpected(where: str | None = None) -> Outcome:
    return _failed(messages.UNEXPECTED_PAGE_AT.format(where=where) if where else messages.UNEXPECTED_PAGE)


def _answer(exchange: Exchange, kind: str) -> Outcome | None:
    """The checks every answer shares, then: it is page `kind`, with the state fields to post back."""
    failure = answer_failure(exchange)
    if failure is not None:
        return _failed(failure.cause)
    if exchange.kind == site.LOGIN_FORM and kind == site.TOURNAMENT:
        return _failed(messages.LOGIN_REFUSED)
    if exchange.kind != kind or exchange.page is None:
        return _unexpected()
    return None if exchange.page.state_fields else _unexpected(messages.INCOMPLETE_FORM)


def _logged_in(ex: list[Exchange]) -> Outcome | None:
    """The outcome when the entry page or the login went wrong; None while they did not."""
    entry = _answer(ex[0], site.LOGIN_FORM) if ex else None
    return entry or (_answer(ex[1], site.TOURNAMENT) if len(ex) > 1 else None)


def _errand_answer(exchange: Exchange) -> Outcome | None:
    failure = answer_failure(exchange)
    if failure is not None:
        return _failed(failure.cause)
    return _unexpected(messages.LOGGED_OUT) if exchange.kind == site.LOGIN_FORM else None


def invoice_walk(ex: list[Exchange], reads: list[Read]) -> Outcome | None:
    """SAVED (the invoice is in the last read, to be saved), EXEMPTED, or why not."""
    known = _logged_in(ex)
    if known is not None or len(ex) < 2:
        return known
    label = reads[1].invoice
    if label is None:
        return _failed(messages.NO_INVOICE)
    if label.lower() == INVOICE_EXEMPT:
        return Outcome(EXEMPTED, messages.INVOICE_EXEMPT)
    if label.lower() != INVOICE_DUE:
        return _unexpected(messages.INVOICE_LABEL.format(label=label))
    if len(ex) < 3:
        return None
    failure = _errand_answer(ex[2])
    if failure is None and (ex[2].kind == site.TOURNAMENT or not (reads[2].text or "").strip()):
        failure = _unexpected(messages.INVOICE_NOT_GIVEN)
    return failure or Outcome(SAVED)


def rules_walk(size: int) -> Walk:
    """The walk of the rules sent, `size` bytes."""

    def walk(ex: list[Exchange], reads: list[Read]) -> Outcome | None:
        known = _logged_in(ex)
        if known is not None or len(ex) < 2:
            return known
        if not reads[1].rules_upload:
            return _failed(messages.RULES_CLOSED)
        if len(ex) < 3:
            return None
        failure = _errand_answer(ex[2])
        if failure is None and ex[2].kind != site.TOURNAMENT:
            failure = _unexpected()
        return failure or _verdict(reads[2].verdict, size)

    return walk


def _verdict(verdict: str, size: int) -> Outcome:
    taken = site.UPLOAD_TAKEN.fullmatch(verdict)
    if taken is None:
        return _failed(messages.RULES_REFUSED.format(verdict=verdict) if verdict else messages.RULES_NOT_CONFIRMED)
    got = int(re.sub(r"\D", "", taken.group(1)))
    if got != size:
        return _failed(messages.RULES_INCOMPLETE.format(got=got, size=size))
    return Outcome(RULES_SENT, sent=size)


# --- the runs over the list -------------------------------------------------------

# The Papi file need not exist, nor the visibility be given: the codes are what count.
ERRAND_LINES = (listing.USABLE, listing.PAPI_PROBLEM, listing.MALFORMED)


def dispatch(options: Any, lines: list[Line]) -> int:
    timeouts = Timeouts(options.wait)
    if options.rules is not None:
        return send_rules(lines, options.rules, timeouts, options.report)
    return invoices(lines, options.folder or ".", timeouts, options.report)


def invoices(lines: list[Line], folder: str, timeouts: Timeouts, report_file: str | None = None) -> int:
    """Each tournament's invoice saved in `folder`; nothing is uploaded or toggled."""
    try:
        Path(folder).mkdir(parents=True, exist_ok=True)
    except OSError as error:
        reason = messages.NOT_A_FOLDER if isinstance(error, FileExistsError) else file_error(error)
        report.say(messages.INVOICE_FOLDER_UNUSABLE.format(folder=folder, reason=reason))
        return USAGE_ERROR

    def one(dialogue: Dialogue, line: Line) -> Outcome:
        outcome = dialogue.run(line.fields[0], line.password, (INVOICE_EVENT, None), invoice_walk)
        return _saved(dialogue, folder, line) if outcome.state == SAVED else outcome

    counts, written = tally(lines, one, timeouts, report_file)
    report.say(
        messages.INVOICE_SUMMARY.format(
            saved=messages.plural(counts[SAVED], messages.N_INVOICES),
            exempt=messages.plural(counts[EXEMPTED], messages.N_EXEMPTED),
            failed=messages.plural(counts[FAILED], messages.N_NO_INVOICE),
        )
    )
    return NOT_PUBLISHED if counts[FAILED] or not written else 0


def _saved(dialogue: Dialogue, folder: str, line: Line) -> Outcome:
    # A first field that may hold a password never names a file.
    path = invoice_path(folder, line.login or f"ligne-{line.number}")
    try:
        save(path, with_base(dialogue.reads[-1].text or "", site.base_url()))
    except OSError as error:
        return _failed(messages.INVOICE_UNSAVED.format(path=path, reason=file_error(error)))
    return Outcome(SAVED, messages.INVOICE_SAVED.format(path=path))


def send_rules(lines: list[Line], pdf: str, timeouts: Timeouts, report_file: str | None = None) -> int:
    """The same rules to every tournament; a file that is no PDF sends nothing at all."""
    problem = pdf_problem(pdf)
    if problem is not None:
        report.say(messages.NOTHING_SENT.format(problem=problem))
        return USAGE_ERROR
    path, size = os.path.abspath(pdf), os.path.getsize(pdf)
    sent = messages.RULES_SENT.format(name=os.path.basename(path), size=size)

    def one(dialogue: Dialogue, line: Line) -> Outcome:
        outcome = dialogue.run(line.fields[0], line.password, (RULES_EVENT, path), rules_walk(size))
        return replace(outcome, cause=sent) if outcome.state == RULES_SENT else outcome

    counts, written = tally(lines, one, timeouts, report_file)
    report.say(
        messages.RULES_SUMMARY.format(
            sent=messages.plural(counts[RULES_SENT], messages.N_RULES_SENT),
            failed=messages.plural(counts[FAILED], messages.N_NOT_SENT),
        )
    )
    return NOT_PUBLISHED if counts[FAILED] or not written else 0


def tally(
    lines: list[Line], one: Callable[[Dialogue, Line], Outcome], timeouts: Timeouts, report_file: str | None
) -> tuple[dict[str, int], bool]:
    """Each line's errand told on one line (done on standard output, the
    others on standard error); the count of each outcome, and whether the
    report could be written."""
    import velka

    counts = dict.fromkeys((*DONE, FAILED), 0)
    entries: list[Entry] = []
    for line in lines:
        if line.kind in (listing.BLANK, listing.COMMENT):
            entries.append(Entry(line, json_report.IGNORED))
            continue
        usable = line.kind in ERRAND_LINES and len(line.fields) > 2 and messages.SPLIT_PASSWORD not in line.cause
        outcome = one(Dialogue(velka, timeouts), line) if usable else _failed(line.cause or messages.MALFORMED)
        entries.append(Entry.of(line, outcome))
        counts[outcome.state] += 1
        text = messages.LINE_CAUSE.format(label=line.label(), cause=outcome.cause)
        if outcome.state in DONE:
            report.out(text)
        else:
            report.say(text)
    return counts, json_report.write(report_file, entries)
