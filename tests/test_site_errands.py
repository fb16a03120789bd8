"""The local site's other errands of the tournament page: the rules upload,
the fees invoice, and the tournaments that are exempted, closed or archived."""

import pytest
from support import (
    INVOICE_EVENT,
    INVOICE_ID,
    RULES_EVENT,
    RULES_FILE,
    UPLOAD_EVENT,
    UPLOAD_FILE,
    VERDICT_ID,
    VISIBILITY_EVENT,
)
from test_site import login, page, postback

import sitectl

requests = pytest.importorskip("requests")

PDF = b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj <<>> endobj\ntrailer <<>>\n%%EOF\n"
UPLOAD_IDS = [name.replace("$", "_") for name in (UPLOAD_FILE, UPLOAD_EVENT, RULES_FILE, RULES_EVENT)]


def logged_in(aspnet_site, name, **setting):
    """A session on the tournament page of a new account set as asked."""
    base, datadir = aspnet_site
    sitectl.add_account(datadir, name, "pw")
    sitectl.set_tournament(datadir, name, **setting)
    s = requests.Session()
    fields, soup = page(login(s, base, name, "pw"))
    return s, fields, soup


def taken(filename, data):
    return f"Transfert du fichier : {filename} ({len(data)} octets) achevé"


def text(soup, ident):
    tag = soup.find(id=ident)
    return None if tag is None else " ".join(tag.get_text().split())


def mine(datadir, name):
    return [line for line in sitectl.requests_log(datadir) if line.endswith(" " + name)]


@pytest.mark.parametrize(
    "name, setting, invoice, uploads",
    [
        ("f-new", {}, None, True),  # no Papi file yet: no invoice control
        ("f-due", {"papi": b"p"}, "afficher la facture", True),
        ("f-exempt", {"papi": b"p", "exempt": True}, "tournoi exempté de droits", True),
        ("f-exempt-new", {"exempt": True}, None, True),
        ("f-closed", {"papi": b"p", "stage": "closed"}, "afficher la facture", False),
        ("f-archived", {"papi": b"p", "stage": "archived"}, None, False),
    ],
)
def test_page_controls_follow_the_tournament(aspnet_site, name, setting, invoice, uploads):
    _, _, soup = logged_in(aspnet_site, name, **setting)
    assert text(soup, INVOICE_ID) == invoice
    assert [soup.find(id=i) is not None for i in UPLOAD_IDS] == [uploads] * 4
    assert soup.find(id="ctl00_ContentPlaceHolderMain_CmdAfficherTournoi") is not None


def test_first_papi_upload_brings_the_invoice(aspnet_site):
    base, datadir = aspnet_site
    s, fields, soup = logged_in(aspnet_site, "f-first")
    assert soup.find(id=INVOICE_ID) is None
    fields, soup = page(postback(s, base, fields, UPLOAD_EVENT, files={UPLOAD_FILE: ("open.papi", b"papi")}))
    assert text(soup, INVOICE_ID) == "afficher la facture"


def test_invoice_is_a_utf8_page_with_relative_links(aspnet_site):
    base, datadir = aspnet_site
    name = "f-invoice"
    s, fields, _ = logged_in(aspnet_site, name, papi=b"online")
    r = postback(s, base, fields, INVOICE_EVENT)
    assert r.status_code == 200 and r.history == []
    assert "charset=utf-8" in r.headers["Content-Type"]
    html = r.content.decode("utf-8")
    assert html.startswith("<!DOCTYPE html>") and "<head>\n" in html
    assert f"Tournoi {name}</p>" in html and "Montant dû : 15,00 €" in html
    assert f"Facture n° H{sitectl.public_ref(name)}" in html
    assert 'href="styles/facture.css"' in html and 'src="images/valider.svg"' in html
    assert "__VIEWSTATE" not in html  # the invoice alone, not the tournament page
    assert s.get(base + "/styles/facture.css").status_code == 200
    # Asking for the invoice changes nothing on the tournament.
    assert sitectl.state(datadir, name) == {"papi": b"online", "name": f"{name}.papi", "visible": True}
    assert mine(datadir, name)[-1] == f"POST /MonTournoi.aspx {INVOICE_EVENT} {name}"


