"""envoi_tournoi against a recording loopback server: the request sequence,
the form bodies, the visibility decision and where each failure stops."""

import pytest
from support import (
    BUTTON,
    ERREUR_ENVOI,
    EVENT_VALIDATION,
    FLD_LOGIN,
    FLD_PASSWD,
    IMG_BUTTON,
    UPLOAD_EVENT,
    UPLOAD_FILE,
    VIEW_GENERATOR,
    VIEW_STATE,
    VISIBILITY_EVENT,
    aspx,
    erreur_lecture,
    erreur_lecture_id,
    erreur_visibilite,
    said,
    state_of,
    velka_entries,
)

import velka
from peer import closed_port, form_fields, multipart_parts, page


@pytest.mark.parametrize(
    "label, f_visible, toggled",
    [
        ("D\u00e9sactiver le tournoi", True, False),
        ("D\u00e9sactiver le tournoi", False, True),
        ("Activer le tournoi", True, True),
        ("Activer le tournoi", False, False),
        ("D\u00c9SACTIVER", True, False),
        ("d\u00e9sactiverxyz", False, True),
        ("ACTIVER ce tournoi", False, False),
    ],
)
def test_the_dialogue(site, papi, capsys, label, f_visible, toggled):
    site.queue(aspx("entry"), aspx("login"), aspx("upload", label), aspx("toggle", "Activer"))
    assert velka.envoi_tournoi("open-2024", "s\u00e9cret", str(papi), f_visible) is None
    sent = site.requests
    assert [(r.method, r.path) for r in sent] == [
        ("GET", "/"),
        ("POST", "/Default.aspx"),
        ("POST", "/MonTournoi.aspx"),
    ] + [("POST", "/MonTournoi.aspx")] * toggled
    assert form_fields(sent[1]) == state_of("entry") + [
        (FLD_LOGIN, "open-2024"),
        (FLD_PASSWD, "s\u00e9cret"),
        (f"{IMG_BUTTON}.x", "3"),
        (f"{IMG_BUTTON}.y", "3"),
    ]
    parts = multipart_parts(sent[2])
    assert [(p.name, p.data.decode()) for p in parts[:5]] == [(name, value) for name, value in state_of("login")] + [
        ("__EVENTTARGET", UPLOAD_EVENT),
        ("__EVENTARGUMENT", ""),
    ]
    assert [(p.name, p.filename, p.data) for p in parts[5:]] == [(UPLOAD_FILE, papi.name, papi.read_bytes())]
    if toggled:
        assert form_fields(sent[3]) == state_of("upload") + [
            ("__EVENTTARGET", VISIBILITY_EVENT),
            ("__EVENTARGUMENT", ""),
        ]
    assert capsys.readouterr().out == ""


def test_cookies_of_the_site_are_sent_back(site, papi):
    site.queue(
        page(aspx("entry").body, headers=[("Set-Cookie", "ASP.NET_SessionId=abc; path=/")]),
        aspx("login"),
        aspx("upload", "Activer"),
        aspx("toggle", "D\u00e9sactiver"),
    )
    velka.envoi_tournoi("n", "p", str(papi), True)
    assert [r.header("Cookie") for r in site.requests] == [None] + ["ASP.NET_SessionId=abc"] * 3


@pytest.mark.parametrize("label", ["", "  Activer", "Voir le tournoi", "\nD\u00e9sactiver"])
def test_a_label_with_neither_word_fails_naming_it(site, papi, capsys, label):
    site.queue(aspx("entry"), aspx("login"), aspx("upload", label))
    with pytest.raises(ValueError) as raised:
        velka.envoi_tournoi("n", "p", str(papi), True)
    assert repr(label) in str(raised.value)
    assert capsys.readouterr().out == said(erreur_visibilite(label))
    assert len(site.requests) == 3
    assert velka_entries(raised.value.__traceback__) == [("velka.envoi_tournoi", 175)]


