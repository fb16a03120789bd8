"""The pages a scripted stand-in of the federation's site answers with (the
loopback peer serves them): the login form, a tournament's page with or
without its upload control, verdict and show/hide button."""

from __future__ import annotations

from peer import multipart_parts, page

STATE = "".join(
    f'<input type="hidden" name="{name}" value="{name}-v" />'
    for name in ("__VIEWSTATE", "__VIEWSTATEGENERATOR", "__EVENTVALIDATION")
)
LOGIN_FORM = (
    f'<html><body><form>{STATE}<input name="ctl00$TextLogin" /><input name="ctl00$TextPassword" /></form></body></html>'
)
TAKEN = "Transfert du fichier : t.papi (3 octets) achevé"
SHOWN, HIDDEN = "Désactiver le tournoi", "Activer le tournoi"
ERROR_PAGE = "<html><body><h1>Erreur</h1><p>Une erreur est survenue.</p></body></html>"


def login():
    return page(LOGIN_FORM)


def tournament(verdict="", label: str | None = HIDDEN, upload=True, state=True):
    button = "" if label is None else f'<a id="ctl00_ContentPlaceHolderMain_CmdAfficherTournoi">{label}</a>'
    control = '<input type="file" name="ctl00$ContentPlaceHolderMain$UploadPapi" />' if upload else ""
    return page(
        f"<html><body><form>{STATE if state else ''}"
        '<a id="ctl00_ContentPlaceHolderMain_LinkViewTournoi" href="FicheTournoi.aspx?Ref=12345">fiche</a>'
        f'{control}<span id="ctl00_ContentPlaceHolderMain_LabelError">{verdict}</span>{button}'
        "</form></body></html>"
    )


def taken(label=SHOWN):
    """The upload's answer as the site gives it: the size of the file it received."""

    def answer(request):
        size = sum(len(part.data) for part in multipart_parts(request) if part.filename is not None)
        return tournament(f"Transfert du fichier : t.papi ({size} octets) achevé", label)

    return answer


def published(label=SHOWN):
    """The three answers of a publication whose visibility is already `label`'s."""
    return [login(), tournament(), taken(label)]
