"""What several test files share: the module's functions as a table, the
site's form names, the module's message texts, and the helpers that run a
fresh interpreter or read the module's traceback entries.

A message text or a form name lives here once; the tests compose it."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from typing import NamedTuple

from peer import page

# An empty tournament whose copy without contacts is itself: the command
# sends it byte for byte.
PAPI_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "papi", "vide.papi")


def papi_bytes(version: int = 0) -> bytes:
    """A Papi file for the command to publish; each version a page longer,
    so that --suivre sees it change."""
    with open(PAPI_FILE, "rb") as file:
        return file.read() + bytes(4096 * version)


class Function(NamedTuple):
    def_line: int
    parameters: tuple[str, ...]
    others: tuple[str, ...]  # the other locals, in order
    defaults: tuple | None
    annotations: dict[str, str]


# The eight module functions, in the order the module defines them.
FUNCTIONS = {
    "read_url": Function(
        12,
        ("session", "url", "data", "files"),
        ("fps", "content", "response", "file_id", "file_name", "e", "h"),
        (None, None),
        {"url": "str"},
    ),
    "get_ident_text": Function(105, ("soup", "vars", "attr"), ("elem", "e"), None, {}),
    "get_attr_value": Function(114, ("soup", "vars", "attr", "attr_name"), ("elem", "e"), ("name",), {}),
    "envoi_tournoi": Function(
        128,
        ("nohom", "pwd", "fname", "f_visible"),
        ("vars", "url", "session", "html", "soup", "data_post", "visibilty_state"),
        None,
        {},
    ),
    "get_tournoi_list": Function(
        198,
        ("tournoi_list_full_name",),
        ("dict_trn", "file1", "Lines", "count", "line", "tfld", "tournoi_fname", "disp"),
        None,
        {},
    ),
    "page_ffe": Function(227, ("tournoi_list_full_name",), ("file1", "line", "tfld", "f_visible", "e"), None, {}),
    "get_page_test": Function(257, (), ("url", "session", "html", "soup", "lines", "result"), None, {}),
    "main_func": Function(271, (), ("cmd",), None, {}),
}
# if __name__ == "__main__": the first module statement after the functions.
MAIN_GUARD_LINE = 285

# The form constants the module binds, with their values.
CONSTANTS = {
    "VIEW_STATE": "__VIEWSTATE",
    "VIEW_GENERATOR": "__VIEWSTATEGENERATOR",
    "EVENT_VALIDATION": "__EVENTVALIDATION",
    "FLD_LOGIN": "ctl00$TextLogin",
    "FLD_PASSWD": "ctl00$TextPassword",
    "IMG_BUTTON": "ctl00$CmdLogin",
    "UPLOAD_EVENT": "ctl00$ContentPlaceHolderMain$CmdUploadPapi",
    "UPLOAD_FILE": "ctl00$ContentPlaceHolderMain$UploadPapi",
    "VISIBILITY_ID": "ctl00_ContentPlaceHolderMain_CmdAfficherTournoi",
    "VISIBILITY_EVENT": "ctl00$ContentPlaceHolderMain$CmdAfficherTournoi",
}
VIEW_STATE = CONSTANTS["VIEW_STATE"]
VIEW_GENERATOR = CONSTANTS["VIEW_GENERATOR"]
EVENT_VALIDATION = CONSTANTS["EVENT_VALIDATION"]
STATE = (VIEW_STATE, VIEW_GENERATOR, EVENT_VALIDATION)
BUTTON = CONSTANTS["VISIBILITY_ID"]
UPLOAD_EVENT = CONSTANTS["UPLOAD_EVENT"]
VISIBILITY_EVENT = CONSTANTS["VISIBILITY_EVENT"]
UPLOAD_FILE = CONSTANTS["UPLOAD_FILE"]
FLD_LOGIN = CONSTANTS["FLD_LOGIN"]
FLD_PASSWD = CONSTANTS["FLD_PASSWD"]
IMG_BUTTON = CONSTANTS["IMG_BUTTON"]

# The tournament page's other controls, beyond the module's constants: the
# upload verdict, the rules upload and the fees invoice.
VERDICT_ID = "ctl00_ContentPlaceHolderMain_LabelError"
RULES_EVENT = "ctl00$ContentPlaceHolderMain$CmdUploadRI"
RULES_FILE = "ctl00$ContentPlaceHolderMain$UploadRI"
INVOICE_ID = "ctl00_ContentPlaceHolderMain_CmdFactureHomologation"
INVOICE_EVENT = "ctl00$ContentPlaceHolderMain$CmdFactureHomologation"

# The module's messages: the first argument of each print, or its format.
ERREUR_ENVOI = "erreur envoi:"
GETTING = "getting ....."
ENVOI_DE = "trasko - envoi de:"
FORMAT_INCORRECT = "#### Format de ligne incorrecte:"
PAPI_INTROUVABLE = "--------------- Fichier papi introuvable: {}"
LIST_INTROUVABLE = " tournoi list introuvable :"
TOURNOI_INTROUVABLE = "##### Tournoi introuvable {}:{} =>{}"
SYNTAXE = "syntaxe: trasko fichier-tournoi"
HYPHENS = "-" * 21


def erreur_lecture(attr) -> str:
    return f"erreur lecture {attr}:"


def erreur_lecture_id(attr) -> str:
    return f"erreur lecture id {attr}:"


def erreur_visibilite(label: str) -> str:
    return f"erreur lecture visibilit\u00e9 {label!r}:"


def said_line(*args) -> str:
    """The line one print(*args) writes, without its line end."""
    return " ".join(map(str, args))


def said(*args) -> str:
    """What one print(*args) writes."""
    return said_line(*args) + "\n"


# --- pages of the site, served by the loopback peer --------------------------------


def aspx(tag, label=None, without=(), no_value=()):
    """A page with the three state fields valued `<field>-<tag>` (but those in
    `without`, and valueless for `no_value`), and a show/hide button."""
    fields = "".join(
        f'<input type="hidden" name="{name}" id="{name}" />'
        if name in no_value
        else f'<input type="hidden" name="{name}" id="{name}" value="{name}-{tag}" />'
        for name in STATE
        if name not in without
    )
    button = "" if label is None else f'<a id="{BUTTON}" href="#">{label}</a>'
    return page(f"<html><body><form>{fields}{button}</form></body></html>")


def state_of(tag, skip=()):
    """The state fields of aspx(tag) as a form sends them back."""
    return [(name, f"{name}-{tag}") for name in STATE if name not in skip]


class Response:
    """What a session's get or post gives back, as far as the module reads it."""

    def __init__(self, content=b"done"):
        self.content = content


