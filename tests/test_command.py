"""The organiser's command `trasko` against the local ASP.NET site: what each
mode prints, what it leaves on the site and the exit status it returns."""

from __future__ import annotations

import contextlib
import importlib.metadata
import io
import itertools
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
from support import (
    BUTTON,
    ENVOI_DE,
    ERREUR_ENVOI,
    FORMAT_INCORRECT,
    PAPI_INTROUVABLE,
    SYNTAXE,
    UPLOAD_EVENT,
    erreur_lecture_id,
    papi_bytes,
    run_python,
    said,
    windows_differs,
)

from trasko import launch, messages, options
from trasko.__main__ import main
from trasko.report import Environment

import sitectl
import velka

PASSWORD = "Mot-De-Passe-9f3"
# What the line of a published fixture adds after "publié": the empty tournament, without homologation number.
TOURNOI = (
    " : Tournoi (1 joueur ; aucun contact de joueur) ; numéro d'homologation absent du fichier : "
    "impossible de vérifier qu'il est celui du tournoi"
)
# The Papi file of a tournament written in twelve pieces, one at each look of --suivre.
PIECES = [papi_bytes()[n * 33792 : (n + 1) * 33792] for n in range(12)]

NO_SIGINT = windows_differs("no SIGINT for a child process: Ctrl-C is a console event there")


def account(aspnet_site, login, visible=False, password=PASSWORD):
    sitectl.add_account(aspnet_site[1], login, password, visible)
    return login


def trasko(workdir, *args, input=None, env=None):
    """The command run in this process, in `workdir`, its outputs captured."""
    out, err, stdin = io.StringIO(), io.StringIO(), io.BytesIO((input or "").encode())
    env = env or Environment(given_stdout=out, given_stderr=err, stdin=lambda: stdin)
    saved = os.getcwd()
    os.chdir(workdir)
    try:
        code = main(list(map(str, args)), env)
    finally:
        os.chdir(saved)
    result = subprocess.CompletedProcess(args, int(code), written(env.given_stdout), written(env.given_stderr))
    no_password(result.stdout, result.stderr)
    return result


def written(stream):
    if hasattr(stream, "getvalue"):
        return stream.getvalue()
    stream.flush()  # over bytes, in an encoding of its own; a device keeps nothing
    return stream.buffer.getvalue().decode(stream.encoding) if hasattr(stream.buffer, "getvalue") else ""


def trasko_process(workdir, *args, input=None):
    """The command in a process of its own: for what only a process shows."""
    command = [sys.executable, "-m", "trasko", *map(str, args)]
    result = subprocess.run(command, cwd=workdir, capture_output=True, text=True, timeout=120, input=input)
    no_password(result.stdout, result.stderr)
    return result


def no_password(*texts):
    for text in texts:
        for secret in (PASSWORD, "Passe,du", "du;Club"):
            assert secret not in text, text


def write_list(workdir, *lines):
    (workdir / "tournois.txt").write_text("".join(line + "\n" for line in lines))
    return "tournois.txt"


def requests_for(aspnet_site, login):
    return [line.rsplit(" ", 1)[0] for line in sitectl.requests_log(aspnet_site[1]) if line.endswith(" " + login)]


def closed_port_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{s.getsockname()[1]}"


TAGS = itertools.count(1)


@pytest.fixture
def mixed(aspnet_site, tmp_path):
    """A list holding each kind of line, the refused login seventh; logins "mix-N-...",
    fresh for each test."""
    tag = f"mix{next(TAGS)}"
    for name, data in [
        ("a.papi", papi_bytes()),
        ("b.txt", papi_bytes()),
        ("vide.papi", b""),
        ("d.papi", papi_bytes(1)),
    ]:
        (tmp_path / name).write_bytes(data)
    listing = write_list(
        tmp_path,
        f"{account(aspnet_site, tag + '-ok')};{PASSWORD};a.papi;1",
        f"{account(aspnet_site, tag + '-txt')};{PASSWORD};b.txt;0",
        f"{account(aspnet_site, tag + '-vide')};{PASSWORD};vide.papi;1",
        "",
        "seul",
        f"{tag}-perdu;{PASSWORD};absent.papi;1",
        f"{account(aspnet_site, tag + '-refus')};mauvais-{PASSWORD};d.papi;1",
        f"{account(aspnet_site, tag + '-apres')};{PASSWORD};d.papi;1",
        f"{tag}-court;{PASSWORD};d.papi",
    )
    return listing, tag


def reference_run(aspnet_site, listing, cwd):
    """What the module's own batch prints for the list."""
    out, saved = io.StringIO(), (sys.argv, velka.ADMIN_FFE_URL, os.getcwd())
    sys.argv, velka.ADMIN_FFE_URL = ["velka", listing], aspnet_site[0]
    os.chdir(cwd)
    try:
        with contextlib.redirect_stdout(out):
            velka.main_func()
    finally:
        sys.argv, velka.ADMIN_FFE_URL = saved[:2]
        os.chdir(saved[2])
    return out.getvalue()


def uploads_without_login(aspnet_site):
    return sum(
        line.startswith(f"POST /MonTournoi.aspx {UPLOAD_EVENT} -") for line in sitectl.requests_log(aspnet_site[1])
    )


