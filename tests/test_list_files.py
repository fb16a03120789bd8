"""The list file's two readers and the batch, with envoi_tournoi rebound to
a recorder; the command entry."""

import locale
import os
import subprocess
import sys

import pytest
from support import (
    ENVOI_DE,
    FORMAT_INCORRECT,
    LIST_INTROUVABLE,
    PAPI_INTROUVABLE,
    SYNTAXE,
    TOURNOI_INTROUVABLE,
    WINDOWS,
    said,
    velka_entries,
)

import velka


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for name in ("a.papi", "b.papi", "c.papi"):
        (tmp_path / name).write_bytes(b"papi")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "d.papi").write_bytes(b"papi")
    return tmp_path


def write_list(workdir, text, newline=""):
    path = workdir / "tournois.txt"
    with open(path, "w", newline=newline) as listing:
        listing.write(text)
    return str(path)


@pytest.fixture
def published(monkeypatch):
    calls = []
    monkeypatch.setattr(velka, "envoi_tournoi", lambda *args: calls.append(args))
    return calls


# --- get_tournoi_list ---------------------------------------------------------------


def test_the_mapping_keeps_first_positions_and_paths_as_written(workdir, capsys):
    listing = write_list(
        workdir,
        "\n".join(
            [
                "l1 ; p1 ; a.papi ; 1 ; k1",
                "",
                "   ",
                ";p;x",
                "l2,p2,sub/d.papi,0,",
                "l3;p3;missing.papi",
                "l4 ; p4 ; b.papi ; ; k1 ; ignored",
                "l5;p5;gone.papi;1;k5",
            ]
        ),
    )
    assert list(velka.get_tournoi_list(listing).items()) == [("k1", "b.papi"), ("", "sub/d.papi")]
    assert capsys.readouterr().out == (
        said(TOURNOI_INTROUVABLE.format(6, "l3;p3;missing.papi\n", "missing.papi"))
        + said(TOURNOI_INTROUVABLE.format(8, "l5;p5;gone.papi;1;k5", "gone.papi"))
    )


@pytest.mark.parametrize("bad_line", ["lonely", "l;p", "l;p;a.papi;1"])
def test_a_line_too_short_for_its_checks_ends_the_call(workdir, capsys, bad_line):
    listing = write_list(workdir, f"l;p;missing.papi;1;k\nl;p;a.papi;1;k\n{bad_line}\nl;p;b.papi;1;z\n")
    with pytest.raises(IndexError) as raised:
        velka.get_tournoi_list(listing)
    assert velka_entries(raised.value.__traceback__)[0][0] == "velka.get_tournoi_list"
    assert capsys.readouterr().out.startswith(
        said(TOURNOI_INTROUVABLE.format(1, "l;p;missing.papi;1;k\n", "missing.papi"))
    )


def test_a_missing_list_file_is_an_error_without_message(workdir, capsys):
    with pytest.raises(FileNotFoundError):
        velka.get_tournoi_list(str(workdir / "none.txt"))
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("newline", ["\n", "\r\n", "\r"])
def test_every_line_end_is_one_line_end(workdir, capsys, newline):
    listing = write_list(workdir, "l;p;missing.papi;1;k\nl;p;a.papi;1;k\n", newline)
    assert velka.get_tournoi_list(listing) == {"k": "a.papi"}
    assert capsys.readouterr().out == said(TOURNOI_INTROUVABLE.format(1, "l;p;missing.papi;1;k\n", "missing.papi"))


# --- page_ffe -----------------------------------------------------------------------


def test_each_kind_of_line(workdir, capsys, published):
    listing = write_list(
        workdir,
        "\n".join(
            [
                "l1 ; p1 ; a.papi ; 1 ; ignored",
                "",
                " \t ",
                ",p,b.papi,1",
                "l2;;b.papi;1",
                "lonely",
                "l3;p3",
                "l4;p4;missing.papi",
                "l5;p5;b.papi",
                "l6,p6 ;sub/d.papi, 0",
                "l7;p7;c.papi;1",
            ]
        ),
    )
    assert velka.page_ffe(listing) is None
    assert capsys.readouterr().out == "".join(
        [
            said(ENVOI_DE, "a.papi"),
            said(FORMAT_INCORRECT, "lonely\n"),
            said(FORMAT_INCORRECT, "l3;p3\n"),
            said(PAPI_INTROUVABLE.format("missing.papi")),
            said(FORMAT_INCORRECT, "l5;p5;b.papi\n"),
            said(ENVOI_DE, "sub/d.papi"),
            said(ENVOI_DE, "c.papi"),
        ]
    )
    assert published == [
        ("l1", "p1", str(workdir / "a.papi"), True),
        ("l6", "p6", str(workdir / "sub" / "d.papi"), False),
        ("l7", "p7", str(workdir / "c.papi"), True),
    ]


@pytest.mark.parametrize(
    "field, visible",
    [
        ("1", True),
        (" 1\t", True),
        ("0", False),
        ("01", False),
        ("yes", False),
        ("", False),
        ("1 1", False),
    ],
)
def test_only_a_lone_1_shows_the_tournament(workdir, published, field, visible):
    velka.page_ffe(write_list(workdir, f"l;p;a.papi;{field}\n"))
    assert published == [("l", "p", str(workdir / "a.papi"), visible)]
    assert type(published[0][3]) is bool