# --- the interpreter ----------------------------------------------------------------


def run_python(code, *args, cwd=None, env=None, timeout=60):
    """Runs `code` in a fresh interpreter (the one running the tests, with the
    same velka build on its path); returns the CompletedProcess."""
    environment = dict(os.environ)
    environment.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        cwd=cwd,
        env=environment,
        capture_output=True,
        text=True,
        timeout=timeout,
        check=False,
    )


def velka_entries(tb):
    """The (name, line) of each traceback entry the module added."""
    entries = []
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "velkax":
            entries.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return entries


# --- Windows, and Wine ------------------------------------------------------------

WINDOWS = os.name == "nt"


def _under_wine() -> bool:
    if not WINDOWS:
        return False
    import ctypes

    return hasattr(ctypes.WinDLL("ntdll"), "wine_get_version")


UNDER_WINE = _under_wine()


def windows_differs(reason: str):
    """Skips a test whose expectation does not hold on Windows itself."""
    import pytest

    return pytest.mark.skipif(WINDOWS, reason=f"Windows: {reason}")


def wine_lacks(reason: str):
    """Skips a test that Windows would pass but Wine cannot run."""
    import pytest

    return pytest.mark.skipif(UNDER_WINE, reason=f"Wine: {reason}")


def needs_testcapi():
    """Skips a test that drives the interpreter through _testcapi, which the
    Windows embeddable interpreter does not ship."""
    import importlib.util

    import pytest

    return pytest.mark.skipif(
        importlib.util.find_spec("_testcapi") is None, reason="Windows: no _testcapi in the embeddable interpreter"
    )