def test_on_a_list_the_module_handles_soundly_standard_output_is_the_modules(aspnet_site, tmp_path):
    tag = f"sain{next(TAGS)}"
    for name, data in [
        ("a.papi", papi_bytes()),
        ("b.txt", papi_bytes()),
        ("vide.papi", b""),
        ("d.papi", papi_bytes(1)),
    ]:
        (tmp_path / name).write_bytes(data)
    listing = write_list(
        tmp_path,
        f"{account(aspnet_site, tag + '-ok')} ; {PASSWORD} ; a.papi ; 1 ; cle",
        f"{account(aspnet_site, tag + '-txt')};{PASSWORD};b.txt;0",
        f"{account(aspnet_site, tag + '-vide')},{PASSWORD},vide.papi,1",
        "",
        "   ",
        f"{tag}-perdu;{PASSWORD};absent.papi;1",
        f"{account(aspnet_site, tag + '-fin', True)};{PASSWORD};d.papi;0",
    )
    result = trasko(tmp_path, "--site", aspnet_site[0], listing)
    assert result.stdout == reference_run(aspnet_site, listing, tmp_path)
    assert result.returncode == 1  # two files refused, one missing


def test_the_plain_command_prints_what_main_func_prints_and_tells_each_failure(aspnet_site, tmp_path, mixed):
    mixed, tag = mixed
    before = uploads_without_login(aspnet_site)
    result = trasko(tmp_path, "--site", aspnet_site[0], mixed)
    assert uploads_without_login(aspnet_site) == before, "no file is sent after a refused login"
    assert sitectl.state(aspnet_site[1], f"{tag}-txt")["papi"] is None, "a refused file is not stored"
    assert sitectl.state(aspnet_site[1], f"{tag}-vide")["visible"] is not True, "nor its visibility changed"
    assert sitectl.state(aspnet_site[1], f"{tag}-apres")["papi"] is None
    reference = reference_run(aspnet_site, mixed, tmp_path)
    assert uploads_without_login(aspnet_site) == before + 1, "the module alone sends it"
    # Two differences, both the module's faults: it echoes a line that may be
    # a password, and it sends the Papi file after a refused login, then says
    # it found no show/hide button on the login page it got back.
    masked = said(FORMAT_INCORRECT, "[ligne 5 masquée : elle contient peut-être un mot de passe]\n")
    expected = reference.replace(said(FORMAT_INCORRECT, "seul\n"), masked)
    assert result.stdout + said(erreur_lecture_id(BUTTON)) == expected
    assert result.stderr == (
        f"ligne 1 ({tag}-ok) : publié{TOURNOI}\n"
        f"ligne 2 ({tag}-txt) : fichier refusé par le site : "
        "Le fichier b.txt n'est pas un fichier Papi (.papi).\n"
        f"ligne 3 ({tag}-vide) : ce fichier n'est pas un fichier Papi\n"
        "ligne 5 : ligne incorrecte\n"
        f"ligne 6 ({tag}-perdu) : fichier Papi introuvable\n"
        f"ligne 7 ({tag}-refus) : connexion refusée\n"
        f"série arrêtée à la ligne 7 ({tag}-refus) ; non tentées : ligne 8 ({tag}-apres), "
        f"ligne 9 ({tag}-court)\n"
        "bilan : 1 publié, 5 non publiés, 2 non tentés\n"
    )
    assert result.returncode == 1


def test_continuer_attempts_every_line(aspnet_site, tmp_path, mixed):
    mixed, tag = mixed
    result = trasko(tmp_path, "--continuer", "--site", aspnet_site[0], mixed)
    assert result.returncode == 1
    assert result.stdout.count(ENVOI_DE) == 5
    assert result.stdout.endswith(said(ENVOI_DE, "d.papi") + said(FORMAT_INCORRECT, f"{tag}-court;********;d.papi\n"))
    assert f"ligne 7 ({tag}-refus) : connexion refusée\n" in result.stderr
    assert "série arrêtée" not in result.stderr
    assert result.stderr.endswith(
        f"ligne 9 ({tag}-court) : ligne incorrecte\nbilan : 2 publiés, 6 non publiés, 0 non tenté\n"
    )
    assert sitectl.state(aspnet_site[1], f"{tag}-apres") == {"papi": papi_bytes(1), "name": "d.papi", "visible": True}


def test_a_batch_that_publishes_everything_exits_0(aspnet_site, tmp_path):
    (tmp_path / "ok.papi").write_bytes(papi_bytes())
    listing = write_list(
        tmp_path,
        f"{account(aspnet_site, 'tout-1', True)};{PASSWORD};ok.papi;0",
        f"{account(aspnet_site, 'tout-2')},{PASSWORD},ok.papi,1,cle",
    )
    result = trasko(tmp_path, f"--site={aspnet_site[0]}/", listing)
    published = "".join(f"ligne {n} (tout-{n}) : publié{TOURNOI}\n" for n in (1, 2))
    assert (result.returncode, result.stderr) == (0, published + "bilan : 2 publiés, 0 non publié, 0 non tenté\n")
    assert sitectl.state(aspnet_site[1], "tout-1")["visible"] is False
    assert sitectl.state(aspnet_site[1], "tout-2")["visible"] is True


