"""The command and the players' contacts, on real Papi files against the local
ASP.NET site: each file checked against its line before anything is sent,
the copy without contacts sent in its place, the outcome naming the
tournament; --tel-quel, --verifier, --rapport and --preparer."""

from __future__ import annotations

import json
import shutil
import tempfile
from pathlib import Path

import pytest
from support import ENVOI_DE, papi_bytes, said
from test_command import PASSWORD, account, requests_for, trasko, write_list

from trasko import listing, messages, papi, papi_copy
from trasko.judge import Outcome, State

import sitectl

FIXTURES = Path(__file__).parent / "papi"
CONTACTS = "rapide-87-joueurs-contacts.papi"  # no homologation number
NUMBERED = "open-582-joueurs.papi"  # homologation 58698
UNCHECKED = messages.UNCHECKED


@pytest.fixture
def temporary(tmp_path, monkeypatch):
    """The folder where the command makes its copies."""
    folder = tmp_path / "temporaire"
    folder.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    return folder


def cleaned_bytes(name, tmp_path):
    folder = tmp_path / "attendu"
    folder.mkdir(exist_ok=True)
    return Path(papi.clean(str(FIXTURES / name), str(folder)).path).read_bytes()


def test_the_site_gets_the_copy_without_contacts_under_the_files_name(aspnet_site, tmp_path, temporary):
    source = tmp_path / "Open d'été.papi"
    shutil.copy(FIXTURES / CONTACTS, source)
    (tmp_path / "Open d'été.ldb").write_bytes(b"verrou de Papi")  # the file is open in Papi: no matter
    original = source.read_bytes()
    login = account(aspnet_site, "contacts-retires")
    listing_file = write_list(tmp_path, f"{login};{PASSWORD};Open d'été.papi;1")
    result = trasko(tmp_path, "--site", aspnet_site[0], "--rapport", "r.jsonl", listing_file)
    assert result.returncode == 0, result.stderr
    stored = sitectl.state(aspnet_site[1], login)
    assert (stored["papi"], stored["name"]) == (cleaned_bytes(CONTACTS, tmp_path), "Open d'été.papi")
    assert stored["papi"] != original and source.read_bytes() == original
    assert not list(temporary.iterdir()), "the copy is removed"
    assert result.stdout == said(ENVOI_DE, "Open d'été.papi")
    assert (
        f"ligne 1 ({login}) : publié : 14e open rapide de Domloup - Tournoi A, ronde 9 sur 9 "
        f"(87 joueurs ; 80 téléphones et 84 e-mails retirés){UNCHECKED}"
    ) in result.stderr.splitlines()
    record = json.loads((tmp_path / "r.jsonl").read_text(encoding="utf-8"))
    assert {key: record[key] for key in ("tournoi", "ronde", "rondes", "joueurs")} == {
        "tournoi": "14e open rapide de Domloup - Tournoi A",
        "ronde": 9,
        "rondes": 9,
        "joueurs": 87,
    }
    assert (record["telephones_retires"], record["emails_retires"], record["octets_envoyes"]) == (80, 84, len(original))


TRUNCATED = (FIXTURES / CONTACTS).read_bytes()[: 4096 * 60]


@pytest.mark.parametrize(
    "login, data, cause",
    [
        (
            "770001",
            (FIXTURES / NUMBERED).read_bytes(),
            "ce fichier Papi est celui du tournoi 58698 (Internationaux de 2023 -  Rapide), "
            "pas du tournoi 770001 : vérifiez la ligne",
        ),
        ("pas-papi", b"PK\x03\x04" + bytes(5000), messages.NOT_PAPI_FILE),
        ("vide-0", b"", messages.NOT_PAPI_FILE),
        ("tronque", TRUNCATED, messages.PAPI_INCOMPLETE),
    ],
)
def test_a_refused_file_reaches_nothing_and_the_batch_goes_on(aspnet_site, tmp_path, temporary, login, data, cause):
    (tmp_path / "refuse.papi").write_bytes(data)
    (tmp_path / "bon.papi").write_bytes(papi_bytes())
    after = account(aspnet_site, f"apres-{login}")
    listing_file = write_list(
        tmp_path, f"{account(aspnet_site, login)};{PASSWORD};refuse.papi;1", f"{after};{PASSWORD};bon.papi;1"
    )
    result = trasko(tmp_path, "--site", aspnet_site[0], listing_file)
    assert result.stderr.splitlines()[0] == f"ligne 1 ({login}) : {cause}"
    assert requests_for(aspnet_site, login) == [], "not even the login"
    assert sitectl.state(aspnet_site[1], after)["papi"] == papi_bytes()
    assert result.returncode == 1 and not list(temporary.iterdir())


