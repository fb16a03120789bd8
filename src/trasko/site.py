"""What the command reads on the federation's pages, beside what the module
reads: the tournament's public link and the upload's verdict."""

from __future__ import annotations

import re
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any
from urllib.parse import urljoin

PUBLIC_LINK_ID = "ctl00_ContentPlaceHolderMain_LinkViewTournoi"
UPLOAD_VERDICT_ID = "ctl00_ContentPlaceHolderMain_LabelError"
UPLOAD_TAKEN = re.compile(r"Transfert du fichier : .* \(\d+ octets\) achevé")


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


def public_url(soup: Any) -> str | None:
    """The tournament's public page, linked from the page a good login leads to."""
    import velka

    link = soup.find(id=PUBLIC_LINK_ID)
    href = link.get("href") if link is not None else None
    return urljoin(velka.ADMIN_FFE_URL + "/", href) if href else None


def upload_verdict(soup: Any) -> str:
    """The site's message after an upload, trimmed; empty when it gave none."""
    label = soup.find(id=UPLOAD_VERDICT_ID)
    return " ".join(label.get_text().split()) if label is not None else ""


def upload_taken(verdict: str) -> bool:
    return UPLOAD_TAKEN.fullmatch(verdict) is not None


def shown(soup: Any) -> bool | None:
    """The visibility the show/hide button's label tells, None when it tells none."""
    import velka

    button = soup.find(id=velka.VISIBILITY_ID)
    label = button.get_text().lower() if button is not None else ""
    if label.startswith("désactiver"):
        return True
    return False if label.startswith("activer") else None