def test_verifier_logs_in_only(aspnet_site, tmp_path):
    good = account(aspnet_site, "verif-ok")
    listing = write_list(
        tmp_path,
        f"{good};{PASSWORD};pas-encore.papi;1",
        f"{account(aspnet_site, 'verif-non')};faux;x.papi;1",
        "",
        "seul",
        f"# {good};{PASSWORD};pas-encore.papi;1",
        f"{account(aspnet_site, 'verif-clos')};{PASSWORD};pas-encore.papi;1",
    )
    sitectl.set_tournament(aspnet_site[1], "verif-clos", stage="closed")
    result = trasko(tmp_path, "--verifier", "--site", aspnet_site[0], listing)
    public = f"{aspnet_site[0]}/FicheTournoi.aspx?Ref={sitectl.public_ref(good)}"
    closed = f"{aspnet_site[0]}/FicheTournoi.aspx?Ref={sitectl.public_ref('verif-clos')} ; {messages.CLOSED}"
    assert result.stdout == (
        f"connexion acceptée : {good} -> {public}\nconnexion refusée : verif-non\n"
        f"connexion acceptée : verif-clos -> {closed}\n"
    )
    assert result.stderr == "ligne 4 : ligne incorrecte\nbilan : 2 connexions acceptées, 2 non acceptées\n"
    assert result.returncode == 1
    assert requests_for(aspnet_site, good) == ["POST /Default.aspx -", "GET /MonTournoi.aspx -"]
    assert sitectl.state(aspnet_site[1], good)["papi"] is None

    only_good = write_list(tmp_path, f"{good};{PASSWORD};pas-encore.papi;1")
    assert trasko(tmp_path, "--verifier", "--site", aspnet_site[0], only_good).returncode == 0


@pytest.mark.parametrize("args", [["--verifier"], [], ["--continuer"]])
def test_an_unreachable_site_is_named(tmp_path, args):
    (tmp_path / "a.papi").write_bytes(papi_bytes())
    listing = write_list(tmp_path, f"loin;{PASSWORD};a.papi;1", f"loin2;{PASSWORD};a.papi;1")
    result = trasko(tmp_path, *args, "--site", closed_port_url(), listing)
    assert result.returncode == 1
    assert ERREUR_ENVOI in result.stdout
    assert result.stderr.startswith(
        "ligne 1 (loin) : site injoignable : connexion refusée par la machine du site (aucun service à cette adresse)\n"
    )
    assert "Traceback" not in result.stderr and PASSWORD not in result.stdout + result.stderr
    if args == []:
        assert "série arrêtée à la ligne 1 (loin) ; non tentées : ligne 2 (loin2)" in result.stderr


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "aucun fichier-liste indiqué"),
        ([""], "aucun fichier-liste indiqué"),
        (["", "a.txt"], "un nom de fichier-liste vide"),
        (["--delai", "0", "a.txt"], "--delai attend une durée en secondes"),
        (["a.txt", "--rapport"], "--rapport attend un nom de fichier"),
        (["a.txt", "b.txt"], "un seul fichier-liste à la fois (reçu : 2)"),
        (["--publier", "a.txt"], "option inconnue : --publier"),
        (["--intervalle", "5", "a.txt"], "--intervalle ne sert qu'avec --suivre"),
        (["--suivre", "--intervalle", "0", "a.txt"], "--intervalle attend une durée en secondes"),
        (["--suivre", "--intervalle=abc", "a.txt"], "--intervalle attend une durée en secondes"),
        (["--verifier", "--suivre", "a.txt"], "--verifier ne se combine ni avec --suivre"),
        (["--repetition", "--tel-quel", "a.txt"], "--repetition ne se combine avec aucune autre option"),
        (["--suivre", "--repetition", "a.txt"], "--repetition ne se combine avec aucune autre option"),
        (["--site", "ftp://x", "a.txt"], "--site attend une adresse http://"),
        (["--site"], "--site attend une adresse http://"),
        (["--site", "http://127.0.0.1:99999", "a.txt"], "--site attend une adresse http://"),
        (["--site", "http://:8080", "a.txt"], "--site attend une adresse http://"),
        (["--", "--liste.txt"], "fichier-liste illisible : --liste.txt"),
    ],
)
def test_usage_errors_and_unreadable_lists_exit_2(tmp_path, args, message):
    result = trasko(tmp_path, *args)
    assert result.returncode == 2
    assert message in result.stderr and "Traceback" not in result.stderr
    # Without a list, standard output keeps the module's own usage line.
    no_list = "aucun fichier-liste" in message
    assert (result.stdout == said(SYNTAXE)) == no_list


@pytest.mark.parametrize(
    "make, reason",
    [
        (lambda p: p.mkdir(), "(c'est un dossier)"),
        (lambda p: p.write_bytes(b"open;pw;\x81.papi;1\n"), f"({messages.LIST_NOT_TEXT.format(byte=0x81, line=1)})"),
    ],
)
def test_a_list_that_cannot_be_read_exits_2(tmp_path, make, reason):
    make(tmp_path / "liste")
    result = trasko(tmp_path, "--site", closed_port_url(), "liste")
    assert result.returncode == 2
    assert result.stderr == f"trasko : fichier-liste illisible : liste {reason}\n"
    # The module's own line when it could not open the list; none when it could.
    assert result.stdout == ("" if "octet" in reason else " tournoi list introuvable : liste\n")


