"""--suivre's rounds against a scripted loopback site, on a clock the test
moves: when a changed file is sent, when a failure is tried again, how often
one tournament may be sent, and what the exit status says after Ctrl-C."""

from __future__ import annotations

import json
import os

import pytest
from scripted_site import ERROR_PAGE, LOGIN_FORM, login, published, taken, tournament
from support import papi_bytes

from trasko import listing, messages, watch
from trasko.exchange import Recorder, Timeouts
from trasko.options import parse
from trasko.report import Environment

from peer import multipart_parts, page, slow

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
    (tmp_path / "t.papi").write_bytes(papi_bytes(1))
    (tmp_path / "tournois.txt").write_text(f"open;{PASSWORD};t.papi;1\n")
    clock = Clock()
    follower = watch.Follower(Environment(clock=clock), "tournois.txt", Recorder(Timeouts(0.5)), 10.0, "etat.jsonl")
    return follower, clock, tmp_path


def uploads(site):
    return sum(r.path == "/MonTournoi.aspx" for r in site.requests)


def sent_size(request):
    return sum(len(part.data) for part in multipart_parts(request) if part.filename is not None)


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
    change(tmp / "t.papi", papi_bytes(2))
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
    change(tmp / "t.papi", papi_bytes(2))
    assert follower.status() == 1 and [line.number for line in follower.not_online()] == [1]
    capsys.readouterr()


def test_a_silent_site_does_not_stop_the_watch(site, follow, capsys):
    follower, clock, tmp = follow
    (tmp / "u.papi").write_bytes(papi_bytes())
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
    (tmp / "u.papi").write_bytes(papi_bytes())
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


def test_a_file_saved_during_the_first_round_is_sent_at_the_next(site, follow, capsys):
    follower, clock, tmp = follow
    (tmp / "u.papi").write_bytes(papi_bytes())
    (tmp / "tournois.txt").write_text(f"open;{PASSWORD};t.papi;1\nautre;{PASSWORD};u.papi;1\n")

    def saved_meanwhile(request):
        change(tmp / "t.papi", papi_bytes(2))  # while line 2 is being published
        return login()

    site.queue(*published(), saved_meanwhile, tournament(), taken())
    follower.first_round(listing.read("tournois.txt")[0])
    assert follower.status() == 1 and [line.number for line in follower.not_online()] == [1]
    site.queue(*published())
    look(follower, clock, 10)  # seen changing
    look(follower, clock, 60)  # the same for an interval: sent
    assert uploads(site) == 3 and sent_size(site.requests[-1]) == len(papi_bytes(2))
    assert follower.status() == 0
    capsys.readouterr()


def test_every_usable_line_is_watched_and_a_split_password_named_once(site, follow, capsys):
    follower, clock, tmp = follow
    (tmp / "1").write_bytes(b"stray")  # a file named as the visibility field
    (tmp / "tournois.txt").write_text(
        f"open;{PASSWORD};t.papi;1\nautre;{PASSWORD};u.papi;1;u.papi\ncoupe;Mot,De;v.papi;1\n"
    )
    site.queue(*published())
    follower.first_round(listing.read("tournois.txt")[0])
    assert sorted(t.line.number for t in follower.watched.values()) == [1, 2]
    (tmp / "u.papi").write_bytes(papi_bytes())  # appears during the event
    site.queue(*published())
    look(follower, clock, 10)
    look(follower, clock, 10)
    assert uploads(site) == 2
    err = capsys.readouterr().err
    assert err.count("ligne 3 (coupe) : non publié : fichier Papi introuvable ; le mot de passe contient") == 1


def records(tmp):
    lines = (tmp / "etat.jsonl").read_text().splitlines()
    return [(r["ligne"], r["resultat"], r["cause"]) for r in map(json.loads, lines)]


def test_the_report_has_one_record_per_line_of_the_list(site, follow, capsys):
    follower, clock, tmp = follow
    line = f"open;{PASSWORD};t.papi;1"
    (tmp / "tournois.txt").write_text(f"# le club\n{line}\n\n{line}\nseul\n{line}\n")
    site.queue(*published(), *published(), *published())
    follower.first_round(listing.read("tournois.txt")[0])
    assert [(number, state) for number, state, _ in records(tmp)] == [
        (1, "ignoree"),
        (2, "publie"),
        (3, "ignoree"),
        (4, "publie"),
        (5, "non_publie"),
        (6, "publie"),
    ]
    capsys.readouterr()


def test_an_unwritable_report_makes_the_status_1(site, follow, capsys):
    follower, clock, tmp = follow
    follower.report_file = str(tmp / "absent" / "etat.jsonl")  # its folder does not exist
    site.queue(*published())
    follower.first_round(listing.read("tournois.txt")[0])
    assert follower.status() == 1
    assert "rapport impossible à écrire" in capsys.readouterr().err


