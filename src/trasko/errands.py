"""The organiser's other errands on the tournament page, for every
tournament of the list: save the homologation fees invoice (--facture), or
send the same rules PDF to each (--reglement). Each is the login dialogue
followed by one more post-back of the tournament page."""

from __future__ import annotations

import html
import os
import re
from pathlib import Path

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
