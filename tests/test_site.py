"""The local tournament-administration site, driven as the publisher drives it."""

import os

import pytest
from support import (
    BUTTON,
    EVENT_VALIDATION,
    FLD_LOGIN,
    FLD_PASSWD,
    IMG_BUTTON,
    STATE,
    UPLOAD_EVENT,
    UPLOAD_FILE,
    VIEW_STATE,
    VISIBILITY_EVENT,
)

import sitectl

requests = pytest.importorskip("requests")
bs4 = pytest.importorskip("bs4")


def page(resp):
    """The three state fields (all must be there) and the parsed page."""
    assert resp.status_code == 200, resp.text[:2000]
    soup = bs4.BeautifulSoup(resp.content, "html.parser")
    fields = []
    for name in STATE:
        tag = soup.find(attrs={"name": name})
        assert tag is not None and tag.get("value"), f"{name} missing from {resp.url}"
        fields.append((name, tag.get("value")))
    return fields, soup


def label(soup):
    tag = soup.find(id=BUTTON)
    return None if tag is None else tag.get_text()


def login(session, base, name, password):
    fields, _ = page(session.get(base))
    return session.post(
        base + "/Default.aspx",
        data=fields + [(FLD_LOGIN, name), (FLD_PASSWD, password), (f"{IMG_BUTTON}.x", "3"), (f"{IMG_BUTTON}.y", "3")],
    )


def postback(session, base, fields, target, files=None):
    return session.post(
        base + "/MonTournoi.aspx", files=files, data=fields + [("__EVENTTARGET", target), ("__EVENTARGUMENT", "")]
    )


@pytest.mark.parametrize("name, shown", [("open-2024", True), ("rapide.hidden_1", False)])
def test_publish_dialogue(aspnet_site, name, shown):
    base, datadir = aspnet_site
    sitectl.add_account(datadir, name, "s3cret;é", visible=shown)  # added while the site runs
    s = requests.Session()

    r = login(s, base, name, "s3cret;é")
    assert [h.status_code for h in r.history] == [302]
    assert r.history[0].headers["Location"].endswith("MonTournoi.aspx")
    assert r.url == base + "/MonTournoi.aspx"
    assert "charset=utf-8" in r.headers["Content-Type"]
    fields, soup = page(r)
    before = "Désactiver le tournoi" if shown else "Activer le tournoi"
    assert label(soup) == before
    assert before.encode("utf-8") in r.content  # UTF-8 on the wire, not a guess

    # A second upload replaces the first; the stored bytes are the last ones.
    payload = os.urandom(5 * 1024 * 1024)
    for filename, data in [("old.papi", b"\x00\xffold"), (f"{name} été.papi", payload)]:
        r = postback(s, base, fields, UPLOAD_EVENT, files={UPLOAD_FILE: (filename, data)})
        fields, soup = page(r)
        assert label(soup) == before
    st = sitectl.state(datadir, name)
    assert st["papi"] == payload
    assert st["name"] == f"{name} été.papi"
    assert st["visible"] is shown

    r = postback(s, base, fields, VISIBILITY_EVENT)
    _, soup = page(r)
    assert label(soup).lower().startswith("activer" if shown else "désactiver")
    assert sitectl.state(datadir, name)["visible"] is (not shown)

    mine = [line for line in sitectl.requests_log(datadir) if line.endswith(" " + name)]
    assert mine == [
        f"POST /Default.aspx - {name}",
        f"GET /MonTournoi.aspx - {name}",
        f"POST /MonTournoi.aspx {UPLOAD_EVENT} {name}",
        f"POST /MonTournoi.aspx {UPLOAD_EVENT} {name}",
        f"POST /MonTournoi.aspx {VISIBILITY_EVENT} {name}",
    ]


@pytest.mark.parametrize(
    "name, password",
    [
        ("refused", "wrong"),  # known login, bad password
        ("nobody", "pw"),  # unknown login
        ("../refused", "pw"),  # not a file name: refused, nothing written
        (None, None),  # no login attempted at all
    ],
)
def test_refused_login_gets_login_page(aspnet_site, name, password):
    base, datadir = aspnet_site
    sitectl.add_account(datadir, "refused", "pw")
    s = requests.Session()
    if name is None:
        fields, soup = page(s.get(base))
    else:
        r = login(s, base, name, password)
        assert r.history == []
        fields, soup = page(r)
        assert "Identifiant ou mot de passe incorrect" in soup.get_text()
    assert soup.find(attrs={"name": FLD_LOGIN}) is not None
    assert label(soup) is None

    # Posting to the tournament page with the login page's state is sent
    # back to the login page, not answered with an error.
    r = postback(s, base, fields, VISIBILITY_EVENT)
    assert [h.status_code for h in r.history] == [302]
    _, soup = page(r)
    assert label(soup) is None
    assert soup.find(attrs={"name": FLD_LOGIN}) is not None
    assert sitectl.state(datadir, "refused") == {"papi": None, "name": None, "visible": None}


@pytest.mark.parametrize("field", [VIEW_STATE, EVENT_VALIDATION])
def test_tampered_state_is_rejected(aspnet_site, field):
    base, datadir = aspnet_site
    name = "tamper" + field
    sitectl.add_account(datadir, name, "pw")
    s = requests.Session()
    fields, _ = page(login(s, base, name, "pw"))
    value = dict(fields)[field]
    i = len(value) - 10  # inside the MAC
    bad = value[:i] + ("B" if value[i] != "B" else "C") + value[i + 1 :]
    tampered = [(k, bad if k == field else v) for k, v in fields]
    r = postback(s, base, tampered, VISIBILITY_EVENT)
    assert r.status_code == 500
    assert sitectl.state(datadir, name)["visible"] is True
    # the untampered state still works
    _, soup = page(postback(s, base, fields, VISIBILITY_EVENT))
    assert label(soup) == "Activer le tournoi"
