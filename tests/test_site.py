"""The local tournament-administration site, driven as the publisher drives it."""

import os
import shutil
import sys
import time
from pathlib import Path

import pytest

requests = pytest.importorskip("requests")
bs4 = pytest.importorskip("bs4")

sys.path.insert(0, str(Path(__file__).resolve().parent))
import sitectl  # noqa: E402

if shutil.which("mono") is None or shutil.which("mcs") is None or \
        not Path("/usr/lib/mono/4.5/System.Web.dll").exists():
    pytest.skip("Mono with System.Web is not installed (scripts/site installs mono-xsp4)",
                allow_module_level=True)

STATE = ("__VIEWSTATE", "__VIEWSTATEGENERATOR", "__EVENTVALIDATION")
UPLOAD = "ctl00$ContentPlaceHolderMain$CmdUploadPapi"
TOGGLE = "ctl00$ContentPlaceHolderMain$CmdAfficherTournoi"
LABEL_ID = "ctl00_ContentPlaceHolderMain_CmdAfficherTournoi"
FILE_FIELD = "ctl00$ContentPlaceHolderMain$UploadPapi"


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    datadir = tmp_path_factory.mktemp("site")
    t0 = time.monotonic()
    base = sitectl.start(datadir)
    print(f"\nsite ready at {base} in {time.monotonic() - t0:.2f} s", file=sys.stderr)
    try:
        yield base, datadir
    finally:
        sitectl.stop(datadir)


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
    tag = soup.find(id=LABEL_ID)
    return None if tag is None else tag.get_text()


def login(session, base, name, password):
    fields, _ = page(session.get(base))
    return session.post(base + "/Default.aspx", data=fields + [
        ("ctl00$TextLogin", name), ("ctl00$TextPassword", password),
        ("ctl00$CmdLogin.x", "3"), ("ctl00$CmdLogin.y", "3")])


def postback(session, base, fields, target, files=None):
    return session.post(base + "/MonTournoi.aspx", files=files,
                        data=fields + [("__EVENTTARGET", target), ("__EVENTARGUMENT", "")])


@pytest.mark.parametrize("name, shown", [("open-2024", True), ("rapide.hidden_1", False)])
def test_publish_dialogue(site, name, shown):
    base, datadir = site
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
        r = postback(s, base, fields, UPLOAD, files={FILE_FIELD: (filename, data)})
        fields, soup = page(r)
        assert label(soup) == before
    st = sitectl.state(datadir, name)
    assert st["papi"] == payload
    assert st["name"] == f"{name} été.papi"
    assert st["visible"] is shown

    r = postback(s, base, fields, TOGGLE)
    _, soup = page(r)
    assert label(soup).lower().startswith("activer" if shown else "désactiver")
    assert sitectl.state(datadir, name)["visible"] is (not shown)

    mine = [line for line in sitectl.requests_log(datadir) if line.endswith(" " + name)]
    assert mine == [f"POST /Default.aspx - {name}", f"GET /MonTournoi.aspx - {name}",
                    f"POST /MonTournoi.aspx {UPLOAD} {name}", f"POST /MonTournoi.aspx {UPLOAD} {name}",
                    f"POST /MonTournoi.aspx {TOGGLE} {name}"]


@pytest.mark.parametrize("name, password", [
    ("refused", "wrong"),       # known login, bad password
    ("nobody", "pw"),           # unknown login
    ("../refused", "pw"),       # not a file name: refused, nothing written
    (None, None),               # no login attempted at all
])
def test_refused_login_gets_login_page(site, name, password):
    base, datadir = site
    sitectl.add_account(datadir, "refused", "pw")
    s = requests.Session()
    if name is None:
        fields, soup = page(s.get(base))
    else:
        r = login(s, base, name, password)
        assert r.history == []
        fields, soup = page(r)
        assert "Identifiant ou mot de passe incorrect" in soup.get_text()
    assert soup.find(attrs={"name": "ctl00$TextLogin"}) is not None
    assert label(soup) is None

    # Posting to the tournament page with the login page's state is sent
    # back to the login page, not answered with an error.
    r = postback(s, base, fields, TOGGLE)
    assert [h.status_code for h in r.history] == [302]
    _, soup = page(r)
    assert label(soup) is None
    assert soup.find(attrs={"name": "ctl00$TextLogin"}) is not None
    assert sitectl.state(datadir, "refused") == {"papi": None, "name": None, "visible": None}


@pytest.mark.parametrize("field", ["__VIEWSTATE", "__EVENTVALIDATION"])
def test_tampered_state_is_rejected(site, field):
    base, datadir = site
    name = "tamper" + field
    sitectl.add_account(datadir, name, "pw")
    s = requests.Session()
    fields, _ = page(login(s, base, name, "pw"))
    value = dict(fields)[field]
    i = len(value) - 10  # inside the MAC
    bad = value[:i] + ("B" if value[i] != "B" else "C") + value[i + 1:]
    tampered = [(k, bad if k == field else v) for k, v in fields]
    r = postback(s, base, tampered, TOGGLE)
    assert r.status_code == 500
    assert sitectl.state(datadir, name)["visible"] is True
    # the untampered state still works
    _, soup = page(postback(s, base, fields, TOGGLE))
    assert label(soup) == "Activer le tournoi"
