"""The command's judgement of one tournament's dialogue, against a scripted
loopback site: the answers the site gives in, the outcome, its cause and the
requests that left out. Each stop-the-dialogue rule shows as requests that
were not sent."""

from __future__ import annotations

import pytest
from scripted_site import ERROR_PAGE, HIDDEN, LOGIN_FORM, SHOWN, TAKEN, login, tournament
from support import wine_lacks

from trasko import dialogue, judge, messages
from trasko.exchange import Recorder, Timeouts
from trasko.site import UPLOAD_VERDICT_ID as VERDICT_ID

import velka
from peer import close_before, closed_port, endless, page, redirect, slow

PASSWORD = "Secret,du;Club-42"


GET, LOGIN, UPLOAD = ("GET", "/"), ("POST", "/Default.aspx"), ("POST", "/MonTournoi.aspx")
TOGGLE = UPLOAD


def toggled_to(label):
    return tournament(label=label)


PUBLISHED, WARNED, FAILED = judge.State.PUBLISHED, judge.State.WARNED, judge.State.FAILED


CASES = {
    # name: (answers, wanted visibility, state, cause, requests sent)
    "published, already as wanted": ([login(), tournament(), tournament(TAKEN, SHOWN)], True, PUBLISHED, "", 3),
    "published, then shown": (
        [login(), tournament(), tournament(TAKEN, HIDDEN), toggled_to(SHOWN)],
        True,
        PUBLISHED,
        "",
        4,
    ),
    "size with a thousands separator, not the file's": (
        [login(), tournament(), tournament("Transfert du fichier : t.papi (1 234 octets) achevé", SHOWN)],
        True,
        FAILED,
        "envoi incomplet : le site a reçu 1 234 octets sur 3",
        3,
    ),
    "file partly received": (
        [login(), tournament(), tournament("Transfert du fichier : t.papi (2 octets) achevé", SHOWN)],
        True,
        FAILED,
        "envoi incomplet : le site a reçu 2 octets sur 3",
        3,
    ),
    "refused login: no file sent": ([login(), login()], True, FAILED, messages.LOGIN_REFUSED, 2),
    "error status at login": ([login(), page(ERROR_PAGE, status=500)], True, FAILED, "erreur du site (HTTP 500)", 2),
    "error status first": (
        [page("<html>indisponible</html>", status=503)],
        True,
        FAILED,
        "erreur du site (HTTP 503)",
        1,
    ),
    "maintenance page": (
        [page("<html><body>Maintenance en cours</body></html>")],
        True,
        FAILED,
        "page inattendue du site",
        1,
    ),
    "redirect to an error page at login": (
        [login(), redirect("/Erreur.aspx"), page(ERROR_PAGE)],
        True,
        FAILED,
        "page inattendue du site",
        3,  # the redirect followed, nothing more
    ),
    "refused login, in the site's words": (
        [
            login(),
            page(LOGIN_FORM.replace("</form>", f'<span id="{VERDICT_ID}"> Mot de passe\n incorrect </span></form>')),
        ],
        True,
        FAILED,
        "connexion refusée ; le site dit : « Mot de passe incorrect »",
        2,
    ),
    "closed tournament: no upload": ([login(), tournament(upload=False)], True, FAILED, messages.CLOSED, 2),
    "refused file: visibility untouched": (
        [login(), tournament(), tournament("Le fichier t.papi est vide.", HIDDEN)],
        True,
        FAILED,
        "fichier refusé par le site : Le fichier t.papi est vide.",
        3,
    ),
    "upload without verdict": ([login(), tournament(), tournament("", SHOWN)], True, FAILED, messages.NOT_CONFIRMED, 3),
    "upload answered by the login form": (
        [login(), tournament(), login()],
        True,
        FAILED,
        "page inattendue du site (retour à la page de connexion)",
        3,
    ),
    "no show/hide button after the upload": (
        [login(), tournament(), tournament(TAKEN, None)],
        True,
        WARNED,
        "publié ; affichage non réglé : bouton afficher/masquer absent de la page",
        3,
    ),
    "unknown button label": (
        [login(), tournament(), tournament(TAKEN, "Publier")],
        False,
        WARNED,
        "publié ; affichage non réglé : libellé du bouton afficher/masquer inconnu « Publier »",
        3,
    ),
    "toggle not taken": (
        [login(), tournament(), tournament(TAKEN, HIDDEN), toggled_to(HIDDEN)],
        True,
        WARNED,
        "publié ; affichage non réglé : le site n'a pas pris le bouton afficher/masquer",
        4,
    ),
    "toggle answered 500": (
        [login(), tournament(), tournament(TAKEN, SHOWN), page(ERROR_PAGE, status=500)],
        False,
        WARNED,
        "publié ; affichage non réglé : erreur du site (HTTP 500)",
        4,
    ),
    "login form without its state fields": (
        [page('<form><input name="ctl00$TextLogin" /></form>')],
        True,
        FAILED,
        "page inattendue du site (formulaire incomplet)",
        1,
    ),
    "answer not in UTF-8": (
        [login(), page("<html>Connexion réussie, journée d'été</html>".encode("cp1252"))],
        True,
        FAILED,
        messages.UNDECODABLE,
        2,
    ),
    "connection closed without an answer": (
        [login(), close_before(reset=False)],
        True,
        FAILED,
        "site injoignable : le site a fermé la connexion sans répondre",
        2,
    ),
    "connection reset": (
        [close_before(reset=True)],
        True,
        FAILED,
        "site injoignable : connexion coupée par le site",
        1,
    ),
    "silent site": ([login(), slow(LOGIN_FORM, delay=0, before=3)], True, FAILED, "site muet après 0.5 s", 2),
    # A page that trickles in is given its time-outs' sum in all: 1 s here.
    "trickling site": ([login(), endless(b"<p>x</p>", interval=0.2)], True, FAILED, "site muet après 1 s", 2),
    "endless answer": ([login(), endless()], True, FAILED, "réponse du site trop longue", 2),
}


