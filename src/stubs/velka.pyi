"""Types of the velka extension module, for type checkers."""

from collections.abc import Mapping, MutableMapping
from os import PathLike
from typing import Any

from bs4 import BeautifulSoup
from requests import Session

# The site's base URL and its form-field names. Rebinding one (for example
# ADMIN_FFE_URL, to another copy of the site) changes every later call.
ADMIN_FFE_URL: str
VIEW_STATE: str
VIEW_GENERATOR: str
EVENT_VALIDATION: str
FLD_LOGIN: str
FLD_PASSWD: str
IMG_BUTTON: str
UPLOAD_EVENT: str
UPLOAD_FILE: str
VISIBILITY_ID: str
VISIBILITY_EVENT: str

# Set by the module for doctest collection; always empty.
__test__: dict[str, str]

_Path = str | PathLike[str]

def read_url(
    session: Session,
    url: str,
    data: Mapping[str, Any] | None = None,
    files: Mapping[str, _Path] | None = None,
) -> str | None: ...
def get_ident_text(soup: BeautifulSoup, vars: MutableMapping[str, Any], attr: str) -> None: ...
def get_attr_value(soup: BeautifulSoup, vars: MutableMapping[str, Any], attr: str, attr_name: str = "name") -> None: ...
def envoi_tournoi(nohom: str, pwd: str, fname: _Path, f_visible: object) -> None: ...
def get_tournoi_list(tournoi_list_full_name: _Path) -> dict[str, str]: ...
def page_ffe(tournoi_list_full_name: _Path) -> None: ...
def get_page_test() -> None: ...
def main_func() -> None: ...
