"""The organiser's command `trasko` against the local ASP.NET site: what each
mode prints, what it leaves on the site and the exit status it returns."""

from __future__ import annotations

import importlib.metadata
import itertools
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest
from support import (
    BUTTON,
    ENVOI_DE,
    ERREUR_ENVOI,
    FORMAT_INCORRECT,
    SYNTAXE,
    WINDOWS,
    erreur_lecture_id,
    lists_read_in_ansi_code_page,
    run_python,
    said,
    windows_differs,
)

import sitectl
import velka

PASSWORD = "Mot-De-Passe-9f3"

NO_SIGINT = windows_differs("no SIGINT for a child process: Ctrl-C is a console event there")


def account(aspnet_site, login, visible=False, password=PASSWORD):
    sitectl.add_account(aspnet_site[1], login, password, visible)
    return login


def trasko(workdir, *args, timeout=120):
    return subprocess.run(
        [sys.executable, "-m", "trasko", *map(str, args)], cwd=workdir, capture_output=True, text=True, timeout=timeout
    )


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
    for name, data in [("a.papi", b"a" * 10), ("b.txt", b"b"), ("vide.papi", b""), ("d.papi", b"d")]:
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


def test_the_plain_command_prints_what_main_func_prints_and_tells_each_failure(aspnet_site, tmp_path, mixed):
    mixed, tag = mixed
    result = trasko(tmp_path, "--site", aspnet_site[0], mixed)
    reference = run_python(
        """
        import sys, velka
        velka.ADMIN_FFE_URL = sys.argv[1]
        sys.argv[1:] = sys.argv[2:]
        velka.main_func()
        """,
        aspnet_site[0],
        mixed,
        cwd=tmp_path,
    )
    assert reference.returncode == 0, reference.stderr
    assert result.stdout == reference.stdout
    assert said(erreur_lecture_id(BUTTON)) in result.stdout
    assert result.stderr == (
        f"ligne 2 ({tag}-txt) : fichier refusé par le site : "
        "Le fichier b.txt n'est pas un fichier Papi (.papi).\n"
        f"ligne 3 ({tag}-vide) : fichier refusé par le site : Le fichier vide.papi est vide.\n"
        "ligne 5 : ligne incorrecte\n"
        f"ligne 6 ({tag}-perdu) : fichier Papi introuvable\n"
        f"ligne 7 ({tag}-refus) : connexion refusée\n"
        f"série arrêtée à la ligne 7 ({tag}-refus) ; non tentées : ligne 8 ({tag}-apres), "
        f"ligne 9 ({tag}-court)\n"
        "bilan : 1 publié, 5 non publiés, 2 non tentés\n"
    )
    assert result.returncode == 1
    assert sitectl.state(aspnet_site[1], f"{tag}-txt")["papi"] is None, "a refused file is not stored"
    assert sitectl.state(aspnet_site[1], f"{tag}-apres")["papi"] is None


def test_continuer_attempts_every_line(aspnet_site, tmp_path, mixed):
    mixed, tag = mixed
    result = trasko(tmp_path, "--continuer", "--site", aspnet_site[0], mixed)
    assert result.returncode == 1
    assert result.stdout.count(ENVOI_DE) == 5
    assert result.stdout.endswith(said(ENVOI_DE, "d.papi") + said(FORMAT_INCORRECT, f"{tag}-court;{PASSWORD};d.papi\n"))
    assert f"ligne 7 ({tag}-refus) : connexion refusée\n" in result.stderr
    assert "série arrêtée" not in result.stderr
    assert result.stderr.endswith(
        f"ligne 9 ({tag}-court) : ligne incorrecte\nbilan : 2 publiés, 6 non publiés, 0 non tenté\n"
    )
    assert sitectl.state(aspnet_site[1], f"{tag}-apres") == {"papi": b"d", "name": "d.papi", "visible": True}