@pytest.fixture
def papi(tmp_path):
    path = tmp_path / "t.papi"
    path.write_bytes(b"abc")
    return str(path)


def run(site, answers, call):
    site.queue(*answers)
    recorder = Recorder(Timeouts(0.5))
    with recorder.installed():
        outcome = call(recorder)
    sent = [(r.method, r.path.split("?")[0]) for r in site.requests]
    return outcome, sent


# Under Wine an abortive close reaches the client as an orderly one.
NO_RESET = wine_lacks("an abortive close (a reset) reaches the client as an orderly one")


@pytest.mark.parametrize(
    "name", [pytest.param(name, marks=NO_RESET) if name == "connection reset" else name for name in CASES]
)
def test_each_dialogue_is_judged_from_the_answers(site, papi, capsys, name):
    answers, visible, state, cause, count = CASES[name]
    outcome, sent = run(site, answers, lambda r: dialogue.publish(r, "open-ete", PASSWORD, papi, visible))
    assert (outcome.state, outcome.cause) == (state, cause)
    expected = [GET, LOGIN, UPLOAD, TOGGLE][:count]
    if name == "redirect to an error page at login":
        expected = [GET, LOGIN, ("GET", "/Erreur.aspx")]
    assert sent == expected
    assert outcome.published == (state != FAILED)
    uploaded = expected[2:3] == [UPLOAD]
    # The Papi file's bytes the site confirmed, once it answered its upload.
    confirmed = {"size with a thousands separator, not the file's": 1234, "file partly received": 2}
    assert outcome.sent == confirmed.get(name, 3 if uploaded else 0)
    out, err = capsys.readouterr()
    assert PASSWORD not in out + err + repr(outcome)
    assert "HTTPConnection" not in outcome.cause and "Connection aborted" not in outcome.cause


def test_the_stops_follow_the_site_not_the_module(site, papi):
    """A refused login and a failure the site did not answer normally stop a
    plain run; a refused file or a closed tournament do not; a visibility not
    set counts as published."""
    stops = {}
    names = (
        "refused login: no file sent",
        "refused file: visibility untouched",
        "closed tournament: no upload",
        "no show/hide button after the upload",
    )
    for name in names:
        answers, visible, *_ = CASES[name]
        outcome, _ = run(site, answers, lambda r, v=visible: dialogue.publish(r, "a", PASSWORD, papi, v))
        stops[name] = outcome.stops
        site._requests.clear()
    assert stops == {
        "refused login: no file sent": True,
        "refused file: visibility untouched": False,
        "closed tournament: no upload": False,
        "no show/hide button after the upload": False,
    }


