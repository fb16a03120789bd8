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
PAUSE = "Appuyez sur une touche pour fermer cette fen\u00eatre."
CLUB = ("Tournois", "Club&Co", "\u00c9t\u00e9 2026")
# Over 260 characters with the list's name: Windows' old limit on a path.
LONG = tuple(f"Saison {year}-{year + 1} du club, toutes cadences confondues" for year in range(2020, 2025))


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


def launch(wine, bundle, launcher, *args, keys=b"\r\n", cwd=None, how="explorer"):
    """The launcher started with `args`, each quoted: as Explorer starts a
    program for a drop or a double-click (the command line as written, a
    console of its own), as typed at a prompt (`cmd /c ""LAUNCHER" ARGS"`),
    or by Wine from Linux (no console); by default from a folder neither the
    bundle's nor the list's."""
    cwd = cwd or wine.drive_c("windows")
    if how == "wine":
        return wine.run(f"{bundle}\\{launcher}", *args, cwd=cwd, keys=keys)
    line = " ".join(f'"{part}"' for part in (f"{bundle}\\{launcher}", *args))
    if how == "cmd":
        line = f'cmd /c "{line}"'
    return wine.spawn(f"{bundle}\\python\\python.exe", line, cwd, new_console=True, keys=keys)


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
    code, out = launch(fresh_wine, bundle, "publier.exe", "--site", aspnet_site[0], f"{folder_win}\\tournois.txt")
    assert code == 0, out
    for login, state in expected.items():
        assert sitectl.state(aspnet_site[1], login) == state, out
    assert PASSWORD not in out
    assert out.rstrip().endswith(PAUSE)  # Explorer opened the window: it stays open
    assert "badge en-ligne" in (folder / "etat-velka.html").read_text(encoding="utf-8")


def test_verifier_checks_the_logins_and_sends_nothing(fresh_wine, bundle, aspnet_site):
    folder, folder_win, lines, expected = tournaments(fresh_wine, aspnet_site, "verif")
    lines.append(f"verif-refused;{PASSWORD};Blitz \u00e0 l'\u00e9cole.papi;1;")
    sitectl.add_account(aspnet_site[1], "verif-refused", "un-autre", visible=False)
    (folder / "tournois.txt").write_bytes("\r\n".join(lines).encode("cp1252"))
    code, out = launch(fresh_wine, bundle, "verifier.exe", "--site", aspnet_site[0], f"{folder_win}\\tournois.txt")
    assert code == 1, out
    # The organiser's view: one line per tournament, what happened and what to do.
    for login in expected:
        assert f"({login}) : identifiant et mot de passe accept\u00e9s : http://" in out
        assert sitectl.state(aspnet_site[1], login)["papi"] is None
    assert "(verif-refused) : identifiant ou mot de passe refus\u00e9s par le site : corrigez la ligne" in out


def test_suivre_publishes_the_list_then_keeps_watching(fresh_wine, bundle, aspnet_site):
    folder, folder_win, lines, expected = tournaments(fresh_wine, aspnet_site, "suivre")
    (folder / "tournois.txt").write_bytes("\r\n".join(lines).encode("cp1252"))
    command = (f"{bundle}\\suivre.exe", "--site", aspnet_site[0], f"{folder_win}\\tournois.txt")
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


@pytest.mark.parametrize(
    "launcher, says",
    [
        ("publier.exe", "faites glisser votre fichier-liste (par exemple tournois.txt) sur publier.exe"),
        ("reglement.exe", "avec le PDF du r\u00e8glement"),
        ("velka.exe", "v : v\u00e9rifier les identifiants"),
    ],
)
def test_a_launcher_given_nothing_shows_the_menu_and_waits(fresh_wine, bundle, launcher, says):
    code, out = launch(fresh_wine, bundle, launcher, keys=b"q\r\n\r\n")
    assert code == 0, out
    assert says in out and "q : quitter" in out
    assert out.rstrip().endswith(PAUSE)


def test_the_menu_verifies_a_list_pasted_and_sends_nothing(fresh_wine, bundle, aspnet_site):
    listing = one_tournament(fresh_wine, aspnet_site, "menu", *CLUB)
    answers = f"v\r\n{listing}\r\nq\r\n\r\n".encode("cp1252")
    code, out = launch(fresh_wine, bundle, "velka.exe", "--site", aspnet_site[0], keys=answers)
    assert code == 0, out
    assert "(menu) : identifiant et mot de passe accept\u00e9s : http://" in out and out.rstrip().endswith(PAUSE)
    assert sitectl.state(aspnet_site[1], "menu")["papi"] is None


