"""--suivre's rounds against a scripted loopback site, on a clock the test
moves: when a changed file is sent, when a failure is tried again, how often
one tournament may be sent, and what the exit status says after Ctrl-C."""

from __future__ import annotations

import json
import os

import pytest
from scripted_site import ERROR_PAGE, LOGIN_FORM, published

from trasko import listing, watch
from trasko.exchange import Recorder, Timeouts
from trasko.options import parse
from trasko.report import Environment

from peer import page, slow

PASSWORD = "Mot-De-Passe-9f3"


@pytest.fixture(autouse=True)
def no_password(monkeypatch, tmp_path):
    """Everything the command says, and the report, checked for the password after each test."""
    said = []
    for name in ("say", "out"):
        original = getattr(Environment, name)
        monkeypatch.setattr(
            Environment, name, lambda env, text, original=original: (said.append(text), original(env, text))[1]
        )
    yield
    report_file = tmp_path / "etat.jsonl"
    texts = said + ([report_file.read_text()] if report_file.exists() else [])
    assert said and not any(PASSWORD in text for text in texts)


class Clock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


@pytest.fixture
def follow(site, tmp_path, monkeypatch, capsys):  # the environment writes to what capsys captures
    """A follower of a one-line list (t.papi, shown), its clock and the list file."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "t.papi").write_bytes(b"v1")
    (tmp_path / "tournois.txt").write_text(f"open;{PASSWORD};t.papi;1\n")
    clock = Clock()
    follower = watch.Follower(Environment(clock=clock), "tournois.txt", Recorder(Timeouts(0.5)), 10.0, "etat.jsonl")
    return follower, clock, tmp_path


def uploads(site):
    return sum(r.path == "/MonTournoi.aspx" for r in site.requests)


def change(path, data):
    path.write_bytes(data)
    stat = path.stat()
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns + 1_000_000_000))  # a new signature even on coarse clocks


def look(follower, clock, seconds):
    clock.now += seconds
    follower.tick()


def test_a_failure_is_tried_again_after_the_back_off_until_it_succeeds(site, follow, capsys):
    follower, clock, tmp = follow
    site.queue(page(ERROR_PAGE, status=503))
    follower.first_round(listing.read("tournois.txt")[0])
    assert follower.status() == 1 and uploads(site) == 0
    look(follower, clock, 10)
    look(follower, clock, 40)
    assert len(site.requests) == 1, "not again before a minute"
    site.queue(page(ERROR_PAGE, status=503))
    look(follower, clock, 15)  # 65 s after the first try
    assert len(site.requests) == 2
    look(follower, clock, 65)
    assert len(site.requests) == 2, "the back-off doubled: two minutes now"
    site.queue(*published())
    look(follower, clock, 60)
    assert uploads(site) == 1 and follower.status() == 0
    look(follower, clock, 600)
    assert uploads(site) == 1, "an unchanged file that is online is not sent again"
    err = capsys.readouterr().err
    assert err.count("non publié : erreur du site (HTTP 503)") == 2 and "nouvel essai vers" in err
    assert "ligne 1 (open) : publié (t.papi)" in err
    record = json.loads((tmp / "etat.jsonl").read_text())
    assert (record["ligne"], record["identifiant"], record["resultat"]) == (1, "open", "publie")
    assert PASSWORD not in err + (tmp / "etat.jsonl").read_text()


def test_one_tournament_is_sent_at_most_once_a_minute(site, follow, capsys):
    follower, clock, tmp = follow
    site.queue(*published())
    follower.first_round(listing.read("tournois.txt")[0])
    change(tmp / "t.papi", b"v2")
    look(follower, clock, 10)  # seen changing
    look(follower, clock, 10)  # settled, but sent 20 s ago
    assert uploads(site) == 1
    site.queue(*published())
    look(follower, clock, 40)
    assert uploads(site) == 2 and follower.status() == 0
    capsys.readouterr()


def test_a_file_changed_and_not_yet_sent_makes_the_exit_status_1(site, follow, capsys):
    follower, clock, tmp = follow
    site.queue(*published())
    follower.first_round(listing.read("tournois.txt")[0])
    assert follower.status() == 0
    change(tmp / "t.papi", b"v2")
    assert follower.status() == 1 and [line.number for line in follower.not_online()] == [1]
    capsys.readouterr()


def test_a_silent_site_does_not_stop_the_watch(site, follow, capsys):
    follower, clock, tmp = follow
    (tmp / "u.papi").write_bytes(b"u")
    (tmp / "tournois.txt").write_text(f"open;{PASSWORD};t.papi;1\nautre;{PASSWORD};u.papi;1\n")
    site.queue(slow(LOGIN_FORM, delay=0, before=3), *published())
    follower.first_round(listing.read("tournois.txt")[0])
    err = capsys.readouterr().err
    assert "ligne 1 (open) : non publié : site muet après 0.5 s" in err
    assert "ligne 2 (autre) : publié (u.papi)" in err


def test_the_list_is_read_again_when_it_changes(site, follow, capsys):
    follower, clock, tmp = follow
    site.queue(*published())
    follower.first_round(listing.read("tournois.txt")[0])
    (tmp / "u.papi").write_bytes(b"u")
    with open(tmp / "tournois.txt", "a") as file:
        file.write(f"ajout;{PASSWORD};u.papi;1\nsans-mot-de-passe;;u.papi;1\n")
    change(tmp / "tournois.txt", (tmp / "tournois.txt").read_bytes())
    look(follower, clock, 10)
    err = capsys.readouterr().err
    assert "fichier-liste relu : 2 fichiers Papi suivis" in err
    assert "ligne 3 (sans-mot-de-passe) : non publié : mot de passe vide" in err
    site.queue(*published())
    look(follower, clock, 10)
    assert uploads(site) == 2 and "ligne 2 (ajout) : publié (u.papi)" in capsys.readouterr().err
    assert follower.status() == 1  # the line without a password is never published
    lines = (tmp / "etat.jsonl").read_text().splitlines()
    assert [json.loads(line)["resultat"] for line in lines] == ["publie", "publie", "non_publie"]


def test_a_folder_given_as_the_papi_file_is_said_once_and_never_sent(site, follow, capsys):
    follower, clock, tmp = follow
    (tmp / "dossier").mkdir()
    (tmp / "tournois.txt").write_text(f"open;{PASSWORD};dossier;1\n")
    follower.first_round(listing.read("tournois.txt")[0])
    for _ in range(3):
        look(follower, clock, 61)
    assert site.requests == [] and follower.status() == 1
    err = capsys.readouterr().err
    assert err.count("ligne 1 (open) : non publié : le fichier Papi indiqué est un dossier") == 1


@pytest.mark.parametrize("during_first_round", [True, False])
def test_ctrl_c_ends_the_watch_with_the_status_of_what_is_online(site, follow, capsys, monkeypatch, during_first_round):
    from trasko import dialogue

    follower, clock, tmp = follow
    if during_first_round:
        monkeypatch.setattr(dialogue, "publish", lambda *args: (_ for _ in ()).throw(KeyboardInterrupt))
    else:
        site.queue(*published())

    def interrupted(seconds):
        raise KeyboardInterrupt

    lines = listing.read("tournois.txt")[0]
    options = parse(["--suivre", "--intervalle", "10", "--delai", "0.5", "tournois.txt"])
    status = watch.run(Environment(sleep=interrupted), options, lines)
    last = capsys.readouterr().err.splitlines()[-1]
    assert (status, last) == ((1, "trasko : interrompu") if during_first_round else (0, "suivi arrêté"))
