"""Organisers' batches end to end against the ASP.NET Web Forms site on Mono:
through the command entry in a subprocess, and through page_ffe in process.
What the site stored is checked, not only what was printed."""

import subprocess
import sys

from support import (
    ENVOI_DE,
    FORMAT_INCORRECT,
    PAPI_INTROUVABLE,
    UPLOAD_EVENT,
    VISIBILITY_EVENT,
    papi_bytes,
    said,
)

import sitectl
import velka


def account(aspnet_site, login, visible, password="mot-de-passe"):
    sitectl.add_account(aspnet_site[1], login, password, visible)
    return login


def posts(aspnet_site, login):
    return [
        line.split()[2]
        for line in sitectl.requests_log(aspnet_site[1])
        if line.startswith("POST /MonTournoi.aspx") and line.endswith(" " + login)
    ]


def trasko(aspnet_site, workdir, listing):
    (workdir / "tournois.txt").write_text(listing)
    result = subprocess.run(
        [sys.executable, "-m", "trasko", "--site", aspnet_site[0], "tournois.txt"],
        cwd=workdir,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode in (0, 1), result.stderr
    return result.stdout


def test_a_batch_publishes_each_good_line(aspnet_site, tmp_path):
    hidden_to_shown = account(aspnet_site, "h2s", visible=False)
    shown_to_shown = account(aspnet_site, "s2s", visible=True)
    shown_to_hidden = account(aspnet_site, "s2h", visible=True)
    (tmp_path / "papis").mkdir()
    big, rapide, blitz = papi_bytes(1200), papi_bytes(1), papi_bytes(2)  # big: some 5 MB
    (tmp_path / "papis" / "Open d'\u00e9t\u00e9.papi").write_bytes(big)
    (tmp_path / "papis" / "rapide.papi").write_bytes(rapide)
    (tmp_path / "blitz.papi").write_bytes(blitz)
    output = trasko(
        aspnet_site,
        tmp_path,
        "\n".join(
            [
                f"{hidden_to_shown} ; mot-de-passe ; papis/Open d'\u00e9t\u00e9.papi ; 1 ; a",
                f"{shown_to_shown},mot-de-passe,{tmp_path}/blitz.papi,1",
                "perdu;mot-de-passe;papis/absent.papi;1",
                "seul",
                f"{shown_to_hidden};mot-de-passe;papis/rapide.papi;0",
            ]
        )
        + "\n",
    )
    assert output == "".join(
        [
            said(ENVOI_DE, "papis/Open d'\u00e9t\u00e9.papi"),
            said(ENVOI_DE, f"{tmp_path}/blitz.papi"),
            said(PAPI_INTROUVABLE.format("papis/absent.papi")),
            # A line of one field may be a password alone: never echoed.
            said(FORMAT_INCORRECT, "[ligne 4 masquée : elle contient peut-être un mot de passe]\n"),
            said(ENVOI_DE, "papis/rapide.papi"),
        ]
    )
    expected = {
        hidden_to_shown: (big, "Open d'\u00e9t\u00e9.papi", True, 2),
        shown_to_shown: (blitz, "blitz.papi", True, 1),
        shown_to_hidden: (rapide, "rapide.papi", False, 2),
    }
    for login, (papi, name, visible, post_count) in expected.items():
        assert sitectl.state(aspnet_site[1], login) == {"papi": papi, "name": name, "visible": visible}
        assert len(posts(aspnet_site, login)) == post_count
    assert sitectl.state(aspnet_site[1], "perdu")["papi"] is None


def test_a_refused_login_stops_the_batch(aspnet_site, tmp_path):
    first = account(aspnet_site, "premier", visible=False)
    refused = account(aspnet_site, "refuse", visible=False, password="le-bon")
    never = account(aspnet_site, "jamais", visible=False)
    for version, name in enumerate(("1.papi", "2.papi", "3.papi")):
        (tmp_path / name).write_bytes(papi_bytes(version))
    output = trasko(
        aspnet_site,
        tmp_path,
        f"{first};mot-de-passe;1.papi;1\n{refused};le-mauvais;2.papi;1\n{never};mot-de-passe;3.papi;1\n",
    )
    # The dialogue ends at the refused login: no file sent, nothing more read.
    assert output == said(ENVOI_DE, "1.papi") + said(ENVOI_DE, "2.papi")
    assert sitectl.state(aspnet_site[1], first)["visible"] is True
    assert sitectl.state(aspnet_site[1], refused)["papi"] is None
    assert sitectl.state(aspnet_site[1], never) == {"papi": None, "name": None, "visible": None}
    assert "le-mauvais" not in output


def test_page_ffe_in_process(aspnet_site, tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(velka, "ADMIN_FFE_URL", aspnet_site[0])
    monkeypatch.chdir(tmp_path)
    login = account(aspnet_site, "en-process", visible=True)
    (tmp_path / "t.papi").write_bytes(b"t")
    (tmp_path / "list.txt").write_text(f"{login};mot-de-passe;t.papi;0;\n")
    assert velka.page_ffe("list.txt") is None
    assert capsys.readouterr().out == said(ENVOI_DE, "t.papi")
    assert sitectl.state(aspnet_site[1], login) == {"papi": b"t", "name": "t.papi", "visible": False}
    # Published again as it now stands: three requests, no toggle.
    velka.envoi_tournoi(login, "mot-de-passe", str(tmp_path / "t.papi"), False)
    assert posts(aspnet_site, login) == [UPLOAD_EVENT, VISIBILITY_EVENT, UPLOAD_EVENT]