@pytest.mark.parametrize(
    "args, what",
    [
        (["--rapport", "tournois.txt"], "le fichier-liste"),
        (["--rapport", "./a.papi", "--verifier"], "un fichier Papi de la liste"),
        (["--rapport", "ri.pdf", "--reglement", "ri.pdf"], "le règlement"),
        (["--suivre", "--rapport=tournois.txt"], "le fichier-liste"),
    ],
)
def test_a_report_over_an_input_is_refused_before_anything_is_sent(tmp_path, args, what):
    (tmp_path / "a.papi").write_bytes(b"a")
    (tmp_path / "ri.pdf").write_bytes(b"%PDF-1.4")
    listing = write_list(tmp_path, f"club;{PASSWORD};a.papi;1")
    before = {path.name: path.read_bytes() for path in tmp_path.iterdir()}
    result = trasko(tmp_path, *args, "--site", closed_port_url(), listing)
    assert (result.returncode, result.stdout) == (2, "")
    assert f"écrirait sur {what} : choisissez un autre nom de rapport" in result.stderr
    assert {path.name: path.read_bytes() for path in tmp_path.iterdir()} == before


def test_a_report_that_cannot_be_written_leaves_nothing_behind(tmp_path):
    (tmp_path / "dossier").mkdir()
    listing = write_list(tmp_path, "# rien")
    result = trasko(tmp_path, "--rapport", "dossier", listing)
    assert result.returncode == 1 and "rapport impossible à écrire : dossier" in result.stderr
    assert sorted(path.name for path in tmp_path.iterdir()) == ["dossier", "tournois.txt"]


def test_a_login_check_on_a_page_without_its_public_link_says_so(site, tmp_path):
    from scripted_site import STATE, login

    from peer import page

    no_link = '<input type="file" name="ctl00$ContentPlaceHolderMain$UploadPapi" />'
    site.queue(login(), page(f"<html><body><form>{STATE}{no_link}</form></body></html>"))
    listing = write_list(tmp_path, f"club;{PASSWORD};t.papi;1")
    result = trasko(tmp_path, "--verifier", "--site", site.url, listing)
    assert (result.returncode, result.stdout) == (
        0,
        "connexion acceptée : club (le site ne donne pas la page publique)\n",
    )


def test_a_list_named_like_an_option_follows_double_dash(aspnet_site, tmp_path):
    (tmp_path / "a.papi").write_bytes(papi_bytes())
    (tmp_path / "--liste.txt").write_text(f"{account(aspnet_site, 'tiret')};{PASSWORD};a.papi;1\n")
    result = trasko(tmp_path, "--site", aspnet_site[0], "--", "--liste.txt")
    assert (result.returncode, result.stdout) == (0, said(ENVOI_DE, "a.papi"))


def test_help_and_version_answer_without_loading_the_module():
    code = (
        "import sys; from trasko.__main__ import main; r = main(['--help']); "
        "main(['--version']); print(r, 'velka' in sys.modules)"
    )
    result = run_python(code)
    assert result.stdout.startswith("utilisation : trasko")
    options = ("--verifier", "--continuer", "--suivre", "--intervalle", "--delai", "--rapport", "--site")
    for text in (*options, "exemples", "code de sortie"):
        assert text in result.stdout
    version = importlib.metadata.version("velka")
    assert result.stdout.endswith(f"\ntrasko {version}\n0 False\n"), result.stdout[-200:]


@pytest.mark.parametrize("guide, lead", [("guide-fr.md", "L'aide, telle que"), ("guide-en.md", "The help, as")])
def test_the_guides_paste_the_help_as_printed_on_linux(guide, lead):
    text = (Path(__file__).parent.parent / "docs" / guide).read_text(encoding="utf-8")
    block = text.split(lead, 1)[1].split("\n\n", 1)[1].split("\n## ", 1)[0]
    pasted = "".join(line.removeprefix("    ") + "\n" for line in block.rstrip("\n").split("\n"))
    assert pasted == options.help_text("posix")


def test_the_windows_help_shows_only_what_a_windows_prompt_runs():
    examples = options.help_text("nt").split("\nexemples", 1)[1].splitlines()[2:]
    programs = {f"{name}.exe" for name in launch.MODES} | {"py"}
    assert examples and all(line.split()[0].rsplit("\\", 1)[-1].strip('"') in programs for line in examples)
    assert "grep" not in options.help_text("nt") and "grep" in options.help_text("posix")


def test_the_module_is_left_as_it_was(aspnet_site, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    before = dict(vars(velka))
    (tmp_path / "a.papi").write_bytes(papi_bytes())
    write_list(
        tmp_path,
        f"{account(aspnet_site, 'rendu')};{PASSWORD};a.papi;1",
        "rendu;faux;a.papi;1",
        f"rendu;{PASSWORD};a.papi;1",
    )
    assert main(["--site", aspnet_site[0], "tournois.txt"]) == 1
    assert main(["--verifier", "--site", aspnet_site[0], "tournois.txt"]) == 1
    assert vars(velka) == before
    out, err = capsys.readouterr()
    assert "ligne 2 (rendu) : connexion refusée\n" in err and "connexion refusée : rendu\n" in out


@pytest.mark.parametrize(
    "error, told",
    [
        (ValueError(f"quelque chose sur {PASSWORD}"), "trasko : erreur interne (ValueError) ; "),
        (KeyboardInterrupt(), "trasko : interrompu\n"),
    ],
)
def test_a_fault_or_an_interrupt_is_told_without_its_text(monkeypatch, tmp_path, capsys, error, told):
    from trasko import modes

    def broken(*args):
        raise error

    monkeypatch.setattr(modes, "publish", broken)
    write_list(tmp_path, f"x;{PASSWORD};a.papi;1")
    monkeypatch.chdir(tmp_path)
    assert main(["tournois.txt"]) == 1
    err = capsys.readouterr().err
    assert told in err and PASSWORD not in err


# --- --suivre ----------------------------------------------------------------


class Follow:
    """`trasko --suivre` in a subprocess, its standard error read line by line."""

    def __init__(self, workdir, *args):
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "trasko", "--suivre", *map(str, args)],
            cwd=workdir,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        self.lines: list[str] = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stderr:
            self.lines.append(line)

    def wait_for(self, text, timeout=30.0, count=1):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if sum(text in line for line in self.lines) >= count:
                return
            time.sleep(0.05)
        raise AssertionError(f"{text!r} never came; stderr so far: {self.lines}")

    def interrupt(self):
        self.proc.send_signal(signal.SIGINT)
        out = self.proc.stdout.read()
        code = self.proc.wait(timeout=30)
        self.reader.join(timeout=10)
        return code, out

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class Looks:
    """The watch's sleep: each look of --suivre runs the next step of the
    test on a clock moved by the interval, and Ctrl-C comes after the last."""

    def __init__(self, *steps):
        self.steps = list(steps)
        self.now = 0.0
        self.env = Environment(io.StringIO(), io.StringIO(), clock=lambda: self.now)
        self.env.sleep = self.sleep

    def sleep(self, seconds):
        self.now += seconds
        if not self.steps:
            raise KeyboardInterrupt
        self.steps.pop(0)()

    def said(self):
        return self.env.given_stderr.getvalue()