@pytest.mark.parametrize(
    "answers, printed, sent, line",
    [
        ([aspx("entry", without=[VIEW_STATE])], erreur_lecture(VIEW_STATE), 1, 134),
        ([aspx("entry"), aspx("login", without=[EVENT_VALIDATION])], erreur_lecture(EVENT_VALIDATION), 2, 152),
        (
            [aspx("entry"), aspx("login"), aspx("upload", "Activer", without=[VIEW_GENERATOR])],
            erreur_lecture(VIEW_GENERATOR),
            3,
            165,
        ),
        ([aspx("entry"), aspx("login"), aspx("upload")], erreur_lecture_id(BUTTON), 3, 167),
        ([aspx("entry"), aspx("login"), aspx("upload", "Activer"), aspx("toggle")], erreur_lecture_id(BUTTON), 4, 187),
    ],
)
def test_a_missing_field_ends_the_dialogue_where_it_is_read(site, papi, capsys, answers, printed, sent, line):
    site.queue(*answers)
    with pytest.raises(AttributeError) as raised:
        velka.envoi_tournoi("n", "p", str(papi), True)
    assert capsys.readouterr().out == said(printed)
    assert len(site.requests) == sent
    assert velka_entries(raised.value.__traceback__)[0] == ("velka.envoi_tournoi", line)


def test_a_state_field_without_value_is_left_out_of_the_next_form(site, papi):
    site.queue(
        aspx("entry", no_value=[VIEW_GENERATOR]),
        aspx("login"),
        aspx("upload", "Activer", no_value=[VIEW_STATE]),
        aspx("t", "x"),
    )
    velka.envoi_tournoi("n", "p", str(papi), True)
    login, upload, toggle = site.requests[1:]
    assert [name for name, _ in form_fields(login)][:2] == [VIEW_STATE, EVENT_VALIDATION]
    assert [name for name, _ in form_fields(toggle)][:2] == [VIEW_GENERATOR, EVENT_VALIDATION]


def test_an_unreachable_site_fails_after_read_urls_line(monkeypatch, papi, capsys):
    monkeypatch.setattr(velka, "ADMIN_FFE_URL", closed_port())
    with pytest.raises(Exception) as raised:
        velka.envoi_tournoi("n", "p", str(papi), True)
    assert capsys.readouterr().out.startswith(ERREUR_ENVOI + " ")
    assert velka_entries(raised.value.__traceback__)[0] == ("velka.envoi_tournoi", 133)


def test_constants_are_read_at_each_use(site, papi, monkeypatch):
    monkeypatch.setattr(velka, "FLD_LOGIN", "Login")
    monkeypatch.setattr(velka, "IMG_BUTTON", "Go")
    monkeypatch.setattr(velka, "VISIBILITY_EVENT", "Toggle")
    monkeypatch.setattr(velka, "UPLOAD_FILE", "File")
    site.queue(aspx("entry"), aspx("login"), aspx("upload", "Activer"), aspx("t", "x"))
    velka.envoi_tournoi("n", "p", str(papi), True)
    login, upload, toggle = site.requests[1:]
    assert [name for name, _ in form_fields(login)][3:] == ["Login", FLD_PASSWD, "Go.x", "Go.y"]
    assert multipart_parts(upload)[-1].name == "File"
    assert ("__EVENTTARGET", "Toggle") in form_fields(toggle)


@pytest.mark.parametrize("name", ["VIEW_STATE", "ADMIN_FFE_URL", "read_url", "Session"])
def test_a_deleted_global_is_a_name_error(site, papi, monkeypatch, name):
    monkeypatch.delattr(velka, name)
    with pytest.raises(NameError) as raised:
        velka.envoi_tournoi("n", "p", str(papi), True)
    assert str(raised.value) == f"name '{name}' is not defined"
    assert velka_entries(raised.value.__traceback__)[0][0] == "velka.envoi_tournoi"


def test_rebound_helpers_are_called_from_the_globals(monkeypatch, papi):
    calls = []
    monkeypatch.setattr(velka, "Session", lambda: "session")
    monkeypatch.setattr(velka, "read_url", lambda *a, **k: calls.append(("read", a[1:], k)) or "p")
    monkeypatch.setattr(velka, "BeautifulSoup", lambda html, parser: ("soup", parser))
    monkeypatch.setattr(velka, "get_attr_value", lambda soup, found, name: found.update({name: "v"}))
    monkeypatch.setattr(velka, "get_ident_text", lambda soup, found, name: found.update({name: "Activer"}))
    monkeypatch.setattr(velka, "ADMIN_FFE_URL", "http://base")
    velka.envoi_tournoi("n", "p", "/f.papi", True)
    assert [(a[0], k) for _, a, k in calls] == [
        ("http://base", {}),
        ("http://base/Default.aspx", {}),
        ("http://base/MonTournoi.aspx", {"files": {UPLOAD_FILE: "/f.papi"}}),
        ("http://base/MonTournoi.aspx", {}),
    ]
