"""Hostile servers and callers who misuse the module: the failure lines, None
or the error passed up; files closed; no crash; later calls unharmed; and no
password in anything the module writes."""

import gc
import traceback
import warnings

import pytest
import requests
from bs4 import BeautifulSoup
from support import (
    BUTTON,
    ENVOI_DE,
    ERREUR_ENVOI,
    EVENT_VALIDATION,
    GETTING,
    VIEW_GENERATOR,
    VIEW_STATE,
    aspx,
    erreur_lecture,
    erreur_lecture_id,
    erreur_visibilite,
    said,
    said_line,
    velka_entries,
)

import velka
from peer import close_before, close_during, closed_port, endless, huge, page, redirect_loop

PASSWORD = "S3cr3t-Mot!"


class BoundedSession(requests.Session):
    """The harness's own bound on a server that never finishes its answer."""

    def request(self, *args, **kwargs):
        kwargs.setdefault("timeout", 1.0)
        return super().request(*args, **kwargs)


def unclosed_files(call):
    """Runs `call`; returns its result and the Papi files it dropped without
    close(). (The list file is released unclosed, as ever.)"""
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always", ResourceWarning)
        result = call()
        gc.collect()
    return result, [
        str(w.message) for w in warned if issubclass(w.category, ResourceWarning) and ".papi" in str(w.message)
    ]


@pytest.mark.parametrize(
    "answer, printed",
    [
        (None, ""),  # connection refused
        (close_before(reset=True), ""),
        (close_before(reset=False), ""),
        (close_during(nbytes=200, reset=True), ""),
        (endless(interval=5.0), ""),
        (redirect_loop(), "Exceeded 30 redirects."),
    ],
)
def test_a_hostile_server_is_one_failure_line_and_none(peer, capsys, papi, answer, printed):
    url = closed_port() if answer is None else peer.url
    if answer is not None:
        peer.route(None, None, answer)
    with BoundedSession() as session:
        for data, files in ((None, None), ({"k": "v"}, {"f": papi})):
            result, unclosed = unclosed_files(lambda: velka.read_url(session, url, data, files))  # noqa: B023 (called at once)
            assert result is None and unclosed == []
            [line] = capsys.readouterr().out.splitlines()
            assert line.startswith(said_line(ERREUR_ENVOI, printed))


def test_a_50_mb_page_is_returned_whole(peer, capsys):
    peer.queue(huge(50 * 1024 * 1024))
    with requests.Session() as session:
        text = velka.read_url(session, peer.url)
    assert len(text) == 50 * 1024 * 1024 and capsys.readouterr().out == ""


BROKEN = (
    f'<html><body><div><form><input type=hidden name={VIEW_STATE} value="v-broken">'
    f'</span><<>><p><input name="{VIEW_GENERATOR}" value=g-broken><table><tr>'
    f'<input name="{EVENT_VALIDATION}" value="e-broken"<b>'
    f'<a id="{BUTTON}" href=#>Activer le tournoi</p></form'
)


def test_broken_markup_with_the_fields_still_publishes(site, papi, capsys):
    site.queue(page(BROKEN), page(BROKEN), page(BROKEN), page(BROKEN))
    assert velka.envoi_tournoi("n", PASSWORD, papi, True) is None
    assert len(site.requests) == 4 and capsys.readouterr().out == ""


def test_an_empty_show_hide_button_is_an_unknown_visibility(site, papi, capsys):
    site.queue(aspx("a"), aspx("b"), aspx("c", ""))
    with pytest.raises(ValueError):
        velka.envoi_tournoi("n", PASSWORD, papi, True)
    assert capsys.readouterr().out == said(erreur_visibilite(""))


def test_a_site_that_resets_the_upload_stops_the_batch(site, tmp_path, capsys):
    for name in ("1.papi", "2.papi"):
        (tmp_path / name).write_bytes(b"x")
    (tmp_path / "list.txt").write_text(f"a;{PASSWORD};{tmp_path}/1.papi;1\nb;{PASSWORD};{tmp_path}/2.papi;1\n")
    site.queue(aspx("a"), aspx("b"), close_before())
    result, unclosed = unclosed_files(lambda: velka.page_ffe(str(tmp_path / "list.txt")))
    assert result is None and unclosed == [] and len(site.requests) == 3
    out = capsys.readouterr().out.splitlines()
    assert out[0] == said_line(ENVOI_DE, f"{tmp_path}/1.papi")
    assert out[1].startswith(said_line(ERREUR_ENVOI, ""))
    assert len(out) == 2  # the second tournament is not attempted


# --- callers who misuse the module ----------------------------------------------


class Odd:
    """An object whose special methods raise, or return odd types."""

    def __init__(self, **behaviour):
        self.behaviour = behaviour

    def _do(self, name, default):
        action = self.behaviour.get(name, default)
        if isinstance(action, type) and issubclass(action, BaseException):
            raise action(name)
        return action

    def __str__(self):
        return self._do("str", "odd")

    def __format__(self, spec):
        return self._do("format", "odd")

    def __eq__(self, other):
        return self._do("eq", False)

    __hash__ = object.__hash__

    def __bool__(self):
        return self._do("bool", True)

    def get(self, url, *args):
        return self._do("get", None)

    def find(self, **query):
        return self._do("find", None)

    def get_text(self):
        return self._do("get_text", "")


class ErrorWithBadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def soup_with_text(text):
    return Odd(find=Odd(get_text=text))