def test_suivre_publishes_files_once_they_settle_and_lines_added_later(aspnet_site, tmp_path):
    growing = tmp_path / "growing.papi"
    (tmp_path / "steady.papi").write_bytes(papi_bytes(1))
    (tmp_path / "other.papi").write_bytes(papi_bytes(2))
    listing = write_list(
        tmp_path,
        f"{account(aspnet_site, 'suivi-a')};{PASSWORD};steady.papi;1",
        f"{account(aspnet_site, 'suivi-b')};{PASSWORD};growing.papi;0",
        f"{account(aspnet_site, 'suivi-c')};faux;other.papi;1",
    )

    def first_round_over():
        assert "suivi de 3 fichiers Papi" in looks.said()
        assert sitectl.state(aspnet_site[1], "suivi-a")["papi"] == papi_bytes(1)
        assert "ligne 3 (suivi-c) : non publié : connexion refusée" in looks.said()

    def piece(number):
        # A file still being written at every look is never sent half-written.
        def write():
            with open(growing, "ab") as f:
                f.write(PIECES[number])
            assert sitectl.state(aspnet_site[1], "suivi-b")["papi"] is None

        return write

    def settled_whole_sent():
        assert looks.said().count("ligne 2 (suivi-b) : publié (growing.papi)") == 1
        assert sitectl.state(aspnet_site[1], "suivi-b")["papi"] == growing.read_bytes()
        # A tournament added to the list during the event is watched too.
        with open(tmp_path / listing, "a") as f:
            f.write(f"{account(aspnet_site, 'suivi-e')};{PASSWORD};steady.papi;1\n")

    def added_line_sent():
        assert "ligne 4 (suivi-e) : publié (steady.papi)" in looks.said()

    nothing = lambda: None  # noqa: E731
    looks = Looks(first_round_over, *map(piece, range(12)), nothing, settled_whole_sent, nothing, added_line_sent)
    result = trasko(
        tmp_path,
        "--suivre",
        "--intervalle",
        1,
        "--site",
        aspnet_site[0],
        "--rapport",
        "etat.jsonl",
        listing,
        env=looks.env,
    )
    assert not looks.steps, "every step ran"
    assert result.returncode == 1, "suivi-c was never published"
    stderr = result.stderr
    assert stderr.splitlines()[-1] == "suivi arrêté ; pas en ligne dans sa version actuelle : ligne 3 (suivi-c)"
    assert "Traceback" not in stderr
    no_password(stderr, result.stdout, (tmp_path / "etat.jsonl").read_text())
    assert stderr.count("(suivi-b) : publié") == 1
    # A refused login is not retried as it stands: said once, tried again when its line changes.
    assert stderr.count("ligne 3 (suivi-c) : pas de nouvel essai") == 1 and "nouvel essai vers" not in stderr
    states = [json.loads(line)["resultat"] for line in (tmp_path / "etat.jsonl").read_text().splitlines()]
    assert states == ["publie", "publie", "non_publie", "publie"]


@NO_SIGINT
def test_suivre_exits_1_when_a_tournament_is_not_online(aspnet_site, tmp_path):
    (tmp_path / "t.papi").write_bytes(papi_bytes())
    listing = write_list(tmp_path, f"{account(aspnet_site, 'suivi-d')};faux;t.papi;1")
    follow = Follow(tmp_path, "--intervalle", "0.2", "--site", aspnet_site[0], listing)
    try:
        follow.wait_for("suivi de 1 fichier Papi")
        code, out = follow.interrupt()
    finally:
        follow.kill()
    assert (code, follow.lines[-1]) == (1, "suivi arrêté ; pas en ligne dans sa version actuelle : ligne 1 (suivi-d)\n")
    assert out == said(ENVOI_DE, "t.papi")  # nothing sent after the refused login, so nothing more said


class Clock:
    """A clock that moves past the minute between two uploads at every look."""

    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


