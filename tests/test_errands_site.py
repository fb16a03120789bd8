"""trasko --facture and --reglement end to end against the ASP.NET site: what
each tournament's line says, what the site holds afterwards, what was sent."""

from __future__ import annotations

import itertools
import json
import os
import subprocess
import sys

import pytest
from support import INVOICE_EVENT, RULES_EVENT

import sitectl

PASSWORD = "Mot-De-Passe-7c1"
PDF = b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj <<>> endobj\ntrailer <<>>\n%%EOF\n"
TAGS = itertools.count(1)

# Each kind of tournament, as the site is told to hold it.
KINDS = {
    "due": {"papi": b"p"},
    "exempt": {"papi": b"p", "exempt": True},
    "new": {},
    "closed": {"papi": b"p", "stage": "closed"},
    "archived": {"papi": b"p", "stage": "archived"},
}


@pytest.fixture
def tournaments(aspnet_site, tmp_path):
    """One account of each kind, fresh for each test, listed in KINDS' order
    and then a line with a wrong password: (logins by kind, list file)."""
    tag = f"err{next(TAGS)}"
    logins = {kind: f"{tag}-{kind}" for kind in KINDS}
    for kind, login in logins.items():
        sitectl.add_account(aspnet_site[1], login, PASSWORD, visible=False)
        sitectl.set_tournament(aspnet_site[1], login, **KINDS[kind])
    lines = [f"{login};{PASSWORD};{kind}.papi;1" for kind, login in logins.items()]
    lines.append(f"{logins['due']};faux-{PASSWORD};due.papi;1")
    (tmp_path / "tournois.txt").write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    return logins, "tournois.txt"


def trasko(aspnet_site, workdir, *args):
    result = subprocess.run(
        [sys.executable, "-m", "trasko", "--site", aspnet_site[0], *map(str, args)],
        cwd=workdir,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert PASSWORD not in result.stdout + result.stderr
    return result


def sent(aspnet_site, login):
    """The requests of a tournament after the login, as the site logged them."""
    return [line.rsplit(" ", 1)[0] for line in sitectl.requests_log(aspnet_site[1]) if line.endswith(" " + login)][1:]


def untouched(aspnet_site, login):
    state = sitectl.state(aspnet_site[1], login)
    return state["visible"] is False and state["papi"] in (b"p", None) and sitectl.rules(aspnet_site[1], login) is None


def test_facture_saves_each_invoice_and_tells_why_not(aspnet_site, tmp_path, tournaments):
    logins, listing = tournaments
    result = trasko(aspnet_site, tmp_path, "--facture", "--dossier", "factures", "--rapport", "r.jsonl", listing)
    folder = tmp_path / "factures"
    records = [json.loads(line) for line in (tmp_path / "r.jsonl").read_text(encoding="utf-8").splitlines()]
    assert [(r["ligne"], r["identifiant"], r["resultat"]) for r in records] == [
        (n, logins[kind] if n < 6 else logins["due"], state)
        for n, kind, state in zip(
            range(1, 7),
            [*KINDS, "due"],
            ["facture_enregistree", "exempte", "echec", "facture_enregistree", "echec", "echec"],
            strict=True,
        )
    ]
    assert records[2]["cause"] == "pas de facture : aucun fichier Papi en ligne ou tournoi archivé"
    assert PASSWORD not in (tmp_path / "r.jsonl").read_text(encoding="utf-8")
    saved = {kind: os.path.join("factures", f"facture-{logins[kind]}.html") for kind in ("due", "closed")}
    assert result.stdout == (  # the path as the platform writes it (backslashes on Windows)
        f"ligne 1 ({logins['due']}) : facture enregistrée : {saved['due']}\n"
        f"ligne 2 ({logins['exempt']}) : tournoi exempté de droits\n"
        f"ligne 4 ({logins['closed']}) : facture enregistrée : {saved['closed']}\n"
    )
    assert result.stderr == (
        f"ligne 3 ({logins['new']}) : pas de facture : aucun fichier Papi en ligne ou tournoi archivé\n"
        f"ligne 5 ({logins['archived']}) : pas de facture : aucun fichier Papi en ligne ou tournoi archivé\n"
        f"ligne 6 ({logins['due']}) : connexion refusée\n"
        "bilan : 2 factures enregistrées, 1 exempté, 2 sans facture, 1 connexion refusée\n"
    )
    assert result.returncode == 1
    assert sorted(p.name for p in folder.iterdir()) == [f"facture-{logins[k]}.html" for k in ("closed", "due")]
    saved = (folder / f"facture-{logins['due']}.html").read_text(encoding="utf-8")
    # It stands alone: the site's stylesheet and logo inside, nothing leading back.
    assert "color: #1a3a6b" in saved and 'src="data:image/svg+xml;base64,' in saved
    assert "<base" not in saved and "127.0.0.1" not in saved and "Retour au tournoi" not in saved
    assert f"Tournoi {logins['due']}</p>" in saved and "Montant dû : 15,00 €" in saved
    # Nothing was uploaded or toggled: the login's page, then the invoice only where one was due.
    for kind, login in logins.items():
        expected = ["GET /MonTournoi.aspx -"] + [f"POST /MonTournoi.aspx {INVOICE_EVENT}"] * (kind in ("due", "closed"))
        assert sent(aspnet_site, login) == expected
        assert untouched(aspnet_site, login)


def test_facture_in_the_current_folder_succeeds_when_each_is_saved_or_exempt(aspnet_site, tmp_path, tournaments):
    logins, _ = tournaments
    # Notepad's BOM, and a line put aside: neither is sent.
    (tmp_path / "deux.txt").write_text(
        f"\ufeff# {logins['new']};{PASSWORD};x.papi;1\n"
        f"{logins['due']};{PASSWORD};x.papi;1\n{logins['exempt']};{PASSWORD};x.papi;1\n",
        encoding="utf-8",
    )
    result = trasko(aspnet_site, tmp_path, "--facture", "deux.txt")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"ligne 2 ({logins['due']}) : facture enregistrée : facture-{logins['due']}.html\n")
    assert sent(aspnet_site, logins["new"]) == []
    assert result.stderr == "bilan : 1 facture enregistrée, 1 exempté, 0 sans facture, 0 connexion refusée\n"
    assert (tmp_path / f"facture-{logins['due']}.html").is_file()