def test_ctrl_c_in_the_first_round_rewrites_the_report(site, tmp_path, monkeypatch, capsys):
    from trasko import dialogue

    monkeypatch.chdir(tmp_path)
    (tmp_path / "t.papi").write_bytes(papi_bytes(1))
    (tmp_path / "tournois.txt").write_text(f"open;{PASSWORD};t.papi;1\nautre;{PASSWORD};t.papi;1\n")
    (tmp_path / "etat.jsonl").write_text('{"ligne": 2, "resultat": "publie"}\n')  # an earlier run's
    publish, calls = dialogue.publish, []

    def interrupted_at_the_second(*args):
        calls.append(1)
        if len(calls) == 2:
            raise KeyboardInterrupt
        return publish(*args)

    monkeypatch.setattr(dialogue, "publish", interrupted_at_the_second)
    site.queue(*published())
    options = parse(["--suivre", "--delai", "0.5", "--rapport", "etat.jsonl", "tournois.txt"])
    slept = []

    def stop(seconds):  # the interrupt belongs to the first round: a watch that reaches its pause would never end
        slept.append(seconds)
        raise KeyboardInterrupt

    assert watch.run(Environment(sleep=stop), options, listing.read("tournois.txt")[0]) == 1
    assert slept == [] and records(tmp_path) == [(1, "publie", ""), (2, "non_tente", "interrompu")]
    assert capsys.readouterr().err.splitlines()[-1] == "trasko : interrompu"


def test_a_second_watch_of_the_list_is_refused_while_the_first_runs(site, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "t.papi").write_bytes(papi_bytes(1))
    (tmp_path / "tournois.txt").write_text(f"open;{PASSWORD};t.papi;1\n")
    options = parse(["--suivre", "--delai", "0.5", "tournois.txt"])
    lines = listing.read("tournois.txt")[0]
    (tmp_path / "tournois.txt.verrou").write_text("processus 1, commencé hier")  # left by a watch that died
    second = []

    def stop(seconds):
        raise KeyboardInterrupt

    def look_then_stop(seconds):
        # Started while the first watches; stopped at its first pause, should it not be refused.
        second.append(watch.run(Environment(sleep=stop), options, lines))
        raise KeyboardInterrupt

    site.queue(*published())
    assert watch.run(Environment(sleep=look_then_stop), options, lines) == 0
    assert second == [2] and uploads(site) == 1, "the second sent nothing"
    err = capsys.readouterr().err
    assert f"un autre suivi de tournois.txt est déjà en cours (processus {os.getpid()}, commencé le " in err
    assert not (tmp_path / "tournois.txt.verrou").exists(), "freed when the first ended"
    site.queue(*published())
    assert watch.run(Environment(sleep=look_then_stop), options, lines) == 0  # the list is free again


@pytest.mark.skipif(os.name == "nt", reason="Windows removes no folder a process is in")
def test_the_watch_goes_on_when_its_folder_goes_away_and_comes_back(site, follow, monkeypatch, capsys):
    import shutil

    follower, clock, tmp = follow
    club = tmp / "club"
    club.mkdir()
    (club / "t.papi").write_bytes(papi_bytes(1))
    (club / "tournois.txt").write_text(f"open;{PASSWORD};t.papi;1\n")
    monkeypatch.chdir(club)
    follower = watch.Follower(Environment(clock=clock), "tournois.txt", Recorder(Timeouts(0.5)), 10.0)
    site.queue(*published())
    follower.first_round(listing.read("tournois.txt")[0])
    shutil.rmtree(club)  # the starting folder, removed under the watch
    look(follower, clock, 10)
    look(follower, clock, 10)
    assert follower.status() == 1
    club.mkdir()
    (club / "tournois.txt").write_text(f"open;{PASSWORD};t.papi;1\n")
    change(club / "t.papi", papi_bytes(2))
    site.queue(*published())
    look(follower, clock, 60)  # seen again
    look(follower, clock, 10)  # the same for an interval: sent
    assert uploads(site) == 2 and follower.status() == 0
    err = capsys.readouterr().err
    assert err.count("ligne 1 (open) : fichier Papi introuvable") == 1 and "erreur interne" not in err


@pytest.mark.parametrize(
    "answers",
    [
        pytest.param([login(), login()], id="refused login"),
        pytest.param([login(), tournament(upload=False)], id="closed tournament"),
        pytest.param([login(), tournament(), tournament(verdict="Le fichier t.papi est vide.")], id="refused file"),
    ],
)
def test_what_a_retry_cannot_change_is_said_once_and_tried_again_when_the_file_changes(site, follow, capsys, answers):
    follower, clock, tmp = follow
    site.queue(*answers)
    follower.first_round(listing.read("tournois.txt")[0])
    asked = len(site.requests)
    for _ in range(4):
        look(follower, clock, 700)
    assert len(site.requests) == asked and follower.status() == 1
    err = capsys.readouterr().err
    assert err.count(messages.NO_RETRY.format(label="ligne 1 (open)")) == 1 and "nouvel essai vers" not in err
    change(tmp / "t.papi", papi_bytes(2))
    site.queue(*published())
    look(follower, clock, 10)  # seen changing
    look(follower, clock, 10)  # settled: sent
    assert follower.status() == 0