def test_a_batch_that_publishes_everything_exits_0(aspnet_site, tmp_path):
    (tmp_path / "ok.papi").write_bytes(os.urandom(3000))
    listing = write_list(
        tmp_path,
        f"{account(aspnet_site, 'tout-1', True)};{PASSWORD};ok.papi;0",
        f"{account(aspnet_site, 'tout-2')},{PASSWORD},ok.papi,1,cle",
    )
    result = trasko(tmp_path, f"--site={aspnet_site[0]}/", listing)
    assert (result.returncode, result.stderr) == (0, "bilan : 2 publiés, 0 non publié, 0 non tenté\n")
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
    )
    result = trasko(tmp_path, "--verifier", "--site", aspnet_site[0], listing)
    public = f"{aspnet_site[0]}/FicheTournoi.aspx?Ref={sitectl.public_ref(good)}"
    assert result.stdout == f"connexion acceptée : {good} -> {public}\nconnexion refusée : verif-non\n"
    assert result.stderr == "ligne 4 : ligne incorrecte\nbilan : 1 connexion acceptée, 2 non acceptées\n"
    assert result.returncode == 1
    assert requests_for(aspnet_site, good) == ["POST /Default.aspx -", "GET /MonTournoi.aspx -"]
    assert sitectl.state(aspnet_site[1], good)["papi"] is None

    only_good = write_list(tmp_path, f"{good};{PASSWORD};pas-encore.papi;1")
    assert trasko(tmp_path, "--verifier", "--site", aspnet_site[0], only_good).returncode == 0


@pytest.mark.parametrize("args", [["--verifier"], [], ["--continuer"]])
def test_an_unreachable_site_is_named(tmp_path, args):
    (tmp_path / "a.papi").write_bytes(b"a")
    listing = write_list(tmp_path, f"loin;{PASSWORD};a.papi;1", f"loin2;{PASSWORD};a.papi;1")
    result = trasko(tmp_path, *args, "--site", closed_port_url(), listing, timeout=60)
    assert result.returncode == 1
    assert ERREUR_ENVOI in result.stdout
    assert result.stderr.startswith("ligne 1 (loin) : site injoignable : ")
    assert "Traceback" not in result.stderr and PASSWORD not in result.stdout + result.stderr
    if args == []:
        assert "série arrêtée à la ligne 1 (loin) ; non tentées : ligne 2 (loin2)" in result.stderr


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "aucun fichier-liste indiqué"),
        ([""], "aucun fichier-liste indiqué"),
        (["a.txt", "b.txt"], "un seul fichier-liste à la fois (reçu : 2)"),
        (["--publier", "a.txt"], "option inconnue : --publier"),
        (["--intervalle", "5", "a.txt"], "--intervalle ne sert qu'avec --suivre"),
        (["--suivre", "--intervalle", "0", "a.txt"], "--intervalle attend une durée en secondes"),
        (["--suivre", "--intervalle=abc", "a.txt"], "--intervalle attend une durée en secondes"),
        (["--verifier", "--suivre", "a.txt"], "--verifier ne se combine ni avec --suivre"),
        (["--site", "ftp://x", "a.txt"], "--site attend une adresse http://"),
        (["--site"], "--site attend une adresse http://"),
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
        (lambda p: p.mkdir(), "Permission denied" if WINDOWS else "Is a directory"),
        pytest.param(
            lambda p: p.write_bytes(b"open;pw;\xff\xfe.papi;1\n"),
            "encodage illisible",
            marks=lists_read_in_ansi_code_page(),
        ),
    ],
)
def test_a_list_that_cannot_be_read_exits_2(tmp_path, make, reason):
    make(tmp_path / "liste")
    result = trasko(tmp_path, "--site", closed_port_url(), "liste")
    assert result.returncode == 2
    assert result.stderr.startswith("trasko : fichier-liste illisible : liste (") and reason in result.stderr


def test_a_list_named_like_an_option_follows_double_dash(aspnet_site, tmp_path):
    (tmp_path / "a.papi").write_bytes(b"a")
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
    for text in ("--verifier", "--continuer", "--suivre", "--intervalle", "--site", "exemples", "code de sortie"):
        assert text in result.stdout
    version = importlib.metadata.version("velka")
    assert result.stdout.endswith(f"\ntrasko {version}\n0 False\n"), result.stdout[-200:]


def test_the_module_is_left_as_it_was(aspnet_site, tmp_path, monkeypatch, capsys):
    from trasko.__main__ import main

    monkeypatch.chdir(tmp_path)
    before = dict(vars(velka))
    (tmp_path / "a.papi").write_bytes(b"a")
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
    from trasko import batch
    from trasko.__main__ import main

    def broken(*args):
        raise error

    monkeypatch.setattr(batch, "run", broken)
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


