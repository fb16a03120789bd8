"""envoi_tournoi against a recording loopback server: the request sequence,
the form bodies, the visibility decision and where each failure stops."""
import pytest

import velka
from conftest import velka_entries
from peer import closed_port, form_fields, multipart_parts, page

STATE = ("__VIEWSTATE", "__VIEWSTATEGENERATOR", "__EVENTVALIDATION")
BUTTON = "ctl00_ContentPlaceHolderMain_CmdAfficherTournoi"
UPLOAD_EVENT = "ctl00$ContentPlaceHolderMain$CmdUploadPapi"
VISIBILITY_EVENT = "ctl00$ContentPlaceHolderMain$CmdAfficherTournoi"


def aspx(tag, label=None, without=(), no_value=()):
    """A page with the three state fields valued `<field>-<tag>` (but those in
    `without`, and valueless for `no_value`), and a show/hide button."""
    fields = "".join(
        f'<input type="hidden" name="{name}" id="{name}" />' if name in no_value else
        f'<input type="hidden" name="{name}" id="{name}" value="{name}-{tag}" />'
        for name in STATE if name not in without)
    button = "" if label is None else f'<a id="{BUTTON}" href="#">{label}</a>'
    return page(f"<html><body><form>{fields}{button}</form></body></html>")


def state_of(tag, skip=()):
    return [(name, f"{name}-{tag}") for name in STATE if name not in skip]


@pytest.fixture
def site(peer, monkeypatch):
    monkeypatch.setattr(velka, "ADMIN_FFE_URL", peer.url)
    return peer


@pytest.fixture
def papi(tmp_path):
    path = tmp_path / "Open d'\u00e9t\u00e9.papi"
    path.write_bytes(b"\xd0\xcf\x11\xe0" + bytes(range(256)) * 64)
    return path


@pytest.mark.parametrize("label, f_visible, toggled", [
    ("D\u00e9sactiver le tournoi", True, False),
    ("D\u00e9sactiver le tournoi", False, True),
    ("Activer le tournoi", True, True),
    ("Activer le tournoi", False, False),
    ("D\u00c9SACTIVER", True, False),
    ("d\u00e9sactiverxyz", False, True),
    ("ACTIVER ce tournoi", False, False),
])
def test_the_dialogue(site, papi, capsys, label, f_visible, toggled):
    site.queue(aspx("entry"), aspx("login"), aspx("upload", label), aspx("toggle", "Activer"))
    assert velka.envoi_tournoi("open-2024", "s\u00e9cret", str(papi), f_visible) is None
    sent = site.requests
    assert [(r.method, r.path) for r in sent] == [
        ("GET", "/"), ("POST", "/Default.aspx"), ("POST", "/MonTournoi.aspx"),
    ] + [("POST", "/MonTournoi.aspx")] * toggled
    assert form_fields(sent[1]) == state_of("entry") + [
        ("ctl00$TextLogin", "open-2024"), ("ctl00$TextPassword", "s\u00e9cret"),
        ("ctl00$CmdLogin.x", "3"), ("ctl00$CmdLogin.y", "3")]
    parts = multipart_parts(sent[2])
    assert [(p.name, p.data.decode()) for p in parts[:5]] == [
        (name, value) for name, value in state_of("login")] + [
        ("__EVENTTARGET", UPLOAD_EVENT), ("__EVENTARGUMENT", "")]
    assert [(p.name, p.filename, p.data) for p in parts[5:]] == [
        ("ctl00$ContentPlaceHolderMain$UploadPapi", papi.name, papi.read_bytes())]
    if toggled:
        assert form_fields(sent[3]) == state_of("upload") + [
            ("__EVENTTARGET", VISIBILITY_EVENT), ("__EVENTARGUMENT", "")]
    assert capsys.readouterr().out == ""


def test_cookies_of_the_site_are_sent_back(site, papi):
    site.queue(page(aspx("entry").body, headers=[("Set-Cookie", "ASP.NET_SessionId=abc; path=/")]),
               aspx("login"), aspx("upload", "Activer"), aspx("toggle", "D\u00e9sactiver"))
    velka.envoi_tournoi("n", "p", str(papi), True)
    assert [r.header("Cookie") for r in site.requests] == [None] + ["ASP.NET_SessionId=abc"] * 3


