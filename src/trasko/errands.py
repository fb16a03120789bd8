"""The organiser's other errands on the tournament page, for every
tournament of the list: save the homologation fees invoice (--facture), or
send the same rules PDF to each (--reglement). Each is a dialogue of the
command's own (`dialogue.errand`), judged by its table of steps in
`trasko.judge`; what is left here is the files."""

from __future__ import annotations

import os
import re
import secrets
from collections import Counter
from dataclasses import replace
from pathlib import Path
from typing import TYPE_CHECKING

from trasko import dialogue, invoice, judge, messages, site
from trasko.batch import Batch, One
from trasko.exchange import Timeouts, file_error
from trasko.judge import Judge, Outcome, State
from trasko.listing import Line
from trasko.messages import plural
from trasko.modes import Status, Summary, by_codes, complete
from trasko.report import Environment

if TYPE_CHECKING:
    from trasko.options import Options

FAILED = "echec"  # a failure, as the errands' report names it
PDF_MAGIC = b"%PDF-"
# Characters no Windows file name may hold, and the path separators.
_UNSAFE = re.compile(r'[<>:"/\\|?*\x00-\x1f]')


# --- the files ----------------------------------------------------------------


def pdf_problem(path: str, list_file: str = "") -> str | None:
    """Why `path` cannot be sent as the rules; None when it is a PDF (by its
    first bytes: a name ending in .pdf proves nothing). When the list is the
    PDF, the two were given the wrong way round: that is what is said."""
    try:
        if os.path.isdir(path):
            raise IsADirectoryError(path)
        with open(path, "rb") as file:
            head = file.read(len(PDF_MAGIC))
    except OSError as error:
        return messages.RULES_UNREADABLE_AT.format(path=path, reason=file_error(error))
    if head == PDF_MAGIC:
        return None
    if list_file and starts_pdf(list_file):
        return messages.RULES_SWAPPED.format(path=path, pdf=list_file)
    return messages.RULES_NOT_PDF.format(path=path)


def starts_pdf(path: str) -> bool:
    try:
        with open(path, "rb") as file:
            return file.read(len(PDF_MAGIC)) == PDF_MAGIC
    except OSError:
        return False


def invoice_path(folder: str, login: str) -> Path:
    """Where a tournament's invoice is saved: `facture-LOGIN.html` in `folder`,
    the login made a plain file name (it never reaches another folder)."""
    return Path(folder) / f"facture-{_UNSAFE.sub('_', login)}.html"


def save(path: Path, text: str) -> None:
    """Written beside and renamed into place: never half an invoice on disk.
    The side file is created afresh, so a link planted in the folder under
    its name leads nowhere outside it."""
    part = path.with_name(f"{path.name}.{secrets.token_hex(4)}.part")
    # O_EXCL fails on anything already there; O_BINARY keeps Windows from rewriting line ends.
    handle = os.open(part, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
    try:
        with open(handle, "w", encoding="utf-8", newline="") as file:
            file.write(text)
        os.replace(part, path)
    except BaseException:
        os.unlink(part)
        raise


# --- the runs over the list -------------------------------------------------------


def _over(env: Environment, options: Options, lines: list[Line], one: One, summary: Summary) -> Status:
    """Each line's errand told on one line: done on standard output, the others on standard error."""

    def tell(line: Line, outcome: Outcome) -> None:
        text = messages.LINE_CAUSE.format(label=line.label(), cause=outcome.cause)
        (env.say if outcome.state is State.FAILED else env.out)(text)

    return complete(env, options, Batch(env, by_codes(one), tell), lines, summary, FAILED)


def invoices(env: Environment, options: Options, lines: list[Line]) -> Status:
    """Each tournament's invoice saved in its folder; nothing is uploaded or toggled."""
    folder, timeouts = options.folder or ".", Timeouts(options.wait)
    try:
        Path(folder).mkdir(parents=True, exist_ok=True)
    except OSError as error:
        reason = messages.NOT_A_FOLDER if isinstance(error, FileExistsError) else file_error(error)
        env.say(messages.INVOICE_FOLDER_UNUSABLE.format(folder=folder, reason=reason))
        return Status.USAGE

    refused: list[Line] = []  # a refused login is no tournament without an invoice

    def one(line: Line) -> Outcome:
        done = dialogue.errand(timeouts, line, Judge(judge.INVOICE, counts_sent=False), (site.INVOICE_EVENT, None))
        outcome = done.result()
        if outcome.cause.startswith(messages.LOGIN_REFUSED):
            refused.append(line)
        return _saved(done.last_page().text, folder, line, timeouts) if outcome.state is State.SAVED else outcome

    def summary(counts: Counter[State]) -> str:
        text = messages.INVOICE_SUMMARY.format(
            saved=plural(counts[State.SAVED], messages.N_INVOICES),
            exempt=plural(counts[State.EXEMPTED], messages.N_EXEMPTED),
            failed=plural(counts[State.FAILED] - len(refused), messages.N_NO_INVOICE),
        )
        return text + messages.INVOICE_REFUSED.format(refused=plural(len(refused), messages.N_LOGINS_REFUSED))

    return _over(env, options, lines, one, summary)


def _saved(text: str, folder: str, line: Line, timeouts: Timeouts) -> Outcome:
    # A first field that may hold a password never names a file.
    path = invoice_path(folder, line.login or f"ligne-{line.number}")
    try:
        save(path, _standalone(text, timeouts))
    except OSError as error:
        return judge.failed(messages.INVOICE_UNSAVED.format(path=path, reason=file_error(error)))
    return Outcome(State.SAVED, messages.INVOICE_SAVED.format(path=path))


def _standalone(page: str, timeouts: Timeouts) -> str:
    """The invoice with what it shows inside it: it opens and prints offline,
    and a rehearsal's invoice names no local site."""
    from urllib3.exceptions import HTTPError

    import velka

    session = velka.Session()  # type: ignore[attr-defined]

    def fetch(url: str) -> tuple[bytes, str] | None:
        try:
            with session.get(url, timeout=timeouts.for_request(0), stream=True) as answer:
                if answer.status_code != 200:
                    return None
                body = answer.raw.read(invoice.LARGEST_RESOURCE + 1, decode_content=True)
                return body, answer.headers.get("Content-Type", "")
        except (OSError, HTTPError):  # a resource that cannot be had is left out
            return None

    try:
        return invoice.standalone(page, site.base_url().rstrip("/") + "/MonTournoi.aspx", fetch)
    finally:
        session.close()


def send_rules(env: Environment, options: Options, lines: list[Line]) -> Status:
    """The same rules to every tournament; a file that is no PDF sends nothing at all."""
    pdf, timeouts = options.rules or "", Timeouts(options.wait)
    problem = pdf_problem(pdf, options.list_file)
    if problem is not None:
        env.say(messages.NOTHING_SENT.format(problem=problem))
        return Status.USAGE
    path, size = os.path.abspath(pdf), os.path.getsize(pdf)
    sent = messages.RULES_SENT.format(name=os.path.basename(path), size=size)

    def one(line: Line) -> Outcome:
        asked = Judge(judge.RULES, size=size, counts_sent=False)
        outcome = dialogue.errand(timeouts, line, asked, (site.RULES_EVENT, path)).result()
        return replace(outcome, cause=sent) if outcome.state is State.RULES_SENT else outcome

    def summary(counts: Counter[State]) -> str:
        sent = plural(counts[State.RULES_SENT], messages.N_RULES_SENT)
        return messages.RULES_SUMMARY.format(sent=sent, failed=plural(counts[State.FAILED], messages.N_NOT_SENT))

    return _over(env, options, lines, one, summary)
