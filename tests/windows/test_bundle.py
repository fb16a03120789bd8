"""The portable bundle as an organiser uses it: unzipped into a folder whose
path has blanks and accents in a fresh Wine prefix, nothing else installed,
and a list with Windows paths dropped on each launcher."""

from __future__ import annotations

import tempfile
import time
import zipfile
from pathlib import Path

import pytest
from support import papi_bytes
from wine import BUNDLE, OUTPUT_ENCODING, VERSION

from trasko import papi

import sitectl

CONTACTS = Path(__file__).parent.parent / "papi" / "rapide-87-joueurs-contacts.papi"


def cleaned(path):
    """The copy without contacts, as the command makes it on Linux."""
    with tempfile.TemporaryDirectory() as folder:
        return Path(papi.clean(str(path), folder).path).read_bytes()


DOCUMENTS = ("users", "H\u00e9l\u00e8ne", "Mes documents")
DOCUMENTS_WIN = "C:\\users\\H\u00e9l\u00e8ne\\Mes documents"
PASSWORD = "mot-de-passe"


@pytest.fixture
def bundle(fresh_wine):
    """The launchers' folder, C:\\users\\Hélène\\Mes documents\\velka\\velka-VERSION-windows-x64."""
    with zipfile.ZipFile(BUNDLE) as archive:
        archive.extractall(fresh_wine.drive_c(*DOCUMENTS, "velka"))
    return f"{DOCUMENTS_WIN}\\velka\\velka-{VERSION}-windows-x64"


def tournaments(wine, aspnet_site, tag, quoted=False):
    """A folder "Tournois été" beside the bundle, its Papi files reached from
    the list each in its own way; returns the list's lines and what each
    login should end with on the site."""
    folder = wine.drive_c(*DOCUMENTS, "Tournois \u00e9t\u00e9")
    (folder / "papi").mkdir(parents=True)
    folder_win = f"{DOCUMENTS_WIN}\\Tournois \u00e9t\u00e9"
    files = {
        "Open d'\u00e9t\u00e9.papi": f"{folder_win}\\Open d'\u00e9t\u00e9.papi",  # drive letter
        "Rapide.papi": "papi\\Rapide.papi",  # relative, with a backslash
        "Blitz \u00e0 l'\u00e9cole.papi": "Blitz \u00e0 l'\u00e9cole.papi",  # beside the list
    }
    if quoted:  # as Explorer's "copy as path" gives it
        files["Copi\u00e9.papi"] = f'"{folder_win}\\Copi\u00e9.papi"'
    lines, expected = [], {}
    for number, (name, reference) in enumerate(files.items()):
        login = f"{tag}-{number}"
        sitectl.add_account(aspnet_site[1], login, PASSWORD, visible=False)
        # The first holds players' contacts: the site gets the copy without them.
        content = CONTACTS.read_bytes() if number == 0 else papi_bytes(number)
        (folder / "papi" / name if reference.startswith("papi") else folder / name).write_bytes(content)
        lines.append(f"{login};{PASSWORD};{reference};1;")
        expected[login] = {"papi": cleaned(CONTACTS) if number == 0 else content, "name": name, "visible": True}
    return folder, folder_win, lines, expected


def launch(wine, bundle, launcher, *args, keys=b"\r\n"):
    # Started as Explorer starts it for a drop (CreateProcess on the batch
    # file: cmd /c naming it), from a folder neither the bundle's nor the list's.
    return wine.run(f"{bundle}\\{launcher}", *args, cwd=wine.drive_c("windows"), keys=keys)


@pytest.mark.parametrize(
    "encoding, quoted",
    [
        ("cp1252", False),
        ("utf-8", False),
        ("utf-8-sig", True),
    ],
)
def test_a_list_dropped_on_trasko_publishes_each_tournament(fresh_wine, bundle, aspnet_site, encoding, quoted):
    tag = f"drop-{encoding}-{int(quoted)}"
    folder, folder_win, lines, expected = tournaments(fresh_wine, aspnet_site, tag, quoted)
    (folder / "tournois.txt").write_bytes("\r\n".join(lines).encode(encoding) + b"\r\n")
    code, out = launch(fresh_wine, bundle, "trasko.cmd", "--site", aspnet_site[0], f"{folder_win}\\tournois.txt")
    assert code == 0, out
    for login, state in expected.items():
        assert sitectl.state(aspnet_site[1], login) == state, out
    assert PASSWORD not in out
    assert out.rstrip().endswith("...")  # pause's prompt: the window stays open


