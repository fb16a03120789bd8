"""The organiser's other errands on the tournament page, for every
tournament of the list: save the homologation fees invoice (--facture), or
send the same rules PDF to each (--reglement). Each is the login dialogue
followed by one more post-back of the tournament page."""

from __future__ import annotations

import html
import os
import re
from pathlib import Path
from typing import Any, NamedTuple

from trasko import listing, report
from trasko.options import NOT_PUBLISHED, USAGE_ERROR

PDF_MAGIC = b"%PDF-"
_HEAD = re.compile(r"<head(?:\s[^>]*)?>", re.IGNORECASE)
_HTML = re.compile(r"<html(?:\s[^>]*)?>", re.IGNORECASE)
# Characters no Windows file name may hold, and the path separators.
_UNSAFE = re.compile(r'[<>:"/\\|?*\x00-\x1f]')


def pdf_problem(path: str) -> str | None:
    """Why `path` cannot be sent as the rules; None when it is a PDF (by its
    first bytes: a name ending in .pdf proves nothing)."""
    if os.path.isdir(path):
        return f"« {path} » est un dossier : donnez le fichier PDF du règlement"
    try:
        with open(path, "rb") as file:
            head = file.read(len(PDF_MAGIC))
    except FileNotFoundError:
        return f"fichier du règlement introuvable : {path}"
    except PermissionError:
        return f"fichier du règlement illisible (accès refusé) : {path}"
    except OSError as error:
        return f"fichier du règlement illisible : {path} ({error.strerror or error})"
    if head != PDF_MAGIC:
        return f"« {path} » n'est pas un fichier PDF : enregistrez le règlement au format PDF, puis recommencez"
    return None


def with_base(page: str, site: str) -> str:
    """The invoice with `<base href="SITE">` as the first child of its head,
    so that its relative links (styles, images) work once saved on disk."""
    base = f'<base href="{html.escape(site, quote=True)}">'
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


# --- the dialogue ------------------------------------------------------------

VERDICT_ID = "ctl00_ContentPlaceHolderMain_LabelError"
RULES_EVENT = "ctl00$ContentPlaceHolderMain$CmdUploadRI"
RULES_FILE = "ctl00$ContentPlaceHolderMain$UploadRI"
INVOICE_ID = "ctl00_ContentPlaceHolderMain_CmdFactureHomologation"
INVOICE_EVENT = "ctl00$ContentPlaceHolderMain$CmdFactureHomologation"
INVOICE_DUE = "afficher la facture"
INVOICE_EXEMPT = "tournoi exempté de droits"
TAKEN = re.compile(r"Transfert du fichier : (.*) \(([\d\s]+) octets\) achevé")

DONE, NOTHING_DUE, FAILED = "fait", "rien à faire", "échec"


class Outcome(NamedTuple):
    kind: str  # DONE, NOTHING_DUE (counted as done) or FAILED
    text: str


class Dialogue:
    """One tournament's errand: the module's own request and readers, the
    state fields of each page carried to the next post-back."""

    def __init__(self, velka: Any, wire: Wire) -> None:
        self.velka = velka
        self.wire = wire
        self.session = wire.session()
        self.vars: dict[str, Any] = {}
        self.soup: Any = None

    def send(self, path: str, data: dict | None = None, files: dict | None = None) -> Outcome | None:
        """One request; None when the answer is a page to read on, else why not."""
        velka = self.velka
        html = velka.read_url(self.session, velka.ADMIN_FFE_URL + path, data, files=files)
        self.soup = None if html is None else velka.BeautifulSoup(html, "html.parser")
        self.html = html
        return self.wire.trouble(html is None)

    def login(self, login: str, password: str) -> Outcome | None:
        v = self.velka
        if (lost := self.send("")) or (lost := self.state("login")):
            return lost
        fields = {**self.fields(), v.FLD_LOGIN: login, v.FLD_PASSWD: password}
        fields.update({f"{v.IMG_BUTTON}.x": "3", f"{v.IMG_BUTTON}.y": "3"})
        return self.send("/Default.aspx", fields) or self.state("tournament")

    def state(self, expected: str) -> Outcome | None:
        """Reads the state fields when the page is the one expected, else says what came."""
        kind = page_kind(self.velka, self.soup)
        if kind != expected:
            return Outcome(FAILED, REFUSED if kind == "login" else UNEXPECTED)
        for name in (self.velka.VIEW_STATE, self.velka.VIEW_GENERATOR, self.velka.EVENT_VALIDATION):
            self.velka.get_attr_value(self.soup, self.vars, name)
        return None

    def fields(self, target: str | None = None) -> dict[str, Any]:
        v = self.velka
        names = (v.VIEW_STATE, v.VIEW_GENERATOR, v.EVENT_VALIDATION)
        fields = {name: self.vars[name] for name in names}
        if target is not None:
            fields.update({"__EVENTTARGET": target, "__EVENTARGUMENT": ""})
        return fields

    def text(self, ident: str) -> str | None:
        """The text of the element `ident`, read by the module; None when absent."""
        if self.soup.find(id=ident) is None:
            return None
        self.velka.get_ident_text(self.soup, self.vars, ident)
        return " ".join(self.vars[ident].split())