MISUSES = [
    # a session error that cannot be put into words: the new error goes up
    (lambda: velka.read_url(Odd(get=ErrorWithBadStr), "u"), RuntimeError, [], 27),
    # a key that cannot be formatted: the failure line itself fails
    (lambda: velka.get_ident_text(Odd(), {}, Odd(format=LookupError)), LookupError, [], 110),
    (lambda: velka.get_attr_value(Odd(), {}, Odd(format=TypeError), "id"), TypeError, [said_line(GETTING, "odd")], 124),
    # odd attr_name comparisons are errors of the reader
    (lambda: velka.get_attr_value(Odd(), {}, "k", Odd(eq=ValueError)), ValueError, [erreur_lecture("k")], 116),
    (
        lambda: velka.get_attr_value(Odd(), {}, "k", Odd(eq=Odd(bool=ZeroDivisionError))),
        ZeroDivisionError,
        [erreur_lecture("k")],
        116,
    ),
    # find giving something odd, and a mapping that is not one
    (lambda: velka.get_ident_text(Odd(find="text"), {}, "k"), AttributeError, [erreur_lecture_id("k")], 107),
    (
        lambda: velka.get_ident_text(soup_with_text("t"), ["not", "a", "dict"], "k"),
        TypeError,
        [erreur_lecture_id("k")],
        108,
    ),
    (lambda: velka.get_attr_value(Odd(find=KeyboardInterrupt), {}, "k"), KeyboardInterrupt, [], 121),
]


@pytest.mark.parametrize("call, error, printed, line", MISUSES)
def test_misuse_gives_an_error_and_leaves_the_module_sound(capsys, call, error, printed, line):
    with pytest.raises(error) as raised:
        call()
    assert capsys.readouterr().out.splitlines() == printed
    assert velka_entries(raised.value.__traceback__)[0][1] == line
    found = {}
    velka.get_attr_value(BeautifulSoup('<i name="k" value="v">', "html.parser"), found, "k")
    assert found == {"k": "v"}


class MemorySite:
    def __init__(self, label="Activer", post_error=None):
        self.body = aspx("m", label).body
        self.post_error = post_error

    def get(self, url):
        return type("R", (), {"content": self.body})()

    def post(self, url, data=None, files=None):
        if self.post_error:
            raise self.post_error
        return self.get(url)


@pytest.mark.parametrize(
    "rebind, error, line",
    [
        ({"ADMIN_FFE_URL": 5}, TypeError, 132),
        ({"IMG_BUTTON": 5}, TypeError, 145),
        ({"VISIBILITY_ID": ["not", "an", "id"]}, AttributeError, 167),
        ({"BeautifulSoup": lambda *a: 1 / 0}, ZeroDivisionError, 133),
        ({"get_ident_text": lambda soup, found, key: found.update({key: 42})}, AttributeError, 169),
        ({"read_url": None}, TypeError, 132),
    ],
)
def test_rebound_globals_fail_envoi_tournoi_cleanly(monkeypatch, papi, rebind, error, line):
    monkeypatch.setattr(velka, "Session", MemorySite)
    with monkeypatch.context() as patched:
        for name, value in rebind.items():
            patched.setattr(velka, name, value)
        with pytest.raises(error) as raised:
            velka.envoi_tournoi("n", PASSWORD, papi, True)
        assert ("velka.envoi_tournoi", line) in velka_entries(raised.value.__traceback__)
    assert velka.envoi_tournoi("n", PASSWORD, papi, True) is None  # later calls unharmed


def test_an_interrupt_inside_a_session_goes_straight_through(monkeypatch, tmp_path, papi, capsys):
    monkeypatch.setattr(velka, "Session", lambda: MemorySite(post_error=KeyboardInterrupt()))
    (tmp_path / "list.txt").write_text(f"n;{PASSWORD};{papi};1\nm;{PASSWORD};{papi};1\n")
    monkeypatch.setattr("sys.argv", ["trasko", str(tmp_path / "list.txt")])
    with pytest.raises(KeyboardInterrupt):
        velka.main_func()
    assert capsys.readouterr().out == said(ENVOI_DE, papi)


# --- no password in what the module writes ------------------------------------------


@pytest.mark.parametrize(
    "answers",
    [
        [aspx("a", without=[VIEW_STATE])],
        [aspx("a"), aspx("b", without=[EVENT_VALIDATION])],
        [aspx("a"), aspx("b"), aspx("c")],
        [aspx("a"), aspx("b"), aspx("c", "Voir")],
        [aspx("a"), aspx("b"), aspx("c", "Activer"), aspx("d")],
        [aspx("a"), close_during(nbytes=10, reset=True)],
        [aspx("a"), redirect_loop()],
    ],
)
def test_no_password_in_output_or_errors(site, capfd, papi, answers):
    site.queue(*answers)
    with pytest.raises(Exception) as raised:
        velka.envoi_tournoi("n", PASSWORD, papi, True)
    written = capfd.readouterr()
    report = "".join(traceback.format_exception(raised.value))
    assert PASSWORD not in written.out + written.err + report


def test_no_password_when_the_site_is_unreachable(monkeypatch, capfd, papi):
    monkeypatch.setattr(velka, "ADMIN_FFE_URL", closed_port())
    with pytest.raises(Exception) as raised:
        velka.envoi_tournoi("n", PASSWORD, f"{papi}.missing", True)
    written = capfd.readouterr()
    assert PASSWORD not in written.out + "".join(traceback.format_exception(raised.value))