def test_facture_saves_beside_the_list_and_reglement_takes_pdf_and_list_in_either_order(
    fresh_wine, bundle, aspnet_site
):
    folder, folder_win, lines, expected = tournaments(fresh_wine, aspnet_site, "errands")
    for login in expected:
        sitectl.set_tournament(aspnet_site[1], login, papi=b"p")
    (folder / "tournois.txt").write_bytes("\r\n".join(lines).encode("utf-8"))
    listing = f"{folder_win}\\tournois.txt"
    code, out = launch(fresh_wine, bundle, "facture.exe", "--site", aspnet_site[0], listing)
    assert code == 0, out
    for login in expected:
        saved = (folder / f"facture-{login}.html").read_text(encoding="utf-8")
        assert "data:image/svg+xml" in saved and "<base" not in saved  # it stands alone
    pdf = b"%PDF-1.4\n1 0 obj <<>> endobj\ntrailer <<>>\n%%EOF\n"
    (folder / "R\u00e8glement int\u00e9rieur.pdf").write_bytes(pdf)
    # Dropped together, the list may come first: the PDF is known by its bytes.
    rules = f"{folder_win}\\R\u00e8glement int\u00e9rieur.pdf"
    code, out = launch(fresh_wine, bundle, "reglement.exe", "--site", aspnet_site[0], listing, rules)
    assert code == 0, out
    for login in expected:
        assert sitectl.rules(aspnet_site[1], login) == (pdf, "R\u00e8glement int\u00e9rieur.pdf"), out
    assert PASSWORD not in out and out.rstrip().endswith(PAUSE)


def one_tournament(wine, aspnet_site, login, *folder):
    """A list with one tournament in C:\\FOLDER, its Papi file beside it; returns the list's Windows path."""
    place = wine.drive_c(*folder)
    place.mkdir(parents=True, exist_ok=True)
    sitectl.add_account(aspnet_site[1], login, PASSWORD, visible=False)
    (place / "Open.papi").write_bytes(papi_bytes())
    (place / "tournois.txt").write_bytes(f"{login};{PASSWORD};Open.papi;1;\r\n".encode("cp1252"))
    return "C:\\" + "\\".join(folder) + "\\tournois.txt"


@pytest.mark.parametrize(
    "folder, how, pauses",
    [
        (CLUB, "explorer", True),
        ((*CLUB, "100% ^top! (final)"), "explorer", True),
        ((*CLUB, "100% ^top! (final)"), "cmd", False),
        ((*CLUB, "%CLUB% ^^ !x!"), "wine", False),
        ((*CLUB, *LONG), "explorer", True),
        ((*CLUB, *LONG), "cmd", False),
    ],
)
def test_any_path_reaches_trasko_as_given_and_the_window_waits_only_for_explorer(
    fresh_wine, bundle, aspnet_site, folder, how, pauses
):
    login = f"path-{len(folder)}-{how}-{len(folder[-1])}"
    listing = one_tournament(fresh_wine, aspnet_site, login, *folder)
    assert (len(listing) > 260) == (folder[-1] == LONG[-1])
    code, out = launch(fresh_wine, bundle, "publier.exe", "--site", aspnet_site[0], listing, how=how)
    assert code == 0, out
    assert sitectl.state(aspnet_site[1], login)["name"] == "Open.papi", out
    assert out.rstrip().endswith(PAUSE) == pauses, out


def test_paths_typed_at_a_prompt_are_taken_from_there_and_the_papi_paths_from_the_list(fresh_wine, bundle, aspnet_site):
    listing = one_tournament(fresh_wine, aspnet_site, "typed", *CLUB, "listes")
    here = fresh_wine.drive_c(*CLUB)
    pdf = b"%PDF-1.4\n%%EOF\n"
    (here / "reglement.pdf").write_bytes(pdf)
    relative = "listes\\tournois.txt"
    site = ("--site", aspnet_site[0])
    runs = [
        ("publier.exe", *site, "--rapport", "rapport.jsonl", relative),
        ("facture.exe", *site, "--dossier=factures", relative),
        ("reglement.exe", *site, "reglement.pdf", relative),
    ]
    for launcher, *args in runs:
        code, out = launch(fresh_wine, bundle, launcher, *args, cwd=here, how="cmd")
        assert code == 0, (launcher, out)
    assert sitectl.state(aspnet_site[1], "typed")["name"] == "Open.papi"
    assert '"typed"' in (here / "rapport.jsonl").read_text(encoding="utf-8")
    assert (here / "factures" / "facture-typed.html").is_file()
    assert sitectl.rules(aspnet_site[1], "typed") == (pdf, "reglement.pdf")
    assert not (here / "listes" / "rapport.jsonl").exists() and listing.endswith(relative)