def page_kind(velka: Any, soup: Any) -> str:
    """Which of the site's pages this is: the login form, the tournament page, or another."""
    if soup.find(attrs={"name": velka.FLD_LOGIN}) is not None:
        return "login"
    if soup.find(attrs={"name": velka.VIEW_STATE}) is not None and soup.find(id=velka.VISIBILITY_ID) is not None:
        return "tournament"
    return "other"


def invoice(d: Dialogue, folder: str, login: str) -> Outcome:
    """Saves the tournament's invoice; nothing is uploaded or toggled."""
    label = d.text(INVOICE_ID)
    if label is None:
        return Outcome(FAILED, NO_INVOICE)
    if label.lower() == INVOICE_EXEMPT:
        return Outcome(NOTHING_DUE, EXEMPT)
    if label.lower() != INVOICE_DUE:
        return Outcome(FAILED, f"{UNEXPECTED} (bouton de la facture : « {label} »)")
    if lost := d.send("/MonTournoi.aspx", d.fields(INVOICE_EVENT)):
        return lost
    if page_kind(d.velka, d.soup) != "other":
        return Outcome(FAILED, f"{UNEXPECTED} (pas de facture dans la réponse)")
    path = invoice_path(folder, login)
    try:
        save(path, with_base(d.html, d.velka.ADMIN_FFE_URL))
    except OSError as error:
        return Outcome(FAILED, f"facture reçue mais non enregistrée : {path} ({error.strerror or error})")
    return Outcome(DONE, f"facture enregistrée : {path}")


def rules(d: Dialogue, pdf: str) -> Outcome:
    """Sends the rules and reads the site's verdict."""
    if d.soup.find(attrs={"name": RULES_FILE}) is None or d.soup.find(id=RULES_EVENT.replace("$", "_")) is None:
        return Outcome(FAILED, CLOSED)
    if lost := d.send("/MonTournoi.aspx", d.fields(RULES_EVENT), files={RULES_FILE: pdf}):
        return lost
    if page_kind(d.velka, d.soup) != "tournament":
        return Outcome(FAILED, UNEXPECTED)
    verdict = d.text(VERDICT_ID) or ""
    taken = TAKEN.fullmatch(verdict)
    if taken is None:
        return Outcome(FAILED, f"règlement refusé par le site : {verdict}" if verdict else NOT_CONFIRMED)
    size = int(re.sub(r"\s", "", taken.group(2)))
    if size != os.path.getsize(pdf):
        return Outcome(FAILED, f"règlement incomplet sur le site ({size} octets reçus sur {os.path.getsize(pdf)})")
    return Outcome(DONE, f"règlement envoyé : {taken.group(1)} ({size} octets)")


# --- the run over the list ----------------------------------------------------


Forms = tuple[str, str] | tuple[()]


