"""The status board as a browser shows it: Debian's headless Chromium,
offline, in a phone-wide frame; its badges are the data it was given, and a
rewrite shows on the next reload, which the page makes itself."""

from __future__ import annotations

from browser import probe
from support import windows_differs

from trasko import board
from trasko.board import Line

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
    assert "javascript:" not in page and "<script" not in page
    assert page.count("://") == 1  # the one public link, nothing to load


def test_a_board_that_cannot_be_written_is_no_error(tmp_path):
    assert board.write(str(tmp_path / "gone" / "tournois.txt"), LINES, "14:06:00", watching=False) is None
