"""The invoice made to stand alone: from the page the local site answers and
a fetch of its resources, a file that renders offline in Chromium with its
styles and logo, prints on one A4 page and leads nowhere back to the site."""

from __future__ import annotations

import re

import pytest
from browser import pdf_pages, probe
from support import INVOICE_EVENT, windows_differs
from test_site_errands import logged_in, postback

from trasko.invoice import standalone

requests = pytest.importorskip("requests")

RENDERED = """{
  title: d.querySelector("h1").textContent,
  colour: d.defaultView.getComputedStyle(d.querySelector("h1")).color,
  logo: d.querySelector("img").naturalWidth,
  text: d.body.innerText,
}"""


@windows_differs("the browser checks run on Linux, in Debian's Chromium")
def test_the_site_invoice_renders_offline_with_its_styles_and_prints_on_one_a4_page(aspnet_site, tmp_path):
    base, _ = aspnet_site
    session, fields, _ = logged_in(aspnet_site, "invoice-alone", papi=b"online")
    answer = postback(session, base, fields, INVOICE_EVENT)
    fetched = []

    def fetch(url):
        fetched.append(url)
        got = session.get(url, timeout=30)
        return (got.content, got.headers.get("Content-Type", "")) if got.ok else None

    page = standalone(answer.content.decode("utf-8"), answer.url, fetch)
    assert sorted(fetched) == [f"{base}/images/valider.svg", f"{base}/styles/facture.css"]
    assert not re.search(r"<base|<link|127\.0\.0\.1|https?:", page)
    saved = tmp_path / "facture-invoice-alone.html"
    saved.write_text(page, encoding="utf-8")
    _, rendered = probe(saved, tmp_path / "profile", RENDERED)
    assert rendered["title"] == "Fédération Française des Échecs"
    assert rendered["colour"] == "rgb(26, 58, 107)"  # the site's stylesheet, from inside the file
    assert rendered["logo"] == 24  # the image, from inside the file
    assert "Montant dû : 15,00 €" in rendered["text"] and "Retour au tournoi" not in rendered["text"]
    pages, size = pdf_pages(saved, tmp_path / "profile")
    assert (pages, size.endswith("(A4)")) == (1, True)


RESOURCES = {
    "http://site.test/css/a.css": (b'@import "b.css"; h1 { background: url(../img/bg.png) }', "text/css"),
    "http://site.test/css/b.css": (b"p { color: red }", ""),
    "http://site.test/img/bg.png": (b"PNG", "image/png"),
    "http://site.test/logo.svg": (b"<svg/>", ""),
}
PAGE = """<html><head><base href="http://site.test/"><link rel="stylesheet" href="css/a.css">
<link rel="icon" href="favicon.ico"><script src="x.js"></script></head><body>
<img src="logo.svg" alt="logo"><img src="gone.png" alt="absent"><div style="background: url('img/bg.png')">x</div>
<p><a href="MonTournoi.aspx">Retour au tournoi</a></p><a href="#total">total</a>
<a href="mailto:tresorier@example.org">trésorier</a><a href="https://other.example/cgv">conditions</a>
<a href="http://127.0.0.1:8080/Default.aspx">site local</a><form action="/Paiement.aspx">montant</form></body></html>"""


@pytest.mark.parametrize(
    "kept",
    [
        "p { color: red }",  # an import, followed
        'url("data:image/png;base64,UE5H")',  # an image named by a stylesheet and by a style attribute
        'src="data:image/svg+xml;base64,PHN2Zy8+"',  # its type from its name when the site gives none
        '<img alt="absent"/>',  # what cannot be had loses its link, keeps its text
        'href="#total"',
        'href="mailto:tresorier@example.org"',
        'href="https://other.example/cgv"',
        "<form>montant</form>",
        "@page { size: A4",
    ],
)
def test_a_page_keeps_what_it_shows_and_loses_every_way_back(kept):
    page = standalone(PAGE, "http://site.test/Facture.aspx", lambda url: RESOURCES.get(url))
    assert kept in page
    for gone in ("<base", "<link", "<script", "Retour au tournoi", "site local", "site.test", "127.0.0.1"):
        assert gone not in page