def test_a_relative_list_and_papi_path_are_taken_from_the_working_directory(workdir, capsys, published):
    write_list(workdir, "l;p;./sub/../a.papi;1\n")
    velka.page_ffe("tournois.txt")
    assert published == [("l", "p", str(workdir / "a.papi"), True)]
    assert capsys.readouterr().out == said(ENVOI_DE, "./sub/../a.papi")


@pytest.mark.parametrize("path", ["none.txt", "sub"])
def test_a_list_file_that_cannot_be_opened(workdir, capsys, published, path):
    assert velka.page_ffe(path) is None
    assert capsys.readouterr().out == said(LIST_INTROUVABLE, path)


def test_the_first_failing_tournament_ends_the_batch(workdir, capsys, monkeypatch):
    attempted = []

    def envoi(nohom, *rest):
        attempted.append(nohom)
        if nohom == "l2":
            raise ConnectionError("down")

    monkeypatch.setattr(velka, "envoi_tournoi", envoi)
    assert velka.page_ffe(write_list(workdir, "l1;p;a.papi;1\nl2;p;b.papi;1\nl3;p;c.papi;1\n")) is None
    assert attempted == ["l1", "l2"]
    assert capsys.readouterr().out == said(ENVOI_DE, "a.papi") + said(ENVOI_DE, "b.papi")


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_an_interrupt_in_a_tournament_leaves_the_batch(workdir, monkeypatch, error):
    def envoi(*args):
        raise error()

    monkeypatch.setattr(velka, "envoi_tournoi", envoi)
    with pytest.raises(error) as raised:
        velka.page_ffe(write_list(workdir, "l1;p;a.papi;1\n"))
    assert velka_entries(raised.value.__traceback__)[0] == ("velka.page_ffe", 247)


class Interrupting:
    def __init__(self, error):
        self.error = error

    def __getattr__(self, name):
        raise self.error()

    def __fspath__(self):
        raise self.error()

    def __getitem__(self, index):
        raise self.error()


# The catch-all guards let an interruption and an exit request through, so
# that Ctrl-C during the checks stops the batch instead of being a bad line.
@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_the_guards_let_interrupts_through(workdir, capsys, monkeypatch, published, error):
    with pytest.raises(error):
        velka.page_ffe(Interrupting(error))
    monkeypatch.setattr(velka, "pathlib", Interrupting(error))
    with pytest.raises(error):
        velka.page_ffe(write_list(workdir, "l1;p;a.papi;1\nl2;p;b.papi;1\n"))
    monkeypatch.setattr(sys, "argv", Interrupting(error))
    with pytest.raises(error):
        velka.main_func()
    assert capsys.readouterr().out == "" and published == []


def test_other_errors_in_the_checks_are_bad_lines(workdir, capsys, monkeypatch, published):
    monkeypatch.setattr(velka, "pathlib", Interrupting(LookupError))
    velka.page_ffe(write_list(workdir, "l1;p;a.papi;1\n"))
    assert capsys.readouterr().out == said(FORMAT_INCORRECT, "l1;p;a.papi;1\n")


def test_a_list_file_that_cannot_be_decoded_leaves_the_batch(workdir, capsys, published):
    try:
        b"\xff\xfe".decode(locale.getencoding())
        pytest.skip("the platform's text encoding decodes any byte")
    except UnicodeDecodeError:
        pass
    (workdir / "bad.txt").write_bytes(b"l;p;a.papi;1\n\xff\xfe\n")
    with pytest.raises(UnicodeDecodeError) as raised:
        velka.page_ffe("bad.txt")
    assert velka_entries(raised.value.__traceback__) == [("velka.page_ffe", 233)]
    assert capsys.readouterr().out == "" and published == []


# --- main_func ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "argv, batches, printed",
    [
        (["trasko"], [], said(SYNTAXE)),
        (["trasko", ""], [], said(SYNTAXE)),
        (["trasko", "a.txt", "b.txt"], ["a.txt"], ""),
        ([], [], said(SYNTAXE)),
    ],
)
def test_main_func_takes_the_first_argument(monkeypatch, capsys, argv, batches, printed):
    calls = []
    monkeypatch.setattr(sys, "argv", argv)
    monkeypatch.setattr(velka, "page_ffe", calls.append)
    assert velka.main_func() is None
    assert calls == batches and capsys.readouterr().out == printed


# The installed command prints the same, and says with its status that nothing was published.
@pytest.mark.parametrize(
    "command, status",
    [
        ([os.path.join(sys.prefix, *(("Scripts", "trasko.exe") if WINDOWS else ("bin", "trasko")))], 2),
        ([sys.executable, "-c", "import velka; velka.main_func()"], 0),
    ],
)
def test_the_command_entry(tmp_path, command, status):
    usage = subprocess.run(command, capture_output=True, text=True, cwd=tmp_path, timeout=60)
    assert (usage.returncode, usage.stdout) == (status, said(SYNTAXE))
    missing = subprocess.run(command + ["none.txt"], capture_output=True, text=True, cwd=tmp_path, timeout=60)
    assert (missing.returncode, missing.stdout) == (status, said(LIST_INTROUVABLE, "none.txt"))
