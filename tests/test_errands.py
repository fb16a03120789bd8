"""The errands' own helpers: the rules file check, the invoice's base
element and where an invoice is saved."""

from __future__ import annotations

import io
import os

import pytest
from support import BUTTON, FLD_LOGIN, FLD_PASSWD

from trasko import errands
from trasko.__main__ import main
from trasko.messages import INVOICE_EXEMPT as EXEMPT
from trasko.messages import NO_INVOICE
from trasko.report import Environment
from trasko.site import INVOICE_EVENT, INVOICE_ID, RULES_EVENT, RULES_FILE
from trasko.site import UPLOAD_VERDICT_ID as VERDICT_ID

from peer import closed_port, form_fields, multipart_parts, page, redirect, slow


@pytest.mark.parametrize(
    "login, name",
    [
        ("open-2024", "facture-open-2024.html"),
        ("../../etc/x", "facture-.._.._etc_x.html"),
        ('a\\b:c*d?"e<f>|g', "facture-a_b_c_d__e_f__g.html"),
        ("été", "facture-été.html"),
    ],
)
def test_invoice_stays_in_its_folder(tmp_path, login, name):
    path = errands.invoice_path(str(tmp_path), login)
    assert path == tmp_path / name
    errands.save(path, "<p>é €</p>")
    assert os.listdir(tmp_path) == [name]
    assert path.read_bytes() == "<p>é €</p>".encode()


def test_invoice_follows_no_link_planted_in_its_folder(tmp_path):
    outside = tmp_path / "ailleurs.txt"
    outside.write_text("intact")
    folder = tmp_path / "factures"
    folder.mkdir()
    path = errands.invoice_path(str(folder), "open")
    try:
        for name in (path.name + ".part", path.name):  # the old side file's name, and the invoice's own
            (folder / name).symlink_to(outside)
    except OSError:
        pytest.skip("no symbolic links here")
    errands.save(path, "<p>facture</p>")
    assert outside.read_text() == "intact"
    assert not path.is_symlink() and path.read_text() == "<p>facture</p>"
    leftovers = [name for name in os.listdir(folder) if name.endswith(".part") and name != path.name + ".part"]
    assert leftovers == [], "no side file left"


@pytest.mark.parametrize(
    "name, data, problem",
    [
        ("ri.pdf", b"%PDF-1.7\n...", None),
        ("ri.doc", b"%PDF-1.4", None),  # the bytes decide, not the name
        ("ri.pdf", b"PK\x03\x04 a word file", "n'est pas un fichier PDF"),
        ("ri.pdf", b"%PDF", "n'est pas un fichier PDF"),
        ("ri.pdf", b"", "n'est pas un fichier PDF"),
        ("absent.pdf", None, "fichier du règlement illisible : {path} (fichier introuvable)"),
        ("dossier", "dir", "fichier du règlement illisible : {path} (c'est un dossier)"),
        # The list given where the rules go, and the PDF as the list: the swap is named.
        ("tournois.txt", b"open;pw;t.papi;1\n", "inversés : « {pdf} » est le PDF, « {path} » ne l'est pas"),
    ],
)
def test_only_a_pdf_is_sent(tmp_path, name, data, problem):
    path = tmp_path / name
    if data == "dir":
        path.mkdir()
    elif data is not None:
        path.write_bytes(data)
    pdf = tmp_path / "règlement.pdf"
    pdf.write_bytes(b"%PDF-1.7\n" if name == "tournois.txt" else b"open;pw;t.papi;1\n")
    found = errands.pdf_problem(str(path), str(pdf))
    assert found is None if problem is None else problem.format(path=path, pdf=pdf) in found


# --- the dialogues, against a scripted loopback site ----------------------------

STATE = ("__VIEWSTATE", "__VIEWSTATEGENERATOR", "__EVENTVALIDATION")
PASSWORD = "Secret-Loopback-1"
PDF_BYTES = b"%PDF-1.4\n" + b"x" * 1300


PAPI_FIELD = '<input type="file" name="ctl00$ContentPlaceHolderMain$UploadPapi" />'


def tournament_page(tag, invoice=None, uploads=True, verdict="", papi=False):
    """The tournament page as the site serves it after a login, its state fields valued by `tag`."""
    fields = "".join(f'<input type="hidden" name="{n}" id="{n}" value="{n}-{tag}" />' for n in STATE)
    invoice = "" if invoice is None else f'<a id="{INVOICE_ID}" href="#">{invoice}</a>'
    files = f'<input type="file" name="{RULES_FILE}" /><a id="{RULES_EVENT.replace("$", "_")}">envoyer</a>'
    return page(
        f"<html><body><form>{fields}{files if uploads else ''}"
        f"{PAPI_FIELD if papi else ''}"
        f'<span id="{VERDICT_ID}">{verdict}</span>{invoice}<a id="{BUTTON}">Activer le tournoi</a></form></body></html>'
    )


def login_form(tag):
    fields = "".join(f'<input type="hidden" name="{n}" id="{n}" value="{n}-{tag}" />' for n in STATE)
    return page(f'<html><body><form>{fields}<input name="{FLD_LOGIN}" /></form></body></html>')


