"""The menu driven in-process with scripted answers, as it reads them when
its input is not a console: which run each path of answers starts, and
what it sends for real only once the organiser said yes."""

from __future__ import annotations

import io
import os

import pytest

from trasko import launch
from trasko.menu import Answers, Menu, Settings, actions
from trasko.modes import registry


@pytest.fixture
def folder(tmp_path):
    place = tmp_path / "Tournois été"
    place.mkdir()
    for name in ("blitz.txt", "tournois.txt", "LISEZMOI.txt", "notes.doc"):
        (place / name).write_text("club;secret;Open.papi;1\n")
    (place / "reglement.pdf").write_bytes(b"%PDF-1.4\n")
    return place


def drive(tmp_path, folder, script, status=0):
    settings = Settings(tmp_path / "réglages" / "velka.ini")
    settings.remember(str(folder))
    started, shown, out = [], [], io.StringIO()
    menu = Menu(Answers(io.StringIO(script), out), settings, lambda args: started.append(args) or status, shown.append)
    return menu.run(), started, out.getvalue(), shown, settings


@pytest.mark.parametrize(
    "script, expected",
    [
        ("v\n2\nq\n", [["--verifier", "tournois.txt"]]),  # nothing sent: no question
        ("p\n1\no\nq\n", [["blitz.txt"]]),
        ("P\n1\nn\nq\n", []),  # not for real: nothing started
        ("s\n2\no\n", [["--suivre", "tournois.txt"]]),  # the input ends: the menu too
        ("r\n2\nreglement.pdf\no\nq\n", [["--reglement", "reglement.pdf", "tournois.txt"]]),
        ("f\n\nq\n", []),  # Enter alone: back to the menu
        ("f\n3\nabsent.txt\n\nq\n", []),  # neither a number offered nor a file
        ("x\nv\n1\n", [["--verifier", "blitz.txt"]]),
        ("e\n2\nq\n", [["--repetition", "tournois.txt"]]),  # nothing sent: no question
    ],
)
def test_each_answer_path_starts_its_run(tmp_path, folder, monkeypatch, script, expected):
    monkeypatch.chdir(folder)
    _, started, out, _, _ = drive(tmp_path, folder, script)
    assert started == [
        [arg if arg.startswith("-") else os.path.normpath(folder / arg) for arg in args] for args in expected
    ]
    assert "1 : blitz.txt" in out and "2 : tournois.txt" in out and "LISEZMOI" not in out and "notes" not in out


@pytest.mark.parametrize(
    "script, status, remembered",
    [
        ("l\nPapi\nq\n", 0, "Papi"),
        ("l\nPapi/open.papi\nq\n", 0, "Papi"),  # a Papi file dropped: its folder
        ("l\nPapi\nq\n", 1, "."),  # nothing written: the folder of lists stays
        ("l\n\nq\n", None, "."),
    ],
)
def test_preparer_takes_a_folder_and_offers_it_once_a_list_is_written(
    tmp_path, folder, monkeypatch, script, status, remembered
):
    (folder / "Papi").mkdir()
    (folder / "Papi" / "open.papi").write_bytes(b"")
    monkeypatch.chdir(folder)
    _, started, _, _, settings = drive(tmp_path, folder, script, status=status or 0)
    assert started == ([] if status is None else [["--preparer", str(folder / "Papi")]])
    assert settings.folder() == os.path.normpath(folder / remembered)


def test_a_path_pasted_with_its_quotes_is_taken_and_its_folder_remembered(tmp_path, folder):
    elsewhere = tmp_path / "Club&Co 100%"
    elsewhere.mkdir()
    (elsewhere / "été.txt").write_text("x")
    status, started, out, _, settings = drive(tmp_path, folder, f'v\n"{elsewhere / "été.txt"}"\nq\n', status=1)
    assert (status, started) == (1, [["--verifier", str(elsewhere / "été.txt")]])
    assert settings.folder() == str(elsewhere)
    assert "voir les lignes signalées" in out


@pytest.mark.parametrize("board", [True, False])
def test_the_board_opens_when_there_is_one(tmp_path, folder, board):
    if board:
        (folder / "etat-velka.html").write_text("<p>")
    _, _, out, shown, _ = drive(tmp_path, folder, "t\nq\n")
    assert shown == ([str(folder / "etat-velka.html")] if board else [])
    assert ("Pas encore de tableau de bord" in out) != board


def test_the_menu_offers_every_mode_of_the_command_once():
    offered = actions()
    assert [action.flag for action in offered] == list(registry())
    assert len({action.key for action in offered} | {"t", "q"}) == len(offered) + 2


@pytest.mark.parametrize("name", [*launch.MODES, "velka"])
def test_a_launcher_given_nothing_opens_the_menu(tmp_path, monkeypatch, capsys, name):
    monkeypatch.setenv("APPDATA", str(tmp_path))
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path))
    monkeypatch.setattr("sys.stdin", io.StringIO("q\n"))
    assert launch.run(name, []) == 0
    out = capsys.readouterr().out
    assert "q : quitter" in out and (f"sur {name}.exe" in out) == (name != "velka")
    assert not os.listdir(tmp_path)  # nothing chosen, nothing remembered


def test_the_options_typed_for_the_menu_go_with_each_run_and_a_list_dropped_is_offered(
    tmp_path, folder, monkeypatch, capsys
):
    monkeypatch.setenv("APPDATA", str(tmp_path))
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path))
    monkeypatch.setattr("sys.stdin", io.StringIO("v\n2\np\n1\no\nq\n"))
    seen = []
    monkeypatch.setattr(launch, "start", seen.append)
    launch.run("velka", ["--site", "http://127.0.0.1:8080", str(folder / "blitz.txt")])
    assert seen == [
        ["--site", "http://127.0.0.1:8080", "--verifier", str(folder / "tournois.txt")],
        ["--site", "http://127.0.0.1:8080", str(folder / "blitz.txt")],
    ]
    assert "envoie pour de vrai à la copie du site http://127.0.0.1:8080" in capsys.readouterr().out