def test_reglement_sends_the_same_pdf_to_every_open_tournament(aspnet_site, tmp_path, tournaments):
    logins, listing = tournaments
    (tmp_path / "Règlement intérieur.pdf").write_bytes(PDF)
    result = trasko(aspnet_site, tmp_path, "--reglement", "Règlement intérieur.pdf", "--rapport", "r.jsonl", listing)
    records = [json.loads(line) for line in (tmp_path / "r.jsonl").read_text(encoding="utf-8").splitlines()]
    assert [(r["resultat"], r["octets_envoyes"]) for r in records] == [("reglement_envoye", len(PDF))] * 3 + [
        ("echec", 0)
    ] * 3
    sent_line = f"règlement envoyé : Règlement intérieur.pdf ({len(PDF)} octets)"
    open_ones = list(KINDS)[:3]
    assert result.stdout == "".join(f"ligne {n} ({logins[k]}) : {sent_line}\n" for n, k in enumerate(open_ones, 1))
    closed = "tournoi clos ou archivé : le site n'accepte plus de règlement pour lui"
    assert result.stderr == (
        f"ligne 4 ({logins['closed']}) : {closed}\n"
        f"ligne 5 ({logins['archived']}) : {closed}\n"
        f"ligne 6 ({logins['due']}) : connexion refusée\n"
        "bilan : 3 règlements envoyés, 3 non envoyés\n"
    )
    assert result.returncode == 1
    for kind, login in logins.items():
        taken = kind in ("due", "exempt", "new")
        assert sitectl.rules(aspnet_site[1], login) == ((PDF, "Règlement intérieur.pdf") if taken else None)
        assert sent(aspnet_site, login) == ["GET /MonTournoi.aspx -"] + [f"POST /MonTournoi.aspx {RULES_EVENT}"] * taken
        assert sitectl.state(aspnet_site[1], login)["visible"] is False


def test_reglement_refused_by_the_site_is_its_reason(aspnet_site, tmp_path, tournaments):
    logins, _ = tournaments
    (tmp_path / "un.txt").write_text(f"{logins['due']};{PASSWORD};x.papi;1\n", encoding="utf-8")
    (tmp_path / "reglement.txt").write_bytes(PDF)  # a PDF by its bytes, but the site goes by the name
    result = trasko(aspnet_site, tmp_path, "--reglement", "reglement.txt", "un.txt")
    assert result.stdout == ""
    assert result.stderr == (
        f"ligne 1 ({logins['due']}) : règlement refusé par le site : "
        "Le fichier reglement.txt n'est pas un fichier PDF (.pdf).\n"
        "bilan : 0 règlement envoyé, 1 non envoyé\n"
    )
    assert result.returncode == 1
    assert sitectl.rules(aspnet_site[1], logins["due"]) is None


@pytest.mark.parametrize("content", [b"PK\x03\x04 (a word file renamed)", b"", None])
def test_reglement_that_is_no_pdf_sends_nothing(aspnet_site, tmp_path, tournaments, content):
    logins, listing = tournaments
    if content is not None:
        (tmp_path / "reglement.pdf").write_bytes(content)
    before = len(sitectl.requests_log(aspnet_site[1]))
    result = trasko(aspnet_site, tmp_path, "--reglement", "reglement.pdf", listing)
    assert result.returncode == 2
    assert result.stdout == ""
    why = "n'est pas un fichier PDF" if content is not None else "(fichier introuvable)"
    assert why in result.stderr and result.stderr.endswith("rien n'a été envoyé\n")
    assert len(sitectl.requests_log(aspnet_site[1])) == before