def test_verifier_checks_the_logins_and_sends_nothing(fresh_wine, bundle, aspnet_site):
    folder, folder_win, lines, expected = tournaments(fresh_wine, aspnet_site, "verif")
    lines.append(f"verif-refused;{PASSWORD};Blitz \u00e0 l'\u00e9cole.papi;1;")
    sitectl.add_account(aspnet_site[1], "verif-refused", "un-autre", visible=False)
    (folder / "tournois.txt").write_bytes("\r\n".join(lines).encode("cp1252"))
    code, out = launch(fresh_wine, bundle, "verifier.cmd", "--site", aspnet_site[0], f"{folder_win}\\tournois.txt")
    assert code == 1, out
    for login in expected:
        assert f"connexion accept\u00e9e : {login} -> " in out
        assert sitectl.state(aspnet_site[1], login)["papi"] is None
    assert "connexion refus\u00e9e : verif-refused" in out


def test_suivre_publishes_the_list_then_keeps_watching(fresh_wine, bundle, aspnet_site):
    folder, folder_win, lines, expected = tournaments(fresh_wine, aspnet_site, "suivre")
    (folder / "tournois.txt").write_bytes("\r\n".join(lines).encode("cp1252"))
    command = (f"{bundle}\\suivre.cmd", "--site", aspnet_site[0], f"{folder_win}\\tournois.txt")
    with fresh_wine.popen(*command, cwd=fresh_wine.drive_c("windows")) as process:
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and process.poll() is None:
            if all(sitectl.state(aspnet_site[1], login) == state for login, state in expected.items()):
                break
            time.sleep(0.5)
        still_watching = process.poll() is None
        fresh_wine.stop()
        out = process.communicate(timeout=60)[0].decode(OUTPUT_ENCODING, "replace")
    assert still_watching, out
    for login, state in expected.items():
        assert sitectl.state(aspnet_site[1], login) == state, out


def test_trasko_without_a_list_says_how_and_waits(fresh_wine, bundle):
    code, out = launch(fresh_wine, bundle, "trasko.cmd")
    assert code == 2, out
    assert "trasko --help" in out
    assert out.rstrip().endswith("...")


def test_facture_saves_beside_the_list_and_reglement_takes_pdf_and_list_in_either_order(
    fresh_wine, bundle, aspnet_site
):
    folder, folder_win, lines, expected = tournaments(fresh_wine, aspnet_site, "errands")
    for login in expected:
        sitectl.set_tournament(aspnet_site[1], login, papi=b"p")
    (folder / "tournois.txt").write_bytes("\r\n".join(lines).encode("utf-8"))
    listing = f"{folder_win}\\tournois.txt"
    code, out = launch(fresh_wine, bundle, "facture.cmd", "--site", aspnet_site[0], listing)
    assert code == 0, out
    for login in expected:
        assert f'<base href="{aspnet_site[0]}">' in (folder / f"facture-{login}.html").read_text(encoding="utf-8")
    pdf = b"%PDF-1.4\n1 0 obj <<>> endobj\ntrailer <<>>\n%%EOF\n"
    (folder / "R\u00e8glement int\u00e9rieur.pdf").write_bytes(pdf)
    # Dropped together, the list may come first: the PDF is known by its bytes.
    rules = f"{folder_win}\\R\u00e8glement int\u00e9rieur.pdf"
    code, out = launch(fresh_wine, bundle, "reglement.cmd", "--site", aspnet_site[0], listing, rules)
    assert code == 0, out
    for login in expected:
        assert sitectl.rules(aspnet_site[1], login) == (pdf, "R\u00e8glement int\u00e9rieur.pdf"), out
    assert PASSWORD not in out and out.rstrip().endswith("...")
