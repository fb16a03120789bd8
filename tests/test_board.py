"""The status board as a browser shows it: Debian's headless Chromium,
offline, in a phone-wide frame; its badges are the data it was given, and a
rewrite shows on the next reload, which the page makes itself."""

from __future__ import annotations

import re
import time
from types import SimpleNamespace

import pytest
from browser import probe
from scripted_site import ERROR_PAGE, published
from support import papi_bytes, windows_differs

from trasko import board, listing, messages, watch
from trasko.__main__ import main
from trasko.board import Line
from trasko.exchange import Recorder, Timeouts
from trasko.json_report import Entry
from trasko.judge import State
from trasko.papi import Tournament
from trasko.report import Environment

from peer import page

NOW = 1_780_000_000.0

SHOWN = """Array.from(d.querySelectorAll(".ligne")).map(function (card) {
  var badge = card.querySelector(".badge"), link = card.querySelector("a");
  return [card.id, badge.className, badge.textContent, link ? link.href : null, card.innerText.includes("ronde")];
}).concat([d.documentElement.scrollWidth <= 360, d.body.innerText.includes("Suivi en cours")])"""
LINK = "https://admin.example/FicheTournoi.aspx?Ref=47779&x=1"
LINES = [
    Line(2, board.ONLINE, "open-ete", "Open d'été", "5", published_at="14:05", link=LINK),
    Line(3, board.WAITING, "rapide"),
    Line(4, board.RETRY, "blitz", retry_at="14:32", cause="site muet"),
    Line(5, board.FAILED, None, cause="identifiant ou mot de passe refusés par le site : corrigez la ligne 5"),
    Line(6, board.CLOSED, "<b>clos</b>", link="javascript:alert(1)"),
]


@windows_differs("the browser checks run on Linux, in Debian's Chromium")
def test_the_board_shows_each_line_badge_and_follows_a_rewrite(tmp_path):
    listing = tmp_path / "Tournois été" / "tournois.txt"
    listing.parent.mkdir()
    path = board.write(str(listing), LINES, "14:06:00", watching=True)
    assert path == listing.parent / "etat-velka.html"
    _, shown = probe(path, tmp_path / "profile", SHOWN)
    assert shown == [
        ["ligne-2", "badge en-ligne", "en ligne", LINK, True],
        ["ligne-3", "badge en-attente", "en attente", None, False],
        ["ligne-4", "badge nouvel-essai", "nouvel essai à 14:32", None, False],
        ["ligne-5", "badge echec", f"échec : {LINES[3].cause}", None, False],
        ["ligne-6", "badge clos", "clos", None, False],
        True,  # no sideways scrolling on a phone
        True,
    ]
    board.write(str(listing), [Line(3, board.ONLINE, "rapide", published_at="14:40")], "14:41:00", watching=False)
    loads, shown = probe(path, tmp_path / "profile", SHOWN, seconds=board.REFRESH_SECONDS + 5)
    assert shown == [["ligne-3", "badge en-ligne", "en ligne", None, False], True, False]
    assert loads == 2  # it reloaded itself
    assert [p.name for p in path.parent.iterdir()] == ["etat-velka.html", "probe-etat-velka.html"]


def test_the_board_names_no_outside_file_and_shows_names_as_text():
    page = board.render(LINES, "tournois.txt", "14:06:00", watching=True)
    assert "<b>" not in page and "&lt;b&gt;clos&lt;/b&gt;" in page
    assert '<span class="nom">open-ete — Open d&#x27;été</span>' in page  # the login apart from the name
    assert "javascript:" not in page and "<script" not in page
    assert page.count("://") == 1  # the one public link, nothing to load


def test_a_board_that_cannot_be_written_is_no_error(tmp_path):
    assert board.write(str(tmp_path / "gone" / "tournois.txt"), LINES, "14:06:00", watching=False) is None


def badges(folder):
    page = (folder / "etat-velka.html").read_text(encoding="utf-8")
    return re.findall(r'<span class="badge ([\w-]+)">([^<]*)</span>', page), "Suivi en cours" in page


@pytest.mark.parametrize("keeps_board", [True, False])
def test_a_run_leaves_the_board_only_when_asked(site, tmp_path, monkeypatch, keeps_board):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "t.papi").write_bytes(papi_bytes(1))
    (tmp_path / "tournois.txt").write_text("# club\nopen;secret;t.papi;1\nblitz;secret;absent.papi;1\n")
    site.queue(*published())
    env = Environment(now=lambda: NOW, keeps_board=keeps_board)
    assert main(["--continuer", "tournois.txt"], env) == 1
    if keeps_board:
        assert badges(tmp_path) == ([("en-ligne", "en ligne"), ("echec", f"échec : {messages.PAPI_MISSING}")], False)
        assert f"publié à {time.strftime('%H:%M', time.localtime(NOW))}" in (tmp_path / "etat-velka.html").read_text(
            encoding="utf-8"
        )
    else:  # the plain command writes nothing it was not asked for
        assert not (tmp_path / "etat-velka.html").exists()


def test_the_watch_shows_a_retry_then_online_then_a_newer_version_waiting(site, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "t.papi").write_bytes(papi_bytes(1))
    (tmp_path / "tournois.txt").write_text("open;secret;t.papi;1\n")
    clock = [1000.0]
    env = Environment(clock=lambda: clock[0], now=lambda: NOW + clock[0], keeps_board=True)
    follower = watch.Follower(env, "tournois.txt", Recorder(Timeouts(0.5)), 10.0)
    site.queue(page(ERROR_PAGE, status=503))
    follower.first_round(listing.read("tournois.txt")[0])
    retry = time.strftime("%H:%M", time.localtime(NOW + 1000 + 60))
    assert badges(tmp_path) == ([("nouvel-essai", f"nouvel essai à {retry}")], True)
    site.queue(*published())
    clock[0] += 65
    follower.tick()
    assert badges(tmp_path) == ([("en-ligne", "en ligne")], True)
    (tmp_path / "t.papi").write_bytes(papi_bytes(2))
    clock[0] += 10
    follower.tick()
    assert badges(tmp_path) == ([("en-attente", "en attente")], True)
    follower.show_board(watching=False)
    assert badges(tmp_path)[1] is False


@pytest.mark.parametrize(
    "state, active, shown",
    [
        (State.PUBLISHED, 5, ("Open d'été", "5 sur 9")),
        (State.PUBLISHED, 0, ("Open d'été", "")),  # no round paired yet
        (State.FAILED, 5, ("Open d'été", "")),  # named, but its round is not online
    ],
)
def test_a_line_shows_its_tournament_and_the_round_online(state, active, shown):
    tournament = Tournament("47779", "Open d'été", 9, active, "", 80, 0, 0, False)
    entry = Entry(SimpleNamespace(number=2, login="47779"), state, papi=tournament, when=NOW)
    line = board.of_entry(entry, lambda at: "14:05")
    assert (line.tournament, line.round) == shown