def test_tel_quel_sends_the_file_unchanged_and_says_so(aspnet_site, tmp_path):
    shutil.copy(FIXTURES / CONTACTS, tmp_path / "t.papi")
    login = account(aspnet_site, "tel-quel")
    result = trasko(
        tmp_path, "--tel-quel", "--site", aspnet_site[0], write_list(tmp_path, f"{login};{PASSWORD};t.papi;1")
    )
    assert sitectl.state(aspnet_site[1], login)["papi"] == (FIXTURES / CONTACTS).read_bytes()
    assert result.stderr.splitlines()[:2] == [
        messages.AS_IS_WARNING,
        f"ligne 1 ({login}) : publié : 14e open rapide de Domloup - Tournoi A, ronde 9 sur 9 "
        f"(87 joueurs ; {messages.CONTACTS_KEPT}){UNCHECKED}",
    ]


def test_verifier_checks_the_file_beside_the_login(aspnet_site, tmp_path):
    shutil.copy(FIXTURES / NUMBERED, tmp_path / "open.papi")
    good, other = account(aspnet_site, "58698"), account(aspnet_site, "770002")
    listing_file = write_list(tmp_path, f"{good};{PASSWORD};open.papi;1", f"{other};{PASSWORD};open.papi;1")
    result = trasko(tmp_path, "--verifier", "--site", aspnet_site[0], listing_file)
    assert result.stdout.startswith(f"connexion acceptée : {good} -> ")
    assert result.stderr.splitlines() == [
        f"ligne 1 ({good}) : fichier Papi : Internationaux de 2023 -  Rapide, ronde 6 sur 9 "
        "(582 joueurs ; aucun contact de joueur)",
        f"ligne 2 ({other}) : ce fichier Papi est celui du tournoi 58698 (Internationaux de 2023 -  Rapide), "
        f"pas du tournoi {other} : vérifiez la ligne",
        "bilan : 1 connexion acceptée, 1 non acceptée",
    ]
    assert requests_for(aspnet_site, other) == []


def test_repetition_checks_everything_and_sends_no_file(aspnet_site, tmp_path, temporary):
    shutil.copy(FIXTURES / NUMBERED, tmp_path / "open.papi")
    good, other = account(aspnet_site, "58698"), account(aspnet_site, "770003")
    wrong = account(aspnet_site, "770004", password="autre")
    listing_file = write_list(
        tmp_path,
        f"{good};{PASSWORD};open.papi;1",
        f"{other};{PASSWORD};open.papi;1",
        f"{wrong};{PASSWORD};{CONTACTS};1",
        f"{good};{PASSWORD};absent.papi;1",
    )
    shutil.copy(FIXTURES / CONTACTS, tmp_path / CONTACTS)
    before = len(requests_for(aspnet_site, good))  # the login is shared with other tests
    result = trasko(tmp_path, "--repetition", "--site", aspnet_site[0], listing_file)
    told = result.stderr.splitlines()
    assert told[0].startswith(
        f"ligne 1 ({good}) : prêt à publier, rien n'a été envoyé (répétition) : Internationaux de 2023 -  Rapide"
    )
    assert told[1].startswith(f"ligne 2 ({other}) : ce fichier Papi est celui du tournoi 58698")
    assert told[2] == f"ligne 3 ({wrong}) : {messages.LOGIN_REFUSED}"
    assert told[3].startswith("ligne 4 (") and told[4] == (
        "bilan de la répétition : 1 ligne prête, 3 lignes à corriger ; rien n'a été envoyé"
    )
    assert result.returncode == 1 and result.stdout == ""
    assert requests_for(aspnet_site, other) == [] and not list(temporary.iterdir())
    assert requests_for(aspnet_site, good)[before:] == ["POST /Default.aspx -", "GET /MonTournoi.aspx -"]
    assert sitectl.state(aspnet_site[1], wrong)["papi"] is None


