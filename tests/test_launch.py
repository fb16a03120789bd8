"""The bundle launchers' module on any system: which arguments are paths,
taken from where they were typed before the command moves beside the list."""

from __future__ import annotations

import os

import pytest

from trasko import launch


@pytest.mark.parametrize(
    "typed, expected",
    [
        (["a.txt"], ["/here/a.txt"]),
        (["--rapport", "r.jsonl", "l/a.txt"], ["--rapport", "/here/r.jsonl", "/here/l/a.txt"]),
        (
            ["--dossier=f", "--reglement", "/abs/r.pdf", "a"],
            ["--dossier=/here/f", "--reglement", "/abs/r.pdf", "/here/a"],
        ),
        (["--site", "http://x", "--delai", "3", "a"], ["--site", "http://x", "--delai", "3", "/here/a"]),
        (["--", "--liste.txt"], ["--", "/here/--liste.txt"]),
        (["-", "--rapport"], ["-", "--rapport"]),
        (["--rapport=", ""], ["--rapport=", ""]),
    ],
)
def test_typed_paths_are_made_absolute_and_nothing_else(monkeypatch, typed, expected):
    monkeypatch.setattr(os.path, "abspath", lambda path: path if path.startswith("/") else "/here/" + path)
    assert launch.typed_here(typed) == expected


def test_the_list_papi_paths_resolve_beside_it_and_the_typed_ones_where_typed(tmp_path, monkeypatch):
    (tmp_path / "listes").mkdir()
    (tmp_path / "listes" / "tournois.txt").write_text("club;secret;Open.papi;1\n")
    (tmp_path / "reglement.pdf").write_bytes(b"%PDF-1.4\n")
    seen = []
    monkeypatch.setattr(launch, "main", lambda args, env: seen.append((os.getcwd(), args, env.keeps_board)) or 0)
    monkeypatch.chdir(tmp_path)
    assert launch.run("reglement", ["listes/tournois.txt", "reglement.pdf"]) == 0
    assert seen == [
        (
            str(tmp_path / "listes"),
            ["--reglement", str(tmp_path / "reglement.pdf"), str(tmp_path / "listes" / "tournois.txt")],
            True,
        )
    ]


@pytest.mark.parametrize(
    "typed, expected",
    [
        (["l.txt", "r.pdf"], ["--reglement", "r.pdf", "l.txt"]),
        (["--site", "http://x", "r.pdf", "l.txt"], ["--reglement", "r.pdf", "--site", "http://x", "l.txt"]),
        (["word.pdf", "l.txt"], ["--reglement", "word.pdf", "l.txt"]),  # named .pdf, though no PDF inside
        (["--rapport", "rapport.pdf", "l.txt", "a.doc"], ["--reglement", "l.txt", "--rapport", "rapport.pdf", "a.doc"]),
        (["--site", "http://x", "l.txt"], None),
        (["r.pdf"], None),
    ],
)
def test_the_rules_launcher_finds_the_pdf_among_the_two_files(tmp_path, monkeypatch, typed, expected):
    monkeypatch.chdir(tmp_path)
    for name, content in {"r.pdf": b"%PDF-1.4", "word.pdf": b"PK", "l.txt": b"a;b;c.papi;1"}.items():
        (tmp_path / name).write_bytes(content)
    assert launch.rules_and_list(typed) == expected


def test_the_rules_launcher_given_the_list_alone_asks_for_both_files(tmp_path, capsys):
    (tmp_path / "tournois.txt").write_text("club;secret;Open.papi;1\n")
    assert launch.run("reglement", [str(tmp_path / "tournois.txt")]) == 2
    assert "le PDF du règlement et votre fichier-liste" in capsys.readouterr().out


@pytest.mark.parametrize("dropped", ["Papi été", "Papi été/open.papi"])
def test_the_prepare_launcher_takes_the_folder_dropped_or_the_papi_files_own(tmp_path, monkeypatch, dropped):
    (tmp_path / "Papi été").mkdir()
    (tmp_path / "Papi été" / "open.papi").write_bytes(b"")
    seen = []
    monkeypatch.setattr(launch, "main", lambda args, env: seen.append(args) or 0)
    monkeypatch.chdir(tmp_path)
    assert launch.run("preparer", [dropped]) == 0
    assert seen == [["--preparer", str(tmp_path / "Papi été")]]