@pytest.mark.parametrize(
    "answers, state, cause, url",
    [
        ([login(), tournament()], judge.State.ACCEPTED, "", "/FicheTournoi.aspx?Ref=12345"),
        ([login(), login()], FAILED, messages.LOGIN_REFUSED, None),
        ([login(), page(ERROR_PAGE, status=500)], FAILED, "erreur du site (HTTP 500)", None),
        # Right codes for a closed tournament: accepted, and said closed.
        ([login(), tournament(upload=False)], judge.State.ACCEPTED, messages.CLOSED, "/FicheTournoi.aspx?Ref=12345"),
    ],
)
def test_the_login_check_stops_at_the_login(site, papi, capsys, answers, state, cause, url):
    outcome, sent = run(site, answers, lambda r: dialogue.check(r, "open-ete", PASSWORD, papi))
    assert (outcome.state, outcome.cause) == (state, cause)
    assert (outcome.public_url or "").endswith(url or "") and (url is None) == (outcome.public_url is None)
    assert sent == [GET, LOGIN]
    # The module read nothing of the login's answer, so printed nothing.
    assert capsys.readouterr().out == ""


def test_a_closed_port_is_named_without_the_librarys_wrapping(monkeypatch, papi):
    monkeypatch.setattr(velka, "ADMIN_FFE_URL", closed_port())
    recorder = Recorder(Timeouts(2))
    with recorder.installed():
        outcome = dialogue.publish(recorder, "a", PASSWORD, papi, True)
    assert outcome.cause == "site injoignable : " + messages.NET_REFUSED


def test_an_unreadable_papi_file_is_not_sent(site, tmp_path):
    """A folder named as the file: the module's read_url cannot open it, so
    the upload never leaves; the cause says what the file is."""
    outcome, sent = run(
        site, [login(), tournament()], lambda r: dialogue.publish(r, "a", PASSWORD, str(tmp_path), True)
    )
    assert sent == [GET, LOGIN]
    assert outcome.cause in (
        "fichier Papi illisible : c'est un dossier",
        "fichier Papi illisible : droits insuffisants",
    )


def test_the_module_runs_untouched_outside_the_command(site, papi, capsys):
    """Called directly, the module's dialogue sends the file to a refused
    login's page as it always did: the stop is the command's wrappers'."""
    before = dict(vars(velka))
    run(site, [login(), login()], lambda r: dialogue.publish(r, "a", PASSWORD, papi, True))
    assert dict(vars(velka)) == before
    site.queue(login(), login(), login())
    with pytest.raises(AttributeError):
        velka.envoi_tournoi("a", PASSWORD, papi, True)
    assert [r.path for r in site.requests][-3:] == ["/", "/Default.aspx", "/MonTournoi.aspx"]
    capsys.readouterr()


def test_each_answer_is_read_once_and_judged_once(site, papi, monkeypatch):
    """A whole publication (four answers): one page reading and one step of
    the judge per exchange, however many requests the dialogue makes."""
    from trasko import site as pages

    reads, steps = [], []
    read_page = pages.read_page
    monkeypatch.setattr(pages, "read_page", lambda *args: reads.append(1) or read_page(*args))
    counted = tuple(lambda j, e, step=step: steps.append(step.__name__) or step(j, e) for step in judge.PUBLISH)
    monkeypatch.setattr(judge, "PUBLISH", counted)
    answers = [login(), tournament(), tournament(TAKEN, HIDDEN), toggled_to(SHOWN)]
    outcome, sent = run(site, answers, lambda r: dialogue.publish(r, "open-ete", PASSWORD, papi, True))
    assert outcome.state == PUBLISHED and len(sent) == 4
    assert (len(reads), steps) == (4, ["entry", "login", "upload", "toggle"])
