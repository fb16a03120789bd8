"""The errands' own helpers: the rules file check, the invoice's base
element and where an invoice is saved."""

from __future__ import annotations

import os

import pytest

from trasko import errands

SITE = "http://127.0.0.1:8080"
BASE = f'<base href="{SITE}">'


@pytest.mark.parametrize(
    "page, saved",
    [
        ("<html><head><title>F</title></head></html>", f"<html><head>{BASE}<title>F</title></head></html>"),
        ('<HTML><HEAD id="h">\n<link href="a.css">', f'<HTML><HEAD id="h">{BASE}\n<link href="a.css">'),
        ("<html><header>x</header><body>", f"<html><head>{BASE}</head><header>x</header><body>"),
        ("<p>no html element</p>", f"<head>{BASE}</head><p>no html element</p>"),
        ("<head></head><head>", f"<head>{BASE}</head><head>"),  # only the first head
    ],
)
def test_base_is_the_first_child_of_head(page, saved):
    assert errands.with_base(page, SITE) == saved


def test_base_href_is_escaped():
    assert errands.with_base("<head>", 'http://h/"><script>') == '<head><base href="http://h/&quot;&gt;&lt;script&gt;">'


@pytest.mark.parametrize(
    "login, name",
    [
        ("open-2024", "facture-open-2024.html"),
        ("../../etc/x", "facture-.._.._etc_x.html"),
        ('a\\b:c*d?"e<f>|g', "facture-a_b_c_d__e_f__g.html"),
        ("été", "facture-été.html"),
    ],
)
def test_invoice_stays_in_its_folder(tmp_path, login, name):
    path = errands.invoice_path(str(tmp_path), login)
    assert path == tmp_path / name
    errands.save(path, "<p>é €</p>")
    assert os.listdir(tmp_path) == [name]
    assert path.read_bytes() == "<p>é €</p>".encode()


@pytest.mark.parametrize(
    "name, data, problem",
    [
        ("ri.pdf", b"%PDF-1.7\n...", None),
        ("ri.doc", b"%PDF-1.4", None),  # the bytes decide, not the name
        ("ri.pdf", b"PK\x03\x04 a word file", "n'est pas un fichier PDF"),
        ("ri.pdf", b"%PDF", "n'est pas un fichier PDF"),
        ("ri.pdf", b"", "n'est pas un fichier PDF"),
        ("absent.pdf", None, "fichier du règlement introuvable"),
        ("dossier", "dir", "est un dossier"),
    ],
)
def test_only_a_pdf_is_sent(tmp_path, name, data, problem):
    path = tmp_path / name
    if data == "dir":
        path.mkdir()
    elif data is not None:
        path.write_bytes(data)
    found = errands.pdf_problem(str(path))
    assert found is None if problem is None else problem in found