INVOICE_HTML = '<html><head>\n<link href="styles/f.css"></head><body>Facture n° 1 : 15,00 €</body></html>'
INVOICE = page(INVOICE_HTML)
DUE = tournament_page("login", invoice=" Afficher la FACTURE ")
TAKEN_1309 = "Transfert du fichier : ri.pdf (1 309 octets) achevé"  # the site's culture groups digits


def sent(peer):
    """(method, path, event target) of each request the site received."""
    out = []
    for rec in peer.requests:
        if rec.method == "GET":
            out.append(("GET", rec.path, None))
        elif "multipart" in (rec.header("Content-Type") or ""):
            fields = {p.name: p.data.decode() for p in multipart_parts(rec) if p.filename is None}
            out.append(("POST", rec.path, fields["__EVENTTARGET"]))
        else:
            out.append(("POST", rec.path, dict(form_fields(rec)).get("__EVENTTARGET")))
    return out


ENTRY, LOGIN = ("GET", "/", None), ("POST", "/Default.aspx", None)
INVOICE_POST = ("POST", "/MonTournoi.aspx", INVOICE_EVENT)
RULES_POST = ("POST", "/MonTournoi.aspx", RULES_EVENT)

IN = [login_form("e"), DUE]  # a good login, on a page that offers both errands
INVOICE_3 = [ENTRY, LOGIN, INVOICE_POST]
RULES_3 = [ENTRY, LOGIN, RULES_POST]


def verdict(text):
    return tournament_page("u", verdict=text)


DIALOGUES = [
    # errand, answers of the site, what the line says, requests sent
    ("facture", [*IN, INVOICE], "facture enregistrée : ", INVOICE_3),
    ("facture", [login_form("e"), tournament_page("l", "Tournoi exempté de droits")], EXEMPT, [ENTRY, LOGIN]),
    ("facture", [login_form("e"), tournament_page("l")], NO_INVOICE, [ENTRY, LOGIN]),
    ("facture", [login_form("e"), tournament_page("l", "payer")], "page inattendue du site (bouton", [ENTRY, LOGIN]),
    ("facture", [login_form("e"), login_form("l")], "connexion refusée", [ENTRY, LOGIN]),
    ("facture", [login_form("e"), page("<p>panne</p>", status=503)], "erreur du site (HTTP 503)", [ENTRY, LOGIN]),
    ("facture", [page("<p>maintenance</p>")], "page inattendue du site", [ENTRY]),
    ("facture", [*IN, login_form("x")], "page inattendue du site", INVOICE_3),
    ("facture", [*IN, DUE], "page inattendue du site (pas de facture dans la réponse)", INVOICE_3),
    ("facture", [*IN, page(" \n")], "page inattendue du site (pas de facture dans la réponse)", INVOICE_3),
    ("facture", [*IN, page("", status=500)], "erreur du site (HTTP 500)", INVOICE_3),
    (
        "facture",
        [*IN, redirect("/Erreur.aspx"), page("<html><body>Une erreur est survenue.</body></html>")],
        "pas de facture : page d'erreur du site",
        [*INVOICE_3, ("GET", "/Erreur.aspx", None)],
    ),
    ("reglement", [*IN, verdict(TAKEN_1309)], "règlement envoyé : ri.pdf (1309 octets)", RULES_3),
    ("reglement", [*IN, verdict("Trop gros.")], "règlement refusé par le site : Trop gros.", RULES_3),
    ("reglement", [*IN, verdict("")], "envoi du règlement non confirmé par le site", RULES_3),
    ("reglement", [*IN, verdict(TAKEN_1309.replace("1 309", "9"))], "règlement incomplet sur le site (9", RULES_3),
    ("reglement", [login_form("e"), tournament_page("l", uploads=False)], "tournoi clos ou archivé", [ENTRY, LOGIN]),
    (
        "reglement",
        [login_form("e"), tournament_page("l", uploads=False, papi=True)],
        "le site ne propose pas l'envoi du règlement pour ce tournoi",
        [ENTRY, LOGIN],
    ),
    ("reglement", [login_form("e"), login_form("l")], "connexion refusée", [ENTRY, LOGIN]),
    ("reglement", [*IN, page("<p>?</p>")], "page inattendue du site", RULES_3),
]


@pytest.mark.parametrize("errand, answers, said, requests", DIALOGUES)
def test_dialogue(peer, tmp_path, capsys, errand, answers, said, requests):
    (tmp_path / "ri.pdf").write_bytes(PDF_BYTES)
    (tmp_path / "l.txt").write_text(f"open;{PASSWORD};x.papi;1\n")
    peer.queue(*answers)
    args = ["--facture", "--dossier", str(tmp_path / "f")]
    if errand == "reglement":
        args = ["--reglement", str(tmp_path / "ri.pdf")]
    status = main(["--site", peer.url, *args, str(tmp_path / "l.txt")])
    out, err = capsys.readouterr()
    assert f"ligne 1 (open) : {said}" in out + err
    assert status == (0 if said.startswith(("facture enregistrée", "règlement envoyé", EXEMPT)) else 1)
    assert sent(peer) == requests
    assert PASSWORD not in out + err
    if errand == "facture" and status:
        assert not (tmp_path / "f" / "facture-open.html").exists()
    # Each post-back carries the state of the page just before it; the login, the password.
    if len(requests) > 2:
        assert "__VIEWSTATE-login" in peer.requests[2].body.decode("utf-8", "replace")
    if len(requests) > 1:
        assert dict(form_fields(peer.requests[1]))[FLD_PASSWD] == PASSWORD