def run(lines: list[Any], errand: Any, counts: tuple[Forms, Forms, Forms]) -> int:
    """Each usable line's errand, one line of outcome each, then the summary."""
    import velka

    tally = {DONE: 0, NOTHING_DUE: 0, FAILED: 0}
    for line in lines:
        outcome = _line_outcome(velka, line, errand)
        if outcome is None:
            continue
        tally[outcome.kind] += 1
        if outcome.kind == FAILED:
            report.say(f"{line.label()} : {outcome.text}")
        else:
            print(f"{line.label()} : {outcome.text}", flush=True)
    kinds = zip((DONE, NOTHING_DUE, FAILED), counts, strict=True)
    parts = [report.plural(tally[kind], *forms) for kind, forms in kinds if forms]
    report.say(f"bilan : {', '.join(parts)}")
    return NOT_PUBLISHED if tally[FAILED] else 0


def _line_outcome(velka: Any, line: Any, errand: Any) -> Outcome | None:
    if line.kind == listing.BLANK:
        return None
    if len(line.fields) < 2:
        return Outcome(FAILED, "ligne incorrecte")
    dialogue = Dialogue(velka, Wire())
    return dialogue.login(line.login, line.password) or errand(dialogue, line)


def dispatch(options: Any, lines: list[Any]) -> int:
    if options.rules is not None:
        return send_rules(lines, options.rules)
    return invoices(lines, options.folder or ".")


def invoices(lines: list[Any], folder: str) -> int:
    Path(folder).mkdir(parents=True, exist_ok=True)
    return run(
        lines,
        lambda d, line: invoice(d, folder, line.login),
        (("facture enregistrée", "factures enregistrées"), ("exempté", "exemptés"), ("sans facture", "sans facture")),
    )


def send_rules(lines: list[Any], pdf: str) -> int:
    problem = pdf_problem(pdf)
    if problem is not None:
        report.say(f"trasko : {problem} ; rien n'a été envoyé")
        return USAGE_ERROR
    forms = (("règlement envoyé", "règlements envoyés"), (), ("non envoyé", "non envoyés"))
    return run(lines, lambda d, line: rules(d, os.path.abspath(pdf)), forms)


# --- stand-in for the command's exchange records and judge ------------------------

REFUSED = "connexion refusée"
UNEXPECTED = "page inattendue du site"
NO_INVOICE = "pas de facture : aucun fichier Papi en ligne ou tournoi archivé"
EXEMPT = INVOICE_EXEMPT
CLOSED = "tournoi clos ou archivé : le site n'accepte plus de règlement pour ce tournoi"
NOT_CONFIRMED = "envoi du règlement non confirmé par le site"
TIMEOUTS = (15.0, 300.0)


class Wire:
    """What crossed the wire for one dialogue: each request's answer or error."""

    def __init__(self) -> None:
        self.answers: list[Any] = []  # a response, or the exception that replaced it
        self.checked = 0

    def session(self) -> Any:
        import requests

        wire, inner = self, requests.Session()

        class Timed:
            def get(self, url: str, **kwargs: Any) -> Any:
                return wire._send(inner.get, url, kwargs)

            def post(self, url: str, **kwargs: Any) -> Any:
                return wire._send(inner.post, url, kwargs)

        return Timed()

    def _send(self, method: Any, url: str, kwargs: dict) -> Any:
        try:
            response = method(url, timeout=TIMEOUTS, **kwargs)
        except Exception as error:
            self.answers.append(error)
            raise
        self.answers.append(response)
        return response

    def trouble(self, lost: bool) -> Outcome | None:
        fresh, self.checked = self.answers[self.checked :], len(self.answers)
        if not fresh:
            return Outcome(FAILED, "fichier illisible : rien n'a été envoyé")
        answer = fresh[-1]
        if isinstance(answer, Exception):
            import requests

            if isinstance(answer, requests.Timeout):
                return Outcome(FAILED, f"site muet après {TIMEOUTS[1]:.0f} s")
            return Outcome(FAILED, f"site injoignable : {type(answer).__name__}")
        if answer.status_code >= 500:
            return Outcome(FAILED, f"erreur du site (HTTP {answer.status_code})")
        return Outcome(FAILED, "réponse illisible du site (pas en UTF-8)") if lost else None