def test_a_file_saved_while_it_is_read_is_not_sent(tmp_path, monkeypatch):
    shutil.copy(FIXTURES / CONTACTS, tmp_path / "t.papi")
    monkeypatch.chdir(tmp_path)
    stamps = iter([(1, 1), (1, 2)])
    monkeypatch.setattr(papi_copy, "_stamp", lambda path: next(stamps))
    sent = []
    line = listing.split(f"l;{PASSWORD};t.papi;1\n")[0]
    outcome = papi_copy.publish(line, False, lambda path: sent.append(path) or Outcome(State.PUBLISHED))
    assert (outcome.state, outcome.cause, outcome.stops, sent) == (State.FAILED, messages.PAPI_CHANGING, False, [])


def test_preparer_writes_a_list_and_never_overwrites_one(tmp_path):
    folder = tmp_path / "tournois de juin"
    folder.mkdir()
    shutil.copy(FIXTURES / NUMBERED, folder / "open.papi")
    shutil.copy(FIXTURES / CONTACTS, folder / "rapide.papi")
    (folder / "abime.papi").write_bytes(b"x" * 100)
    (folder / "notes.txt").write_text("pas un tournoi")
    first = trasko(tmp_path, "--preparer", folder)
    second = trasko(tmp_path, "--preparer", folder)
    assert (first.returncode, second.returncode) == (0, 0)
    made = (folder / "tournois.txt").read_text(encoding="utf-8")
    assert (folder / "tournois-2.txt").read_text(encoding="utf-8") == made
    assert made.splitlines() == [
        messages.PREPARE_HEADER,
        f"58698;MOT-DE-PASSE;{folder / 'open.papi'};1;open",
        messages.PREPARE_NO_NUMBER,
        f"# NUMERO;MOT-DE-PASSE;{folder / 'rapide.papi'};1;rapide",
    ]
    assert f"abime.papi laissé de côté : {messages.NOT_PAPI_FILE}" in first.stderr
    assert f"liste écrite : {folder / 'tournois.txt'} (1 tournoi)" in first.stderr
    lines = listing.read(str(folder / "tournois.txt"))[0]
    assert [line.kind for line in lines] == [listing.COMMENT, listing.USABLE, listing.COMMENT, listing.COMMENT]


@pytest.mark.parametrize(
    "args, status, told",
    [
        (["--preparer", "absent"], 2, "dossier illisible : absent (fichier introuvable)"),
        (["--preparer", "."], 1, "aucun fichier Papi utilisable dans ."),
        (["--preparer", ".", "liste.txt"], 2, messages.PREPARE_NO_LIST),
        (["--preparer", ".", "--suivre"], 2, messages.PREPARE_ALONE),
    ],
)
def test_preparer_says_what_it_cannot_do(tmp_path, args, status, told):
    result = trasko(tmp_path, *args)
    assert result.returncode == status and told in result.stderr
    assert not list(tmp_path.glob("*.txt"))


def test_suivre_sends_a_file_caught_mid_save_once_it_is_whole(aspnet_site, tmp_path, monkeypatch, temporary):
    from test_command import Clock

    from trasko import watch
    from trasko.exchange import Recorder, Timeouts
    from trasko.report import Environment

    import velka

    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(velka, "ADMIN_FFE_URL", aspnet_site[0])
    source = tmp_path / "t.papi"
    source.write_bytes(TRUNCATED)  # Papi still writing it
    write_list(tmp_path, f"{account(aspnet_site, 'mi-ecrit')};{PASSWORD};t.papi;1")
    clock = Clock()
    follower = watch.Follower(Environment(clock=clock), "tournois.txt", Recorder(Timeouts(30)), 1.0)
    follower.first_round(listing.read("tournois.txt")[0])
    assert requests_for(aspnet_site, "mi-ecrit") == [] and follower.status() == 1
    shutil.copy(FIXTURES / CONTACTS, source)
    for _ in range(2):  # seen changing, then the same for a whole interval
        clock.now += 61
        follower.tick()
    assert sitectl.state(aspnet_site[1], "mi-ecrit")["papi"] == cleaned_bytes(CONTACTS, tmp_path)
    assert follower.status() == 0 and not list(temporary.iterdir())