# Shares the launcher's console, sends Ctrl-C to it (itself spared) once the
# watch says it waits, and relays what the launcher writes.
CTRL_C = """import ctypes, subprocess, sys
child = subprocess.Popen(sys.argv[1], stdin=0, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
kernel = ctypes.windll.kernel32
for line in child.stdout:
    sys.stdout.buffer.write(line)
    sys.stdout.flush()
    if b"Ctrl-C pour arr" in line:
        kernel.SetConsoleCtrlHandler(None, True)
        kernel.GenerateConsoleCtrlEvent(0, 0)
sys.exit(child.wait(timeout=60))
"""


def test_ctrl_c_stops_the_watch_and_the_launcher_outlives_it_with_the_summary(fresh_wine, bundle, aspnet_site):
    listing = one_tournament(fresh_wine, aspnet_site, "ctrl-c", *CLUB, "100% ^top!")
    fresh_wine.drive_c("ctrlc.py").write_text(CTRL_C)
    launcher = f'"{bundle}\\\\suivre.exe" --intervalle 2 --site {aspnet_site[0]} "{listing}"'
    line = f'"{bundle}\\\\python\\\\python.exe" -E -s C:\\\\ctrlc.py "{launcher.replace(chr(34), chr(92) + chr(34))}"'
    code, out = fresh_wine.spawn(f"{bundle}\\\\python\\\\python.exe", line, fresh_wine.drive_c(), new_console=True)
    # The watch's own status passed on (0: the tournament online), its summary
    # last. Wine's default handler ends no process on Ctrl-C, so the launcher's
    # own handler, which keeps it alive on Windows, is not what this proves.
    assert code == 0, out
    assert "suivi arr\u00eat\u00e9" in out.splitlines()[-1]
    assert sitectl.state(aspnet_site[1], "ctrl-c")["name"] == "Open.papi"


READY = "pr\u00eat \u00e0 publier, rien n'a \u00e9t\u00e9 envoy\u00e9 (r\u00e9p\u00e9tition)"
FIDE = Path(__file__).parent.parent / "papi" / "fide-17-joueurs-contacts.papi"


def test_the_menus_rehearsal_sends_nothing_then_publier_leaves_a_board_with_a_badge_per_line(
    fresh_wine, bundle, aspnet_site
):
    place = fresh_wine.drive_c(*CLUB)
    place.mkdir(parents=True)
    (place / "FIDE 17.papi").write_bytes(FIDE.read_bytes())
    sitectl.add_account(aspnet_site[1], "day-good", PASSWORD, visible=False)
    sitectl.add_account(aspnet_site[1], "day-typo", "un-autre", visible=False)
    lines = [f"{login};{PASSWORD};FIDE 17.papi;1;" for login in ("day-good", "day-typo")]
    (place / "tournois.txt").write_bytes("\r\n".join(lines).encode("cp1252") + b"\r\n")
    listing = "C:\\" + "\\".join(CLUB) + "\\tournois.txt"
    answers = f"e\r\n{listing}\r\nq\r\n\r\n".encode("cp1252")
    code, out = launch(fresh_wine, bundle, "velka.exe", "--site", aspnet_site[0], keys=answers)
    assert code == 1, out  # the last run's status: a line to fix
    assert "ligne 1 (day-good) : " + READY in out
    assert "ligne 2 (day-typo) : identifiant ou mot de passe refus\u00e9s par le site : corrigez la ligne 2" in out
    assert "bilan de la r\u00e9p\u00e9tition" in out and PASSWORD not in out
    assert sitectl.state(aspnet_site[1], "day-good")["papi"] is None
    assert not (place / "etat-velka.html").exists()  # a rehearsal is no publication

    code, out = launch(fresh_wine, bundle, "publier.exe", "--site", aspnet_site[0], listing)
    assert code == 1, out
    assert sitectl.state(aspnet_site[1], "day-good")["papi"] == cleaned(FIDE)
    page = (place / "etat-velka.html").read_text(encoding="utf-8")
    assert page.count('class="badge ') == 2, page
    assert 'class="badge en-ligne"' in page and 'class="badge echec"' in page, page
