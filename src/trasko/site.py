"""What the command reads on the federation's pages: which page came back
(the login form, a tournament's page or something else), the upload's
verdict, the show/hide button's label and the tournament's public link."""

from __future__ import annotations

import re
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
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
STATE_FIELDS = ("__VIEWSTATE", "__VIEWSTATEGENERATOR", "__EVENTVALIDATION")
# The size may carry a thousands separator, as the site's culture writes it.
UPLOAD_TAKEN = re.compile(r"Transfert du fichier : .* \((\d[\d \u00a0\u202f.,']*) octets\) achevé")


@dataclass(frozen=True)
class Page:
    """What one answer of the site showed."""

    kind: str = OTHER
    state_fields: bool = False  # the three hidden fields every form posts back
    upload_control: bool = False
    verdict: str = ""  # the upload's message, blanks collapsed
    label: str | None = None  # the show/hide button's text; None without the button
    public_url: str | None = None


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
    return Page(
        kind=kind,
        state_fields=all(soup.find(attrs={"name": name}) is not None for name in STATE_FIELDS),
        upload_control=upload,
        verdict=_text(soup.find(id=UPLOAD_VERDICT_ID)),
        label=button.get_text() if button is not None else None,
        public_url=urljoin(base_url + "/", str(href)) if href else None,
    )


def _text(element: Any) -> str:
    return " ".join(element.get_text().split()) if element is not None else ""


def upload_taken(verdict: str) -> bool:
    return UPLOAD_TAKEN.fullmatch(verdict) is not None


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
