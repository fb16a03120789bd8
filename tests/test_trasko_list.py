"""The command's reading of a list: decoded once as organisers save it, each
line judged by the module's batch rules, and shown without anything that
may be a password."""

from __future__ import annotations

import codecs
import pathlib

import pytest

from trasko import listing, messages
from trasko.listing import Line, ListError

PASSWORD = "pa,ss;Mot"


@pytest.mark.parametrize(
    "data, ansi",
    [
        ("a;b;Open d'été.papi;1\n".encode(), False),
        (codecs.BOM_UTF8 + "a;b;Open d'été.papi;1\n".encode(), False),
        ("a;b;Open d'été.papi;1\n".encode("utf-16"), False),
        ("a;b;Open d'été.papi;1\n".encode("cp1252"), True),
    ],
)
def test_a_list_decodes_as_it_was_saved(data, ansi):
    text, read_as_ansi = listing.decode(data)
    assert (text, read_as_ansi) == ("a;b;Open d'été.papi;1\n", ansi)
    assert listing.split(text)[0].fields[0] == "a"  # no byte order mark left on the first login


@pytest.mark.parametrize(
    "data, reason",
    [
        (b"a;b;c.papi;1\nd;e;\x81.papi;1\n", messages.LIST_NOT_TEXT.format(byte=0x81, line=2)),
        (b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n1 0 obj\n", messages.LIST_IS_PDF),
        (b"\x00\x01\x00\x00Standard Jet DB\x00\x01" + bytes(100), messages.LIST_IS_PAPI),
    ],
)
def test_a_file_that_is_no_text_list_says_what_it_is(data, reason):
    with pytest.raises(ListError) as error:
        listing.decode(data)
    assert error.value.reason == reason and error.value.opened


def test_line_ends_are_read_as_the_modules_text_mode_reads_them():
    lines = listing.split("a;b\r\nc;d\re;f\ng;h")
    assert [line.raw for line in lines] == ["a;b\n", "c;d\n", "e;f\n", "g;h"]
    assert [line.number for line in lines] == [1, 2, 3, 4]


def test_a_missing_list_is_a_list_error(tmp_path):
    with pytest.raises(ListError) as error:
        listing.read(str(tmp_path / "absent.txt"))
    assert (error.value.reason, error.value.opened) == ("fichier introuvable", False)


@pytest.fixture
def files(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "t.papi").write_bytes(b"t")
    (tmp_path / "Rapide.papi").write_bytes(b"r")
    (tmp_path / "dossier").mkdir()
    return tmp_path


MASKED = messages.MASKED_FIELD
# raw line: (kind, cause, label, standard output line)
LINES = {
    "ok;Mot-De-Passe;t.papi;1\n": (listing.USABLE, "", "ligne 4 (ok)", "trasko - envoi de: t.papi"),
    'ok;Mot-De-Passe;"t.papi";1\n': (listing.USABLE, "", "ligne 4 (ok)", "trasko - envoi de: t.papi"),
    "# ok;Mot-De-Passe;t.papi;1\n": (listing.COMMENT, "", "ligne 4", None),
    "#ok;Mot-De-Passe;t.papi;1\n": (listing.COMMENT, "", "ligne 4", None),
    " ; \n": (listing.BLANK, "", "ligne 4", None),
    # A password where the login should be: forgotten, or joined to it.
    "Mot-De-Passe ; t.papi ; 1\n": (
        listing.PAPI_PROBLEM,
        messages.PAPI_TOO_EARLY,
        "ligne 4",
        f"--------------- Fichier papi introuvable: {MASKED}",
    ),
    "ok:Mot-De-Passe;t.papi;1\n": (
        listing.PAPI_PROBLEM,
        messages.PAPI_TOO_EARLY,
        "ligne 4",
        f"--------------- Fichier papi introuvable: {MASKED}",
    ),
    "ok/Mot;De-Passe;t.papi;1\n": (listing.USABLE, "", "ligne 4", "trasko - envoi de: t.papi"),
    "ok|Mot;De-Passe;t.papi;1\n": (listing.USABLE, "", "ligne 4", "trasko - envoi de: t.papi"),
    "ok=Mot;De-Passe;t.papi;1\n": (listing.USABLE, "", "ligne 4", "trasko - envoi de: t.papi"),
    "ok;Mot-De-Passe;;1\n": (
        listing.PAPI_PROBLEM,
        "fichier Papi non indiqué (champ 3 vide)",
        "ligne 4 (ok)",
        "--------------- Fichier papi introuvable: ",
    ),
    "ok;;t.papi;1\n": (listing.NO_PASSWORD, messages.EMPTY_PASSWORD, "ligne 4 (ok)", None),
    ";Mot-De-Passe;t.papi;1\n": (listing.NO_LOGIN, messages.EMPTY_LOGIN, "ligne 4", None),
    "Mot-De-Passe\n": (
        listing.MALFORMED,
        messages.MALFORMED,
        "ligne 4",
        "#### Format de ligne incorrecte: [ligne 4 masquée : elle contient peut-être un mot de passe]\n",
    ),
    "ok\tMot-De-Passe\tt.papi\t1, cle\n": (
        listing.MALFORMED,
        messages.MALFORMED_BLANKS,
        "ligne 4",
        "#### Format de ligne incorrecte: [ligne 4 masquée : elle contient peut-être un mot de passe]\n",
    ),
    "ok ; Mot-De-Passe ; t.papi\n": (
        listing.MALFORMED,
        messages.MALFORMED,
        "ligne 4 (ok)",
        "#### Format de ligne incorrecte: ok ; ******** ; t.papi\n",
    ),
    "ok;Mot-De-Passe;absent.papi;1\n": (
        listing.PAPI_PROBLEM,
        messages.PAPI_MISSING,
        "ligne 4 (ok)",
        "--------------- Fichier papi introuvable: absent.papi",
    ),
    "ok;Mot-De-Passe;dossier;1\n": (
        listing.PAPI_PROBLEM,
        messages.PAPI_FOLDER,
        "ligne 4 (ok)",
        "--------------- Fichier papi introuvable: dossier",
    ),
    "ok;Mot,De-Passe;t.papi;1\n": (
        listing.PAPI_PROBLEM,
        f"{messages.PAPI_MISSING} ; {messages.SPLIT_PASSWORD}",
        "ligne 4 (ok)",
        f"--------------- Fichier papi introuvable: {MASKED}",
    ),
    'ok;Mot,De-Passe.2026;"t.papi";1\n': (
        listing.PAPI_PROBLEM,
        f"{messages.PAPI_MISSING} ; {messages.SPLIT_PASSWORD}",
        "ligne 4 (ok)",
        f"--------------- Fichier papi introuvable: {MASKED}",
    ),
    "ok;Mot,De,Passe;x;1;k\n": (
        listing.PAPI_PROBLEM,
        f"{messages.PAPI_MISSING} ; {messages.SPLIT_PASSWORD}",
        "ligne 4 (ok)",
        f"--------------- Fichier papi introuvable: {MASKED}",
    ),
    # A name typed without ".papi", in another case, or nearly: the file it meant is named.
    "ok;Mot-De-Passe;Rapide;1\n": (
        listing.PAPI_PROBLEM,
        "Rapide introuvable dans {folder} : vouliez-vous dire Rapide.papi ?",
        "ligne 4 (ok)",
        "--------------- Fichier papi introuvable: Rapide",
    ),
    "ok;Mot-De-Passe;RAPIDE.PAPI;1\n": (
        listing.PAPI_PROBLEM,
        "RAPIDE.PAPI introuvable dans {folder} : vouliez-vous dire Rapide.papi ?",
        "ligne 4 (ok)",
        "--------------- Fichier papi introuvable: RAPIDE.PAPI",
    ),
    "ok;Mot-De-Passe;Rapid.papi;0\n": (
        listing.PAPI_PROBLEM,
        "Rapid.papi introuvable dans {folder} : vouliez-vous dire Rapide.papi ?",
        "ligne 4 (ok)",
        "--------------- Fichier papi introuvable: Rapid.papi",
    ),
    # A spreadsheet's header line holds no password.
    "identifiant;mot de passe;fichier;visibilité\n": (
        listing.PAPI_PROBLEM,
        messages.PAPI_MISSING,
        "ligne 4 (identifiant)",
        "--------------- Fichier papi introuvable: fichier",
    ),
    "ok;Mot-De-Passe;t.papi;oui\n": (
        listing.BAD_VISIBILITY,
        messages.VISIBILITY_BAD.format(value="oui"),
        "ligne 4 (ok)",
        None,
    ),
    "ok;Mot;De-Passe\n": (
        listing.PAPI_PROBLEM,
        f"{messages.PAPI_MISSING} ; {messages.SPLIT_PASSWORD}",
        "ligne 4 (ok)",
        f"--------------- Fichier papi introuvable: {MASKED}",
    ),
}


@pytest.mark.parametrize("raw", LINES)
def test_each_line_is_judged_and_shown_without_its_password(files, raw):
    line = Line(4, raw)
    kind, cause, label, shown_out = LINES[raw]
    assert (line.kind, line.cause, line.label(), line.module_line()) == (
        kind,
        cause.format(folder=files),
        label,
        shown_out,
    )
    shown = f"{line.cause} {line.label()} {line.module_line()}"
    for secret in ("Mot-De-Passe", "Mot", "De-Passe"):
        assert secret not in shown


def test_a_papi_file_in_a_folder_that_cannot_be_read_has_its_own_cause(files, monkeypatch):
    # Root reads any folder: the refusal is the file system's answer, played here.
    def refused(self):
        raise PermissionError(13, "Permission denied")

    monkeypatch.setattr(pathlib.Path, "is_file", refused)
    line = Line(1, "ok;Mot-De-Passe;prive/t.papi;1\n")
    assert (line.kind, line.cause) == (listing.PAPI_PROBLEM, messages.PAPI_DENIED)


def test_a_line_is_judged_again_when_its_turn_comes(files):
    line = Line(1, "ok;Mot-De-Passe;plus-tard.papi;1\n")
    assert line.kind == listing.PAPI_PROBLEM and line.usable(listing.Need.WATCH)
    pathlib.Path("plus-tard.papi").write_bytes(b"p")
    line.examine()
    assert line.kind == listing.USABLE


@pytest.mark.parametrize("encoding", ["utf-8", "cp1252"])
def test_lists_joined_by_copy_or_cat_keep_no_mark_in_a_line(encoding):
    """Each part's byte order mark (read as UTF-8, or as Windows-1252 in a list
    joined with an ANSI one), and the Ctrl-Z `copy a+b` appends."""
    bom = codecs.BOM_UTF8.decode("utf-8" if encoding == "utf-8" else "cp1252")
    text = f"{bom}a;pw;a.papi;1\r\n{bom}# b;pw;b.papi;1\r\n{bom}c;pw;c.papi;1\r\n\x1a"
    lines = listing.split(text)
    assert [(line.fields[0], line.kind == listing.COMMENT) for line in lines] == [
        ("a", False),
        ("# b", True),
        ("c", False),
    ]


@pytest.mark.parametrize("field, visible", [("1", True), ("1\x00", True), ("\x001 ", True), ("0", False), ("", False)])
def test_a_nul_in_the_visibility_hides_nothing(field, visible):
    assert Line(1, f"ok;Mot-De-Passe;t.papi;{field}\n").visible is visible
