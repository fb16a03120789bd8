"""A Python caller of velka as a type checker sees it: checked with
`mypy --strict`, never run. Its ignores prove that the stub refuses misuse
(strict mode reports an ignore that is not needed)."""

from pathlib import Path

import requests
from bs4 import BeautifulSoup

import velka


def papi_files(list_file: Path) -> dict[str, str]:
    return velka.get_tournoi_list(list_file)


def publish(list_file: str, site: str | None = None) -> None:
    if site is not None:
        velka.ADMIN_FFE_URL = site
    velka.page_ffe(list_file)


def state_fields(url: str) -> dict[str, str | None]:
    fields: dict[str, str | None] = {}
    html = velka.read_url(requests.Session(), url)
    if html is None:
        return fields
    soup = BeautifulSoup(html, "html.parser")
    for name in (velka.VIEW_STATE, velka.VIEW_GENERATOR, velka.EVENT_VALIDATION):
        velka.get_attr_value(soup, fields, name)
    velka.get_ident_text(soup, fields, velka.VISIBILITY_ID)
    return fields


def misuse() -> None:
    velka.page_ffe(1)  # type: ignore[arg-type]
    velka.main_func("list.txt")  # type: ignore[call-arg]
    velka.read_url(requests.Session(), None)  # type: ignore[arg-type]
    length: int = velka.read_url(requests.Session(), "http://x")  # type: ignore[assignment]
    del length