@pytest.mark.parametrize(
    "name, filename, data, verdict, stored",
    [
        ("ri-ok", "Règlement d'été.pdf", PDF, taken("Règlement d'été.pdf", PDF), True),
        ("ri-caps", "REGLEMENT.PDF", PDF * 1000, taken("REGLEMENT.PDF", PDF * 1000), True),
        ("ri-txt", "reglement.txt", PDF, "Le fichier reglement.txt n'est pas un fichier PDF (.pdf).", False),
        ("ri-empty", "vide.pdf", b"", "Le fichier vide.pdf est vide.", False),
        ("ri-none", "", PDF, "Aucun fichier reçu.", False),
    ],
)
def test_rules_upload_verdicts(aspnet_site, name, filename, data, verdict, stored):
    base, datadir = aspnet_site
    s, fields, _ = logged_in(aspnet_site, name, papi=b"papi")
    fields, soup = page(postback(s, base, fields, RULES_EVENT, files={RULES_FILE: (filename, data)}))
    assert text(soup, VERDICT_ID) == verdict
    assert sitectl.rules(datadir, name) == ((data, filename) if stored else None)
    # The rules never touch the Papi file, nor the visibility.
    assert sitectl.state(datadir, name) == {"papi": b"papi", "name": f"{name}.papi", "visible": True}
    # The page after the rules still serves the next post-back.
    _, soup = page(postback(s, base, fields, VISIBILITY_EVENT))
    assert sitectl.state(datadir, name)["visible"] is False


def test_papi_upload_leaves_the_rules_alone(aspnet_site):
    base, datadir = aspnet_site
    s, fields, _ = logged_in(aspnet_site, "ri-papi")
    fields, _ = page(postback(s, base, fields, RULES_EVENT, files={RULES_FILE: ("ri.pdf", PDF)}))
    _, soup = page(postback(s, base, fields, UPLOAD_EVENT, files={UPLOAD_FILE: ("t.papi", b"t")}))
    assert text(soup, VERDICT_ID) == taken("t.papi", b"t")
    assert sitectl.rules(datadir, "ri-papi") == (PDF, "ri.pdf")
    assert sitectl.state(datadir, "ri-papi")["papi"] == b"t"


@pytest.mark.parametrize("stage", ["closed", "archived"])
@pytest.mark.parametrize("event, field", [(UPLOAD_EVENT, UPLOAD_FILE), (RULES_EVENT, RULES_FILE)])
def test_closed_while_the_page_was_open_stores_nothing(aspnet_site, stage, event, field):
    base, datadir = aspnet_site
    name = f"late-{stage}-{field[-2:]}"
    s, fields, _ = logged_in(aspnet_site, name, papi=b"before")
    sitectl.set_tournament(datadir, name, stage=stage)
    filename = "x.papi" if field == UPLOAD_FILE else "x.pdf"
    _, soup = page(postback(s, base, fields, event, files={field: (filename, PDF)}))
    assert text(soup, VERDICT_ID) == "Le tournoi est clos : ses fichiers ne peuvent plus être modifiés."
    assert sitectl.state(datadir, name)["papi"] == b"before"
    assert sitectl.rules(datadir, name) is None


@pytest.mark.parametrize(
    "name, setting, event, field",
    [
        ("no-inv-exempt", {"exempt": True}, INVOICE_EVENT, None),
        ("no-inv-archived", {"stage": "archived"}, INVOICE_EVENT, None),
        ("no-papi-closed", {"stage": "closed"}, UPLOAD_EVENT, UPLOAD_FILE),
        ("no-ri-closed", {"stage": "closed"}, RULES_EVENT, RULES_FILE),
    ],
)
def test_an_event_the_page_did_not_offer_fails(aspnet_site, name, setting, event, field):
    """ASP.NET's event validation answers 500 to the post-back of a control
    the page did not show, and nothing happens."""
    base, datadir = aspnet_site
    s, fields, _ = logged_in(aspnet_site, name, papi=b"p", **setting)
    files = {field: ("x.pdf", PDF)} if field else None
    r = postback(s, base, fields, event, files=files)
    assert r.status_code == 500 and "Montant dû" not in r.text
    assert sitectl.state(datadir, name)["papi"] == b"p"
    assert sitectl.rules(datadir, name) is None