@NO_SIGINT
def test_suivre_republishes_changed_files_once_they_settle(aspnet_site, tmp_path):
    interval = 0.4
    steady, growing = tmp_path / "steady.papi", tmp_path / "growing.papi"
    steady.write_bytes(b"round 1")
    (tmp_path / "other.papi").write_bytes(b"other")
    listing = write_list(
        tmp_path,
        f"{account(aspnet_site, 'suivi-a')};{PASSWORD};steady.papi;1",
        f"{account(aspnet_site, 'suivi-b')};{PASSWORD};growing.papi;0",
        f"{account(aspnet_site, 'suivi-c')};faux;other.papi;1",
    )
    follow = Follow(tmp_path, "--intervalle", interval, "--site", aspnet_site[0], listing)
    try:
        follow.wait_for("suivi de 3 fichiers Papi")
        assert sitectl.state(aspnet_site[1], "suivi-a")["papi"] == b"round 1"
        assert any("ligne 3 (suivi-c) : non publié : connexion refusée" in line for line in follow.lines)

        # A file written in pieces, each within an interval of the last, is
        # never sent half-written; the settled whole is sent once.
        with open(growing, "wb") as f:
            for piece in range(12):
                f.write(bytes([piece]) * 1000)
                f.flush()
                time.sleep(interval / 3)
                assert sitectl.state(aspnet_site[1], "suivi-b")["papi"] is None
        follow.wait_for("ligne 2 (suivi-b) : publié (growing.papi)")
        assert sitectl.state(aspnet_site[1], "suivi-b")["papi"] == growing.read_bytes()

        steady.write_bytes(b"round 2")
        changed = time.monotonic()
        follow.wait_for("ligne 1 (suivi-a) : publié (steady.papi)", count=2)
        noticed = time.monotonic() - changed
        assert sitectl.state(aspnet_site[1], "suivi-a")["papi"] == b"round 2"
        code, out = follow.interrupt()
    finally:
        follow.kill()
    assert code == 0  # the last round published all it tried
    assert follow.lines[-1] == "suivi arrêté\n"
    stderr = "".join(follow.lines)
    assert "Traceback" not in stderr and PASSWORD not in stderr + out
    assert stderr.count("(suivi-b) : publié") == 1
    # A change is seen at one look and sent at the next, plus the dialogue itself.
    print(f"change noticed and published after {noticed:.2f} s (interval {interval} s)")


@NO_SIGINT
def test_suivre_ends_with_the_status_of_its_last_round(aspnet_site, tmp_path):
    (tmp_path / "t.papi").write_bytes(b"t")
    listing = write_list(tmp_path, f"{account(aspnet_site, 'suivi-d')};faux;t.papi;1")
    follow = Follow(tmp_path, "--intervalle", "0.2", "--site", aspnet_site[0], listing)
    try:
        follow.wait_for("suivi de 1 fichier Papi")
        code, out = follow.interrupt()
    finally:
        follow.kill()
    assert (code, follow.lines[-1]) == (1, "suivi arrêté\n")
    assert out == said(ENVOI_DE, "t.papi") + said(erreur_lecture_id(BUTTON))


def test_a_change_is_sent_at_the_second_look_and_a_growing_file_never(aspnet_site, tmp_path, monkeypatch):
    from trasko import listing, watch

    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(velka, "ADMIN_FFE_URL", aspnet_site[0])
    papi = tmp_path / "r.papi"
    papi.write_bytes(b"1")
    write_list(tmp_path, f"{account(aspnet_site, 'regard')};{PASSWORD};r.papi;1")
    follower = watch.Follower(listing.read("tournois.txt"))
    follower.first_round("tournois.txt")
    sent = len(requests_for(aspnet_site, "regard"))

    def looks(count):
        for _ in range(count):
            follower.tick()
        return sitectl.state(aspnet_site[1], "regard")["papi"]

    assert looks(3) == b"1" and len(requests_for(aspnet_site, "regard")) == sent
    papi.write_bytes(b"22")
    assert looks(1) == b"1"  # seen changing
    assert looks(1) == b"22"  # the same for a whole interval: sent
    for size in range(3, 8):
        papi.write_bytes(b"3" * size)  # still being written at every look
        assert looks(1) == b"22"
    assert looks(2) == b"3" * 7
    assert follower.status == 0