def test_a_change_is_sent_at_the_second_look_and_a_growing_file_never(aspnet_site, tmp_path, monkeypatch):
    from trasko import listing, watch
    from trasko.exchange import Recorder, Timeouts

    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(velka, "ADMIN_FFE_URL", aspnet_site[0])
    papi = tmp_path / "r.papi"
    papi.write_bytes(papi_bytes(1))
    write_list(tmp_path, f"{account(aspnet_site, 'regard')};{PASSWORD};r.papi;1")
    clock = Clock()
    follower = watch.Follower(Environment(clock=clock), "tournois.txt", Recorder(Timeouts(30)), 1.0)
    follower.first_round(listing.read("tournois.txt")[0])
    sent = len(requests_for(aspnet_site, "regard"))

    def looks(count):
        for _ in range(count):
            clock.now += 61
            follower.tick()
        return sitectl.state(aspnet_site[1], "regard")["papi"]

    assert looks(3) == papi_bytes(1) and len(requests_for(aspnet_site, "regard")) == sent
    papi.write_bytes(papi_bytes(2))
    assert looks(1) == papi_bytes(1)  # seen changing
    assert looks(1) == papi_bytes(2)  # the same for a whole interval: sent
    for size in range(3, 8):
        papi.write_bytes(papi_bytes(size))  # still being written at every look
        assert looks(1) == papi_bytes(2)
    assert looks(2) == papi_bytes(7)
    assert follower.status() == 0


# --- lists as organisers write them ----------------------------------------------


def one_tournament(aspnet_site, tmp_path, login):
    (tmp_path / "Open d'été.papi").write_bytes(papi_bytes())
    return f"{account(aspnet_site, login)};{PASSWORD};Open d'été.papi;1\n"


@pytest.mark.skipif(os.name == "nt", reason="/dev/stdin and process substitution are POSIX")
@pytest.mark.parametrize("how", ["-", "/dev/stdin", "<(...)"])
def test_a_list_given_through_a_pipe_is_published(aspnet_site, tmp_path, how):
    login = f"tube-{next(TAGS)}"
    text = "# la liste du club\n" + one_tournament(aspnet_site, tmp_path, login)
    if how == "<(...)":
        (tmp_path / "brut.txt").write_text(text)
        command = f"exec {sys.executable} -m trasko --site {aspnet_site[0]} <(grep -v '^#' brut.txt)"
        result = subprocess.run(["bash", "-c", command], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    else:  # "/dev/stdin" is the process's own standard input
        result = (trasko if how == "-" else trasko_process)(tmp_path, "--site", aspnet_site[0], how, input=text)
    assert (result.returncode, result.stdout) == (0, said(ENVOI_DE, "Open d'été.papi")), result.stderr
    number = 1 if how == "<(...)" else 2  # the comment line filtered out, or not
    assert result.stderr == f"ligne {number} ({login}) : publié{TOURNOI}\nbilan : 1 publié, 0 non publié, 0 non tenté\n"
    assert sitectl.state(aspnet_site[1], login)["papi"] == papi_bytes()


@pytest.mark.parametrize("encoding", ["utf-8", "utf-8-sig", "cp1252"])
def test_a_list_saved_by_notepad_is_read_with_its_comments_skipped(aspnet_site, tmp_path, encoding):
    login = f"bloc-{next(TAGS)}"
    text = f"# ancien;{PASSWORD};Open d'été.papi;1\r\n" + one_tournament(aspnet_site, tmp_path, login)
    (tmp_path / "tournois.txt").write_bytes(text.replace("\n", "\r\n").encode(encoding))
    result = trasko(tmp_path, "--site", aspnet_site[0], "tournois.txt")
    assert (result.returncode, result.stdout) == (0, said(ENVOI_DE, "Open d'été.papi"))
    note = "trasko : le fichier-liste n'est pas en UTF-8 ; il est lu comme Windows-1252 (« ANSI » du Bloc-notes)\n"
    published = f"ligne 3 ({login}) : publié{TOURNOI}\n"
    summary = "bilan : 1 publié, 0 non publié, 0 non tenté\n"
    assert result.stderr == (note if encoding == "cp1252" else "") + published + summary
    assert sitectl.state(aspnet_site[1], login)["papi"] == papi_bytes()


@pytest.mark.parametrize(
    "organiser, line, noted",
    [
        (False, "# ancien;pw;été.papi;1", True),  # the plain command keeps its documented note
        (True, "# ancien;pw;été.papi;1", False),  # read cleanly: nothing on the organiser's screen
        (True, "open;pw;été.papi;1", True),  # a Papi file not found: its accents may be wrong
    ],
)
def test_the_ansi_note_shows_where_it_may_matter(tmp_path, monkeypatch, organiser, line, noted):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "tournois.txt").write_bytes(f"{line}\r\n".encode("cp1252"))
    err = io.StringIO()
    main(["--site", closed_port_url(), "tournois.txt"], Environment(io.StringIO(), err, keeps_board=organiser))
    assert (messages.LIST_NOT_UTF8 in err.getvalue()) is noted