@pytest.mark.parametrize("label", ["", "  Activer", "Voir le tournoi", "\nD\u00e9sactiver"])
def test_a_label_with_neither_word_fails_naming_it(site, papi, capsys, label):
    site.queue(aspx("entry"), aspx("login"), aspx("upload", label))
    with pytest.raises(ValueError) as raised:
        velka.envoi_tournoi("n", "p", str(papi), True)
    assert repr(label) in str(raised.value)
    assert capsys.readouterr().out == f"erreur lecture visibilit\u00e9 {label!r}:\n"
    assert len(site.requests) == 3
    assert velka_entries(raised.value.__traceback__) == [("velka.envoi_tournoi", 175)]


@pytest.mark.parametrize("answers, printed, sent, line", [
    ([aspx("entry", without=["__VIEWSTATE"])], "erreur lecture __VIEWSTATE:", 1, 134),
    ([aspx("entry"), aspx("login", without=["__EVENTVALIDATION"])],
     "erreur lecture __EVENTVALIDATION:", 2, 152),
    ([aspx("entry"), aspx("login"), aspx("upload", "Activer", without=["__VIEWSTATEGENERATOR"])],
     "erreur lecture __VIEWSTATEGENERATOR:", 3, 165),
    ([aspx("entry"), aspx("login"), aspx("upload")], f"erreur lecture id {BUTTON}:", 3, 167),
    ([aspx("entry"), aspx("login"), aspx("upload", "Activer"), aspx("toggle")],
     f"erreur lecture id {BUTTON}:", 4, 187),
])
def test_a_missing_field_ends_the_dialogue_where_it_is_read(site, papi, capsys, answers, printed,
                                                             sent, line):
    site.queue(*answers)
    with pytest.raises(AttributeError) as raised:
        velka.envoi_tournoi("n", "p", str(papi), True)
    assert capsys.readouterr().out == printed + "\n"
    assert len(site.requests) == sent
    assert velka_entries(raised.value.__traceback__)[0] == ("velka.envoi_tournoi", line)


def test_a_state_field_without_value_is_left_out_of_the_next_form(site, papi):
    site.queue(aspx("entry", no_value=["__VIEWSTATEGENERATOR"]), aspx("login"),
               aspx("upload", "Activer", no_value=["__VIEWSTATE"]), aspx("t", "x"))
    velka.envoi_tournoi("n", "p", str(papi), True)
    login, upload, toggle = site.requests[1:]
    assert [name for name, _ in form_fields(login)][:2] == ["__VIEWSTATE", "__EVENTVALIDATION"]
    assert [name for name, _ in form_fields(toggle)][:2] == ["__VIEWSTATEGENERATOR",
                                                             "__EVENTVALIDATION"]


def test_an_unreachable_site_fails_after_read_urls_line(monkeypatch, papi, capsys):
    monkeypatch.setattr(velka, "ADMIN_FFE_URL", closed_port())
    with pytest.raises(Exception) as raised:
        velka.envoi_tournoi("n", "p", str(papi), True)
    assert capsys.readouterr().out.startswith("erreur envoi: ")
    assert velka_entries(raised.value.__traceback__)[0] == ("velka.envoi_tournoi", 133)


def test_constants_are_read_at_each_use(site, papi, monkeypatch):
    monkeypatch.setattr(velka, "FLD_LOGIN", "Login")
    monkeypatch.setattr(velka, "IMG_BUTTON", "Go")
    monkeypatch.setattr(velka, "VISIBILITY_EVENT", "Toggle")
    monkeypatch.setattr(velka, "UPLOAD_FILE", "File")
    site.queue(aspx("entry"), aspx("login"), aspx("upload", "Activer"), aspx("t", "x"))
    velka.envoi_tournoi("n", "p", str(papi), True)
    login, upload, toggle = site.requests[1:]
    assert [name for name, _ in form_fields(login)][3:] == ["Login", "ctl00$TextPassword",
                                                            "Go.x", "Go.y"]
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
    monkeypatch.setattr(velka, "get_ident_text",
                        lambda soup, found, name: found.update({name: "Activer"}))
    monkeypatch.setattr(velka, "ADMIN_FFE_URL", "http://base")
    velka.envoi_tournoi("n", "p", "/f.papi", True)
    assert [(a[0], k) for _, a, k in calls] == [
        ("http://base", {}), ("http://base/Default.aspx", {}),
        ("http://base/MonTournoi.aspx", {"files": {"ctl00$ContentPlaceHolderMain$UploadPapi": "/f.papi"}}),
        ("http://base/MonTournoi.aspx", {})]
