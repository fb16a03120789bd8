"""What the command reads on the federation's pages, each answer once: which
page came back (the login form, a tournament's page or something else), the
state fields a post-back carries, the upload's verdict, the show/hide
button's label, the public link, and the errands' controls."""

from __future__ import annotations

import re
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import urljoin

LOGIN_FORM = "formulaire de connexion"
TOURNAMENT = "page du tournoi"
OTHER = "autre page"

LOGIN_FIELD = "ctl00$TextLogin"
UPLOAD_FIELD = "ctl00$ContentPlaceHolderMain$UploadPapi"
BUTTON_ID = "ctl00_ContentPlaceHolderMain_CmdAfficherTournoi"
PUBLIC_LINK_ID = "ctl00_ContentPlaceHolderMain_LinkViewTournoi"
UPLOAD_VERDICT_ID = "ctl00_ContentPlaceHolderMain_LabelError"
RULES_EVENT = "ctl00$ContentPlaceHolderMain$CmdUploadRI"
RULES_FILE = "ctl00$ContentPlaceHolderMain$UploadRI"
INVOICE_ID = "ctl00_ContentPlaceHolderMain_CmdFactureHomologation"
INVOICE_EVENT = "ctl00$ContentPlaceHolderMain$CmdFactureHomologation"
STATE_FIELDS = ("__VIEWSTATE", "__VIEWSTATEGENERATOR", "__EVENTVALIDATION")
# The size may carry a thousands separator, as the site's culture writes it.
UPLOAD_TAKEN = re.compile(r"Transfert du fichier : .* \((\d[\d \u00a0\u202f.,']*) octets\) achevé")


@dataclass(frozen=True)
class Page:
    """What one answer of the site showed."""

    kind: str = OTHER
    state: dict[str, str | None] = field(default_factory=dict)  # the hidden fields every form posts back
    upload_control: bool = False
    verdict: str = ""  # the upload's message, blanks collapsed
    label: str | None = None  # the show/hide button's text; None without the button
    public_url: str | None = None
    invoice: str | None = None  # the invoice control's label, blanks collapsed; None without it
    rules_upload: bool = False  # the rules' file field and button are both there
    text: str = ""  # the answer itself, for the invoice saved on disk

    @property
    def state_fields(self) -> bool:
        return len(self.state) == len(STATE_FIELDS)


def read_page(text: str, base_url: str) -> Page:
    from bs4 import BeautifulSoup

    soup: Any = BeautifulSoup(text, "html.parser")
    button = soup.find(id=BUTTON_ID)
    upload = soup.find(attrs={"name": UPLOAD_FIELD}) is not None
    link = soup.find(id=PUBLIC_LINK_ID)
    href = link.get("href") if link is not None else None
    if soup.find(attrs={"name": LOGIN_FIELD}) is not None:
        kind = LOGIN_FORM
    elif button is not None or upload or href:
        kind = TOURNAMENT
    else:
        kind = OTHER
    fields = {name: soup.find(attrs={"name": name}) for name in STATE_FIELDS}
    invoice = soup.find(id=INVOICE_ID)
    rules = soup.find(attrs={"name": RULES_FILE}) is not None and soup.find(id=RULES_EVENT.replace("$", "_"))
    return Page(
        kind=kind,
        state={name: element.get("value") for name, element in fields.items() if element is not None},
        upload_control=upload,
        verdict=_text(soup.find(id=UPLOAD_VERDICT_ID)),
        label=button.get_text() if button is not None else None,
        public_url=urljoin(base_url + "/", str(href)) if href else None,
        invoice=_text(invoice) if invoice is not None else None,
        rules_upload=bool(rules),
        text=text,
    )


def _text(element: Any) -> str:
    return " ".join(element.get_text().split()) if element is not None else ""


def taken_size(verdict: str) -> int | None:
    """The size the upload's verdict confirms; None when it confirms no upload."""
    taken = UPLOAD_TAKEN.fullmatch(verdict)
    return None if taken is None else int(re.sub(r"\D", "", taken.group(1)))


def shown(label: str | None) -> bool | None:
    """The visibility the button's label tells (as the module reads it), None when it tells none."""
    lowered = (label or "").lower()
    if lowered.startswith("désactiver"):
        return True
    return False if lowered.startswith("activer") else None


@contextmanager
def rebound(url: str | None) -> Iterator[None]:
    """The module's site base URL set to `url` for the run, then put back."""
    if url is None:
        yield
        return
    import velka

    saved = velka.ADMIN_FFE_URL
    velka.ADMIN_FFE_URL = url
    try:
        yield
    finally:
        velka.ADMIN_FFE_URL = saved


def base_url() -> str:
    import velka

    return str(velka.ADMIN_FFE_URL)