def test_lines_that_cannot_be_published_are_named_without_their_password(aspnet_site, tmp_path):
    (tmp_path / "t.papi").write_bytes(papi_bytes())
    (tmp_path / "dossier").mkdir()
    listing = write_list(
        tmp_path,
        "vide;;t.papi;1",
        "coupe;Mot-De-Passe,du;Club;t.papi;1",
        f"tabs\t{PASSWORD}\tt.papi\t1, cle",
        f"dossier;{PASSWORD};dossier;1",
        f'guillemets;{PASSWORD};"{tmp_path / "absent.papi"}";1',
    )
    result = trasko(tmp_path, "--continuer", "--site", closed_port_url(), listing)
    assert result.stderr == (
        "ligne 1 (vide) : mot de passe vide\n"
        "ligne 2 (coupe) : fichier Papi introuvable ; le mot de passe contient peut-être « , » ou « ; »\n"
        "ligne 3 : ligne incorrecte : séparez les champs par « ; » (pas par des blancs ni des tabulations)\n"
        "ligne 4 (dossier) : le fichier Papi indiqué est un dossier : indiquez le fichier .papi qu'il contient\n"
        "ligne 5 (guillemets) : fichier Papi introuvable\n"
        "bilan : 0 publié, 5 non publiés, 0 non tenté\n"
    )
    assert result.stdout == (
        said(PAPI_INTROUVABLE.format("[champ masqué : il contient peut-être une partie du mot de passe]"))
        + said(FORMAT_INCORRECT, "[ligne 3 masquée : elle contient peut-être un mot de passe]\n")
        + said(PAPI_INTROUVABLE.format("dossier"))
        + said(PAPI_INTROUVABLE.format(tmp_path / "absent.papi"))
    )
    assert "Club" not in result.stdout + result.stderr and result.returncode == 1


def test_the_report_has_one_record_per_line(aspnet_site, tmp_path, mixed):
    mixed, tag = mixed
    result = trasko(tmp_path, "--continuer", "--site", aspnet_site[0], "--rapport", "rapport.jsonl", mixed)
    text = (tmp_path / "rapport.jsonl").read_text(encoding="utf-8")
    no_password(text)
    records = [json.loads(line) for line in text.splitlines()]
    assert [(r["ligne"], r["identifiant"], r["resultat"]) for r in records] == [
        (1, f"{tag}-ok", "publie"),
        (2, f"{tag}-txt", "non_publie"),
        (3, f"{tag}-vide", "non_publie"),
        (4, None, "ignoree"),
        (5, None, "non_publie"),
        (6, f"{tag}-perdu", "non_publie"),
        (7, f"{tag}-refus", "non_publie"),
        (8, f"{tag}-apres", "publie"),
        (9, f"{tag}-court", "non_publie"),
    ]
    first = records[0]
    assert first["page_publique"] == f"{aspnet_site[0]}/FicheTournoi.aspx?Ref={sitectl.public_ref(tag + '-ok')}"
    assert (first["cause"], first["octets_envoyes"]) == ("", len(papi_bytes()))
    assert records[6]["cause"] == "connexion refusée" and records[6]["octets_envoyes"] == 0
    assert time.strptime(first["heure"][:19], "%Y-%m-%dT%H:%M:%S")
    assert result.returncode == 1


def test_a_silent_site_is_named_and_the_batch_goes_on(site, tmp_path):
    from scripted_site import LOGIN_FORM, published

    from peer import slow

    (tmp_path / "t.papi").write_bytes(papi_bytes())
    site.queue(slow(LOGIN_FORM, delay=0, before=8), *published())
    listing = write_list(tmp_path, f"muet;{PASSWORD};t.papi;1", f"suivant;{PASSWORD};t.papi;1")
    result = trasko(tmp_path, "--continuer", "--delai", "1", "--site", site.url, listing)
    assert result.stderr == (
        f"ligne 1 (muet) : site muet après 1 s\nligne 2 (suivant) : publié{TOURNOI}\n"
        "bilan : 1 publié, 1 non publié, 0 non tenté\n"
    )
    assert result.returncode == 1


# --- terminals and pipes ------------------------------------------------------------


def test_a_closed_pipe_ends_the_command_quietly(tmp_path):
    listing = write_list(tmp_path, *[f"t{n};{PASSWORD};absent-{n}.papi;1" for n in range(2000)])
    proc = subprocess.Popen(
        [sys.executable, "-m", "trasko", listing], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    proc.stdout.close()  # as `| head -0` does
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=60) == 1
    assert err == "" or ("Traceback" not in err and "erreur interne" not in err and "Exception" not in err), err


@pytest.mark.skipif(os.name == "nt", reason="closing a descriptor from the shell is POSIX")
def test_a_closed_standard_output_ends_the_command_quietly(tmp_path):
    listing = write_list(tmp_path, f"t;{PASSWORD};absent.papi;1")
    command = f"exec {sys.executable} -m trasko {listing} >&-"
    result = subprocess.run(["bash", "-c", command], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (1, "")


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="a device that is always full")
def test_a_full_disk_under_standard_output_stops_no_work(site, tmp_path):
    from scripted_site import published

    (tmp_path / "t.papi").write_bytes(papi_bytes())
    site.queue(*published())
    listing = write_list(tmp_path, f"plein;{PASSWORD};t.papi;1")
    with open("/dev/full", "w") as full:
        result = trasko(
            tmp_path, "--site", site.url, "--rapport", "r.jsonl", listing, env=Environment(full, io.StringIO())
        )
    assert result.returncode == 1 and len(site.requests) == 3
    assert json.loads((tmp_path / "r.jsonl").read_text())["resultat"] == "publie"
    assert result.stderr == (
        f"ligne 1 (plein) : publié{TOURNOI}\n"
        "bilan : 1 publié, 0 non publié, 0 non tenté\n"
        "trasko : la sortie standard n'a pas pu être écrite (disque plein ?) ; "
        "le travail est fait : voyez les lignes ci-dessus et le rapport\n"
    )