def test_saved_invoice_stands_alone(peer, tmp_path, capsys):
    (tmp_path / "l.txt").write_text(f"a*b;{PASSWORD};x.papi;1\n")
    stylesheet = '<link rel="stylesheet" href="styles/f.css"><img src="/logo.png" alt="FFE">'
    peer.queue(login_form("e"), DUE, page(INVOICE_HTML.replace('<link href="styles/f.css">', stylesheet)))
    peer.route("GET", "/styles/f.css", page("h1 { color: #123456 }", content_type="text/css"))
    assert main(["--site", peer.url + "/", "--facture", "--dossier", str(tmp_path), str(tmp_path / "l.txt")]) == 0
    saved = (tmp_path / "facture-a_b.html").read_text(encoding="utf-8")
    assert "<style>h1 { color: #123456 }</style>" in saved and "Facture n° 1 : 15,00 €" in saved
    assert '<img alt="FFE"/>' in saved  # the site had no logo: its text stays, no link back
    assert peer.url.split("//")[1] not in saved and "<base" not in saved


def run_direct(errand, site_url, tmp_path, wait):
    (tmp_path / "l.txt").write_text(f"open;{PASSWORD};x.papi;1\n")
    args = ["--facture", "--dossier", str(tmp_path)]
    if errand == "reglement":
        args = ["--reglement", str(tmp_path / "ri.pdf")]
    return main(["--site", site_url, "--delai", str(wait), *args, str(tmp_path / "l.txt")])


@pytest.mark.parametrize("errand", ["facture", "reglement"])
def test_a_silent_site_is_named_and_nothing_more_is_sent(peer, tmp_path, capsys, errand):
    (tmp_path / "ri.pdf").write_bytes(PDF_BYTES)
    peer.queue(login_form("e"), slow("<p>late</p>", delay=0, before=3))
    assert run_direct(errand, peer.url, tmp_path, 0.5) == 1
    assert "ligne 1 (open) : site muet après 0.5 s\n" in capsys.readouterr().err
    assert sent(peer) == [ENTRY, LOGIN]


def test_an_unreachable_site_is_named(tmp_path, capsys):
    assert run_direct("facture", closed_port(), tmp_path, 2) == 1
    assert "ligne 1 (open) : site injoignable : connexion refusée par la machine du site" in capsys.readouterr().err


def test_rules_gone_before_the_upload_send_nothing_more(peer, tmp_path, capsys):
    pdf = tmp_path / "ri.pdf"
    pdf.write_bytes(PDF_BYTES)

    def login_answer(rec):
        pdf.unlink()  # removed while the tournament was logging in
        return DUE

    peer.queue(login_form("e"), login_answer)
    assert run_direct("reglement", peer.url, tmp_path, 5) == 1
    assert "ligne 1 (open) : fichier du règlement illisible : fichier introuvable\n" in capsys.readouterr().err
    assert sent(peer) == [ENTRY, LOGIN]


@pytest.mark.parametrize(
    "args, said",
    [
        (["--facture", "--reglement", "ri.pdf", "l.txt"], "--facture et --reglement ne se combinent pas"),
        (["--dossier", "d", "l.txt"], "--dossier ne sert qu'avec --facture"),
        (["--facture", "--suivre", "l.txt"], "--facture ne se combine ni avec --verifier, ni avec --suivre"),
        (["--reglement", "ri.pdf", "--verifier", "l.txt"], "--reglement ne se combine ni avec --verifier"),
        (["l.txt", "--reglement"], "--reglement attend un nom de fichier"),
        (["--facture", "absent.txt"], "trasko : fichier-liste illisible : absent.txt (fichier introuvable)"),
        (["--facture", "--dossier", "l.txt", "l.txt"], "dossier des factures inutilisable : l.txt (c'est un fichier,"),
    ],
)
def test_command_lines_refused_before_anything_is_sent(peer, tmp_path, monkeypatch, capsys, args, said):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "l.txt").write_text(f"open;{PASSWORD};x.papi;1\n")
    assert main(["--site", peer.url, *args]) == 2
    out, err = capsys.readouterr()
    assert out == "" and said in err
    assert peer.requests == []


def test_rules_and_list_given_the_wrong_way_round_are_named(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "ri.pdf").write_bytes(b"%PDF-1.7\n")
    (tmp_path / "tournois.txt").write_text("open;pw;t.papi;1\n")
    err = io.StringIO()
    assert main(["--reglement", "tournois.txt", "ri.pdf"], Environment(io.StringIO(), err)) == 2
    assert "inversés : « ri.pdf » est le PDF, « tournois.txt » ne l'est pas" in err.getvalue()