@NO_SIGINT
def test_sigterm_ends_a_plain_run_with_its_summary_and_report(site, tmp_path):
    from scripted_site import LOGIN_FORM

    from peer import slow

    (tmp_path / "t.papi").write_bytes(papi_bytes())
    site.queue(slow(LOGIN_FORM, delay=0, before=30))
    listing = write_list(tmp_path, f"long;{PASSWORD};t.papi;1", f"apres;{PASSWORD};t.papi;1")
    command = [sys.executable, "-m", "trasko", "--site", site.url, "--rapport", "r.jsonl", listing]
    proc = subprocess.Popen(command, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        end = time.monotonic() + 30
        while not site.requests and time.monotonic() < end:
            time.sleep(0.05)
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 1
    assert err == "trasko : interrompu\nbilan : 0 publié, 0 non publié, 2 non tentés\n"
    records = [json.loads(line) for line in (tmp_path / "r.jsonl").read_text().splitlines()]
    assert [(r["resultat"], r["cause"]) for r in records] == [("non_tente", "interrompu")] * 2


def test_ctrl_c_on_a_terminal_is_told_on_its_own_line(monkeypatch, capsys):
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    Environment().on_own_line("trasko : interrompu")
    assert capsys.readouterr().err == "\ntrasko : interrompu\n"


def test_a_stopped_batch_names_the_first_untried_lines_and_their_count(tmp_path):
    (tmp_path / "t.papi").write_bytes(papi_bytes())
    listing = write_list(tmp_path, *[f"t{n};{PASSWORD};t.papi;1" for n in range(1, 14)])
    result = trasko(tmp_path, "--site", closed_port_url(), listing)
    assert result.stderr.splitlines()[1:] == [
        "série arrêtée à la ligne 1 (t1) ; 12 lignes non tentées : ligne 2 (t2), ligne 3 (t3), ligne 4 (t4), "
        "ligne 5 (t5), ligne 6 (t6) et 7 autres",
        "bilan : 0 publié, 1 non publié, 12 non tentés",
    ]


def test_suivre_tries_a_refused_login_again_once_its_line_changes(aspnet_site, tmp_path, monkeypatch, capsys):
    """The account is created on the site only after the first refusal: a
    refused login is not retried as it stands, and is tried again once the
    organiser saves the list anew."""
    from trasko import listing, watch
    from trasko.exchange import Recorder, Timeouts

    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(velka, "ADMIN_FFE_URL", aspnet_site[0])
    (tmp_path / "r.papi").write_bytes(papi_bytes())
    write_list(tmp_path, f"plus-tard;{PASSWORD};r.papi;1")
    clock = Clock()
    follower = watch.Follower(Environment(clock=clock), "tournois.txt", Recorder(Timeouts(30)), 1.0, "etat.jsonl")
    follower.first_round(listing.read("tournois.txt")[0])
    account(aspnet_site, "plus-tard")
    clock.now += 61
    follower.tick()
    assert sitectl.state(aspnet_site[1], "plus-tard")["papi"] is None, "not retried as it stands"
    write_list(tmp_path, f"plus-tard;{PASSWORD};r.papi;1;open")  # the line saved anew, changed
    for _ in range(2):  # a new line is sent once its file has stayed the same one interval
        clock.now += 61
        follower.tick()
    assert sitectl.state(aspnet_site[1], "plus-tard")["papi"] == papi_bytes()
    assert follower.status() == 0
    err = capsys.readouterr().err
    assert (
        "ligne 1 (plus-tard) : non publié : connexion refusée" in err and "ligne 1 (plus-tard) : publié (r.papi)" in err
    )
    no_password(err, (tmp_path / "etat.jsonl").read_text())


def test_a_name_the_output_cannot_write_stops_nothing(site, tmp_path):
    from scripted_site import published

    name = "Open d'été ✓.papi"  # no check mark in Windows-1252, a redirected output's encoding there
    (tmp_path / name).write_bytes(papi_bytes())
    site.queue(*published(), *published())
    listing = "tournois.txt"
    (tmp_path / listing).write_text(f"a;{PASSWORD};{name};1\nb;{PASSWORD};{name};1\n", encoding="utf-8")
    out, err = (io.TextIOWrapper(io.BytesIO(), encoding="cp1252", newline="\n") for _ in range(2))
    result = trasko(tmp_path, "--site", site.url, listing, env=Environment(out, err))
    assert result.returncode == 0 and len(site.requests) == 6
    assert result.stdout == said(ENVOI_DE, "Open d'été ?.papi") * 2


def test_a_file_online_without_its_visibility_set_does_not_stop_the_batch(site, tmp_path):
    from scripted_site import login, published, taken, tournament

    (tmp_path / "t.papi").write_bytes(papi_bytes())
    site.queue(login(), tournament(), taken(None), *published())
    listing = write_list(tmp_path, f"sans-bouton;{PASSWORD};t.papi;1", f"suivant;{PASSWORD};t.papi;1")
    result = trasko(tmp_path, "--site", site.url, listing)
    assert result.stderr == (
        "ligne 1 (sans-bouton) : publié ; affichage non réglé : bouton afficher/masquer absent de la page"
        f" ; en ligne{TOURNOI}\n"
        f"ligne 2 (suivant) : publié{TOURNOI}\n"
        "bilan : 2 publiés (dont 1 sans affichage réglé), 0 non publié, 0 non tenté\n"
    )
    assert result.stdout == said(ENVOI_DE, "t.papi") + said(erreur_lecture_id(BUTTON)) + said(ENVOI_DE, "t.papi")
    assert result.returncode == 0
